// The terminal of a session's shell, seen from outside as root.
//
// `su` runs the shell on a pseudo-terminal of its own and relays our stdin
// pipe into it: bytes written to the session pass through the pipe, su's
// relay buffer, and the terminal's input queue before the shell (or the
// job in the terminal's foreground) reads them. Interrupting a job has to
// act on that path: the interrupt character only works when it can get
// through, and input the interrupted job left unread must not reach the
// shell as commands. /proc tells which process group is in the terminal's
// foreground and which terminal it is; as root the terminal can be opened
// to discard its input queue.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>

#include "common/unique_fd.h"

namespace ferrowick {

// su's child (the shell) and its controlling terminal, as /proc shows them.
struct ShellTerminal {
  pid_t shell = -1;
  pid_t shell_pgrp = -1;
  dev_t tty = 0;          // 0: none
  pid_t foreground = -1;  // the terminal's foreground process group; -1: none
};

// Reads it for the shell `su` started; nothing when su has no child.
std::optional<ShellTerminal> shell_terminal(pid_t su);

// Opens the terminal `tty` (a pseudo-terminal) without making it anyone's
// controlling terminal; invalid when it is no pseudo-terminal or is gone.
UniqueFd open_terminal(dev_t tty);

// True when `su` may hold input the terminal has not taken yet: it is
// blocked writing (into the terminal, or into our output pipes, which it
// must get rid of before it relays more), or waits for the terminal to
// take more (read from the descriptors it polls). A byte written to the
// pipe now waits behind all of it.
bool relay_holds_input(pid_t su);

// Whether one more byte written to the pipe `stdin_fd` would reach the
// terminal at once: the pipe is empty, su is not blocked, and the
// terminal's queue (`tty_fd`, may be -1) has room for it.
bool input_has_room(pid_t su, int stdin_fd, int tty_fd);

// Throws away input on its way to the terminal: what the pipe holds (read
// through su's end of it), what su still relays, and the terminal's queue.
// su reads all it is given into a buffer of its own and feeds the terminal
// as it takes more, so this flushes until su holds nothing, or gives up at
// `deadline` (what su still holds then reaches the terminal later).
// `read_output` is called on every pass to take what su has to print (the
// echo of what is discarded), so that su is never stuck printing it.
void discard_pending_input(pid_t su, int stdin_fd, int tty_fd, std::chrono::steady_clock::time_point deadline,
                           const std::function<void()>& read_output);

// Sends `sig` to the terminal's foreground job. Nothing is sent when the
// shell itself is in the foreground (no job runs, or job control is off):
// the shell is never the target. Returns 0 (also when the job has ended
// already) or an errno.
int signal_foreground_job(const ShellTerminal& t, int sig);

}  // namespace ferrowick

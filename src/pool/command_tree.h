// Killing every process a command started, as found in /proc: the way on a
// host without control groups (elsewhere the command's groups hold its
// tree, see command_process.h).
//
// A command leads a session of its own (command_launch.h), so what it
// starts belongs to that session, or — after a `setsid` of its own — to a
// session whose leader descends from it. The kill looks only at processes
// of the command's uid and takes those whose session is the command's or
// one already taken, or whose parent was taken. It first stops each one
// (a stopped process cannot fork, so nothing new escapes while the list is
// read again) until a pass finds none it has not stopped, then kills them
// all. Signals go through pidfds opened before the process is examined, so
// a pid reused meanwhile by someone else is never hit.
//
// The leader is a child subreaper (command_launch.h), so while it runs no
// process of its tree loses its way up to it. What the kill cannot find: a
// process that left the command's sessions and was orphaned after the
// leader itself had exited (its orphans then go to PID 1). The account's
// release still ends those; a control group holds them from the start.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ferrowick {

// One line of /proc/<pid>/stat as the tree kill reads it.
struct ProcStat {
  pid_t pid = 0;
  char state = '?';
  pid_t ppid = 0;
  pid_t session = 0;
};

// Parses a /proc/<pid>/stat text ("pid (comm) state ppid pgrp session ...",
// where comm may hold spaces and parentheses); false when malformed.
bool parse_proc_stat(std::string_view text, ProcStat& out);

// Stops then kills the tree of the command led by `leader` (which must not
// have been reaped, so that its pid cannot be reused) among processes of
// `uid`, and waits up to a second until every one of them has exited.
// Returns the number of processes signalled. Never touches uid 0.
std::size_t kill_command_tree(std::uint32_t uid, pid_t leader);

}  // namespace ferrowick

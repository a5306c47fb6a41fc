// CommandProcess: a program running as a pool account without a terminal,
// its standard input, output and error on three pipes.
//
// Started by start_command (command_launch.h has the launch rules). The
// process holds a reference to its User, so the account is not released
// while the command is held, and the account's release kills whatever is
// left of it. Like a terminal session, the command has control groups of its
// own (session_group.h), made before it starts and holding its whole tree,
// with the tree-wide limits of its spec: the tree is killed through them
// (also what left the command's sessions and was orphaned), and its usage
// read from them. Where the host has no writable groups, the tree is found
// in /proc (command_tree.h) and usage comes from the leader's rusage. The
// command's leader is not reaped before close(): its exit status and
// resource usage are read with WNOWAIT, so its pid (and with it the session
// id its tree carries) cannot be reused while the object lives and a later
// kill() still finds the tree.
//
// Full duplex: reads of either stream, writes and wait() may run at the same
// time on different threads; the host's pipe ends are non-blocking, so two
// readers of one stream never leave one blocked in read(2). kill() ends the
// whole tree and wakes every waiting read and write: reads
// then return what the pipe still holds, then 0; writes fail. close() kills,
// reaps and closes the pipes once no call uses them; later calls fail with
// "The process is closed". Every wait can be bounded (WaitLimits) and runs
// its check between slices, holding no lock of the object.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "common/blocking_mutex.h"
#include "common/expected.h"
#include "common/thread_annotations.h"
#include "pool/command_launch.h"
#include "pool/fd_wait.h"
#include "pool/session_group.h"
#include "pool/terminal_session.h"
#include "pool/user_pool.h"

namespace ferrowick {

// What run_to_end() returns.
struct CommandOutcome {
  int status = 0;  // exit code, or -N when signal N ended it
  std::string out, err;
  bool timed_out = false;
  bool truncated = false;
  CgroupUsage usage;  // when the leader and both streams had ended (or at the kill)
};

// Why start_command failed: `message` for a released account, `group`
// when the command's control groups could not be had (a tree-wide limit
// the host cannot set, or making them failed), else the launch step and
// errno.
struct CommandStartError {
  std::string message;
  std::optional<CgroupError> group;
  LaunchError launch;
};

class CommandProcess {
 public:
  enum class Stream { kStdout, kStderr };

  CommandProcess(SharedUser user, std::uint32_t uid, LaunchedCommand command, std::unique_ptr<SessionGroup> group,
                 UniqueFd wake, UniqueFd stdin_wake);
  CommandProcess(const CommandProcess&) = delete;
  CommandProcess& operator=(const CommandProcess&) = delete;
  // close(), then lets go of the User. Never throws.
  ~CommandProcess();

  pid_t pid() const { return pid_; }
  const SharedUser& user() const { return user_; }
  // The read ends of standard output and error; -1 once closed.
  int stdout_fd() const EXCLUDES(mu_);
  int stderr_fd() const EXCLUDES(mu_);

  // Writes every byte of `data`. Fails with "The process is closed", "The
  // standard input is closed", "The process was killed" or "Failed to write
  // to the stdin of the process: " + system error text (a broken pipe when
  // the command stopped reading).
  Expected<void, SessionError> write(std::span<const std::uint8_t> data, const WaitLimits& limits) EXCLUDES(mu_);
  // Closes the command's standard input (at once, or when the write in
  // progress ends: it is woken and fails). Closing again does nothing;
  // fails with "The process is closed" after close().
  Expected<void, SessionError> close_stdin() EXCLUDES(mu_);
  // One read once the stream has data or has ended: the count, 0 at the end
  // (or for an empty buffer, or after kill() once the pipe is empty).
  Expected<std::size_t, SessionError> read(Stream stream, std::span<std::uint8_t> buffer, const WaitLimits& limits)
      EXCLUDES(mu_);
  // Waits for the leader to exit; its status (exit code, or -N for signal N).
  Expected<int, SessionError> wait(const WaitLimits& limits) EXCLUDES(mu_);
  // The status once the leader has exited; nothing while it runs.
  std::optional<int> returncode() EXCLUDES(mu_);
  // What the whole tree used so far, from its groups; after close(), the
  // figures at its end. Without groups holding memory figures (source
  // "rusage"): once exited, the leader's rusage; before, what /proc shows
  // of the leader and its reaped children so far.
  CgroupUsage usage() EXCLUDES(mu_);

  // Kills the whole tree and wakes every waiting read and write.
  void kill() EXCLUDES(mu_);
  // kill(), then reaps the leader, closes the pipes and removes the groups
  // (keeping the usage figures). Idempotent. What the command left running
  // in the background goes with its groups; on a host without groups, after
  // run_to_end() saw the command end on its own, only the leader is reaped: the rest
  // stays (until the account's release), as after subprocess.run, and no
  // /proc scan is paid.
  void close() EXCLUDES(mu_);

  // The loop of exec: feeds `input` (then closes standard input; with no
  // input it is already /dev/null), drains both streams into caps of
  // `max_output` bytes each, and waits for the end of both streams and of
  // the leader. At the deadline the tree is killed and what was read is
  // returned with timed_out; when the check asks to stop, the tree is
  // killed and the call fails with kInterrupted. For a process no other
  // thread uses. Ends with close(): what the command left in the
  // background goes, and the usage is the closed tree's.
  Expected<CommandOutcome, SessionError> run_to_end(std::span<const std::uint8_t> input,
                                                    std::optional<std::size_t> max_output, const WaitLimits& limits)
      EXCLUDES(mu_);

 private:
  class Use;
  // Reads the leader's exit (WNOWAIT: it stays unreaped) into exited_,
  // wait_status_ and usage_; blocks for it when `block`. True once exited.
  bool observe_exit_locked(bool block) REQUIRES(mu_);
  void kill_tree() EXCLUDES(mu_);

  SharedUser user_;
  const std::uint32_t uid_;
  const std::unique_ptr<SessionGroup> group_;  // never null; without members on a host without groups
  const pid_t pid_;
  // The child's descriptors, valid while a Use is held (close() waits for
  // every Use to end before it closes them).
  const int out_fd_, err_fd_, pidfd_;

  mutable BlockingMutex mu_;
  std::condition_variable idle_;
  bool closed_ GUARDED_BY(mu_) = false;
  bool killed_ GUARDED_BY(mu_) = false;
  bool ran_to_end_ GUARDED_BY(mu_) = false;
  int active_ GUARDED_BY(mu_) = 0;   // calls using the descriptors
  int writers_ GUARDED_BY(mu_) = 0;  // of them, writes
  bool stdin_closing_ GUARDED_BY(mu_) = false;
  bool exited_ GUARDED_BY(mu_) = false;
  int wait_status_ GUARDED_BY(mu_) = 0;
  CgroupUsage usage_ GUARDED_BY(mu_);  // the leader's rusage once it exited
  std::optional<ChildProcess> child_ GUARDED_BY(mu_);
  UniqueFd stdin_ GUARDED_BY(mu_);
  const UniqueFd wake_;        // an eventfd, readable once kill() or close() began
  const UniqueFd stdin_wake_;  // an eventfd, readable once close_stdin() or kill() began
};

// Starts `spec` as the account `user` holds (a reference moves into the
// process), in control groups of its own with `spec.group`'s limits. Fails
// with a message when the account was released, with the CgroupError when
// the groups cannot be had, else with the launch step and errno
// (account_identity's errno as kIdentity).
Expected<std::unique_ptr<CommandProcess>, CommandStartError> start_command(SharedUser user, const CommandSpec& spec,
                                                                           bool with_stdin);

}  // namespace ferrowick

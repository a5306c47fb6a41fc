#include "pool/host_command.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"
#include "pool/child_process.h"
#include "pool/fd_wait.h"
#include "pool/launcher.h"

namespace ferrowick {

std::optional<int> HostOutput::exit_code() const {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return std::nullopt;
}

namespace {

// Reads whatever `fd` holds into `sink`; returns false at end of stream or
// on a read error (both end the capture of that stream).
bool drain_once(int fd, std::string& sink) {
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) { sink.append(buf, static_cast<std::size_t>(n)); return true; }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace

Expected<HostOutput, int> run_host_command(const std::vector<std::string>& argv) {
  UniqueFd out_r, out_w, err_r, err_w;
  if (int e = make_pipe(out_r, out_w)) return Unexpected(e);
  if (int e = make_pipe(err_r, err_w)) return Unexpected(e);
  auto started = launch_child(argv, -1, out_w.get(), err_w.get());
  if (!started) return Unexpected(started.error().err);
  ChildProcess child(started->pid, std::move(started->pidfd), {}, {}, {});
  out_w.reset();
  err_w.reset();

  const WaitCheck* check = ambient_wait_check();
  bool checking = check && *check;
  HostOutput result;
  pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0) {
    int n = ::poll(fds, 2, checking ? static_cast<int>(kCheckInterval.count()) : -1);
    if (n < 0 && errno != EINTR) break;  // cannot happen with valid descriptors; stop capturing
    if (n <= 0) {
      if (checking && !(*check)()) checking = false;
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!drain_once(fds[i].fd, *sinks[i])) {
        fds[i].fd = -1;  // poll ignores negative descriptors
        --open_streams;
      }
    }
  }
  out_r.reset();
  err_r.reset();
  child.wait();
  // Only a foreign waitpid(-1) could take our child; report it as a signal.
  result.wait_status = child.lost() ? SIGKILL : child.wait_status();
  return result;
}

}  // namespace ferrowick

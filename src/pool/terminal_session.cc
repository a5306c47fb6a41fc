#include "pool/terminal_session.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace ferrowick {

namespace {

const char* const kProcessNone = "The process is None";

// One read(2) of at most the buffer's length; an interruption is a failure.
Expected<std::size_t, std::string> read_once(int fd, std::span<std::uint8_t> buffer,
                                             const char* missing, const char* failed) {
  if (fd < 0) return Unexpected(std::string(missing));
  if (buffer.empty()) return std::size_t{0};
  const std::size_t want = std::min<std::size_t>(buffer.size(), SSIZE_MAX);
  ssize_t n = ::read(fd, buffer.data(), want);
  if (n < 0) return Unexpected(std::string(failed));
  return static_cast<std::size_t>(n);
}

}  // namespace

TerminalSession::TerminalSession(SharedUser user, ChildProcess process)
    : user_(std::move(user)), process_(std::move(process)) {}

TerminalSession::~TerminalSession() {
  try {
    close();
  } catch (const Panic& p) {
    report_drop_panic(p);
  }
}

void TerminalSession::close() {
  if (!process_) return;
  ChildProcess child = std::move(*process_);
  process_.reset();
  if (child.kill(SIGKILL) != 0) panic("Failed to kill the terminal session");
  child.wait();  // a failed wait leaves nothing more to do
  child.close_pipes();
}

Expected<void, std::string> TerminalSession::write(std::span<const std::uint8_t> data) {
  if (!process_) return Unexpected(std::string(kProcessNone));
  const int fd = process_->stdin_fd();
  if (fd < 0) return Unexpected(std::string("Failed to get the stdin of the process"));
  const std::string prefix = "Failed to write to the stdin of the process: ";
  while (!data.empty()) {
    const std::size_t want = std::min<std::size_t>(data.size(), SSIZE_MAX);
    ssize_t n = ::write(fd, data.data(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Unexpected(prefix + system_error_text(errno));
    }
    if (n == 0) return Unexpected(prefix + "failed to write whole buffer");
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Expected<std::size_t, std::string> TerminalSession::read_stdout(std::span<std::uint8_t> buffer) {
  if (!process_) return Unexpected(std::string(kProcessNone));
  return read_once(process_->stdout_fd(), buffer, "Failed to get the stdout of the process",
                   "Failed to read stdout");
}

Expected<std::size_t, std::string> TerminalSession::read_stderr(std::span<std::uint8_t> buffer) {
  if (!process_) return Unexpected(std::string(kProcessNone));
  return read_once(process_->stderr_fd(), buffer, "Failed to get the stderr of the process",
                   "Failed to read stderr");
}

std::string session_command(std::string_view home) {
  std::string cmd = "export HOME=\"";
  cmd += home;
  cmd += "\"; cd \"";
  cmd += home;
  cmd += "\"; exec /bin/bash";
  return cmd;
}

std::vector<std::string> session_argv(std::string_view username, std::string_view home) {
  return {"su", "-s", "/bin/bash", "-P", "-c", session_command(home), std::string(username)};
}

Expected<std::unique_ptr<TerminalSession>, std::string> spawn_terminal(SharedUser user, const SpawnOptions* options) {
  std::vector<std::string> argv;
  {
    auto guard = user->lock();
    argv = session_argv(guard->username(), guard->home());
  }
  Expected<ChildProcess, int> child = spawn_with_pipes(argv, options);
  if (!child) {
    return Unexpected("Failed to create the terminal session: " + system_error_text(child.error()));
  }
  return std::make_unique<TerminalSession>(std::move(user), std::move(*child));
}

}  // namespace ferrowick

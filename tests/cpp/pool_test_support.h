// Helpers shared by the pool tests: skipping without root or host tools,
// scoped PATH and SIGPIPE settings, stand-in host tools, session reads.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "pool/terminal_session.h"

namespace ferrowick::testing_support {

// The full path of `tool` as found through PATH, or "".
inline std::string find_on_path(std::string_view tool) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    std::string_view dir = rest.substr(0, rest.find(':'));
    rest.remove_prefix(std::min(rest.size(), dir.size() + 1));
    std::string candidate = std::string(dir) + "/" + std::string(tool);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

#define SKIP_WITHOUT_HOST_SUPPORT()                                                  \
  do {                                                                               \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to add accounts and chown";    \
    for (const char* tool : {"id", "useradd", "pkill", "su"})                        \
      if (::ferrowick::testing_support::find_on_path(tool).empty())                  \
        GTEST_SKIP() << "needs `" << tool << "` on PATH";                            \
  } while (0)

class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

// As the interpreter does: a write to a closed pipe fails with EPIPE.
class ScopedIgnoreSigpipe {
 public:
  ScopedIgnoreSigpipe() : old_(::signal(SIGPIPE, SIG_IGN)) {}
  ~ScopedIgnoreSigpipe() { ::signal(SIGPIPE, old_); }

 private:
  sighandler_t old_;
};

// Ends the test process, rather than hanging the run, when a blocking call
// never returns.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
  ~Watchdog() { ::alarm(0); }
};

// A fresh directory, removed with its content at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/ferrowick_pool_test_XXXXXX";
    path_ = ::mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

  // An executable stand-in for host tool `name`.
  void add_script(const std::string& name, const std::string& body) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    ::chmod(file.c_str(), 0755);
  }
  // A link to the host's own `name`.
  void add_real_tool(const std::string& name) const {
    std::filesystem::create_symlink(find_on_path(name), path_ + "/" + name);
  }

 private:
  std::string path_;
};

// Reads standard output until `needle` has arrived (reads may be partial)
// or the stream ends; returns everything read.
inline std::string read_until(TerminalSession& session, std::string_view needle) {
  Watchdog dog(20);
  std::string seen;
  std::uint8_t buf[256];
  while (seen.find(needle) == std::string::npos) {
    auto n = session.read_stdout(buf);
    if (!n || *n == 0) break;
    seen.append(reinterpret_cast<const char*>(buf), *n);
  }
  return seen;
}

inline std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A fixture holding one account of a pool of one: skips without root or
// the host tools, and fails the test when no account can be had.
class AccountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_HOST_SUPPORT();
    auto user = alloc_user(pool_);
    ASSERT_TRUE(user.has_value()) << user.error();
    user_ = *user;
    uid_ = user_->lock()->uid();
  }

  SharedPool pool_ = make_user_pool(1);
  SharedUser user_;
  std::uint32_t uid_ = 0;
};

}  // namespace ferrowick::testing_support

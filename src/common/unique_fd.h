// UniqueFd: an owned file descriptor, closed on destruction.
//
// Everything that works on host paths through descriptors (the launcher's
// pipes, the tree sweep, the home root, the account claims) holds them in
// one of these, so no early return can leak one into a child.
#pragma once

#include <unistd.h>

namespace ferrowick {

// -1 means "absent".
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    // close() is not retried: on Linux the descriptor is gone even after EINTR.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace ferrowick

#include "pool/capped_output.h"

#include <algorithm>

namespace ferrowick {

CappedOutput::CappedOutput(std::optional<std::size_t> max) : max_(max) {
  if (max_) {
    head_cap_ = *max_ / 2;
    tail_cap_ = *max_ - head_cap_;
  }
}

void CappedOutput::append(std::string_view bytes) {
  if (!max_) {
    head_.append(bytes);
    return;
  }
  const std::size_t to_head = std::min(bytes.size(), head_cap_ - head_.size());
  head_.append(bytes.substr(0, to_head));
  bytes.remove_prefix(to_head);
  if (bytes.empty() || tail_cap_ == 0) {
    dropped_ += bytes.size();
    return;
  }
  // Only the last tail_cap_ bytes of this chunk can survive it.
  if (bytes.size() > tail_cap_) {
    dropped_ += bytes.size() - tail_cap_;
    bytes.remove_prefix(bytes.size() - tail_cap_);
  }
  if (tail_.size() < tail_cap_) {  // filling: the ring starts once full
    const std::size_t fits = std::min(bytes.size(), tail_cap_ - tail_.size());
    tail_.append(bytes.substr(0, fits));
    bytes.remove_prefix(fits);
    tail_pos_ = 0;
  }
  while (!bytes.empty()) {  // full: overwrite the oldest bytes
    const std::size_t n = std::min(bytes.size(), tail_cap_ - tail_pos_);
    tail_.replace(tail_pos_, n, bytes.substr(0, n));
    dropped_ += n;
    bytes.remove_prefix(n);
    tail_pos_ = (tail_pos_ + n) % tail_cap_;
  }
}

std::string CappedOutput::take() {
  std::string out = std::move(head_);
  out.reserve(out.size() + tail_.size());
  out.append(tail_, tail_pos_, std::string::npos);
  out.append(tail_, 0, tail_pos_);
  head_.clear();
  tail_.clear();
  tail_pos_ = 0;
  return out;
}

}  // namespace ferrowick

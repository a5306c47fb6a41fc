// Output kept within a cap: the first half and the last half of a stream.
//
// A command may print far more than anyone wants to hold. With a cap of
// `max` bytes, the first max / 2 bytes are kept as they come and the last
// max - max / 2 in a ring, so memory stays at the cap however long the
// stream is, and each byte is copied once on arrival and once at the end.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ferrowick {

class CappedOutput {
 public:
  // No cap: everything is kept.
  CappedOutput() = default;
  explicit CappedOutput(std::optional<std::size_t> max);

  void append(std::string_view bytes);
  // True once bytes were dropped.
  bool truncated() const { return dropped_ > 0; }
  // The kept bytes: head then tail, in stream order.
  std::string take();

 private:
  std::optional<std::size_t> max_;
  std::size_t head_cap_ = 0, tail_cap_ = 0;
  std::string head_;
  std::string tail_;       // a ring of tail_cap_ bytes once full
  std::size_t tail_pos_ = 0;  // where the ring's next byte goes (its oldest byte)
  std::size_t dropped_ = 0;
};

}  // namespace ferrowick

// prefault(): maps in the pages of a large, freshly allocated buffer that is
// about to be filled, in one system call instead of one page fault per 4 KiB
// during the copy (snapshots and restored files of megabytes). Only a hint:
// small buffers and kernels without MADV_POPULATE_WRITE fault as usual.
// (Huge pages would be faster still, but the compaction they may need can
// stall for seconds.)
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace ferrowick {

inline void prefault(void* start, std::size_t size) noexcept {
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::uintptr_t kWorthIt = std::uintptr_t{1} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(start) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(kPage - 1);
#ifdef MADV_POPULATE_WRITE
  if (end >= begin + kWorthIt) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)begin, (void)end, (void)kWorthIt;
#endif
}

}  // namespace ferrowick

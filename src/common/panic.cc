#include "common/panic.h"

#include <atomic>
#include <cstdio>

namespace ferrowick {

namespace detail {
thread_local int live_panic_count __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace detail

namespace {
std::atomic<DropPanicHook> g_drop_hook{nullptr};
}

void set_drop_panic_hook(DropPanicHook hook) noexcept { g_drop_hook.store(hook); }

void report_drop_panic(const Panic& p) noexcept {
  if (DropPanicHook hook = g_drop_hook.load()) {
    hook(p);
    return;
  }
  std::fprintf(stderr, "panic during destruction: %s\n", p.what());
}

}  // namespace ferrowick

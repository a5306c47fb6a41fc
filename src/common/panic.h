// Panic: an internal assertion failure.
//
// Thrown only where a condition cannot occur in a sound state (a broken
// invariant, a step that cannot fail but did, a poisoned lock). It is caught
// only at the script-binding boundary, which raises it as PanicException.
// Any poisonable lock held while one propagates is marked poisoned; other
// exceptions (std::bad_alloc above all) leave locks as they were.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace ferrowick {

namespace detail {
// Panic objects alive on this thread (thrown and not yet handled). Lock
// guards compare it with its value when they were made to tell a Panic
// unwinding through them from any other exception. Initial-exec: the module
// reads it on every guard release, and the general TLS model costs a call.
extern thread_local int live_panic_count __attribute__((tls_model("initial-exec")));
}  // namespace detail

inline int live_panics() noexcept { return detail::live_panic_count; }

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) { ++detail::live_panic_count; }
  Panic(const Panic& o) : std::exception(o), message_(o.message_) { ++detail::live_panic_count; }
  Panic& operator=(const Panic&) = default;
  ~Panic() override { --detail::live_panic_count; }
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

// The text every poisoned lock reports.
inline constexpr const char* kPoisonedLock = "\xE2\x98\xA2\xEF\xB8\x8F Poisoned lock";

// Destructors cannot throw: a Panic met while destroying an object is handed
// to this hook instead (the script binding routes it to the interpreter's
// unraisable-exception hook). The default writes the message to stderr.
using DropPanicHook = void (*)(const Panic&);
void set_drop_panic_hook(DropPanicHook hook) noexcept;
void report_drop_panic(const Panic& p) noexcept;

#define FERROWICK_ASSERT(cond)                                 \
  do {                                                         \
    if (!(cond)) ::ferrowick::panic("assertion failed: " #cond); \
  } while (0)

// A precondition of a fast path that only a change of the code could break:
// checked in debug builds (no NDEBUG), where it panics as FERROWICK_ASSERT
// does; compiled out of release builds, where the check would cost the
// speed the fast path is for. `cond` must have no side effects.
#ifdef NDEBUG
#define FERROWICK_DEBUG_ASSERT(cond) \
  do {                               \
  } while (0)
#else
#define FERROWICK_DEBUG_ASSERT(cond) FERROWICK_ASSERT(cond)
#endif

}  // namespace ferrowick

// Lock rules the compiler checks: clang's thread-safety analysis
// (-Wthread-safety, run by `make check-threads`). Under GCC every macro is
// empty.
//
//   CAPABILITY(name)       a lock type
//   SCOPED_CAPABILITY      a guard that holds a lock for its lifetime
//   GUARDED_BY(lock)       a member read and written only with `lock` held
//                          (shared holding is enough to read)
//   PT_GUARDED_BY(lock)    the same for what a pointer member points to
//   REQUIRES(lock...)      a function its callers call with the lock held
//   REQUIRES_SHARED(...)   ... held at least for reading
//   ACQUIRE / RELEASE      a function that takes / gives back the lock
//   TRY_ACQUIRE(ok, ...)   a function that takes it when it returns `ok`
//   EXCLUDES(lock...)      a function called without the lock (it takes it)
//   NO_THREAD_SAFETY_ANALYSIS  a function whose locking the analysis cannot
//                          follow; its comment says what holds instead
//
// Guards that leave a function inside another object (Mutex<T>::Guard, a
// session's gate pass) are beyond the analysis: the data they unlock is
// reachable only through them, so the type does what the analysis cannot.
#pragma once

#if defined(__clang__)
#define FERROWICK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FERROWICK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) FERROWICK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY FERROWICK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) FERROWICK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) FERROWICK_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) FERROWICK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) FERROWICK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) FERROWICK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) FERROWICK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) FERROWICK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) FERROWICK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) FERROWICK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) FERROWICK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) FERROWICK_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) FERROWICK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) FERROWICK_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) FERROWICK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) FERROWICK_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) FERROWICK_THREAD_ANNOTATION(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) FERROWICK_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS FERROWICK_THREAD_ANNOTATION(no_thread_safety_analysis)

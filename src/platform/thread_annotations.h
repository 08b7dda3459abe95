// Lock rules the compiler checks: clang's thread-safety attributes (-Wthread-safety, see the
// clang-tsa preset), empty on compilers without them. Say which lock guards a field, and which
// lock a function needs.
#pragma once

#if defined(__clang__)
#define LUMO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LUMO_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) LUMO_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock for their lifetime.
#define SCOPED_CAPABILITY LUMO_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only under the lock.
#define GUARDED_BY(lock) LUMO_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target is read or written only under the lock.
#define PT_GUARDED_BY(lock) LUMO_THREAD_ANNOTATION(pt_guarded_by(lock))
// Locks taken in this order.
#define ACQUIRED_BEFORE(...) LUMO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) LUMO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// A function called with the lock held.
#define REQUIRES(...) LUMO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes the lock and returns with it held.
#define ACQUIRE(...) LUMO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that gives the lock up.
#define RELEASE(...) LUMO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that tries the lock and reports with its result whether it holds it.
#define TRY_ACQUIRE(...) LUMO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function called without the lock (it takes the lock itself).
#define EXCLUDES(...) LUMO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that checks the lock is held (for code the analysis cannot follow).
#define ASSERT_CAPABILITY(lock) LUMO_THREAD_ANNOTATION(assert_capability(lock))
// A function returning a reference to the lock.
#define RETURN_CAPABILITY(lock) LUMO_THREAD_ANNOTATION(lock_returned(lock))
// The analysis is off in a function whose locking it cannot follow; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS LUMO_THREAD_ANNOTATION(no_thread_safety_analysis)

// Lock rules the compiler checks: clang's thread-safety analysis (-Wthread-safety) reads these
// annotations and warns when a guarded field is touched, or a function that needs a lock is
// called, without the lock held. Other compilers see nothing.
//
//   GUARDED_BY(mu)      on a field: read and written only with `mu` held.
//   PT_GUARDED_BY(mu)   on a pointer field: what it points at is guarded by `mu`.
//   REQUIRES(mu)        on a function: the caller holds `mu` (REQUIRES_SHARED: at least shared).
//   EXCLUDES(mu)        on a function: the caller does not hold `mu` (the function takes it).
//   ACQUIRE / RELEASE   on the functions that take and give back a capability.
//   CAPABILITY, SCOPED_CAPABILITY  on a lock type, and on a guard that holds one for a scope.
//   NO_THREAD_SAFETY_ANALYSIS  on a function the analysis cannot follow; say why beside it.
//
// The annotated lock types are in platform/mutex.h: std::mutex itself carries no annotations
// under libstdc++, so a field guarded by one is not checked.
#ifndef KDR_PLATFORM_THREAD_ANNOTATIONS_H_
#define KDR_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define KDR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KDR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KDR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KDR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KDR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KDR_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KDR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KDR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KDR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KDR_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KDR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KDR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KDR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KDR_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KDR_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KDR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KDR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KDR_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KDR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KDR_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // KDR_PLATFORM_THREAD_ANNOTATIONS_H_

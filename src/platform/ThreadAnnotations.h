// ThreadAnnotations: the attributes clang's thread-safety analysis reads
// (-Wthread-safety), so that a member read or written without the mutex that
// guards it fails the build instead of racing at run time.
//
// They expand to nothing on a compiler without the attributes (gcc), so the
// release build is unchanged. Use them with Mutex / MutexLock and
// SharedMutex / ReaderLock / WriterLock: libstdc++'s std::mutex carries none.
//   GUARDED_BY(m)        a member read or written only with m held
//   PT_GUARDED_BY(m)     what a pointer member points at, likewise
//   REQUIRES(m)          a function called with m held (REQUIRES_SHARED: read)
//   EXCLUDES(m)          a function that takes m itself, so not called with it
//   ACQUIRE / RELEASE    a function that takes / lets go of a capability
//   CAPABILITY / SCOPED_CAPABILITY   a lock type / an RAII holder of one
//   NO_THREAD_SAFETY_ANALYSIS        a function the analysis cannot follow
#pragma once

#if defined(__clang__)
#define VELMORA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELMORA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VELMORA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VELMORA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VELMORA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VELMORA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VELMORA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VELMORA_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VELMORA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) VELMORA_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) VELMORA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VELMORA_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) VELMORA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VELMORA_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) VELMORA_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VELMORA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) VELMORA_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) VELMORA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VELMORA_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VELMORA_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VELMORA_THREAD_ANNOTATION(no_thread_safety_analysis)

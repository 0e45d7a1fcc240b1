// Lock rules stated to the compiler. Under clang these expand to its thread-safety
// attributes, and a build with -Wthread-safety rejects code that reads a guarded
// member without its lock or calls a REQUIRES function without holding it. Under
// other compilers they expand to nothing.
//
//   CSimpleMutex lock;
//   std::vector<IPushTarget*> targets GUARDED_BY(lock);
//   void AddLocked(IPushTarget* target) EXCLUSIVE_LOCKS_REQUIRED(lock);
//
// Use NO_THREAD_SAFETY_ANALYSIS only where the analysis cannot follow a correct
// pattern, with a one-line comment on why.
#ifndef QUILLRADE_PLATFORM_THREAD_ANNOTATIONS_H_
#define QUILLRADE_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define QR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QR_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(name) QR_THREAD_ANNOTATION(capability(name))
#define LOCKABLE QR_THREAD_ANNOTATION(lockable)
// A class that holds a lock for its lifetime.
#define SCOPED_CAPABILITY QR_THREAD_ANNOTATION(scoped_lockable)

// Members read or written only with the lock held.
#define GUARDED_BY(x) QR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QR_THREAD_ANNOTATION(pt_guarded_by(x))

// Functions that must be called with the lock held, or without it.
#define EXCLUSIVE_LOCKS_REQUIRED(...) QR_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define LOCKS_EXCLUDED(...) QR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// Functions that take or give up a lock.
#define EXCLUSIVE_LOCK_FUNCTION(...) QR_THREAD_ANNOTATION(exclusive_lock_function(__VA_ARGS__))
#define EXCLUSIVE_TRYLOCK_FUNCTION(...) \
  QR_THREAD_ANNOTATION(exclusive_trylock_function(__VA_ARGS__))
#define UNLOCK_FUNCTION(...) QR_THREAD_ANNOTATION(unlock_function(__VA_ARGS__))
#define ACQUIRE(...) EXCLUSIVE_LOCK_FUNCTION(__VA_ARGS__)
#define RELEASE(...) UNLOCK_FUNCTION(__VA_ARGS__)

// Functions whose locking the analysis cannot follow.
#define NO_THREAD_SAFETY_ANALYSIS QR_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QUILLRADE_PLATFORM_THREAD_ANNOTATIONS_H_

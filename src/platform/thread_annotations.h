// Lock rules stated to the compiler. Where the compiler has clang's thread-safety
// attributes these expand to them, and a build with -Wthread-safety (every clang
// build) rejects code that reads a guarded member without its lock or calls a
// QR_EXCLUSIVE_LOCKS_REQUIRED function without holding it. Under other compilers
// they expand to nothing. The QR_ prefix keeps them apart from a library's own
// GUARDED_BY and the like, and each is defined only where nothing defined it.
//
//   CSimpleMutex lock;
//   std::vector<IPushTarget*> targets QR_GUARDED_BY(lock);
//   void AddLocked(IPushTarget* target) QR_EXCLUSIVE_LOCKS_REQUIRED(lock);
//
// Use QR_NO_THREAD_SAFETY_ANALYSIS only where the analysis cannot follow a
// correct pattern, with a one-line comment on why.
#ifndef QUILLRADE_PLATFORM_THREAD_ANNOTATIONS_H_
#define QUILLRADE_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__has_attribute)
#define QR_HAS_ATTRIBUTE(x) __has_attribute(x)
#else
#define QR_HAS_ATTRIBUTE(x) 0
#endif

#ifndef QR_THREAD_ANNOTATION
#if QR_HAS_ATTRIBUTE(guarded_by)
#define QR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QR_THREAD_ANNOTATION(x)
#endif
#endif

// A class whose objects are locks.
#ifndef QR_CAPABILITY
#define QR_CAPABILITY(name) QR_THREAD_ANNOTATION(capability(name))
#endif
#ifndef QR_LOCKABLE
#define QR_LOCKABLE QR_THREAD_ANNOTATION(lockable)
#endif
// A class that holds a lock for its lifetime.
#ifndef QR_SCOPED_CAPABILITY
#define QR_SCOPED_CAPABILITY QR_THREAD_ANNOTATION(scoped_lockable)
#endif

// Members read or written only with the lock held.
#ifndef QR_GUARDED_BY
#define QR_GUARDED_BY(x) QR_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef QR_PT_GUARDED_BY
#define QR_PT_GUARDED_BY(x) QR_THREAD_ANNOTATION(pt_guarded_by(x))
#endif

// Functions that must be called with the lock held, or without it.
#ifndef QR_EXCLUSIVE_LOCKS_REQUIRED
#define QR_EXCLUSIVE_LOCKS_REQUIRED(...) QR_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#endif
#ifndef QR_LOCKS_EXCLUDED
#define QR_LOCKS_EXCLUDED(...) QR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif

// Functions that take or give up a lock.
#ifndef QR_EXCLUSIVE_LOCK_FUNCTION
#define QR_EXCLUSIVE_LOCK_FUNCTION(...) QR_THREAD_ANNOTATION(exclusive_lock_function(__VA_ARGS__))
#endif
#ifndef QR_EXCLUSIVE_TRYLOCK_FUNCTION
#define QR_EXCLUSIVE_TRYLOCK_FUNCTION(...) \
  QR_THREAD_ANNOTATION(exclusive_trylock_function(__VA_ARGS__))
#endif
#ifndef QR_UNLOCK_FUNCTION
#define QR_UNLOCK_FUNCTION(...) QR_THREAD_ANNOTATION(unlock_function(__VA_ARGS__))
#endif
#ifndef QR_ACQUIRE
#define QR_ACQUIRE(...) QR_EXCLUSIVE_LOCK_FUNCTION(__VA_ARGS__)
#endif
#ifndef QR_RELEASE
#define QR_RELEASE(...) QR_UNLOCK_FUNCTION(__VA_ARGS__)
#endif

// Functions whose locking the analysis cannot follow.
#ifndef QR_NO_THREAD_SAFETY_ANALYSIS
#define QR_NO_THREAD_SAFETY_ANALYSIS QR_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

#endif  // QUILLRADE_PLATFORM_THREAD_ANNOTATIONS_H_

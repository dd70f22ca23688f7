// Lock annotations for clang's -Wthread-safety analysis, and the one mutex type the plug-in uses.
// With other compilers the annotations expand to nothing. Mutex and MutexLock may be used from any
// thread; a Mutex is not recursive.
#ifndef KOVRIM_THREAD_ANNOTATIONS_H_
#define KOVRIM_THREAD_ANNOTATIONS_H_

#include <mutex>

#if defined(__clang__)
#define KMQ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KMQ_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KMQ_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KMQ_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KMQ_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) KMQ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KMQ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KMQ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KMQ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KMQ_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kovrim {

// A plain (non-recursive) mutex that the analysis knows about.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mMutex.lock(); }
  void Unlock() RELEASE() { mMutex.unlock(); }

 private:
  std::mutex mMutex;
};

// Holds a Mutex for the lifetime of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mMutex(mutex) { mMutex->Lock(); }
  ~MutexLock() RELEASE() { mMutex->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mMutex;
};

}  // namespace kovrim

#endif  // KOVRIM_THREAD_ANNOTATIONS_H_

// Lock annotations for clang's -Wthread-safety analysis, and the exclusion primitives the project
// uses: Mutex, a plain lock, with MutexLock and CondVar, and PassGate, which keeps changes of a
// list away from the real-time passes over it without ever making a pass wait. With other
// compilers the annotations expand to nothing. The plug-in's own; the host stand-in and the tools
// use the same ones, so that every lock of the project is checked by one vocabulary. Mutex,
// MutexLock, CondVar and the pass side of PassGate may be used from any thread; the change side
// of a PassGate belongs to one thread at a time. Neither lock is recursive.
#ifndef KOVRIM_THREAD_ANNOTATIONS_H_
#define KOVRIM_THREAD_ANNOTATIONS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__clang__)
#define KMQ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KMQ_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KMQ_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KMQ_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KMQ_THREAD_ANNOTATION(guarded_by(x))
#define ACQUIRED_BEFORE(...) KMQ_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KMQ_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KMQ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KMQ_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) KMQ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KMQ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KMQ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KMQ_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) KMQ_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define ASSERT_SHARED_CAPABILITY(x) KMQ_THREAD_ANNOTATION(assert_shared_capability(x))
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
  friend class CondVar;
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

// A condition variable over a Mutex. A wait lets the mutex go while it waits and holds it again
// when it returns, spuriously too: the caller loops on its condition, which the analysis then
// checks like any other read under the lock.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex* mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mMutex, std::adopt_lock);
    mCondition.wait(lock);
    lock.release();
  }
  // False once deadline has passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(Mutex* mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mMutex, std::adopt_lock);
    const bool inTime = mCondition.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return inTime;
  }
  void NotifyAll() { mCondition.notify_all(); }

 private:
  std::condition_variable mCondition;
};

// Keeps the changes of a list and the passes that walk it apart, where the passes run inside host
// callbacks and must never wait. A pass that meets a change does not enter (it is told so at once
// and does without the list); a change closes the gate to new passes and then waits only for the
// passes already in flight, so a stream of passes cannot starve it. The two sides meet through two
// sequentially consistent atomics, Dekker style: a pass announces itself and then looks for a
// change, a change announces itself and then looks for passes, so at least one of them sees the
// other.
//
// Passes: any number of threads at once. Changes: one thread at a time (here, the user-interface
// thread); while it changes, that thread must not run a pass itself.
class CAPABILITY("pass gate") PassGate {
 public:
  PassGate() = default;
  PassGate(const PassGate&) = delete;
  PassGate& operator=(const PassGate&) = delete;

  // Any thread. True when the caller may walk the list; ExitPass must follow. False, at once,
  // while a change is in progress or beginning.
  bool TryEnterPass() TRY_ACQUIRE_SHARED(true) {
    mPasses.fetch_add(1);
    if (!mChanging.load()) return true;
    mPasses.fetch_sub(1);
    return false;
  }
  // Ends a pass that TryEnterPass let in.
  void ExitPass() RELEASE_SHARED() { mPasses.fetch_sub(1); }

  // The changing thread. Turns new passes away, then waits until the passes already in flight
  // have left (each is short: a walk of the list). REQUIRES: no change in progress.
  void BeginChange() ACQUIRE() {
    mChanging.store(true);
    for (int round = 0; mPasses.load() != 0; ++round) {
      if (round < kYieldRounds) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(kPollMicroseconds));
      }
    }
  }
  // Lets passes in again; they see every change made before.
  void EndChange() RELEASE() { mChanging.store(false); }

  // The changing thread, outside a change: it alone changes the list, so it may read it without
  // entering. Tells the analysis so; checks nothing at run time.
  void AssertChangingThread() const ASSERT_SHARED_CAPABILITY(this) {}

  // Any thread; for diagnostics and tests. Whether a change has begun and not ended, and how many
  // passes are inside (or announcing themselves) right now.
  bool IsChanging() const { return mChanging.load(); }
  int PassesInFlight() const { return mPasses.load(); }

 private:
  // How the change side waits: a few yields for the usual pass of microseconds, then short naps.
  static constexpr int kYieldRounds = 64;
  static constexpr int kPollMicroseconds = 50;

  std::atomic<bool> mChanging{false};
  std::atomic<int> mPasses{0};
};

}  // namespace kovrim

#endif  // KOVRIM_THREAD_ANNOTATIONS_H_

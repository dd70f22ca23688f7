// What the host runs around a device: its transport clock and its two real-time threads. The
// user-interface thread plays and stops the clock and starts and stops the threads; the device
// I/O thread notifies the device every I/O period and the evaluation thread runs an evaluation
// pass (EvaluateDevice) at the display rate, both reading the clock's local time. Several
// devices share one clock, each with threads of its own. The classes live in libfbsdk.so.
#ifndef FBSDK_CONTROL_REALTIME_THREADS_H_
#define FBSDK_CONTROL_REALTIME_THREADS_H_

#include <chrono>
#include <functional>
#include <thread>

#include <fbsdk/fbcore.h>
#include <fbsdk/fbtime.h>

#include "thread_annotations.h"

namespace fbsdk_control {

// The clock the host's transport and real-time threads run on.
using HostClock = std::chrono::steady_clock;

HostClock::duration SecondsToDuration(double seconds);
double SecondsSince(HostClock::time_point start);

// Local time runs while the transport plays and stands still otherwise. Any thread.
class SessionClock {
 public:
  FBSDKNamespace::FBTime LocalTime() const;
  void Play();
  void Stop();
  bool IsPlaying() const;

 private:
  mutable kovrim::Mutex mMutex;
  bool mPlaying GUARDED_BY(mMutex) = false;
  HostClock::time_point mOrigin GUARDED_BY(mMutex);  // when the transport last started
  double mHeldSeconds GUARDED_BY(mMutex) = 0;        // local time when it last started
};

// The device I/O thread and the evaluation thread of one device. Start, Stop, PauseIo and
// ResumeIo belong to the user-interface thread; SetIoObserver comes before Start. A late step
// moves its schedule instead of bursting to catch up. While they run, the host knows them as the
// device's threads: it stops them before it destroys the device (StopRealTimeThreadsOf).
class RealTimeThreads {
 public:
  // Called on the evaluation thread right after each evaluation pass, with its result (true when
  // a bound node was evaluated).
  using AfterEvaluation = std::function<void(bool evaluated)>;

  // device and clock remain the caller's and must outlive the threads (Stop, or destruction).
  // A displayRate of 0 or less runs no evaluation thread (the device I/O thread alone).
  RealTimeThreads(FBSDKNamespace::FBDevice* device, const SessionClock* clock, double ioPeriodMs,
                  double displayRate, AfterEvaluation afterEvaluation = nullptr);
  ~RealTimeThreads();
  RealTimeThreads(const RealTimeThreads&) = delete;
  RealTimeThreads& operator=(const RealTimeThreads&) = delete;

  // Called on the device I/O thread with true right before each I/O notification and with false
  // right after it (an observer: what the host's I/O thread does stays the same).
  // REQUIRES: not running.
  void SetIoObserver(std::function<void(bool starting)> observer);

  void Start();
  // Joins both threads, waiting only for the notification or pass in flight; afterwards nothing
  // touches the device. Idempotent.
  void Stop();
  bool IsRunning() const { return mIo.joinable(); }
  // Holds the device I/O thread between two notifications: when PauseIo returns no notification
  // is running and none starts until ResumeIo. The host switches a device online or offline so,
  // never closing the connection under a notification that reads from it, and stops the
  // transport so, leaving no notification that still keys the take.
  void PauseIo();
  void ResumeIo();

 private:
  void NotifyIo();
  void Evaluate();
  void Loop(HostClock::duration period, const std::function<void()>& step, bool isIo)
      EXCLUDES(mMutex);

  // Constant while the threads run.
  FBSDKNamespace::FBDevice* const mDevice;
  const SessionClock* const mClock;
  const HostClock::duration mIoPeriod;
  const bool mEvaluates;
  const HostClock::duration mEvaluationPeriod;
  const AfterEvaluation mAfterEvaluation;
  std::function<void(bool starting)> mIoObserver;

  kovrim::Mutex mMutex;
  kovrim::CondVar mWake;       // notified when mStopping is set
  kovrim::CondVar mIoChanged;  // notified when mIoRunning or mIoPaused changes
  bool mStopping GUARDED_BY(mMutex) = false;
  bool mIoPaused GUARDED_BY(mMutex) = false;
  bool mIoRunning GUARDED_BY(mMutex) = false;  // a notification is under way
  std::thread mIo;
  std::thread mEvaluation;
};

// What the host does before it destroys a device: stops every RealTimeThreads started for it and
// not stopped yet (Stop), so that no callback reaches the device from then on. Their owners keep
// them; a later Stop or destruction does nothing more. DestroyDevice and NewScene call it.
// User-interface thread.
void StopRealTimeThreadsOf(FBSDKNamespace::FBDevice* device);

}  // namespace fbsdk_control

#endif  // FBSDK_CONTROL_REALTIME_THREADS_H_

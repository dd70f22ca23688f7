#include <fbsdk_control/realtime_threads.h>

#include <algorithm>
#include <utility>
#include <vector>

#include <fbsdk_control/scene_control.h>

namespace fbsdk_control {

using FBSDKNamespace::FBDevice;
using FBSDKNamespace::FBTime;

namespace {

// The threads started and not stopped yet, with their devices: what the host knows it runs for
// each device.
struct RunningThreads {
  kovrim::Mutex mMutex;
  std::vector<std::pair<FBDevice*, RealTimeThreads*>> mRunning GUARDED_BY(mMutex);
};

RunningThreads& Running() {
  static RunningThreads* running = new RunningThreads;  // Leaked: threads may stop during exit.
  return *running;
}

void Forget(RealTimeThreads* threads) {
  RunningThreads& running = Running();
  kovrim::MutexLock lock(&running.mMutex);
  running.mRunning.erase(std::remove_if(running.mRunning.begin(), running.mRunning.end(),
                                        [&](const auto& entry) { return entry.second == threads; }),
                         running.mRunning.end());
}

}  // namespace

void StopRealTimeThreadsOf(FBDevice* device) {
  std::vector<RealTimeThreads*> threads;
  {
    RunningThreads& running = Running();
    kovrim::MutexLock lock(&running.mMutex);
    for (const auto& entry : running.mRunning) {
      if (entry.first == device) threads.push_back(entry.second);
    }
  }
  // Stop takes each out of the list; their owners (on this thread) keep them meanwhile.
  for (RealTimeThreads* each : threads) each->Stop();
}

HostClock::duration SecondsToDuration(double seconds) {
  return std::chrono::duration_cast<HostClock::duration>(std::chrono::duration<double>(seconds));
}

double SecondsSince(HostClock::time_point start) {
  return std::chrono::duration<double>(HostClock::now() - start).count();
}

FBTime SessionClock::LocalTime() const {
  kovrim::MutexLock lock(&mMutex);
  FBTime time;
  if (mPlaying) {
    time.SetSecondDouble(mHeldSeconds + SecondsSince(mOrigin));
  } else {
    time.SetSecondDouble(mHeldSeconds);
  }
  return time;
}

void SessionClock::Play() {
  kovrim::MutexLock lock(&mMutex);
  if (mPlaying) return;
  mOrigin = HostClock::now();
  mPlaying = true;
}

void SessionClock::Stop() {
  kovrim::MutexLock lock(&mMutex);
  if (!mPlaying) return;
  mHeldSeconds += SecondsSince(mOrigin);
  mPlaying = false;
}

bool SessionClock::IsPlaying() const {
  kovrim::MutexLock lock(&mMutex);
  return mPlaying;
}

RealTimeThreads::RealTimeThreads(FBDevice* device, const SessionClock* clock, double ioPeriodMs,
                                 double displayRate, AfterEvaluation afterEvaluation)
    : mDevice(device),
      mClock(clock),
      mIoPeriod(SecondsToDuration(ioPeriodMs / 1000.0)),
      mEvaluates(displayRate > 0),
      mEvaluationPeriod(SecondsToDuration(mEvaluates ? 1.0 / displayRate : 1.0)),
      mAfterEvaluation(std::move(afterEvaluation)) {}

RealTimeThreads::~RealTimeThreads() { Stop(); }

void RealTimeThreads::SetIoObserver(std::function<void(bool starting)> observer) {
  mIoObserver = std::move(observer);
}

void RealTimeThreads::Start() {
  {
    kovrim::MutexLock lock(&mMutex);
    mStopping = false;
  }
  {
    RunningThreads& running = Running();
    kovrim::MutexLock lock(&running.mMutex);
    running.mRunning.emplace_back(mDevice, this);
  }
  mIo = std::thread([this] {
    Loop(
        mIoPeriod, [this] { NotifyIo(); }, true);
  });
  if (!mEvaluates) return;
  mEvaluation = std::thread([this] {
    Loop(
        mEvaluationPeriod, [this] { Evaluate(); }, false);
  });
}

void RealTimeThreads::Stop() {
  {
    kovrim::MutexLock lock(&mMutex);
    mStopping = true;
  }
  mWake.NotifyAll();
  mIoChanged.NotifyAll();
  if (mIo.joinable()) mIo.join();
  if (mEvaluation.joinable()) mEvaluation.join();
  Forget(this);
}

void RealTimeThreads::PauseIo() {
  kovrim::MutexLock lock(&mMutex);
  mIoPaused = true;
  while (mIoRunning) mIoChanged.Wait(&mMutex);
}

void RealTimeThreads::ResumeIo() {
  {
    kovrim::MutexLock lock(&mMutex);
    mIoPaused = false;
  }
  mIoChanged.NotifyAll();
}

void RealTimeThreads::NotifyIo() {
  const FBDevice::kDeviceIOs action =
      mClock->IsPlaying() ? FBDevice::kIOPlayModeRead : FBDevice::kIOStopModeRead;
  if (mIoObserver) mIoObserver(true);
  RunDeviceIO(mDevice, mClock->LocalTime(), action);
  if (mIoObserver) mIoObserver(false);
}

void RealTimeThreads::Evaluate() {
  const bool evaluated = EvaluateDevice(mDevice, mClock->LocalTime());
  if (mAfterEvaluation) mAfterEvaluation(evaluated);
}

void RealTimeThreads::Loop(HostClock::duration period, const std::function<void()>& step,
                           bool isIo) {
  HostClock::time_point next = HostClock::now();
  mMutex.Lock();
  while (!mStopping) {
    if (isIo) {
      while (!mStopping && mIoPaused) mIoChanged.Wait(&mMutex);
      if (mStopping) break;
      mIoRunning = true;
    }
    mMutex.Unlock();
    step();
    mMutex.Lock();
    if (isIo) {
      mIoRunning = false;
      mIoChanged.NotifyAll();
    }
    next += period;
    const HostClock::time_point now = HostClock::now();
    if (next + period < now) next = now;
    while (!mStopping) {
      if (!mWake.WaitUntil(&mMutex, next)) break;
    }
  }
  mMutex.Unlock();
}

}  // namespace fbsdk_control

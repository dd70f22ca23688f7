#include <fbsdk_control/realtime_threads.h>

#include <utility>

#include <fbsdk_control/scene_control.h>

namespace fbsdk_control {

using FBSDKNamespace::FBDevice;
using FBSDKNamespace::FBTime;

HostClock::duration SecondsToDuration(double seconds) {
  return std::chrono::duration_cast<HostClock::duration>(std::chrono::duration<double>(seconds));
}

double SecondsSince(HostClock::time_point start) {
  return std::chrono::duration<double>(HostClock::now() - start).count();
}

FBTime SessionClock::LocalTime() const {
  std::lock_guard<std::mutex> lock(mMutex);
  FBTime time;
  if (mPlaying) {
    time.SetSecondDouble(mHeldSeconds + SecondsSince(mOrigin));
  } else {
    time.SetSecondDouble(mHeldSeconds);
  }
  return time;
}

void SessionClock::Play() {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mPlaying) return;
  mOrigin = HostClock::now();
  mPlaying = true;
}

void SessionClock::Stop() {
  std::lock_guard<std::mutex> lock(mMutex);
  if (!mPlaying) return;
  mHeldSeconds += SecondsSince(mOrigin);
  mPlaying = false;
}

bool SessionClock::IsPlaying() const {
  std::lock_guard<std::mutex> lock(mMutex);
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
    std::lock_guard<std::mutex> lock(mMutex);
    mStopping = false;
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
    std::lock_guard<std::mutex> lock(mMutex);
    mStopping = true;
  }
  mWake.notify_all();
  mIoChanged.notify_all();
  if (mIo.joinable()) mIo.join();
  if (mEvaluation.joinable()) mEvaluation.join();
}

void RealTimeThreads::PauseIo() {
  std::unique_lock<std::mutex> lock(mMutex);
  mIoPaused = true;
  mIoChanged.wait(lock, [this] { return !mIoRunning; });
}

void RealTimeThreads::ResumeIo() {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mIoPaused = false;
  }
  mIoChanged.notify_all();
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
  std::unique_lock<std::mutex> lock(mMutex);
  while (!mStopping) {
    if (isIo) {
      mIoChanged.wait(lock, [this] { return mStopping || !mIoPaused; });
      if (mStopping) break;
      mIoRunning = true;
    }
    lock.unlock();
    step();
    lock.lock();
    if (isIo) {
      mIoRunning = false;
      mIoChanged.notify_all();
    }
    next += period;
    const HostClock::time_point now = HostClock::now();
    if (next + period < now) next = now;
    mWake.wait_until(lock, next, [this] { return mStopping; });
  }
}

}  // namespace fbsdk_control

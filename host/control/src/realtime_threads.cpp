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
  std::mutex mMutex;
  std::vector<std::pair<FBDevice*, RealTimeThreads*>> mRunning;  // guarded by mMutex
};

RunningThreads& Running() {
  static RunningThreads* running = new RunningThreads;  // Leaked: threads may stop during exit.
  return *running;
}

void Forget(RealTimeThreads* threads) {
  RunningThreads& running = Running();
  std::lock_guard<std::mutex> lock(running.mMutex);
  running.mRunning.erase(std::remove_if(running.mRunning.begin(), running.mRunning.end(),
                                        [&](const auto& entry) { return entry.second == threads; }),
                         running.mRunning.end());
}

}  // namespace

void StopRealTimeThreadsOf(FBDevice* device) {
  std::vector<RealTimeThreads*> threads;
  {
    RunningThreads& running = Running();
    std::lock_guard<std::mutex> lock(running.mMutex);
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
  {
    RunningThreads& running = Running();
    std::lock_guard<std::mutex> lock(running.mMutex);
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
    std::lock_guard<std::mutex> lock(mMutex);
    mStopping = true;
  }
  mWake.notify_all();
  mIoChanged.notify_all();
  if (mIo.joinable()) mIo.join();
  if (mEvaluation.joinable()) mEvaluation.join();
  Forget(this);
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

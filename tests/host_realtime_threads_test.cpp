// The host's transport clock and a device's real-time threads (fbsdk_control/realtime_threads.h):
// the clock holds while stopped, the threads notify and evaluate the device on their own, a
// paused I/O thread starts no notification and waits for the one in flight, the evaluation
// thread is left out at a display rate of 0, and the host stops a device's threads before it
// destroys the device.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/realtime_threads.h>
#include <fbsdk_control/scene_control.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "host_sample_device.h"
#include "link_test_util.h"

namespace {

namespace control = fbsdk_control;
using linktest::WaitUntil;

constexpr std::chrono::seconds kDeadline(10);

class HostRealTimeThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mDevice = FBCast<SampleDevice>(control::CreateDevice(SAMPLE_DEVICE_LABEL, "Device"));
    ASSERT_NE(mDevice, nullptr);
    mDevice->AddJoint("Hips");
    FBModel* reference = control::CreateModel("Reference");
    mHips = control::CreateModel("Hips", reference);
    ASSERT_TRUE(control::BindSkeleton(mDevice, reference));
  }
  void TearDown() override { control::DestroyDevice(mDevice); }

  control::ScopedHostCapture mCapture;
  SampleDevice* mDevice = nullptr;
  FBModel* mHips = nullptr;
  control::SessionClock mClock;
};

TEST_F(HostRealTimeThreadsTest, ClockRunsOnlyWhilePlaying) {
  EXPECT_FALSE(mClock.IsPlaying());
  EXPECT_EQ(mClock.LocalTime().Get(), 0);
  mClock.Play();
  EXPECT_TRUE(mClock.IsPlaying());
  ASSERT_TRUE(WaitUntil(
      "local time moves", [&] { return mClock.LocalTime().Get() > 0; },
      [] { std::this_thread::yield(); }, kDeadline));
  mClock.Stop();
  const FBTime held = mClock.LocalTime();
  EXPECT_FALSE(mClock.IsPlaying());
  EXPECT_EQ(mClock.LocalTime().Get(), held.Get());
  // Playing again goes on from the held time.
  mClock.Play();
  ASSERT_TRUE(WaitUntil(
      "time moves again", [&] { return mClock.LocalTime().Get() > held.Get(); },
      [] { std::this_thread::yield(); }, kDeadline));
  EXPECT_GE(mClock.LocalTime().Get(), held.Get());
}

TEST_F(HostRealTimeThreadsTest, ThreadsNotifyAndEvaluateUntilStopped) {
  mDevice->mWriteEveryNode = true;  // one notification a pass, as a real device gets
  std::atomic<long> evaluated{0};
  std::atomic<long> starting{0};
  std::atomic<long> ended{0};
  control::RealTimeThreads threads(mDevice, &mClock, 1.0, 500.0, [&](bool bound) {
    if (bound) ++evaluated;
  });
  threads.SetIoObserver([&](bool start) {
    if (start) {
      ++starting;
    } else {
      ++ended;
    }
  });
  EXPECT_FALSE(threads.IsRunning());
  threads.Start();
  EXPECT_TRUE(threads.IsRunning());
  ASSERT_TRUE(WaitUntil(
      "I/O notifications", [&] { return mDevice->mIONotifications >= 5; },
      [] { std::this_thread::yield(); }, kDeadline));
  ASSERT_TRUE(WaitUntil(
      "evaluation passes", [&] { return evaluated >= 5; }, [] { std::this_thread::yield(); },
      kDeadline));
  threads.Stop();
  threads.Stop();  // idempotent
  EXPECT_FALSE(threads.IsRunning());
  // Each evaluation notified the device once; each notification was announced before and after.
  EXPECT_EQ(mDevice->mNotifications.load(), evaluated.load());
  EXPECT_EQ(starting.load(), mDevice->mIONotifications.load());
  EXPECT_EQ(ended.load(), mDevice->mIONotifications.load());
}

TEST_F(HostRealTimeThreadsTest, DisplayRateZeroRunsTheIoThreadAlone) {
  control::RealTimeThreads threads(mDevice, &mClock, 1.0, 0.0);
  threads.Start();
  ASSERT_TRUE(WaitUntil(
      "I/O notifications", [&] { return mDevice->mIONotifications >= 20; },
      [] { std::this_thread::yield(); }, kDeadline));
  threads.Stop();
  EXPECT_EQ(mDevice->mNotifications.load(), 0);
}

TEST_F(HostRealTimeThreadsTest, PausedIoStartsNoNotificationUntilResumed) {
  std::atomic<long> evaluated{0};
  control::RealTimeThreads threads(mDevice, &mClock, 1.0, 1000.0, [&](bool) { ++evaluated; });
  threads.Start();
  ASSERT_TRUE(WaitUntil(
      "I/O notifications", [&] { return mDevice->mIONotifications >= 2; },
      [] { std::this_thread::yield(); }, kDeadline));
  threads.PauseIo();
  const long paused = mDevice->mIONotifications;
  // The evaluation thread keeps its pace meanwhile: time passes, the I/O thread stays put.
  const long from = evaluated;
  ASSERT_TRUE(WaitUntil(
      "evaluations while paused", [&] { return evaluated >= from + 20; },
      [] { std::this_thread::yield(); }, kDeadline));
  EXPECT_EQ(mDevice->mIONotifications.load(), paused);
  threads.ResumeIo();
  ASSERT_TRUE(WaitUntil(
      "I/O resumes", [&] { return mDevice->mIONotifications > paused; },
      [] { std::this_thread::yield(); }, kDeadline));
  threads.Stop();
}

TEST_F(HostRealTimeThreadsTest, PauseWaitsForTheNotificationInFlight) {
  // The I/O thread is held inside a key of its notification.
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool released = false;
  control::SetHostCallHook([&](control::HostCall call, const void*) {
    if (call != control::HostCall::kKeyAdd) return;
    std::unique_lock<std::mutex> lock(mutex);
    if (held) return;
    held = true;
    changed.notify_all();
    changed.wait_for(lock, 2 * kDeadline, [&] { return released; });
  });
  auto release = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      released = true;
    }
    changed.notify_all();
  };
  std::atomic<long> evaluated{0};
  control::RealTimeThreads threads(mDevice, &mClock, 1.0, 1000.0, [&](bool) { ++evaluated; });
  threads.Start();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return held; }));
  }
  std::atomic<bool> pauseReturned{false};
  std::thread pauser([&] {
    threads.PauseIo();
    pauseReturned = true;
  });
  // While the evaluation thread runs 20 passes, the pause stays inside: the held notification
  // has not finished.
  const long from = evaluated;
  WaitUntil(
      "evaluations while held", [&] { return evaluated >= from + 20; },
      [] { std::this_thread::yield(); }, kDeadline);
  EXPECT_FALSE(pauseReturned);
  const long inFlight = mDevice->mIONotifications;
  release();
  pauser.join();
  EXPECT_TRUE(pauseReturned);
  EXPECT_EQ(mDevice->mIONotifications.load(), inFlight);
  threads.ResumeIo();
  threads.Stop();
  control::SetHostCallHook(nullptr);
}

// The host stops calling a device before it takes it down: by the time the device hears of it
// (going offline), neither thread runs, and nothing reaches the freed device afterwards.
TEST_F(HostRealTimeThreadsTest, DestroyingTheDeviceStopsItsThreadsFirst) {
  mDevice->mWriteEveryNode = true;
  std::atomic<long> evaluated{0};
  control::RealTimeThreads threads(mDevice, &mClock, 1.0, 500.0, [&](bool bound) {
    if (bound) ++evaluated;
  });
  int runningAtStop = -1;
  mDevice->mOnLog = [&](const std::string& entry) {
    if (entry == "op:3") runningAtStop = threads.IsRunning() ? 1 : 0;
  };
  mDevice->Online = true;
  threads.Start();
  ASSERT_TRUE(WaitUntil(
      "I/O notifications", [&] { return mDevice->mIONotifications >= 5; },
      [] { std::this_thread::yield(); }, kDeadline));
  ASSERT_TRUE(WaitUntil(
      "evaluation passes", [&] { return evaluated >= 5; }, [] { std::this_thread::yield(); },
      kDeadline));
  control::DestroyDevice(mDevice);
  mDevice = nullptr;
  EXPECT_EQ(runningAtStop, 0);
  EXPECT_FALSE(threads.IsRunning());
  threads.Stop();  // the owner's own stop does nothing more
}

}  // namespace

// The evaluation gate and the engine under concurrency: EvaluationPause really holds passes back
// and waits for running ones, and one thread evaluating while others record and rebuild templates
// and nodes never touches freed memory (run under -fsanitize=thread as well).
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "host_sample_device.h"

namespace {

constexpr std::chrono::seconds kDeadline(10);

// A one-shot signal with a bounded wait.
class Latch {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mOpen = true;
    }
    mChanged.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, kDeadline, [&] { return mOpen; });
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mOpen = false;  // Guarded by mMutex.
};

class HostEvaluationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mDevice = FBCast<SampleDevice>(fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Device"));
    ASSERT_NE(mDevice, nullptr);
    mHips = mDevice->AddJoint("Hips");
    mReference = fbsdk_control::CreateModel("Reference");
    mHipsModel = fbsdk_control::CreateModel("Hips", mReference);
    ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReference));
  }
  void TearDown() override { fbsdk_control::DestroyDevice(mDevice); }

  fbsdk_control::ScopedHostCapture mCapture;
  SampleDevice* mDevice = nullptr;
  SampleJoint mHips;
  FBModel* mReference = nullptr;
  FBModel* mHipsModel = nullptr;
};

TEST_F(HostEvaluationTest, PausedEvaluationWaitsUntilEveryPauseHasEnded) {
  FBPlayerControl& player = FBPlayerControl::TheOne();
  player.EvaluationPause();
  player.EvaluationPause();
  std::atomic<bool> evaluated{false};
  std::thread evaluation([&] {
    fbsdk_control::EvaluateDevice(mDevice, FBTime(0));
    evaluated = true;
  });
  ASSERT_TRUE(fbsdk_control::WaitForEvaluationsWaiting(1, kDeadline));
  EXPECT_EQ(mDevice->mNotifications.load(), 0);

  player.EvaluationResume();  // Still paused once.
  EXPECT_EQ(fbsdk_control::EvaluationPauseDepth(), 1);
  EXPECT_EQ(fbsdk_control::EvaluationsWaiting(), 1);
  EXPECT_FALSE(evaluated);

  player.EvaluationResume();
  evaluation.join();
  EXPECT_TRUE(evaluated);
  EXPECT_EQ(mDevice->mNotifications.load(), 2);
  EXPECT_EQ(fbsdk_control::EvaluationsWaiting(), 0);
}

TEST_F(HostEvaluationTest, PauseReturnsOnlyAfterTheRunningPassHasFinished) {
  Latch inNotify;
  Latch release;
  std::atomic<bool> notifyExited{false};
  std::atomic<int> calls{0};
  mDevice->mOnNotify = [&] {
    if (calls++ > 0) return;
    inNotify.Open();
    release.Wait();
    notifyExited = true;
  };
  std::thread evaluation([&] { fbsdk_control::EvaluateDevice(mDevice, FBTime(0)); });
  ASSERT_TRUE(inNotify.Wait());

  std::atomic<bool> passDoneWhenPaused{false};
  std::thread pauser([&] {
    FBPlayerControl::TheOne().EvaluationPause();
    passDoneWhenPaused = notifyExited.load();
    FBPlayerControl::TheOne().EvaluationResume();
  });
  ASSERT_TRUE(fbsdk_control::WaitForEvaluationPauseDepth(1, kDeadline));
  release.Open();
  evaluation.join();
  pauser.join();
  EXPECT_TRUE(passDoneWhenPaused);
}

TEST_F(HostEvaluationTest, PausingFromInsideAPassDoesNotWaitForItself) {
  mDevice->mOnNotify = [] {
    FBPlayerControl::TheOne().EvaluationPause();
    FBPlayerControl::TheOne().EvaluationResume();
  };
  EXPECT_TRUE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0)));
  EXPECT_EQ(fbsdk_control::EvaluationPauseDepth(), 0);
}

TEST_F(HostEvaluationTest, UnbindNotificationMayPauseWhileAnotherThreadEvaluates) {
  // As a device freezing its pose on release does: pause, read the models, resume.
  mDevice->mOnUnbind = [this](FBModelTemplate*) {
    FBPlayerControl::TheOne().EvaluationPause();
    mHipsModel->Translation.SetAnimated(true, false);
    FBVector3<double> value;
    mHipsModel->Translation.GetData(value.mValue, sizeof(value.mValue), nullptr);
    if (FBAnimationNode* node = mHipsModel->Translation.GetAnimationNode(nullptr)) {
      node->SetCandidate(value.mValue, false);
    }
    FBPlayerControl::TheOne().EvaluationResume();
  };
  std::atomic<bool> stop{false};
  std::thread evaluation([&] {
    while (!stop) fbsdk_control::EvaluateDevice(mDevice, FBTime(0));
  });
  fbsdk_control::UnbindSkeleton(mDevice);
  stop = true;
  evaluation.join();
  EXPECT_EQ(static_cast<FBModel*>(mHips.mTemplate->Model), nullptr);
}

TEST_F(HostEvaluationTest, EvaluationRecordingAndRebuildingRunTogetherSafely) {
  constexpr int kRounds = 300;
  fbsdk_control::SetTransportMode(kFBTransportPlay);
  fbsdk_control::StartRecording();
  std::atomic<bool> stop{false};
  std::atomic<long> passes{0};

  std::thread evaluation([&] {
    while (!stop) {
      fbsdk_control::EvaluateDevice(mDevice, FBTime(0));
      ++passes;
    }
  });
  std::thread io([&] {
    for (int i = 0; !stop; ++i) fbsdk_control::RunDeviceIO(mDevice, FBTime(0, 0, 0, i));
  });

  // The UI side starts once a pass has run: on a busy machine the 300 rounds can be over before
  // the evaluation thread is first scheduled, and then nothing would have run together.
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (passes.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_GT(passes.load(), 0) << "no evaluation pass within the deadline";

  // The UI thread's side: templates, nodes and models come and go, bindings move.
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "Joint" + std::to_string(round);
    FBModelTemplate* modelTemplate =
        new FBModelTemplate("P", name.c_str(), kFBModelTemplateSkeleton);
    mHips.mTemplate->Children.Add(modelTemplate);
    FBAnimationNode* t = mDevice->AnimationNodeOutCreate(20000 + round, (name + "T").c_str(),
                                                         ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
    FBAnimationNode* r = mDevice->AnimationNodeOutCreate(20000 + round, (name + "R").c_str(),
                                                         ANIMATIONNODE_TYPE_LOCAL_ROTATION);
    modelTemplate->Bindings.Add(t);
    modelTemplate->Bindings.Add(r);
    FBModel* model = fbsdk_control::CreateModel(name.c_str(), mHipsModel);
    modelTemplate->Model = model;
    if (round % 3 == 0) fbsdk_control::DestroyModel(model);  // Bound model goes first.
    mDevice->AnimationNodeDestroy(t);
    if (round % 2 == 0) {
      delete modelTemplate;  // With a live bound node.
      mDevice->AnimationNodeDestroy(r);
    } else {
      mDevice->AnimationNodeDestroy(r);
      delete modelTemplate;
    }
    if (round % 3 != 0) fbsdk_control::DestroyModel(model);
    // The stable joint's model is replaced under the recording and evaluating threads.
    if (round % 50 == 0) {
      FBModel* replacement = fbsdk_control::CreateModel("Hips", mReference);
      fbsdk_control::DestroyModel(mHipsModel);
      mHipsModel = replacement;
      mHips.mTemplate->Model = mHipsModel;
    }
  }
  stop = true;
  evaluation.join();
  io.join();

  EXPECT_GT(passes.load(), 0);
  EXPECT_EQ(mDevice->GetOutConnectorCount(), 2);  // Only the stable joint's nodes are left.
  EXPECT_EQ(mHips.mTemplate->Children.GetCount(), 0);
  EXPECT_EQ(static_cast<FBModel*>(mHips.mTemplate->Model), mHipsModel);
}

}  // namespace

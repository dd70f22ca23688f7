// The device in the host stand-in: registration, creation, device operations, the template tree
// and its clear and rebuild, the deferred work, and both real-time paths (evaluation gate, keys,
// T-pose, standstill while rebuilding), the passes against every change of the joint list,
// with one side held inside a host call, and the device deleted or cleared with the scene while
// it streams and records.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>
#include <fbsdk_control/realtime_threads.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kovrim_device.h"
#include "kovrim_layout.h"
#include "link_test_util.h"
#include "server_link_test_peer.h"

using namespace linktest;
namespace control = fbsdk_control;

// The library entry, exported under its C++ name.
void EntryPointKovrimDevice(FBSDKNamespace::kFBDllOperation pOperation);

namespace {

constexpr uint32_t kTag = 4;

int CountEntries(const char* group, const char* entry) {
  int count = 0;
  for (int g = 0; g < FBObject_GetGroupCount(); ++g) {
    if (std::string(FBObject_GetGroupName(g)) != group) continue;
    for (int e = 0; e < FBObject_GetEntryCount(g); ++e) {
      if (std::string(FBObject_GetEntryName(g, e)) == entry) ++count;
    }
  }
  return count;
}

// Hips(Spine, LeftUpLeg(end site)).
BVH_JOIN SmallSkeleton() {
  return Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, Y_ROT, X_ROT}, {0, 10, 0},
               {Joint("Spine", {Z_ROT, Y_ROT, X_ROT}, {0, 5, 0}),
                Joint("LeftUpLeg", {Z_ROT, Y_ROT, X_ROT}, {3, -2, 0}, {}, {0, -8, 0})});
}

class KovrimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control::SetTraceEcho(false);
    control::SetMessageBoxHandler([](const control::MessageBoxRecord&) { return 1; });
    FBDevice* device = control::CreateDevice(KOVRIM_DEVICE_LABEL, "Kovrim device");
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->Is(KovrimDevice::TypeInfo));
    mDevice = static_cast<KovrimDevice*>(device);
  }
  void TearDown() override { control::DestroyDevice(mDevice); }

  FBModelTemplate* Reference() { return mDevice->ModelTemplate.Children[0]; }

  // A header that answers a query, taken by the link as the I/O thread would.
  void AcceptHeader(const BVH_JOIN& root) {
    mDevice->mLink.mActorTag = kTag;
    mDevice->mLink.mHeaderPending = true;
    Dispatch(HeaderMessage(kTag, root));
  }
  void Dispatch(const IVRA_PLUGIN_MESSAGE& envelope) {
    const std::string bytes = envelope.SerializePartialAsString();
    mDevice->mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
  }
  std::vector<JointNodes> Records() {
    return std::vector<JointNodes>(mDevice->mJoints.begin(), mDevice->mJoints.end());
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> texts;
    for (const auto& box : control::MessageBoxesShown())
      texts.push_back(box.title + ": " + box.message);
    return texts;
  }

  control::ScopedHostCapture mHost;
  KovrimDevice* mDevice = nullptr;
};

TEST_F(KovrimDeviceTest, LibraryRegistersEachRecordOnce) {
  EXPECT_EQ(CountEntries("Boxes/Devices", KOVRIM_DEVICE_LABEL), 1);
  EXPECT_EQ(CountEntries("FbxStorable/Device", KOVRIM_DEVICE_UNIQUE_NAME), 1);
  EXPECT_EQ(CountEntries("UI_Associated_ClassName", KOVRIM_DEVICE_UNIQUE_NAME), 1);
  EntryPointKovrimDevice(kFBDllLoad);
  EntryPointKovrimDevice(kFBDllUnLoad);
  EXPECT_EQ(CountEntries("Boxes/Devices", KOVRIM_DEVICE_LABEL), 1);
  EXPECT_EQ(CountEntries("FbxStorable/Device", KOVRIM_DEVICE_UNIQUE_NAME), 1);
  EXPECT_EQ(CountEntries("UI_Associated_ClassName", KOVRIM_DEVICE_UNIQUE_NAME), 1);
  // The panel's type id follows the device's on the host's counter.
  EXPECT_EQ(KovrimDeviceLayout::TypeInfo, KovrimDevice::TypeInfo + 1);
}

TEST_F(KovrimDeviceTest, NewDeviceHasAnEmptyReferenceRootAndItsSampling) {
  EXPECT_STREQ(mDevice->ClassName(), "KovrimDevice");
  EXPECT_EQ(mDevice->GetTypeId(), KovrimDevice::TypeInfo);
  EXPECT_TRUE(mDevice->Is(FBDevice::TypeInfo));
  EXPECT_TRUE(mDevice->Is(FBBox::TypeInfo));
  EXPECT_FALSE(mDevice->Is(FBModelTemplate::TypeInfo));
  EXPECT_STREQ(mDevice->UniqueName, KOVRIM_DEVICE_UNIQUE_NAME);
  EXPECT_EQ(static_cast<int>(mDevice->SamplingMode), 0);
  FBTime period = mDevice->SamplingPeriod;
  FBTime second(0, 0, 1, 0, 0, kFBTimeModeDefault);
  EXPECT_EQ(period.Get(), (second / 96.0).Get());
  ASSERT_EQ(mDevice->ModelTemplate.Children.GetCount(), 1);
  EXPECT_STREQ(static_cast<const char*>(Reference()->Name), "Reference");
  EXPECT_EQ(control::TemplateStyle(Reference()), kFBModelTemplateRoot);
  EXPECT_EQ(Reference()->Children.GetCount(), 0);
  EXPECT_TRUE(mDevice->mJoints.empty());
  EXPECT_TRUE(mDevice->mTemplateRebuildPending);
}

TEST_F(KovrimDeviceTest, DeviceOperationsWithoutAServer) {
  EXPECT_TRUE(mDevice->DeviceOperation(FBDevice::kOpInit));
  EXPECT_TRUE(mDevice->DeviceOperation(FBDevice::kOpStop));  // never connected
  EXPECT_TRUE(mDevice->DeviceOperation(FBDevice::kOpDone));  // empty list
  EXPECT_EQ(mDevice->mLink.Connection()->mSocket, 0);
  EXPECT_TRUE(control::MessageBoxesShown().empty());
  // Codes the device does not handle answer what the host base answers.
  for (auto code : {FBDevice::kOpAutoDetect, static_cast<FBDevice::kDeviceOperations>(7)}) {
    EXPECT_EQ(mDevice->DeviceOperation(code), mDevice->FBDevice::DeviceOperation(code));
  }
  // Connect-and-disconnect to nowhere still answers true, after the link's warning.
  {
    ScriptedPeer closed;
    mDevice->mLink.mPort = closed.Port();
  }
  EXPECT_FALSE(mDevice->DeviceOperation(FBDevice::kOpStart));
  EXPECT_TRUE(mDevice->DeviceOperation(FBDevice::kOpReset));
  EXPECT_EQ(Messages(), std::vector<std::string>(2, "Warning: Can not connect to this address."));
}

TEST_F(KovrimDeviceTest, ConnectThenDisconnectEndsOffline) {
  ScriptedPeer peer;
  mDevice->mLink.mPort = peer.Port();
  EXPECT_TRUE(mDevice->DeviceOperation(FBDevice::kOpReset));
  EXPECT_FALSE(mDevice->mLink.mOnline);
  ASSERT_TRUE(peer.Accept());
  EXPECT_TRUE(peer.SeesEof());
  EXPECT_TRUE(mDevice->DeviceOperation(FBDevice::kOpStart));
  EXPECT_TRUE(mDevice->mLink.mOnline);
}

TEST_F(KovrimDeviceTest, TemplateTreeMirrorsTheSkeleton) {
  AcceptHeader(SmallSkeleton());
  mDevice->ProcessPending();
  EXPECT_FALSE(mDevice->mTemplateRebuildPending);
  const std::vector<JointNodes> records = Records();
  ASSERT_EQ(records.size(), 4u);
  const char* names[] = {"Hips", "Spine", "LeftUpLeg", "LeftUpLeg_End"};
  const FBModelTemplateStyle styles[] = {kFBModelTemplateRoot, kFBModelTemplateSkeleton,
                                         kFBModelTemplateSkeleton, kFBModelTemplateSkeleton};
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const JointNodes& record = records[i];
    EXPECT_EQ(record.mIsEndSite, i == 3);
    EXPECT_STREQ(static_cast<const char*>(record.mTemplate->Name), names[i]);
    EXPECT_STREQ(static_cast<const char*>(record.mTemplate->Prefix), "KovrimQuorve");
    EXPECT_EQ(control::TemplateStyle(record.mTemplate), styles[i]);
    EXPECT_EQ(static_cast<kReference>(record.mTranslationNode->Reference), 10001 + i);
    EXPECT_EQ(static_cast<kReference>(record.mRotationNode->Reference), 10001 + i);
    EXPECT_EQ(std::string(record.mTranslationNode->Name), std::string(names[i]) + "T");
    EXPECT_EQ(std::string(record.mRotationNode->Name), std::string(names[i]) + "R");
    EXPECT_STREQ(control::NodeDataType(record.mTranslationNode), "Lcl Translation");
    EXPECT_STREQ(control::NodeDataType(record.mRotationNode), "Lcl Rotation");
    ASSERT_EQ(record.mTemplate->Bindings.GetCount(), 2);
    EXPECT_EQ(record.mTemplate->Bindings[0], record.mRotationNode);
    EXPECT_EQ(record.mTemplate->Bindings[1], record.mTranslationNode);
  }
  // Shape: Reference > Hips > (Spine, LeftUpLeg > LeftUpLeg_End).
  ASSERT_EQ(Reference()->Children.GetCount(), 1);
  EXPECT_EQ(Reference()->Children[0], records[0].mTemplate);
  ASSERT_EQ(records[0].mTemplate->Children.GetCount(), 2);
  EXPECT_EQ(records[0].mTemplate->Children[1], records[2].mTemplate);
  ASSERT_EQ(records[2].mTemplate->Children.GetCount(), 1);
  EXPECT_EQ(records[2].mTemplate->Children[0], records[3].mTemplate);
  // The first build happens once: a later header does not rebuild.
  AcceptHeader(Joint("Other", {}, {0, 0, 0}));
  mDevice->ProcessPending();
  EXPECT_EQ(mDevice->GetJointCount(), 4);
}

TEST_F(KovrimDeviceTest, NestedHipsAndEndSiteAfterDescendants) {
  AcceptHeader(Joint("Root", {Z_ROT, Y_ROT, X_ROT}, {0, 0, 0},
                     {Joint("Hips", {Z_ROT, Y_ROT, X_ROT}, {0, 1, 0},
                            {Joint("Leg", {}, {0, -1, 0})}, {0, 0, 4})}));
  mDevice->ProcessPending();
  const std::vector<JointNodes> records = Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(control::TemplateStyle(records[0].mTemplate), kFBModelTemplateSkeleton);
  EXPECT_EQ(control::TemplateStyle(records[1].mTemplate), kFBModelTemplateRoot);
  EXPECT_STREQ(static_cast<const char*>(records[2].mTemplate->Name), "Leg");
  EXPECT_STREQ(static_cast<const char*>(records[3].mTemplate->Name), "Hips_End");
  ASSERT_EQ(records[1].mTemplate->Children.GetCount(), 2);
  EXPECT_EQ(records[1].mTemplate->Children[1], records[3].mTemplate);
}

TEST_F(KovrimDeviceTest, ClearLeavesOnlyTheEmptyRoot) {
  AcceptHeader(SmallSkeleton());
  mDevice->ProcessPending();
  const std::vector<JointNodes> records = Records();
  EXPECT_TRUE(mDevice->DeviceOperation(FBDevice::kOpDone));
  EXPECT_TRUE(mDevice->mJoints.empty());
  for (const JointNodes& record : records) {
    EXPECT_FALSE(control::IsLiveComponent(record.mTemplate));
    EXPECT_FALSE(control::IsLiveComponent(record.mTranslationNode));
    EXPECT_FALSE(control::IsLiveComponent(record.mRotationNode));
  }
  ASSERT_EQ(mDevice->ModelTemplate.Children.GetCount(), 1);
  EXPECT_EQ(Reference()->Children.GetCount(), 0);
}

TEST_F(KovrimDeviceTest, RebuildReplacesTheRootAndRestartsReferences) {
  mDevice->RebuildSkeletonTemplate();  // before any header: empty root, still the message
  EXPECT_EQ(Reference()->Children.GetCount(), 0);
  AcceptHeader(SmallSkeleton());
  mDevice->ProcessPending();
  FBModelTemplate* oldRoot = Reference();
  AcceptHeader(Joint("Solo", {Z_ROT, Y_ROT, X_ROT}, {0, 0, 0}, {}, {1, 0, 0}));
  mDevice->RebuildSkeletonTemplate();
  EXPECT_FALSE(control::IsLiveComponent(oldRoot));
  ASSERT_EQ(mDevice->ModelTemplate.Children.GetCount(), 1);
  EXPECT_EQ(Reference(), mDevice->mRootTemplate);
  const std::vector<JointNodes> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(static_cast<kReference>(records[0].mRotationNode->Reference), 10001u);
  EXPECT_STREQ(static_cast<const char*>(records[1].mTemplate->Name), "Solo_End");
  const std::string rebuilt =
      "Info: Skeleton template has been rebuilt, \nplease select or create a new skeleton in "
      "'Model binding' control.";
  EXPECT_EQ(Messages(), std::vector<std::string>(2, rebuilt));
}

// Each rebuild replaces the templates and nodes it made; nothing of the old tree stays alive,
// so repeated rebuilds (a long session) keep the host's object count flat.
TEST_F(KovrimDeviceTest, RebuildsLeaveTheLiveObjectCountFlat) {
  AcceptHeader(SmallSkeleton());
  mDevice->ProcessPending();
  mDevice->RebuildSkeletonTemplate();
  // Counted, not looked up: a freed block's address is soon reused by the next rebuild.
  const int afterOne = control::LiveComponentCount();
  for (int i = 0; i < 20; ++i) mDevice->RebuildSkeletonTemplate();
  EXPECT_EQ(control::LiveComponentCount(), afterOne);
  EXPECT_EQ(mDevice->GetOutConnectorCount(), 2 * static_cast<int>(Records().size()));
}

TEST_F(KovrimDeviceTest, HeaderRequestIsAcknowledgedOnceWhenOnline) {
  mDevice->RequestBvhHeader();  // offline: the warning only
  EXPECT_FALSE(mDevice->mHeaderRequestPending);
  mDevice->ProcessPending();
  EXPECT_EQ(Messages(), std::vector<std::string>{"Warning: Please ensure you are online."});

  ScriptedPeer peer;
  mDevice->mLink.mPort = peer.Port();
  mDevice->Online = true;
  ASSERT_TRUE(peer.Accept());
  mDevice->mLink.mActorTag = kTag;
  mDevice->RequestBvhHeader();
  EXPECT_TRUE(mDevice->mLink.mHeaderPending);
  EXPECT_EQ(peer.Receive(4), "CCCC");
  mDevice->ProcessPending();  // not answered yet
  EXPECT_EQ(control::MessageBoxesShown().size(), 1u);
  Dispatch(HeaderMessage(kTag, SmallSkeleton()));
  mDevice->ProcessPending();
  mDevice->ProcessPending();
  EXPECT_EQ(Messages().back(), "Info: Request BVH header done.");
  EXPECT_EQ(control::MessageBoxesShown().size(), 2u);
  EXPECT_EQ(mDevice->GetJointCount(), 4);
}

// What the host shows with the device, kept current on the application's idle ticks whatever
// is shown, on the link's clock (driven here).
TEST_F(KovrimDeviceTest, StatusAndInformationSayWhatTheDeviceIsDoing) {
  ServerLinkTestPeer seams(&mDevice->mLink);
  seams.UseManualClock();
  auto shows = [&](const std::string& status, const std::string& information) {
    control::FireUIIdle();
    EXPECT_EQ(static_cast<const char*>(mDevice->Status), status);
    EXPECT_EQ(static_cast<const char*>(mDevice->Information), information);
  };
  auto read = [&](const char* what, const std::function<bool()>& done) {
    ASSERT_TRUE(WaitUntil(what, done, [&] { control::RunDeviceIO(mDevice, FBTime(0)); }));
  };
  EXPECT_EQ(control::UIIdleHandlerCount(), 1);
  shows("Offline", "");

  ScriptedPeer peer;
  mDevice->mLink.mPort = peer.Port();
  mDevice->Online = true;
  ASSERT_TRUE(peer.Accept());
  shows("Online", "waiting for the actor list");
  // The panel's choice of actor, then its header and a second of frames.
  mDevice->mLink.mActorTag = kTag;
  mDevice->mLink.mHeaderPending = true;
  ASSERT_TRUE(peer.Send(FrameBytes(ActorListMessage({{kTag, "walk"}}), Payload::kGzip)));
  read("the actor list", [&] { return mDevice->mLink.mActorsChanged.load(); });
  shows("Online", "waiting for the skeleton of walk");
  std::string frames = FrameBytes(HeaderMessage(kTag, SmallSkeleton()), Payload::kGzip);
  for (int i = 0; i < 120; ++i) {
    frames += FrameBytes(FrameMessage(kTag, std::vector<float>(12, 1.0f)), Payload::kGzip);
  }
  ASSERT_TRUE(peer.Send(frames));
  read("120 frames", [&] { return mDevice->mLink.FramesDecoded() == 120; });
  seams.Advance(std::chrono::seconds(1));
  shows("Online", "walk, 120 fps");
  seams.Advance(std::chrono::seconds(3));
  shows("Online", "no frames from walk for 3 s");

  // The server goes away; the device says so and tries again by itself.
  peer.CloseConnection();
  read("the loss", [&] {
    control::FireUIIdle();
    return std::string(mDevice->Status) == "Reconnecting";
  });
  shows("Reconnecting", "connection lost, retrying in 1 s");
  seams.Advance(std::chrono::milliseconds(500));
  shows("Connecting", "connecting to 127.0.0.1:" + std::to_string(peer.Port()));
  ASSERT_TRUE(peer.Accept());
  read("the new connection", [&] {
    control::FireUIIdle();
    return std::string(mDevice->Status) == "Online";
  });
  shows("Online", "waiting for the skeleton of walk");  // asked for again
  mDevice->Online = false;
  shows("Offline", "");
  EXPECT_TRUE(control::MessageBoxesShown().empty());

  // Each device has its own handler, detached when the host destroys it.
  FBDevice* second = control::CreateDevice(KOVRIM_DEVICE_LABEL, "Second");
  EXPECT_EQ(control::UIIdleHandlerCount(), 2);
  control::DestroyDevice(second);
  EXPECT_EQ(control::UIIdleHandlerCount(), 1);
}

// The real-time paths with a bound scene skeleton and a server streaming frames.
class KovrimDeviceLiveTest : public KovrimDeviceTest {
 protected:
  void SetUp() override {
    KovrimDeviceTest::SetUp();
    mDevice->mLink.mPort = mPeer.Port();
    mDevice->Online = true;
    ASSERT_TRUE(mPeer.Accept());
    AcceptHeader(SmallSkeleton());
    mDevice->ProcessPending();
    // Bound like the host's 'Model binding': a "Reference" model with the skeleton below it.
    mReference = control::CreateModel("Reference");
    mHips = control::CreateModel("Hips", mReference);
    mSpine = control::CreateModel("Spine", mHips);
    mLeg = control::CreateModel("LeftUpLeg", mHips);
    control::CreateModel("LeftUpLeg_End", mLeg);
    ASSERT_TRUE(control::BindSkeleton(mDevice, mReference));
  }

  // Sends one frame and runs I/O notifications until it has been acknowledged.
  void Stream(const std::vector<float>& values, FBTime time = FBTime(0)) {
    const long before = control::SamplesAcknowledged(mDevice);
    ASSERT_TRUE(mPeer.Send(FrameBytes(FrameMessage(kTag, values), Payload::kGzip)));
    ASSERT_TRUE(PollUntil([&] { return control::SamplesAcknowledged(mDevice) > before; },
                          [&] { control::RunDeviceIO(mDevice, time); }));
  }
  static std::vector<float> Frame(float x) { return {x, 1, 2, 0, 0, 30, 0, 45, 0, 10, 0, 0}; }

  ScriptedPeer mPeer;
  FBModel* mReference = nullptr;
  FBModel* mHips = nullptr;
  FBModel* mSpine = nullptr;
  FBModel* mLeg = nullptr;
};

TEST_F(KovrimDeviceLiveTest, EvaluationDrivesTheBoundSkeleton) {
  Stream(Frame(7));
  ASSERT_TRUE(control::EvaluateDevice(mDevice, FBTime(0)));
  FBVector3<double> t = mHips->Translation;
  EXPECT_EQ(t[0], 7);
  FBVector3<double> r = mSpine->Rotation;
  EXPECT_NEAR(r[1], 45, 1e-9);
  EXPECT_EQ(static_cast<FBVector3<double>>(mSpine->Translation)[1], 5);

  mDevice->mStayInTPose = true;
  ASSERT_TRUE(control::EvaluateDevice(mDevice, FBTime(0)));
  t = mHips->Translation;
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[1], 10);
  r = mSpine->Rotation;
  EXPECT_EQ(r[1], 0);
}

TEST_F(KovrimDeviceLiveTest, KeysNeedAnOpenGateARecordingAndThePlayingTransport) {
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  const FBTime t1(0, 0, 1), t2(0, 0, 2), t3(0, 0, 3);
  Stream(Frame(1), t1);  // no evaluation yet: acknowledged, no key
  EXPECT_EQ(mDevice->mEvaluationCount, 0);
  EXPECT_TRUE(control::RecordedKeys(mHips, "Lcl Translation").empty());

  // One pass (one notification: the first pull writes every node) opens the gate for one frame.
  ASSERT_TRUE(control::EvaluateDevice(mDevice, t1));
  EXPECT_EQ(mDevice->mEvaluationCount, 1);
  Stream(Frame(2), t2);
  EXPECT_EQ(mDevice->mEvaluationCount, 0);
  auto keys = control::RecordedKeys(mHips, "Lcl Translation");
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].mTime.Get(), t2.Get());
  EXPECT_EQ(keys[0].mValue[0], 2);
  EXPECT_EQ(keys[0].mInterpolation, kFBInterpolationCubic);
  EXPECT_EQ(keys[0].mTangentMode, kFBTangentModeAuto);
  EXPECT_NEAR(control::RecordedKeys(mSpine, "Lcl Rotation")[0].mValue[1], 45, 1e-9);

  // Frequency sampling keys at the host's current time, not the notification's.
  mDevice->SamplingMode = kFBAutoFrequency;
  control::SetCurrentTime(t3);
  ASSERT_TRUE(control::EvaluateDevice(mDevice, t2));
  Stream(Frame(3), t1);
  keys = control::RecordedKeys(mHips, "Lcl Translation");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[1].mTime.Get(), t3.Get());

  // A stopped transport adds nothing, with the gate open. (A sampling mode outside 0 to 3 cannot
  // be made: the enumeration's values span two bits, so any other value is undefined.)
  control::SetTransportMode(kFBTransportStop);
  ASSERT_TRUE(control::EvaluateDevice(mDevice, t3));
  Stream(Frame(4), FBTime(0, 0, 4));
  EXPECT_EQ(control::RecordedKeys(mHips, "Lcl Translation").size(), 2u);
  EXPECT_EQ(mDevice->mEvaluationCount, 0);
}

TEST_F(KovrimDeviceLiveTest, EachPassWritesThePoseOnceAndCountsOnceAtTheGate) {
  Stream(Frame(7));
  int writes = 0;
  control::SetHostCallHook([&](control::HostCall call, const void*) {
    if (call == control::HostCall::kWriteData) ++writes;
  });
  for (int pass = 1; pass <= 3; ++pass) {
    ASSERT_TRUE(control::EvaluateDevice(mDevice, FBTime(0)));
    EXPECT_EQ(mDevice->mEvaluationCount, pass);
  }
  control::SetHostCallHook(nullptr);
  // Two nodes for each of the four entries, once a pass.
  EXPECT_EQ(writes, 3 * 2 * 4);
  EXPECT_EQ(static_cast<FBVector3<double>>(mHips->Translation)[0], 7);
  // Three frames, three keyed I/O passes; a fourth frame finds the gate closed.
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  for (int frame = 1; frame <= 4; ++frame) Stream(Frame(frame), FBTime(0, 0, frame));
  EXPECT_EQ(mDevice->mEvaluationCount, 0);
  EXPECT_EQ(control::RecordedKeys(mHips, "Lcl Translation").size(), 3u);
}

// Regression: with other actors on the connection, each of their frames (dropped by the link)
// used up an evaluation and keyed the chosen actor's previous pose, and the chosen actor's own
// frame then found the gate closed: the take repeated some frames and skipped others.
TEST_F(KovrimDeviceLiveTest, OtherActorsFramesNeitherKeyNorCloseTheGate) {
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  constexpr int kFrames = 6;
  for (int frame = 1; frame <= kFrames; ++frame) {
    // The host evaluates twice a frame; two other actors' frames come before the chosen one's.
    ASSERT_TRUE(control::EvaluateDevice(mDevice, FBTime(0)));
    ASSERT_TRUE(control::EvaluateDevice(mDevice, FBTime(0)));
    const long before = control::SamplesAcknowledged(mDevice);
    for (uint32_t tag : {kTag + 1, kTag + 2, kTag}) {
      const float x = tag == kTag ? static_cast<float>(frame) : 100.0f + frame;
      ASSERT_TRUE(mPeer.Send(FrameBytes(FrameMessage(tag, Frame(x)), Payload::kGzip)));
    }
    // Every message is still acknowledged.
    ASSERT_TRUE(PollUntil([&] { return control::SamplesAcknowledged(mDevice) >= before + 3; },
                          [&] { control::RunDeviceIO(mDevice, FBTime(0, 0, frame)); }));
    EXPECT_EQ(control::SamplesAcknowledged(mDevice), before + 3);
  }
  const auto keys = control::RecordedKeys(mHips, "Lcl Translation");
  ASSERT_EQ(keys.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(keys[i].mValue[0], i + 1) << "key " << i;
    EXPECT_EQ(keys[i].mTime.Get(), FBTime(0, 0, i + 1).Get()) << "key " << i;
  }
  // Two evaluations a frame, one used by each of the chosen actor's frames.
  EXPECT_EQ(mDevice->mEvaluationCount, kFrames);
}

TEST_F(KovrimDeviceLiveTest, RecordingTakesTheLivePoseWhileTheTPoseIsShown) {
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  mDevice->mStayInTPose = true;
  ASSERT_TRUE(control::EvaluateDevice(mDevice, FBTime(0)));
  Stream(Frame(9), FBTime(0, 0, 1));
  EXPECT_EQ(control::RecordedKeys(mHips, "Lcl Translation").at(0).mValue[0], 9);
  ASSERT_TRUE(control::EvaluateDevice(mDevice, FBTime(0, 0, 1)));
  EXPECT_EQ(static_cast<FBVector3<double>>(mHips->Translation)[0], 0);
}

TEST_F(KovrimDeviceLiveTest, NotificationsForJointAndForeignNodes) {
  FBAnimationNode* jointNode = mDevice->mJoints.front().mRotationNode;
  FBAnimationNode* foreign =
      mDevice->AnimationNodeOutCreate(5, "Foreign", ANIMATIONNODE_TYPE_NUMBER);
  FBEvaluateInfo* info = nullptr;
  // A node below the joint references writes nothing and leaves the gate.
  EXPECT_EQ(mDevice->AnimationNodeNotify(foreign, info),
            mDevice->FBDevice::AnimationNodeNotify(foreign, info));
  EXPECT_EQ(mDevice->mEvaluationCount, 0);
  // With a characterization armed, every T-pose record written counts.
  mDevice->RequestCharacterize();
  mDevice->AnimationNodeNotify(jointNode, info);
  mDevice->AnimationNodeNotify(jointNode, info);
  EXPECT_EQ(mDevice->mTPoseFrameCount, 8u);
  EXPECT_EQ(mDevice->mEvaluationCount, 2);
  // While rebuilding both paths stand still, but messages are still read and acknowledged.
  mDevice->mRebuilding = true;
  EXPECT_FALSE(mDevice->AnimationNodeNotify(jointNode, info));
  EXPECT_EQ(mDevice->mEvaluationCount, 2);
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  Stream(Frame(3));
  EXPECT_EQ(mDevice->mEvaluationCount, 1);
  EXPECT_TRUE(control::RecordedKeys(mHips, "Lcl Translation").empty());
  mDevice->mRebuilding = false;
}

TEST_F(KovrimDeviceLiveTest, GateStopsAtItsLimitInsteadOfWrapping) {
  // Regression: when every bound node's notification raised the gate and each frame lowered it
  // by one, after days of evaluation the counter wrapped negative and closed the gate for good.
  // One notification per pass makes that unlikely (passes outrunning frames for a very long
  // time), but the bound stays.
  mDevice->mEvaluationCount = KovrimDevice::kEvaluationCountLimit - 1;
  FBAnimationNode* node = mDevice->mJoints.front().mRotationNode;
  mDevice->AnimationNodeNotify(node, nullptr);
  mDevice->AnimationNodeNotify(node, nullptr);
  EXPECT_EQ(mDevice->mEvaluationCount, KovrimDevice::kEvaluationCountLimit);
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  Stream(Frame(6), FBTime(0, 0, 1));
  EXPECT_EQ(control::RecordedKeys(mHips, "Lcl Translation").size(), 1u);
}

// The device under the host's own threads: frames streamed while both run reach the bound
// skeleton, and those keyed while recording are the frames sent, in order.
TEST_F(KovrimDeviceLiveTest, HostThreadsDriveTheBoundSkeletonAndRecordIt) {
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  control::SessionClock clock;
  clock.Play();
  std::atomic<long> evaluations{0};
  control::RealTimeThreads threads(mDevice, &clock, 1.0, 500.0, [&](bool evaluated) {
    if (evaluated) ++evaluations;
  });
  threads.Start();
  constexpr int kFrames = 5;
  for (int frame = 1; frame <= kFrames; ++frame) {
    // Each frame after an evaluation, so that the gate lets each be keyed.
    const long from = evaluations;
    EXPECT_TRUE(PollUntil([&] { return evaluations > from; }, [] { std::this_thread::yield(); }));
    const long acks = control::SamplesAcknowledged(mDevice);
    ASSERT_TRUE(mPeer.Send(FrameBytes(FrameMessage(kTag, Frame(frame)), Payload::kGzip)));
    EXPECT_TRUE(PollUntil([&] { return control::SamplesAcknowledged(mDevice) > acks; },
                          [] { std::this_thread::yield(); }));
  }
  const long from = evaluations;
  EXPECT_TRUE(PollUntil([&] { return evaluations > from + 1; }, [] { std::this_thread::yield(); }));
  threads.Stop();
  clock.Stop();
  EXPECT_EQ(static_cast<FBVector3<double>>(mHips->Translation)[0], kFrames);
  const auto keys = control::RecordedKeys(mHips, "Lcl Translation");
  ASSERT_EQ(keys.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) EXPECT_EQ(keys[i].mValue[0], i + 1);
}

TEST_F(KovrimDeviceLiveTest, IoActionsAboveOneReadNothing) {
  ASSERT_TRUE(mPeer.Send(FrameBytes(FrameMessage(kTag, Frame(1)), Payload::kGzip)));
  for (int i = 0; i < 50; ++i) {
    control::RunDeviceIO(mDevice, FBTime(0), FBDevice::kIOStopModeWrite);
    control::RunDeviceIO(mDevice, FBTime(0), FBDevice::kIOPlayModeWrite);
  }
  EXPECT_EQ(control::SamplesAcknowledged(mDevice), 0);
  EXPECT_TRUE(
      PollUntil([&] { return control::SamplesAcknowledged(mDevice) == 1; },
                [&] { control::RunDeviceIO(mDevice, FBTime(0), FBDevice::kIOStopModeRead); }));
}

TEST_F(KovrimDeviceLiveTest, EmptyListStillOpensTheGate) {
  mDevice->ClearJointTemplates();
  FBAnimationNode* node =
      mDevice->AnimationNodeOutCreate(10001, "Lone", ANIMATIONNODE_TYPE_LOCAL_ROTATION);
  EXPECT_EQ(mDevice->AnimationNodeNotify(node, nullptr),
            mDevice->FBDevice::AnimationNodeNotify(node, nullptr));
  EXPECT_EQ(mDevice->mEvaluationCount, 1);
}

// ---- The real-time passes against changes of the joint list, made deterministic by holding one
// side inside a host call. Whatever might block runs on a thread of its own, and every wait has a
// deadline that fails the test; the held call is released before the thread is joined.

constexpr auto kDeadline = std::chrono::seconds(10);

// Holds the first call of one kind (on one object, when given) until Release, and counts every
// host call that the hook sees by kind, and those made while the call is held.
class HeldCall {
 public:
  explicit HeldCall(control::HostCall call, const void* object = nullptr)
      : mCall(call), mObject(object) {
    control::SetHostCallHook([this](control::HostCall c, const void* o) { Hook(c, o); });
  }
  ~HeldCall() {
    Release();
    control::SetHostCallHook(nullptr);
  }
  HeldCall(const HeldCall&) = delete;
  HeldCall& operator=(const HeldCall&) = delete;

  // Fails the test unless a call is held within the deadline.
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mChanged.wait_for(lock, kDeadline, [&] { return mHeld; })) return true;
    ADD_FAILURE() << "no call of kind " << static_cast<int>(mCall) << " was held in time";
    return false;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mReleased = true;
    }
    mChanged.notify_all();
  }
  int Count(control::HostCall call) {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCounts[static_cast<int>(call)];
  }
  // Template and node creations and destructions made while the call was held.
  int TreeCallsWhileHeld() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTreeCallsWhileHeld;
  }

 private:
  void Hook(control::HostCall call, const void* object) {
    std::unique_lock<std::mutex> lock(mMutex);
    ++mCounts[static_cast<int>(call)];
    const bool tree = call != control::HostCall::kWriteData && call != control::HostCall::kKeyAdd;
    if (tree && mHeld && !mReleased) ++mTreeCallsWhileHeld;
    if (call != mCall || (mObject && object != mObject) || mHeld) return;
    mHeld = true;
    mChanged.notify_all();
    // Bounded, so that a test that fails before releasing still ends.
    if (!mChanged.wait_for(lock, 2 * kDeadline, [&] { return mReleased; })) {
      ADD_FAILURE() << "the held call was never released";
    }
  }

  const control::HostCall mCall;
  const void* const mObject;
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mHeld = false;
  bool mReleased = false;
  int mCounts[8] = {};
  int mTreeCallsWhileHeld = 0;
};

// Runs a function on a thread of its own. On destruction, when the function has not returned yet,
// runs beforeJoin (which releases whatever may hold the thread); then joins.
class Background {
 public:
  explicit Background(std::function<void()> run, std::function<void()> beforeJoin = nullptr)
      : mBeforeJoin(std::move(beforeJoin)), mThread([this, run] {
          run();
          {
            std::lock_guard<std::mutex> lock(mMutex);
            mDone = true;
          }
          mChanged.notify_all();
        }) {}
  ~Background() {
    if (mBeforeJoin && !Done()) mBeforeJoin();
    mThread.join();
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Fails the test unless the function has returned within the deadline.
  bool WaitDone(const char* what) {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mChanged.wait_for(lock, kDeadline, [&] { return mDone; })) return true;
    ADD_FAILURE() << what << " did not return in time";
    return false;
  }
  bool Done() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDone;
  }

 private:
  const std::function<void()> mBeforeJoin;
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mDone = false;
  std::thread mThread;  // Last: starts once the members above exist.
};

// The host's device I/O thread alone (RealTimeThreads without evaluation), notifying the device
// every millisecond. On destruction runs beforeJoin (which releases whatever may hold the
// thread), then joins it.
class HostIoThread {
 public:
  HostIoThread(FBDevice* device, std::function<void()> beforeJoin)
      : mBeforeJoin(std::move(beforeJoin)), mThreads(device, &mClock, 1.0, 0.0) {
    mThreads.Start();
  }
  ~HostIoThread() {
    if (mBeforeJoin) mBeforeJoin();
    mThreads.Stop();
  }
  HostIoThread(const HostIoThread&) = delete;
  HostIoThread& operator=(const HostIoThread&) = delete;

 private:
  const std::function<void()> mBeforeJoin;
  control::SessionClock mClock;
  control::RealTimeThreads mThreads;
};

// The three changes of the joint list that the user-interface thread makes.
enum class Change { kPendingBuild, kRebuildButton, kClearOperation };

std::string ChangeName(Change change) {
  switch (change) {
    case Change::kPendingBuild:
      return "PendingBuild";
    case Change::kRebuildButton:
      return "RebuildButton";
    default:
      return "ClearOperation";
  }
}

std::string CallName(control::HostCall call) {
  switch (call) {
    case control::HostCall::kWriteData:
      return "WriteData";
    case control::HostCall::kKeyAdd:
      return "KeyAdd";
    case control::HostCall::kNodeCreate:
      return "NodeCreate";
    case control::HostCall::kNodeDestroy:
      return "NodeDestroy";
    case control::HostCall::kTemplateCreate:
      return "TemplateCreate";
    default:
      return "TemplateDestroy";
  }
}

struct PassCase {
  Change mChange;
  control::HostCall mHeld;  // Where one side is held.
};

std::string PassCaseName(const ::testing::TestParamInfo<PassCase>& param) {
  return ChangeName(param.param.mChange) + "_" + CallName(param.param.mHeld);
}

// A device online with a peer that streams frames, its header accepted, recording with the
// transport playing. When built, the first build has run and a scene skeleton is bound.
class KovrimDevicePassTest : public KovrimDeviceTest,
                             public ::testing::WithParamInterface<PassCase> {
 protected:
  void SetUpDevice(bool built) {
    mDevice->mLink.mPort = mPeer.Port();
    mDevice->Online = true;
    ASSERT_TRUE(mPeer.Accept());
    AcceptHeader(SmallSkeleton());
    if (built) {
      mDevice->ProcessPending();
      ASSERT_EQ(mDevice->GetJointCount(), 4);
      FBModel* reference = control::CreateModel("Reference");
      mHips = control::CreateModel("Hips", reference);
      control::CreateModel("Spine", mHips);
      control::CreateModel("LeftUpLeg_End", control::CreateModel("LeftUpLeg", mHips));
      ASSERT_TRUE(control::BindSkeleton(mDevice, reference));
    }
    // A joint-node reference that no change destroys, like a node the host keeps bound.
    mStable = mDevice->AnimationNodeOutCreate(10500, "Stable", ANIMATIONNODE_TYPE_NUMBER);
    control::StartRecording();
    control::SetTransportMode(kFBTransportPlay);
  }

  // The change, as the user-interface thread makes it.
  void MakeChange(Change change) {
    switch (change) {
      case Change::kPendingBuild:
        mDevice->mTemplateRebuildPending = true;
        mDevice->ProcessPending();
        break;
      case Change::kRebuildButton:
        mDevice->RebuildSkeletonTemplate();
        break;
      case Change::kClearOperation:
        mDevice->DeviceOperation(FBDevice::kOpDone);
        break;
    }
  }
  // The records a change leaves, from a built list of 4.
  static int JointsAfter(Change change, bool built) {
    if (change == Change::kClearOperation) return 0;
    return change == Change::kPendingBuild && built ? 8 : 4;
  }

  void SendFrame(float x) {
    ASSERT_TRUE(mPeer.Send(
        FrameBytes(FrameMessage(kTag, {x, 1, 2, 0, 0, 30, 0, 45, 0, 10, 0, 0}), Payload::kGzip)));
  }
  // I/O notifications until one more message has been acknowledged (fails the test otherwise).
  void DrainOneMessage() {
    const long before = control::SamplesAcknowledged(mDevice);
    EXPECT_TRUE(PollUntil([&] { return control::SamplesAcknowledged(mDevice) > before; },
                          [&] { control::RunDeviceIO(mDevice, FBTime(0, 0, 1)); }, kDeadline));
  }

  // Passes started while the list is changing: each returns at once and does what it does while
  // rebuilding. The evaluation writes nothing and answers false without counting; the I/O pass
  // (unless another thread is inside one) reads, acknowledges and lowers the gate without keying.
  void ExpectPassesStandStill(HeldCall& hook, bool runIo) {
    const int writes = hook.Count(control::HostCall::kWriteData);
    const int keys = hook.Count(control::HostCall::kKeyAdd);
    if (runIo) SendFrame(3);
    const int gate = mDevice->mEvaluationCount;
    const long acks = control::SamplesAcknowledged(mDevice);
    bool answer = true;
    Background passes(
        [&] {
          answer = mDevice->AnimationNodeNotify(mStable, nullptr);
          if (runIo) DrainOneMessage();
        },
        [&] { hook.Release(); });
    if (!passes.WaitDone("a pass started while the list changes")) return;
    EXPECT_FALSE(answer);
    EXPECT_EQ(hook.Count(control::HostCall::kWriteData), writes);
    EXPECT_EQ(hook.Count(control::HostCall::kKeyAdd), keys);
    if (runIo) {
      EXPECT_EQ(control::SamplesAcknowledged(mDevice), acks + 1);
      EXPECT_EQ(mDevice->mEvaluationCount, gate - 1);
    } else {
      EXPECT_EQ(mDevice->mEvaluationCount, gate);
    }
  }

  ScriptedPeer mPeer;
  FBModel* mHips = nullptr;
  FBAnimationNode* mStable = nullptr;
};

// A pass is held inside WriteData (evaluation) or KeyAdd (I/O) when the user changes the list:
// the change waits for that pass alone, makes no host call meanwhile, and a pass started meanwhile
// neither blocks nor touches the list.
using KovrimDeviceHeldPassTest = KovrimDevicePassTest;

TEST_P(KovrimDeviceHeldPassTest, ChangeWaitsOnlyForThePassInFlight) {
  const PassCase test = GetParam();
  SetUpDevice(true);
  const bool heldIo = test.mHeld == control::HostCall::kKeyAdd;
  const JointNodes first = Records().front();
  HeldCall hook(test.mHeld, heldIo ? nullptr : first.mTranslationNode);

  bool heldAnswer = false;
  std::unique_ptr<Background> pass;
  std::unique_ptr<HostIoThread> io;
  const long acks = control::SamplesAcknowledged(mDevice);
  if (heldIo) {
    mDevice->mEvaluationCount = 2;
    SendFrame(1);
    io.reset(new HostIoThread(mDevice, [&] { hook.Release(); }));
  } else {
    pass.reset(new Background(
        [&] { heldAnswer = mDevice->AnimationNodeNotify(first.mRotationNode, nullptr); },
        [&] { hook.Release(); }));
  }
  ASSERT_TRUE(hook.WaitUntilHeld());

  Background change([&] { MakeChange(test.mChange); }, [&] { hook.Release(); });
  ASSERT_TRUE(WaitUntil(
      "the change begins", [&] { return mDevice->mJointsGate.IsChanging(); },
      [] { std::this_thread::yield(); }, kDeadline));
  ExpectPassesStandStill(hook, !heldIo);
  EXPECT_FALSE(change.Done());
  EXPECT_EQ(hook.TreeCallsWhileHeld(), 0);

  hook.Release();
  if (heldIo) {
    ASSERT_TRUE(WaitUntil(
        "the held pass", [&] { return control::SamplesAcknowledged(mDevice) > acks; },
        [] { std::this_thread::yield(); }, kDeadline));
    io.reset();
  } else {
    ASSERT_TRUE(pass->WaitDone("the held pass"));
  }
  ASSERT_TRUE(change.WaitDone("the change"));
  EXPECT_EQ(hook.TreeCallsWhileHeld(), 0);
  EXPECT_FALSE(mDevice->mJointsGate.IsChanging());
  EXPECT_EQ(mDevice->mJointsGate.PassesInFlight(), 0);
  if (heldIo) {
    // The held pass finished its keys on the list as it was: both nodes of all 4 records.
    EXPECT_EQ(hook.Count(control::HostCall::kKeyAdd), 8);
  } else {
    EXPECT_EQ(heldAnswer, mDevice->FBDevice::AnimationNodeNotify(first.mRotationNode, nullptr));
    EXPECT_EQ(hook.Count(control::HostCall::kWriteData), 8);
  }
  EXPECT_EQ(mDevice->GetJointCount(), JointsAfter(test.mChange, true));
  // The gate is open again: an evaluation writes every record's two nodes.
  const int writes = hook.Count(control::HostCall::kWriteData);
  EXPECT_TRUE(mDevice->AnimationNodeNotify(mStable, nullptr));
  EXPECT_EQ(hook.Count(control::HostCall::kWriteData) - writes, 2 * mDevice->GetJointCount());
}

INSTANTIATE_TEST_SUITE_P(
    EveryChange, KovrimDeviceHeldPassTest,
    ::testing::Values(PassCase{Change::kPendingBuild, control::HostCall::kWriteData},
                      PassCase{Change::kRebuildButton, control::HostCall::kWriteData},
                      PassCase{Change::kClearOperation, control::HostCall::kWriteData},
                      PassCase{Change::kPendingBuild, control::HostCall::kKeyAdd},
                      PassCase{Change::kRebuildButton, control::HostCall::kKeyAdd},
                      PassCase{Change::kClearOperation, control::HostCall::kKeyAdd}),
    PassCaseName);

// The user-interface thread is held inside a template or node creation or destruction of a
// change: every pass that runs meanwhile returns at once without writing or keying.
using KovrimDeviceHeldChangeTest = KovrimDevicePassTest;

TEST_P(KovrimDeviceHeldChangeTest, PassesReturnAtOnceWhileTheListChanges) {
  const PassCase test = GetParam();
  // The pending build is the true first build, from an empty list.
  const bool built = test.mChange != Change::kPendingBuild;
  SetUpDevice(built);
  mDevice->mEvaluationCount = 2;
  HeldCall hook(test.mHeld);
  Background change([&] { MakeChange(test.mChange); }, [&] { hook.Release(); });
  ASSERT_TRUE(hook.WaitUntilHeld());

  ExpectPassesStandStill(hook, true);

  hook.Release();
  ASSERT_TRUE(change.WaitDone("the change"));
  EXPECT_EQ(mDevice->GetJointCount(), JointsAfter(test.mChange, built));
  EXPECT_FALSE(mDevice->mTemplateRebuildPending);
  // Afterwards the passes work on the new list.
  const int writes = hook.Count(control::HostCall::kWriteData);
  EXPECT_TRUE(mDevice->AnimationNodeNotify(mStable, nullptr));
  EXPECT_EQ(hook.Count(control::HostCall::kWriteData) - writes, 2 * mDevice->GetJointCount());
}

INSTANTIATE_TEST_SUITE_P(
    EveryChange, KovrimDeviceHeldChangeTest,
    ::testing::Values(PassCase{Change::kPendingBuild, control::HostCall::kTemplateCreate},
                      PassCase{Change::kPendingBuild, control::HostCall::kNodeCreate},
                      PassCase{Change::kRebuildButton, control::HostCall::kNodeDestroy},
                      PassCase{Change::kRebuildButton, control::HostCall::kTemplateDestroy},
                      PassCase{Change::kRebuildButton, control::HostCall::kTemplateCreate},
                      PassCase{Change::kRebuildButton, control::HostCall::kNodeCreate},
                      PassCase{Change::kClearOperation, control::HostCall::kNodeDestroy},
                      PassCase{Change::kClearOperation, control::HostCall::kTemplateDestroy}),
    PassCaseName);

// ---- The scene changes users make at any moment: the device deleted, or a new scene (File >
// New), while it is online, the host records, frames arrive and both real-time threads run.

enum class SceneChange { kDeleteDevice, kNewScene };

class KovrimDeviceSceneTest : public KovrimDeviceLiveTest,
                              public ::testing::WithParamInterface<SceneChange> {
 protected:
  void TearDown() override {
    control::SetHostCallHook(nullptr);
    KovrimDeviceLiveTest::TearDown();
  }
};

TEST_P(KovrimDeviceSceneTest, GoesWhileLiveAndRecordingWithoutTouchingWhatIsGone) {
  control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  control::SessionClock clock;
  clock.Play();
  // Every key and every write of a pass checks that its node and the device are still alive.
  KovrimDevice* device = mDevice;
  std::atomic<int> deadTouches{0};
  control::SetHostCallHook([&](control::HostCall call, const void* object) {
    if (call != control::HostCall::kWriteData && call != control::HostCall::kKeyAdd) return;
    if (!control::IsLiveComponent(device) || !control::IsLiveComponent(object)) ++deadTouches;
  });
  std::atomic<long> evaluations{0};
  control::RealTimeThreads threads(mDevice, &clock, 1.0, 500.0, [&](bool evaluated) {
    if (evaluated) ++evaluations;
  });
  threads.Start();
  // The server streams until the connection goes.
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (int frame = 0; feeding; ++frame) {
      if (!mPeer.Send(
              FrameBytes(FrameMessage(kTag, Frame(static_cast<float>(frame))), Payload::kGzip))) {
        break;
      }
    }
  });
  ASSERT_TRUE(WaitUntil(
      "keys and passes", [&] { return !control::RecordedKeys(mHips, "Lcl Translation").empty(); },
      [] { std::this_thread::yield(); }));
  ASSERT_TRUE(WaitUntil(
      "evaluations", [&] { return evaluations > 2; }, [] { std::this_thread::yield(); }));
  std::vector<const void*> objects = {mDevice, mDevice->mRootTemplate};
  for (const JointNodes& record : Records()) {
    objects.insert(objects.end(),
                   {record.mTemplate, record.mTranslationNode, record.mRotationNode});
  }
  const int before = control::LiveComponentCount();

  if (GetParam() == SceneChange::kDeleteDevice) {
    control::DestroyDevice(mDevice);
  } else {
    control::NewScene();
  }
  mDevice = nullptr;
  feeding = false;
  // Closed by the device as it went, while the server was still sending.
  EXPECT_TRUE(mPeer.SeesClosed());
  feeder.join();
  EXPECT_FALSE(threads.IsRunning());
  EXPECT_EQ(deadTouches.load(), 0);
  for (const void* object : objects) EXPECT_FALSE(control::IsLiveComponent(object));
  // The device and its tree, and with a new scene the five models; their take nodes are the
  // host's until it frees them (ResetHost).
  const int models = GetParam() == SceneChange::kNewScene ? 5 : 0;
  EXPECT_EQ(control::LiveComponentCount(), before - static_cast<int>(objects.size()) - models);
  EXPECT_EQ(control::EvaluationPauseDepth(), 0);
  clock.Stop();
}

std::string SceneChangeName(const ::testing::TestParamInfo<SceneChange>& change) {
  return change.param == SceneChange::kDeleteDevice ? "DeleteDevice" : "NewScene";
}

INSTANTIATE_TEST_SUITE_P(BothChanges, KovrimDeviceSceneTest,
                         ::testing::Values(SceneChange::kDeleteDevice, SceneChange::kNewScene),
                         SceneChangeName);
}  // namespace

// FBDevice as the host drives it: Online and DeviceOperation, the texts it shows, output nodes
// and their references, device I/O, and the host's destruction sequence, alone and with a new
// scene.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_sample_device.h"

namespace {

using fbsdk_control::CreateDevice;
using fbsdk_control::DestroyDevice;

class HostDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mDevice = FBCast<SampleDevice>(CreateDevice(SAMPLE_DEVICE_LABEL, "Device"));
    ASSERT_NE(mDevice, nullptr);
  }
  void TearDown() override {
    if (mDevice) DestroyDevice(mDevice);
  }

  fbsdk_control::ScopedHostCapture mCapture;
  SampleDevice* mDevice = nullptr;
};

TEST_F(HostDeviceTest, OnlineKeepsTheResultOfStartAndStopAlwaysGoesOffline) {
  EXPECT_FALSE(mDevice->Online);
  mDevice->Online = true;
  EXPECT_TRUE(mDevice->Online);
  mDevice->Online = false;
  EXPECT_FALSE(mDevice->Online);

  mDevice->mStartResult = false;  // The hardware refuses to start.
  mDevice->Online = true;
  EXPECT_FALSE(mDevice->Online);
  EXPECT_EQ(mDevice->Log(), (std::vector<std::string>{"op:1", "op:3", "op:1"}));
}

TEST_F(HostDeviceTest, BaseDeviceOperationReportsTheCurrentOnlineState) {
  FBDevice& base = *mDevice;
  mDevice->Online = true;
  EXPECT_TRUE(base.FBDevice::DeviceOperation(FBDevice::kOpReset));
  mDevice->Online = false;
  EXPECT_FALSE(base.FBDevice::DeviceOperation(FBDevice::kOpReset));
  EXPECT_TRUE(base.FBDevice::AnimationNodeNotify(nullptr, nullptr));
}

TEST_F(HostDeviceTest, StatusAndInformationAreTextsTheDeviceWritesAndTheHostReads) {
  for (FBPropertyString* text : {&mDevice->Status, &mDevice->Information}) {
    EXPECT_STREQ(static_cast<const char*>(*text), "");
    EXPECT_FALSE(text->IsReadOnly());
    EXPECT_EQ(text->GetPropertyType(), kFBPT_charptr);
    *text = "walk, 120 fps";
    EXPECT_TRUE(*text == "walk, 120 fps");
    *text = nullptr;
    EXPECT_STREQ(static_cast<const char*>(*text), "");
  }
  EXPECT_EQ(mDevice->PropertyList.Find("Status"), &mDevice->Status);
  EXPECT_EQ(mDevice->PropertyList.Find("Information"), &mDevice->Information);
}

TEST_F(HostDeviceTest, OutputNodesKeepNameTypeAndReferenceUntilDestroyed) {
  FBAnimationNode* node =
      mDevice->AnimationNodeOutCreate(10007, "HipsT", ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
  ASSERT_NE(node, nullptr);
  EXPECT_TRUE(node->Name == "HipsT");
  EXPECT_EQ(static_cast<kReference>(node->Reference), 10007u);
  EXPECT_STREQ(fbsdk_control::NodeDataType(node), "Lcl Translation");
  EXPECT_EQ(node->GetDataDoubleArrayCount(), 3);
  EXPECT_EQ(node->GetSizeOfData(), 3 * static_cast<int>(sizeof(double)));
  ASSERT_EQ(mDevice->GetOutConnectorCount(), 1);
  EXPECT_EQ(mDevice->GetOutConnector(0), node);
  EXPECT_EQ(mDevice->AnimationNodeOutCreate(1, "NoType", nullptr), nullptr);

  FBAnimationNode* input = mDevice->AnimationNodeInCreate(3, "In", ANIMATIONNODE_TYPE_NUMBER);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(mDevice->GetInConnectorCount(), 1);
  EXPECT_EQ(input->GetDataDoubleArrayCount(), 1);

  FBModelTemplate* modelTemplate = new FBModelTemplate("P", "Hips", kFBModelTemplateSkeleton);
  EXPECT_EQ(modelTemplate->Bindings.Add(node), 0);
  EXPECT_EQ(fbsdk_control::NodeTemplate(node), modelTemplate);

  // Destroying unlinks it from the device and the template and, with no evaluation pass
  // running, frees it; the stale pointer is refused.
  EXPECT_TRUE(mDevice->AnimationNodeDestroy(node));
  EXPECT_EQ(mDevice->GetOutConnectorCount(), 0);
  EXPECT_EQ(modelTemplate->Bindings.GetCount(), 0);
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(node));
  EXPECT_EQ(fbsdk_control::NodeTemplate(node), nullptr);
  EXPECT_FALSE(mDevice->AnimationNodeDestroy(node));  // Already destroyed.
  delete modelTemplate;

  DestroyDevice(mDevice);
  mDevice = nullptr;
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(input));
}

TEST_F(HostDeviceTest, DestroyingAnotherBoxsNodeIsRefused) {
  FBDevice* other = CreateDevice(SAMPLE_DEVICE_LABEL, "Other");
  ASSERT_NE(other, nullptr);
  FBAnimationNode* node = other->AnimationNodeOutCreate(1, "N", ANIMATIONNODE_TYPE_NUMBER);
  EXPECT_FALSE(mDevice->AnimationNodeDestroy(node));
  EXPECT_EQ(other->GetOutConnectorCount(), 1);
  DestroyDevice(other);
}

TEST_F(HostDeviceTest, DeviceIoRunsOnTheCallerWithTheGivenTimeAndCountsAcknowledgements) {
  EXPECT_EQ(fbsdk_control::SamplesAcknowledged(mDevice), 0);
  fbsdk_control::RunDeviceIO(mDevice, FBTime(0, 0, 1));
  fbsdk_control::RunDeviceIO(mDevice, FBTime(0, 0, 2), FBDevice::kIOStopModeRead);
  EXPECT_EQ(mDevice->mIONotifications.load(), 2);
  EXPECT_EQ(fbsdk_control::SamplesAcknowledged(mDevice), 2);
}

TEST_F(HostDeviceTest, DestructionStopsReleasesAndDeletesInTheHostsOrder) {
  SampleJoint hips = mDevice->AddJoint("Hips");
  FBModel* model = fbsdk_control::CreateModel("Reference");
  fbsdk_control::CreateModel("Hips", model);
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, model));
  mDevice->Online = true;
  std::vector<std::string> log;  // Outlives the device.
  bool destroyingSeen = false;
  SampleDevice* device = mDevice;
  device->mOnLog = [&](const std::string& entry) { log.push_back(entry); };
  device->mOnUnbind = [&](FBModelTemplate*) {
    destroyingSeen = device->GetObjectStatus(kFBStatusDestroying);
  };
  const int before = fbsdk_control::LiveComponentCount();

  DestroyDevice(mDevice);
  mDevice = nullptr;
  EXPECT_EQ(log, (std::vector<std::string>{"op:3", "unbind:0:Reference:Reference",
                                           "unbind:1:Hips:Hips", "op:5", "destroy"}));
  EXPECT_TRUE(destroyingSeen);
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(device));
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(hips.mTemplate));
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(hips.mTranslation));
  // Device, "Reference", the joint template and its two nodes.
  EXPECT_EQ(fbsdk_control::LiveComponentCount(), before - 5);
  // The model survives, released.
  EXPECT_TRUE(fbsdk_control::IsLiveComponent(model));
}

// File > New: every object is marked as cleared, the binding goes first (the unbind notification
// sees the status), then the device as DestroyDevice takes it down, then models and characters.
TEST_F(HostDeviceTest, NewSceneUnbindsThenDestroysDevicesModelsAndCharacters) {
  SampleJoint hips = mDevice->AddJoint("Hips");
  FBModel* model = fbsdk_control::CreateModel("Reference");
  FBModel* hipsModel = fbsdk_control::CreateModel("Hips", model);
  FBModel* loose = fbsdk_control::CreateModel("Loose");
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, model));
  FBCharacter* character = new FBCharacter("Actor");
  mDevice->Online = true;
  std::vector<std::string> log;  // Outlives the device.
  std::vector<bool> clearingSeen;
  SampleDevice* device = mDevice;
  device->mOnLog = [&](const std::string& entry) { log.push_back(entry); };
  device->mOnUnbind = [&](FBModelTemplate* modelTemplate) {
    FBModel* bound = modelTemplate->Model;
    clearingSeen.push_back(device->GetObjectStatus(kFBStatusClearing) &&
                           modelTemplate->GetObjectStatus(kFBStatusClearing) && bound &&
                           bound->GetObjectStatus(kFBStatusClearing) &&
                           !device->GetObjectStatus(kFBStatusDestroying));
  };

  fbsdk_control::NewScene();
  mDevice = nullptr;
  EXPECT_EQ(log, (std::vector<std::string>{"unbind:0:Reference:Reference", "unbind:1:Hips:Hips",
                                           "op:3", "op:5", "destroy"}));
  EXPECT_EQ(clearingSeen, (std::vector<bool>{true, true}));
  const std::vector<const void*> gone = {device,    hips.mTemplate, hips.mRotation, model,
                                         hipsModel, loose,          character};
  for (const void* object : gone) EXPECT_FALSE(fbsdk_control::IsLiveComponent(object));
  EXPECT_TRUE(fbsdk_control::SceneDevices().empty());
  EXPECT_TRUE(fbsdk_control::SceneModels().empty());
  EXPECT_TRUE(fbsdk_control::SceneCharacters().empty());
}

}  // namespace

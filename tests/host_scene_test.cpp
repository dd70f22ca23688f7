// The scene as a device sees it: models and their transforms, binding a skeleton to a device's
// templates, evaluation passes copying written values onto bound models, and recording keys.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_sample_device.h"

namespace {

using fbsdk_control::CreateModel;

FBVector3d Value(FBPropertyAnimatableVector3d& channel) { return channel; }

void ExpectNear(const FBVector3d& actual, double x, double y, double z) {
  EXPECT_NEAR(actual.mValue[0], x, 1e-9);
  EXPECT_NEAR(actual.mValue[1], y, 1e-9);
  EXPECT_NEAR(actual.mValue[2], z, 1e-9);
}

class HostSceneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mDevice = FBCast<SampleDevice>(fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Device"));
    ASSERT_NE(mDevice, nullptr);
  }
  void TearDown() override { fbsdk_control::DestroyDevice(mDevice); }

  // Templates Reference/Hips/{Spine, LeftUpLeg} and the matching models under "ns:Reference".
  void BuildSkeleton() {
    mHips = mDevice->AddJoint("Hips");
    mSpine = mDevice->AddJoint("Spine", mHips.mTemplate);
    mLeg = mDevice->AddJoint("LeftUpLeg", mHips.mTemplate);
    mReferenceModel = CreateModel("Reference", nullptr, "ns");
    mHipsModel = CreateModel("Hips", mReferenceModel, "ns");
    mSpineModel = CreateModel("Spine", mHipsModel, "ns");
    mLegModel = CreateModel("LeftUpLeg", mHipsModel, "ns");
  }

  fbsdk_control::ScopedHostCapture mCapture;
  SampleDevice* mDevice = nullptr;
  SampleJoint mHips, mSpine, mLeg;
  FBModel* mReferenceModel = nullptr;
  FBModel* mHipsModel = nullptr;
  FBModel* mSpineModel = nullptr;
  FBModel* mLegModel = nullptr;
};

TEST_F(HostSceneTest, ModelsFormATreeWithNamespacedLongNames) {
  FBModel* root = CreateModel("Root", nullptr, "Actor");
  FBModel* child = CreateModel("Child", root);
  EXPECT_TRUE(root->LongName == "Actor:Root");
  EXPECT_TRUE(child->LongName == "Child");
  EXPECT_EQ(static_cast<FBModel*>(child->Parent), root);
  ASSERT_EQ(root->Children.GetCount(), 1);
  EXPECT_EQ(root->Children[0], child);
  EXPECT_EQ(static_cast<FBModel*>(root->Parent), nullptr);
  EXPECT_EQ(fbsdk_control::SceneModels(), (std::vector<FBModel*>{root, child}));

  root->Parent = child;  // A cycle is refused.
  EXPECT_EQ(static_cast<FBModel*>(root->Parent), nullptr);
  child->Parent = nullptr;
  EXPECT_EQ(root->Children.GetCount(), 0);
  EXPECT_EQ(root->Children.Add(child), 0);

  fbsdk_control::DestroyModel(root);
  EXPECT_EQ(static_cast<FBModel*>(child->Parent), nullptr);
  EXPECT_EQ(fbsdk_control::SceneModels(), (std::vector<FBModel*>{child}));
}

TEST_F(HostSceneTest, GlobalMatrixIsParentGlobalTimesLocalTrs) {
  FBModel* parent = CreateModel("Parent");
  FBModel* child = CreateModel("Child", parent);
  parent->Translation = FBVector3d(10, 0, 0);
  parent->Rotation = FBVector3d(0, 0, 90);
  child->Translation = FBVector3d(1, 0, 0);
  child->Scaling = FBVector3d(2, 2, 2);

  FBMatrix global;
  child->GetMatrix(global);
  // The parent's 90 degrees about z turns the child's x offset into y.
  EXPECT_NEAR(global[12], 10.0, 1e-9);
  EXPECT_NEAR(global[13], 1.0, 1e-9);
  FBVector3d scaling;
  child->GetVector(scaling, kModelScaling);
  ExpectNear(scaling, 2, 2, 2);

  FBMatrix local;
  child->GetMatrix(local, kModelTransformation, false);
  EXPECT_NEAR(local[12], 1.0, 1e-9);

  // Setting a global translation changes the local channel so that the global one matches.
  child->SetVector(FBVector3d(10, 5, 0), kModelTranslation, true);
  ExpectNear(Value(child->Translation), 5, 0, 0);
  child->SetVector(FBVector3d(3, 4, 5), kModelTranslation, false);
  ExpectNear(Value(child->Translation), 3, 4, 5);
}

TEST_F(HostSceneTest, BindingMatchesTemplatesToModelsByNameDownTheTree) {
  BuildSkeleton();
  FBModel* stray = CreateModel("Spine");  // Same name, elsewhere: not bound.
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  EXPECT_EQ(static_cast<FBModel*>(mDevice->mRoot->Model), mReferenceModel);
  EXPECT_EQ(static_cast<FBModel*>(mHips.mTemplate->Model), mHipsModel);
  EXPECT_EQ(static_cast<FBModel*>(mSpine.mTemplate->Model), mSpineModel);
  EXPECT_EQ(static_cast<FBModel*>(mLeg.mTemplate->Model), mLegModel);
  EXPECT_EQ(static_cast<FBModel*>(mDevice->ModelBindingRoot), mReferenceModel);
  EXPECT_EQ(mDevice->Log(),
            (std::vector<std::string>{"bind:0:Reference:Reference", "bind:1:Hips:Hips",
                                      "bind:2:Spine:Spine", "bind:3:LeftUpLeg:LeftUpLeg"}));
  (void)stray;
  EXPECT_FALSE(fbsdk_control::BindSkeleton(mDevice, nullptr));
}

TEST_F(HostSceneTest, UnbindNotifiesRootFirstThenPreOrderWhileModelsAreSet) {
  BuildSkeleton();
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  mDevice->ClearLog();
  fbsdk_control::UnbindSkeleton(mDevice);
  EXPECT_EQ(mDevice->Log(),
            (std::vector<std::string>{"unbind:0:Reference:Reference", "unbind:1:Hips:Hips",
                                      "unbind:2:Spine:Spine", "unbind:3:LeftUpLeg:LeftUpLeg"}));
  EXPECT_EQ(static_cast<FBModel*>(mDevice->mRoot->Model), nullptr);
  EXPECT_EQ(static_cast<FBModel*>(mSpine.mTemplate->Model), nullptr);
}

TEST_F(HostSceneTest, UnbindSurvivesTheDeviceDeletingTemplatesInItsNotification) {
  BuildSkeleton();
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  SampleDevice* device = mDevice;
  device->mOnUnbind = [device](FBModelTemplate* modelTemplate) {
    if (modelTemplate != device->mRoot) return;
    for (SampleJoint& joint : device->mJoints) {
      delete joint.mTemplate;
      joint.mTemplate = nullptr;
    }
  };
  mDevice->ClearLog();
  fbsdk_control::UnbindSkeleton(mDevice);
  EXPECT_EQ(mDevice->Log(), (std::vector<std::string>{"unbind:0:Reference:Reference"}));
}

TEST_F(HostSceneTest, EvaluationCopiesWrittenValuesOntoBoundModels) {
  BuildSkeleton();
  EXPECT_FALSE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0)));  // Nothing bound.
  EXPECT_EQ(mDevice->mNotifications.load(), 0);

  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  mDevice->mWriteBase = 5;
  ASSERT_TRUE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0)));
  EXPECT_EQ(mDevice->mNotifications.load(), 6);  // Two nodes per bound joint.
  ExpectNear(Value(mHipsModel->Translation), 10005, 10005, 10005);
  ExpectNear(Value(mSpineModel->Rotation), 10006, 10006, 10006);
  ExpectNear(Value(mLegModel->Translation), 10007, 10007, 10007);
  ExpectNear(Value(mReferenceModel->Translation), 0, 0, 0);  // No nodes on "Reference".
  double read[3] = {0, 0, 0};
  EXPECT_TRUE(mHips.mTranslation->ReadData(read));
  EXPECT_EQ(read[0], 10005);

  // A node the device leaves unwritten in a pass leaves its model alone.
  mDevice->AnimationNodeDestroy(mLeg.mTranslation);
  mDevice->mWriteBase = 100;
  ASSERT_TRUE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0)));
  ExpectNear(Value(mHipsModel->Translation), 10100, 10100, 10100);
  ExpectNear(Value(mLegModel->Translation), 10007, 10007, 10007);
  ExpectNear(Value(mLegModel->Rotation), 10102, 10102, 10102);
}

// A node the device destroys while a pass holds it is freed when that pass ends, not before, and
// not left behind: the pass goes on to copy values without touching freed memory.
TEST_F(HostSceneTest, NodeDestroyedDuringAPassIsFreedWhenThePassEnds) {
  BuildSkeleton();
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  FBAnimationNode* doomed = mLeg.mTranslation;
  bool aliveInPass = false;
  mDevice->mOnNotify = [&] {
    if (!mDevice->AnimationNodeDestroy(doomed)) return;
    aliveInPass = fbsdk_control::IsLiveComponent(doomed);
  };
  const int before = fbsdk_control::LiveComponentCount();
  ASSERT_TRUE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0)));
  mDevice->mOnNotify = nullptr;
  EXPECT_TRUE(aliveInPass);
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(doomed));
  EXPECT_EQ(fbsdk_control::LiveComponentCount(), before - 1);
  EXPECT_EQ(mDevice->GetOutConnectorCount(), 5);
}

// The host's evaluation pulls: each bound channel asks its node for this pass's value, and the
// device is notified only for a node that holds none yet.
TEST_F(HostSceneTest, EvaluationNotifiesOnlyNodesWithoutDataOfThisPass) {
  BuildSkeleton();
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  mDevice->mWriteEveryNode = true;
  mDevice->mWriteBase = 5;
  ASSERT_TRUE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0)));
  // The first notification wrote all six nodes; the other five pulls found their data.
  EXPECT_EQ(mDevice->mNotifications.load(), 1);
  ExpectNear(Value(mHipsModel->Translation), 10005, 10005, 10005);
  ExpectNear(Value(mSpineModel->Rotation), 10006, 10006, 10006);
  ExpectNear(Value(mLegModel->Rotation), 10007, 10007, 10007);

  // Data of an earlier pass does not count: the next pass notifies again, once.
  mDevice->mWriteBase = 50;
  ASSERT_TRUE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0, 0, 1)));
  EXPECT_EQ(mDevice->mNotifications.load(), 2);
  ExpectNear(Value(mLegModel->Translation), 10052, 10052, 10052);

  // Nodes the device leaves unwritten (both of the spine's) are each pulled once more in the
  // pass and not asked again; their model keeps the values it had, the others take the new data.
  mDevice->mUnwrittenReference = mSpine.mTranslation->Reference;
  mDevice->mWriteBase = 200;
  ASSERT_TRUE(fbsdk_control::EvaluateDevice(mDevice, FBTime(0, 0, 2)));
  EXPECT_EQ(mDevice->mNotifications.load(), 2 + 3);
  ExpectNear(Value(mSpineModel->Translation), 10051, 10051, 10051);
  ExpectNear(Value(mSpineModel->Rotation), 10051, 10051, 10051);
  ExpectNear(Value(mHipsModel->Translation), 10200, 10200, 10200);
  ExpectNear(Value(mLegModel->Rotation), 10202, 10202, 10202);
}

TEST_F(HostSceneTest, RecordingGivesTakeAnimationsOnlyWhileRecordingAndBound) {
  BuildSkeleton();
  fbsdk_control::SetTransportMode(kFBTransportPlay);
  fbsdk_control::StartRecording();
  EXPECT_EQ(mHips.mTranslation->GetAnimationToRecord(), nullptr);  // Not bound yet.
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  FBAnimationNode* record = mHips.mTranslation->GetAnimationToRecord();
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(mHipsModel->Translation.IsAnimated());
  EXPECT_EQ(mHipsModel->Translation.GetAnimationNode(), record);
  EXPECT_NE(mHips.mRotation->GetAnimationToRecord(), record);
  EXPECT_TRUE(FBPlayerControl::TheOne().IsRecording);

  fbsdk_control::RunDeviceIO(mDevice, FBTime(0, 0, 1));
  fbsdk_control::RunDeviceIO(mDevice, FBTime(0, 0, 2));
  fbsdk_control::StopRecording();
  EXPECT_EQ(mHips.mTranslation->GetAnimationToRecord(), nullptr);
  fbsdk_control::RunDeviceIO(mDevice, FBTime(0, 0, 3));

  const std::vector<fbsdk_control::RecordedKey> keys =
      fbsdk_control::RecordedKeys(mHipsModel, "Lcl Translation");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].mTime.Get(), FBTime(0, 0, 1).Get());
  EXPECT_EQ(keys[1].mTime.Get(), FBTime(0, 0, 2).Get());
  EXPECT_EQ(keys[0].mValue[0], 10000);
  EXPECT_EQ(keys[0].mValue[2], 2);
  EXPECT_EQ(keys[0].mInterpolation, kFBInterpolationCubic);
  EXPECT_EQ(keys[0].mTangentMode, kFBTangentModeAuto);
  EXPECT_EQ(static_cast<int>(record->KeyCount), 2);
  EXPECT_TRUE(fbsdk_control::RecordedKeys(mHipsModel, "Lcl Rotation").empty());
}

TEST_F(HostSceneTest, KeysWithoutATimeGoAtTheCurrentTimeAndReplaceKeysThere) {
  FBModel* model = CreateModel("Model");
  model->Translation.SetAnimated(true);
  FBAnimationNode* node = model->Translation.GetAnimationNode(nullptr);
  ASSERT_NE(node, nullptr);
  double first[3] = {1, 2, 3};
  double second[3] = {4, 5, 6};
  node->KeyAdd(FBTime(0, 0, 2), first, kFBInterpolationLinear, kFBTangentModeBreak);
  fbsdk_control::SetCurrentTime(FBTime(0, 0, 1));
  node->KeyAdd(first);
  fbsdk_control::SetCurrentTime(FBTime(0, 0, 2));
  node->KeyAdd(second, kFBInterpolationConstant, kFBTangentModeUser);

  const std::vector<fbsdk_control::RecordedKey> keys =
      fbsdk_control::RecordedKeys(model, "Lcl Translation");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].mTime.Get(), FBTime(0, 0, 1).Get());
  EXPECT_EQ(keys[0].mInterpolation, kFBInterpolationCubic);
  EXPECT_EQ(keys[1].mTime.Get(), FBTime(0, 0, 2).Get());
  EXPECT_EQ(keys[1].mValue[0], 4);
  EXPECT_EQ(keys[1].mInterpolation, kFBInterpolationConstant);
  EXPECT_EQ(keys[1].mTangentMode, kFBTangentModeUser);

  model->Translation.SetAnimated(false);
  EXPECT_EQ(model->Translation.GetAnimationNode(), nullptr);
  EXPECT_TRUE(fbsdk_control::RecordedKeys(model, "Lcl Translation").empty());
}

TEST_F(HostSceneTest, CandidateOfATakeAnimationSetsItsChannel) {
  FBModel* model = CreateModel("Model");
  model->Rotation = FBVector3d(1, 2, 3);
  model->Rotation.SetAnimated(true, false);
  FBAnimationNode* node = model->Rotation.GetAnimationNode(nullptr);
  ASSERT_NE(node, nullptr);
  FBVector3<double> value;
  model->Rotation.GetData(value.mValue, sizeof(value.mValue), nullptr);
  ExpectNear(value, 1, 2, 3);
  double candidate[3] = {7, 8, 9};
  EXPECT_TRUE(node->SetCandidate(candidate, false));
  ExpectNear(Value(model->Rotation), 7, 8, 9);
}

TEST_F(HostSceneTest, TakeAnimationOfADeletedModelStaysInertUntilReset) {
  BuildSkeleton();
  fbsdk_control::StartRecording();
  ASSERT_TRUE(fbsdk_control::BindSkeleton(mDevice, mReferenceModel));
  FBAnimationNode* record = mSpine.mRotation->GetAnimationToRecord();
  ASSERT_NE(record, nullptr);
  fbsdk_control::DestroyModel(mSpineModel);
  EXPECT_EQ(mSpine.mRotation->GetAnimationToRecord(), nullptr);
  // A device thread still holding the pointer may call it safely.
  double value[3] = {1, 2, 3};
  record->KeyAdd(FBTime(0), value);
  EXPECT_FALSE(record->SetCandidate(value));
  EXPECT_TRUE(fbsdk_control::IsLiveComponent(record));
  fbsdk_control::ResetHost();
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(record));
}

}  // namespace

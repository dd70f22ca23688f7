// Model templates: the child and binding lists, and deletion never leaving a dangling parent,
// child, binding or model pointer behind.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <gtest/gtest.h>

#include "host_sample_device.h"

namespace {

using fbsdk_control::TemplateParent;

class HostTemplateTest : public ::testing::Test {
 protected:
  FBModelTemplate* NewTemplate(const char* name) {
    return new FBModelTemplate("Prefix", name, kFBModelTemplateSkeleton);
  }

  fbsdk_control::ScopedHostCapture mCapture;
};

TEST_F(HostTemplateTest, ChildListAddsFindsRemovesAndMoves) {
  FBModelTemplate* parent = NewTemplate("Parent");
  FBModelTemplate* a = NewTemplate("A");
  FBModelTemplate* b = NewTemplate("B");
  EXPECT_TRUE(parent->Name == "Parent");
  EXPECT_TRUE(parent->Prefix == "Prefix");
  EXPECT_EQ(fbsdk_control::TemplateStyle(parent), kFBModelTemplateSkeleton);

  EXPECT_EQ(parent->Children.Add(a), 1);
  EXPECT_EQ(parent->Children.Add(b), 2);
  EXPECT_EQ(parent->Children.Add(a), 2);  // Already a child: no duplicate.
  EXPECT_EQ(parent->Children.Find(b), 1);
  EXPECT_EQ(parent->Children[0], a);
  EXPECT_EQ(parent->Children[2], nullptr);
  EXPECT_EQ(TemplateParent(a), parent);

  // A template cannot contain itself or an ancestor.
  EXPECT_EQ(a->Children.Add(parent), 0);
  EXPECT_EQ(a->Children.Add(a), 0);

  // Adding elsewhere moves it.
  EXPECT_EQ(a->Children.Add(b), 1);
  EXPECT_EQ(parent->Children.GetCount(), 1);
  EXPECT_EQ(TemplateParent(b), a);

  EXPECT_EQ(a->Children.Remove(b), 0);
  EXPECT_EQ(TemplateParent(b), nullptr);
  EXPECT_EQ(a->Children.Remove(b), -1);
  EXPECT_EQ(a->Children.Find(b), -1);

  parent->Children.Add(b);
  parent->Children.RemoveAt(0);
  EXPECT_EQ(parent->Children[0], b);
  parent->Children.RemoveAt(7);  // Out of range: ignored.
  parent->Children.RemoveAll();
  EXPECT_EQ(parent->Children.GetCount(), 0);
  EXPECT_EQ(TemplateParent(b), nullptr);
  delete a;
  delete b;
  delete parent;
}

TEST_F(HostTemplateTest, DeletingATemplateDetachesItFromParentChildrenNodesAndModel) {
  FBDevice* device = fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Device");
  ASSERT_NE(device, nullptr);
  FBModelTemplate* parent = NewTemplate("Parent");
  FBModelTemplate* middle = NewTemplate("Middle");
  FBModelTemplate* child = NewTemplate("Child");
  parent->Children.Add(middle);
  middle->Children.Add(child);
  FBAnimationNode* node =
      device->AnimationNodeOutCreate(1, "MiddleT", ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
  middle->Bindings.Add(node);
  FBModel* model = fbsdk_control::CreateModel("Model");
  middle->Model = model;
  EXPECT_EQ(static_cast<FBModel*>(middle->Model), model);

  delete middle;
  EXPECT_EQ(parent->Children.GetCount(), 0);
  EXPECT_EQ(TemplateParent(child), nullptr);
  EXPECT_EQ(fbsdk_control::NodeTemplate(node), nullptr);
  // The node can be bound again; the model can be bound again and deleted safely.
  EXPECT_EQ(child->Bindings.Add(node), 0);
  child->Model = model;
  fbsdk_control::DestroyModel(model);
  EXPECT_EQ(static_cast<FBModel*>(child->Model), nullptr);
  delete child;
  delete parent;
  fbsdk_control::DestroyDevice(device);
}

TEST_F(HostTemplateTest, BindingListHoldsEachNodeOnceAndOnOneTemplate) {
  FBDevice* device = fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Device");
  ASSERT_NE(device, nullptr);
  FBModelTemplate* first = NewTemplate("First");
  FBModelTemplate* second = NewTemplate("Second");
  FBAnimationNode* t = device->AnimationNodeOutCreate(1, "T", ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
  FBAnimationNode* r = device->AnimationNodeOutCreate(1, "R", ANIMATIONNODE_TYPE_LOCAL_ROTATION);
  EXPECT_EQ(first->Bindings.Add(r), 0);
  EXPECT_EQ(first->Bindings.Add(t), 1);
  EXPECT_EQ(first->Bindings.Add(t), 1);
  EXPECT_EQ(first->Bindings.Add(static_cast<FBAnimationNode*>(nullptr)), -1);
  EXPECT_EQ(first->Bindings[1], t);
  EXPECT_EQ(second->Bindings.Add(r), 0);  // Moves.
  EXPECT_EQ(first->Bindings.GetCount(), 1);
  EXPECT_EQ(first->Bindings.Remove(t), 0);
  EXPECT_EQ(fbsdk_control::NodeTemplate(t), nullptr);
  delete first;
  delete second;
  fbsdk_control::DestroyDevice(device);
}

TEST_F(HostTemplateTest, ModelPropertyBindsOnlySceneModels) {
  FBModelTemplate* modelTemplate = NewTemplate("T");
  FBModel* model = fbsdk_control::CreateModel("M");
  modelTemplate->Model = model;
  EXPECT_EQ(static_cast<FBModel*>(modelTemplate->Model), model);
  modelTemplate->Model = nullptr;
  EXPECT_EQ(static_cast<FBModel*>(modelTemplate->Model), nullptr);
  FBModel* notAModel = reinterpret_cast<FBModel*>(modelTemplate);  // Never dereferenced.
  modelTemplate->Model = notAModel;
  EXPECT_EQ(static_cast<FBModel*>(modelTemplate->Model), nullptr);
  delete modelTemplate;
}

TEST_F(HostTemplateTest, DeviceTakesItsRemainingTemplatesWithIt) {
  SampleDevice* device =
      FBCast<SampleDevice>(fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Device"));
  ASSERT_NE(device, nullptr);
  SampleJoint hips = device->AddJoint("Hips");
  SampleJoint spine = device->AddJoint("Spine", hips.mTemplate);
  FBModelTemplate* root = device->mRoot;
  ASSERT_EQ(device->ModelTemplate.Children.GetCount(), 1);
  EXPECT_EQ(TemplateParent(root), &device->ModelTemplate);
  fbsdk_control::DestroyDevice(device);
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(root));
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(hips.mTemplate));
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(spine.mTemplate));
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(spine.mRotation));
}

TEST_F(HostTemplateTest, ObjectListDropsAComponentWhenItIsDeleted) {
  FBPropertyListObject links;
  FBModel* hips = fbsdk_control::CreateModel("Hips");
  FBModel* spine = fbsdk_control::CreateModel("Spine");
  EXPECT_EQ(links.Add(hips), 0);
  EXPECT_EQ(links.Add(spine), 1);
  EXPECT_EQ(links.Add(hips), 0);  // Listed once.
  EXPECT_EQ(links.Add(nullptr), -1);
  fbsdk_control::DestroyModel(hips);
  ASSERT_EQ(links.GetCount(), 1);
  EXPECT_EQ(links[0], static_cast<FBComponent*>(spine));

  links.SetSingleConnect(true);
  FBModel* head = fbsdk_control::CreateModel("Head");
  EXPECT_EQ(links.Add(head), 0);
  EXPECT_EQ(links.GetCount(), 1);
  EXPECT_EQ(links.InsertAt(5, spine), 0);
  EXPECT_EQ(links.GetAt(0), static_cast<FBComponent*>(spine));
  links.Clear();
  EXPECT_EQ(links.GetCount(), 0);
}

TEST_F(HostTemplateTest, AsIntReadsNumericPropertiesOfEveryKind) {
  FBDevice* device = fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Device");
  ASSERT_NE(device, nullptr);
  device->SamplingMode = kFBAutoFrequency;
  EXPECT_EQ(device->SamplingMode.AsInt(), kFBAutoFrequency);
  EXPECT_TRUE(device->SamplingMode.SetInt(kFBSoftwareTimestamp));
  EXPECT_EQ(static_cast<int>(device->SamplingMode), kFBSoftwareTimestamp);
  device->CommType = 6;
  EXPECT_EQ(device->CommType.AsInt(), 6);
  EXPECT_EQ(device->Online.AsInt(), 0);
  FBPropertyDouble number;
  number = 2019.7;
  EXPECT_EQ(number.AsInt(), 2019);
  EXPECT_EQ(device->Name.AsInt(), 0);
  EXPECT_FALSE(device->Name.SetInt(3));
  fbsdk_control::DestroyDevice(device);
}

}  // namespace

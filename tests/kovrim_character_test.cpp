// Characterization of the bound skeleton and the freeze on unbind: the T-pose threshold, the
// restore of the user's check box, the character's name, the duplicate-name questions, the slot
// walk, and the unbind notification's busy and foreign-model cases.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include <string>
#include <vector>

#include "kovrim_device.h"
#include "link_test_util.h"

using namespace linktest;
namespace control = fbsdk_control;

namespace {

constexpr uint32_t kTag = 6;

class KovrimCharacterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control::SetTraceEcho(false);
    mDevice = static_cast<KovrimDevice*>(control::CreateDevice(KOVRIM_DEVICE_LABEL, "device"));
    ASSERT_NE(mDevice, nullptr);
    mDevice->mLink.mActorTag = kTag;
    mDevice->mLink.mHeaderPending = true;
    const std::string bytes =
        HeaderMessage(kTag, Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, Y_ROT, X_ROT}, {0, 9, 0},
                                  {Joint("Spine", {Z_ROT, Y_ROT, X_ROT}, {0, 4, 0})}))
            .SerializeAsString();
    mDevice->mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
    mDevice->ProcessPending();
    ASSERT_EQ(mDevice->GetJointCount(), 2);
  }
  void TearDown() override { control::DestroyDevice(mDevice); }

  // Reference > Hips > Spine, in the given namespace, bound to the device.
  void BindSkeleton(const char* nameSpace) {
    mReference = control::CreateModel("Reference", nullptr, nameSpace);
    mHips = control::CreateModel("Hips", mReference, nameSpace);
    mSpine = control::CreateModel("Spine", mHips, nameSpace);
    ASSERT_TRUE(control::BindSkeleton(mDevice, mReference));
  }
  // Arms the characterization and lets it pass the threshold.
  void CharacterizeNow() {
    mDevice->RequestCharacterize();
    mDevice->mTPoseFrameCount = KovrimDevice::kCharacterizeThreshold + 1;
    mDevice->ProcessPending();
  }
  std::vector<std::string> CharacterNames() {
    std::vector<std::string> names;
    for (FBCharacter* character : control::SceneCharacters())
      names.push_back(static_cast<const char*>(character->Name));
    return names;
  }
  static bool Linked(FBCharacter* character, const char* slot, FBModel* model) {
    FBProperty* property = character->PropertyList.Find(slot, false);
    if (!property || !property->IsList()) return false;
    auto* list = static_cast<FBPropertyListObject*>(property);
    return list->GetCount() == 1 && list->GetAt(0) == model;
  }

  control::ScopedHostCapture mHost;
  KovrimDevice* mDevice = nullptr;
  FBModel* mReference = nullptr;
  FBModel* mHips = nullptr;
  FBModel* mSpine = nullptr;
};

TEST_F(KovrimCharacterTest, RunsOnlyPastTheThresholdAndRestoresTheCheckBox) {
  BindSkeleton("Actor1");
  mDevice->mStayInTPose = false;
  mDevice->RequestCharacterize();
  EXPECT_TRUE(mDevice->mStayInTPose);
  mDevice->mTPoseFrameCount = KovrimDevice::kCharacterizeThreshold;
  mDevice->ProcessPending();
  EXPECT_TRUE(mDevice->mCharacterizePending);
  EXPECT_TRUE(control::SceneCharacters().empty());
  mDevice->mTPoseFrameCount = KovrimDevice::kCharacterizeThreshold + 1;
  mDevice->ProcessPending();
  EXPECT_FALSE(mDevice->mCharacterizePending);
  EXPECT_FALSE(mDevice->mStayInTPose);
  ASSERT_EQ(CharacterNames(), std::vector<std::string>{"Actor1"});
  FBCharacter* character = control::SceneCharacters()[0];
  EXPECT_TRUE(Linked(character, "ReferenceLink", mReference));
  EXPECT_TRUE(Linked(character, "HipsLink", mHips));
  EXPECT_TRUE(Linked(character, "SpineLink", mSpine));
  EXPECT_TRUE(character->GetCharacterize());
}

TEST_F(KovrimCharacterTest, RepeatedRequestKeepsTheUsersSavedChoice) {
  BindSkeleton(nullptr);
  mDevice->mStayInTPose = false;
  mDevice->RequestCharacterize();
  mDevice->RequestCharacterize();  // while armed: the forced true must not become the saved value
  EXPECT_EQ(mDevice->mTPoseFrameCount, 0u);
  mDevice->mTPoseFrameCount = KovrimDevice::kCharacterizeThreshold + 1;
  mDevice->ProcessPending();
  EXPECT_FALSE(mDevice->mStayInTPose);
  EXPECT_EQ(CharacterNames(), std::vector<std::string>{"Reference"});  // no namespace
}

TEST_F(KovrimCharacterTest, NoBoundModelWarnsAndRestores) {
  mDevice->mStayInTPose = true;
  CharacterizeNow();
  const auto boxes = control::MessageBoxesShown();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, "Warning");
  EXPECT_EQ(boxes[0].message, "No selected model!");
  EXPECT_TRUE(mDevice->mStayInTPose);
  EXPECT_FALSE(mDevice->mCharacterizePending);
  EXPECT_TRUE(control::SceneCharacters().empty());
}

TEST_F(KovrimCharacterTest, EachCharacterOfTheSameNameAsksAgain) {
  BindSkeleton("Actor1");
  new FBCharacter("Actor1");
  new FBCharacter("Other");
  new FBCharacter("Actor1");
  control::QueueMessageBoxAnswers({1, 2});  // "Yes" to the first, "No" to the second
  mDevice->mStayInTPose = false;
  CharacterizeNow();
  EXPECT_FALSE(mDevice->mStayInTPose);  // the user's choice is back after "No"
  EXPECT_FALSE(mDevice->mCharacterizePending);
  auto boxes = control::MessageBoxesShown();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].message,
            "This model may have been characterized according it's name, continue anyway?");
  EXPECT_EQ(boxes[0].buttons, (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(control::SceneCharacters().size(), 3u);

  control::QueueMessageBoxAnswers({1, 1});
  CharacterizeNow();
  EXPECT_EQ(CharacterNames(), (std::vector<std::string>{"Actor1", "Other", "Actor1", "Actor1"}));
}

TEST_F(KovrimCharacterTest, SlotWalkSkipsOddNamesButVisitsTheirChildren) {
  BindSkeleton("Rig");
  FBModel* odd = control::CreateModel("Antenna", mSpine, "Rig");
  FBModel* neck = control::CreateModel("Neck", odd, "Rig");
  CharacterizeNow();
  ASSERT_EQ(control::SceneCharacters().size(), 1u);
  FBCharacter* character = control::SceneCharacters()[0];
  EXPECT_TRUE(Linked(character, "SpineLink", mSpine));
  EXPECT_TRUE(Linked(character, "NeckLink", neck));
  EXPECT_EQ(character->PropertyList.Find("AntennaLink", false), nullptr);
}

TEST_F(KovrimCharacterTest, CharacterNameIsTheNamespaceWithoutOverflow) {
  EXPECT_EQ(KovrimDevice::CharacterName("Actor1:Reference", "Reference"), "Actor1");
  EXPECT_EQ(KovrimDevice::CharacterName("Reference", "Reference"), "Reference");
  EXPECT_EQ(KovrimDevice::CharacterName(":Reference", "Reference"), "Reference");
  EXPECT_EQ(KovrimDevice::CharacterName("", ""), "Character");
  EXPECT_EQ(KovrimDevice::CharacterName(nullptr, nullptr), "Character");
  const std::string longSpace(300, 'n');
  EXPECT_EQ(KovrimDevice::CharacterName((longSpace + ":Reference").c_str(), "Reference"),
            longSpace);
}

TEST_F(KovrimCharacterTest, UnbindingTheRootFreezesTheBoundJoints) {
  BindSkeleton("Actor1");
  mHips->Translation = FBVector3<double>(1, 2, 3);
  mSpine->Rotation = FBVector3<double>(10, 20, 30);
  control::UnbindSkeleton(mDevice);
  EXPECT_EQ(control::EvaluationPauseDepth(), 0);
  EXPECT_TRUE(mHips->Translation.IsAnimated());
  EXPECT_TRUE(mSpine->Rotation.IsAnimated());
  EXPECT_FALSE(mReference->Translation.IsAnimated());  // "Reference" has no joint record
  double value[3] = {0, 0, 0};
  ASSERT_TRUE(mHips->Translation.GetAnimationNode(nullptr)->ReadData(value));
  EXPECT_EQ(value[2], 3);
  ASSERT_TRUE(mSpine->Rotation.GetAnimationNode(nullptr)->ReadData(value));
  EXPECT_EQ(value[1], 20);
}

TEST_F(KovrimCharacterTest, UnbindOfAForeignModelOrWhileBusyChangesNothing) {
  BindSkeleton("Actor1");
  FBModelTemplate* hipsTemplate = mDevice->mJoints.front().mTemplate;
  // The Hips template's model is not the root's.
  EXPECT_TRUE(mDevice->ModelTemplateUnBindNotify(1, hipsTemplate));
  EXPECT_FALSE(mHips->Translation.IsAnimated());
  // Made, destroyed, merged or cleared with the scene (File > New): the models go too.
  for (FBObjectStatus status :
       {kFBStatusCreating, kFBStatusDestroying, kFBStatusMerging, kFBStatusClearing}) {
    mDevice->SetObjectStatus(status, true);
    EXPECT_TRUE(mDevice->ModelTemplateUnBindNotify(0, mDevice->mRootTemplate));
    EXPECT_FALSE(mHips->Translation.IsAnimated()) << "status " << status;
    mDevice->SetObjectStatus(status, false);
  }
  EXPECT_TRUE(mDevice->ModelTemplateUnBindNotify(0, mDevice->mRootTemplate));
  EXPECT_TRUE(mHips->Translation.IsAnimated());
}

}  // namespace

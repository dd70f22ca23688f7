// The system, the scene and its characters in the host stand-in: the version a panel reads, the
// scene's character table, the "<Slot>Link" properties and characterization.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The slot list of a character, found as a device finds it.
FBPropertyListObject* SlotOf(FBCharacter* character, const std::string& slot) {
  FBProperty* property = character->PropertyList.Find((slot + "Link").c_str(), false);
  if (!property || !property->IsList()) return nullptr;
  return static_cast<FBPropertyListObject*>(property);
}

class HostCharacterTest : public testing::Test {
 protected:
  fbsdk_control::ScopedHostCapture mHost;
};

TEST_F(HostCharacterTest, VersionIsSharedByEverySystemAndSetByTheControl) {
  FBSystem local;
  EXPECT_DOUBLE_EQ(static_cast<double>(local.Version), 19000.0);
  EXPECT_TRUE(local.Version.IsReadOnly());
  fbsdk_control::SetSystemVersion(12500.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(FBSystem::TheOne().Version), 12500.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(FBSystem().Version), 12500.0);
  EXPECT_STREQ(local.BuildVersion, "12.500.0.0");
  EXPECT_EQ(static_cast<FBScene*>(local.Scene), static_cast<FBScene*>(FBSystem::TheOne().Scene));
  EXPECT_NE(static_cast<FBScene*>(local.Scene), nullptr);
  const std::string temp = static_cast<const char*>(local.TempPath);
  ASSERT_FALSE(temp.empty());
  // Ends with the platform's separator ('\\' on Windows).
  EXPECT_NE(std::string("/\\").find(temp.back()), std::string::npos) << temp;
}

TEST_F(HostCharacterTest, ResetHostRestoresTheVersionAndEmptiesTheScene) {
  fbsdk_control::SetSystemVersion(1.0);
  new FBCharacter("Left over");
  fbsdk_control::ResetHost();
  EXPECT_DOUBLE_EQ(static_cast<double>(FBSystem().Version), 19000.0);
  EXPECT_TRUE(fbsdk_control::SceneCharacters().empty());
  EXPECT_EQ(FBSystem().Scene->Characters.GetCount(), 0);
}

TEST_F(HostCharacterTest, NewCharactersJoinTheSceneWhichOwnsThem) {
  const int before = fbsdk_control::LiveComponentCount();
  FBCharacter* first = new FBCharacter("Actor_A");
  FBCharacter* second = new FBCharacter("Actor_B");
  FBScene* scene = FBSystem().Scene;
  ASSERT_EQ(scene->Characters.GetCount(), 2);
  EXPECT_EQ(scene->Characters[0], first);
  EXPECT_TRUE(scene->Characters[1]->Name == "Actor_B");
  EXPECT_EQ(scene->Characters[2], nullptr);
  EXPECT_EQ(fbsdk_control::SceneCharacters(), (std::vector<FBCharacter*>{first, second}));

  first->FBDelete();
  EXPECT_EQ(fbsdk_control::SceneCharacters(), (std::vector<FBCharacter*>{second}));
  fbsdk_control::ResetUi();
  EXPECT_EQ(scene->Characters.GetCount(), 0);
  EXPECT_EQ(fbsdk_control::LiveComponentCount(), before) << "the scene deleted what it owned";
}

TEST_F(HostCharacterTest, EveryStandardSlotHasALinkListAndOthersHaveNone) {
  FBCharacter* character = new FBCharacter("Slots");
  const std::vector<std::string> slots = fbsdk_control::CharacterSlots();
  for (const char* required : {"Reference", "Hips", "LeftUpLeg", "RightToeBase", "Spine9", "Neck",
                               "Neck9", "Head", "LeftFingerBase", "RightForeArmRoll",
                               "LeftHandThumb1", "RightHandPinky4", "LeftUpLegRoll"}) {
    EXPECT_NE(std::find(slots.begin(), slots.end(), required), slots.end()) << required;
  }
  for (const std::string& slot : slots) {
    FBPropertyListObject* list = SlotOf(character, slot);
    ASSERT_NE(list, nullptr) << slot;
    EXPECT_EQ(list->GetCount(), 0) << slot;
    EXPECT_TRUE(list->IsObjectList()) << slot;
    EXPECT_STREQ(list->GetName(), (slot + "Link").c_str());
  }
  EXPECT_EQ(character->PropertyList.Find("TailLink", false), nullptr);
  EXPECT_EQ(character->PropertyList.Find("Hips", false), nullptr) << "the property has the suffix";
}

TEST_F(HostCharacterTest, CharacterizationNeedsAModelInTheRequiredSlots) {
  FBModel* hips = fbsdk_control::CreateModel("Hips");
  FBModel* leftUpLeg = fbsdk_control::CreateModel("LeftUpLeg", hips);
  FBCharacter* character = new FBCharacter("Actor");

  EXPECT_FALSE(character->SetCharacterizeOn(true));
  EXPECT_FALSE(character->GetCharacterize());
  EXPECT_NE(std::string(character->GetCharacterizeError()).find("Hips"), std::string::npos);

  ASSERT_EQ(SlotOf(character, "Hips")->Add(leftUpLeg), 0);
  ASSERT_EQ(SlotOf(character, "Hips")->Add(hips), 0) << "a slot holds one model";
  ASSERT_EQ(SlotOf(character, "LeftUpLeg")->Add(leftUpLeg), 0);
  EXPECT_EQ(SlotOf(character, "Hips")->GetCount(), 1);
  EXPECT_EQ(SlotOf(character, "Hips")->GetAt(0), hips);
  EXPECT_EQ(character->GetModel(kFBHipsNodeId), hips);
  EXPECT_EQ(character->GetModel(kFBLeftHipNodeId), leftUpLeg);

  EXPECT_TRUE(character->SetCharacterizeOn(true));
  EXPECT_TRUE(character->GetCharacterize());
  EXPECT_STREQ(character->GetCharacterizeError(), "");
  character->SetCharacterizeOff();
  EXPECT_FALSE(character->GetCharacterize());

  fbsdk_control::SetCharacterizeRequiredSlots({"Hips", "Head"});
  EXPECT_FALSE(character->SetCharacterizeOn(true));
  EXPECT_NE(std::string(character->GetCharacterizeError()).find("Head"), std::string::npos);
}

TEST_F(HostCharacterTest, ADeletedModelLeavesItsSlot) {
  FBModel* hips = fbsdk_control::CreateModel("Hips");
  FBCharacter* character = new FBCharacter("Actor");
  SlotOf(character, "Hips")->Add(hips);
  fbsdk_control::DestroyModel(hips);
  EXPECT_EQ(SlotOf(character, "Hips")->GetCount(), 0);
  EXPECT_EQ(character->GetModel(kFBHipsNodeId), nullptr);
  EXPECT_FALSE(character->SetCharacterizeOn(true));
}

TEST_F(HostCharacterTest, DuplicateCopiesTheSlotLinks) {
  FBModel* hips = fbsdk_control::CreateModel("Hips");
  FBCharacter* character = new FBCharacter("Actor");
  SlotOf(character, "Hips")->Add(hips);
  FBScene* scene = FBSystem().Scene;
  const int index = scene->Characters.Duplicate(0);
  ASSERT_EQ(index, 1);
  FBCharacter* copy = scene->Characters[index];
  EXPECT_TRUE(copy->Name == "Actor1");
  EXPECT_EQ(copy->GetModel(kFBHipsNodeId), hips);
  EXPECT_EQ(scene->Characters.Duplicate(7), -1);
}

TEST_F(HostCharacterTest, RemovedCharactersLeaveTheSceneAlive) {
  FBCharacter* character = new FBCharacter("Kept");
  FBScene* scene = FBSystem().Scene;
  EXPECT_EQ(scene->Characters.Remove(character), 0);
  EXPECT_EQ(scene->Characters.GetCount(), 0);
  EXPECT_TRUE(fbsdk_control::IsLiveComponent(character));
  EXPECT_EQ(scene->Characters.Add(character), 1);
  EXPECT_EQ(scene->Characters.Add(character), 1) << "a character is listed once";
}

}  // namespace

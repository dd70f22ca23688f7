// The device panel in the host stand-in: its regions and their attachments with and without the
// "Characterize" button, and its handlers: address and port texts, the actor list and its
// selection, the idle pick-up and deferred work, the show event and the check box.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include <climits>
#include <string>
#include <vector>

#include "kovrim_device.h"
#include "kovrim_layout.h"
#include "link_test_util.h"

using namespace linktest;
namespace control = fbsdk_control;

namespace {

class KovrimLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control::SetTraceEcho(false);
    control::SetMessageBoxHandler([](const control::MessageBoxRecord&) { return 1; });
  }
  void TearDown() override {
    control::DestroyDeviceLayout(mLayout);
    control::DestroyDevice(mDevice);
  }

  void Create(double version = 19000.0) {
    control::SetSystemVersion(version);
    mDevice = static_cast<KovrimDevice*>(control::CreateDevice(KOVRIM_DEVICE_LABEL, "device"));
    ASSERT_NE(mDevice, nullptr);
    FBDeviceLayout* layout = control::CreateDeviceLayout(mDevice);
    ASSERT_NE(layout, nullptr);
    ASSERT_TRUE(layout->Is(KovrimDeviceLayout::TypeInfo));
    mLayout = static_cast<KovrimDeviceLayout*>(layout);
  }

  static std::vector<std::string> Names(FBLayout& layout) {
    std::vector<std::string> names;
    for (const auto& region : control::Regions(layout)) names.push_back(region.mName);
    return names;
  }
  static control::RegionInfo Region(FBLayout& layout, const std::string& name) {
    for (const auto& region : control::Regions(layout)) {
      if (region.mName == name) return region;
    }
    ADD_FAILURE() << "no region " << name;
    return {};
  }
  void Actors(const std::vector<std::pair<uint32_t, std::string>>& actors) {
    const std::string bytes = ActorListMessage(actors).SerializeAsString();
    mDevice->mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   static_cast<int>(bytes.size()), ServerLink::kPlainMarker);
  }
  std::vector<std::pair<std::string, kReference>> Items() {
    std::vector<std::pair<std::string, kReference>> items;
    for (int i = 0; i < mLayout->mRolesList.Items.GetCount(); ++i) {
      items.emplace_back(mLayout->mRolesList.Items[i], mLayout->mRolesList.Items.GetReferenceAt(i));
    }
    return items;
  }

  control::ScopedHostCapture mHost;
  KovrimDevice* mDevice = nullptr;
  KovrimDeviceLayout* mLayout = nullptr;
};

TEST_F(KovrimLayoutTest, PanelIdentityAndTypeTest) {
  Create();
  EXPECT_STREQ(mLayout->ClassName(), "KovrimDeviceLayout");
  EXPECT_EQ(mLayout->mDevice, mDevice);
  EXPECT_TRUE(mLayout->Is(FBDeviceLayout::TypeInfo));
  EXPECT_TRUE(mLayout->Is(FBLayout::TypeInfo));
  EXPECT_TRUE(mLayout->Is(FBVisualComponent::TypeInfo));
  EXPECT_FALSE(mLayout->Is(FBDevice::TypeInfo));
}

TEST_F(KovrimLayoutTest, RegionsWithTheCharacterizeButton) {
  Create(13000.0);
  EXPECT_TRUE(mLayout->mShowCharacterize);
  EXPECT_EQ(Names(*mLayout), std::vector<std::string>{"mSetup"});
  const auto setup = Region(*mLayout, "mSetup");
  EXPECT_EQ(setup.mControl, &mLayout->mSetupLayout);
  EXPECT_EQ(setup.mX, 5);
  EXPECT_EQ(setup.mW, -5);
  EXPECT_EQ(setup.mWType, kFBAttachRight);
  EXPECT_EQ(setup.mHType, kFBAttachBottom);
  EXPECT_EQ(setup.mBorderStyle, kFBStandardBorder);
  EXPECT_FALSE(setup.mBorderShowTitle);
  EXPECT_TRUE(setup.mBorderInSet);
  EXPECT_EQ(setup.mBorderWidth, 1);
  EXPECT_EQ(setup.mBorderSpacing, 0);

  EXPECT_EQ(Names(mLayout->mSetupLayout),
            (std::vector<std::string>{"RequestBvhHeaderButton", "RebuildSkeletonButton",
                                      "CharacterizeButton", "StayTPosCheckBox",
                                      "CommunicationRegion", "RoleControlRegion"}));
  const auto characterize = Region(mLayout->mSetupLayout, "CharacterizeButton");
  EXPECT_EQ(characterize.mY, 5);
  EXPECT_EQ(characterize.mYType, kFBAttachBottom);
  EXPECT_EQ(characterize.mYRelative, "RebuildSkeletonButton");
  EXPECT_STREQ(static_cast<const char*>(mLayout->mCharacterizeButton.Caption), "Characterize");
  EXPECT_EQ(control::HandlerCount(mLayout->mCharacterizeButton.OnClick), 1);

  const auto check = Region(mLayout->mSetupLayout, "StayTPosCheckBox");
  EXPECT_EQ(check.mY, 90);
  EXPECT_EQ(check.mYType, kFBAttachTop);
  EXPECT_EQ(check.mYRelative, "mSetup");
  EXPECT_EQ(static_cast<int>(mLayout->mStayTPoseCheckBox.Style), kFBCheckbox);
  EXPECT_STREQ(static_cast<const char*>(mLayout->mStayTPoseCheckBox.Caption), "Stay In T-Pose");

  const auto communication = Region(mLayout->mSetupLayout, "CommunicationRegion");
  EXPECT_EQ(communication.mControl, &mLayout->mCommunicationLayout);
  EXPECT_EQ(communication.mX, 230);
  EXPECT_EQ(communication.mH, 115);
  EXPECT_EQ(communication.mBorderStyle, kFBEmbossBorder);
  EXPECT_EQ(communication.mBorderWidth, 2);
  EXPECT_EQ(communication.mBorderSpacing, 1);
  const auto roles = Region(mLayout->mSetupLayout, "RoleControlRegion");
  EXPECT_EQ(roles.mY, 15);
  EXPECT_EQ(roles.mYRelative, "CommunicationRegion");

  EXPECT_EQ(Names(mLayout->mCommunicationLayout),
            (std::vector<std::string>{"TcpLabel", "AddressLabel", "Address", "PortLabel", "Port"}));
  const auto port = Region(mLayout->mCommunicationLayout, "Port");
  EXPECT_EQ(port.mXType, kFBAttachRight);
  EXPECT_EQ(port.mXRelative, "PortLabel");
  EXPECT_EQ(port.mYType, kFBAttachBottom);
  EXPECT_EQ(port.mYRelative, "Address");
  EXPECT_EQ(Region(mLayout->mCommunicationLayout, "Address").mXRelative, "AddressLabel");
  EXPECT_STREQ(static_cast<const char*>(mLayout->mPortLabel.Caption), "Port :");
  EXPECT_STREQ(static_cast<const char*>(mLayout->mTcpLabel.Caption), "TCP Settings");
  EXPECT_EQ(Names(mLayout->mRoleControlLayout),
            (std::vector<std::string>{"RoleNameLabel", "RolesName"}));
  EXPECT_EQ(control::ControlIn(mLayout->mRoleControlLayout, "RolesName"), &mLayout->mRolesList);
  EXPECT_STREQ(static_cast<const char*>(mLayout->mRoleNameLabel.Caption), "Source:");
}

TEST_F(KovrimLayoutTest, OlderHostsHaveNoCharacterizeButton) {
  Create(12999.0);
  EXPECT_FALSE(mLayout->mShowCharacterize);
  EXPECT_EQ(
      Names(mLayout->mSetupLayout),
      (std::vector<std::string>{"RequestBvhHeaderButton", "RebuildSkeletonButton",
                                "StayTPosCheckBox", "CommunicationRegion", "RoleControlRegion"}));
  EXPECT_EQ(control::HandlerCount(mLayout->mCharacterizeButton.OnClick), 0);
  // The check box keeps its row 90 below the top, leaving the button's row empty.
  EXPECT_EQ(Region(mLayout->mSetupLayout, "StayTPosCheckBox").mY, 90);
}

TEST_F(KovrimLayoutTest, AddressAndPortTextsGoToTheLink) {
  Create();
  control::TypeText(mLayout->mAddressEdit, " 10.0.0.7 ");
  EXPECT_STREQ(static_cast<const char*>(mDevice->mLink.mAddress), " 10.0.0.7 ");
  const std::vector<std::pair<const char*, int>> ports = {{"7005abc", 7005},
                                                          {"", 0},
                                                          {"port", 0},
                                                          {" -12", -12},
                                                          {"+80", 80},
                                                          {"99999999999", INT_MAX},
                                                          {"-99999999999", INT_MIN}};
  for (const auto& port : ports) {
    control::TypeText(mLayout->mPortEdit, port.first);
    EXPECT_EQ(mDevice->mLink.mPort, port.second) << '"' << port.first << '"';
  }
  control::TypeText(mLayout->mPortEdit, " -12");
  control::FireShow(*mLayout);
  EXPECT_STREQ(static_cast<const char*>(mLayout->mPortEdit.Text), "-12");
  EXPECT_STREQ(static_cast<const char*>(mLayout->mAddressEdit.Text), " 10.0.0.7 ");
  EXPECT_EQ(mDevice->mLink.mPort, -12);
}

TEST_F(KovrimLayoutTest, ActorListIsFilledInTagOrderAndFollowsTheChosenActor) {
  Create();
  Actors({{5, "B"}, {2, "A"}});
  control::FireIdle(*mLayout);
  EXPECT_EQ(Items(), (std::vector<std::pair<std::string, kReference>>{{"A", 2}, {"B", 5}}));
  EXPECT_FALSE(mDevice->mLink.mActorsChanged);
  // The drop-down list's current item is the first: its actor is chosen (offline: the warning).
  EXPECT_EQ(mDevice->mLink.mActorTag, 2u);
  EXPECT_EQ(mLayout->mRolesList.ItemIndex, 0);

  control::ChooseItem(mLayout->mRolesList, 1);
  EXPECT_EQ(mDevice->mLink.mActorTag, 5u);
  // A new list that holds the chosen actor selects its item and sends nothing more.
  Actors({{1, "Z"}, {5, "B"}});
  const size_t boxes = control::MessageBoxesShown().size();
  control::FireIdle(*mLayout);
  EXPECT_EQ(mLayout->mRolesList.ItemIndex, 1);
  EXPECT_EQ(mDevice->mLink.mActorTag, 5u);
  EXPECT_EQ(control::MessageBoxesShown().size(), boxes);
  // An empty list empties the control and chooses nothing.
  Actors({});
  control::FireIdle(*mLayout);
  EXPECT_TRUE(Items().empty());
  EXPECT_EQ(mDevice->mLink.mActorTag, 5u);
  EXPECT_FALSE(mDevice->mLink.mActorsChanged);
}

TEST_F(KovrimLayoutTest, CheckBoxAndShowEventMirrorTheTPoseFlag) {
  Create();
  control::Click(mLayout->mStayTPoseCheckBox);
  EXPECT_TRUE(mDevice->mStayInTPose);
  control::Click(mLayout->mStayTPoseCheckBox);
  EXPECT_FALSE(mDevice->mStayInTPose);
  mDevice->mStayInTPose = true;
  control::FireShow(*mLayout);
  EXPECT_EQ(static_cast<int>(mLayout->mStayTPoseCheckBox.State), 1);
  EXPECT_STREQ(static_cast<const char*>(mLayout->mAddressEdit.Text), "127.0.0.1");
  EXPECT_STREQ(static_cast<const char*>(mLayout->mPortEdit.Text), "7005");
}

TEST_F(KovrimLayoutTest, ButtonsAndIdleRunTheDevicesCommands) {
  Create();
  control::Click(mLayout->mRequestBvhHeaderButton);  // offline
  control::Click(mLayout->mRebuildSkeletonButton);
  const auto boxes = control::MessageBoxesShown();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].message, "Please ensure you are online.");
  EXPECT_EQ(boxes[1].title, "Info");
  // The idle event runs the deferred first build once a header is held.
  mDevice->mLink.mActorTag = 1;
  mDevice->mLink.mHeaderPending = true;
  const std::string bytes =
      HeaderMessage(1, Joint("Hips", {Z_ROT, Y_ROT, X_ROT}, {0, 0, 0})).SerializeAsString();
  mDevice->mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()), ServerLink::kPlainMarker);
  mDevice->mTemplateRebuildPending = true;
  control::FireIdle(*mLayout);
  EXPECT_EQ(mDevice->GetJointCount(), 1);
  control::Click(mLayout->mCharacterizeButton);
  EXPECT_TRUE(mDevice->mCharacterizePending);
  EXPECT_TRUE(mDevice->mStayInTPose);
}

TEST_F(KovrimLayoutTest, PanelPictureHasOneRectanglePerRegion) {
  Create();
  control::FireShow(*mLayout);
  const std::string svg = control::RenderLayoutSvg(*mLayout, 460, 200);
  for (const char* region : {"mSetup", "RequestBvhHeaderButton", "CharacterizeButton", "Port",
                             "RolesName", "StayTPosCheckBox"}) {
    EXPECT_NE(svg.find(std::string("data-region=\"") + region + "\""), std::string::npos) << region;
  }
  EXPECT_NE(svg.find("Rebuild Skeleton Template"), std::string::npos);
  EXPECT_NE(svg.find("7005"), std::string::npos);
}

}  // namespace

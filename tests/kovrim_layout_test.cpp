// The device panel in the host stand-in: every region, control, caption, style and border with and
// without the "Characterize" button, and its handlers: address and port texts, the actor list and
// its selection, the idle pick-up (also of a list arriving during a refill) and deferred work, the
// show event and the check box.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include <climits>
#include <map>
#include <sstream>
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
                                   static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
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

// ---- The whole panel, pinned region by region. Each row is the layout the region is added to,
// its name (also its title), the four values as number, attachment kind and the region attached
// to (every multiplier 1), the control put into it and the border set on it. Attachment kinds:
// 0 left, 1 right, 2 top, 3 bottom, 7 none.

struct Attach {
  int mValue;
  int mType;
  const char* mRelative;
};
struct Border {
  int mStyle;
  bool mShowTitle;
  bool mInSet;
  int mWidth;
  int mSpacing;
  float mMaxAngle;
  int mCornerRadius;
};
struct PanelRegion {
  const char* mLayout;
  const char* mName;
  Attach mX, mY, mW, mH;
  const char* mControl;
  const Border* mBorder;  // null: none set
  bool mCharacterizeOnly;
};

constexpr int kL = 0, kR = 1, kT = 2, kB = 3, kN = 7;
constexpr Border kSetupBorder{1, false, true, 1, 0, 90.0f, 0};
constexpr Border kGroupBorder{2, false, true, 2, 1, 90.0f, 0};

const PanelRegion kPanelRegions[] = {
    {"panel",
     "mSetup",
     {5, kL, ""},
     {5, kT, ""},
     {-5, kR, ""},
     {-5, kB, ""},
     "mSetupLayout",
     &kSetupBorder,
     false},
    {"mSetupLayout",
     "RequestBvhHeaderButton",
     {5, kL, "mSetup"},
     {5, kT, "mSetup"},
     {210, kN, ""},
     {20, kN, ""},
     "mRequestBvhHeaderButton",
     nullptr,
     false},
    {"mSetupLayout",
     "RebuildSkeletonButton",
     {5, kL, "mSetup"},
     {5, kB, "RequestBvhHeaderButton"},
     {210, kN, ""},
     {20, kN, ""},
     "mRebuildSkeletonButton",
     nullptr,
     false},
    {"mSetupLayout",
     "CharacterizeButton",
     {5, kL, "mSetup"},
     {5, kB, "RebuildSkeletonButton"},
     {210, kN, ""},
     {20, kN, ""},
     "mCharacterizeButton",
     nullptr,
     true},
    {"mSetupLayout",
     "StayTPosCheckBox",
     {5, kL, "mSetup"},
     {90, kT, "mSetup"},
     {210, kN, ""},
     {20, kN, ""},
     "mStayTPoseCheckBox",
     nullptr,
     false},
    {"mSetupLayout",
     "CommunicationRegion",
     {230, kL, "mSetup"},
     {5, kT, "mSetup"},
     {210, kN, ""},
     {115, kN, ""},
     "mCommunicationLayout",
     &kGroupBorder,
     false},
    {"mSetupLayout",
     "RoleControlRegion",
     {230, kL, "mSetup"},
     {15, kB, "CommunicationRegion"},
     {210, kN, ""},
     {40, kN, ""},
     "mRoleControlLayout",
     &kGroupBorder,
     false},
    {"mCommunicationLayout",
     "TcpLabel",
     {60, kL, "CommunicationRegion"},
     {10, kT, "CommunicationRegion"},
     {90, kN, ""},
     {25, kN, ""},
     "mTcpLabel",
     nullptr,
     false},
    {"mCommunicationLayout",
     "AddressLabel",
     {10, kL, "CommunicationRegion"},
     {10, kB, "TcpLabel"},
     {90, kN, ""},
     {25, kN, ""},
     "mAddressLabel",
     nullptr,
     false},
    {"mCommunicationLayout",
     "Address",
     {10, kR, "AddressLabel"},
     {10, kB, "TcpLabel"},
     {90, kN, ""},
     {25, kN, ""},
     "mAddressEdit",
     nullptr,
     false},
    {"mCommunicationLayout",
     "PortLabel",
     {10, kL, "CommunicationRegion"},
     {10, kB, "AddressLabel"},
     {90, kN, ""},
     {25, kN, ""},
     "mPortLabel",
     nullptr,
     false},
    {"mCommunicationLayout",
     "Port",
     {10, kR, "PortLabel"},
     {10, kB, "Address"},
     {90, kN, ""},
     {25, kN, ""},
     "mPortEdit",
     nullptr,
     false},
    {"mRoleControlLayout",
     "RoleNameLabel",
     {10, kL, "RoleControlRegion"},
     {10, kT, "RoleControlRegion"},
     {90, kN, ""},
     {25, kN, ""},
     "mRoleNameLabel",
     nullptr,
     false},
    {"mRoleControlLayout",
     "RolesName",
     {10, kR, "RoleNameLabel"},
     {10, kT, "RoleControlRegion"},
     {90, kN, ""},
     {25, kN, ""},
     "mRolesList",
     nullptr,
     false},
};

// Every control's caption and, for buttons and the list, style, as the creation hook leaves them;
// a control it does not place (the "Characterize" button on older hosts) keeps its defaults.
struct PanelControl {
  const char* mMember;
  const char* mCaption;
  int mStyle;  // -1: the control has no style
};
const PanelControl kPanelControls[] = {
    {"mSetupLayout", "", -1},
    {"mCommunicationLayout", "", -1},
    {"mTcpLabel", "TCP Settings", -1},
    {"mAddressLabel", "Address :", -1},
    {"mAddressEdit", "", -1},
    {"mPortLabel", "Port :", -1},
    {"mPortEdit", "", -1},
    {"mCharacterizeButton", "Characterize", 0},
    {"mRequestBvhHeaderButton", "Request Bvh Header", 0},
    {"mRebuildSkeletonButton", "Rebuild Skeleton Template", 0},
    {"mStayTPoseCheckBox", "Stay In T-Pose", 3},
    {"mRoleControlLayout", "", -1},
    {"mRoleNameLabel", "Source:", -1},
    {"mRolesList", "", 0},
};

std::string DescribeAttach(int value, int type, const std::string& relative, float multiplier) {
  std::ostringstream text;
  text << value << " kind " << type << " of \"" << relative << "\" x" << multiplier;
  return text.str();
}

std::string DescribeBorder(bool hasBorder, int style, bool showTitle, bool inSet, int width,
                           int spacing, float maxAngle, int cornerRadius) {
  if (!hasBorder) return "no border";
  std::ostringstream text;
  text << "border " << style << ", " << showTitle << ", " << inSet << ", " << width << ", "
       << spacing << ", " << maxAngle << ", " << cornerRadius;
  return text.str();
}

std::string DescribeRegion(const std::string& layout, const std::string& name,
                           const std::string& title, const std::string& x, const std::string& y,
                           const std::string& w, const std::string& h, const std::string& control,
                           const std::string& border) {
  return layout + " / " + name + " (title \"" + title + "\"): x " + x + "; y " + y + "; w " + w +
         "; h " + h + "; control " + control + "; " + border;
}

class KovrimPanelTest : public KovrimLayoutTest, public ::testing::WithParamInterface<double> {
 protected:
  std::map<std::string, FBVisualComponent*> Members() {
    KovrimDeviceLayout& p = *mLayout;
    return {{"panel", &p},
            {"mSetupLayout", &p.mSetupLayout},
            {"mCommunicationLayout", &p.mCommunicationLayout},
            {"mTcpLabel", &p.mTcpLabel},
            {"mAddressLabel", &p.mAddressLabel},
            {"mAddressEdit", &p.mAddressEdit},
            {"mPortLabel", &p.mPortLabel},
            {"mPortEdit", &p.mPortEdit},
            {"mCharacterizeButton", &p.mCharacterizeButton},
            {"mRequestBvhHeaderButton", &p.mRequestBvhHeaderButton},
            {"mRebuildSkeletonButton", &p.mRebuildSkeletonButton},
            {"mStayTPoseCheckBox", &p.mStayTPoseCheckBox},
            {"mRoleControlLayout", &p.mRoleControlLayout},
            {"mRoleNameLabel", &p.mRoleNameLabel},
            {"mRolesList", &p.mRolesList}};
  }
};

TEST_P(KovrimPanelTest, EveryRegionControlCaptionStyleAndBorder) {
  Create(GetParam());
  const bool characterize = GetParam() >= 13000.0;
  EXPECT_EQ(mLayout->mShowCharacterize, characterize);
  const std::map<std::string, FBVisualComponent*> members = Members();
  std::map<const FBVisualComponent*, std::string> names;
  for (const auto& member : members) names[member.second] = member.first;

  std::vector<std::string> expected;
  std::map<std::string, std::string> expectedHolder;  // control -> layout holding it
  for (const PanelRegion& row : kPanelRegions) {
    if (row.mCharacterizeOnly && !characterize) continue;
    const Border* b = row.mBorder;
    expected.push_back(DescribeRegion(
        row.mLayout, row.mName, row.mName,
        DescribeAttach(row.mX.mValue, row.mX.mType, row.mX.mRelative, 1.0f),
        DescribeAttach(row.mY.mValue, row.mY.mType, row.mY.mRelative, 1.0f),
        DescribeAttach(row.mW.mValue, row.mW.mType, row.mW.mRelative, 1.0f),
        DescribeAttach(row.mH.mValue, row.mH.mType, row.mH.mRelative, 1.0f), row.mControl,
        b ? DescribeBorder(true, b->mStyle, b->mShowTitle, b->mInSet, b->mWidth, b->mSpacing,
                           b->mMaxAngle, b->mCornerRadius)
          : DescribeBorder(false, 0, false, false, 0, 0, 0, 0)));
    expectedHolder[row.mControl] = row.mLayout;
  }

  // The regions of every layout of the panel, in the order they were added.
  std::vector<std::string> actual;
  for (const char* layoutName :
       {"panel", "mSetupLayout", "mCommunicationLayout", "mRoleControlLayout"}) {
    FBLayout& layout = *static_cast<FBLayout*>(members.at(layoutName));
    for (const control::RegionInfo& r : control::Regions(layout)) {
      const auto control = names.find(r.mControl);
      actual.push_back(DescribeRegion(
          layoutName, r.mName, r.mTitle, DescribeAttach(r.mX, r.mXType, r.mXRelative, r.mMultX),
          DescribeAttach(r.mY, r.mYType, r.mYRelative, r.mMultY),
          DescribeAttach(r.mW, r.mWType, r.mWRelative, r.mMultW),
          DescribeAttach(r.mH, r.mHType, r.mHRelative, r.mMultH),
          control == names.end() ? "(other)" : control->second,
          DescribeBorder(r.mHasBorder, r.mBorderStyle, r.mBorderShowTitle, r.mBorderInSet,
                         r.mBorderWidth, r.mBorderSpacing, r.mBorderMaxAngle,
                         r.mBorderCornerRadius)));
    }
  }
  // Row by row, so that a failure names only the rows that differ.
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "region " << i;

  for (const PanelControl& row : kPanelControls) {
    SCOPED_TRACE(row.mMember);
    FBVisualComponent* component = members.at(row.mMember);
    const bool placed = expectedHolder.count(row.mMember) != 0;
    FBLayout* holder = control::HolderOf(*component);
    EXPECT_EQ(holder, placed ? members.at(expectedHolder[row.mMember]) : nullptr);
    EXPECT_STREQ(static_cast<const char*>(component->Caption), placed ? row.mCaption : "");
    if (row.mStyle < 0) continue;
    if (FBIS(component, FBButton)) {
      EXPECT_EQ(static_cast<int>(static_cast<FBButton*>(component)->Style),
                placed ? row.mStyle : 0);
    } else {
      EXPECT_EQ(static_cast<int>(static_cast<FBList*>(component)->Style), row.mStyle);
    }
  }
  // Nothing else is filled in before the panel is shown, and the button has its handler only
  // where it is placed.
  EXPECT_STREQ(static_cast<const char*>(mLayout->mAddressEdit.Text), "");
  EXPECT_STREQ(static_cast<const char*>(mLayout->mPortEdit.Text), "");
  EXPECT_EQ(mLayout->mRolesList.Items.GetCount(), 0);
  EXPECT_EQ(control::HandlerCount(mLayout->mCharacterizeButton.OnClick), characterize ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, KovrimPanelTest,
                         ::testing::Values(19000.0, 13000.0, 12999.0),
                         [](const ::testing::TestParamInfo<double>& param) {
                           return "Version" + std::to_string(static_cast<int>(param.param));
                         });

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

TEST_F(KovrimLayoutTest, ActorListArrivingWhileTheListIsFilledIsShownAtTheNextIdle) {
  // Regression: the idle handler cleared the changed flag after its refill, so a list that the
  // link took while the panel was filling its control was never shown.
  Create();
  Actors({{1, "A"}});
  bool delivered = false;
  control::SetStringListAddHook([&](const char*, kReference) {
    if (delivered) return;
    delivered = true;
    Actors({{1, "A"}, {2, "B"}});  // as the I/O thread would, between the copy and the end
  });
  control::FireIdle(*mLayout);
  control::SetStringListAddHook(nullptr);
  ASSERT_TRUE(delivered);
  EXPECT_EQ(Items(), (std::vector<std::pair<std::string, kReference>>{{"A", 1}}));
  EXPECT_TRUE(mDevice->mLink.mActorsChanged);
  control::FireIdle(*mLayout);
  EXPECT_EQ(Items(), (std::vector<std::pair<std::string, kReference>>{{"A", 1}, {"B", 2}}));
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
                                 static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
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

// Device pages in the host stand-in: a page written the way a device plug-in writes one, created
// through the registry for its device, driven through the user actions, and destroyed.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#define PANEL_DEVICE_LABEL "Panel device (1.0)"
#define PANEL_DEVICE_UNIQUE_NAME "Panel Unique Device"
#define BARE_DEVICE_LABEL "Bare device (1.0)"
#define REFUSED_DEVICE_LABEL "Refused page device (1.0)"
#define REFUSED_DEVICE_UNIQUE_NAME "Refused Page Device"

class PanelDevice : public FBDevice {
  FBDeviceDeclare(PanelDevice, FBDevice);

 public:
  bool FBCreate() override { return true; }

  // Characterizes a fresh character named pName from the models given, as a device does.
  bool Characterize(const char* pName, FBModel* pHips) {
    FBSystem system;
    FBScene* scene = system.Scene;
    for (int i = 0; i < scene->Characters.GetCount(); ++i) {
      if (scene->Characters[i]->Name == pName) return false;
    }
    FBCharacter* character = new FBCharacter(pName);
    FBProperty* property = character->PropertyList.Find("HipsLink", false);
    if (property && property->IsList()) {
      ((FBPropertyListObject*)property)->Add(pHips);
    }
    return character->SetCharacterizeOn(true);
  }

  std::string mAddress = "127.0.0.1";
  bool mStayInTPose = false;
  kReference mActor = 0;
  int mIdles = 0;
  int mShows = 0;
};

class BareDevice : public FBDevice {
  FBDeviceDeclare(BareDevice, FBDevice);
};

class RefusedPageDevice : public FBDevice {
  FBDeviceDeclare(RefusedPageDevice, FBDevice);
};

FBDeviceImplementation(PanelDevice);
FBRegisterDevice(PANEL_DEVICE_UNIQUE_NAME, PanelDevice, PANEL_DEVICE_LABEL, "Panel device",
                 "panel.png");
FBDeviceImplementation(BareDevice);
FBRegisterDevice("Bare Unique Device", BareDevice, BARE_DEVICE_LABEL, "No page", "bare.png");
FBDeviceImplementation(RefusedPageDevice);
FBRegisterDevice(REFUSED_DEVICE_UNIQUE_NAME, RefusedPageDevice, REFUSED_DEVICE_LABEL,
                 "Its page fails", "refused.png");

// A page in the plug-in's shape: nested layouts, handlers attached with the (FBCallback) cast.
class PanelLayout : public FBDeviceLayout {
  FBDeviceLayoutDeclare(PanelLayout, FBDeviceLayout);

 public:
  bool FBCreate() override;
  void FBDestroy() override { sDestroyed++; }

  void EventAddressChange(HISender pSender, HKEvent pEvent);
  void EventStayTPoseClick(HISender pSender, HKEvent pEvent);
  void EventRolesListChange(HISender pSender, HKEvent pEvent);
  void EventUIIdle(HISender pSender, HKEvent pEvent);
  void EventUIShow(HISender pSender, HKEvent pEvent);

  PanelDevice* mDevice;
  FBLayout mSetupLayout;
  FBLabel mTcpLabel;
  FBEdit mAddressEdit;
  FBButton mStayTPoseCheckBox;
  FBList mRolesList;
  bool mShowCharacterize;
  static std::atomic<int> sDestroyed;
};

std::atomic<int> PanelLayout::sDestroyed{0};

FBDeviceLayoutImplementation(PanelLayout);
FBRegisterDeviceLayout(PanelLayout, PANEL_DEVICE_UNIQUE_NAME, "panel_page.png");

bool PanelLayout::FBCreate() {
  mDevice = (PanelDevice*)(FBDevice*)Device;
  FBSystem lSystem;
  mShowCharacterize = lSystem.Version.AsInt() >= 13000;
  AddRegion("mSetup", "mSetup", 5, kFBAttachLeft, "", 1.0, 5, kFBAttachTop, "", 1.0, -5,
            kFBAttachRight, "", 1.0, -5, kFBAttachBottom, "", 1.0);
  SetControl("mSetup", mSetupLayout);
  SetBorder("mSetup", kFBStandardBorder, false, true, 1, 0, 90.0, 0);
  mSetupLayout.AddRegion("TcpLabel", "TcpLabel", 5, kFBAttachLeft, "mSetup", 1.0, 5, kFBAttachTop,
                         "mSetup", 1.0, 90, kFBAttachNone, "", 1.0, 25, kFBAttachNone, "", 1.0);
  mSetupLayout.SetControl("TcpLabel", mTcpLabel);
  mTcpLabel.Caption = "TCP Settings";
  mSetupLayout.AddRegion("Address", "Address", 10, kFBAttachRight, "TcpLabel", 1.0, 0, kFBAttachTop,
                         "TcpLabel", 1.0, 90, kFBAttachNone, "", 1.0, 25, kFBAttachNone, "", 1.0);
  mSetupLayout.SetControl("Address", mAddressEdit);
  mSetupLayout.AddRegion("Stay", "Stay", 5, kFBAttachLeft, "mSetup", 1.0, 10, kFBAttachBottom,
                         "TcpLabel", 1.0, 210, kFBAttachNone, "", 1.0, 20, kFBAttachNone, "", 1.0);
  mSetupLayout.SetControl("Stay", mStayTPoseCheckBox);
  mStayTPoseCheckBox.Style = kFBCheckbox;
  mStayTPoseCheckBox.Caption = "Stay In T-Pose";
  mSetupLayout.AddRegion("Roles", "Roles", 0, kFBAttachLeft, "Address", 1.0, 10, kFBAttachBottom,
                         "Address", 1.0, 90, kFBAttachNone, "", 1.0, 25, kFBAttachNone, "", 1.0);
  mSetupLayout.SetControl("Roles", mRolesList);

  mAddressEdit.OnChange.Add(this, (FBCallback)&PanelLayout::EventAddressChange);
  mStayTPoseCheckBox.OnClick.Add(this, (FBCallback)&PanelLayout::EventStayTPoseClick);
  mRolesList.OnChange.Add(this, (FBCallback)&PanelLayout::EventRolesListChange);
  OnIdle.Add(this, (FBCallback)&PanelLayout::EventUIIdle);
  OnShow.Add(this, (FBCallback)&PanelLayout::EventUIShow);
  return true;
}

void PanelLayout::EventAddressChange(HISender, HKEvent) {
  mDevice->mAddress = (const char*)mAddressEdit.Text;
}

void PanelLayout::EventStayTPoseClick(HISender, HKEvent) {
  mDevice->mStayInTPose = (int)mStayTPoseCheckBox.State == 1;
}

void PanelLayout::EventRolesListChange(HISender, HKEvent) {
  const int index = mRolesList.ItemIndex;
  if (index >= 0) mDevice->mActor = mRolesList.Items.GetReferenceAt(index);
}

void PanelLayout::EventUIIdle(HISender, HKEvent) { mDevice->mIdles++; }

void PanelLayout::EventUIShow(HISender, HKEvent pEvent) {
  FBEventShow event(pEvent);
  if (!event.Shown) return;
  mDevice->mShows++;
  mAddressEdit.Text = mDevice->mAddress.c_str();
  mRolesList.Items.Clear();
  mRolesList.Items.Add("Actor 4", (kReference)4);
  mRolesList.Items.Add("Actor 8", (kReference)8);
  for (int i = 0; i < mRolesList.Items.GetCount(); ++i) {
    if (mRolesList.Items.GetReferenceAt(i) == mDevice->mActor) mRolesList.Selected(i, true);
  }
}

// A page whose FBCreate fails.
class RefusedLayout : public FBDeviceLayout {
  FBDeviceLayoutDeclare(RefusedLayout, FBDeviceLayout);

 public:
  bool FBCreate() override {
    sCreated++;
    return false;
  }
  static std::atomic<int> sCreated;
};

std::atomic<int> RefusedLayout::sCreated{0};

FBDeviceLayoutImplementation(RefusedLayout);
FBRegisterDeviceLayout(RefusedLayout, REFUSED_DEVICE_UNIQUE_NAME, "refused.png");

namespace {

class HostDeviceLayoutTest : public testing::Test {
 protected:
  void SetUp() override {
    FBModulePanelDevice();
    FBModuleBareDevice();
    FBModuleRefusedPageDevice();
    FBModulePanelLayout();
    FBModuleRefusedLayout();
  }
  fbsdk_control::ScopedHostCapture mHost;
};

TEST_F(HostDeviceLayoutTest, PageIsRegisteredUnderTheDevicesUniqueName) {
  int group = -1;
  for (int i = 0; i < FBObject_GetGroupCount(); ++i) {
    if (std::string(FBObject_GetGroupName(i)) == "UI_Associated_ClassName") group = i;
  }
  ASSERT_GE(group, 0);
  int entry = -1;
  for (int i = 0; i < FBObject_GetEntryCount(group); ++i) {
    if (std::string(FBObject_GetEntryName(group, i)) == PANEL_DEVICE_UNIQUE_NAME) entry = i;
  }
  ASSERT_GE(entry, 0);
  EXPECT_STREQ(FBObject_GetEntryDescription(group, entry),
               PANEL_DEVICE_UNIQUE_NAME " Device Layout");
  EXPECT_STREQ(FBObject_GetIconName(group, entry), "panel_page.png");
}

TEST_F(HostDeviceLayoutTest, HostCreatesThePageForItsDeviceAndDestroysIt) {
  auto* device = static_cast<PanelDevice*>(fbsdk_control::CreateDevice(PANEL_DEVICE_LABEL, "P"));
  ASSERT_NE(device, nullptr);
  FBDeviceLayout* page = fbsdk_control::CreateDeviceLayout(device);
  ASSERT_NE(page, nullptr);
  auto* panel = static_cast<PanelLayout*>(page);
  EXPECT_TRUE(FBIS(page, PanelLayout));
  EXPECT_TRUE(page->mAllocated);
  EXPECT_EQ(static_cast<FBDevice*>(page->Device), device);
  EXPECT_EQ(panel->mDevice, device);
  EXPECT_TRUE(panel->mShowCharacterize);
  EXPECT_EQ(fbsdk_control::Regions(*page).size(), 1u);
  EXPECT_EQ(fbsdk_control::ControlIn(*page, "mSetup"), &panel->mSetupLayout);
  EXPECT_EQ(fbsdk_control::Regions(panel->mSetupLayout).size(), 4u);

  const int destroyedBefore = PanelLayout::sDestroyed;
  fbsdk_control::DestroyDeviceLayout(page);
  EXPECT_EQ(PanelLayout::sDestroyed, destroyedBefore + 1);
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(page));
  fbsdk_control::DestroyDevice(device);
}

TEST_F(HostDeviceLayoutTest, PageSeesTheSystemVersion) {
  fbsdk_control::SetSystemVersion(12000.0);
  FBDevice* device = fbsdk_control::CreateDevice(PANEL_DEVICE_LABEL, "Old host");
  FBDeviceLayout* page = fbsdk_control::CreateDeviceLayout(device);
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(static_cast<PanelLayout*>(page)->mShowCharacterize);
  fbsdk_control::DestroyDeviceLayout(page);
  fbsdk_control::DestroyDevice(device);
}

TEST_F(HostDeviceLayoutTest, DevicesWithoutAWorkingPageGetNone) {
  EXPECT_EQ(fbsdk_control::CreateDeviceLayout(nullptr), nullptr);
  FBDevice* bare = fbsdk_control::CreateDevice(BARE_DEVICE_LABEL, "Bare");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(fbsdk_control::CreateDeviceLayout(bare), nullptr);

  FBDevice* refused = fbsdk_control::CreateDevice(REFUSED_DEVICE_LABEL, "Refused");
  ASSERT_NE(refused, nullptr);
  const int live = fbsdk_control::LiveComponentCount();
  const int created = RefusedLayout::sCreated;
  EXPECT_EQ(fbsdk_control::CreateDeviceLayout(refused), nullptr);
  EXPECT_EQ(RefusedLayout::sCreated, created + 1);
  EXPECT_EQ(fbsdk_control::LiveComponentCount(), live) << "the failed page was deleted";
  fbsdk_control::DestroyDevice(bare);
  fbsdk_control::DestroyDevice(refused);
}

TEST_F(HostDeviceLayoutTest, UserActionsReachTheDeviceThroughTheHandlers) {
  auto* device = static_cast<PanelDevice*>(fbsdk_control::CreateDevice(PANEL_DEVICE_LABEL, "P"));
  auto* panel = static_cast<PanelLayout*>(fbsdk_control::CreateDeviceLayout(device));
  ASSERT_NE(panel, nullptr);
  device->mActor = 8;

  fbsdk_control::FireShow(*panel);
  EXPECT_EQ(device->mShows, 1);
  EXPECT_STREQ(panel->mAddressEdit.Text, "127.0.0.1");
  EXPECT_EQ(static_cast<int>(panel->mRolesList.ItemIndex), 1);
  fbsdk_control::FireShow(*panel, false);
  EXPECT_EQ(device->mShows, 1) << "hiding is not showing";

  ASSERT_TRUE(fbsdk_control::TypeText(panel->mAddressEdit, "10.1.2.3"));
  EXPECT_EQ(device->mAddress, "10.1.2.3");
  ASSERT_TRUE(fbsdk_control::Click(panel->mStayTPoseCheckBox));
  EXPECT_TRUE(device->mStayInTPose);
  ASSERT_TRUE(fbsdk_control::ChooseItem(panel->mRolesList, 0));
  EXPECT_EQ(device->mActor, 4u);
  fbsdk_control::FireIdle(*panel);
  fbsdk_control::FireIdle(*panel);
  EXPECT_EQ(device->mIdles, 2);

  const std::string svg = fbsdk_control::RenderLayoutSvg(*panel, 500, 300);
  EXPECT_NE(svg.find("10.1.2.3"), std::string::npos);
  EXPECT_NE(svg.find("Actor 4"), std::string::npos);
  EXPECT_NE(svg.find("class=\"tick\""), std::string::npos);

  fbsdk_control::DestroyDeviceLayout(panel);
  fbsdk_control::DestroyDevice(device);
}

TEST_F(HostDeviceLayoutTest, DeviceCharacterizesThroughTheSlotProperties) {
  auto* device = static_cast<PanelDevice*>(fbsdk_control::CreateDevice(PANEL_DEVICE_LABEL, "P"));
  FBModel* hips = fbsdk_control::CreateModel("Hips");
  EXPECT_TRUE(device->Characterize("Performer", hips));
  EXPECT_FALSE(device->Characterize("Performer", hips)) << "the name is taken";
  const auto characters = fbsdk_control::SceneCharacters();
  ASSERT_EQ(characters.size(), 1u);
  EXPECT_TRUE(characters[0]->GetCharacterize());
  EXPECT_EQ(characters[0]->GetModel(kFBHipsNodeId), hips);
  fbsdk_control::DestroyDevice(device);
}

}  // namespace

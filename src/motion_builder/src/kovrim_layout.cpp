#include "kovrim_layout.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include "kovrim_texts.h"

FBRegisterDeviceLayout(KovrimDeviceLayout, KOVRIM_DEVICE_UNIQUE_NAME, KOVRIM_DEVICE_ICON);

namespace {

// Adds a region whose name and title are the same text; every multiplier is 1.
void AddSameNameRegion(FBLayout& layout, const char* name, int x, FBAttachType xType,
                       const char* xRelative, int y, FBAttachType yType, const char* yRelative,
                       int w, FBAttachType wType, const char* wRelative, int h, FBAttachType hType,
                       const char* hRelative) {
  layout.AddRegion(name, name, x, xType, xRelative, 1.0f, y, yType, yRelative, 1.0f, w, wType,
                   wRelative, 1.0f, h, hType, hRelative, 1.0f);
}

// A region of a fixed size placed relative to two other regions.
void AddFixedRegion(FBLayout& layout, const char* name, int x, FBAttachType xType,
                    const char* xRelative, int y, FBAttachType yType, const char* yRelative, int w,
                    int h) {
  AddSameNameRegion(layout, name, x, xType, xRelative, y, yType, yRelative, w, kFBAttachNone, "", h,
                    kFBAttachNone, "");
}

}  // namespace

bool KovrimDeviceLayout::FBCreate() {
  mDevice = static_cast<KovrimDevice*>(static_cast<FBDevice*>(Device));
  {
    FBSystem system;
    mShowCharacterize = system.Version.AsInt() >= kCharacterizeMinimumVersion;
  }

  AddSameNameRegion(*this, "mSetup", 5, kFBAttachLeft, "", 5, kFBAttachTop, "", -5, kFBAttachRight,
                    "", -5, kFBAttachBottom, "");
  SetControl("mSetup", mSetupLayout);
  SetBorder("mSetup", kFBStandardBorder, false, true, 1, 0, 90.0f, 0);
  LayoutSetup();

  mAddressEdit.OnChange.Add(this, (FBCallback)&KovrimDeviceLayout::EventAddressChange);
  mPortEdit.OnChange.Add(this, (FBCallback)&KovrimDeviceLayout::EventPortChange);
  mRequestBvhHeaderButton.OnClick.Add(this,
                                      (FBCallback)&KovrimDeviceLayout::EventRequestBvhHeaderClick);
  mRebuildSkeletonButton.OnClick.Add(this,
                                     (FBCallback)&KovrimDeviceLayout::EventRebuildSkeletonClick);
  if (mShowCharacterize) {
    mCharacterizeButton.OnClick.Add(this, (FBCallback)&KovrimDeviceLayout::EventCharacterizeClick);
  }
  mStayTPoseCheckBox.OnClick.Add(this, (FBCallback)&KovrimDeviceLayout::EventStayTPoseClick);
  mRolesList.OnChange.Add(this, (FBCallback)&KovrimDeviceLayout::EventRolesListChange);
  OnIdle.Add(this, (FBCallback)&KovrimDeviceLayout::EventUIIdle);
  OnShow.Add(this, (FBCallback)&KovrimDeviceLayout::EventUIShow);
  return true;
}

void KovrimDeviceLayout::FBDestroy() {}

void KovrimDeviceLayout::LayoutSetup() {
  AddFixedRegion(mSetupLayout, "RequestBvhHeaderButton", 5, kFBAttachLeft, "mSetup", 5,
                 kFBAttachTop, "mSetup", 210, 20);
  mSetupLayout.SetControl("RequestBvhHeaderButton", mRequestBvhHeaderButton);
  mRequestBvhHeaderButton.Caption = kovrim_texts::kRequestHeaderCaption;

  AddFixedRegion(mSetupLayout, "RebuildSkeletonButton", 5, kFBAttachLeft, "mSetup", 5,
                 kFBAttachBottom, "RequestBvhHeaderButton", 210, 20);
  mSetupLayout.SetControl("RebuildSkeletonButton", mRebuildSkeletonButton);
  mRebuildSkeletonButton.Caption = kovrim_texts::kRebuildSkeletonCaption;

  if (mShowCharacterize) {
    AddFixedRegion(mSetupLayout, "CharacterizeButton", 5, kFBAttachLeft, "mSetup", 5,
                   kFBAttachBottom, "RebuildSkeletonButton", 210, 20);
    mSetupLayout.SetControl("CharacterizeButton", mCharacterizeButton);
    mCharacterizeButton.Caption = kovrim_texts::kCharacterizeCaption;
  }

  AddFixedRegion(mSetupLayout, "StayTPosCheckBox", 5, kFBAttachLeft, "mSetup", 90, kFBAttachTop,
                 "mSetup", 210, 20);
  mSetupLayout.SetControl("StayTPosCheckBox", mStayTPoseCheckBox);
  mStayTPoseCheckBox.Style = kFBCheckbox;
  mStayTPoseCheckBox.Caption = kovrim_texts::kTPoseCaption;

  AddFixedRegion(mSetupLayout, "CommunicationRegion", 230, kFBAttachLeft, "mSetup", 5, kFBAttachTop,
                 "mSetup", 210, 115);
  mSetupLayout.SetControl("CommunicationRegion", mCommunicationLayout);
  mSetupLayout.SetBorder("CommunicationRegion", kFBEmbossBorder, false, true, 2, 1, 90.0f, 0);
  LayoutCommunication();

  AddFixedRegion(mSetupLayout, "RoleControlRegion", 230, kFBAttachLeft, "mSetup", 15,
                 kFBAttachBottom, "CommunicationRegion", 210, 40);
  mSetupLayout.SetControl("RoleControlRegion", mRoleControlLayout);
  mSetupLayout.SetBorder("RoleControlRegion", kFBEmbossBorder, false, true, 2, 1, 90.0f, 0);
  LayoutRoleControl();
}

void KovrimDeviceLayout::LayoutCommunication() {
  AddFixedRegion(mCommunicationLayout, "TcpLabel", 60, kFBAttachLeft, "CommunicationRegion", 10,
                 kFBAttachTop, "CommunicationRegion", 90, 25);
  mCommunicationLayout.SetControl("TcpLabel", mTcpLabel);
  mTcpLabel.Caption = kovrim_texts::kTcpCaption;

  AddFixedRegion(mCommunicationLayout, "AddressLabel", 10, kFBAttachLeft, "CommunicationRegion", 10,
                 kFBAttachBottom, "TcpLabel", 90, 25);
  mCommunicationLayout.SetControl("AddressLabel", mAddressLabel);
  mAddressLabel.Caption = kovrim_texts::kAddressCaption;

  AddFixedRegion(mCommunicationLayout, kovrim_texts::kAddressRegion, 10, kFBAttachRight,
                 "AddressLabel", 10, kFBAttachBottom, "TcpLabel", 90, 25);
  mCommunicationLayout.SetControl(kovrim_texts::kAddressRegion, mAddressEdit);

  AddFixedRegion(mCommunicationLayout, "PortLabel", 10, kFBAttachLeft, "CommunicationRegion", 10,
                 kFBAttachBottom, "AddressLabel", 90, 25);
  mCommunicationLayout.SetControl("PortLabel", mPortLabel);
  mPortLabel.Caption = kovrim_texts::kPortCaption;

  AddFixedRegion(mCommunicationLayout, kovrim_texts::kPortRegion, 10, kFBAttachRight, "PortLabel",
                 10, kFBAttachBottom, kovrim_texts::kAddressRegion, 90, 25);
  mCommunicationLayout.SetControl(kovrim_texts::kPortRegion, mPortEdit);
}

void KovrimDeviceLayout::LayoutRoleControl() {
  AddFixedRegion(mRoleControlLayout, "RoleNameLabel", 10, kFBAttachLeft, "RoleControlRegion", 10,
                 kFBAttachTop, "RoleControlRegion", 90, 25);
  mRoleControlLayout.SetControl("RoleNameLabel", mRoleNameLabel);
  mRoleNameLabel.Caption = kovrim_texts::kSourceCaption;

  AddFixedRegion(mRoleControlLayout, kovrim_texts::kActorListRegion, 10, kFBAttachRight,
                 "RoleNameLabel", 10, kFBAttachTop, "RoleControlRegion", 90, 25);
  mRoleControlLayout.SetControl(kovrim_texts::kActorListRegion, mRolesList);
}

int KovrimDeviceLayout::ParsePortText(const char* text) {
  if (!text) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulated as a negative number so INT_MIN is reachable; stops at the range of int.
  long long value = 0;
  while (std::isdigit(*p)) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
    ++p;
  }
  if (negative) {
    value = -value;
    return value < INT_MIN ? INT_MIN : static_cast<int>(value);
  }
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void KovrimDeviceLayout::EventAddressChange(HISender, HKEvent) {
  if (!mDevice) return;
  mDevice->mLink.mAddress = static_cast<const char*>(mAddressEdit.Text);
}

void KovrimDeviceLayout::EventPortChange(HISender, HKEvent) {
  if (!mDevice) return;
  mDevice->mLink.mPort = ParsePortText(static_cast<const char*>(mPortEdit.Text));
}

void KovrimDeviceLayout::EventRequestBvhHeaderClick(HISender, HKEvent) {
  if (!mDevice) return;
  mDevice->RequestBvhHeader();
}

void KovrimDeviceLayout::EventRebuildSkeletonClick(HISender, HKEvent) {
  if (!mDevice) return;
  mDevice->RebuildSkeletonTemplate();
}

void KovrimDeviceLayout::EventCharacterizeClick(HISender, HKEvent) {
  if (!mDevice) return;
  mDevice->RequestCharacterize();
}

void KovrimDeviceLayout::EventStayTPoseClick(HISender, HKEvent) {
  if (!mDevice) return;
  mDevice->mStayInTPose = static_cast<int>(mStayTPoseCheckBox.State) == 1;
}

void KovrimDeviceLayout::EventRolesListChange(HISender, HKEvent) {
  if (!mDevice) return;
  const int index = mRolesList.ItemIndex;
  if (index < 0 || index >= mRolesList.Items.GetCount()) return;
  mDevice->mLink.SelectActor(static_cast<uint32_t>(mRolesList.Items.GetReferenceAt(index)));
}

void KovrimDeviceLayout::EventUIIdle(HISender, HKEvent) {
  if (!mDevice) return;
  // The flag is taken before the copy: a list that arrives during the refill sets it again and is
  // shown at the next idle event.
  if (mDevice->mLink.mActorsChanged.exchange(false)) {
    RefreshActorList();
    const int index = mRolesList.ItemIndex;
    if (mRolesList.Items.GetCount() > 0 && index >= 0 && index < mRolesList.Items.GetCount()) {
      mDevice->mLink.SelectActor(static_cast<uint32_t>(mRolesList.Items.GetReferenceAt(index)));
    }
  }
  mDevice->ProcessPending();
}

void KovrimDeviceLayout::EventUIShow(HISender, HKEvent) {
  if (!mDevice) return;
  mAddressEdit.Text = static_cast<const char*>(mDevice->mLink.mAddress);
  char port[16];
  std::snprintf(port, sizeof(port), "%d", mDevice->mLink.mPort);
  mPortEdit.Text = port;
  mStayTPoseCheckBox.State = mDevice->mStayInTPose ? 1 : 0;
  RefreshActorList();
}

int KovrimDeviceLayout::RefreshActorList() {
  mRolesList.Items.Clear();
  if (!mDevice) return 0;
  const std::shared_ptr<const ServerLink::ActorMap> snapshot = mDevice->mLink.Actors();
  const ServerLink::ActorMap& actors = *snapshot;
  for (const auto& actor : actors) {
    mRolesList.Items.Add(actor.second.c_str(), static_cast<kReference>(actor.first));
  }
  const int count = mRolesList.Items.GetCount();
  const uint32_t chosen = mDevice->mLink.mActorTag;
  for (int i = 0; i < count; ++i) {
    if (static_cast<uint32_t>(mRolesList.Items.GetReferenceAt(i)) == chosen) {
      mRolesList.Selected(i, true);
    }
  }
  return count;
}

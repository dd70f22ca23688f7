#include "panel_driver.h"

#include <functional>

#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include "host_text.h"
#include "plugin_loader.h"

namespace kmq {
namespace {

using kovrim_texts::kActorListRegion;
using kovrim_texts::kAddressRegion;
using kovrim_texts::kPortRegion;

// Calls visit for every control shown in layout and in the layouts nested in it, with its region.
void VisitControls(FBLayout& layout,
                   const std::function<void(const std::string&, FBVisualComponent*)>& visit) {
  for (const fbsdk_control::RegionInfo& info : fbsdk_control::Regions(layout)) {
    if (info.mControl == nullptr) continue;
    if (FBLayout* inner = FBCast<FBLayout>(info.mControl)) {
      VisitControls(*inner, visit);
    } else {
      visit(info.mName, info.mControl);
    }
  }
}

// The control shown in the region named region anywhere in the layout's nested layouts.
FBVisualComponent* FindControl(FBLayout& layout, const char* region) {
  FBVisualComponent* found = nullptr;
  VisitControls(layout, [&](const std::string& name, FBVisualComponent* control) {
    if (found == nullptr && name == region) found = control;
  });
  return found;
}

// The button whose caption is caption, as a user finds it on the panel.
FBButton* FindButton(FBLayout& layout, const char* caption) {
  FBButton* found = nullptr;
  VisitControls(layout, [&](const std::string&, FBVisualComponent* control) {
    FBButton* button = FBCast<FBButton>(control);
    if (found == nullptr && button != nullptr &&
        std::string(static_cast<const char*>(button->Caption)) == caption) {
      found = button;
    }
  });
  return found;
}

std::string RegionOf(FBLayout& layout, FBVisualComponent* control) {
  std::string region;
  VisitControls(layout, [&](const std::string& name, FBVisualComponent* shown) {
    if (shown == control) region = name;
  });
  return region;
}

}  // namespace

PanelDriver::PanelDriver(PluginCallHook* hook) : mHook(hook) {}

PanelDriver::~PanelDriver() { Destroy(); }

bool PanelDriver::Create(std::string* message) {
  mDevice = fbsdk_control::CreateDevice(kDeviceEntry, kDeviceName);
  if (mDevice == nullptr) {
    return Fail(message, std::string("the plug-in registers no device \"") + kDeviceEntry +
                             "\" under " + kDeviceGroup + ", or it could not be created");
  }
  mLayout = fbsdk_control::CreateDeviceLayout(mDevice);
  if (mLayout == nullptr) {
    fbsdk_control::DestroyDevice(mDevice);
    mDevice = nullptr;
    return Fail(message, "the plug-in registers no panel for its device");
  }
  fbsdk_control::FireShow(*mLayout, true);
  mAddressEdit = FBCast<FBEdit>(FindControl(*mLayout, kAddressRegion));
  mPortEdit = FBCast<FBEdit>(FindControl(*mLayout, kPortRegion));
  mActorList = FBCast<FBList>(FindControl(*mLayout, kActorListRegion));
  mRequestHeaderButton = FindButton(*mLayout, kRequestHeaderCaption);
  mRebuildButton = FindButton(*mLayout, kRebuildSkeletonCaption);
  mCharacterizeButton = FindButton(*mLayout, kCharacterizeCaption);
  mTPoseBox = FindButton(*mLayout, kTPoseCaption);
  if (mAddressEdit == nullptr || mPortEdit == nullptr || mActorList == nullptr) {
    return Fail(message, "the device's panel lacks its address, port or actor controls");
  }
  return Done(message, std::string("device \"") + kDeviceName + "\" and its panel created");
}

void PanelDriver::Destroy() {
  FBDevice* device = ClosePanel();
  if (device != nullptr) fbsdk_control::DestroyDevice(device);
}

FBDevice* PanelDriver::ClosePanel() {
  if (mLayout != nullptr) fbsdk_control::DestroyDeviceLayout(mLayout);
  mLayout = nullptr;
  mAddressEdit = nullptr;
  mPortEdit = nullptr;
  mActorList = nullptr;
  mRequestHeaderButton = nullptr;
  mRebuildButton = nullptr;
  mCharacterizeButton = nullptr;
  mTPoseBox = nullptr;
  FBDevice* device = mDevice;
  mDevice = nullptr;
  return device;
}

bool PanelDriver::NeedDevice(std::string* message) const {
  if (mDevice != nullptr) return true;
  return Fail(message, "no device yet (create it with device)");
}

bool PanelDriver::TypeAddress(const std::string& text, std::string* message) {
  if (!NeedDevice(message)) return false;
  if (mAddressEdit == nullptr ||
      !CallPlugin(mHook, [&] { return fbsdk_control::TypeText(*mAddressEdit, text.c_str()); })) {
    return Fail(message, "the panel's Address edit cannot be typed into");
  }
  mDriven.insert(kAddressRegion);
  return Done(message, "typed \"" + text + "\" into Address");
}

bool PanelDriver::TypePort(const std::string& text, std::string* message) {
  if (!NeedDevice(message)) return false;
  if (mPortEdit == nullptr ||
      !CallPlugin(mHook, [&] { return fbsdk_control::TypeText(*mPortEdit, text.c_str()); })) {
    return Fail(message, "the panel's Port edit cannot be typed into");
  }
  mDriven.insert(kPortRegion);
  return Done(message, "typed \"" + text + "\" into Port");
}

std::string PanelDriver::AddressText() const {
  return mAddressEdit != nullptr ? static_cast<const char*>(mAddressEdit->Text) : "";
}

std::string PanelDriver::PortText() const {
  return mPortEdit != nullptr ? static_cast<const char*>(mPortEdit->Text) : "";
}

std::vector<ActorItem> PanelDriver::Actors() const {
  std::vector<ActorItem> actors;
  if (mActorList == nullptr) return actors;
  const int count = mActorList->Items.GetCount();
  // The item the list shows: a drop-down list shows one even when none was chosen.
  const int shown = mActorList->ItemIndex;
  for (int i = 0; i < count; ++i) {
    ActorItem item;
    item.mIndex = i;
    item.mTag = static_cast<long long>(mActorList->Items.GetReferenceAt(i));
    const char* name = mActorList->Items.GetAt(i);
    item.mName = name != nullptr ? name : "";
    item.mSelected = i == shown;
    actors.push_back(item);
  }
  return actors;
}

bool PanelDriver::ChooseActor(int index, std::string* message) {
  if (!NeedDevice(message)) return false;
  const int count = mActorList != nullptr ? mActorList->Items.GetCount() : 0;
  if (index < 0 || index >= count) {
    return Fail(message, "the actor list has no item " + std::to_string(index) + " (it has " +
                             std::to_string(count) + ")");
  }
  if (!CallPlugin(mHook, [&] { return fbsdk_control::ChooseItem(*mActorList, index); })) {
    return Fail(message, "the panel's actor list cannot be chosen from");
  }
  mDriven.insert(kActorListRegion);
  const char* name = mActorList->Items.GetAt(index);
  return Done(message, std::string("chose \"") + (name != nullptr ? name : "") + "\"");
}

FBButton* PanelDriver::ButtonFor(PanelButton button) const {
  switch (button) {
    case PanelButton::kRequestHeader:
      return mRequestHeaderButton;
    case PanelButton::kRebuildSkeleton:
      return mRebuildButton;
    case PanelButton::kCharacterize:
      return mCharacterizeButton;
  }
  return nullptr;
}

bool PanelDriver::Click(PanelButton which, std::string* message) {
  if (!NeedDevice(message)) return false;
  FBButton* button = ButtonFor(which);
  const char* caption = which == PanelButton::kRequestHeader     ? kRequestHeaderCaption
                        : which == PanelButton::kRebuildSkeleton ? kRebuildSkeletonCaption
                                                                 : kCharacterizeCaption;
  if (button == nullptr) {
    return Fail(message, std::string("the panel has no \"") + caption + "\" button (host version " +
                             Format(PluginLoader::HostVersion()) + ")");
  }
  if (!CallPlugin(mHook, [&] { return fbsdk_control::Click(*button); })) {
    return Fail(message, std::string("the \"") + caption + "\" button cannot be clicked");
  }
  mDriven.insert(RegionOf(*mLayout, button));
  return Done(message, std::string("clicked \"") + caption + "\"");
}

bool PanelDriver::TPoseChecked() const {
  return mTPoseBox != nullptr && static_cast<int>(mTPoseBox->State) == 1;
}

bool PanelDriver::SetTPose(bool on, bool* clicked, std::string* message) {
  *clicked = false;
  if (!NeedDevice(message)) return false;
  if (mTPoseBox == nullptr) {
    return Fail(message, std::string("the panel has no \"") + kTPoseCaption + "\" check box");
  }
  const std::string state = on ? "ticked" : "not ticked";
  if (TPoseChecked() == on) {
    return Done(message, std::string("\"") + kTPoseCaption + "\" is " + state + " already");
  }
  if (!CallPlugin(mHook, [&] { return fbsdk_control::Click(*mTPoseBox); })) {
    return Fail(message, std::string("the \"") + kTPoseCaption + "\" check box cannot be clicked");
  }
  *clicked = true;
  mDriven.insert(RegionOf(*mLayout, mTPoseBox));
  if (TPoseChecked() != on) {
    return Fail(message, std::string("clicked \"") + kTPoseCaption + "\" but it is still " +
                             (on ? "not ticked" : "ticked"));
  }
  return Done(message, std::string("clicked \"") + kTPoseCaption + "\": " + state);
}

std::vector<PanelControl> PanelDriver::PanelControls() const {
  std::vector<PanelControl> controls;
  if (mLayout == nullptr) return controls;
  VisitControls(*mLayout, [&](const std::string& region, FBVisualComponent* control) {
    PanelControl item;
    item.mRegion = region;
    if (FBButton* button = FBCast<FBButton>(control)) {
      item.mCaption = static_cast<const char*>(button->Caption);
      item.mKind =
          static_cast<FBButtonStyle>(button->Style) == kFBCheckbox ? "check box" : "button";
    } else if (FBCast<FBEdit>(control) != nullptr) {
      item.mKind = "edit";
    } else if (FBCast<FBList>(control) != nullptr) {
      item.mKind = "list";
    } else {
      return;  // labels: nothing to act on
    }
    controls.push_back(item);
  });
  return controls;
}

void PanelDriver::FireIdle() {
  if (mLayout != nullptr) {
    CallPlugin(mHook, [&] { return fbsdk_control::FireIdle(*mLayout), true; });
  }
}

}  // namespace kmq

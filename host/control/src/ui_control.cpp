#include <fbsdk_control/ui_control.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "ui_state.h"

namespace fbsdk_control {

using namespace FBSDKNamespace;
using fbsdk_internal::UiAccess;
using fbsdk_internal::UiRect;

namespace {

constexpr const char* kPageGroup = "UI_Associated_ClassName";

bool UserCanReach(FBVisualComponent& pControl) { return pControl.Visible && pControl.Enabled; }

// The layouts shown in a layout's regions, outermost first, the layout itself included.
void CollectLayouts(FBLayout& pLayout, std::vector<FBLayout*>* pLayouts) {
  pLayouts->push_back(&pLayout);
  for (const RegionData& region : pLayout.mLocalPtr->mRegions) {
    if (FBIS(region.mControl, FBLayout)) {
      CollectLayouts(*static_cast<FBLayout*>(region.mControl), pLayouts);
    }
  }
}

std::vector<bool> Selection(FBList& pList) {
  std::vector<bool> selection;
  for (const auto& item : UiAccess::Items(pList.Items).mItems) selection.push_back(item.mSelected);
  return selection;
}

}  // namespace

FBDeviceLayout* CreateDeviceLayout(FBDevice* device) {
  if (!device || !device->UniqueName) return nullptr;
  const std::string name = device->UniqueName;
  const int groups = FBObject_GetGroupCount();
  for (int group = 0; group < groups; ++group) {
    const char* groupName = FBObject_GetGroupName(group);
    if (!groupName || std::strcmp(groupName, kPageGroup) != 0) continue;
    const int entries = FBObject_GetEntryCount(group);
    for (int entry = 0; entry < entries; ++entry) {
      const char* entryName = FBObject_GetEntryName(group, entry);
      if (!entryName || name != entryName) continue;
      FBComponent* page = FBCreateObject(kPageGroup, entryName, entryName,
                                         static_cast<void*>(device->GetHIObject()));
      if (FBIS(page, FBDeviceLayout)) return static_cast<FBDeviceLayout*>(page);
      if (page) {
        // Not a page: the host would not show it; do not leak it either.
        page->FBDestroy();
        page->FBDelete();
      }
      return nullptr;
    }
  }
  return nullptr;
}

void DestroyDeviceLayout(FBDeviceLayout* layout) {
  if (!layout) return;
  layout->SetObjectStatus(kFBStatusDestroying, true);
  layout->FBDestroy();
  layout->FBDelete();
}

bool TypeText(FBEdit& edit, const char* text) {
  if (!UserCanReach(edit) || edit.ReadOnly) return false;
  edit.mLocalPtr->mText = text ? text : "";
  KEventBase change;
  UiAccess::Fire(edit.OnChange, &edit, &change);
  KEventBase transaction;
  UiAccess::Fire(edit.OnTransaction, &edit, &transaction);
  return true;
}

bool Click(FBButton& button) {
  if (!UserCanReach(button)) return false;
  const FBButtonStyle style = button.Style;
  if (style == kFB2States || style == kFBBitmap2States) {
    button.State = static_cast<int>(button.State) == 0 ? 1 : 0;
  } else if (style == kFBRadioButton) {
    button.State = 1;
  }
  KEventBase click;
  UiAccess::Fire(button.OnClick, &button, &click);
  return true;
}

bool ChooseItem(FBList& list, int index) {
  if (!UserCanReach(list) || index < 0 || index >= list.Items.GetCount()) return false;
  const std::vector<bool> before = Selection(list);
  list.ItemIndex = index;
  if (Selection(list) != before) {
    KEventBase change;
    UiAccess::Fire(list.OnChange, &list, &change);
  }
  return true;
}

void FireIdle(FBLayout& layout) {
  std::vector<FBLayout*> layouts;
  CollectLayouts(layout, &layouts);
  for (FBLayout* each : layouts) {
    KEventBase idle;
    UiAccess::Fire(each->OnIdle, each, &idle);
  }
}

void FireShow(FBLayout& layout, bool shown) {
  std::vector<FBLayout*> layouts;
  CollectLayouts(layout, &layouts);
  for (FBLayout* each : layouts) {
    KEventBase show;
    show.mShown = shown;
    UiAccess::Fire(each->OnShow, each, &show);
  }
}

void FireUIIdle() {
  KEventBase idle;
  UiAccess::Fire(UiAccess::ApplicationIdle(), &FBSystem::TheOne(), &idle);
}

int UIIdleHandlerCount() { return UiAccess::HandlerCount(UiAccess::ApplicationIdle()); }

void FireEvent(FBPropertyEvent& event, FBComponent* sender) {
  KEventBase payload;
  UiAccess::Fire(event, sender, &payload);
}

int HandlerCount(FBPropertyEvent& event) { return UiAccess::HandlerCount(event); }

void SetEditCodeChangeFiresEvent(bool fires) { fbsdk_internal::Ui().mEditCodeChangeFires = fires; }

std::vector<RegionInfo> Regions(FBLayout& layout) {
  std::vector<RegionInfo> infos;
  const UiRect frame = fbsdk_internal::LayoutFrame(layout);
  auto& regions = layout.mLocalPtr->mRegions;
  for (size_t i = 0; i < regions.size(); ++i) {
    const RegionData& region = regions[i];
    RegionInfo info;
    info.mName = region.mName;
    info.mTitle = region.mTitle;
    info.mX = region.mX.mValue;
    info.mY = region.mY.mValue;
    info.mW = region.mW.mValue;
    info.mH = region.mH.mValue;
    info.mXType = static_cast<FBAttachType>(region.mX.mType);
    info.mYType = static_cast<FBAttachType>(region.mY.mType);
    info.mWType = static_cast<FBAttachType>(region.mW.mType);
    info.mHType = static_cast<FBAttachType>(region.mH.mType);
    info.mXRelative = region.mX.mRelative;
    info.mYRelative = region.mY.mRelative;
    info.mWRelative = region.mW.mRelative;
    info.mHRelative = region.mH.mRelative;
    info.mMultX = region.mX.mMult;
    info.mMultY = region.mY.mMult;
    info.mMultW = region.mW.mMult;
    info.mMultH = region.mH.mMult;
    info.mControl = region.mControl;
    info.mHasBorder = region.mHasBorder;
    info.mBorderStyle = region.mBorderStyle;
    info.mBorderShowTitle = region.mBorderShowTitle;
    info.mBorderInSet = region.mBorderInSet;
    info.mBorderWidth = region.mBorderWidth;
    info.mBorderSpacing = region.mBorderSpacing;
    info.mBorderMaxAngle = region.mBorderMaxAngle;
    info.mBorderCornerRadius = region.mBorderCornerRadius;
    info.mSplitStyle = region.mSplitStyle;
    const UiRect rect = fbsdk_internal::RegionRect(layout, i);
    info.mComputedX = rect.mX - frame.mX;
    info.mComputedY = rect.mY - frame.mY;
    info.mComputedW = rect.mW;
    info.mComputedH = rect.mH;
    info.mRootX = rect.mX;
    info.mRootY = rect.mY;
    infos.push_back(std::move(info));
  }
  return infos;
}

FBVisualComponent* ControlIn(FBLayout& layout, const char* region) {
  return layout.GetControl(region);
}

FBLayout* HolderOf(FBVisualComponent& component) { return component.mLocalPtr->mHolder; }

void SetLayoutSize(FBLayout& layout, int width, int height) {
  layout.mLocalPtr->mRootWidth = width > 0 ? width : 0;
  layout.mLocalPtr->mRootHeight = height > 0 ? height : 0;
}

void SetSystemVersion(double version) { fbsdk_internal::Ui().mVersion.store(version); }

std::vector<FBCharacter*> SceneCharacters() { return UiAccess::SceneCharacters(); }

void SetCharacterizeRequiredSlots(std::vector<std::string> slots) {
  fbsdk_internal::UiState& ui = fbsdk_internal::Ui();
  kovrim::MutexLock lock(&ui.mMutex);
  ui.mRequiredSlots = std::move(slots);
}

std::vector<std::string> CharacterSlots() { return fbsdk_internal::CharacterSlotNames(); }

void SetStringListAddHook(std::function<void(const char* text, kReference reference)> hook) {
  fbsdk_internal::UiState& ui = fbsdk_internal::Ui();
  kovrim::MutexLock lock(&ui.mMutex);
  ui.mStringListAddHook = std::move(hook);
}

void ResetUi() { fbsdk_internal::ResetUiState(); }

}  // namespace fbsdk_control

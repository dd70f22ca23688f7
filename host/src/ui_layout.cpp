// Layouts: regions, the controls shown in them, borders, and the rectangles worked out from the
// attachments; and the device page built on a layout.
#include <fbcontrols/fbcontrols.h>
#include <fbcontrols/fbdevicelayout.h>

#include <string>
#include <unordered_map>

#include "ui_state.h"

namespace FBSDKNamespace {
namespace {

DataFBVisualComponent& Visual(FBVisualComponent& pComponent) { return *pComponent.mLocalPtr; }

fbsdk_internal::UiAttach MakeAttach(int pValue, FBAttachType pType, const char* pRelative,
                                    float pMult) {
  fbsdk_internal::UiAttach attach;
  attach.mValue = pValue;
  attach.mType = static_cast<int>(pType);
  attach.mRelative = pRelative ? pRelative : "";
  attach.mMult = pMult;
  return attach;
}

// Forgets where a component was shown (its region no longer refers to it either).
void Unplace(FBVisualComponent* pComponent) {
  if (!pComponent) return;
  DataFBVisualComponent& visual = Visual(*pComponent);
  if (visual.mHolder) {
    RegionData* region = fbsdk_internal::FindRegion(*visual.mHolder, visual.mRegion.c_str());
    if (region && region->mControl == pComponent) region->mControl = nullptr;
  }
  visual.mHolder = nullptr;
  visual.mRegion.clear();
}

}  // namespace

int FBLayout::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBDeviceLayout::TypeInfo = FBPlug::mGlobalTypeInfo++;

FBLayout::FBLayout(HIObject pObject) : FBVisualComponent(pObject), mLocalPtr(new DataFBLayout) {
  OnInput.SetName("OnInput");
  OnPaint.SetName("OnPaint");
  OnIdle.SetName("OnIdle");
  OnShow.SetName("OnShow");
  OnResize.SetName("OnResize");
  for (FBProperty* property :
       std::initializer_list<FBProperty*>{&OnInput, &OnPaint, &OnIdle, &OnShow, &OnResize}) {
    PropertyList.Add(property);
  }
}

FBLayout::~FBLayout() {
  // The controls outlive their regions here: they must not come back to a dead layout.
  for (RegionData& region : mLocalPtr->mRegions) {
    if (region.mControl) {
      Visual(*region.mControl).mHolder = nullptr;
      Visual(*region.mControl).mRegion.clear();
      region.mControl = nullptr;
    }
  }
  delete mLocalPtr;
}

bool FBLayout::AddRegion(const char* pName, const char* pTitle, int pX, FBAttachType pXType,
                         const char* pXRelative, float pMultX, int pY, FBAttachType pYType,
                         const char* pYRelative, float pMultY, int pW, FBAttachType pWType,
                         const char* pWRelative, float pMultW, int pH, FBAttachType pHType,
                         const char* pHRelative, float pMultH) {
  if (!pName || !*pName || GetRegion(pName)) return false;
  RegionData region;
  region.mName = pName;
  region.mTitle = pTitle ? pTitle : "";
  region.mX = MakeAttach(pX, pXType, pXRelative, pMultX);
  region.mY = MakeAttach(pY, pYType, pYRelative, pMultY);
  region.mW = MakeAttach(pW, pWType, pWRelative, pMultW);
  region.mH = MakeAttach(pH, pHType, pHRelative, pMultH);
  mLocalPtr->mRegions.push_back(region);
  return true;
}

bool FBLayout::MoveRegion(const char* pName, int pX, int pY) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pName);
  if (!region) return false;
  region->mX.mValue = pX;
  region->mY.mValue = pY;
  return true;
}

bool FBLayout::SizeRegion(const char* pName, int pW, int pH) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pName);
  if (!region) return false;
  region->mW.mValue = pW;
  region->mH.mValue = pH;
  return true;
}

bool FBLayout::RemoveRegion(const char* pName) {
  auto& regions = mLocalPtr->mRegions;
  for (auto it = regions.begin(); it != regions.end(); ++it) {
    if (it->mName == (pName ? pName : "")) {
      Unplace(it->mControl);
      regions.erase(it);
      return true;
    }
  }
  return false;
}

bool FBLayout::RenameRegion(const char* pOldName, const char* pNewName) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pOldName);
  if (!region || !pNewName || !*pNewName || GetRegion(pNewName)) return false;
  region->mName = pNewName;
  if (region->mControl) Visual(*region->mControl).mRegion = pNewName;
  return true;
}

bool FBLayout::GetRegion(const char* pName) {
  return fbsdk_internal::FindRegion(*this, pName) != nullptr;
}

bool FBLayout::GetRegionPositions(const char* pName, bool pComputed, int* pX, int* pY, int* pW,
                                  int* pH) {
  RegionData* found = fbsdk_internal::FindRegion(*this, pName);
  if (!found) return false;
  int x = found->mX.mValue;
  int y = found->mY.mValue;
  int w = found->mW.mValue;
  int h = found->mH.mValue;
  if (pComputed) {
    const size_t index = static_cast<size_t>(found - mLocalPtr->mRegions.data());
    const fbsdk_internal::UiRect rect = fbsdk_internal::RegionRect(*this, index);
    const fbsdk_internal::UiRect frame = fbsdk_internal::LayoutFrame(*this);
    x = rect.mX - frame.mX;
    y = rect.mY - frame.mY;
    w = rect.mW;
    h = rect.mH;
  }
  if (pX) *pX = x;
  if (pY) *pY = y;
  if (pW) *pW = w;
  if (pH) *pH = h;
  return true;
}

bool FBLayout::SetControl(const char* pName, FBVisualComponent* pComponent) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pName);
  if (!region || !pComponent) return false;
  // A layout may not be shown inside itself, directly or further in.
  for (FBLayout* layout = this; layout; layout = Visual(*layout).mHolder) {
    if (layout == pComponent) return false;
  }
  if (region->mControl == pComponent) return true;
  Unplace(region->mControl);
  Unplace(pComponent);
  // Unplace may have touched this layout's regions, but never added or removed one.
  region = fbsdk_internal::FindRegion(*this, pName);
  if (!region) return false;
  region->mControl = pComponent;
  Visual(*pComponent).mHolder = this;
  Visual(*pComponent).mRegion = region->mName;
  return true;
}

bool FBLayout::SetControl(const char* pName, FBVisualComponent& pComponent) {
  return SetControl(pName, &pComponent);
}

void FBLayout::ClearControl(const char* pName) {
  if (RegionData* region = fbsdk_internal::FindRegion(*this, pName)) Unplace(region->mControl);
}

FBVisualComponent* FBLayout::GetControl(const char* pName) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pName);
  return region ? region->mControl : nullptr;
}

bool FBLayout::SetView(const char* pName, FBVisualComponent* pComponent) {
  return SetControl(pName, pComponent);
}

bool FBLayout::SetView(const char* pName, FBVisualComponent& pComponent) {
  return SetControl(pName, &pComponent);
}

bool FBLayout::SetBorder(const char* pName, FBBorderStyle pType, bool pShowTitle, bool pInSet,
                         int pWidth, int pSpacing, float pMaxAngle, int pCornerRadius) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pName);
  if (!region) return false;
  region->mHasBorder = pType != kFBNoBorder;
  region->mBorderStyle = pType;
  region->mBorderShowTitle = pShowTitle;
  region->mBorderInSet = pInSet;
  region->mBorderWidth = pWidth;
  region->mBorderSpacing = pSpacing;
  region->mBorderMaxAngle = pMaxAngle;
  region->mBorderCornerRadius = pCornerRadius;
  return true;
}

bool FBLayout::SetSplitStyle(const char* pName, FBSplitStyle pSplitStyle) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pName);
  if (!region) return false;
  region->mSplitStyle = pSplitStyle;
  return true;
}

bool FBLayout::SetRegionTitle(const char* pName, const char* pTitle) {
  RegionData* region = fbsdk_internal::FindRegion(*this, pName);
  if (!region) return false;
  region->mTitle = pTitle ? pTitle : "";
  return true;
}

void FBLayout::SetAutoRestructure(bool pAutoRestructure) {
  mLocalPtr->mAutoRestructure = pAutoRestructure;
}

void FBLayout::Restructure(bool) {}

// ---- FBDeviceLayout ----

namespace {

FBDevice* DeviceGet(void* pLayout) {
  return static_cast<FBDeviceLayout*>(pLayout)->mLocalPtr->mDevice;
}

}  // namespace

FBDeviceLayout::FBDeviceLayout(FBDevice* pDevice)
    : FBLayout(NULL), mLocalPtr(new DataFBDeviceLayout) {
  mLocalPtr->mDevice = pDevice;
  Device.Init(this, "Device", &DeviceGet);
  PropertyList.Add(&Device);
}

FBDeviceLayout::~FBDeviceLayout() { delete mLocalPtr; }

}  // namespace FBSDKNamespace

namespace fbsdk_internal {

using FBSDKNamespace::RegionData;

namespace {

// Rectangles worked out during one outermost query: each region is resolved once per query
// however many others attach to it.
thread_local int tResolveDepth = 0;
thread_local std::unordered_map<const RegionData*, UiRect>* tResolved = nullptr;

class ResolveScope {
 public:
  ResolveScope() {
    if (tResolveDepth++ == 0) {
      static thread_local std::unordered_map<const RegionData*, UiRect> resolved;
      resolved.clear();
      tResolved = &resolved;
    }
  }
  ~ResolveScope() { --tResolveDepth; }
  ResolveScope(const ResolveScope&) = delete;
  ResolveScope& operator=(const ResolveScope&) = delete;
};

FBLayout* Holder(FBLayout& pLayout) {
  return static_cast<FBVisualComponent&>(pLayout).mLocalPtr->mHolder;
}

// The rectangle of the region pName of pLayout or, failing that, of a layout holding it.
bool NamedRect(FBLayout& pLayout, const std::string& pName, UiRect* pRect) {
  if (pName.empty()) return false;
  auto& regions = pLayout.mLocalPtr->mRegions;
  for (size_t i = 0; i < regions.size(); ++i) {
    if (regions[i].mName == pName) {
      *pRect = RegionRect(pLayout, i);
      return true;
    }
  }
  FBLayout* holder = Holder(pLayout);
  return holder ? NamedRect(*holder, pName, pRect) : false;
}

UiRect Relative(FBLayout& pLayout, const std::string& pName, const UiRect& pFrame) {
  UiRect rect;
  return NamedRect(pLayout, pName, &rect) ? rect : pFrame;
}

}  // namespace

RegionData* FindRegion(FBLayout& pLayout, const char* pName) {
  if (!pName) return nullptr;
  for (RegionData& region : pLayout.mLocalPtr->mRegions) {
    if (region.mName == pName) return &region;
  }
  return nullptr;
}

UiRect LayoutFrame(FBLayout& pLayout) {
  ResolveScope scope;
  FBSDKNamespace::DataFBVisualComponent& visual =
      *static_cast<FBVisualComponent&>(pLayout).mLocalPtr;
  if (visual.mHolder) {
    auto& regions = visual.mHolder->mLocalPtr->mRegions;
    for (size_t i = 0; i < regions.size(); ++i) {
      if (regions[i].mName == visual.mRegion) return RegionRect(*visual.mHolder, i);
    }
  }
  UiRect frame;
  frame.mW = pLayout.mLocalPtr->mRootWidth;
  frame.mH = pLayout.mLocalPtr->mRootHeight;
  return frame;
}

UiRect RegionRect(FBLayout& pLayout, size_t pIndex) {
  ResolveScope scope;
  RegionData& region = pLayout.mLocalPtr->mRegions[pIndex];
  auto known = tResolved->find(&region);
  if (known != tResolved->end()) return known->second;
  const UiRect frame = LayoutFrame(pLayout);
  if (region.mResolving) {
    // Attached to itself through other regions: give the cycle an empty rectangle.
    UiRect empty;
    empty.mX = frame.mX;
    empty.mY = frame.mY;
    return empty;
  }
  region.mResolving = true;
  UiRect rect;
  rect.mX = ResolvePosition(region.mX, Relative(pLayout, region.mX.mRelative, frame), frame, true);
  rect.mY = ResolvePosition(region.mY, Relative(pLayout, region.mY.mRelative, frame), frame, false);
  rect.mW =
      ResolveSize(region.mW, Relative(pLayout, region.mW.mRelative, frame), frame, rect.mX, true);
  rect.mH =
      ResolveSize(region.mH, Relative(pLayout, region.mH.mRelative, frame), frame, rect.mY, false);
  region.mResolving = false;
  (*tResolved)[&region] = rect;
  return rect;
}

}  // namespace fbsdk_internal

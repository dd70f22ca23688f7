// Visual components and controls: buttons, labels, edits, lists and event payload wrappers.
#include <fbcontrols/fbcontrols.h>

#include <string>

#include "ui_state.h"

namespace FBSDKNamespace {

using fbsdk_internal::UiAccess;
using fbsdk_internal::UiRect;

int FBVisualComponent::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBButton::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBLabel::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBEdit::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBList::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBEvent::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBEventShow::TypeInfo = FBPlug::mGlobalTypeInfo++;

namespace {

DataFBVisualComponent& Visual(FBVisualComponent& pComponent) { return *pComponent.mLocalPtr; }

// Where a component is drawn, in the coordinates of the layout holding it.
UiRect PlacedRect(void* pComponent) {
  FBVisualComponent& component = *static_cast<FBVisualComponent*>(pComponent);
  DataFBVisualComponent& visual = Visual(component);
  if (!visual.mHolder) {
    if (component.Is(FBLayout::TypeInfo)) {
      UiRect frame = fbsdk_internal::LayoutFrame(static_cast<FBLayout&>(component));
      frame.mX = 0;
      frame.mY = 0;
      return frame;
    }
    return UiRect();
  }
  FBLayout& holder = *visual.mHolder;
  const UiRect frame = fbsdk_internal::LayoutFrame(holder);
  for (size_t i = 0; i < holder.mLocalPtr->mRegions.size(); ++i) {
    if (holder.mLocalPtr->mRegions[i].mName == visual.mRegion) {
      UiRect rect = fbsdk_internal::RegionRect(holder, i);
      rect.mX -= frame.mX;
      rect.mY -= frame.mY;
      return rect;
    }
  }
  return UiRect();
}

int LeftGet(void* pComponent) { return PlacedRect(pComponent).mX; }
int TopGet(void* pComponent) { return PlacedRect(pComponent).mY; }
int WidthGet(void* pComponent) { return PlacedRect(pComponent).mW; }
int HeightGet(void* pComponent) { return PlacedRect(pComponent).mH; }

const char* EditTextGet(void* pEdit) {
  return static_cast<FBEdit*>(pEdit)->mLocalPtr->mText.c_str();
}

// Code assigning the text: a change fires OnChange, as the host may do, unless tests turned that
// off; assigning the same text fires nothing, so a show handler that refreshes the text does not
// loop through its own change handler.
void EditTextSet(void* pEdit, const char* pText) {
  FBEdit& edit = *static_cast<FBEdit*>(pEdit);
  const std::string text = pText ? pText : "";
  if (text == edit.mLocalPtr->mText) return;
  edit.mLocalPtr->mText = text;
  if (fbsdk_internal::Ui().mEditCodeChangeFires.load()) {
    KEventBase payload;
    UiAccess::Fire(edit.OnChange, &edit, &payload);
  }
}

std::vector<DataFBPropertyStringList::Item>& ListItems(void* pList) {
  return UiAccess::Items(static_cast<FBList*>(pList)->Items).mItems;
}

// A drop-down list always shows an item: with nothing selected, its current item is the first.
int ItemIndexGet(void* pList) {
  const auto& items = ListItems(pList);
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].mSelected) return static_cast<int>(i);
  }
  FBList& list = *static_cast<FBList*>(pList);
  if (!items.empty() && static_cast<FBListStyle>(list.Style) == kFBDropDownList) return 0;
  return -1;
}

void ItemIndexSet(void* pList, int pIndex) {
  auto& items = ListItems(pList);
  for (auto& item : items) item.mSelected = false;
  if (pIndex >= 0 && pIndex < static_cast<int>(items.size())) items[pIndex].mSelected = true;
}

int EventTypeGet(void* pEvent) {
  KEventBase* event = static_cast<FBEvent*>(pEvent)->mLocalPtr->mEvent;
  return event ? event->mType : 0;
}

bool EventShownGet(void* pEvent) {
  FBEvent* event = static_cast<FBEventShow*>(pEvent);
  return event->mLocalPtr->mEvent ? event->mLocalPtr->mEvent->mShown : false;
}

}  // namespace

// ---- FBVisualComponent ----

FBVisualComponent::FBVisualComponent(HIObject pObject)
    : FBComponent(pObject), mLocalPtr(new DataFBVisualComponent) {
  Caption.Init(this, "Caption");
  Visible.Init(this, "Visible");
  ReadOnly.Init(this, "ReadOnly");
  Enabled.Init(this, "Enabled");
  Hint.Init(this, "Hint");
  Left.Init(this, "Left", &LeftGet);
  Top.Init(this, "Top", &TopGet);
  Width.Init(this, "Width", &WidthGet);
  Height.Init(this, "Height", &HeightGet);
  OnEnter.SetName("OnEnter");
  OnExit.SetName("OnExit");
  Visible = true;
  Enabled = true;
  for (FBProperty* property :
       std::initializer_list<FBProperty*>{&Caption, &Visible, &ReadOnly, &Enabled, &Hint, &Left,
                                          &Top, &Width, &Height, &OnEnter, &OnExit}) {
    PropertyList.Add(property);
  }
}

FBVisualComponent::~FBVisualComponent() {
  // Leave the region showing this component, so the layout never draws a dead control.
  if (FBLayout* holder = mLocalPtr->mHolder) {
    if (RegionData* region = fbsdk_internal::FindRegion(*holder, mLocalPtr->mRegion.c_str())) {
      if (region->mControl == this) region->mControl = nullptr;
    }
  }
  delete mLocalPtr;
}

bool FBVisualComponent::AddChild(FBVisualComponent* pChild, int) {
  if (!pChild || pChild == this) return false;
  mLocalPtr->mChildren.push_back(pChild);
  return true;
}

void FBVisualComponent::Refresh(bool) {}

// ---- FBButton ----

FBButton::FBButton(HIObject pObject) : FBVisualComponent(pObject), mLocalPtr(nullptr) {
  State.Init(this, "State");
  Style.Init(this, "Style");
  Justify.Init(this, "Justify");
  OnClick.SetName("OnClick");
  OnDragAndDrop.SetName("OnDragAndDrop");
  Style = kFBPushButton;
  Justify = kFBTextJustifyCenter;
  PropertyList.Add(&State);
  PropertyList.Add(&Style);
  PropertyList.Add(&Justify);
  PropertyList.Add(&OnClick);
  PropertyList.Add(&OnDragAndDrop);
}

FBButton::~FBButton() {}

// ---- FBLabel ----

FBLabel::FBLabel(HIObject pObject) : FBVisualComponent(pObject), mLocalPtr(nullptr) {
  Justify.Init(this, "Justify");
  WordWrap.Init(this, "WordWrap");
  Justify = kFBTextJustifyLeft;
  PropertyList.Add(&Justify);
  PropertyList.Add(&WordWrap);
}

FBLabel::~FBLabel() {}

// ---- FBEdit ----

FBEdit::FBEdit(HIObject pObject) : FBVisualComponent(pObject), mLocalPtr(new DataFBEdit) {
  Text.Init(this, "Text", &EditTextGet, &EditTextSet);
  PasswordMode.Init(this, "PasswordMode");
  OnChange.SetName("OnChange");
  OnTransaction.SetName("OnTransaction");
  PropertyList.Add(&Text);
  PropertyList.Add(&PasswordMode);
  PropertyList.Add(&OnChange);
  PropertyList.Add(&OnTransaction);
}

FBEdit::~FBEdit() { delete mLocalPtr; }

// ---- FBList ----

FBList::FBList(HIObject pObject) : FBVisualComponent(pObject), mLocalPtr(nullptr) {
  Items.SetName("Items");
  ItemIndex.Init(this, "ItemIndex", &ItemIndexGet, &ItemIndexSet);
  MultiSelect.Init(this, "MultiSelect");
  ExtendedSelect.Init(this, "ExtendedSelect");
  Style.Init(this, "Style");
  OnChange.SetName("OnChange");
  OnDragAndDrop.SetName("OnDragAndDrop");
  Style = kFBDropDownList;
  for (FBProperty* property : std::initializer_list<FBProperty*>{
           &Items, &ItemIndex, &MultiSelect, &ExtendedSelect, &Style, &OnChange, &OnDragAndDrop}) {
    PropertyList.Add(property);
  }
}

FBList::~FBList() {}

bool FBList::IsSelected(int pIndex) {
  const auto& items = ListItems(this);
  if (pIndex < 0 || pIndex >= static_cast<int>(items.size())) return false;
  return items[pIndex].mSelected;
}

void FBList::Selected(int pIndex, bool pSelected) {
  auto& items = ListItems(this);
  if (pIndex < 0 || pIndex >= static_cast<int>(items.size())) return;
  if (pSelected && !MultiSelect) {
    for (auto& item : items) item.mSelected = false;
  }
  items[pIndex].mSelected = pSelected;
}

// ---- Event payloads ----

FBEvent::FBEvent(HKEventBase pEvent) : FBComponent(NULL), mLocalPtr(new DataFBEvent) {
  mLocalPtr->mEvent = pEvent;
  Type.Init(this, "Type", &EventTypeGet);
}

FBEvent::~FBEvent() { delete mLocalPtr; }

FBEventShow::FBEventShow(HKEventBase pEvent) : FBEvent(pEvent), mLocalPtr(nullptr) {
  Shown.Init(this, "Shown", &EventShownGet);
}

FBEventShow::~FBEventShow() {}

}  // namespace FBSDKNamespace

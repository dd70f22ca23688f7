// Event and string-list properties, and the firing of events.
#include <fbsdk/fbpropertyevent.h>
#include <fbsdk/fbpropertystringlist.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <utility>

#include "ui_state.h"

namespace FBSDKNamespace {

// ---- FBPropertyEvent ----

FBPropertyEvent::FBPropertyEvent() : mLocalPtr(new DataFBPropertyEvent) {}

FBPropertyEvent::~FBPropertyEvent() {
  // A firing under way may hold the handlers; none of them may run once the event is gone.
  for (const auto& handler : mLocalPtr->mHandlers) handler->mActive = false;
  delete mLocalPtr;
}

void FBPropertyEvent::Add(HICallback pOwner, kICallbackHandler pHandler) {
  if (!pOwner || !pHandler) return;
  for (const auto& handler : mLocalPtr->mHandlers) {
    if (handler->mOwner == pOwner && handler->mHandler == pHandler) return;
  }
  mLocalPtr->mHandlers.push_back(std::make_shared<DataFBPropertyEvent::Handler>(
      DataFBPropertyEvent::Handler{pOwner, pHandler, true}));
}

void FBPropertyEvent::Remove(HICallback pOwner, kICallbackHandler pHandler) {
  auto& handlers = mLocalPtr->mHandlers;
  for (auto it = handlers.begin(); it != handlers.end(); ++it) {
    if ((*it)->mOwner == pOwner && (*it)->mHandler == pHandler) {
      (*it)->mActive = false;
      handlers.erase(it);
      return;
    }
  }
}

FBPropertyType FBPropertyEvent::GetPropertyType() { return kFBPT_event; }

// ---- FBPropertyStringList ----

namespace {

const char* Text(const char* pText) { return pText ? pText : ""; }

}  // namespace

FBPropertyStringList::FBPropertyStringList() : mLocalPtr(new DataFBPropertyStringList) {}

FBPropertyStringList::~FBPropertyStringList() { delete mLocalPtr; }

kReference FBPropertyStringList::GetReferenceAt(int pIndex) {
  if (pIndex < 0 || pIndex >= GetCount()) return 0;
  return mLocalPtr->mItems[pIndex].mRef;
}

void FBPropertyStringList::SetReferenceAt(int pIndex, kReference pRef) {
  if (pIndex < 0 || pIndex >= GetCount()) return;
  mLocalPtr->mItems[pIndex].mRef = pRef;
}

int FBPropertyStringList::Find(kReference pRef) {
  for (int i = 0; i < GetCount(); ++i) {
    if (mLocalPtr->mItems[i].mRef == pRef) return i;
  }
  return -1;
}

int FBPropertyStringList::Find(const char* S) {
  const char* text = Text(S);
  for (int i = 0; i < GetCount(); ++i) {
    if (mLocalPtr->mItems[i].mText == text) return i;
  }
  return -1;
}

const char* FBPropertyStringList::GetAt(int pIndex) {
  if (pIndex < 0 || pIndex >= GetCount()) return NULL;
  return mLocalPtr->mItems[pIndex].mText.c_str();
}

const char* FBPropertyStringList::operator[](int pIndex) { return GetAt(pIndex); }

void FBPropertyStringList::Sort() {
  std::stable_sort(mLocalPtr->mItems.begin(), mLocalPtr->mItems.end(),
                   [](const DataFBPropertyStringList::Item& a,
                      const DataFBPropertyStringList::Item& b) { return a.mText < b.mText; });
}

int FBPropertyStringList::GetCount() { return static_cast<int>(mLocalPtr->mItems.size()); }

int FBPropertyStringList::Remove(const char* S) {
  const int index = Find(S);
  if (index >= 0) RemoveAt(index);
  return index;
}

int FBPropertyStringList::Add(const char* S, kReference pRef) {
  std::function<void(const char*, kReference)> hook;
  {
    fbsdk_internal::UiState& ui = fbsdk_internal::Ui();
    kovrim::MutexLock lock(&ui.mMutex);
    hook = ui.mStringListAddHook;
  }
  if (hook) hook(S, pRef);
  DataFBPropertyStringList::Item item;
  item.mText = Text(S);
  item.mRef = pRef;
  mLocalPtr->mItems.push_back(std::move(item));
  return GetCount() - 1;
}

void FBPropertyStringList::Clear() { mLocalPtr->mItems.clear(); }

void FBPropertyStringList::RemoveAt(int pIndex) {
  if (pIndex < 0 || pIndex >= GetCount()) return;
  mLocalPtr->mItems.erase(mLocalPtr->mItems.begin() + pIndex);
}

int FBPropertyStringList::IndexOf(const char* S) { return Find(S); }

void FBPropertyStringList::InsertAt(int pIndex, const char* S, kReference pRef) {
  DataFBPropertyStringList::Item item;
  item.mText = Text(S);
  item.mRef = pRef;
  if (pIndex < 0 || pIndex > GetCount()) pIndex = GetCount();
  mLocalPtr->mItems.insert(mLocalPtr->mItems.begin() + pIndex, std::move(item));
}

bool FBPropertyStringList::SetAt(int pIndex, const char* S) {
  if (pIndex < 0 || pIndex >= GetCount()) return false;
  mLocalPtr->mItems[pIndex].mText = Text(S);
  return true;
}

bool FBPropertyStringList::IsList() { return true; }

FBPropertyType FBPropertyStringList::GetPropertyType() { return kFBPT_stringlist; }

}  // namespace FBSDKNamespace

namespace fbsdk_internal {

void UiAccess::Fire(FBPropertyEvent& pEvent, FBComponent* pSender, KEventBase* pPayload) {
  // A snapshot: handlers added during the firing wait for the next one, removed ones are skipped
  // through their flag, and the event itself may die under a handler.
  const std::vector<std::shared_ptr<FBSDKNamespace::DataFBPropertyEvent::Handler>> handlers =
      pEvent.mLocalPtr->mHandlers;
  KEventBase fallback;
  KEventBase* payload = pPayload ? pPayload : &fallback;
  FBSDKNamespace::HISender sender =
      pSender ? reinterpret_cast<FBSDKNamespace::HISender>(pSender->GetHIObject()) : NULL;
  for (const auto& handler : handlers) {
    if (!handler->mActive) continue;
    (handler->mOwner->*(handler->mHandler))(sender, payload);
  }
}

int UiAccess::HandlerCount(FBPropertyEvent& pEvent) {
  return static_cast<int>(pEvent.mLocalPtr->mHandlers.size());
}

}  // namespace fbsdk_internal

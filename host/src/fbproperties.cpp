// Properties: the property lock, strings, lists, the property table and animatable channels.
#include <fbsdk/fbproperties.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbdata.h>

#include "scene_state.h"

namespace fbsdk_internal {

kovrim::Mutex& PropertyMutex() {
  static kovrim::Mutex* mutex = new kovrim::Mutex;  // Leaked: properties may be read during exit.
  return *mutex;
}

// The SDK mirror declares this scope's class without annotations; the analysis sees the property
// lock where the stand-in takes it as PropertyMutex() instead.
PropertyValueLock::PropertyValueLock() NO_THREAD_SAFETY_ANALYSIS { PropertyMutex().Lock(); }

PropertyValueLock::~PropertyValueLock() NO_THREAD_SAFETY_ANALYSIS { PropertyMutex().Unlock(); }

}  // namespace fbsdk_internal

namespace FBSDKNamespace {

using fbsdk_internal::Scene;

// ---- FBProperty ----

FBProperty::FBProperty() : FBPlug(NULL), mParent(NULL) {}

const char* FBProperty::GetName() { return mName; }

void FBProperty::SetName(const char* pName) { mName = pName; }

FBPropertyType FBProperty::GetPropertyType() { return kFBPT_unknown; }

const char* FBProperty::GetPropertyTypeName() {
  static const char* const kNames[] = {
      "unknown", "int",        "int64",    "uint64",     "bool",     "float",
      "double",  "charptr",    "enum",     "Time",       "TimeCode", "object",
      "event",   "stringlist", "Vector4D", "Vector3D",   "ColorRGB", "ColorRGBA",
      "Action",  "Reference",  "TimeSpan", "kReference", "Vector2D"};
  const int type = GetPropertyType();
  if (type < 0 || type >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) return "unknown";
  return kNames[type];
}

void FBProperty::SetData(void*) {}

void FBProperty::GetData(void*, int, FBEvaluateInfo*) const {}

int FBProperty::AsInt() {
  switch (GetPropertyType()) {
    case kFBPT_int: {
      int value = 0;
      GetData(&value, sizeof(value));
      return value;
    }
    case kFBPT_enum: {
      // An enum property stores its own enum type: read it as raw bytes of an int's size.
      alignas(int) unsigned char raw[sizeof(int)] = {};
      GetData(raw, sizeof(raw));
      int value = 0;
      std::memcpy(&value, raw, sizeof(value));
      return value;
    }
    case kFBPT_bool: {
      bool value = false;
      GetData(&value, sizeof(value));
      return value ? 1 : 0;
    }
    case kFBPT_double: {
      double value = 0.0;
      GetData(&value, sizeof(value));
      return static_cast<int>(value);
    }
    case kFBPT_float: {
      float value = 0.0f;
      GetData(&value, sizeof(value));
      return static_cast<int>(value);
    }
    default:
      return 0;
  }
}

bool FBProperty::SetInt(int pInt) {
  switch (GetPropertyType()) {
    case kFBPT_int:
    case kFBPT_enum:
      SetData(&pInt);
      return true;
    case kFBPT_bool: {
      bool value = pInt != 0;
      SetData(&value);
      return true;
    }
    case kFBPT_double: {
      double value = pInt;
      SetData(&value);
      return true;
    }
    case kFBPT_float: {
      float value = static_cast<float>(pInt);
      SetData(&value);
      return true;
    }
    default:
      return false;
  }
}

bool FBProperty::IsList() { return false; }

bool FBProperty::IsAnimatable() { return false; }

bool FBProperty::IsReadOnly() { return false; }

bool FBProperty::IsObjectList() { return IsList() && GetPropertyType() == kFBPT_object; }

// ---- FBPropertyString ----

FBPropertyString::FBPropertyString() {}

FBPropertyString::~FBPropertyString() {}

bool FBPropertyString::operator==(const char* pValue) const {
  const char* value = *this;
  return std::strcmp(value, pValue ? pValue : "") == 0;
}

bool FBPropertyString::operator!=(const char* pValue) const { return !(*this == pValue); }

void FBPropertyString::SetData(void* pData) {
  const char* value = *static_cast<const char**>(pData);
  if (Set) {
    Set(mParent, value);
  } else if (!Get) {
    fbsdk_internal::PropertyValueLock lock;
    mString = value;
  }
}

void FBPropertyString::GetData(void* pData, int pSize, FBEvaluateInfo*) const {
  if (pSize < static_cast<int>(sizeof(const char*))) return;
  if (Get) {
    *static_cast<const char**>(pData) = Get(mParent);
  } else {
    fbsdk_internal::PropertyValueLock lock;
    *static_cast<const char**>(pData) = mString;
  }
}

// ---- Lists ----

FBPropertyBasicList::FBPropertyBasicList() {}

FBPropertyBasicList::~FBPropertyBasicList() {}

void FBPropertyBasicList::RemoveAll() {
  for (int count = GetCount(); count > 0; count = GetCount()) {
    RemoveAt(count - 1);
    if (GetCount() >= count) break;  // A list that refuses removal must not spin.
  }
}

bool FBPropertyBasicList::IsList() { return true; }

FBPropertyListComponentBase::FBPropertyListComponentBase() {}

FBPropertyListComponentBase::~FBPropertyListComponentBase() {}

int FBPropertyListComponentBase::Add(FBComponent*) { return GetCount(); }

void FBPropertyListComponentBase::RemoveAt(int) {}

FBComponent* FBPropertyListComponentBase::operator[](int pIndex) { return GetAt(pIndex); }

int FBPropertyListComponentBase::GetCount() { return 0; }

int FBPropertyListComponentBase::Find(FBComponent* pItem) {
  if (!pItem) return -1;
  const int count = GetCount();
  for (int i = 0; i < count; ++i) {
    if (GetAt(i) == pItem) return i;
  }
  return -1;
}

int FBPropertyListComponentBase::Remove(FBComponent* pItem) {
  const int index = Find(pItem);
  if (index >= 0) RemoveAt(index);
  return index;
}

FBPropertyType FBPropertyListComponentBase::GetPropertyType() { return kFBPT_object; }

FBPropertyListComponent::FBPropertyListComponent() {}

FBPropertyListComponent::~FBPropertyListComponent() {}

FBComponent* FBPropertyListComponent::GetAt(int) { return NULL; }

// ---- FBPropertyListObject ----

namespace {

// The scene's part of an object list's construction (pLive) and destruction, and of a channel's
// destruction, in functions of their own: the lock analysis does not look into constructors and
// destructors.
void TrackObjectList(FBPropertyListObject* pList, bool pLive) {
  kovrim::MutexLock lock(&Scene().mMutex);
  if (pLive) {
    Scene().mObjectLists.insert(pList);
  } else {
    Scene().mObjectLists.erase(pList);
  }
}

void RetireTakeNode(DataFBPropertyAnimatable* pChannel) {
  kovrim::MutexLock lock(&Scene().mMutex);
  if (FBAnimationNode* node = pChannel->mNode) {
    // A device thread may still hold the take node it got for recording: retire it (inert)
    // instead of freeing it; ResetHost frees retired nodes.
    node->mLocalPtr->mChannel = nullptr;
    node->mLocalPtr->mLive = false;
    Scene().mRetiredNodes.push_back(node);
  }
}

}  // namespace

FBPropertyListObject::FBPropertyListObject() : mLocalPtr(new DataFBPropertyListObject) {
  TrackObjectList(this, true);
}

FBPropertyListObject::~FBPropertyListObject() {
  TrackObjectList(this, false);
  delete mLocalPtr;
}

int FBPropertyListObject::GetCount() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<int>(mLocalPtr->mItems.size());
}

FBComponent* FBPropertyListObject::operator[](int pIndex) { return GetAt(pIndex); }

FBComponent* FBPropertyListObject::GetAt(int pIndex) {
  kovrim::MutexLock lock(&Scene().mMutex);
  const std::vector<FBComponent*>& items = mLocalPtr->mItems;
  return (pIndex >= 0 && pIndex < static_cast<int>(items.size())) ? items[pIndex] : NULL;
}

int FBPropertyListObject::Add(FBComponent* pObject) {
  if (!pObject) return -1;
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBComponent*>& items = mLocalPtr->mItems;
  auto it = std::find(items.begin(), items.end(), pObject);
  if (it != items.end()) return static_cast<int>(it - items.begin());
  if (mLocalPtr->mSingleConnect) items.clear();
  items.push_back(pObject);
  return static_cast<int>(items.size()) - 1;
}

int FBPropertyListObject::SetAt(int pIndex, FBComponent* pObject) {
  if (!pObject) return -1;
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBComponent*>& items = mLocalPtr->mItems;
  if (pIndex < 0 || pIndex >= static_cast<int>(items.size())) return -1;
  items[pIndex] = pObject;
  return pIndex;
}

void FBPropertyListObject::RemoveAt(int pIndex) {
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBComponent*>& items = mLocalPtr->mItems;
  if (pIndex < 0 || pIndex >= static_cast<int>(items.size())) return;
  items.erase(items.begin() + pIndex);
}

int FBPropertyListObject::InsertAt(int pIndex, FBComponent* pObject) {
  if (!pObject) return -1;
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBComponent*>& items = mLocalPtr->mItems;
  if (mLocalPtr->mSingleConnect) items.clear();
  const int index = std::max(0, std::min(pIndex, static_cast<int>(items.size())));
  items.insert(items.begin() + index, pObject);
  return index;
}

void FBPropertyListObject::Clear() {
  kovrim::MutexLock lock(&Scene().mMutex);
  mLocalPtr->mItems.clear();
}

void FBPropertyListObject::SetSingleConnect(bool pSingleConnect) {
  kovrim::MutexLock lock(&Scene().mMutex);
  mLocalPtr->mSingleConnect = pSingleConnect;
  if (pSingleConnect && mLocalPtr->mItems.size() > 1) mLocalPtr->mItems.resize(1);
}

int FBPropertyListObject::GetSingleConnect() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return mLocalPtr->mSingleConnect ? 1 : 0;
}

void FBPropertyListObject::SetFilter(int pInternalClassId) {
  kovrim::MutexLock lock(&Scene().mMutex);
  mLocalPtr->mFilter = pInternalClassId;
}

// ---- FBPropertyManager ----

class DataFBPropertyManager {
 public:
  std::vector<FBProperty*> mProperties;
};

FBPropertyManager::FBPropertyManager() : mLocalPtr(new DataFBPropertyManager) {}

FBPropertyManager::~FBPropertyManager() { delete mLocalPtr; }

int FBPropertyManager::Add(FBProperty* pProperty) {
  if (!pProperty) return -1;
  std::vector<FBProperty*>& properties = mLocalPtr->mProperties;
  auto it = std::find(properties.begin(), properties.end(), pProperty);
  if (it != properties.end()) return static_cast<int>(it - properties.begin());
  properties.push_back(pProperty);
  return static_cast<int>(properties.size()) - 1;
}

FBProperty* FBPropertyManager::operator[](int pIndex) {
  if (pIndex < 0 || pIndex >= GetCount()) return NULL;
  return mLocalPtr->mProperties[pIndex];
}

int FBPropertyManager::GetCount() { return static_cast<int>(mLocalPtr->mProperties.size()); }

FBProperty* FBPropertyManager::Find(const char* pPropertyName, bool) {
  if (!pPropertyName) return NULL;
  for (FBProperty* property : mLocalPtr->mProperties) {
    if (std::strcmp(property->GetName(), pPropertyName) == 0) return property;
  }
  return NULL;
}

int FBPropertyManager::Remove(FBProperty* pProperty) {
  std::vector<FBProperty*>& properties = mLocalPtr->mProperties;
  auto it = std::find(properties.begin(), properties.end(), pProperty);
  if (it == properties.end()) return -1;
  const int index = static_cast<int>(it - properties.begin());
  properties.erase(it);
  return index;
}

// ---- FBPropertyAnimatable ----

FBPropertyAnimatable::FBPropertyAnimatable() : mLocalPtr(new DataFBPropertyAnimatable) {}

FBPropertyAnimatable::~FBPropertyAnimatable() {
  RetireTakeNode(mLocalPtr);
  delete mLocalPtr;
}

FBPropertyAnimatable* FBPropertyAnimatable::Init(FBBox* pOwner, const char* pName,
                                                 const char* pType, double* pInit) {
  SetName(pName);
  mParent = pOwner;
  const std::string type = pType ? pType : ANIMATIONNODE_TYPE_NUMBER;
  const int count = fbsdk_internal::DataTypeCount(type);
  bool made = false;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    made = mLocalPtr->mNode != nullptr;
  }
  // Made outside the scene lock, as every component is.
  FBAnimationNode* node = made ? nullptr : new FBAnimationNode(type.c_str());
  kovrim::MutexLock lock(&Scene().mMutex);
  mLocalPtr->mOwner = pOwner;
  mLocalPtr->mDataType = type;
  mLocalPtr->mCount = count;
  for (int i = 0; i < 4; ++i) mLocalPtr->mValue[i] = (pInit && i < count) ? pInit[i] : 0.0;
  if (node) {
    node->mLocalPtr->mChannel = this;
    node->mLocalPtr->mDataType = type;
    node->mLocalPtr->mCount = count;
    mLocalPtr->mNode = node;
  }
  return this;
}

const char* FBPropertyAnimatable::GetDataTypeName() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return mLocalPtr->mDataType.c_str();
}

void FBPropertyAnimatable::Key() { KeyAt(FBTime(Scene().mCurrentTime.load())); }

void FBPropertyAnimatable::KeyAt(FBTime pTime) {
  kovrim::MutexLock lock(&Scene().mMutex);
  if (!mLocalPtr->mNode) return;
  mLocalPtr->mAnimated = true;
  fbsdk_internal::AddKeyLocked(mLocalPtr->mNode->mLocalPtr, pTime, mLocalPtr->mValue,
                               kFBInterpolationCubic, kFBTangentModeAuto);
}

int FBPropertyAnimatable::GetDataSize() const {
  kovrim::MutexLock lock(&Scene().mMutex);
  return mLocalPtr->mCount;
}

bool FBPropertyAnimatable::IsAnimated() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return mLocalPtr->mAnimated;
}

void FBPropertyAnimatable::SetAnimated(bool pState, bool) {
  kovrim::MutexLock lock(&Scene().mMutex);
  mLocalPtr->mAnimated = pState;
  if (!pState && mLocalPtr->mNode) mLocalPtr->mNode->mLocalPtr->mKeys.clear();
}

FBAnimationNode* FBPropertyAnimatable::GetAnimationNode(FBTake*) {
  kovrim::MutexLock lock(&Scene().mMutex);
  return mLocalPtr->mAnimated ? mLocalPtr->mNode : NULL;
}

FBBox* FBPropertyAnimatable::GetBox() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return mLocalPtr->mOwner;
}

bool FBPropertyAnimatable::IsAnimatable() { return true; }

void FBPropertyAnimatable::SetData(void* pData) {
  if (!pData) return;
  kovrim::MutexLock lock(&Scene().mMutex);
  const double* values = static_cast<const double*>(pData);
  for (int i = 0; i < mLocalPtr->mCount; ++i) mLocalPtr->mValue[i] = values[i];
}

void FBPropertyAnimatable::GetData(void* pData, int pSize, FBEvaluateInfo*) const {
  if (!pData || pSize <= 0) return;
  kovrim::MutexLock lock(&Scene().mMutex);
  const int count = std::min(pSize / static_cast<int>(sizeof(double)), mLocalPtr->mCount);
  double* values = static_cast<double*>(pData);
  for (int i = 0; i < count; ++i) values[i] = mLocalPtr->mValue[i];
}

void FBPropertyAnimatable::SetCandidate(void* pData, int pSize, FBEvaluateInfo*) {
  if (!pData || pSize <= 0) return;
  kovrim::MutexLock lock(&Scene().mMutex);
  const int count = std::min(pSize / static_cast<int>(sizeof(double)), mLocalPtr->mCount);
  const double* values = static_cast<const double*>(pData);
  for (int i = 0; i < count; ++i) mLocalPtr->mValue[i] = values[i];
}

}  // namespace FBSDKNamespace

// Boxes, devices, model templates and animation nodes.
#include <fbsdk/fbcore.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include <fbsdk/fbmodel.h>

#include "scene_state.h"

namespace FBSDKNamespace {

using fbsdk_internal::HostAccess;
using fbsdk_internal::HostCall;
using fbsdk_internal::RunHostCallHook;
using fbsdk_internal::Scene;

namespace {

template <class T>
void EraseValue(std::vector<T*>& pVector, T* pValue) {
  pVector.erase(std::remove(pVector.begin(), pVector.end(), pValue), pVector.end());
}

bool IsLiveTemplateLocked(FBModelTemplate* pTemplate) REQUIRES(Scene().mMutex) {
  return pTemplate && Scene().mTemplates.count(pTemplate) != 0;
}

void DetachChildLocked(FBModelTemplate* pChild) REQUIRES(Scene().mMutex) {
  FBModelTemplate* parent = pChild->mLocalPtr->mParent;
  if (!parent) return;
  EraseValue(parent->mLocalPtr->mChildren, pChild);
  pChild->mLocalPtr->mParent = nullptr;
}

}  // namespace

// ---- FBEvaluateInfo / FBDeviceNotifyInfo ----

FBEvaluateInfo::FBEvaluateInfo() : mStop(true), mSyncCount(-1), mEvaluationID(0), mDeviceID(0) {}
FBTime& FBEvaluateInfo::GetLocalTime() { return mLocalTime; }
FBTime& FBEvaluateInfo::GetSystemTime() { return mSystemTime; }
bool FBEvaluateInfo::IsStop() { return mStop; }
int FBEvaluateInfo::GetSyncCount() { return mSyncCount; }
int FBEvaluateInfo::GetEvaluationID() { return mEvaluationID; }
int FBEvaluateInfo::GetDeviceID() { return mDeviceID; }

FBDeviceNotifyInfo::FBDeviceNotifyInfo() {}
FBTime& FBDeviceNotifyInfo::GetSystemTime() { return mEvaluateInfo.mSystemTime; }
FBTime& FBDeviceNotifyInfo::GetLocalTime() { return mEvaluateInfo.mLocalTime; }
void FBDeviceNotifyInfo::SetLocalTime(const FBTime& pTime) { mEvaluateInfo.mLocalTime = pTime; }
int FBDeviceNotifyInfo::GetSyncCount() { return mEvaluateInfo.mSyncCount; }
FBEvaluateInfo& FBDeviceNotifyInfo::GetEvaluateInfo() { return mEvaluateInfo; }

// ---- FBAnimationNode ----

namespace {

int KeyCountGet(void* pOwner) {
  FBAnimationNode* node = static_cast<FBAnimationNode*>(pOwner);
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<int>(node->mLocalPtr->mKeys.size());
}

}  // namespace

FBAnimationNode::FBAnimationNode(const char* pName, HIObject pObject)
    : FBComponent(pObject), mLocalPtr(new DataFBAnimationNode) {
  Name = pName;
  Label.Init(this, "Label");
  UserName.Init(this, "UserName");
  Reference.Init(this, "Reference");
  KeyCount.Init(this, "KeyCount", &KeyCountGet);
  PropertyList.Add(&Label);
  PropertyList.Add(&UserName);
  PropertyList.Add(&Reference);
  PropertyList.Add(&KeyCount);
}

namespace {

// Takes pNode out of its binding, its box, its channel and the retired nodes. The destructor's
// part, in a function of its own as the other destructors' parts below: the lock analysis does
// not look into constructors and destructors.
void UnlinkNode(FBAnimationNode* pNode) {
  kovrim::MutexLock lock(&Scene().mMutex);
  fbsdk_internal::UnbindNodeLocked(pNode);
  if (FBBox* owner = pNode->mLocalPtr->mOwner) {
    DataFBBox* box = static_cast<FBBox*>(owner)->mLocalPtr;
    EraseValue(box->mAllNodes, pNode);
    EraseValue(box->mOutNodes, pNode);
    EraseValue(box->mInNodes, pNode);
  }
  if (FBPropertyAnimatable* channel = pNode->mLocalPtr->mChannel) {
    channel->mLocalPtr->mNode = nullptr;
  }
  EraseValue(Scene().mRetiredNodes, pNode);
}

}  // namespace

FBAnimationNode::~FBAnimationNode() {
  UnlinkNode(this);
  delete mLocalPtr;
}

void FBAnimationNode::KeyAdd(const FBTime& pTime, double* pData, FBInterpolation pInterpolation,
                             FBTangentMode pTangentMode) {
  RunHostCallHook(HostCall::kKeyAdd, this);
  if (!pData) return;
  kovrim::MutexLock lock(&Scene().mMutex);
  if (!mLocalPtr->mLive) return;
  fbsdk_internal::AddKeyLocked(mLocalPtr, pTime, pData, pInterpolation, pTangentMode);
}

void FBAnimationNode::KeyAdd(double* pData, FBInterpolation pInterpolation,
                             FBTangentMode pTangentMode) {
  // The form with a time runs the hook.
  KeyAdd(FBTime(Scene().mCurrentTime.load()), pData, pInterpolation, pTangentMode);
}

bool FBAnimationNode::SetCandidate(double* Data, bool) {
  if (!Data) return false;
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBAnimationNode* data = mLocalPtr;
  if (!data->mLive) return false;
  for (int i = 0; i < data->mCount; ++i) data->mValue[i] = Data[i];
  data->mHasValue = true;
  if (FBPropertyAnimatable* channel = data->mChannel) {
    DataFBPropertyAnimatable* values = channel->mLocalPtr;
    for (int i = 0; i < data->mCount && i < values->mCount; ++i) values->mValue[i] = Data[i];
  }
  return true;
}

int FBAnimationNode::GetSizeOfData() {
  return GetDataDoubleArrayCount() * static_cast<int>(sizeof(double));
}

int FBAnimationNode::GetDataDoubleArrayCount() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return mLocalPtr->mCount;
}

bool FBAnimationNode::WriteData(double* Data, FBEvaluateInfo* pEvaluateInfo) {
  RunHostCallHook(HostCall::kWriteData, this);
  if (!Data) return false;
  const int pass =
      pEvaluateInfo ? pEvaluateInfo->GetEvaluationID() : fbsdk_internal::CurrentPassOnThisThread();
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBAnimationNode* data = mLocalPtr;
  if (!data->mLive) return false;
  for (int i = 0; i < data->mCount; ++i) data->mValue[i] = Data[i];
  data->mHasValue = true;
  data->mWrittenPass = pass;
  return true;
}

bool FBAnimationNode::ReadData(double* Data, FBEvaluateInfo*, bool) { return ReadData(Data); }

bool FBAnimationNode::ReadData(double* Data) {
  if (!Data) return false;
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBAnimationNode* data = mLocalPtr;
  if (data->mChannel) {
    for (int i = 0; i < data->mCount; ++i) Data[i] = data->mChannel->mLocalPtr->mValue[i];
    return true;
  }
  if (!data->mHasValue) return false;
  for (int i = 0; i < data->mCount; ++i) Data[i] = data->mValue[i];
  return true;
}

FBAnimationNode* FBAnimationNode::GetAnimationToRecord() {
  if (!Scene().mRecording.load()) return NULL;
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBAnimationNode* data = mLocalPtr;
  if (!data->mLive || !data->mTemplate) return NULL;
  FBModel* model = data->mTemplate->mLocalPtr->mModel;
  if (!model) return NULL;
  FBPropertyAnimatable* channel = fbsdk_internal::ChannelOf(model, data->mDataType);
  if (!channel || !channel->mLocalPtr->mNode) return NULL;
  channel->mLocalPtr->mAnimated = true;
  return channel->mLocalPtr->mNode;
}

// ---- FBBox ----

FBBox::FBBox(const char* pName, HIObject pObject)
    : FBComponent(pObject), mLocalPtr(new DataFBBox), UniqueName("") {
  Name = pName;
}

namespace {

// Empties pBox's node lists and hands over the nodes it owned, no longer owned.
std::vector<FBAnimationNode*> TakeBoxNodes(DataFBBox* pBox) {
  std::vector<FBAnimationNode*> nodes;
  kovrim::MutexLock lock(&Scene().mMutex);
  nodes.swap(pBox->mAllNodes);
  pBox->mOutNodes.clear();
  pBox->mInNodes.clear();
  for (FBAnimationNode* node : nodes) node->mLocalPtr->mOwner = nullptr;
  return nodes;
}

}  // namespace

FBBox::~FBBox() {
  for (FBAnimationNode* node : TakeBoxNodes(mLocalPtr)) delete node;
  delete mLocalPtr;
}

namespace {

FBAnimationNode* CreateBoxNode(FBBox* pBox, DataFBBox* pData, bool pOutput, kReference pUserId,
                               const char* pName, const char* pDataType) {
  RunHostCallHook(HostCall::kNodeCreate, pBox);
  if (!pDataType) return NULL;
  FBAnimationNode* node = new FBAnimationNode(pName);
  node->Reference = pUserId;
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBAnimationNode* data = node->mLocalPtr;
  data->mOwner = pBox;
  data->mOutput = pOutput;
  data->mDataType = pDataType;
  data->mCount = fbsdk_internal::DataTypeCount(pDataType);
  pData->mAllNodes.push_back(node);
  (pOutput ? pData->mOutNodes : pData->mInNodes).push_back(node);
  return node;
}

}  // namespace

FBAnimationNode* FBBox::AnimationNodeInCreate(kReference pUserId, const char* pName,
                                              const char* pDataType, bool, double*, double*, bool) {
  return CreateBoxNode(this, mLocalPtr, false, pUserId, pName, pDataType);
}

FBAnimationNode* FBBox::AnimationNodeOutCreate(kReference pUserId, const char* pName,
                                               const char* pDataType, bool, double*, double*,
                                               bool) {
  return CreateBoxNode(this, mLocalPtr, true, pUserId, pName, pDataType);
}

bool FBBox::AnimationNodeNotify(FBAnimationNode*, FBEvaluateInfo*) { return true; }

bool FBBox::AnimationNodeDestroy(FBAnimationNode* pAnimationNode) {
  RunHostCallHook(HostCall::kNodeDestroy, pAnimationNode);
  if (!pAnimationNode) return false;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    std::vector<FBAnimationNode*>& all = mLocalPtr->mAllNodes;
    // Membership first: the pointer may belong to another box or be stale (freed already).
    if (std::find(all.begin(), all.end(), pAnimationNode) == all.end()) return false;
    DataFBAnimationNode* data = pAnimationNode->mLocalPtr;
    data->mLive = false;
    data->mOwner = nullptr;
    fbsdk_internal::UnbindNodeLocked(pAnimationNode);
    EraseValue(all, pAnimationNode);
    EraseValue(mLocalPtr->mOutNodes, pAnimationNode);
    EraseValue(mLocalPtr->mInNodes, pAnimationNode);
  }
  // Released as a host releases a destroyed node: the box no longer keeps it.
  fbsdk_internal::ReleaseDestroyedNode(pAnimationNode);
  return true;
}

int FBBox::GetOutConnectorCount() const {
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<int>(mLocalPtr->mOutNodes.size());
}

int FBBox::GetInConnectorCount() const {
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<int>(mLocalPtr->mInNodes.size());
}

FBAnimationNode* FBBox::GetOutConnector(int pIndex) const {
  kovrim::MutexLock lock(&Scene().mMutex);
  const std::vector<FBAnimationNode*>& nodes = mLocalPtr->mOutNodes;
  return (pIndex >= 0 && pIndex < static_cast<int>(nodes.size())) ? nodes[pIndex] : NULL;
}

FBAnimationNode* FBBox::GetInConnector(int pIndex) const {
  kovrim::MutexLock lock(&Scene().mMutex);
  const std::vector<FBAnimationNode*>& nodes = mLocalPtr->mInNodes;
  return (pIndex >= 0 && pIndex < static_cast<int>(nodes.size())) ? nodes[pIndex] : NULL;
}

// ---- Template lists ----

namespace {

FBModelTemplate* OwnerTemplate(FBProperty& pList) {
  return static_cast<FBModelTemplate*>(HostAccess::Parent(pList));
}

}  // namespace

FBPropertyListModelTemplate::FBPropertyListModelTemplate() {}

FBPropertyListModelTemplate::~FBPropertyListModelTemplate() {}

int FBPropertyListModelTemplate::Add(FBModelTemplate* pItem) {
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBModelTemplate*>& children = owner->mLocalPtr->mChildren;
  if (!IsLiveTemplateLocked(pItem)) return static_cast<int>(children.size());
  // A template cannot become its own descendant.
  for (FBModelTemplate* t = owner; t; t = t->mLocalPtr->mParent) {
    if (t == pItem) return static_cast<int>(children.size());
  }
  if (pItem->mLocalPtr->mParent != owner) {
    DetachChildLocked(pItem);
    children.push_back(pItem);
    pItem->mLocalPtr->mParent = owner;
  }
  return static_cast<int>(children.size());
}

int FBPropertyListModelTemplate::Add(FBComponent* pItem) {
  if (FBModelTemplate* modelTemplate = FBCast<FBModelTemplate>(pItem)) return Add(modelTemplate);
  return GetCount();
}

void FBPropertyListModelTemplate::RemoveAt(int pIndex) {
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBModelTemplate*>& children = owner->mLocalPtr->mChildren;
  if (pIndex < 0 || pIndex >= static_cast<int>(children.size())) return;
  children[pIndex]->mLocalPtr->mParent = nullptr;
  children.erase(children.begin() + pIndex);
}

FBModelTemplate* FBPropertyListModelTemplate::operator[](int pIndex) {
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBModelTemplate*>& children = owner->mLocalPtr->mChildren;
  return (pIndex >= 0 && pIndex < static_cast<int>(children.size())) ? children[pIndex] : NULL;
}

int FBPropertyListModelTemplate::GetCount() {
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<int>(owner->mLocalPtr->mChildren.size());
}

FBComponent* FBPropertyListModelTemplate::GetAt(int pIndex) { return (*this)[pIndex]; }

FBPropertyListModelTemplateBinding::FBPropertyListModelTemplateBinding() {}

FBPropertyListModelTemplateBinding::~FBPropertyListModelTemplateBinding() {}

int FBPropertyListModelTemplateBinding::Add(FBAnimationNode* pItem) {
  if (!pItem) return -1;
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBAnimationNode* data = pItem->mLocalPtr;
  if (!data->mLive) return -1;
  std::vector<FBAnimationNode*>& bindings = owner->mLocalPtr->mBindings;
  if (data->mTemplate != owner) {
    fbsdk_internal::UnbindNodeLocked(pItem);
    bindings.push_back(pItem);
    data->mTemplate = owner;
  }
  return static_cast<int>(std::find(bindings.begin(), bindings.end(), pItem) - bindings.begin());
}

int FBPropertyListModelTemplateBinding::Add(FBComponent* pItem) {
  if (FBAnimationNode* node = FBCast<FBAnimationNode>(pItem)) return Add(node);
  return -1;
}

void FBPropertyListModelTemplateBinding::RemoveAt(int pIndex) {
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBAnimationNode*>& bindings = owner->mLocalPtr->mBindings;
  if (pIndex < 0 || pIndex >= static_cast<int>(bindings.size())) return;
  bindings[pIndex]->mLocalPtr->mTemplate = nullptr;
  bindings.erase(bindings.begin() + pIndex);
}

FBAnimationNode* FBPropertyListModelTemplateBinding::operator[](int pIndex) {
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBAnimationNode*>& bindings = owner->mLocalPtr->mBindings;
  return (pIndex >= 0 && pIndex < static_cast<int>(bindings.size())) ? bindings[pIndex] : NULL;
}

int FBPropertyListModelTemplateBinding::GetCount() {
  FBModelTemplate* owner = OwnerTemplate(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<int>(owner->mLocalPtr->mBindings.size());
}

FBComponent* FBPropertyListModelTemplateBinding::GetAt(int pIndex) { return (*this)[pIndex]; }

// ---- FBModelTemplate ----

namespace {

FBModel* TemplateModelGet(void* pOwner) {
  FBModelTemplate* modelTemplate = static_cast<FBModelTemplate*>(pOwner);
  kovrim::MutexLock lock(&Scene().mMutex);
  return modelTemplate->mLocalPtr->mModel;
}

void TemplateModelSet(void* pOwner, FBModel* pModel) {
  FBModelTemplate* modelTemplate = static_cast<FBModelTemplate*>(pOwner);
  kovrim::MutexLock lock(&Scene().mMutex);
  if (pModel && !fbsdk_internal::IsSceneModelLocked(pModel)) return;
  fbsdk_internal::BindTemplateLocked(modelTemplate, pModel);
}

void InitTemplate(FBModelTemplate* pTemplate) {
  HostAccess::SetParent(pTemplate->Children, pTemplate);
  HostAccess::SetParent(pTemplate->Bindings, pTemplate);
  pTemplate->Children.SetName("Children");
  pTemplate->Bindings.SetName("Bindings");
  pTemplate->Prefix.Init(pTemplate, "Prefix");
  pTemplate->Model.Init(pTemplate, "Model", &TemplateModelGet, &TemplateModelSet);
  pTemplate->DefaultTranslation.Init(pTemplate, "DefaultTranslation");
  pTemplate->DefaultRotation.Init(pTemplate, "DefaultRotation");
  pTemplate->DefaultScaling.Init(pTemplate, "DefaultScaling");
  pTemplate->DefaultScaling = FBVector3d(1.0, 1.0, 1.0);
  FBProperty* properties[] = {
      &pTemplate->Children,      &pTemplate->Bindings,           &pTemplate->Prefix,
      &pTemplate->Model,         &pTemplate->DefaultTranslation, &pTemplate->DefaultRotation,
      &pTemplate->DefaultScaling};
  for (FBProperty* property : properties) pTemplate->PropertyList.Add(property);
  kovrim::MutexLock lock(&Scene().mMutex);
  Scene().mTemplates.insert(pTemplate);
}

}  // namespace

FBModelTemplate::FBModelTemplate(HIObject pObject)
    : FBComponent(pObject), mLocalPtr(new DataFBModelTemplate) {
  InitTemplate(this);
  RunHostCallHook(HostCall::kTemplateCreate, this);
}

FBModelTemplate::FBModelTemplate(const char* pPrefix, const char* pName,
                                 FBModelTemplateStyle pStyle)
    : FBComponent(NULL), mLocalPtr(new DataFBModelTemplate) {
  Name = pName;
  mLocalPtr->mStyle = pStyle;
  InitTemplate(this);
  Prefix = pPrefix;
  RunHostCallHook(HostCall::kTemplateCreate, this);
}

namespace {

// Takes pTemplate out of the scene, its tree, its bindings and its model.
void UnlinkTemplate(FBModelTemplate* pTemplate) {
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBModelTemplate* data = pTemplate->mLocalPtr;
  Scene().mTemplates.erase(pTemplate);
  DetachChildLocked(pTemplate);
  for (FBModelTemplate* child : data->mChildren) child->mLocalPtr->mParent = nullptr;
  data->mChildren.clear();
  for (FBAnimationNode* node : data->mBindings) node->mLocalPtr->mTemplate = nullptr;
  data->mBindings.clear();
  fbsdk_internal::BindTemplateLocked(pTemplate, nullptr);
}

}  // namespace

FBModelTemplate::~FBModelTemplate() {
  RunHostCallHook(HostCall::kTemplateDestroy, this);
  UnlinkTemplate(this);
  delete mLocalPtr;
}

// ---- FBDevice ----

namespace {

bool OnlineGet(void* pOwner) { return static_cast<FBDevice*>(pOwner)->mLocalPtr->mOnline.load(); }

void OnlineSet(void* pOwner, bool pOnline) {
  FBDevice* device = static_cast<FBDevice*>(pOwner);
  // Plug-in code: called with no host lock held.
  if (pOnline) {
    const bool started = device->DeviceOperation(FBDevice::kOpStart);
    device->mLocalPtr->mOnline.store(started);
  } else {
    device->DeviceOperation(FBDevice::kOpStop);
    device->mLocalPtr->mOnline.store(false);
  }
}

// Adds pDevice to the scene's devices (pLive) or takes it out.
void TrackDevice(FBDevice* pDevice, bool pLive) {
  kovrim::MutexLock lock(&Scene().mMutex);
  if (pLive) {
    Scene().mDevices.push_back(pDevice);
  } else {
    EraseValue(Scene().mDevices, pDevice);
  }
}

FBModel* BindingRootGet(void* pOwner) {
  FBDevice* device = static_cast<FBDevice*>(pOwner);
  kovrim::MutexLock lock(&Scene().mMutex);
  const std::vector<FBModelTemplate*>& roots = device->ModelTemplate.mLocalPtr->mChildren;
  return roots.empty() ? nullptr : roots.front()->mLocalPtr->mModel;
}

// Appends pTemplate's descendants, children before their parents.
void CollectDescendantsLocked(FBModelTemplate* pTemplate, std::vector<FBModelTemplate*>& pOut)
    REQUIRES(Scene().mMutex) {
  for (FBModelTemplate* child : pTemplate->mLocalPtr->mChildren) {
    CollectDescendantsLocked(child, pOut);
    pOut.push_back(child);
  }
}

// The templates still in pDevice's tree go with it: the heap ones are deleted, the others
// (members of their owners) only detached.
void DropDeviceTemplates(FBDevice* pDevice) {
  std::vector<FBModelTemplate*> templates;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    CollectDescendantsLocked(&pDevice->ModelTemplate, templates);
  }
  for (FBModelTemplate* modelTemplate : templates) {
    if (fbsdk_internal::IsTrackedComponent(modelTemplate)) {
      delete modelTemplate;
    } else {
      kovrim::MutexLock lock(&Scene().mMutex);
      DetachChildLocked(modelTemplate);
    }
  }
}

}  // namespace

FBDevice::FBDevice(const char* pName, HIObject pObject)
    : FBBox(pName, pObject), mLocalPtr(new DataFBDevice) {
  Status.Init(this, "Status");
  Information.Init(this, "Information");
  HardwareVersionInfo.Init(this, "HardwareVersionInfo");
  SamplingPeriod.Init(this, "SamplingPeriod");
  Online.Init(this, "Online", &OnlineGet, &OnlineSet);
  ModelBindingRoot.Init(this, "ModelBindingRoot", &BindingRootGet);
  SamplingMode.Init(this, "SamplingMode");
  CommType.Init(this, "CommType");
  ModelTemplate.Name = "ModelTemplate";
  FBProperty* properties[] = {&Status, &Information,      &HardwareVersionInfo, &SamplingPeriod,
                              &Online, &ModelBindingRoot, &SamplingMode,        &CommType};
  for (FBProperty* property : properties) PropertyList.Add(property);
  TrackDevice(this, true);
}

FBDevice::~FBDevice() {
  TrackDevice(this, false);
  DropDeviceTemplates(this);
  delete mLocalPtr;
}

bool FBDevice::FBCreate() { return true; }

void FBDevice::FBDestroy() {}

FBAnimationNode* FBDevice::AnimationNodeInCreate(kReference pUserId, const char* pName,
                                                 const char* pDataType, bool pIsPublic,
                                                 double* pMin, double* pMax, bool pUserData) {
  return FBBox::AnimationNodeInCreate(pUserId, pName, pDataType, pIsPublic, pMin, pMax, pUserData);
}

FBAnimationNode* FBDevice::AnimationNodeOutCreate(kReference pUserId, const char* pName,
                                                  const char* pDataType, bool pIsPublic,
                                                  double* pMin, double* pMax, bool pUserData) {
  return FBBox::AnimationNodeOutCreate(pUserId, pName, pDataType, pIsPublic, pMin, pMax, pUserData);
}

bool FBDevice::DeviceOperation(kDeviceOperations) { return mLocalPtr->mOnline.load(); }

void FBDevice::DeviceIONotify(kDeviceIOs, FBDeviceNotifyInfo&) {}

bool FBDevice::ModelTemplateBindNotify(FBModel*, int, FBModelTemplate*) { return true; }

bool FBDevice::ModelTemplateUnBindNotify(int, FBModelTemplate*) { return true; }

bool FBDevice::AnimationNodeNotify(FBAnimationNode*, FBEvaluateInfo*) { return true; }

void FBDevice::AckOneSampleReceived() { ++mLocalPtr->mSamplesReceived; }

void FBDevice::AckOneBadSampleReceived() { ++mLocalPtr->mBadSamples; }

void FBDevice::AckOneSampleSent() { ++mLocalPtr->mSamplesSent; }

}  // namespace FBSDKNamespace

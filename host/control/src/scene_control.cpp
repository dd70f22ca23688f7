#include <fbsdk_control/scene_control.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <fbsdk/fbcharacter.h>
#include <fbsdk_control/realtime_threads.h>

#include "scene_state.h"
#include "ui_state.h"

namespace fbsdk_control {

using namespace FBSDKNamespace;
using fbsdk_internal::HostAccess;
using fbsdk_internal::Scene;
using fbsdk_internal::SceneState;

namespace {

FBModelTemplate* RootTemplateLocked(FBDevice* pDevice) REQUIRES(Scene().mMutex) {
  const std::vector<FBModelTemplate*>& roots = pDevice->ModelTemplate.mLocalPtr->mChildren;
  return roots.empty() ? nullptr : roots.front();
}

void CollectPreOrderLocked(FBModelTemplate* pTemplate, std::vector<FBModelTemplate*>& pOut)
    REQUIRES(Scene().mMutex) {
  pOut.push_back(pTemplate);
  for (FBModelTemplate* child : pTemplate->mLocalPtr->mChildren) CollectPreOrderLocked(child, pOut);
}

std::string NameOf(FBComponent* pComponent) { return static_cast<const char*>(pComponent->Name); }

// Binds pTemplate to pModel, then each child template to the child
// model of the same name, recording the bindings in pre-order.
void BindTreeLocked(FBModelTemplate* pTemplate, FBModel* pModel,
                    std::vector<std::pair<FBModelTemplate*, FBModel*>>& pBound)
    REQUIRES(Scene().mMutex) {
  fbsdk_internal::BindTemplateLocked(pTemplate, pModel);
  pBound.emplace_back(pTemplate, pModel);
  for (FBModelTemplate* childTemplate : pTemplate->mLocalPtr->mChildren) {
    const std::string name = NameOf(childTemplate);
    for (FBModel* childModel : pModel->mLocalPtr->mChildren) {
      if (NameOf(childModel) == name) {
        BindTreeLocked(childTemplate, childModel, pBound);
        break;
      }
    }
  }
}

}  // namespace

FBDevice* CreateDevice(const char* label, const char* name) {
  FBComponent* component = FBCreateObject("Boxes/Devices", label, name);
  return FBCast<FBDevice>(component);
}

void DestroyDevice(FBDevice* device) {
  if (!device) return;
  device->SetObjectStatus(kFBStatusDestroying, true);
  // The host stops calling the device before it takes it down.
  StopRealTimeThreadsOf(device);
  if (device->Online) device->Online = false;
  UnbindSkeleton(device);
  device->DeviceOperation(FBDevice::kOpDone);
  device->FBDestroy();
  if (fbsdk_internal::IsTrackedComponent(device)) delete device;
}

std::vector<FBDevice*> SceneDevices() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return Scene().mDevices;
}

void NewScene() {
  std::vector<FBDevice*> devices;
  std::vector<FBComponent*> cleared;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    devices = Scene().mDevices;
    for (FBDevice* device : devices) {
      cleared.push_back(device);
      std::vector<FBModelTemplate*> tree;
      for (FBModelTemplate* root : device->ModelTemplate.mLocalPtr->mChildren) {
        CollectPreOrderLocked(root, tree);
      }
      cleared.insert(cleared.end(), tree.begin(), tree.end());
    }
    cleared.insert(cleared.end(), Scene().mModels.begin(), Scene().mModels.end());
  }
  const std::vector<FBCharacter*> characters = fbsdk_internal::UiAccess::SceneCharacters();
  cleared.insert(cleared.end(), characters.begin(), characters.end());
  for (FBComponent* component : cleared) component->SetObjectStatus(kFBStatusClearing, true);

  // Plug-in code below, no host lock held. The bindings go first, while the devices still run.
  for (FBDevice* device : devices) UnbindSkeleton(device);
  for (FBDevice* device : devices) DestroyDevice(device);
  std::vector<FBModel*> models;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    models = Scene().mModels;
  }
  for (FBModel* model : models) {
    if (!fbsdk_internal::IsTrackedComponent(model)) continue;
    model->SetObjectStatus(kFBStatusDestroying, true);
    delete model;
  }
  for (FBCharacter* character : characters) {
    if (!fbsdk_internal::UiAccess::LeaveScene(character)) continue;
    character->SetObjectStatus(kFBStatusDestroying, true);
    character->FBDelete();
  }
}

void RunDeviceIO(FBDevice* device, FBTime localTime, FBDevice::kDeviceIOs action) {
  if (!device) return;
  FBDeviceNotifyInfo info = HostAccess::MakeNotifyInfo(localTime);
  device->DeviceIONotify(action, info);
}

long SamplesAcknowledged(FBDevice* device) {
  return device ? device->mLocalPtr->mSamplesReceived.load() : 0;
}

bool EvaluateDevice(FBDevice* device, FBTime localTime) {
  if (!device) return false;
  fbsdk_internal::BeginEvaluationPass();
  const int pass = Scene().mNextEvaluationId.fetch_add(1);
  const int outerPass = fbsdk_internal::CurrentPassOnThisThread();
  fbsdk_internal::SetCurrentPassOnThisThread(pass);
  FBEvaluateInfo info = HostAccess::MakeEvaluateInfo(localTime, pass);

  std::vector<FBAnimationNode*> picked;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    for (FBAnimationNode* node : static_cast<FBBox*>(device)->mLocalPtr->mOutNodes) {
      FBModelTemplate* modelTemplate = node->mLocalPtr->mTemplate;
      if (modelTemplate && modelTemplate->mLocalPtr->mModel) picked.push_back(node);
    }
  }
  // Each bound channel pulls its node: the box is notified only for a node that holds no data
  // of this pass yet, so a notification that writes every node serves the whole pass. A node
  // still unwritten after its own notification is not asked again; its model keeps its value.
  // Plug-in code, no host lock held. A picked node the device destroys meanwhile stays in memory
  // (inert) until this pass ends.
  for (FBAnimationNode* node : picked) {
    bool written = false;
    {
      kovrim::MutexLock lock(&Scene().mMutex);
      written = node->mLocalPtr->mWrittenPass == pass;
    }
    if (!written) device->AnimationNodeNotify(node, &info);
  }
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    for (FBAnimationNode* node : picked) {
      DataFBAnimationNode* data = node->mLocalPtr;
      if (!data->mLive || data->mWrittenPass != pass || !data->mTemplate) continue;
      FBModel* model = data->mTemplate->mLocalPtr->mModel;
      FBPropertyAnimatable* channel = fbsdk_internal::ChannelOf(model, data->mDataType);
      if (!channel) continue;
      DataFBPropertyAnimatable* values = channel->mLocalPtr;
      for (int i = 0; i < data->mCount && i < values->mCount; ++i) {
        values->mValue[i] = data->mValue[i];
      }
    }
  }
  fbsdk_internal::SetCurrentPassOnThisThread(outerPass);
  fbsdk_internal::EndEvaluationPass();
  return !picked.empty();
}

int EvaluationsWaiting() {
  kovrim::MutexLock lock(&Scene().mGateMutex);
  return Scene().mWaiting;
}

int EvaluationPauseDepth() {
  kovrim::MutexLock lock(&Scene().mGateMutex);
  return Scene().mPauseDepth;
}

bool WaitForEvaluationsWaiting(int count, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  kovrim::MutexLock lock(&Scene().mGateMutex);
  while (Scene().mWaiting < count) {
    if (!Scene().mGateChanged.WaitUntil(&Scene().mGateMutex, until)) break;
  }
  return Scene().mWaiting >= count;
}

bool WaitForEvaluationPauseDepth(int depth, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  kovrim::MutexLock lock(&Scene().mGateMutex);
  while (Scene().mPauseDepth < depth) {
    if (!Scene().mGateChanged.WaitUntil(&Scene().mGateMutex, until)) break;
  }
  return Scene().mPauseDepth >= depth;
}

FBModel* CreateModel(const char* name, FBModel* parent, const char* nameSpace) {
  FBModel* model = new FBModel(name);
  if (nameSpace) static_cast<FBComponent*>(model)->mLocalPtr->mNameSpace = nameSpace;
  if (parent) parent->Children.Add(model);
  return model;
}

void DestroyModel(FBModel* model) {
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    if (!fbsdk_internal::IsSceneModelLocked(model)) return;
  }
  if (fbsdk_internal::IsTrackedComponent(model)) delete model;
}

std::vector<FBModel*> SceneModels() {
  kovrim::MutexLock lock(&Scene().mMutex);
  return Scene().mModels;
}

bool BindSkeleton(FBDevice* device, FBModel* root) {
  if (!device || !root) return false;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    if (!RootTemplateLocked(device) || !fbsdk_internal::IsSceneModelLocked(root)) return false;
  }
  UnbindSkeleton(device);
  std::vector<std::pair<FBModelTemplate*, FBModel*>> bound;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    FBModelTemplate* rootTemplate = RootTemplateLocked(device);
    if (!rootTemplate || !fbsdk_internal::IsSceneModelLocked(root)) return false;
    BindTreeLocked(rootTemplate, root, bound);
  }
  for (size_t i = 0; i < bound.size(); ++i) {
    FBModelTemplate* modelTemplate = bound[i].first;
    FBModel* model = bound[i].second;
    bool stillBound = false;
    {
      kovrim::MutexLock lock(&Scene().mMutex);
      stillBound =
          Scene().mTemplates.count(modelTemplate) != 0 && modelTemplate->mLocalPtr->mModel == model;
    }
    if (stillBound) device->ModelTemplateBindNotify(model, static_cast<int>(i), modelTemplate);
  }
  return true;
}

void UnbindSkeleton(FBDevice* device) {
  if (!device) return;
  std::vector<FBModelTemplate*> bound;
  {
    kovrim::MutexLock lock(&Scene().mMutex);
    FBModelTemplate* rootTemplate = RootTemplateLocked(device);
    if (!rootTemplate) return;
    std::vector<FBModelTemplate*> tree;
    CollectPreOrderLocked(rootTemplate, tree);
    for (FBModelTemplate* modelTemplate : tree) {
      if (modelTemplate->mLocalPtr->mModel) bound.push_back(modelTemplate);
    }
  }
  for (size_t i = 0; i < bound.size(); ++i) {
    bool stillBound = false;
    {
      kovrim::MutexLock lock(&Scene().mMutex);
      stillBound = Scene().mTemplates.count(bound[i]) != 0 && bound[i]->mLocalPtr->mModel;
    }
    // Plug-in code, no host lock held; the template still has its model.
    if (stillBound) device->ModelTemplateUnBindNotify(static_cast<int>(i), bound[i]);
  }
  kovrim::MutexLock lock(&Scene().mMutex);
  for (FBModelTemplate* modelTemplate : bound) {
    if (Scene().mTemplates.count(modelTemplate)) {
      fbsdk_internal::BindTemplateLocked(modelTemplate, nullptr);
    }
  }
  // Templates bound meanwhile under the same root are released too.
  if (FBModelTemplate* rootTemplate = RootTemplateLocked(device)) {
    std::vector<FBModelTemplate*> tree;
    CollectPreOrderLocked(rootTemplate, tree);
    for (FBModelTemplate* modelTemplate : tree) {
      fbsdk_internal::BindTemplateLocked(modelTemplate, nullptr);
    }
  }
}

FBModelTemplate* TemplateParent(FBModelTemplate* modelTemplate) {
  if (!modelTemplate) return nullptr;
  kovrim::MutexLock lock(&Scene().mMutex);
  return modelTemplate->mLocalPtr->mParent;
}

FBModelTemplateStyle TemplateStyle(FBModelTemplate* modelTemplate) {
  if (!modelTemplate) return kFBModelTemplateNone;
  kovrim::MutexLock lock(&Scene().mMutex);
  return modelTemplate->mLocalPtr->mStyle;
}

FBModelTemplate* NodeTemplate(FBAnimationNode* node) {
  if (!node || !fbsdk_internal::IsTrackedComponent(node)) return nullptr;
  kovrim::MutexLock lock(&Scene().mMutex);
  return node->mLocalPtr->mLive ? node->mLocalPtr->mTemplate : nullptr;
}

const char* NodeDataType(FBAnimationNode* node) {
  if (!node || !fbsdk_internal::IsTrackedComponent(node)) return "";
  kovrim::MutexLock lock(&Scene().mMutex);
  return node->mLocalPtr->mDataType.c_str();
}

void SetTransportMode(FBTransportMode mode) { Scene().mTransportMode.store(mode); }

void StartRecording() { Scene().mRecording.store(true); }

void StopRecording() { Scene().mRecording.store(false); }

void SetCurrentTime(FBTime time) { Scene().mCurrentTime.store(time.Get()); }

std::vector<RecordedKey> RecordedKeys(FBModel* model, const char* dataType) {
  std::vector<RecordedKey> keys;
  kovrim::MutexLock lock(&Scene().mMutex);
  if (!dataType || !fbsdk_internal::IsSceneModelLocked(model)) return keys;
  FBPropertyAnimatable* channel = fbsdk_internal::ChannelOf(model, dataType);
  if (!channel || !channel->mLocalPtr->mNode) return keys;
  for (const KeyData& data : channel->mLocalPtr->mNode->mLocalPtr->mKeys) {
    RecordedKey key;
    key.mTime = data.mTime;
    for (int i = 0; i < 3; ++i) key.mValue[i] = data.mValue[i];
    key.mInterpolation = data.mInterpolation;
    key.mTangentMode = data.mTangentMode;
    keys.push_back(key);
  }
  return keys;
}

// The control API's HostCall names the internal one, enumerator for enumerator.
namespace {
constexpr bool Same(HostCall pCall, fbsdk_internal::HostCall pInternal) {
  return static_cast<int>(pCall) == static_cast<int>(pInternal);
}
}  // namespace
static_assert(Same(HostCall::kWriteData, fbsdk_internal::HostCall::kWriteData), "HostCall");
static_assert(Same(HostCall::kKeyAdd, fbsdk_internal::HostCall::kKeyAdd), "HostCall");
static_assert(Same(HostCall::kNodeCreate, fbsdk_internal::HostCall::kNodeCreate), "HostCall");
static_assert(Same(HostCall::kNodeDestroy, fbsdk_internal::HostCall::kNodeDestroy), "HostCall");
static_assert(Same(HostCall::kTemplateCreate, fbsdk_internal::HostCall::kTemplateCreate),
              "HostCall");
static_assert(Same(HostCall::kTemplateDestroy, fbsdk_internal::HostCall::kTemplateDestroy),
              "HostCall");

void SetHostCallHook(HostCallHook hook) {
  SceneState& scene = Scene();
  std::shared_ptr<const fbsdk_internal::HostCallHook> stored;
  if (hook) {
    stored = std::make_shared<const fbsdk_internal::HostCallHook>(
        [hook = std::move(hook)](fbsdk_internal::HostCall pCall, const void* pObject) {
          hook(static_cast<HostCall>(pCall), pObject);
        });
  }
  kovrim::MutexLock lock(&scene.mHookMutex);
  scene.mHook = std::move(stored);
  scene.mHookSet.store(scene.mHook != nullptr);
}

bool IsLiveComponent(const void* p) { return p && fbsdk_internal::IsTrackedComponent(p); }

int LiveComponentCount() { return fbsdk_internal::TrackedComponentCount(); }

}  // namespace fbsdk_control

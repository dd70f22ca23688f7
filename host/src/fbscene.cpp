// The scene engine state: helpers over the scene lock, the evaluation gate, the transport
// (FBPlayerControl) and the scene part of ResetHost.
#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "scene_state.h"

namespace fbsdk_internal {

using namespace FBSDKNamespace;

SceneState& Scene() {
  static SceneState* scene = new SceneState;  // Leaked: device threads may outlive statics.
  return *scene;
}

FBEvaluateInfo HostAccess::MakeEvaluateInfo(FBTime pLocalTime, int pEvaluationId) {
  FBEvaluateInfo info;
  info.mLocalTime = pLocalTime;
  info.mSystemTime = SystemTime();
  info.mStop = Scene().mTransportMode.load() != kFBTransportPlay;
  info.mEvaluationID = pEvaluationId;
  return info;
}

FBDeviceNotifyInfo HostAccess::MakeNotifyInfo(FBTime pLocalTime) {
  FBDeviceNotifyInfo info;
  info.mEvaluateInfo = MakeEvaluateInfo(pLocalTime, Scene().mNextEvaluationId.fetch_add(1));
  return info;
}

FBTime SystemTime() {
  static const auto start = std::chrono::steady_clock::now();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  FBTime time;
  time.SetSecondDouble(seconds);
  return time;
}

FBPropertyAnimatable* ChannelOf(FBModel* pModel, const std::string& pDataType) {
  if (!pModel) return nullptr;
  if (pDataType == ANIMATIONNODE_TYPE_LOCAL_TRANSLATION) return &pModel->Translation;
  if (pDataType == ANIMATIONNODE_TYPE_LOCAL_ROTATION) return &pModel->Rotation;
  if (pDataType == ANIMATIONNODE_TYPE_LOCAL_SCALING) return &pModel->Scaling;
  return nullptr;
}

int DataTypeCount(const std::string& pDataType) {
  static const char* const kVectors[] = {ANIMATIONNODE_TYPE_VECTOR,
                                         ANIMATIONNODE_TYPE_COLOR,
                                         ANIMATIONNODE_TYPE_LOCAL_TRANSLATION,
                                         ANIMATIONNODE_TYPE_LOCAL_ROTATION,
                                         ANIMATIONNODE_TYPE_LOCAL_SCALING,
                                         ANIMATIONNODE_TYPE_TRANSLATION,
                                         ANIMATIONNODE_TYPE_ROTATION,
                                         ANIMATIONNODE_TYPE_SCALING};
  if (pDataType == ANIMATIONNODE_TYPE_VECTOR_4) return 4;
  for (const char* type : kVectors) {
    if (pDataType == type) return 3;
  }
  return 1;
}

bool IsSceneModelLocked(FBModel* pModel) {
  if (!pModel) return false;
  const auto end = Scene().mModels.end();
  return std::find(Scene().mModels.begin(), end, pModel) != end;
}

void BindTemplateLocked(FBModelTemplate* pTemplate, FBModel* pModel) {
  DataFBModelTemplate* data = pTemplate->mLocalPtr;
  if (data->mModel == pModel) return;
  if (FBModel* old = data->mModel) {
    std::vector<FBModelTemplate*>& bound = old->mLocalPtr->mTemplates;
    bound.erase(std::remove(bound.begin(), bound.end(), pTemplate), bound.end());
  }
  data->mModel = pModel;
  if (pModel) pModel->mLocalPtr->mTemplates.push_back(pTemplate);
}

void UnbindNodeLocked(FBAnimationNode* pNode) {
  FBModelTemplate* modelTemplate = pNode->mLocalPtr->mTemplate;
  if (!modelTemplate) return;
  std::vector<FBAnimationNode*>& bindings = modelTemplate->mLocalPtr->mBindings;
  bindings.erase(std::remove(bindings.begin(), bindings.end(), pNode), bindings.end());
  pNode->mLocalPtr->mTemplate = nullptr;
}

void AddKeyLocked(DataFBAnimationNode* pNode, const FBTime& pTime, const double* pData,
                  FBInterpolation pInterpolation, FBTangentMode pTangentMode) {
  KeyData key;
  key.mTime = pTime;
  for (int i = 0; i < 4; ++i) key.mValue[i] = i < pNode->mCount ? pData[i] : 0.0;
  key.mInterpolation = pInterpolation;
  key.mTangentMode = pTangentMode;
  std::deque<KeyData>& keys = pNode->mKeys;
  auto it = std::lower_bound(keys.begin(), keys.end(), pTime.Get(),
                             [](const KeyData& k, kLongLong t) { return k.mTime.Get() < t; });
  if (it != keys.end() && it->mTime.Get() == pTime.Get()) {
    *it = key;  // A key at the same time is replaced.
  } else {
    keys.insert(it, key);
  }
}

// ---- Evaluation gate ----

namespace {

thread_local int tCurrentPass = -1;

}  // namespace

int CurrentPassOnThisThread() { return tCurrentPass; }

void SetCurrentPassOnThisThread(int pPass) { tCurrentPass = pPass; }

void BeginEvaluationPass() {
  SceneState& scene = Scene();
  kovrim::MutexLock lock(&scene.mGateMutex);
  ++scene.mWaiting;
  scene.mGateChanged.NotifyAll();
  while (scene.mPauseDepth != 0) scene.mGateChanged.Wait(&scene.mGateMutex);
  --scene.mWaiting;
  ++scene.mInFlight;
}

void EndEvaluationPass() {
  SceneState& scene = Scene();
  std::vector<FBAnimationNode*> freed;
  {
    kovrim::MutexLock lock(&scene.mGateMutex);
    --scene.mInFlight;
    if (scene.mInFlight == 0) freed.swap(scene.mDestroyedNodes);
  }
  scene.mGateChanged.NotifyAll();
  for (FBAnimationNode* node : freed) delete node;
}

void ReleaseDestroyedNode(FBAnimationNode* pNode) {
  SceneState& scene = Scene();
  // A pass picks its nodes after it is counted in flight and only from the box's live lists, so
  // once the node is unlinked, no pass counted later can reach it.
  {
    kovrim::MutexLock lock(&scene.mGateMutex);
    if (scene.mInFlight != 0) {
      scene.mDestroyedNodes.push_back(pNode);
      return;
    }
  }
  delete pNode;
}

int PendingDestroyedNodeCount() {
  kovrim::MutexLock lock(&Scene().mGateMutex);
  return static_cast<int>(Scene().mDestroyedNodes.size());
}

void PauseEvaluation() {
  SceneState& scene = Scene();
  kovrim::MutexLock lock(&scene.mGateMutex);
  ++scene.mPauseDepth;
  scene.mGateChanged.NotifyAll();
  // From inside a pass, waiting for running passes would wait for ourselves (or for another
  // pass pausing likewise): only new passes are held back then.
  if (tCurrentPass >= 0) return;
  while (scene.mInFlight != 0) scene.mGateChanged.Wait(&scene.mGateMutex);
}

void ResumeEvaluation() {
  SceneState& scene = Scene();
  {
    kovrim::MutexLock lock(&scene.mGateMutex);
    if (scene.mPauseDepth > 0) --scene.mPauseDepth;
  }
  scene.mGateChanged.NotifyAll();
}

void RunHostCallHook(HostCall pCall, const void* pObject) {
  SceneState& scene = Scene();
  if (!scene.mHookSet.load()) return;
  std::shared_ptr<const HostCallHook> hook;
  {
    kovrim::MutexLock lock(&scene.mHookMutex);
    hook = scene.mHook;
  }
  // The copy keeps the hook alive while it runs, even if it is replaced meanwhile.
  if (hook) (*hook)(pCall, pObject);
}

void ResetScene() {
  SceneState& scene = Scene();
  {
    kovrim::MutexLock lock(&scene.mHookMutex);
    scene.mHook.reset();
    scene.mHookSet.store(false);
  }
  std::vector<FBModel*> models;
  {
    kovrim::MutexLock lock(&scene.mMutex);
    models = scene.mModels;
  }
  for (FBModel* model : models) {
    if (IsTrackedComponent(model)) delete model;
  }
  std::vector<FBAnimationNode*> retired;
  {
    kovrim::MutexLock lock(&scene.mMutex);
    retired.swap(scene.mRetiredNodes);
  }
  for (FBAnimationNode* node : retired) {
    if (IsTrackedComponent(node)) delete node;
  }
  std::vector<FBAnimationNode*> destroyed;
  {
    kovrim::MutexLock lock(&scene.mGateMutex);
    destroyed.swap(scene.mDestroyedNodes);
  }
  for (FBAnimationNode* node : destroyed) {
    if (IsTrackedComponent(node)) delete node;
  }
  scene.mRecording.store(false);
  scene.mTransportMode.store(kFBTransportStop);
  scene.mCurrentTime.store(0);
  {
    kovrim::MutexLock lock(&scene.mGateMutex);
    scene.mPauseDepth = 0;
  }
  scene.mGateChanged.NotifyAll();
}

}  // namespace fbsdk_internal

namespace FBSDKNamespace {

using fbsdk_internal::Scene;

namespace {

bool IsRecordingGet(void*) { return Scene().mRecording.load(); }

bool IsPlayingGet(void*) { return Scene().mTransportMode.load() == kFBTransportPlay; }

}  // namespace

FBPlayerControl::FBPlayerControl(HIObject pObject) : FBComponent(pObject), mLocalPtr(nullptr) {
  IsRecording.Init(this, "IsRecording", &IsRecordingGet);
  IsPlaying.Init(this, "IsPlaying", &IsPlayingGet);
  PropertyList.Add(&IsRecording);
  PropertyList.Add(&IsPlaying);
}

FBPlayerControl::~FBPlayerControl() {}

FBPlayerControl& FBPlayerControl::TheOne() {
  // Built in static storage and never destroyed: device threads may use it during exit, and it
  // is not a tracked component.
  alignas(FBPlayerControl) static unsigned char storage[sizeof(FBPlayerControl)];
  static FBPlayerControl* instance = ::new (storage) FBPlayerControl();
  return *instance;
}

FBTransportMode FBPlayerControl::GetTransportMode() {
  return static_cast<FBTransportMode>(Scene().mTransportMode.load());
}

void FBPlayerControl::EvaluationPause() { fbsdk_internal::PauseEvaluation(); }

void FBPlayerControl::EvaluationResume() { fbsdk_internal::ResumeEvaluation(); }

bool FBPlayerControl::Play(bool) {
  Scene().mTransportMode.store(kFBTransportPlay);
  return true;
}

bool FBPlayerControl::Stop() {
  Scene().mTransportMode.store(kFBTransportStop);
  Scene().mRecording.store(false);
  return true;
}

bool FBPlayerControl::Goto(FBTime pTime) {
  Scene().mCurrentTime.store(pTime.Get());
  return true;
}

bool FBPlayerControl::Record(bool, bool) {
  Scene().mRecording.store(true);
  return true;
}

}  // namespace FBSDKNamespace

// The host's scene engine state: the private data behind components (the Data* classes), the
// scene lock that guards every relation between them (template tree, bindings, node ownership,
// model tree, channel values, keys), the transport and the evaluation gate. One scene lock keeps
// the rules simple: it is held only for short copies and never while calling a plug-in virtual
// or taking another host lock except the property lock (scene lock first, property lock second).
#ifndef FBSDK_SRC_SCENE_STATE_H_
#define FBSDK_SRC_SCENE_STATE_H_

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbcore.h>
#include <fbsdk/fbdata.h>
#include <fbsdk/fbmodel.h>
#include <fbsdk/fbplayercontrol.h>

#include "thread_annotations.h"

namespace fbsdk_internal {

// The host calls a test hook can stop in, with the object each passes to the hook. The control
// API maps its own HostCall on these (same names and order).
enum class HostCall {
  kWriteData,        // FBAnimationNode::WriteData; the node.
  kKeyAdd,           // FBAnimationNode::KeyAdd, either form (once per key); the node.
  kNodeCreate,       // FBBox::AnimationNodeInCreate / AnimationNodeOutCreate; the box.
  kNodeDestroy,      // FBBox::AnimationNodeDestroy; the node.
  kTemplateCreate,   // An FBModelTemplate constructor, once the template is made; the template.
  kTemplateDestroy,  // The FBModelTemplate destructor, before anything is undone; the template.
};
using HostCallHook = std::function<void(HostCall pCall, const void* pObject)>;

struct SceneState {
  kovrim::Mutex mMutex;  // The scene lock.
  std::vector<FBSDKNamespace::FBModel*> mModels GUARDED_BY(mMutex);
  std::unordered_set<FBSDKNamespace::FBModelTemplate*> mTemplates GUARDED_BY(mMutex);  // Live.
  std::vector<FBSDKNamespace::FBDevice*> mDevices GUARDED_BY(mMutex);  // Live, in creation order.
  std::vector<FBSDKNamespace::FBAnimationNode*> mRetiredNodes GUARDED_BY(mMutex);
  // Every live FBPropertyListObject, so a deleted component can leave them.
  std::unordered_set<FBSDKNamespace::FBPropertyListObject*> mObjectLists GUARDED_BY(mMutex);

  std::atomic<int> mTransportMode{FBSDKNamespace::kFBTransportStop};
  std::atomic<bool> mRecording{false};
  std::atomic<kLongLong> mCurrentTime{0};
  std::atomic<int> mNextEvaluationId{1};

  // The evaluation gate.
  kovrim::Mutex mGateMutex;
  kovrim::CondVar mGateChanged;
  int mPauseDepth GUARDED_BY(mGateMutex) = 0;
  int mWaiting GUARDED_BY(mGateMutex) = 0;   // Passes blocked by a pause.
  int mInFlight GUARDED_BY(mGateMutex) = 0;  // Passes running.
  // Destroyed box nodes a running pass may still hold; freed when no pass runs.
  std::vector<FBSDKNamespace::FBAnimationNode*> mDestroyedNodes GUARDED_BY(mGateMutex);

  // The host-call hook (test control). mHookSet lets the hot calls skip the lock when none is set.
  kovrim::Mutex mHookMutex;
  std::shared_ptr<const HostCallHook> mHook GUARDED_BY(mHookMutex);
  std::atomic<bool> mHookSet{false};
};

// The single instance (created on first use, intentionally leaked).
SceneState& Scene();

// The property lock: serialises stored property values and the caches behind them. Taken after
// the scene lock, never before it. fbsdk_internal::PropertyValueLock holds it as well.
kovrim::Mutex& PropertyMutex();

}  // namespace fbsdk_internal

// What the scene lock guards: every member of the Data* classes below that is not atomic or set
// before the object is shared.
#define GUARDED_BY_SCENE_LOCK GUARDED_BY(fbsdk_internal::Scene().mMutex)

namespace FBSDKNamespace {

class DataFBComponent {
 public:
  std::atomic<int> mStatus{0};  // FBObjectStatus bits.
  std::string mNameSpace;       // Set before the object is shared.
  FBString mLongName GUARDED_BY(fbsdk_internal::PropertyMutex());  // Cache behind LongName.
};

class DataFBBox {
 public:
  // Every live node the box made; freed with the box. A destroyed node leaves it and is freed
  // once no evaluation pass can still hold it (ReleaseDestroyedNode).
  std::vector<FBAnimationNode*> mAllNodes GUARDED_BY_SCENE_LOCK;
  std::vector<FBAnimationNode*> mOutNodes GUARDED_BY_SCENE_LOCK;  // Live, in creation order.
  std::vector<FBAnimationNode*> mInNodes GUARDED_BY_SCENE_LOCK;   // Live, in creation order.
};

class DataFBDevice {
 public:
  std::atomic<bool> mOnline{false};
  std::atomic<long> mSamplesReceived{0};
  std::atomic<long> mBadSamples{0};
  std::atomic<long> mSamplesSent{0};
};

class DataFBModelTemplate {
 public:
  FBModelTemplate* mParent GUARDED_BY_SCENE_LOCK = nullptr;
  std::vector<FBModelTemplate*> mChildren GUARDED_BY_SCENE_LOCK;
  std::vector<FBAnimationNode*> mBindings GUARDED_BY_SCENE_LOCK;
  FBModel* mModel GUARDED_BY_SCENE_LOCK = nullptr;
  FBModelTemplateStyle mStyle GUARDED_BY_SCENE_LOCK = kFBModelTemplateNone;
};

struct KeyData {
  FBTime mTime;
  double mValue[4];
  FBInterpolation mInterpolation;
  FBTangentMode mTangentMode;
};

class DataFBAnimationNode {
 public:
  // False once destroyed or retired: the node is inert.
  bool mLive GUARDED_BY_SCENE_LOCK = true;
  bool mOutput GUARDED_BY_SCENE_LOCK = false;  // An output node of mOwner.
  // The box owning its memory, NULL for free and take nodes.
  FBBox* mOwner GUARDED_BY_SCENE_LOCK = nullptr;
  std::string mDataType GUARDED_BY_SCENE_LOCK = ANIMATIONNODE_TYPE_NUMBER;
  int mCount GUARDED_BY_SCENE_LOCK = 1;  // Doubles in the value.
  double mValue[4] GUARDED_BY_SCENE_LOCK = {0, 0, 0, 0};
  bool mHasValue GUARDED_BY_SCENE_LOCK = false;
  int mWrittenPass GUARDED_BY_SCENE_LOCK = -1;  // Evaluation pass of the last WriteData.
  FBModelTemplate* mTemplate GUARDED_BY_SCENE_LOCK = nullptr;      // The template it is bound to.
  FBPropertyAnimatable* mChannel GUARDED_BY_SCENE_LOCK = nullptr;  // For a take node: its channel.
  // Sorted by time. A deque: keys are appended in blocks, never copied to grow, so a device that
  // keys thousands of nodes in one notification does not pay for all of them moving at once.
  std::deque<KeyData> mKeys GUARDED_BY_SCENE_LOCK;
};

class DataFBModel {
 public:
  FBModel* mParent GUARDED_BY_SCENE_LOCK = nullptr;
  std::vector<FBModel*> mChildren GUARDED_BY_SCENE_LOCK;
  std::vector<FBModelTemplate*> mTemplates GUARDED_BY_SCENE_LOCK;  // Templates bound to this model.
};

class DataFBPropertyListObject {
 public:
  std::vector<FBComponent*> mItems GUARDED_BY_SCENE_LOCK;
  bool mSingleConnect GUARDED_BY_SCENE_LOCK = false;
  int mFilter GUARDED_BY_SCENE_LOCK = 0;
};

class DataFBModelNull {};
class DataFBModelRoot {};
class DataFBModelSkeleton {};
class DataFBPlayerControl {};
class DataFBTCPIP {};

class DataFBPropertyAnimatable {
 public:
  FBBox* mOwner GUARDED_BY_SCENE_LOCK = nullptr;
  std::string mDataType GUARDED_BY_SCENE_LOCK;
  int mCount GUARDED_BY_SCENE_LOCK = 3;
  double mValue[4] GUARDED_BY_SCENE_LOCK = {0, 0, 0, 0};
  bool mAnimated GUARDED_BY_SCENE_LOCK = false;
  // The take node, made by Init; retired with the channel.
  FBAnimationNode* mNode GUARDED_BY_SCENE_LOCK = nullptr;
};

}  // namespace FBSDKNamespace

namespace fbsdk_internal {

// The private side of SDK objects the host builds or wires.
struct HostAccess {
  static void SetParent(FBSDKNamespace::FBProperty& pProperty, void* pParent) {
    pProperty.mParent = pParent;
  }
  static void* Parent(const FBSDKNamespace::FBProperty& pProperty) { return pProperty.mParent; }
  static FBSDKNamespace::FBEvaluateInfo MakeEvaluateInfo(FBSDKNamespace::FBTime pLocalTime,
                                                         int pEvaluationId);
  static FBSDKNamespace::FBDeviceNotifyInfo MakeNotifyInfo(FBSDKNamespace::FBTime pLocalTime);
};

// Host clock as FBTime (monotonic, from process start).
FBSDKNamespace::FBTime SystemTime();

// The channel of model carrying data type pDataType ("Lcl Translation", ...), NULL if none.
FBSDKNamespace::FBPropertyAnimatable* ChannelOf(FBSDKNamespace::FBModel* pModel,
                                                const std::string& pDataType);
// Doubles in a value of pDataType.
int DataTypeCount(const std::string& pDataType);

// Scene-lock helpers, called with the scene lock held.
bool IsSceneModelLocked(FBSDKNamespace::FBModel* pModel) REQUIRES(Scene().mMutex);
void BindTemplateLocked(FBSDKNamespace::FBModelTemplate* pTemplate, FBSDKNamespace::FBModel* pModel)
    REQUIRES(Scene().mMutex);
void UnbindNodeLocked(FBSDKNamespace::FBAnimationNode* pNode) REQUIRES(Scene().mMutex);
void AddKeyLocked(FBSDKNamespace::DataFBAnimationNode* pNode, const FBSDKNamespace::FBTime& pTime,
                  const double* pData, FBSDKNamespace::FBInterpolation pInterpolation,
                  FBSDKNamespace::FBTangentMode pTangentMode) REQUIRES(Scene().mMutex);

// Evaluation gate. BeginEvaluationPass waits while evaluation is paused; EvaluationPause waits
// until no pass from another thread runs.
void BeginEvaluationPass() EXCLUDES(Scene().mGateMutex);
void EndEvaluationPass() EXCLUDES(Scene().mGateMutex);
void PauseEvaluation() EXCLUDES(Scene().mGateMutex);
// Frees pNode, a box node already unlinked from its box, its template and every scene list, at
// once when no evaluation pass runs, else when the last running pass ends: a pass started before
// the unlink may still hold the pointer. Called with no host lock held.
void ReleaseDestroyedNode(FBSDKNamespace::FBAnimationNode* pNode)
    EXCLUDES(Scene().mMutex, Scene().mGateMutex, Scene().mHookMutex);
// Box nodes destroyed but not freed yet.
int PendingDestroyedNodeCount() EXCLUDES(Scene().mGateMutex);
void ResumeEvaluation() EXCLUDES(Scene().mGateMutex);
// The pass the calling thread is running (-1 outside a pass).
int CurrentPassOnThisThread();
void SetCurrentPassOnThisThread(int pPass);

// Runs the host-call hook, if one is set, for pCall on pObject. Called with no host lock held.
void RunHostCallHook(HostCall pCall, const void* pObject)
    EXCLUDES(Scene().mMutex, Scene().mGateMutex, Scene().mHookMutex);

// Whether p points into a live block of FBComponent::operator new, and how many there are.
bool IsTrackedComponent(const void* p);
int TrackedComponentCount();

// Arms the next component constructed on this thread to start with kFBStatusCreating.
void ArmCreatingStatus(bool pArmed);

// Scene part of ResetHost.
void ResetScene();

}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_SCENE_STATE_H_

// The host's scene engine state: the private data behind components (the Data* classes), the
// scene lock that guards every relation between them (template tree, bindings, node ownership,
// model tree, channel values, keys), the transport and the evaluation gate. One scene lock keeps
// the rules simple: it is held only for short copies and never while calling a plug-in virtual
// or taking another host lock except the property lock (scene lock first, property lock second).
#ifndef FBSDK_SRC_SCENE_STATE_H_
#define FBSDK_SRC_SCENE_STATE_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbcore.h>
#include <fbsdk/fbdata.h>
#include <fbsdk/fbmodel.h>
#include <fbsdk/fbplayercontrol.h>

namespace FBSDKNamespace {

class DataFBComponent {
 public:
  std::atomic<int> mStatus{0};  // FBObjectStatus bits.
  std::string mNameSpace;       // Set before the object is shared.
  FBString mLongName;           // Cache behind LongName; guarded by the property lock.
};

class DataFBBox {
 public:
  // Every live node the box made; freed with the box. A destroyed node leaves it and is freed
  // once no evaluation pass can still hold it (ReleaseDestroyedNode).
  std::vector<FBAnimationNode*> mAllNodes;
  std::vector<FBAnimationNode*> mOutNodes;  // Live output nodes, in creation order.
  std::vector<FBAnimationNode*> mInNodes;   // Live input nodes, in creation order.
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
  FBModelTemplate* mParent = nullptr;
  std::vector<FBModelTemplate*> mChildren;
  std::vector<FBAnimationNode*> mBindings;
  FBModel* mModel = nullptr;
  FBModelTemplateStyle mStyle = kFBModelTemplateNone;
};

struct KeyData {
  FBTime mTime;
  double mValue[4];
  FBInterpolation mInterpolation;
  FBTangentMode mTangentMode;
};

class DataFBAnimationNode {
 public:
  bool mLive = true;        // False once destroyed or retired: the node is inert.
  bool mOutput = false;     // An output node of mOwner.
  FBBox* mOwner = nullptr;  // The box owning its memory, NULL for free and take nodes.
  std::string mDataType = ANIMATIONNODE_TYPE_NUMBER;
  int mCount = 1;  // Doubles in the value.
  double mValue[4] = {0, 0, 0, 0};
  bool mHasValue = false;
  int mWrittenPass = -1;                     // Evaluation pass of the last WriteData.
  FBModelTemplate* mTemplate = nullptr;      // The template it is bound to.
  FBPropertyAnimatable* mChannel = nullptr;  // For a take node: its channel.
  // Sorted by time. A deque: keys are appended in blocks, never copied to grow, so a device that
  // keys thousands of nodes in one notification does not pay for all of them moving at once.
  std::deque<KeyData> mKeys;
};

class DataFBModel {
 public:
  FBModel* mParent = nullptr;
  std::vector<FBModel*> mChildren;
  std::vector<FBModelTemplate*> mTemplates;  // Templates bound to this model.
};

class DataFBPropertyListObject {
 public:
  std::vector<FBComponent*> mItems;  // Guarded by the scene lock.
  bool mSingleConnect = false;
  int mFilter = 0;
};

class DataFBModelNull {};
class DataFBModelRoot {};
class DataFBModelSkeleton {};
class DataFBPlayerControl {};
class DataFBTCPIP {};

class DataFBPropertyAnimatable {
 public:
  FBBox* mOwner = nullptr;
  std::string mDataType;
  int mCount = 3;
  double mValue[4] = {0, 0, 0, 0};
  bool mAnimated = false;
  FBAnimationNode* mNode = nullptr;  // The take node, made by Init; retired with the channel.
};

}  // namespace FBSDKNamespace

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
  std::mutex mMutex;                                                // The scene lock.
  std::vector<FBSDKNamespace::FBModel*> mModels;                    // Guarded by mMutex.
  std::unordered_set<FBSDKNamespace::FBModelTemplate*> mTemplates;  // Live; guarded by mMutex.
  std::vector<FBSDKNamespace::FBDevice*> mDevices;  // Live, in creation order; guarded by mMutex.
  std::vector<FBSDKNamespace::FBAnimationNode*> mRetiredNodes;      // Guarded by mMutex.
  // Every live FBPropertyListObject, so a deleted component can leave them; guarded by mMutex.
  std::unordered_set<FBSDKNamespace::FBPropertyListObject*> mObjectLists;

  std::atomic<int> mTransportMode{FBSDKNamespace::kFBTransportStop};
  std::atomic<bool> mRecording{false};
  std::atomic<kLongLong> mCurrentTime{0};
  std::atomic<int> mNextEvaluationId{1};

  // The evaluation gate.
  std::mutex mGateMutex;
  std::condition_variable mGateChanged;
  int mPauseDepth = 0;  // Guarded by mGateMutex.
  int mWaiting = 0;     // Passes blocked by a pause; guarded by mGateMutex.
  int mInFlight = 0;    // Passes running; guarded by mGateMutex.
  // Destroyed box nodes a running pass may still hold; freed when no pass runs. Guarded by
  // mGateMutex.
  std::vector<FBSDKNamespace::FBAnimationNode*> mDestroyedNodes;

  // The host-call hook (test control). mHookSet lets the hot calls skip the lock when none is set.
  std::mutex mHookMutex;
  std::shared_ptr<const HostCallHook> mHook;  // Guarded by mHookMutex.
  std::atomic<bool> mHookSet{false};
};

// The single instance (created on first use, intentionally leaked).
SceneState& Scene();

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

// Scene-lock helpers. REQUIRES: Scene().mMutex held.
bool IsSceneModelLocked(FBSDKNamespace::FBModel* pModel);
void BindTemplateLocked(FBSDKNamespace::FBModelTemplate* pTemplate,
                        FBSDKNamespace::FBModel* pModel);
void UnbindNodeLocked(FBSDKNamespace::FBAnimationNode* pNode);
void AddKeyLocked(FBSDKNamespace::DataFBAnimationNode* pNode, const FBSDKNamespace::FBTime& pTime,
                  const double* pData, FBSDKNamespace::FBInterpolation pInterpolation,
                  FBSDKNamespace::FBTangentMode pTangentMode);

// Evaluation gate. BeginEvaluationPass waits while evaluation is paused; EvaluationPause waits
// until no pass from another thread runs.
void BeginEvaluationPass();
void EndEvaluationPass();
void PauseEvaluation();
// Frees pNode, a box node already unlinked from its box, its template and every scene list, at
// once when no evaluation pass runs, else when the last running pass ends: a pass started before
// the unlink may still hold the pointer. REQUIRES: no host lock held.
void ReleaseDestroyedNode(FBSDKNamespace::FBAnimationNode* pNode);
// Box nodes destroyed but not freed yet.
int PendingDestroyedNodeCount();
void ResumeEvaluation();
// The pass the calling thread is running (-1 outside a pass).
int CurrentPassOnThisThread();
void SetCurrentPassOnThisThread(int pPass);

// Runs the host-call hook, if one is set, for pCall on pObject. REQUIRES: no host lock held.
void RunHostCallHook(HostCall pCall, const void* pObject);

// Whether p points into a live block of FBComponent::operator new, and how many there are.
bool IsTrackedComponent(const void* p);
int TrackedComponentCount();

// Arms the next component constructed on this thread to start with kFBStatusCreating.
void ArmCreatingStatus(bool pArmed);

// Scene part of ResetHost.
void ResetScene();

}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_SCENE_STATE_H_

// Test control of the host's scene and device engine: create and destroy devices as the host
// does, run device I/O and evaluation passes, build scene models, bind a skeleton to a device's
// templates, drive the transport and read recorded keys. State lives inside libfbsdk.so.
// Every function is thread-safe and calls plug-in virtuals only with no host lock held, on the
// calling thread. A headless host may load a plug-in library with dlopen (its constructor runs
// the library entry) and call LIBRARY_INIT (C name) and EntryPoint<LibName> (C++ name) again.
#ifndef FBSDK_CONTROL_SCENE_CONTROL_H_
#define FBSDK_CONTROL_SCENE_CONTROL_H_

#include <chrono>
#include <functional>
#include <vector>

#include <fbsdk/fbcore.h>
#include <fbsdk/fbmodel.h>
#include <fbsdk/fbplayercontrol.h>
#include <fbsdk/fbtime.h>

namespace fbsdk_control {

// ---- Devices ----

// Creates the device registered under "Boxes/Devices" / label, named name (FBCreateObject);
// NULL when there is no such record, the creator failed or the object is not a device.
FBSDKNamespace::FBDevice* CreateDevice(const char* label, const char* name);
// Destroys a device as the host does: marks it kFBStatusDestroying, stops the real-time threads
// running for it (StopRealTimeThreadsOf, realtime_threads.h: the host stops calling a device
// before it destroys it, waiting only for the callback in flight), sets Online false if it is
// online (DeviceOperation(kOpStop)), releases its skeleton binding (UnbindSkeleton), sends
// DeviceOperation(kOpDone), calls FBDestroy and deletes it. NULL is ignored. User-interface
// thread. REQUIRES: the device's pages destroyed (the host closes a device's page first), and no
// pass on it from a thread other than its RealTimeThreads (RunDeviceIO, EvaluateDevice).
void DestroyDevice(FBSDKNamespace::FBDevice* device);
// Devices alive, in creation order.
std::vector<FBSDKNamespace::FBDevice*> SceneDevices();

// ---- A new scene (File > New) ----

// Clears the scene as the host does for a new scene, in the host's order. First every device (with
// the templates of its tree), every scene model and every character is marked kFBStatusClearing.
// Then each device's skeleton binding is released (UnbindSkeleton: ModelTemplateUnBindNotify is
// called with the device's status set), with its real-time threads still running. Then each device
// is destroyed (DestroyDevice: its threads stopped first, taken offline, kOpDone, FBDestroy,
// deleted), then each scene model and then each character, each marked kFBStatusDestroying as it
// is destroyed. Devices, models and characters go in creation order. User-interface thread.
// REQUIRES: the devices' pages destroyed, as for DestroyDevice.
void NewScene();

// One device I/O notification on the caller's thread, at scene time localTime.
void RunDeviceIO(
    FBSDKNamespace::FBDevice* device, FBSDKNamespace::FBTime localTime,
    FBSDKNamespace::FBDevice::kDeviceIOs action = FBSDKNamespace::FBDevice::kIOPlayModeRead);
// AckOneSampleReceived calls of the device so far.
long SamplesAcknowledged(FBSDKNamespace::FBDevice* device);

// One evaluation pass of the device at localTime, on the caller's thread, as the host runs it:
// waits while evaluation is paused; picks the live output nodes whose template is bound to a
// model; then, in that order, each model's channel pulls its node: AnimationNodeNotify is called
// for a node only when it holds no data written with this pass's FBEvaluateInfo yet, so a node
// that an earlier notification of the same pass wrote is read, not notified again (a box that
// writes every output node in one notification is notified once per pass), while a node written
// in an earlier pass is notified again. A node left unwritten after its notification is not
// asked again in the pass and its model keeps the value it had. Last, each value written during
// this pass is copied onto its model's local channel of the node's type (Lcl Translation /
// Rotation / Scaling), if the node and the binding still exist. This is the schedule the host
// follows (its SDK documents the calls, not the schedule; devices write every output node at once
// and unwritten nodes are handled by AnimationNodesOutDisableIfNotWritten). False when no node
// was bound (nothing is notified).
bool EvaluateDevice(FBSDKNamespace::FBDevice* device, FBSDKNamespace::FBTime localTime);
// Evaluation passes now blocked by EvaluationPause.
int EvaluationsWaiting();
// Current EvaluationPause nesting depth (counted from the moment a pause starts waiting).
int EvaluationPauseDepth();
// Wait until at least count passes are blocked / the depth is at least depth, or the deadline
// passes; true when the condition was met.
bool WaitForEvaluationsWaiting(int count, std::chrono::milliseconds deadline);
bool WaitForEvaluationPauseDepth(int depth, std::chrono::milliseconds deadline);

// ---- Scene ----

// A new model (an FBModel) named name, child of parent (top level when NULL), in the namespace
// nameSpace (LongName "nameSpace:name") when given.
FBSDKNamespace::FBModel* CreateModel(const char* name, FBSDKNamespace::FBModel* parent = nullptr,
                                     const char* nameSpace = nullptr);
// Deletes a scene model: bound templates are released (no notification), its children go to
// the top level. NULL or a model not in the scene is ignored.
void DestroyModel(FBSDKNamespace::FBModel* model);
// Every model of the scene (whoever created it), in creation order.
std::vector<FBSDKNamespace::FBModel*> SceneModels();

// ---- Model binding, as the host's 'Model binding' control does it ----

// Binds root to the device's first root template (ModelTemplate.Children[0]) and, down the
// tree, each child template to the child model of the same Name; then calls
// ModelTemplateBindNotify(model, index, template) for each binding in pre-order (index 0 for
// the root), skipping templates deleted meanwhile. An existing binding of the device is released
// first (UnbindSkeleton). False when the device has no root template or root is not a model of
// the scene.
bool BindSkeleton(FBSDKNamespace::FBDevice* device, FBSDKNamespace::FBModel* root);
// Calls ModelTemplateUnBindNotify for the bound first root template, then for its bound
// descendants in pre-order, each while its Model is still set; then releases every binding of
// that tree.
void UnbindSkeleton(FBSDKNamespace::FBDevice* device);
// The parent template of a template (NULL at the top or when detached).
FBSDKNamespace::FBModelTemplate* TemplateParent(FBSDKNamespace::FBModelTemplate* modelTemplate);
// The style a template was made with.
FBSDKNamespace::FBModelTemplateStyle TemplateStyle(FBSDKNamespace::FBModelTemplate* modelTemplate);
// The template a node is bound to (NULL if none or the node was destroyed).
FBSDKNamespace::FBModelTemplate* NodeTemplate(FBSDKNamespace::FBAnimationNode* node);
// The data type a node was made with ("" for NULL).
const char* NodeDataType(FBSDKNamespace::FBAnimationNode* node);

// ---- Transport and recording ----

void SetTransportMode(FBSDKNamespace::FBTransportMode mode);
void StartRecording();  // As FBPlayerControl::Record.
void StopRecording();
// The host's current local time, used by KeyAdd without a time.
void SetCurrentTime(FBSDKNamespace::FBTime time);

struct RecordedKey {
  FBSDKNamespace::FBTime mTime;
  double mValue[3];
  int mInterpolation;  // FBInterpolation.
  int mTangentMode;    // FBTangentMode.
};
// The keys of a scene model's channel dataType ("Lcl Translation", "Lcl Rotation" or
// "Lcl Scaling") in the current take, sorted by time; empty when none or model is not live.
std::vector<RecordedKey> RecordedKeys(FBSDKNamespace::FBModel* model, const char* dataType);

// ---- Holding a thread inside a host call ----

// The host calls a hook can stop in, with the object each passes to the hook.
enum class HostCall {
  kWriteData,        // FBAnimationNode::WriteData; the node.
  kKeyAdd,           // FBAnimationNode::KeyAdd, either form (once per key); the node.
  kNodeCreate,       // FBBox::AnimationNodeInCreate / AnimationNodeOutCreate; the box.
  kNodeDestroy,      // FBBox::AnimationNodeDestroy; the node.
  kTemplateCreate,   // An FBModelTemplate constructor, once the template is made; the template.
  kTemplateDestroy,  // The FBModelTemplate destructor, before anything is undone; the template.
};
using HostCallHook = std::function<void(HostCall call, const void* object)>;
// Calls hook in each of those host calls, on the calling thread and with no host lock held, so a
// hook may block there: a test holds a real-time pass inside WriteData or KeyAdd, or the UI thread
// inside template or node creation and destruction. nullptr removes it. Replacing does not wait:
// a call already inside the old hook finishes with it. Reset by ResetHost.
void SetHostCallHook(HostCallHook hook);

// ---- Component lifetime ----

// True while p points into a component made with new (FBComponent::operator new) and not yet
// deleted.
bool IsLiveComponent(const void* p);
// Components made with new and not yet deleted.
int LiveComponentCount();

// ResetHost (host_control.h) also deletes every scene model, frees the retired take nodes, stops
// recording, sets the transport to stop and the current time to 0, ends any pause and removes the
// host-call hook. It does not destroy devices.

}  // namespace fbsdk_control

#endif  // FBSDK_CONTROL_SCENE_CONTROL_H_

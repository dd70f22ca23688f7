// Boxes, devices and model templates. A box owns its animation nodes; a device is a box the host
// drives through its virtuals (DeviceOperation and the template notifications on the UI thread,
// DeviceIONotify on the device I/O thread, AnimationNodeNotify on the evaluation thread) and that
// describes the models it animates with a tree of model templates. The host never calls a
// virtual while holding a lock of its own; host functions take only the short scene lock, so a
// plug-in may call them from any thread while holding its own locks.
#ifndef FBSDK_FBCORE_H_
#define FBSDK_FBCORE_H_

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbdata.h>
#include <fbsdk/fbevaluateinfo.h>
#include <fbsdk/fbproperties.h>
#include <fbsdk/fbtime.h>

namespace FBSDKNamespace {

__FB_FORWARD(FBBox);
__FB_FORWARD(FBDevice);
__FB_FORWARD(FBModelTemplate);
FB_FORWARD(FBModel);

FB_DEFINE_COMPONENT(FBSDK_DLL, Model);
FB_DEFINE_COMPONENT(FBSDK_DLL, ModelTemplate);
FB_DEFINE_COMPONENT(FBSDK_DLL, Device);

// Storage options of FbxStore / FbxRetrieve.
enum kFbxObjectStore {
  kInit = 1,
  kAttributes = 2,
  kRelations = 4,
  kAll = 7,
  kCleanup = 8,
  kData = 16,
  kMerge = 32
};

// A box: an object with animation nodes. Its nodes belong to it: AnimationNodeDestroy unlinks a
// node and frees it, at once or, while an evaluation pass that may hold it runs, when that pass
// ends. The box's own threads must not use a node after destroying it.
class FBSDK_DLL FBBox : public FBComponent {
  __FBClassDeclare(FBBox, FBComponent);

 public:
  FBBox(const char* pName, HIObject pObject = NULL);  // A box named pName, with no nodes.

  enum ECandidateAction {
    eCandidateAccept,
    eCandidateIntercept,
    eCandidateInterceptAfterEvaluation
  };

  // A new input node named pName of data type pDataType (ANIMATIONNODE_TYPE_...), keeping the
  // user reference pUserId. Owned by the box. NULL for a NULL data type.
  virtual FBAnimationNode* AnimationNodeInCreate(kReference pUserId, const char* pName,
                                                 const char* pDataType, bool pIsPublic = false,
                                                 double* pMin = NULL, double* pMax = NULL,
                                                 bool pUserData = false);
  // The same for an output node, the kind a device writes and the host reads.
  virtual FBAnimationNode* AnimationNodeOutCreate(kReference pUserId, const char* pName,
                                                  const char* pDataType, bool pIsPublic = false,
                                                  double* pMin = NULL, double* pMax = NULL,
                                                  bool pUserData = false);
  // Evaluation thread: write the box's output nodes for this pass. Base: nothing, true.
  virtual bool AnimationNodeNotify(FBAnimationNode* pAnimationNode, FBEvaluateInfo* pEvaluateInfo);
  // Unlinks one of this box's nodes (from the box and any template binding) and frees it; false
  // if it is not a live node of this box (another box's, or one destroyed already).
  virtual bool AnimationNodeDestroy(FBAnimationNode* pAnimationNode);

  const char* UniqueName;  // The registration's unique name (set by the creator). UI thread.

  virtual int GetOutConnectorCount() const;                    // Live output nodes.
  virtual int GetInConnectorCount() const;                     // Live input nodes.
  virtual FBAnimationNode* GetOutConnector(int pIndex) const;  // In creation order; NULL if out.
  virtual FBAnimationNode* GetInConnector(int pIndex) const;
};

// Drawing style of the model a template asks for.
enum FBModelTemplateStyle {
  kFBModelTemplateNone = 0,
  kFBModelTemplateNull = 1,
  kFBModelTemplateMarker = 2,
  kFBModelTemplateRoot = 3,  // "Root (3 axes)".
  kFBModelTemplateSensor = 4,
  kFBModelTemplateSkeleton = 5,  // "Skeleton limb".
  kFBModelTemplateCamera = 6,
  kFBModelTemplateGeometry = 7,
  kFBModelTemplateCameraInterest = 8,
  kFBModelTemplateLight = 9,
  kFBModelTemplateOptical = 10
};

// A template's child templates. A template has at most one parent: adding it elsewhere moves it.
class FBSDK_DLL FBPropertyListModelTemplate : public FBPropertyListComponentBase {
 public:
  FBPropertyListModelTemplate();
  ~FBPropertyListModelTemplate() override;
  // Appends pItem (NULL, the owner itself or one of its ancestors is refused); items in the list
  // after the operation.
  int Add(FBModelTemplate* pItem);
  void RemoveAt(int pIndex) override;       // The child is detached, not deleted.
  FBModelTemplate* operator[](int pIndex);  // NULL when out of range.
  int GetCount() override;
  FBComponent* GetAt(int pIndex) override;

 private:
  int Add(FBComponent* pItem) override;  // Only templates may be added.
};

// The animation nodes bound to a template: the host copies their values onto its model. A node
// is bound to at most one template: adding it elsewhere moves it.
class FBSDK_DLL FBPropertyListModelTemplateBinding : public FBPropertyListComponentBase {
 public:
  FBPropertyListModelTemplateBinding();
  ~FBPropertyListModelTemplateBinding() override;
  // Index where pItem was inserted (or already is); -1 for NULL or a destroyed node.
  virtual int Add(FBAnimationNode* pItem);
  void RemoveAt(int pIndex) override;
  FBAnimationNode* operator[](int pIndex);  // NULL when out of range.
  int GetCount() override;
  FBComponent* GetAt(int pIndex) override;

 private:
  int Add(FBComponent* pItem) override;  // Only nodes may be added.
};

// A model a device animates, as the device describes it; the user binds templates to scene
// models. Deleting a template detaches it from its parent list, its children and its model.
class FBSDK_DLL FBModelTemplate : public FBComponent {
  __FBClassDeclare(FBModelTemplate, FBComponent);

 public:
  FBModelTemplate(HIObject pObject = NULL);  // Unnamed, style kFBModelTemplateNone.
  // Name pName, model name prefix pPrefix, drawing style pStyle.
  FBModelTemplate(const char* pPrefix, const char* pName, FBModelTemplateStyle pStyle);

  FBPropertyListModelTemplate Children;         // Child templates, in order.
  FBPropertyListModelTemplateBinding Bindings;  // Output nodes feeding the bound model.
  FBPropertyString Prefix;                      // Prefix of model names the host makes.
  FBPropertyModel Model;  // The bound model, NULL if none; any thread may read it.
  // Transform of a model the host makes for the template; stored only.
  FBPropertyVector3d DefaultTranslation;
  FBPropertyVector3d DefaultRotation;
  FBPropertyVector3d DefaultScaling;  // Default (1, 1, 1).

  friend class FBDevice;
};

// What the host tells a device in one I/O notification. Built by the host only; valid during
// the DeviceIONotify call, on its thread.
class FBSDK_DLL FBDeviceNotifyInfo {
 public:
  FBTime& GetSystemTime();                 // The host clock at the notification.
  FBTime& GetLocalTime();                  // The scene time of the notification.
  void SetLocalTime(const FBTime& pTime);  // Changes only this notification's copy.
  int GetSyncCount();                      // -1: no sync signal in this host.
  FBEvaluateInfo& GetEvaluateInfo();       // The same times as an evaluation info.

 private:
  friend struct ::fbsdk_internal::HostAccess;
  FBDeviceNotifyInfo();

  FBEvaluateInfo mEvaluateInfo;
};

// How a device's samples are timed.
enum FBDeviceSamplingMode {
  kFBHardwareTimestamp = 0,
  kFBHardwareFrequency = 1,
  kFBAutoFrequency = 2,
  kFBSoftwareTimestamp = 3
};
FB_DEFINE_ENUM(FBSDK_DLL, DeviceSamplingMode);

enum FBCommType {
  kFBCommTypeNone = 0,
  kFBCommTypeSerial = 1 << 0,
  kFBCommTypeNetworkTCP = 1 << 1,
  kFBCommTypeNetworkUDP = 1 << 2,
  kFBCommTypeSharedMemory = 1 << 3,
  kFBCommTypeSimulator = 1 << 4,
  kFBCommTypeOther = 1 << 5
};

class FBSDK_DLL FBDevice : public FBBox {
  __FBClassDeclare(FBDevice, FBBox);

 public:
  // DeviceOperation codes; the host itself sends kOpStart, kOpStop and kOpDone.
  enum kDeviceOperations { kOpInit, kOpStart, kOpAutoDetect, kOpStop, kOpReset, kOpDone };
  enum kDeviceIOs { kIOStopModeRead, kIOPlayModeRead, kIOStopModeWrite, kIOPlayModeWrite };
  enum kTransportMode { kPreparePlay, kPlayReady, kPlayStop, kStop, kPlay, kJog, kPlayReverse };

  FBDevice(const char* pName, HIObject pObject = NULL);  // Offline, no templates, no nodes.
  bool FBCreate() override;                              // Base: true.
  void FBDestroy() override;                             // Base: nothing.

  FBAnimationNode* AnimationNodeInCreate(kReference pUserId, const char* pName,
                                         const char* pDataType, bool pIsPublic = true,
                                         double* pMin = NULL, double* pMax = NULL,
                                         bool pUserData = false) override;
  FBAnimationNode* AnimationNodeOutCreate(kReference pUserId, const char* pName,
                                          const char* pDataType, bool pIsPublic = true,
                                          double* pMin = NULL, double* pMax = NULL,
                                          bool pUserData = false) override;

  // UI thread: operate the device; returns whether it is online afterwards. The host sends
  // kOpStart / kOpStop when Online is set and kOpDone before destroying the device. Base: the
  // current Online state, whatever the code.
  virtual bool DeviceOperation(kDeviceOperations pOperation);
  // Device I/O thread: read or write the hardware; must not block. Base: nothing.
  virtual void DeviceIONotify(kDeviceIOs pAction, FBDeviceNotifyInfo& pDeviceNotifyInfo);
  // UI thread: pModelTemplate was bound to pModel (pIndex: pre-order position from the root
  // template, 0). Base: true.
  virtual bool ModelTemplateBindNotify(FBModel* pModel, int pIndex,
                                       FBModelTemplate* pModelTemplate);
  // UI thread: pModelTemplate is about to be released; its Model is still set. Base: true.
  virtual bool ModelTemplateUnBindNotify(int pIndex, FBModelTemplate* pModelTemplate);
  // Evaluation thread: called for a bound output node that holds no data of this pass yet
  // (the host pulls each bound node; one written earlier in the pass is read, not notified).
  // Base: nothing, true.
  bool AnimationNodeNotify(FBAnimationNode* pAnimationNode, FBEvaluateInfo* pEvaluateInfo) override;

  // Texts the host shows for the device; stored only.
  FBPropertyString Status;
  FBPropertyString Information;
  FBPropertyString HardwareVersionInfo;
  FBPropertyTime SamplingPeriod;  // Time between samples; 0: evaluated on the sync signal.
  // Setting true calls DeviceOperation(kOpStart) and keeps its result; setting false calls
  // DeviceOperation(kOpStop) and keeps false. Any thread may read it.
  FBPropertyBool Online;
  // The root template; its Children are the device's templates. Deleted with the device, along
  // with the heap templates still in its tree.
  FBModelTemplate ModelTemplate;
  FBPropertyModel ModelBindingRoot;  // The model bound to the first root template. Read-only.
  FBPropertyDeviceSamplingMode SamplingMode;  // Stored; any thread may read it.
  FBPropertyInt CommType;                     // FBCommType bits; stored only.

  // Device I/O thread: counters of the host's device statistics (atomic; never reset).
  void AckOneSampleReceived();
  void AckOneBadSampleReceived();
  void AckOneSampleSent();
};

// Declares a plug-in box class: identity members and the (const char* pName) constructor.
#define FBBoxDeclare(ClassName, Parent)                         \
  FBClassDeclare(ClassName, Parent);                            \
                                                                \
 public:                                                        \
  ClassName(const char* pName) : Parent(pName) { FBClassInit; } \
                                                                \
 private:                                                       \
  static_assert(true, "")
#define FBBoxImplementation(ThisComponent) FBClassImplementation(ThisComponent)

// Declares a plug-in device class: identity members and the (const char* pName) constructor;
// initialisation belongs in FBCreate. Members written right after the macro are private.
#define FBDeviceDeclare(ClassName, Parent) FBBoxDeclare(ClassName, Parent)
#define FBDeviceImplementation(ThisComponent) FBClassImplementation(ThisComponent)

// Defines the device's creator and its registration module: under "Boxes/Devices" (entry Label)
// and "FbxStorable/Device" (entry UniqueNameStr). The creator builds the device, marks it host
// allocated, sets UniqueName and runs FBCreate; on failure it deletes the device, returns NULL.
#define FBRegisterDevice(UniqueNameStr, ClassName, Label, Description, IconFilename)  \
  HIObject RegisterDevice##ClassName##Create(HIObject, const char* pName, void*) {    \
    ClassName* Class = new ClassName(pName);                                          \
    Class->mAllocated = true;                                                         \
    Class->UniqueName = UniqueNameStr;                                                \
    if (Class->FBCreate()) {                                                          \
      return Class->GetHIObject();                                                    \
    } else {                                                                          \
      delete Class;                                                                   \
      return NULL;                                                                    \
    }                                                                                 \
  }                                                                                   \
  FBLibraryModule(ClassName) {                                                        \
    FBRegisterObject(ClassName##R1, "Boxes/Devices", Label, Description,              \
                     RegisterDevice##ClassName##Create, true, IconFilename);          \
    FBRegisterObject(ClassName##R2, "FbxStorable/Device", UniqueNameStr, Description, \
                     RegisterDevice##ClassName##Create, true, IconFilename);          \
  }

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBCORE_H_

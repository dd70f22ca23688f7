// Properties: the typed values, lists and animatable channels that components expose. A scalar
// property either stores its value (under the host's property lock, so reads and writes from
// different threads never tear) or forwards to its owner's get/set hooks. String results point
// into the property and stay valid until the next write. List contents are guarded by the host
// scene lock; a pointer read from a list is valid while the item lives.
#ifndef FBSDK_FBPROPERTIES_H_
#define FBSDK_FBPROPERTIES_H_

#include <fbsdk/fbplug.h>
#include <fbsdk/fbstring.h>
#include <fbsdk/fbtime.h>
#include <fbsdk/fbtypes.h>

namespace fbsdk_internal {
// Serialises stored property values; taken for a copy only, never while calling out.
class FBSDK_DLL PropertyValueLock {
 public:
  PropertyValueLock();
  ~PropertyValueLock();
  PropertyValueLock(const PropertyValueLock&) = delete;
  PropertyValueLock& operator=(const PropertyValueLock&) = delete;
};
}  // namespace fbsdk_internal

namespace FBSDKNamespace {

FB_FORWARD(FBComponent);
FB_FORWARD(FBEvaluateInfo);
FB_FORWARD(FBAnimationNode);
FB_FORWARD(FBBox);
FB_FORWARD(FBTake);
__FB_FORWARD(FBPropertyManager);
__FB_FORWARD(FBPropertyAnimatable);
__FB_FORWARD(FBPropertyListObject);

enum FBPropertyType {
  kFBPT_unknown,
  kFBPT_int,
  kFBPT_int64,
  kFBPT_uint64,
  kFBPT_bool,
  kFBPT_float,
  kFBPT_double,
  kFBPT_charptr,
  kFBPT_enum,
  kFBPT_Time,
  kFBPT_TimeCode,
  kFBPT_object,
  kFBPT_event,
  kFBPT_stringlist,
  kFBPT_Vector4D,
  kFBPT_Vector3D,
  kFBPT_ColorRGB,
  kFBPT_ColorRGBA,
  kFBPT_Action,
  kFBPT_Reference,
  kFBPT_TimeSpan,
  kFBPT_kReference,
  kFBPT_Vector2D
};

class FBSDK_DLL FBProperty : public FBPlug {
  FBClassDeclare(FBProperty, FBPlug);

 public:
  FBProperty();
  const char* GetName();                     // The name the owner gave it ("" if none).
  void SetName(const char* pName);           // Renames the property (copied).
  virtual FBPropertyType GetPropertyType();  // kFBPT_unknown for a bare property.
  const char* GetPropertyTypeName();         // Type as text, e.g. "bool", "Time", "object".
  // Writes the value from pData (a pointer to the property's value type); ignored when
  // read-only.
  virtual void SetData(void* pData);
  // Copies the value into pData; nothing is written when pSize is smaller than the value.
  virtual void GetData(void* pData, int pSize, FBEvaluateInfo* pEvalInfo = NULL) const;
  // int, bool, enum, double and float properties as an int (doubles truncated); 0 otherwise.
  int AsInt();
  // Sets an int, bool, enum, double or float property from an int; false for other types.
  bool SetInt(int pInt);
  virtual bool IsList();  // True for list properties.
  virtual bool IsAnimatable();
  virtual bool IsReadOnly();  // True when writes are ignored.
  bool IsObjectList();        // True for component lists.

 protected:
  friend struct ::fbsdk_internal::HostAccess;
  void* mParent;   // The owning object, passed to get/set hooks; set once by the owner.
  FBString mName;  // Set by the owner before the property is shared.
};

// Scalar property holding a tType, stored in place or forwarded to the owner's hooks.
template <class tType, FBPropertyType pPT>
class FBPropertyBase : public FBProperty {
 public:
  FBPropertyBase() : Get(NULL), Set(NULL), mValue() {}
  ~FBPropertyBase() override {}
  void operator=(tType pValue) { SetData(&pValue); }  // Through the set hook if any.
  operator tType() const {                            // Through the get hook if any.
    tType lValue = tType();
    GetData(&lValue, sizeof(lValue));
    return lValue;
  }
  // Names the property and installs hooks; a NULL pSet with a non-NULL pGet makes it read-only.
  FBPropertyBase* Init(void* pParent, const char* pName, tType (*pGet)(void*) = NULL,
                       void (*pSet)(void*, tType) = NULL) {
    mParent = pParent;
    SetName(pName);
    Get = pGet;
    Set = pSet;
    return this;
  }
  FBPropertyType GetPropertyType() override { return pPT; }
  bool IsReadOnly() override { return Get != NULL && Set == NULL; }
  void SetData(void* pData) override {
    if (Set) {
      Set(mParent, *static_cast<tType*>(pData));
    } else if (!Get) {
      fbsdk_internal::PropertyValueLock lLock;
      mValue = *static_cast<tType*>(pData);
    }
  }
  void GetData(void* pData, int pSize, FBEvaluateInfo* pEvalInfo = NULL) const override {
    (void)pEvalInfo;
    if (pSize < static_cast<int>(sizeof(tType))) return;
    if (Get) {
      *static_cast<tType*>(pData) = Get(mParent);
    } else {
      fbsdk_internal::PropertyValueLock lLock;
      *static_cast<tType*>(pData) = mValue;
    }
  }

 protected:
  tType (*Get)(void*);
  void (*Set)(void*, tType);
  tType mValue;  // Guarded by the property lock; unused with hooks.
};

typedef FBPropertyBase<bool, kFBPT_bool> FBPropertyBool;
typedef FBPropertyBase<int, kFBPT_int> FBPropertyInt;
typedef FBPropertyBase<double, kFBPT_double> FBPropertyDouble;
typedef FBPropertyBase<float, kFBPT_float> FBPropertyFloat;
typedef FBPropertyBase<FBTime, kFBPT_Time> FBPropertyTime;
typedef FBPropertyBase<kReference, kFBPT_kReference> FBPropertykReference;
typedef FBPropertyBase<FBVector3d, kFBPT_Vector3D> FBPropertyVector3d;

// Text property; reads give "" rather than NULL.
class FBSDK_DLL FBPropertyString : public FBPropertyBase<const char*, kFBPT_charptr> {
 public:
  FBPropertyString();
  ~FBPropertyString() override;
  void operator=(const char* pValue) { SetData(&pValue); }  // Copies the text.
  operator const char*() const {                            // Valid until the next write.
    const char* lValue = NULL;
    GetData(&lValue, sizeof(lValue));
    return lValue ? lValue : "";
  }
  bool operator==(const char* pValue) const;  // Text comparison; NULL equals "".
  bool operator!=(const char* pValue) const;
  void SetData(void* pData) override;
  void GetData(void* pData, int pSize, FBEvaluateInfo* pEvalInfo = NULL) const override;

 private:
  FBString mString;  // Guarded by the property lock.
};

// Property referring to a component; NULL when none.
template <class tType>
class FBPropertyBaseComponent : public FBPropertyBase<tType, kFBPT_object> {
 public:
  void operator=(tType pValue) { this->SetData(&pValue); }
  operator tType() const {
    tType lValue = NULL;
    this->GetData(&lValue, sizeof(lValue));
    return lValue;
  }
  tType operator->() { return operator tType(); }
};

// Property holding an enum value.
template <class tType>
class FBPropertyBaseEnum : public FBPropertyBase<tType, kFBPT_enum> {
 public:
  void operator=(tType pValue) { this->SetData(&pValue); }
  operator tType() const {
    tType lValue = tType();
    this->GetData(&lValue, sizeof(lValue));
    return lValue;
  }
};

// FBPropertyX: a component property referring to an FBX.
#define FB_DEFINE_COMPONENT(DLL, Type) \
  class FB##Type;                      \
  typedef FBPropertyBaseComponent<FB##Type*> FBProperty##Type
// FBPropertyX: an enum property over enum FBX.
#define FB_DEFINE_ENUM(DLL, Type) typedef FBPropertyBaseEnum<enum FB##Type> FBProperty##Type

// Any list property.
class FBSDK_DLL FBPropertyBasicList : public FBProperty {
 public:
  FBPropertyBasicList();
  ~FBPropertyBasicList() override;
  void RemoveAll();                       // Removes every item, last first.
  virtual int GetCount() = 0;             // Items in the list.
  virtual void RemoveAt(int pIndex) = 0;  // Ignores an index out of range.
  bool IsList() override;
};

// List of components. Find and Remove work through GetCount, GetAt and RemoveAt.
class FBSDK_DLL FBPropertyListComponentBase : public FBPropertyBasicList {
 public:
  FBPropertyListComponentBase();
  ~FBPropertyListComponentBase() override;
  virtual int Add(FBComponent* pItem);  // Items in the list after the operation.
  void RemoveAt(int pIndex) override;
  virtual FBComponent* GetAt(int pIndex) = 0;  // NULL when out of range.
  FBComponent* operator[](int pIndex);         // As GetAt.
  int GetCount() override;
  virtual int Find(FBComponent* pItem);       // Index of pItem, -1 if absent.
  virtual int Remove(FBComponent* pItem);     // Index pItem had (-1 if absent); it is removed.
  FBPropertyType GetPropertyType() override;  // kFBPT_object.
};

// A component list that stores its items.
class FBSDK_DLL FBPropertyListComponent : public FBPropertyListComponentBase {
 public:
  FBPropertyListComponent();
  ~FBPropertyListComponent() override;
  FBComponent* GetAt(int pIndex) override;  // NULL when out of range.
};

// A list of object references (character slots and similar links). A component deleted while
// listed leaves every such list at once, so a list never holds a dangling pointer. Guarded by
// the scene lock; the contents belong to the UI thread.
class FBSDK_DLL FBPropertyListObject : public FBPropertyListComponent {
 public:
  FBPropertyListObject();
  ~FBPropertyListObject() override;
  int GetCount() override;
  virtual FBComponent* operator[](int pIndex);  // NULL when out of range.
  FBComponent* GetAt(int pIndex) override;
  // Appends pObject (with single connect: replaces the content); index where it is, -1 for NULL.
  // An object already listed is not added twice.
  int Add(FBComponent* pObject) override;
  // Replaces item pIndex; its index, -1 when out of range or NULL.
  virtual int SetAt(int pIndex, FBComponent* pObject);
  void RemoveAt(int pIndex) override;  // Ignores an index out of range.
  // Inserts before pIndex (clamped to the list); its index, -1 for NULL.
  virtual int InsertAt(int pIndex, FBComponent* pObject);
  virtual void Clear();
  virtual void SetSingleConnect(bool pSingleConnect);  // At most one item when true.
  virtual int GetSingleConnect();
  void SetFilter(int pInternalClassId);  // Recorded only: this host does not filter.

  DataFBPropertyListObject* mLocalPtr;
};

// A component's property table; holds pointers, owns nothing. UI thread.
class FBSDK_DLL FBPropertyManager {
 public:
  FBPropertyManager();
  ~FBPropertyManager();
  FBPropertyManager(const FBPropertyManager&) = delete;
  FBPropertyManager& operator=(const FBPropertyManager&) = delete;
  int Add(FBProperty* pProperty);      // Index of the added (or already present) property.
  FBProperty* operator[](int pIndex);  // NULL when out of range.
  int GetCount();
  // The first property with that name, NULL if none.
  FBProperty* Find(const char* pPropertyName, bool pMultilangLookup = true);
  int Remove(FBProperty* pProperty);  // Index it had, -1 if absent.

 private:
  DataFBPropertyManager* mLocalPtr;
};

// An animatable channel of a box (a model's Lcl Translation, ...). Its value and its take
// animation node live in the host; the value is guarded by the scene lock. Animated, the channel
// has a take node that recording and keying write to; GetAnimationNode returns it.
class FBSDK_DLL FBPropertyAnimatable : public FBProperty {
 public:
  FBPropertyAnimatable();
  ~FBPropertyAnimatable() override;
  // Binds the channel to its owner with a data type ("Lcl Translation", ...) and initial value
  // (pInit: as many doubles as the type has, or NULL for zeros).
  FBPropertyAnimatable* Init(FBBox* pOwner, const char* pName, const char* pType, double* pInit);
  const char* GetDataTypeName();  // The data type given to Init.
  void Key();                     // A key of the current value at the host's current time.
  void KeyAt(FBTime pTime);       // The same at pTime.
  int GetDataSize() const;        // Doubles in the value (3 for vectors).
  bool IsAnimated();
  // Makes the channel animated (creating its take node) or not (dropping its keys).
  void SetAnimated(bool pState, bool pCheckLocked = false);
  // The take node while animated, NULL otherwise. Only the current take exists: pTake is
  // ignored. The node lives as long as the process (it is retired, not freed, with its owner).
  FBAnimationNode* GetAnimationNode(FBTake* pTake = NULL);
  FBBox* GetBox();  // The owner given to Init.
  bool IsAnimatable() override;
  // pData: GetDataSize() doubles.
  void SetData(void* pData) override;
  // Copies min(pSize / sizeof(double), GetDataSize()) doubles.
  void GetData(void* pData, int pSize, FBEvaluateInfo* pEvalInfo = NULL) const override;
  // Sets the current value (the candidate the next key would take); pSize in bytes.
  void SetCandidate(void* pData, int pSize, FBEvaluateInfo* pEvalInfo = NULL);

  DataFBPropertyAnimatable* mLocalPtr;
};

// Typed animatable channel.
template <class tType, FBPropertyType pPT>
class FBPropertyBaseAnimatable : public FBPropertyAnimatable {
 public:
  void operator=(tType pValue) { SetData(&pValue); }
  operator tType() const {
    tType lValue;
    GetData(&lValue, sizeof(lValue));
    return lValue;
  }
  FBPropertyType GetPropertyType() override { return pPT; }
};

typedef FBPropertyBaseAnimatable<FBVector3d, kFBPT_Vector3D> FBPropertyAnimatableVector3d;

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBPROPERTIES_H_

// FBPlug: the root of every SDK object (components and properties): class identity, type ids
// and the link to the host object behind it. In this host an object's handle is its own IObject
// subobject, so GetHIObject and FBGetFBObject map to each other without a table. Identity queries
// may be made from any thread; creation and deletion belong to the UI thread.
#ifndef FBSDK_FBPLUG_H_
#define FBSDK_FBPLUG_H_

#include <fbsdk/fbdefines.h>

namespace FBSDKNamespace {

// Holder of the scripting wrapper of an object; empty in this host.
class FBWrapperHolder {};

class FBSDK_DLL FBPlug : public ICallback, public FBWrapperHolder {
 protected:
  // pObject: the host object behind this one; NULL makes the object its own handle.
  FBPlug(HIObject pObject);

 public:
  virtual ~FBPlug();
  FBPlug(const FBPlug&) = delete;
  FBPlug& operator=(const FBPlug&) = delete;

  // No extra interfaces in this host: NULL.
  HIObject IQuery(kInterfaceID pInterfaceID, int IsLocal = 0) override;
  // Deletes the object as FBDelete does.
  void Destroy(int IsLocal = 0) override;

  // The object's handle, valid while the object lives; FBGetFBObject maps it back.
  virtual HIObject GetHIObject() const;
  // Replaces the handle (host use); true when set.
  virtual bool SetHIObject(HIObject pObject, bool pSDKComponent);
  bool IsSDKComponent();  // True for objects made by the SDK.

  virtual const char* ClassName();  // "FBPlug"; each class macro overrides it.
  virtual bool Is(int pTypeId);     // True for the type id of this class or any base.
  virtual int GetTypeId();          // This class's TypeInfo.

  static const char* ClassGroupName;  // "FBPlug".
  static int TypeInfo;                // Each class's id from the counter.
  bool mAllocated;  // Set by the registration creators: the host allocated this object.

 protected:
  // Deletes the object when it came from FBComponent::operator new; otherwise does nothing.
  virtual void FBDelete();
  static int mGlobalTypeInfo;  // The next type id; each class takes one at static init.
  static int GetInternalClassId();
  HIObject mObject;
  bool mSDKComponent;
  friend int __FBRegisterTypeInfo(int);
};

// The SDK object behind a handle; with pAutoCreate false, NULL when there is none.
FBSDK_DLL FBPlug* FBGetFBPlug(HIObject pObject, bool pAutoCreate = true);
// The SDK object's handle for a host handle: in this host the same pointer (NULL stays NULL).
FBSDK_DLL HIObject FBGetFBObject(HIObject pObject, bool pAutoCreate = false);

// Checked cast: the object as T when it Is a T, otherwise NULL.
template <class T>
inline T* FBCast(FBPlug* pPlug) {
  return (pPlug && pPlug->Is(T::TypeInfo)) ? static_cast<T*>(pPlug) : NULL;
}
// Checked cast from a handle.
template <class T>
inline T* FBCast(HIObject pObject, bool pAutoCreate = false) {
  return FBCast<T>(FBGetFBPlug(pObject, pAutoCreate));
}

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBPLUG_H_

// The host's base interfaces and handles (IObject, ICallback and their H* pointer types) and the
// macros that declare and implement SDK classes in a plug-in. Compile-time only; nothing here
// holds state, so there are no threading concerns.
#ifndef FBSDK_FBDEFINES_H_
#define FBSDK_FBDEFINES_H_

#include <cstddef>

#include <fbsdk/fbtypes.h>

// Export markers for plug-in entry points.
#if defined(_WIN32)
#ifndef K_DLLEXPORT
#define K_DLLEXPORT __declspec(dllexport)
#endif
#ifndef K_DLLIMPORT
#define K_DLLIMPORT __declspec(dllimport)
#endif
#else
#ifndef K_DLLEXPORT
#define K_DLLEXPORT __attribute__((visibility("default")))
#endif
#ifndef K_DLLIMPORT
#define K_DLLIMPORT
#endif
#endif

// K_FORWARD(X) declares class X and its handle type HX = X*.
#define K_FORWARD(X) \
  class X;           \
  typedef X* H##X
#define FB_FORWARD(C) class C
// Forwards an SDK class together with the host's private data class behind it.
#define __FB_FORWARD(C) \
  class C;              \
  class Data##C

// The kernel interfaces live outside the SDK namespace, as in the host.
typedef unsigned long kInterfaceID;
K_FORWARD(IObject);
K_FORWARD(ICallback);
K_FORWARD(IRegister);
K_FORWARD(KEventBase);
K_FORWARD(IError);

// Root of every host object; an SDK object's handle (GetHIObject) is an IObject pointer.
class IObject {
 public:
  virtual ~IObject() {}
  // The object's implementation of an interface, or NULL when it has none.
  virtual HIObject IQuery(kInterfaceID pInterfaceID, int IsLocal = 0) = 0;
  // Releases the object through the host.
  virtual void Destroy(int IsLocal = 0) = 0;
};

// Receiver of host callbacks; must be the first base class of a class deriving from it.
class ICallback : public IObject {};

// A callback handler: a member function of an ICallback-derived class.
typedef void (ICallback::*kICallbackHandler)(HIRegister pCaller, HKEventBase pEvent);
// A registered creator: builds the object and returns its handle, or NULL on failure.
typedef HIObject (*kObjectCreatorFnc)(HIObject pOwner, const char* pName, void* pData);

namespace fbsdk_internal {
struct HostAccess;  // The stand-in's own access to private SDK state; not for plug-ins.
}  // namespace fbsdk_internal

namespace FBSDKNamespace {
typedef HIObject (*kFBObjectCreatorFnc)(HIObject pOwner, const char* pName, void* pData);
}  // namespace FBSDKNamespace

// Placed first in constructors of plug-in classes; nothing to do in this host.
#define FBClassInit

// Declares the class-identity members of a plug-in class; pair with FBClassImplementation, which
// also defines the destructor (so the class must not write its own). Members written right after
// the macro are private.
#define FBClassDeclare(Name, Parent)        \
 public:                                    \
  typedef Parent ParentClass;               \
  virtual const char* ClassName() override; \
  static int TypeInfo;                      \
  virtual bool Is(int pTypeId) override;    \
  virtual void FBDelete() override;         \
  virtual int GetTypeId() override;         \
  virtual ~Name();                          \
                                            \
 private:                                   \
  static_assert(true, "")

// Defines what FBClassDeclare declared. The type id comes from the host's counter, in static
// initialisation order.
#define FBClassImplementation(Name)                                                      \
  Name::~Name() {}                                                                       \
  const char* Name::ClassName() { return #Name; }                                        \
  int Name::GetTypeId() { return TypeInfo; }                                             \
  bool Name::Is(int pTypeId) { return pTypeId == TypeInfo || ParentClass::Is(pTypeId); } \
  void Name::FBDelete() { ParentClass::FBDelete(); }                                     \
  int Name::TypeInfo = FBPlug::mGlobalTypeInfo++

// The SDK's own classes: identity members inline, and the host's private data behind mLocalPtr.
#define __FBClassDeclare(Name, Parent)                                                      \
 public:                                                                                    \
  typedef Parent ParentClass;                                                               \
  const char* ClassName() override { return #Name; }                                        \
  int GetTypeId() override { return TypeInfo; }                                             \
  bool Is(int pTypeId) override { return pTypeId == TypeInfo || ParentClass::Is(pTypeId); } \
  static int TypeInfo;                                                                      \
  Data##Name* mLocalPtr;                                                                    \
  virtual ~Name();                                                                          \
                                                                                            \
 private:                                                                                   \
  static_assert(true, "")

#endif  // FBSDK_FBDEFINES_H_

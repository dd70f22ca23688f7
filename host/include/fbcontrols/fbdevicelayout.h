// FBDeviceLayout: the page a device shows in the host's device navigator, and the macros that
// declare, implement and register a plug-in's page for its device. The host creates the page for
// a device through the "UI_Associated_ClassName" entry named after the device's unique name, and
// creates, shows and destroys it on its UI thread.
#ifndef FBCONTROLS_FBDEVICELAYOUT_H_
#define FBCONTROLS_FBDEVICELAYOUT_H_

#include <fbcontrols/fbcontrols.h>
#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbcore.h>

namespace FBSDKNamespace {

__FB_FORWARD(FBDeviceLayout);

class FBSDK_DLL FBDeviceLayout : public FBLayout {
  __FBClassDeclare(FBDeviceLayout, FBLayout);

 public:
  // pDevice: the device this page shows; not owned, outlives the page.
  FBDeviceLayout(FBDevice* pDevice = NULL);
  FBPropertyDevice Device;  // The device given to the constructor. Read-only.
};

}  // namespace FBSDKNamespace

// Declares a plug-in page class: identity members and the (FBDevice*) constructor; set-up
// belongs in FBCreate. Members written right after the macro are private.
#define FBDeviceLayoutDeclare(ClassName, Parent)                  \
  FBClassDeclare(ClassName, Parent);                              \
                                                                  \
 public:                                                          \
  ClassName(FBDevice* pDevice) : Parent(pDevice) { FBClassInit; } \
                                                                  \
 private:                                                         \
  static_assert(true, "")
#define FBDeviceLayoutImplementation(ThisComponent) FBClassImplementation(ThisComponent)

// Defines the page's creator and its registration module: group "UI_Associated_ClassName", entry
// UniqueNameStr (a literal equal to the device's unique name), description UniqueNameStr
// " Device Layout". The creator gets the device's handle as pData, builds the page for that
// device, marks it host allocated and runs FBCreate; on failure it deletes the page and returns
// NULL.
#define FBRegisterDeviceLayout(ClassName, UniqueNameStr, IconFilename)                      \
  HIObject RegisterDeviceLayout##ClassName(HIObject, const char*, void* pData) {            \
    ClassName* Class = new ClassName((FBDevice*)FBGetFBObject((HIObject)pData));            \
    Class->mAllocated = true;                                                               \
    if (Class->FBCreate()) {                                                                \
      return Class->GetHIObject();                                                          \
    } else {                                                                                \
      delete Class;                                                                         \
      return NULL;                                                                          \
    }                                                                                       \
  }                                                                                         \
  FBLibraryModule(ClassName) {                                                              \
    FBRegisterObject(ClassName##R1, "UI_Associated_ClassName", UniqueNameStr,               \
                     UniqueNameStr " Device Layout", RegisterDeviceLayout##ClassName, true, \
                     IconFilename);                                                         \
  }

#endif  // FBCONTROLS_FBDEVICELAYOUT_H_

// FBPlug, handle mapping, and the type ids of the SDK's own classes. The ids are defined here in
// one translation unit so that they come from the counter in a fixed order, before any plug-in's.
#include <fbsdk/fbplug.h>

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbcore.h>
#include <fbsdk/fbdata.h>
#include <fbsdk/fbio.h>
#include <fbsdk/fbmodel.h>
#include <fbsdk/fbplayercontrol.h>
#include <fbsdk/fbproperties.h>

namespace FBSDKNamespace {

int FBPlug::mGlobalTypeInfo = 0;
const char* FBPlug::ClassGroupName = "FBPlug";

FBPlug::FBPlug(HIObject pObject)
    : mAllocated(false),
      mObject(pObject ? pObject : static_cast<IObject*>(this)),
      mSDKComponent(true) {}

FBPlug::~FBPlug() {}

HIObject FBPlug::IQuery(kInterfaceID, int) { return NULL; }

void FBPlug::Destroy(int) { FBDelete(); }

HIObject FBPlug::GetHIObject() const { return mObject; }

bool FBPlug::SetHIObject(HIObject pObject, bool pSDKComponent) {
  mObject = pObject ? pObject : static_cast<IObject*>(this);
  mSDKComponent = pSDKComponent;
  return true;
}

bool FBPlug::IsSDKComponent() { return mSDKComponent; }

const char* FBPlug::ClassName() { return "FBPlug"; }

bool FBPlug::Is(int pTypeId) { return pTypeId == TypeInfo; }

int FBPlug::GetTypeId() { return TypeInfo; }

void FBPlug::FBDelete() {}

int FBPlug::GetInternalClassId() { return 0; }

FBPlug* FBGetFBPlug(HIObject pObject, bool) {
  // A handle is the object's own IObject subobject; anything else (a library object) is no plug.
  return pObject ? dynamic_cast<FBPlug*>(pObject) : NULL;
}

HIObject FBGetFBObject(HIObject pObject, bool) { return pObject; }

// Type ids, in base-to-derived order.
int FBPlug::TypeInfo = FBPlug::mGlobalTypeInfo++;
FBClassImplementation(FBProperty);
int FBComponent::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBBox::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBDevice::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBModelTemplate::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBAnimationNode::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBModel::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBModelNull::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBModelRoot::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBModelSkeleton::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBPlayerControl::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBTCPIP::TypeInfo = FBPlug::mGlobalTypeInfo++;

}  // namespace FBSDKNamespace

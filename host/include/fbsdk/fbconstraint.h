// FBConstraint: the base of the host's constraint objects (characters among them), boxes that
// drive models from other models. Belongs to the UI thread.
#ifndef FBSDK_FBCONSTRAINT_H_
#define FBSDK_FBCONSTRAINT_H_

#include <fbsdk/fbcore.h>
#include <fbsdk/fbproperties.h>

namespace FBSDKNamespace {

__FB_FORWARD(FBConstraint);

class FBSDK_DLL FBConstraint : public FBBox {
  __FBClassDeclare(FBConstraint, FBBox);

 public:
  FBConstraint(HIObject pObject);
  FBPropertyBool Active;  // Whether the constraint drives its models. Default false.
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBCONSTRAINT_H_

// Scene models: a named node of the scene tree with animatable local translation, rotation and
// scaling. Local = T x R(XYZ) x S; global = parent global x local. Creation, deletion and tree
// changes belong to the UI thread; values and matrices are guarded by the host scene lock, so the
// evaluation may write them while another thread reads. Deleting a model releases the templates
// bound to it and leaves its children at the top of the scene.
#ifndef FBSDK_FBMODEL_H_
#define FBSDK_FBMODEL_H_

#include <fbsdk/fbcore.h>
#include <fbsdk/fbproperties.h>
#include <fbsdk/fbtypes.h>

namespace FBSDKNamespace {

__FB_FORWARD(FBModel);
__FB_FORWARD(FBModelNull);
__FB_FORWARD(FBModelRoot);
__FB_FORWARD(FBModelSkeleton);

// Which transform GetMatrix / SetMatrix / GetVector / SetVector address.
enum FBModelTransformationType {
  kModelTransformation = 0,  // T x R x S.
  kModelRotation = 1,
  kModelTranslation = 2,
  kModelScaling = 3,
  kModelTransformation_Geometry = 4,  // Same as kModelTransformation here (no geometry offset).
  kModelInverse_Transformation = 5    // Inverse of kModelTransformation.
};

enum FBModelRotationOrder {
  kFBEulerXYZ = 0,
  kFBEulerXZY = 1,
  kFBEulerYZX = 2,
  kFBEulerYXZ = 3,
  kFBEulerZXY = 4,
  kFBEulerZYX = 5,
  kFBSphericXYZ = 6
};

// A model's children, in the order they were added. A model has at most one parent.
class FBSDK_DLL FBPropertyListModel : public FBPropertyListComponentBase {
 public:
  FBPropertyListModel();
  ~FBPropertyListModel() override;
  // Makes pItem a child (moving it from its old parent); refuses NULL, the owner and its
  // ancestors. Index of pItem in the list, -1 when refused.
  int Add(FBModel* pItem);
  void RemoveAt(int pIndex) override;  // The child goes to the top of the scene.
  FBModel* operator[](int pIndex);     // NULL when out of range.
  int GetCount() override;
  FBComponent* GetAt(int pIndex) override;

 private:
  int Add(FBComponent* pItem) override;  // Only models may be added.
};

class FBSDK_DLL FBModel : public FBBox {
  __FBClassDeclare(FBModel, FBBox);

 public:
  // A new top-level model of the scene named pName.
  FBModel(const char* pName, HIObject pObject = NULL);

  FBPropertyListModel Children;
  FBPropertyModel Parent;                    // NULL at the top of the scene; setting it reparents.
  FBPropertyAnimatableVector3d Translation;  // "Lcl Translation".
  FBPropertyAnimatableVector3d Rotation;     // "Lcl Rotation", XYZ degrees.
  FBPropertyAnimatableVector3d Scaling;      // "Lcl Scaling".
  FBPropertyBool Show;

  // Sets the transform pWhat (global or local) by changing the local channels.
  void SetMatrix(FBMatrix pMatrix, FBModelTransformationType pWhat = kModelTransformation,
                 bool pGlobalInfo = true, bool pPushUndo = false,
                 FBEvaluateInfo* pEvaluateInfo = NULL);
  // The transform pWhat, global or local, from the current channel values.
  void GetMatrix(FBMatrix& pMatrix, FBModelTransformationType pWhat = kModelTransformation,
                 bool pGlobalInfo = true, FBEvaluateInfo* pEvaluateInfo = NULL);
  // The translation, rotation (XYZ degrees) or scaling, global or local.
  void SetVector(FBVector3d pVector, FBModelTransformationType pWhat = kModelTranslation,
                 bool pGlobalInfo = true, bool pPushUndo = false,
                 FBEvaluateInfo* pEvaluateInfo = NULL);
  void GetVector(FBVector3d& pVector, FBModelTransformationType pWhat = kModelTranslation,
                 bool pGlobalInfo = true, FBEvaluateInfo* pEvaluateInfo = NULL);
};

class FBSDK_DLL FBModelNull : public FBModel {
  __FBClassDeclare(FBModelNull, FBModel);

 public:
  FBModelNull(const char* pName, HIObject pObject = NULL);
};

class FBSDK_DLL FBModelRoot : public FBModel {
  __FBClassDeclare(FBModelRoot, FBModel);

 public:
  FBModelRoot(const char* pName, HIObject pObject = NULL);
};

class FBSDK_DLL FBModelSkeleton : public FBModel {
  __FBClassDeclare(FBModelSkeleton, FBModel);

 public:
  FBModelSkeleton(const char* pName, HIObject pObject = NULL);
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBMODEL_H_

// Scene models: the model tree, its channels and transforms.
#include <fbsdk/fbmodel.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include <fbsdk/fbmath.h>

#include "scene_state.h"

namespace FBSDKNamespace {

using fbsdk_internal::HostAccess;
using fbsdk_internal::Scene;

namespace {

void DetachModelLocked(FBModel* pModel) REQUIRES(Scene().mMutex) {
  FBModel* parent = pModel->mLocalPtr->mParent;
  if (!parent) return;
  std::vector<FBModel*>& siblings = parent->mLocalPtr->mChildren;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), pModel), siblings.end());
  pModel->mLocalPtr->mParent = nullptr;
}

// Makes pChild a child of pParent (NULL: top level); false when that
// would make a cycle or either model is not in the scene.
bool ReparentLocked(FBModel* pChild, FBModel* pParent) REQUIRES(Scene().mMutex) {
  if (!fbsdk_internal::IsSceneModelLocked(pChild)) return false;
  if (pParent && !fbsdk_internal::IsSceneModelLocked(pParent)) return false;
  for (FBModel* m = pParent; m; m = m->mLocalPtr->mParent) {
    if (m == pChild) return false;
  }
  if (pChild->mLocalPtr->mParent == pParent) return true;
  DetachModelLocked(pChild);
  if (pParent) {
    pParent->mLocalPtr->mChildren.push_back(pChild);
    pChild->mLocalPtr->mParent = pParent;
  }
  return true;
}

FBModel* ParentGet(void* pOwner) {
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<FBModel*>(pOwner)->mLocalPtr->mParent;
}

void ParentSet(void* pOwner, FBModel* pParent) {
  kovrim::MutexLock lock(&Scene().mMutex);
  ReparentLocked(static_cast<FBModel*>(pOwner), pParent);
}

FBModel* OwnerModel(FBProperty& pList) { return static_cast<FBModel*>(HostAccess::Parent(pList)); }

FBMatrix LocalMatrixLocked(FBModel* pModel) REQUIRES(Scene().mMutex) {
  const double* t = pModel->Translation.mLocalPtr->mValue;
  const double* r = pModel->Rotation.mLocalPtr->mValue;
  const double* s = pModel->Scaling.mLocalPtr->mValue;
  FBMatrix matrix;
  FBTRSToMatrix(matrix, FBTVector(t[0], t[1], t[2], 1.0), FBRVector(r[0], r[1], r[2]),
                FBSVector(s[0], s[1], s[2]));
  return matrix;
}

FBMatrix GlobalMatrixLocked(FBModel* pModel) REQUIRES(Scene().mMutex) {
  FBMatrix global = LocalMatrixLocked(pModel);
  for (FBModel* parent = pModel->mLocalPtr->mParent; parent; parent = parent->mLocalPtr->mParent) {
    FBMatrix product;
    FBMatrixMult(product, LocalMatrixLocked(parent), global);
    global = product;
  }
  return global;
}

FBMatrix ParentGlobalLocked(FBModel* pModel) REQUIRES(Scene().mMutex) {
  FBModel* parent = pModel->mLocalPtr->mParent;
  return parent ? GlobalMatrixLocked(parent) : FBMatrix();
}

void SetChannelLocked(FBPropertyAnimatable& pChannel, const double* pValues)
    REQUIRES(Scene().mMutex) {
  for (int i = 0; i < 3; ++i) pChannel.mLocalPtr->mValue[i] = pValues[i];
}

void InitModel(FBModel* pModel) {
  HostAccess::SetParent(pModel->Children, pModel);
  pModel->Children.SetName("Children");
  pModel->Parent.Init(pModel, "Parent", &ParentGet, &ParentSet);
  double unit[3] = {1.0, 1.0, 1.0};
  pModel->Translation.Init(pModel, "Lcl Translation", ANIMATIONNODE_TYPE_LOCAL_TRANSLATION, NULL);
  pModel->Rotation.Init(pModel, "Lcl Rotation", ANIMATIONNODE_TYPE_LOCAL_ROTATION, NULL);
  pModel->Scaling.Init(pModel, "Lcl Scaling", ANIMATIONNODE_TYPE_LOCAL_SCALING, unit);
  pModel->Show.Init(pModel, "Show");
  pModel->Show = true;
  FBProperty* properties[] = {&pModel->Children, &pModel->Parent,  &pModel->Translation,
                              &pModel->Rotation, &pModel->Scaling, &pModel->Show};
  for (FBProperty* property : properties) pModel->PropertyList.Add(property);
  kovrim::MutexLock lock(&Scene().mMutex);
  Scene().mModels.push_back(pModel);
}

}  // namespace

// ---- FBPropertyListModel ----

FBPropertyListModel::FBPropertyListModel() {}

FBPropertyListModel::~FBPropertyListModel() {}

int FBPropertyListModel::Add(FBModel* pItem) {
  FBModel* owner = OwnerModel(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  if (!pItem || !ReparentLocked(pItem, owner)) return -1;
  std::vector<FBModel*>& children = owner->mLocalPtr->mChildren;
  return static_cast<int>(std::find(children.begin(), children.end(), pItem) - children.begin());
}

int FBPropertyListModel::Add(FBComponent* pItem) {
  if (FBModel* model = FBCast<FBModel>(pItem)) return Add(model);
  return -1;
}

void FBPropertyListModel::RemoveAt(int pIndex) {
  FBModel* owner = OwnerModel(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBModel*>& children = owner->mLocalPtr->mChildren;
  if (pIndex < 0 || pIndex >= static_cast<int>(children.size())) return;
  DetachModelLocked(children[pIndex]);
}

FBModel* FBPropertyListModel::operator[](int pIndex) {
  FBModel* owner = OwnerModel(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  std::vector<FBModel*>& children = owner->mLocalPtr->mChildren;
  return (pIndex >= 0 && pIndex < static_cast<int>(children.size())) ? children[pIndex] : NULL;
}

int FBPropertyListModel::GetCount() {
  FBModel* owner = OwnerModel(*this);
  kovrim::MutexLock lock(&Scene().mMutex);
  return static_cast<int>(owner->mLocalPtr->mChildren.size());
}

FBComponent* FBPropertyListModel::GetAt(int pIndex) { return (*this)[pIndex]; }

// ---- FBModel ----

FBModel::FBModel(const char* pName, HIObject pObject)
    : FBBox(pName, pObject), mLocalPtr(new DataFBModel) {
  InitModel(this);
}

namespace {

// Takes pModel out of the scene, its templates and the model tree. The destructor's part, in a
// function of its own: the lock analysis does not look into destructors.
void UnlinkModel(FBModel* pModel) {
  kovrim::MutexLock lock(&Scene().mMutex);
  DataFBModel* data = pModel->mLocalPtr;
  std::vector<FBModel*>& models = Scene().mModels;
  models.erase(std::remove(models.begin(), models.end(), pModel), models.end());
  for (FBModelTemplate* modelTemplate : data->mTemplates)
    modelTemplate->mLocalPtr->mModel = nullptr;
  data->mTemplates.clear();
  DetachModelLocked(pModel);
  for (FBModel* child : data->mChildren) child->mLocalPtr->mParent = nullptr;
  data->mChildren.clear();
}

}  // namespace

FBModel::~FBModel() {
  UnlinkModel(this);
  delete mLocalPtr;
}

void FBModel::SetMatrix(FBMatrix pMatrix, FBModelTransformationType pWhat, bool pGlobalInfo, bool,
                        FBEvaluateInfo*) {
  kovrim::MutexLock lock(&Scene().mMutex);
  if (pWhat == kModelInverse_Transformation) {
    pMatrix.Inverse();
    pWhat = kModelTransformation;
  }
  FBTVector t;
  FBRVector r;
  FBSVector s;
  if (pGlobalInfo) {
    // The local transform that gives pMatrix under the parent, for the part asked for.
    FBMatrix parentGlobal = ParentGlobalLocked(this);
    FBMatrix wanted = pMatrix;
    if (pWhat != kModelTransformation && pWhat != kModelTransformation_Geometry) {
      FBTVector gt;
      FBRVector gr;
      FBSVector gs;
      FBMatrixToTRS(gt, gr, gs, GlobalMatrixLocked(this));
      FBTVector mt;
      FBRVector mr;
      FBSVector ms;
      FBMatrixToTRS(mt, mr, ms, pMatrix);
      if (pWhat == kModelTranslation) gt = mt;
      if (pWhat == kModelRotation) gr = mr;
      if (pWhat == kModelScaling) gs = ms;
      FBTRSToMatrix(wanted, gt, gr, gs);
    }
    FBMatrix local;
    FBGetLocalMatrix(local, parentGlobal, wanted);
    FBMatrixToTRS(t, r, s, local);
  } else {
    FBMatrixToTRS(t, r, s, pMatrix);
  }
  const bool all = pWhat == kModelTransformation || pWhat == kModelTransformation_Geometry;
  if (all || pWhat == kModelTranslation || pGlobalInfo) SetChannelLocked(Translation, t.mValue);
  if (all || pWhat == kModelRotation || pGlobalInfo) SetChannelLocked(Rotation, r.mValue);
  if (all || pWhat == kModelScaling || pGlobalInfo) SetChannelLocked(Scaling, s.mValue);
}

void FBModel::GetMatrix(FBMatrix& pMatrix, FBModelTransformationType pWhat, bool pGlobalInfo,
                        FBEvaluateInfo*) {
  kovrim::MutexLock lock(&Scene().mMutex);
  const FBMatrix full = pGlobalInfo ? GlobalMatrixLocked(this) : LocalMatrixLocked(this);
  FBTVector t;
  FBRVector r;
  FBSVector s;
  switch (pWhat) {
    case kModelTranslation:
      FBMatrixToTRS(t, r, s, full);
      FBTranslationToMatrix(pMatrix, t);
      break;
    case kModelRotation:
      FBMatrixToTRS(t, r, s, full);
      FBRotationToMatrix(pMatrix, r);
      break;
    case kModelScaling:
      FBMatrixToTRS(t, r, s, full);
      FBScalingToMatrix(pMatrix, s);
      break;
    case kModelInverse_Transformation:
      FBMatrixInverse(pMatrix, full);
      break;
    default:
      pMatrix = full;
      break;
  }
}

void FBModel::SetVector(FBVector3d pVector, FBModelTransformationType pWhat, bool pGlobalInfo,
                        bool pPushUndo, FBEvaluateInfo* pEvaluateInfo) {
  if (!pGlobalInfo) {
    kovrim::MutexLock lock(&Scene().mMutex);
    if (pWhat == kModelTranslation) SetChannelLocked(Translation, pVector.mValue);
    if (pWhat == kModelRotation) SetChannelLocked(Rotation, pVector.mValue);
    if (pWhat == kModelScaling) SetChannelLocked(Scaling, pVector.mValue);
    return;
  }
  FBMatrix matrix;
  if (pWhat == kModelTranslation) {
    FBTranslationToMatrix(matrix, FBTVector(pVector[0], pVector[1], pVector[2], 1.0));
  } else if (pWhat == kModelRotation) {
    FBRotationToMatrix(matrix, pVector);
  } else if (pWhat == kModelScaling) {
    FBScalingToMatrix(matrix, FBSVector(pVector[0], pVector[1], pVector[2]));
  } else {
    return;
  }
  SetMatrix(matrix, pWhat, true, pPushUndo, pEvaluateInfo);
}

void FBModel::GetVector(FBVector3d& pVector, FBModelTransformationType pWhat, bool pGlobalInfo,
                        FBEvaluateInfo*) {
  kovrim::MutexLock lock(&Scene().mMutex);
  const FBMatrix full = pGlobalInfo ? GlobalMatrixLocked(this) : LocalMatrixLocked(this);
  FBTVector t;
  FBRVector r;
  FBSVector s;
  FBMatrixToTRS(t, r, s, full);
  if (!pGlobalInfo) {
    // Local values are the channels themselves, exactly.
    FBPropertyAnimatable* channel = pWhat == kModelTranslation ? &Translation
                                    : pWhat == kModelRotation  ? &Rotation
                                    : pWhat == kModelScaling   ? &Scaling
                                                               : nullptr;
    if (channel) {
      for (int i = 0; i < 3; ++i) pVector[i] = channel->mLocalPtr->mValue[i];
    }
    return;
  }
  if (pWhat == kModelTranslation) pVector = FBVector3d(t[0], t[1], t[2]);
  if (pWhat == kModelRotation) pVector = r;
  if (pWhat == kModelScaling) pVector = s;
}

FBModelNull::FBModelNull(const char* pName, HIObject pObject)
    : FBModel(pName, pObject), mLocalPtr(nullptr) {}
FBModelNull::~FBModelNull() {}

FBModelRoot::FBModelRoot(const char* pName, HIObject pObject)
    : FBModel(pName, pObject), mLocalPtr(nullptr) {}
FBModelRoot::~FBModelRoot() {}

FBModelSkeleton::FBModelSkeleton(const char* pName, HIObject pObject)
    : FBModel(pName, pObject), mLocalPtr(nullptr) {}
FBModelSkeleton::~FBModelSkeleton() {}

}  // namespace FBSDKNamespace

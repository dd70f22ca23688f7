// FBAnimationNode: a typed connector of a box (a device's output, a model channel's take
// animation) with the value written in the current evaluation and, for take animations, keys.
// Every method takes only the host's short scene lock, so the evaluation, device I/O and UI
// threads may all call it; a node destroyed by its box is freed (see FBBox::AnimationNodeDestroy).
#ifndef FBSDK_FBDATA_H_
#define FBSDK_FBDATA_H_

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbevaluateinfo.h>
#include <fbsdk/fbtime.h>

namespace FBSDKNamespace {

// Data types of animation nodes.
#define ANIMATIONNODE_TYPE_NUMBER "Number"
#define ANIMATIONNODE_TYPE_TIME "Time"
#define ANIMATIONNODE_TYPE_VECTOR "Vector"
#define ANIMATIONNODE_TYPE_VECTOR_4 "Vector4"
#define ANIMATIONNODE_TYPE_COLOR "Color"
#define ANIMATIONNODE_TYPE_LOCAL_TRANSLATION "Lcl Translation"
#define ANIMATIONNODE_TYPE_LOCAL_ROTATION "Lcl Rotation"
#define ANIMATIONNODE_TYPE_LOCAL_SCALING "Lcl Scaling"
#define ANIMATIONNODE_TYPE_TRANSLATION "Translation"
#define ANIMATIONNODE_TYPE_ROTATION "Rotation"
#define ANIMATIONNODE_TYPE_SCALING "Scaling"
#define ANIMATIONNODE_TYPE_BOOL "Bool"
#define ANIMATIONNODE_TYPE_INTEGER "Integer"
#define ANIMATIONNODE_TYPE_ENUM "Enum"
#define ANIMATIONNODE_TYPE_REFERENCE "Reference"

// Interpolation of the segment after a key.
enum FBInterpolation {
  kFBInterpolationInvalid = -1,
  kFBInterpolationConstant = 0,
  kFBInterpolationLinear = 1,
  kFBInterpolationCubic = 2,
  kFBInterpolationCustom = 3,
  kFBInterpolationCount = 4
};

// Tangent computation of a cubic key.
enum FBTangentMode {
  kFBTangentModeAuto = 0,  // "Smooth".
  kFBTangentModeTCB = 1,
  kFBTangentModeUser = 2,
  kFBTangentModeBreak = 3,
  kFBTangentModeTimeIndependent = 4,
  kFBTangentModeClampProgressive = 5
};

__FB_FORWARD(FBAnimationNode);

class FBSDK_DLL FBAnimationNode : public FBComponent {
  __FBClassDeclare(FBAnimationNode, FBComponent);

 public:
  // A free node (no box, "Number"); boxes make theirs with AnimationNodeIn/OutCreate.
  FBAnimationNode(const char* pName = NULL, HIObject pObject = NULL);

  // A key of GetDataDoubleArrayCount() values from pData at pTime, replacing a key at the same
  // time; interpolation and tangent mode are kept with it. Ignored on a destroyed node.
  void KeyAdd(const FBTime& pTime, double* pData,
              FBInterpolation pInterpolation = kFBInterpolationCubic,
              FBTangentMode pTangentMode = kFBTangentModeAuto);
  // The same at the host's current local time.
  void KeyAdd(double* pData, FBInterpolation pInterpolation = kFBInterpolationCubic,
              FBTangentMode pTangentMode = kFBTangentModeAuto);
  // Sets the current value (on a take animation: its channel's value). False when destroyed.
  bool SetCandidate(double* Data, bool pCheckLocked = false);
  int GetSizeOfData();            // Bytes of the value.
  int GetDataDoubleArrayCount();  // Doubles of the value (3 for Lcl Translation / Rotation).
  // Stores GetDataDoubleArrayCount() values for the evaluation pass pEvaluateInfo (a
  // translation may be passed as a 4-double vector; the fourth is not read). The host copies
  // them onto the bound model after the device's notification. False when destroyed.
  bool WriteData(double* Data, FBEvaluateInfo* pEvaluateInfo);
  // The last value written or set; false when nothing was.
  bool ReadData(double* Data, FBEvaluateInfo* pEvaluateInfo, bool pConvertGlobalToLocal = false);
  bool ReadData(double* Data);
  // While the host records and this node's model template is bound to a model: the take
  // animation of that model's channel of the same type (made animated), else NULL.
  FBAnimationNode* GetAnimationToRecord();

  FBPropertyString Label;
  FBPropertyString UserName;
  FBPropertykReference Reference;  // The user reference given at creation.
  FBPropertyInt KeyCount;          // Keys held. Read-only.
};

FB_DEFINE_COMPONENT(FBSDK_DLL, AnimationNode);

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBDATA_H_

// Transform helpers on FBMatrix and the FBVector types. Pure functions, callable from any thread.
// Conventions: column vectors (v' = M v), so a product A x B applies B first; angles in degrees;
// a rotation vector always holds the (x, y, z) angles whatever the order. Order "ABC" applies A
// first: kFBXYZ gives M = Rz(z) x Ry(y) x Rx(x). Output arguments may alias inputs.
#ifndef FBSDK_FBMATH_H_
#define FBSDK_FBMATH_H_

#include <fbsdk/fbtypes.h>

namespace FBSDKNamespace {

// Euler rotation orders; the first letter is the axis applied first.
enum FBRotationOrder {
  kFBXYZ,  // M = Rz Ry Rx.
  kFBXZY,  // M = Ry Rz Rx.
  kFBYXZ,  // M = Rz Rx Ry.
  kFBYZX,  // M = Rx Rz Ry.
  kFBZXY,  // M = Ry Rx Rz.
  kFBZYX   // M = Rx Ry Rz.
};

// Below this cos(middle angle), FBMatrixToRotationWithPrecision treats the matrix as gimbal locked.
#define FBMat2EulerDegenerateForPrecision10 16.0e-10

// pMatrix = inverse of pSrc (general 4x4); a singular pSrc gives identity.
FBSDK_DLL void FBMatrixInverse(FBMatrix& pMatrix, const FBMatrix& pSrc);
// pMatrix = transpose of pSrc.
FBSDK_DLL void FBMatrixTranspose(FBMatrix& pMatrix, const FBMatrix& pSrc);
// pMatrix = pA x pB (mathematical product: pB applied first), e.g. global = parent x local.
FBSDK_DLL void FBMatrixMult(FBMatrix& pMatrix, const FBMatrix& pA, const FBMatrix& pB);
// pOutVector = pMatrix x pVector (4-component, w included).
FBSDK_DLL void FBVectorMatrixMult(FBVector4d& pOutVector, const FBMatrix& pMatrix,
                                  const FBVector4d& pVector);
// Same for a float vertex.
FBSDK_DLL void FBVertexMatrixMult(FBVertex& pOutVertex, const FBMatrix& pMatrix,
                                  const FBVertex& pVertex);
// pMatrix = translation by (x, y, z) of pVector; w is ignored.
FBSDK_DLL void FBTranslationToMatrix(FBMatrix& pMatrix, const FBTVector& pVector);
// pMatrix = rotation by the (x, y, z) degrees in pVector, composed in pRotationOrder.
FBSDK_DLL void FBRotationToMatrix(FBMatrix& pMatrix, const FBRVector& pVector,
                                  FBRotationOrder pRotationOrder = kFBXYZ);
// pMatrix = scaling by pVector.
FBSDK_DLL void FBScalingToMatrix(FBMatrix& pMatrix, const FBSVector& pVector);
// pMatrix = T x R(kFBXYZ) x S.
FBSDK_DLL void FBTRSToMatrix(FBMatrix& pMatrix, const FBTVector& pTVector,
                             const FBRVector& pRVector, const FBSVector& pSVector);
// Translation part (flat 12..14) of pMatrix, w = 1.
FBSDK_DLL void FBMatrixToTranslation(FBTVector& pVector, const FBMatrix& pMatrix);
// (x, y, z) degrees that FBRotationToMatrix turns back into pMatrix's rotation for the same
// order. Middle angle in [-90, 90]; when it is +-90 (gimbal lock) the first-applied angle is 0.
// REQUIRES: the upper 3x3 of pMatrix is a rotation (no scaling).
FBSDK_DLL void FBMatrixToRotation(FBRVector& pVector, const FBMatrix& pMatrix,
                                  FBRotationOrder pRotationOrder = kFBXYZ);
// As FBMatrixToRotation, with the gimbal-lock threshold on cos(middle angle) given.
FBSDK_DLL void FBMatrixToRotationWithPrecision(
    FBRVector& pVector, const FBMatrix& pMatrix, FBRotationOrder pRotationOrder,
    double pPrecision = FBMat2EulerDegenerateForPrecision10);
// Lengths of the three axis columns.
FBSDK_DLL void FBMatrixToScaling(FBSVector& pVector, const FBMatrix& pMatrix);
// Inverse of FBTRSToMatrix for a matrix without shear (scales taken positive).
FBSDK_DLL void FBMatrixToTRS(FBTVector& pTVector, FBRVector& pRVector, FBSVector& pSVector,
                             const FBMatrix& pMatrix);
// pMatrix = inverse(pMatrixParent) x pMatrixChild: the child's transform relative to the parent.
FBSDK_DLL void FBGetLocalMatrix(FBMatrix& pMatrix, const FBMatrix& pMatrixParent,
                                const FBMatrix& pMatrixChild);
// pMatrix = pMatrixParent x pLocalMatrix.
FBSDK_DLL void FBGetGlobalMatrix(FBMatrix& pMatrix, const FBMatrix& pMatrixParent,
                                 const FBMatrix& pLocalMatrix);

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBMATH_H_

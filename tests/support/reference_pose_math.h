// The host stand-in's rotation routines as they were before they were made fast: three generic
// single-axis matrices and two dense 3x3 products per conversion, dense 4x4 products, and a
// decomposition that recomputes the first angle's sine and cosine. Kept out of the SDK headers,
// linked into the tests and benchmarks only, as the reference the fast routines are compared with
// and measured against. Pure functions, callable from any thread.
#ifndef KOVRIM_TESTS_SUPPORT_REFERENCE_POSE_MATH_H_
#define KOVRIM_TESTS_SUPPORT_REFERENCE_POSE_MATH_H_

#include <fbsdk/fbmath.h>

namespace reference_math {

// Same contracts as FBRotationToMatrix, FBMatrixMult and FBMatrixToRotationWithPrecision.
void RotationToMatrix(FBSDKNamespace::FBMatrix& pMatrix, const FBSDKNamespace::FBRVector& pVector,
                      FBSDKNamespace::FBRotationOrder pRotationOrder);
void MatrixMult(FBSDKNamespace::FBMatrix& pMatrix, const FBSDKNamespace::FBMatrix& pA,
                const FBSDKNamespace::FBMatrix& pB);
void MatrixToRotationWithPrecision(FBSDKNamespace::FBRVector& pVector,
                                   const FBSDKNamespace::FBMatrix& pMatrix,
                                   FBSDKNamespace::FBRotationOrder pRotationOrder,
                                   double pPrecision);
// With the default gimbal-lock threshold of FBMatrixToRotation.
void MatrixToRotation(FBSDKNamespace::FBRVector& pVector, const FBSDKNamespace::FBMatrix& pMatrix,
                      FBSDKNamespace::FBRotationOrder pRotationOrder);

}  // namespace reference_math

#endif  // KOVRIM_TESTS_SUPPORT_REFERENCE_POSE_MATH_H_

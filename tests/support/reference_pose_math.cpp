#include "reference_pose_math.h"

#include <cmath>

namespace reference_math {
namespace {

using FBSDKNamespace::FBMatrix;
using FBSDKNamespace::FBRotationOrder;
using FBSDKNamespace::FBRVector;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;
constexpr double kDefaultLockPrecision = 1e-12;

double At(const double* pFlat, int pRow, int pColumn) { return pFlat[pColumn * 4 + pRow]; }
double& At(double* pFlat, int pRow, int pColumn) { return pFlat[pColumn * 4 + pRow]; }

struct OrderAxes {
  int mFirst;
  int mSecond;
  int mThird;
  double mSign;
};

OrderAxes AxesOf(FBRotationOrder pOrder) {
  switch (pOrder) {
    case FBSDKNamespace::kFBXZY:
      return {0, 2, 1, -1.0};
    case FBSDKNamespace::kFBYXZ:
      return {1, 0, 2, -1.0};
    case FBSDKNamespace::kFBYZX:
      return {1, 2, 0, 1.0};
    case FBSDKNamespace::kFBZXY:
      return {2, 0, 1, 1.0};
    case FBSDKNamespace::kFBZYX:
      return {2, 1, 0, -1.0};
    case FBSDKNamespace::kFBXYZ:
    default:
      return {0, 1, 2, 1.0};
  }
}

typedef double Matrix3[3][3];

void AxisRotation(Matrix3& pOut, int pAxis, double pDegrees) {
  const double c = std::cos(pDegrees * kDegToRad);
  const double s = std::sin(pDegrees * kDegToRad);
  const int a = (pAxis + 1) % 3;
  const int b = (pAxis + 2) % 3;
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) pOut[r][col] = r == col ? 1.0 : 0.0;
  }
  pOut[a][a] = c;
  pOut[a][b] = -s;
  pOut[b][a] = s;
  pOut[b][b] = c;
}

void Multiply3(Matrix3& pOut, const Matrix3& pA, const Matrix3& pB) {
  Matrix3 result;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      result[r][c] = pA[r][0] * pB[0][c] + pA[r][1] * pB[1][c] + pA[r][2] * pB[2][c];
    }
  }
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pOut[r][c] = result[r][c];
  }
}

}  // namespace

void RotationToMatrix(FBMatrix& pMatrix, const FBRVector& pVector, FBRotationOrder pRotationOrder) {
  const OrderAxes axes = AxesOf(pRotationOrder);
  Matrix3 first, second, third, rotation;
  AxisRotation(first, axes.mFirst, pVector.mValue[axes.mFirst]);
  AxisRotation(second, axes.mSecond, pVector.mValue[axes.mSecond]);
  AxisRotation(third, axes.mThird, pVector.mValue[axes.mThird]);
  Multiply3(rotation, second, first);
  Multiply3(rotation, third, rotation);
  pMatrix.Identity();
  double* flat = pMatrix;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) At(flat, r, c) = rotation[r][c];
  }
}

void MatrixMult(FBMatrix& pMatrix, const FBMatrix& pA, const FBMatrix& pB) {
  const double* a = pA;
  const double* b = pB;
  double result[16];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      At(result, r, c) = At(a, r, 0) * At(b, 0, c) + At(a, r, 1) * At(b, 1, c) +
                         At(a, r, 2) * At(b, 2, c) + At(a, r, 3) * At(b, 3, c);
    }
  }
  pMatrix.Set(result);
}

void MatrixToRotationWithPrecision(FBRVector& pVector, const FBMatrix& pMatrix,
                                   FBRotationOrder pRotationOrder, double pPrecision) {
  const double* flat = pMatrix;
  Matrix3 pR;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pR[r][c] = At(flat, r, c);
  }
  const OrderAxes axes = AxesOf(pRotationOrder);
  const int i = axes.mFirst, j = axes.mSecond, k = axes.mThird;
  const double s = axes.mSign;
  const double cosMiddle = std::hypot(pR[k][j], pR[k][k]);
  const double middle = std::atan2(-s * pR[k][i], cosMiddle);
  const double first = cosMiddle > pPrecision ? std::atan2(s * pR[k][j], pR[k][k]) : 0.0;
  const double cf = std::cos(first);
  const double sf = std::sin(first);
  const double nij = cf * pR[i][j] - s * sf * pR[i][k];
  const double njj = cf * pR[j][j] - s * sf * pR[j][k];
  const double third = std::atan2(-s * nij, njj);
  pVector.mValue[i] = first * kRadToDeg;
  pVector.mValue[j] = middle * kRadToDeg;
  pVector.mValue[k] = third * kRadToDeg;
}

void MatrixToRotation(FBRVector& pVector, const FBMatrix& pMatrix, FBRotationOrder pRotationOrder) {
  MatrixToRotationWithPrecision(pVector, pMatrix, pRotationOrder, kDefaultLockPrecision);
}

}  // namespace reference_math

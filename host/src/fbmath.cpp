#include <fbsdk/fbmath.h>

#include <cmath>
#include <utility>

namespace FBSDKNamespace {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;
// Gimbal-lock threshold of FBMatrixToRotation: only cos(middle) at rounding level counts as
// locked, so angles a hair off 90 degrees still reproduce the matrix exactly.
constexpr double kDefaultLockPrecision = 1e-12;

// Element M[r][c] of the mathematical matrix, from the column-by-column storage.
double At(const double* pFlat, int pRow, int pColumn) { return pFlat[pColumn * 4 + pRow]; }
double& At(double* pFlat, int pRow, int pColumn) { return pFlat[pColumn * 4 + pRow]; }

// Axes of an order: mFirst applied first, M = R(mThird) R(mSecond) R(mFirst). mSign is +1 when
// (first, second, third) is a cyclic permutation of (x, y, z), else -1.
struct OrderAxes {
  int mFirst;
  int mSecond;
  int mThird;
  double mSign;
};

OrderAxes AxesOf(FBRotationOrder pOrder) {
  switch (pOrder) {
    case kFBXZY:
      return {0, 2, 1, -1.0};
    case kFBYXZ:
      return {1, 0, 2, -1.0};
    case kFBYZX:
      return {1, 2, 0, 1.0};
    case kFBZXY:
      return {2, 0, 1, 1.0};
    case kFBZYX:
      return {2, 1, 0, -1.0};
    case kFBXYZ:
    default:
      return {0, 1, 2, 1.0};
  }
}

typedef double Matrix3[3][3];  // [row][column], mathematical.

void AxisRotation(Matrix3& pOut, int pAxis, double pDegrees) {
  const double c = std::cos(pDegrees * kDegToRad);
  const double s = std::sin(pDegrees * kDegToRad);
  const int a = (pAxis + 1) % 3;
  const int b = (pAxis + 2) % 3;
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) pOut[r][col] = r == col ? 1.0 : 0.0;
  }
  // Right-handed rotation about pAxis: (a, b) -> (c a - s b, s a + c b).
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

void RotationMatrix3(Matrix3& pOut, const double* pAngles, FBRotationOrder pOrder) {
  const OrderAxes axes = AxesOf(pOrder);
  Matrix3 first, second, third;
  AxisRotation(first, axes.mFirst, pAngles[axes.mFirst]);
  AxisRotation(second, axes.mSecond, pAngles[axes.mSecond]);
  AxisRotation(third, axes.mThird, pAngles[axes.mThird]);
  Multiply3(pOut, second, first);
  Multiply3(pOut, third, pOut);
}

// Angles of the rotation pR (mathematical 3x3) for pOrder; see FBMatrixToRotation.
void RotationAngles(double* pAngles, const Matrix3& pR, FBRotationOrder pOrder, double pPrecision) {
  const OrderAxes axes = AxesOf(pOrder);
  const int i = axes.mFirst, j = axes.mSecond, k = axes.mThird;
  const double s = axes.mSign;
  // Row k of R is (-s sin(b), s cos(b) sin(a), cos(b) cos(a)) at columns (i, j, k).
  const double cosMiddle = std::hypot(pR[k][j], pR[k][k]);
  const double middle = std::atan2(-s * pR[k][i], cosMiddle);
  const double first = cosMiddle > pPrecision ? std::atan2(s * pR[k][j], pR[k][k]) : 0.0;
  // Undo the first rotation, N = R Ri(-first), then N = Rk(third) Rj(middle) and its column j
  // is Rk(third) e_j. Solving on N keeps the result exact even when first is poorly determined
  // near gimbal lock.
  const double cf = std::cos(first);
  const double sf = std::sin(first);
  const double nij = cf * pR[i][j] - s * sf * pR[i][k];
  const double njj = cf * pR[j][j] - s * sf * pR[j][k];
  const double third = std::atan2(-s * nij, njj);
  pAngles[i] = first * kRadToDeg;
  pAngles[j] = middle * kRadToDeg;
  pAngles[k] = third * kRadToDeg;
}

void ToMatrix3(Matrix3& pOut, const FBMatrix& pMatrix) {
  const double* flat = pMatrix;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pOut[r][c] = At(flat, r, c);
  }
}

// pMatrix = identity with pR as its upper 3x3.
void FromMatrix3(FBMatrix& pMatrix, const Matrix3& pR) {
  pMatrix.Identity();
  double* flat = pMatrix;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) At(flat, r, c) = pR[r][c];
  }
}

double ColumnLength(const double* pFlat, int pColumn) {
  return std::sqrt(At(pFlat, 0, pColumn) * At(pFlat, 0, pColumn) +
                   At(pFlat, 1, pColumn) * At(pFlat, 1, pColumn) +
                   At(pFlat, 2, pColumn) * At(pFlat, 2, pColumn));
}

}  // namespace

void FBMatrixInverse(FBMatrix& pMatrix, const FBMatrix& pSrc) {
  // Gauss-Jordan with partial pivoting on [A | I].
  double a[4][8];
  const double* src = pSrc;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      a[r][c] = At(src, r, c);
      a[r][c + 4] = r == c ? 1.0 : 0.0;
    }
  }
  for (int col = 0; col < 4; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 4; ++r) {
      if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
    }
    if (a[pivot][col] == 0.0 || !std::isfinite(a[pivot][col])) {
      pMatrix.Identity();
      return;
    }
    if (pivot != col) {
      for (int c = 0; c < 8; ++c) std::swap(a[pivot][c], a[col][c]);
    }
    const double scale = 1.0 / a[col][col];
    for (int c = 0; c < 8; ++c) a[col][c] *= scale;
    for (int r = 0; r < 4; ++r) {
      if (r == col || a[r][col] == 0.0) continue;
      const double factor = a[r][col];
      for (int c = 0; c < 8; ++c) a[r][c] -= factor * a[col][c];
    }
  }
  double* out = pMatrix;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) At(out, r, c) = a[r][c + 4];
  }
}

void FBMatrixTranspose(FBMatrix& pMatrix, const FBMatrix& pSrc) {
  const double* src = pSrc;
  double result[16];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) At(result, r, c) = At(src, c, r);
  }
  pMatrix.Set(result);
}

void FBMatrixMult(FBMatrix& pMatrix, const FBMatrix& pA, const FBMatrix& pB) {
  const double* a = pA;
  const double* b = pB;
  double result[16];  // Separate, so pMatrix may alias pA or pB.
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      At(result, r, c) = At(a, r, 0) * At(b, 0, c) + At(a, r, 1) * At(b, 1, c) +
                         At(a, r, 2) * At(b, 2, c) + At(a, r, 3) * At(b, 3, c);
    }
  }
  pMatrix.Set(result);
}

void FBVectorMatrixMult(FBVector4d& pOutVector, const FBMatrix& pMatrix,
                        const FBVector4d& pVector) {
  const double* m = pMatrix;
  const double* v = pVector;
  double result[4];
  for (int r = 0; r < 4; ++r) {
    result[r] = At(m, r, 0) * v[0] + At(m, r, 1) * v[1] + At(m, r, 2) * v[2] + At(m, r, 3) * v[3];
  }
  pOutVector.Set(result);
}

void FBVertexMatrixMult(FBVertex& pOutVertex, const FBMatrix& pMatrix, const FBVertex& pVertex) {
  FBVector4d vector(pVertex.mValue[0], pVertex.mValue[1], pVertex.mValue[2], pVertex.mValue[3]);
  FBVectorMatrixMult(vector, pMatrix, vector);
  for (int i = 0; i < 4; ++i) pOutVertex.mValue[i] = static_cast<float>(vector.mValue[i]);
}

void FBTranslationToMatrix(FBMatrix& pMatrix, const FBTVector& pVector) {
  const double x = pVector.mValue[0], y = pVector.mValue[1], z = pVector.mValue[2];
  pMatrix.Identity();
  double* flat = pMatrix;
  flat[12] = x;
  flat[13] = y;
  flat[14] = z;
}

void FBRotationToMatrix(FBMatrix& pMatrix, const FBRVector& pVector,
                        FBRotationOrder pRotationOrder) {
  Matrix3 rotation;
  RotationMatrix3(rotation, pVector.mValue, pRotationOrder);
  FromMatrix3(pMatrix, rotation);
}

void FBScalingToMatrix(FBMatrix& pMatrix, const FBSVector& pVector) {
  const double x = pVector.mValue[0], y = pVector.mValue[1], z = pVector.mValue[2];
  pMatrix.Identity();
  pMatrix(0, 0) = x;
  pMatrix(1, 1) = y;
  pMatrix(2, 2) = z;
}

void FBTRSToMatrix(FBMatrix& pMatrix, const FBTVector& pTVector, const FBRVector& pRVector,
                   const FBSVector& pSVector) {
  Matrix3 rotation;
  RotationMatrix3(rotation, pRVector.mValue, kFBXYZ);
  const double t[3] = {pTVector.mValue[0], pTVector.mValue[1], pTVector.mValue[2]};
  const double s[3] = {pSVector.mValue[0], pSVector.mValue[1], pSVector.mValue[2]};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) rotation[r][c] *= s[c];
  }
  FromMatrix3(pMatrix, rotation);
  double* flat = pMatrix;
  flat[12] = t[0];
  flat[13] = t[1];
  flat[14] = t[2];
}

void FBMatrixToTranslation(FBTVector& pVector, const FBMatrix& pMatrix) {
  const double* flat = pMatrix;
  pVector = FBTVector(flat[12], flat[13], flat[14], 1.0);
}

void FBMatrixToRotation(FBRVector& pVector, const FBMatrix& pMatrix,
                        FBRotationOrder pRotationOrder) {
  FBMatrixToRotationWithPrecision(pVector, pMatrix, pRotationOrder, kDefaultLockPrecision);
}

void FBMatrixToRotationWithPrecision(FBRVector& pVector, const FBMatrix& pMatrix,
                                     FBRotationOrder pRotationOrder, double pPrecision) {
  Matrix3 rotation;
  ToMatrix3(rotation, pMatrix);
  RotationAngles(pVector.mValue, rotation, pRotationOrder, pPrecision);
}

void FBMatrixToScaling(FBSVector& pVector, const FBMatrix& pMatrix) {
  const double* flat = pMatrix;
  pVector = FBSVector(ColumnLength(flat, 0), ColumnLength(flat, 1), ColumnLength(flat, 2));
}

void FBMatrixToTRS(FBTVector& pTVector, FBRVector& pRVector, FBSVector& pSVector,
                   const FBMatrix& pMatrix) {
  const FBMatrix source(pMatrix);  // The outputs may not alias, but keep the input stable.
  const double* flat = source;
  Matrix3 rotation;
  ToMatrix3(rotation, source);
  double scale[3];
  for (int c = 0; c < 3; ++c) {
    scale[c] = ColumnLength(flat, c);
    if (scale[c] == 0.0) continue;
    for (int r = 0; r < 3; ++r) rotation[r][c] /= scale[c];
  }
  RotationAngles(pRVector.mValue, rotation, kFBXYZ, kDefaultLockPrecision);
  pSVector = FBSVector(scale[0], scale[1], scale[2]);
  pTVector = FBTVector(flat[12], flat[13], flat[14], 1.0);
}

void FBGetLocalMatrix(FBMatrix& pMatrix, const FBMatrix& pMatrixParent,
                      const FBMatrix& pMatrixChild) {
  FBMatrix inverseParent;
  FBMatrixInverse(inverseParent, pMatrixParent);
  FBMatrixMult(pMatrix, inverseParent, pMatrixChild);
}

void FBGetGlobalMatrix(FBMatrix& pMatrix, const FBMatrix& pMatrixParent,
                       const FBMatrix& pLocalMatrix) {
  FBMatrixMult(pMatrix, pMatrixParent, pLocalMatrix);
}

}  // namespace FBSDKNamespace

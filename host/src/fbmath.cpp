#include <fbsdk/fbmath.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace FBSDKNamespace {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;
// Gimbal-lock threshold of FBMatrixToRotation: only cos(middle) at rounding level counts as
// locked, so angles a hair off 90 degrees still reproduce the matrix exactly.
constexpr double kDefaultLockPrecision = 1e-12;
// Below this, the numerator of the third angle's atan2 may be all rounding residue; far above the
// few units in the last place by which the ratio-based and the trigonometric cosine and sine
// differ.
constexpr double kBranchResidue = 1e-12;

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

uint64_t Bits(double pValue) {
  uint64_t bits;
  std::memcpy(&bits, &pValue, sizeof(bits));
  return bits;
}

typedef double Matrix3[3][3];  // [row][column], mathematical.

// The two axes that a rotation about axis n turns: a = (n + 1) % 3, b = (n + 2) % 3.
constexpr int kNextAxis[3] = {1, 2, 0};
constexpr int kLastAxis[3] = {2, 0, 1};

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

// pM = R(pAxis) x pM for the rotation of cosine pC and sine pS: only rows a and b change, and each
// new entry is the same two products the dense product sums. The dense product's third term is a
// positive zero, which turns a negative zero sum positive; + 0.0 does the same here.
void RotateRows(Matrix3& pM, int pAxis, double pC, double pS) {
  const int a = kNextAxis[pAxis];
  const int b = kLastAxis[pAxis];
  for (int col = 0; col < 3; ++col) {
    const double ma = pM[a][col];
    const double mb = pM[b][col];
    pM[a][col] = pC * ma - pS * mb + 0.0;
    pM[b][col] = pS * ma + pC * mb + 0.0;
  }
}

// As RotationMatrix3, with the same products for finite angles, but an axis whose angle is zero
// costs nothing (its rotation is the identity) and only two rows change per axis. The entries
// equal RotationMatrix3's; non-finite angles take RotationMatrix3 itself, so that NaN spreads to
// the same entries as it always has.
void FastRotationMatrix3(Matrix3& pOut, const double* pAngles, FBRotationOrder pOrder) {
  if (!std::isfinite(pAngles[0] + pAngles[1] + pAngles[2])) {
    RotationMatrix3(pOut, pAngles, pOrder);
    return;
  }
  const OrderAxes axes = AxesOf(pOrder);
  const int order[3] = {axes.mFirst, axes.mSecond, axes.mThird};
  bool identity = true;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pOut[r][c] = r == c ? 1.0 : 0.0;
  }
  for (int axis : order) {
    const double degrees = pAngles[axis];
    if (degrees == 0.0) continue;
    const double c = std::cos(degrees * kDegToRad);
    const double s = std::sin(degrees * kDegToRad);
    if (identity) {
      const int a = kNextAxis[axis];
      const int b = kLastAxis[axis];
      pOut[a][a] = c;
      pOut[a][b] = -s + 0.0;  // s is zero when the angle underflows to 0 radians.
      pOut[b][a] = s + 0.0;
      pOut[b][b] = c;
      identity = false;
    } else {
      RotateRows(pOut, axis, c, s);
    }
  }
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

// As RotationAngles without the trigonometry it can do without: cos(middle) by a square root
// where hypot's care for range is not needed, and the first angle's cosine and sine as the ratios
// atan2 took them from. Those differ from cos(first) and sin(first) by rounding only, which
// matters in one place: a third angle of +-180 degrees, where the sign of a rounding residue
// picks the side. There the cosine and sine are taken as RotationAngles takes them, so that the
// side is the same. Non-finite entries take RotationAngles itself.
void FastRotationAngles(double* pAngles, const Matrix3& pR, FBRotationOrder pOrder,
                        double pPrecision) {
  const OrderAxes axes = AxesOf(pOrder);
  const int i = axes.mFirst, j = axes.mSecond, k = axes.mThird;
  const double s = axes.mSign;
  const double rki = pR[k][i], rkj = pR[k][j], rkk = pR[k][k];
  if (!std::isfinite(rki + rkj + rkk + pR[i][j] + pR[i][k] + pR[j][j] + pR[j][k])) {
    RotationAngles(pAngles, pR, pOrder, pPrecision);
    return;
  }
  const double squared = rkj * rkj + rkk * rkk;
  const double cosMiddle =
      squared > 1e-280 && squared < 1e280 ? std::sqrt(squared) : std::hypot(rkj, rkk);
  const double middle = std::atan2(-s * rki, cosMiddle);
  double first = 0.0, cf = 1.0, sf = 0.0;
  if (cosMiddle > pPrecision) {
    first = std::atan2(s * rkj, rkk);
    cf = rkk / cosMiddle;
    sf = s * rkj / cosMiddle;
  }
  double nij = cf * pR[i][j] - s * sf * pR[i][k];
  double njj = cf * pR[j][j] - s * sf * pR[j][k];
  if (njj < 0.0 && std::fabs(nij) < kBranchResidue) {
    cf = std::cos(first);
    sf = std::sin(first);
    nij = cf * pR[i][j] - s * sf * pR[i][k];
    njj = cf * pR[j][j] - s * sf * pR[j][k];
  }
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
  double* flat = pMatrix;
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) At(flat, r, c) = pR[r][c];
    At(flat, 3, c) = 0.0;
    At(flat, c, 3) = 0.0;
  }
  flat[15] = 1.0;
}

// True when the fourth row and column of the flat matrix are exactly the identity's, zeros
// positive: the matrix is linear, with no translation or projection.
bool IsLinear(const double* pFlat) {
  constexpr uint64_t kZero = 0;                     // +0.0
  constexpr uint64_t kOne = 0x3FF0000000000000ull;  // 1.0
  return Bits(pFlat[3]) == kZero && Bits(pFlat[7]) == kZero && Bits(pFlat[11]) == kZero &&
         Bits(pFlat[12]) == kZero && Bits(pFlat[13]) == kZero && Bits(pFlat[14]) == kZero &&
         Bits(pFlat[15]) == kOne;
}

// True when the nine entries of the upper 3x3 are finite (a huge sum that overflows answers
// false too, which only costs the general path).
bool AreFinite3(const double* pFlat) {
  return std::isfinite(pFlat[0] + pFlat[1] + pFlat[2] + pFlat[4] + pFlat[5] + pFlat[6] + pFlat[8] +
                       pFlat[9] + pFlat[10]);
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
  if (IsLinear(a) && IsLinear(b) && AreFinite3(a) && AreFinite3(b)) {
    const bool aliased = &pMatrix == &pA || &pMatrix == &pB;
    double* out = aliased ? result : static_cast<double*>(pMatrix);
    // The fourth terms are products of exact positive zeros, the fourth row and column come out
    // as the identity's; the 3x3 sums are the dense product's, + 0.0 standing for its last term.
    for (int c = 0; c < 3; ++c) {
      for (int r = 0; r < 3; ++r) {
        At(out, r, c) =
            At(a, r, 0) * At(b, 0, c) + At(a, r, 1) * At(b, 1, c) + At(a, r, 2) * At(b, 2, c) + 0.0;
      }
      At(out, 3, c) = 0.0;
      At(out, c, 3) = 0.0;
    }
    out[15] = 1.0;
    if (aliased) pMatrix.Set(result);
    return;
  }
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
  FBVector4d vector(static_cast<double>(pVertex.mValue[0]), static_cast<double>(pVertex.mValue[1]),
                    static_cast<double>(pVertex.mValue[2]), static_cast<double>(pVertex.mValue[3]));
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
  const double* angles = pVector.mValue;
  const int zeros = (angles[0] == 0.0) + (angles[1] == 0.0) + (angles[2] == 0.0);
  if (zeros >= 2 && std::isfinite(angles[0] + angles[1] + angles[2])) {
    // One axis (or none): its rotation written straight into the matrix, whatever the order.
    double* flat = pMatrix;
    for (int i = 0; i < 16; ++i) flat[i] = i % 5 == 0 ? 1.0 : 0.0;
    const int axis = angles[0] != 0.0 ? 0 : angles[1] != 0.0 ? 1 : 2;
    if (angles[axis] == 0.0) return;
    const double c = std::cos(angles[axis] * kDegToRad);
    const double s = std::sin(angles[axis] * kDegToRad);
    const int a = kNextAxis[axis];
    const int b = kLastAxis[axis];
    At(flat, a, a) = c;
    At(flat, a, b) = -s + 0.0;  // As in FastRotationMatrix3.
    At(flat, b, a) = s + 0.0;
    At(flat, b, b) = c;
    return;
  }
  Matrix3 rotation;
  FastRotationMatrix3(rotation, pVector.mValue, pRotationOrder);
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
  FastRotationMatrix3(rotation, pRVector.mValue, kFBXYZ);
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
  FastRotationAngles(pVector.mValue, rotation, pRotationOrder, pPrecision);
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
  FastRotationAngles(pRVector.mValue, rotation, kFBXYZ, kDefaultLockPrecision);
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

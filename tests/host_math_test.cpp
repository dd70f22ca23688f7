// Rotation and matrix conventions of the host stand-in: column vectors, column-by-column storage,
// degrees, order "ABC" applies A first.
#include <fbsdk/fbsdk.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_rotation.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const FBRotationOrder kAllOrders[] = {kFBXYZ, kFBXZY, kFBYXZ, kFBYZX, kFBZXY, kFBZYX};

using testmath::Mat3;
using testmath::Multiply;
constexpr auto Axis = testmath::AxisRotation;

// Axis indices in application order, e.g. kFBYZX -> {1, 2, 0}.
void OrderAxes(FBRotationOrder order, int axes[3]) {
  static const int kTable[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                   {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (int i = 0; i < 3; ++i) axes[i] = kTable[order][i];
}

Mat3 Composed(FBRotationOrder order, const double xyz[3]) {
  int a[3];
  OrderAxes(order, a);
  return Multiply(Axis(a[2], xyz[a[2]]), Multiply(Axis(a[1], xyz[a[1]]), Axis(a[0], xyz[a[0]])));
}

void ExpectRotationPart(const FBMatrix& actual, const Mat3& expected, double tolerance) {
  const double* flat = actual;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(flat[c * 4 + r], expected.m[r][c], tolerance) << r << c;
}

void ExpectMatrixNear(const FBMatrix& a, const FBMatrix& b, double tolerance) {
  const double* x = a;
  const double* y = b;
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(x[i], y[i], tolerance) << "flat " << i;
}

TEST(HostMathTest, XyzRotationMatchesWrittenOutFormulas) {
  const double angles[][3] = {{10, 20, 30}, {-75, 40, 170}, {0, 90, 0}, {123, -33, -150}};
  for (const auto& a : angles) {
    FBMatrix m;
    FBRotationToMatrix(m, FBRVector(a[0], a[1], a[2]));
    const double sx = std::sin(a[0] * kPi / 180), cx = std::cos(a[0] * kPi / 180);
    const double sy = std::sin(a[1] * kPi / 180), cy = std::cos(a[1] * kPi / 180);
    const double sz = std::sin(a[2] * kPi / 180), cz = std::cos(a[2] * kPi / 180);
    const Mat3 expected{{{cy * cz, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx},
                         {sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx},
                         {-sy, cy * sx, cy * cx}}};
    ExpectRotationPart(m, expected, 1e-12);
    const double* flat = m;
    EXPECT_EQ(flat[3], 0.0);
    EXPECT_EQ(flat[12], 0.0);
    EXPECT_EQ(flat[15], 1.0);
  }
}

TEST(HostMathTest, EveryOrderAppliesItsFirstLetterFirst) {
  const double xyz[3] = {25, -40, 65};
  for (FBRotationOrder order : kAllOrders) {
    FBMatrix m;
    FBRotationToMatrix(m, FBRVector(xyz[0], xyz[1], xyz[2]), order);
    SCOPED_TRACE(order);
    ExpectRotationPart(m, Composed(order, xyz), 1e-12);
  }
}

// With noisy, the rotation is first passed through Q x (Q^T x R) for an arbitrary Q, which leaves
// rounding noise in every entry, as matrices from real transform chains have.
void ExpectRoundTrip(FBRotationOrder order, const double xyz[3], bool noisy = false) {
  FBMatrix original, rebuilt;
  FBRotationToMatrix(original, FBRVector(xyz[0], xyz[1], xyz[2]), order);
  if (noisy) {
    FBMatrix q, qt;
    FBRotationToMatrix(q, FBRVector(xyz[1] + 17, 33, xyz[0] - 71));
    FBMatrixTranspose(qt, q);
    FBMatrixMult(original, qt, original);
    FBMatrixMult(original, q, original);
  }
  FBRVector angles;
  FBMatrixToRotation(angles, original, order);
  FBRotationToMatrix(rebuilt, angles, order);
  SCOPED_TRACE(testing::Message() << "order " << order << " angles " << xyz[0] << ", " << xyz[1]
                                  << ", " << xyz[2]);
  ExpectMatrixNear(rebuilt, original, 1e-9);
}

TEST(HostMathTest, MatrixToRotationReproducesRandomRotationsInEveryOrder) {
  std::mt19937 random(20190);
  std::uniform_real_distribution<double> angle(-180.0, 180.0);
  for (FBRotationOrder order : kAllOrders) {
    for (int i = 0; i < 500; ++i) {
      const double xyz[3] = {angle(random), angle(random), angle(random)};
      ExpectRoundTrip(order, xyz);
    }
  }
}

TEST(HostMathTest, MatrixToRotationReproducesGimbalLockedRotations) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> angle(-180.0, 180.0);
  const double middles[] = {90.0, -90.0, 90.0 - 1e-9, -90.0 + 1e-9, 90.0 + 1e-9, 89.9999999};
  for (FBRotationOrder order : kAllOrders) {
    int axes[3];
    OrderAxes(order, axes);
    for (double middle : middles) {
      for (int i = 0; i < 50; ++i) {
        double xyz[3] = {angle(random), angle(random), angle(random)};
        xyz[axes[1]] = middle;
        ExpectRoundTrip(order, xyz);
        ExpectRoundTrip(order, xyz, true);
      }
    }
  }
}

TEST(HostMathTest, ExactGimbalLockZeroesTheFirstAngle) {
  for (FBRotationOrder order : kAllOrders) {
    int axes[3];
    OrderAxes(order, axes);
    double xyz[3] = {30, 50, 70};
    xyz[axes[1]] = -90;
    FBMatrix m;
    FBRotationToMatrix(m, FBRVector(xyz[0], xyz[1], xyz[2]), order);
    FBRVector angles;
    FBMatrixToRotation(angles, m, order);
    EXPECT_EQ(angles[axes[0]], 0.0) << order;
    EXPECT_NEAR(angles[axes[1]], -90.0, 1e-6) << order;
  }
}

TEST(HostMathTest, MatrixMultAppliesSecondOperandFirstAndAllowsAliasing) {
  FBMatrix translate, rotate, product;
  FBTranslationToMatrix(translate, FBTVector(1, 2, 3));
  FBRotationToMatrix(rotate, FBRVector(0, 0, 90));
  FBMatrixMult(product, translate, rotate);  // Rotate, then translate.
  FBVector4d moved;
  FBVectorMatrixMult(moved, product, FBVector4d(1, 0, 0));
  EXPECT_NEAR(moved[0], 1.0, 1e-12);
  EXPECT_NEAR(moved[1], 3.0, 1e-12);
  EXPECT_NEAR(moved[2], 3.0, 1e-12);
  EXPECT_NEAR(moved[3], 1.0, 1e-12);

  FBMatrix reversed;
  FBMatrixMult(reversed, rotate, translate);
  const double* flat = reversed;
  EXPECT_NEAR(flat[12], -2.0, 1e-12);  // The translation is rotated too.
  EXPECT_NEAR(flat[13], 1.0, 1e-12);

  FBMatrix aliasLeft(translate), aliasRight(rotate);
  FBMatrixMult(aliasLeft, aliasLeft, rotate);
  FBMatrixMult(aliasRight, translate, aliasRight);
  EXPECT_EQ(aliasLeft, product);
  EXPECT_EQ(aliasRight, product);
  EXPECT_EQ(translate * rotate, product);
}

TEST(HostMathTest, StorageIsColumnByColumnWithTranslationAt12) {
  FBMatrix identity;
  const double* flat = identity;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(flat[i], i % 5 == 0 ? 1.0 : 0.0);

  FBMatrix m;
  FBTRSToMatrix(m, FBTVector(4, 5, 6), FBRVector(0, 0, 0), FBSVector(2, 3, 4));
  flat = m;
  EXPECT_EQ(flat[12], 4.0);
  EXPECT_EQ(flat[13], 5.0);
  EXPECT_EQ(flat[14], 6.0);
  EXPECT_EQ(m(3, 1), 5.0);
  EXPECT_EQ(flat[5], 3.0);
  FBTVector t;
  FBMatrixToTranslation(t, m);
  EXPECT_EQ(t, FBTVector(4, 5, 6, 1));
}

TEST(HostMathTest, VectorsDefaultToZeroAndFourValueConstructorDefaultsWToOne) {
  FBVector3d v3;
  FBVector4d v4;
  EXPECT_EQ(v3, FBVector3d(0, 0, 0));
  EXPECT_EQ(v4, FBVector4d(0, 0, 0, 0));
  EXPECT_EQ(FBTVector(1, 2, 3)[3], 1.0);
  const FBVector3d a(1, 2, 3), b(1, 2, 3);
  EXPECT_TRUE(a == b);  // Compares values, not the addresses of the arrays.
}

TEST(HostMathTest, LocalAndGlobalMatricesAreInverse) {
  FBMatrix parent, local, global, back;
  FBTRSToMatrix(parent, FBTVector(1, -2, 3), FBRVector(10, 20, 30), FBSVector(1, 2, 0.5));
  FBTRSToMatrix(local, FBTVector(-4, 0.5, 7), FBRVector(-60, 5, 100), FBSVector(1, 1, 1));
  FBGetGlobalMatrix(global, parent, local);
  FBGetLocalMatrix(back, parent, global);
  ExpectMatrixNear(back, local, 1e-12);

  FBTVector t;
  FBRVector r;
  FBSVector s;
  FBMatrixToTRS(t, r, s, parent);
  EXPECT_NEAR(r[0], 10, 1e-9);
  EXPECT_NEAR(r[2], 30, 1e-9);
  EXPECT_NEAR(s[1], 2, 1e-12);
}

}  // namespace

// The stand-in's fast rotation routines against the routines they replaced, kept as the
// reference: every matrix entry within 1e-12 (relative above 1) and zeros of the same sign, every
// angle within 1e-9 degrees, NaN where the reference has NaN, over random angles in every order,
// single-axis inputs, gimbal lock, multiples of 90 degrees, tiny and non-finite values, products
// of linear and general matrices, and the link's per-joint chain.
#include <fbsdk/fbsdk.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "reference_pose_math.h"

namespace {

const FBRotationOrder kAllOrders[] = {kFBXYZ, kFBXZY, kFBYXZ, kFBYZX, kFBZXY, kFBZYX};
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Angles that sit on the special cases: zeros of both signs, multiples of 90, tiny and huge.
const double kSpecialAngles[] = {0.0,   -0.0,   5e-324, 1e-300,     -1e-300,     1e-12,     -1e-9,
                                 1e-7,  45.0,   90.0,   -90.0,      180.0,       -180.0,    270.0,
                                 360.0, -360.0, 720.0,  89.9999999, 90.0 + 1e-9, 179.99999, 1e6};

// The axis applied second, e.g. kFBYZX -> 2 (z).
int MiddleAxis(FBRotationOrder order) {
  static const int kMiddle[6] = {1, 2, 0, 2, 0, 1};
  return kMiddle[order];
}

// Same value: both NaN, zeros of the same sign, or within 1e-12 (relative above magnitude 1).
::testing::AssertionResult SameEntry(double actual, double expected) {
  if (std::isnan(expected) || std::isnan(actual)) {
    if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  } else if (expected == 0.0 && actual == 0.0) {
    // The sign of a zero steers atan2 to +180 or -180 degrees further down a chain.
    if (std::signbit(actual) == std::signbit(expected)) return ::testing::AssertionSuccess();
  } else if (actual == expected ||
             std::fabs(actual - expected) <= 1e-12 * std::max(1.0, std::fabs(expected))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << actual << " where the reference has " << expected;
}

::testing::AssertionResult SameAngle(double actual, double expected) {
  if (std::isnan(expected) || std::isnan(actual)) {
    if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  } else if (actual == expected || std::fabs(actual - expected) <= 1e-9) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << actual << " degrees where the reference has " << expected;
}

void ExpectSameMatrix(const FBMatrix& actual, const FBMatrix& expected) {
  const double* a = actual;
  const double* e = expected;
  for (int i = 0; i < 16; ++i) EXPECT_TRUE(SameEntry(a[i], e[i])) << "flat " << i;
}

void ExpectSameAngles(const FBRVector& actual, const FBRVector& expected) {
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(SameAngle(actual[i], expected[i])) << "angle " << i;
}

// Conversion to a matrix, and back, both compared with the reference.
void CheckAngles(FBRotationOrder order, const FBRVector& angles) {
  SCOPED_TRACE(::testing::Message() << "order " << order << " angles " << angles[0] << ", "
                                    << angles[1] << ", " << angles[2]);
  FBMatrix fast, reference;
  FBRotationToMatrix(fast, angles, order);
  reference_math::RotationToMatrix(reference, angles, order);
  ExpectSameMatrix(fast, reference);
  for (FBRotationOrder decomposeOrder : kAllOrders) {
    FBRVector fastAngles, referenceAngles;
    FBMatrixToRotation(fastAngles, reference, decomposeOrder);
    reference_math::MatrixToRotation(referenceAngles, reference, decomposeOrder);
    ExpectSameAngles(fastAngles, referenceAngles);
  }
}

void CheckDecomposition(const FBMatrix& matrix) {
  for (FBRotationOrder order : kAllOrders) {
    for (double precision : {1e-12, FBMat2EulerDegenerateForPrecision10, 1e-6}) {
      FBRVector fast, reference;
      FBMatrixToRotationWithPrecision(fast, matrix, order, precision);
      reference_math::MatrixToRotationWithPrecision(reference, matrix, order, precision);
      SCOPED_TRACE(::testing::Message() << "order " << order << " precision " << precision);
      ExpectSameAngles(fast, reference);
    }
  }
}

void CheckProduct(const FBMatrix& a, const FBMatrix& b) {
  FBMatrix fast, reference;
  FBMatrixMult(fast, a, b);
  reference_math::MatrixMult(reference, a, b);
  ExpectSameMatrix(fast, reference);
}

TEST(HostMathReferenceTest, RandomAnglesInEveryOrder) {
  std::mt19937 random(1234);
  std::uniform_real_distribution<double> angle(-360.0, 360.0);
  for (FBRotationOrder order : kAllOrders) {
    for (int n = 0; n < 400; ++n)
      CheckAngles(order, FBRVector(angle(random), angle(random), angle(random)));
  }
}

TEST(HostMathReferenceTest, SingleAxisAndSpecialAngles) {
  for (FBRotationOrder order : kAllOrders) {
    for (int axis = 0; axis < 3; ++axis) {
      for (double value : kSpecialAngles) {
        FBRVector angles(0.0, 0.0, 0.0);
        angles[axis] = value;
        CheckAngles(order, angles);
        angles[axis] = -value;
        CheckAngles(order, angles);
      }
    }
  }
}

TEST(HostMathReferenceTest, EveryCombinationOfSpecialAngles) {
  const double values[] = {0.0, -0.0, 5e-324, 90.0, -90.0, 180.0, -180.0, 360.0, 1e-12, 30.0};
  for (FBRotationOrder order : kAllOrders) {
    for (double x : values) {
      for (double y : values) {
        for (double z : values) CheckAngles(order, FBRVector(x, y, z));
      }
    }
  }
}

TEST(HostMathReferenceTest, GimbalLockedAndNearlyLockedRotations) {
  std::mt19937 random(99);
  std::uniform_real_distribution<double> angle(-180.0, 180.0);
  const double middles[] = {90.0,       -90.0,       90.0 - 1e-9,  -90.0 + 1e-9, 90.0 + 1e-9,
                            89.9999999, 90.0 - 1e-4, -90.0 + 1e-6, 90.0 - 1e-13, -90.0 - 1e-13};
  for (FBRotationOrder order : kAllOrders) {
    for (double middle : middles) {
      for (int n = 0; n < 40; ++n) {
        FBRVector angles(angle(random), angle(random), angle(random));
        angles[MiddleAxis(order)] = middle;
        CheckAngles(order, angles);
        // The same rotation with rounding noise in every entry, as from a chain of transforms.
        FBMatrix rotation, q, qt;
        FBRotationToMatrix(rotation, angles, order);
        reference_math::RotationToMatrix(q, FBRVector(angles[1] + 17, 33, angles[0] - 71), kFBXYZ);
        FBMatrixTranspose(qt, q);
        reference_math::MatrixMult(rotation, qt, rotation);
        reference_math::MatrixMult(rotation, q, rotation);
        CheckDecomposition(rotation);
      }
    }
  }
}

TEST(HostMathReferenceTest, NonFiniteAnglesAndEntriesSpreadAsBefore) {
  const double bad[] = {kNaN, kInf, -kInf, 1e308};
  for (FBRotationOrder order : kAllOrders) {
    for (int axis = 0; axis < 3; ++axis) {
      for (double value : bad) {
        FBRVector single(0.0, 0.0, 0.0);
        single[axis] = value;
        CheckAngles(order, single);
        FBRVector mixed(25.0, -40.0, 65.0);
        mixed[axis] = value;
        CheckAngles(order, mixed);
      }
    }
  }
  for (int entry = 0; entry < 16; ++entry) {
    for (double value : bad) {
      FBMatrix matrix;
      reference_math::RotationToMatrix(matrix, FBRVector(10, 20, 30), kFBXYZ);
      static_cast<double*>(matrix)[entry] = value;
      SCOPED_TRACE(::testing::Message() << "flat " << entry << " = " << value);
      CheckDecomposition(matrix);
      FBMatrix other;
      reference_math::RotationToMatrix(other, FBRVector(-50, 5, 120), kFBZXY);
      CheckProduct(matrix, other);
      CheckProduct(other, matrix);
    }
  }
}

TEST(HostMathReferenceTest, ProductsOfLinearAndGeneralMatrices) {
  std::mt19937 random(5);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  for (int n = 0; n < 300; ++n) {
    FBMatrix a, b;
    reference_math::RotationToMatrix(a, FBRVector(value(random) * 60, value(random) * 60, 0.0),
                                     kAllOrders[n % 6]);
    reference_math::RotationToMatrix(b, FBRVector(0.0, value(random) * 60, value(random) * 60),
                                     kAllOrders[(n + 1) % 6]);
    CheckProduct(a, b);  // Linear: the 3x3 product.
    FBMatrix translated(b);
    static_cast<double*>(translated)[12 + n % 3] = value(random);
    CheckProduct(a, translated);
    CheckProduct(translated, a);
    FBMatrix projective(a);
    static_cast<double*>(projective)[3 + 4 * (n % 4)] = value(random);
    CheckProduct(projective, b);
    CheckProduct(b, projective);
    // A negative zero in the fourth row makes the reference's fourth terms negative zeros.
    FBMatrix negativeZero(a);
    static_cast<double*>(negativeZero)[7] = -0.0;
    CheckProduct(negativeZero, b);
    FBMatrix general;
    double* flat = general;
    for (int i = 0; i < 16; ++i) flat[i] = value(random);
    CheckProduct(general, a);
    CheckProduct(a, general);
    CheckProduct(general, general);
  }
  // Zeros whose signs the dense product's fourth terms decide: a column of negative zeros in a
  // linear matrix, and a negative row beside a negative-zero translation.
  FBMatrix rotation, zeroColumn, negativeRow;
  reference_math::RotationToMatrix(rotation, FBRVector(10, 20, 30), kFBXYZ);
  for (int r = 0; r < 3; ++r) static_cast<double*>(zeroColumn)[r] = -0.0;
  CheckProduct(rotation, zeroColumn);
  for (int c = 0; c < 3; ++c) static_cast<double*>(negativeRow)[4 * c] = -0.25 - c;
  static_cast<double*>(negativeRow)[12] = -0.0;
  CheckProduct(negativeRow, rotation);
  // Aliased output, fast path.
  FBMatrix a, b, expected;
  FBRotationToMatrix(a, FBRVector(10, 20, 30));
  FBRotationToMatrix(b, FBRVector(-40, 50, 60));
  reference_math::MatrixMult(expected, a, b);
  FBMatrix left(a), right(b);
  FBMatrixMult(left, left, b);
  FBMatrixMult(right, a, right);
  ExpectSameMatrix(left, expected);
  ExpectSameMatrix(right, expected);
}

// The link's conversion of one joint: a single-axis matrix per rotation channel in file order,
// their product, and the angles of the product in XYZ order.
FBRVector JointChain(const int channels[3], const double values[3], bool fast) {
  FBMatrix composed, single, product;
  for (int n = 0; n < 3; ++n) {
    FBRVector angles(0.0, 0.0, 0.0);
    angles[channels[n]] = values[n];
    if (n == 0) {
      if (fast)
        FBRotationToMatrix(composed, angles, kFBXYZ);
      else
        reference_math::RotationToMatrix(composed, angles, kFBXYZ);
      continue;
    }
    if (fast) {
      FBRotationToMatrix(single, angles, kFBXYZ);
      FBMatrixMult(product, composed, single);
    } else {
      reference_math::RotationToMatrix(single, angles, kFBXYZ);
      reference_math::MatrixMult(product, composed, single);
    }
    composed = product;
  }
  FBRVector result;
  if (fast)
    FBMatrixToRotation(result, composed, kFBXYZ);
  else
    reference_math::MatrixToRotation(result, composed, kFBXYZ);
  return result;
}

TEST(HostMathReferenceTest, LinkJointChainInEveryChannelOrder) {
  const int channelOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                   {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  std::mt19937 random(77);
  std::uniform_real_distribution<double> angle(-180.0, 180.0);
  std::vector<double> pool(std::begin(kSpecialAngles), std::end(kSpecialAngles));
  for (const auto& channels : channelOrders) {
    for (int n = 0; n < 3000; ++n) {
      double values[3];
      for (double& v : values) v = n % 3 == 0 ? angle(random) : pool[random() % pool.size()];
      SCOPED_TRACE(::testing::Message()
                   << "channels " << channels[0] << channels[1] << channels[2] << " values "
                   << values[0] << ", " << values[1] << ", " << values[2]);
      ExpectSameAngles(JointChain(channels, values, true), JointChain(channels, values, false));
    }
  }
}

}  // namespace

// Pose math per joint as the link does it for one joint: a single-axis matrix for each of the
// three rotation channels, two products, and the decomposition into the host's XYZ angles. The
// same chain on the stand-in's rotation routines, on the routines they replaced (the test
// reference), and written plainly inline (the floor), for every channel order (Arg = order index
// into kChannelOrders).
#include <benchmark/benchmark.h>

#include <fbsdk/fbsdk.h>

#include <cmath>
#include <random>
#include <vector>

#include "reference_pose_math.h"
#include "server_link.h"

namespace {

// Channel orders as listed in a file: the axis of the first, second and third rotation channel.
const int kChannelOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
constexpr int kPoolSize = 1024;  // Distinct joints' values, so no result is a repeat.
constexpr double kDegToRad = 3.14159265358979323846 / 180.0;
constexpr double kRadToDeg = 180.0 / 3.14159265358979323846;

std::vector<float> AnglePool() {
  std::mt19937 random(31);
  std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
  std::vector<float> pool(3 * kPoolSize);
  for (float& value : pool) value = angle(random);
  return pool;
}

template <typename Routines>
void RunChain(benchmark::State& state) {
  const int* axes = kChannelOrders[state.range(0)];
  const std::vector<float> pool = AnglePool();
  int joint = 0;
  for (auto _ : state) {
    const float* values = &pool[3 * joint];
    FBMatrix composed, single, product;
    FBRVector angles(0.0, 0.0, 0.0);
    angles[axes[0]] = static_cast<double>(values[0]);
    Routines::ToMatrix(composed, angles);
    for (int n = 1; n < 3; ++n) {
      FBRVector axis(0.0, 0.0, 0.0);
      axis[axes[n]] = static_cast<double>(values[n]);
      Routines::ToMatrix(single, axis);
      Routines::Mult(product, composed, single);
      composed = product;
    }
    FBRVector result;
    Routines::ToRotation(result, composed);
    benchmark::DoNotOptimize(result);
    joint = (joint + 1) % kPoolSize;
  }
  state.SetItemsProcessed(state.iterations());
}

struct StandIn {
  static void ToMatrix(FBMatrix& m, const FBRVector& v) { FBRotationToMatrix(m, v, kFBXYZ); }
  static void Mult(FBMatrix& m, const FBMatrix& a, const FBMatrix& b) { FBMatrixMult(m, a, b); }
  static void ToRotation(FBRVector& v, const FBMatrix& m) { FBMatrixToRotation(v, m, kFBXYZ); }
};

struct Reference {
  static void ToMatrix(FBMatrix& m, const FBRVector& v) {
    reference_math::RotationToMatrix(m, v, kFBXYZ);
  }
  static void Mult(FBMatrix& m, const FBMatrix& a, const FBMatrix& b) {
    reference_math::MatrixMult(m, a, b);
  }
  static void ToRotation(FBRVector& v, const FBMatrix& m) {
    reference_math::MatrixToRotation(v, m, kFBXYZ);
  }
};

void BM_PoseMathStandIn(benchmark::State& state) { RunChain<StandIn>(state); }
void BM_PoseMathReference(benchmark::State& state) { RunChain<Reference>(state); }

// The floor: the same three conversions, two products and one decomposition written plainly,
// 3x3 matrices on the stack, one sine and cosine per channel.
void BM_PoseMathPlain(benchmark::State& state) {
  const int* axes = kChannelOrders[state.range(0)];
  const std::vector<float> pool = AnglePool();
  int joint = 0;
  for (auto _ : state) {
    const float* values = &pool[3 * joint];
    double composed[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int n = 0; n < 3; ++n) {
      const double radians = static_cast<double>(values[n]) * kDegToRad;
      const double c = std::cos(radians), s = std::sin(radians);
      double single[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
      const int a = (axes[n] + 1) % 3, b = (axes[n] + 2) % 3;
      single[a][a] = c;
      single[a][b] = -s;
      single[b][a] = s;
      single[b][b] = c;
      double product[3][3];
      for (int r = 0; r < 3; ++r) {
        for (int col = 0; col < 3; ++col) {
          product[r][col] = composed[r][0] * single[0][col] + composed[r][1] * single[1][col] +
                            composed[r][2] * single[2][col];
        }
      }
      for (int r = 0; r < 3; ++r) {
        for (int col = 0; col < 3; ++col) composed[r][col] = product[r][col];
      }
    }
    // M = Rz Ry Rx: y = atan2(-m20, |(m21, m22)|), x = atan2(m21, m22), z = atan2(m10, m00).
    FBRVector result(std::atan2(composed[2][1], composed[2][2]) * kRadToDeg,
                     std::atan2(-composed[2][0], std::sqrt(composed[2][1] * composed[2][1] +
                                                           composed[2][2] * composed[2][2])) *
                         kRadToDeg,
                     std::atan2(composed[1][0], composed[0][0]) * kRadToDeg);
    benchmark::DoNotOptimize(result);
    joint = (joint + 1) % kPoolSize;
  }
  state.SetItemsProcessed(state.iterations());
}

// The link's own per-joint conversion, on the stand-in's routines.
void BM_PoseMathLinkToHostRotation(benchmark::State& state) {
  const int* axes = kChannelOrders[state.range(0)];
  const std::vector<int> channels = {IvraPlugs::BVH_JOIN::Xrotation + axes[0],
                                     IvraPlugs::BVH_JOIN::Xrotation + axes[1],
                                     IvraPlugs::BVH_JOIN::Xrotation + axes[2]};
  const std::vector<float> pool = AnglePool();
  int joint = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ServerLink::ToHostRotation(channels, &pool[3 * joint]));
    joint = (joint + 1) % kPoolSize;
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PoseMathReference)->DenseRange(0, 5);
BENCHMARK(BM_PoseMathStandIn)->DenseRange(0, 5);
BENCHMARK(BM_PoseMathPlain)->DenseRange(0, 5);
BENCHMARK(BM_PoseMathLinkToHostRotation)->DenseRange(0, 5);

}  // namespace

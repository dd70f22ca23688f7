// Rotation matrices that tests compose themselves, independently of the host's and the tools'
// math: 3x3, [row][column], column vectors, degrees. Header only; no state.
#ifndef KMQ_TESTS_SUPPORT_TEST_ROTATION_H_
#define KMQ_TESTS_SUPPORT_TEST_ROTATION_H_

#include <cmath>

namespace testmath {

struct Mat3 {
  double m[3][3];
};

inline Mat3 Identity() { return Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

inline Mat3 Multiply(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      for (int k = 0; k < 3; ++k) r.m[i][j] += a.m[i][k] * b.m[k][j];
    }
  }
  return r;
}

// The rotation of degrees about axis 0 (x), 1 (y) or 2 (z).
inline Mat3 AxisRotation(int axis, double degrees) {
  const double a = degrees * std::acos(-1.0) / 180.0;
  const double c = std::cos(a);
  const double s = std::sin(a);
  if (axis == 0) return Mat3{{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
  if (axis == 1) return Mat3{{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}};
  return Mat3{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}

}  // namespace testmath

#endif  // KMQ_TESTS_SUPPORT_TEST_ROTATION_H_

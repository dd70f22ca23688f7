// Basic SDK types: the kernel integer types, the FBVector templates and FBMatrix.
// Value types with no shared state: one object may be used by one thread at a time, distinct
// objects from any thread. FBMatrix holds the column-vector (mathematical) matrix M stored column
// by column, as OpenGL does: M[r][c] is at flat index c*4 + r, translation at 12, 13, 14.
#ifndef FBSDK_FBTYPES_H_
#define FBSDK_FBTYPES_H_

#include <cstdint>

#include <fbsdk/fbversion.h>

#if defined(_WIN32)
// The SDK's library macros define DllMain, so the Windows declarations come with the SDK, the way
// every plug-in translation unit sees them: without min/max macros and without the rarely used
// parts of the Windows headers.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

// Export marker of the SDK library: imported by plug-ins (__declspec(dllimport) on Windows),
// exported while the stand-in itself is built; default visibility on the GCC builds.
#ifndef FBSDK_DLL
#if defined(_WIN32) && defined(KMQ_BUILDING_FBSDK)
#define FBSDK_DLL __declspec(dllexport)
#elif defined(_WIN32)
#define FBSDK_DLL __declspec(dllimport)
#else
#define FBSDK_DLL __attribute__((visibility("default")))
#endif
#endif

// The kernel types are global in the host, outside the SDK namespace.
typedef signed long long kLongLong;     // 64-bit signed, the tick type of FBTime.
typedef unsigned long long kULongLong;  // 64-bit unsigned.
#if defined(__LP64__)
typedef unsigned int kULong;  // 32-bit on every platform.
typedef int kLong;            // 32-bit on every platform.
#else
typedef unsigned long kULong;
typedef long kLong;
#endif
typedef uintptr_t kReference;  // An opaque pointer-sized reference stored beside list items.

namespace FBSDKNamespace {

// Two-component vector; the default constructor gives zeros.
template <class tType>
class FBVector2 {
 public:
  FBVector2() { Init(); }  // (0, 0).
  FBVector2(const FBVector2& pVector) { Set(const_cast<tType*>(pVector.mValue)); }
  FBVector2(tType* pValue) { Set(pValue); }  // REQUIRES: pValue points to 2 values.
  FBVector2(tType p1, tType p2) {
    mValue[0] = p1;
    mValue[1] = p2;
  }
  void Init() { mValue[0] = mValue[1] = tType(0); }  // Clears the vector.
  tType& operator[](int pIndex) { return mValue[pIndex]; }
  void Set(tType* pValue) {  // Copies 2 values.
    mValue[0] = pValue[0];
    mValue[1] = pValue[1];
  }
  operator tType*() const { return const_cast<tType*>(mValue); }  // The 2 values in place.
  const FBVector2& operator=(const FBVector2& pVector) {
    Set(const_cast<tType*>(pVector.mValue));
    return *this;
  }
  // Element-wise exact comparison. Const here so that a const vector compares values rather
  // than falling back to comparing the addresses of the two arrays.
  bool operator==(const FBVector2& pVector) const {
    return mValue[0] == pVector.mValue[0] && mValue[1] == pVector.mValue[1];
  }
  bool operator!=(const FBVector2& pVector) const { return !(*this == pVector); }

  tType mValue[2];
};

// Three-component vector (rotations in degrees, colours, scalings); default gives zeros.
template <class tType>
class FBVector3 {
 public:
  FBVector3() { Init(); }  // (0, 0, 0).
  FBVector3(const FBVector3& pVector) { Set(const_cast<tType*>(pVector.mValue)); }
  FBVector3(tType* pValue) { Set(pValue); }  // REQUIRES: pValue points to 3 values.
  FBVector3(tType p1, tType p2, tType p3 = 0) {
    mValue[0] = p1;
    mValue[1] = p2;
    mValue[2] = p3;
  }
  void Init() { mValue[0] = mValue[1] = mValue[2] = tType(0); }  // Clears the vector.
  tType& operator[](int pIndex) { return mValue[pIndex]; }
  void Set(tType* pValue) {  // Copies 3 values.
    mValue[0] = pValue[0];
    mValue[1] = pValue[1];
    mValue[2] = pValue[2];
  }
  operator tType*() const { return const_cast<tType*>(mValue); }  // The 3 values in place.
  const FBVector3& operator=(const FBVector3& pVector) {
    Set(const_cast<tType*>(pVector.mValue));
    return *this;
  }
  // Element-wise exact comparison (const: see FBVector2).
  bool operator==(const FBVector3& pVector) const {
    return mValue[0] == pVector.mValue[0] && mValue[1] == pVector.mValue[1] &&
           mValue[2] == pVector.mValue[2];
  }
  bool operator!=(const FBVector3& pVector) const { return !(*this == pVector); }

  tType mValue[3];
};

// Four-component vector (translations, quaternions, vertices); default gives zeros, while the
// 4-value constructor defaults w to 1.
template <class tType>
class FBVector4 {
 public:
  FBVector4() { Init(); }  // (0, 0, 0, 0).
  FBVector4(const FBVector4& pVector) { Set(const_cast<tType*>(pVector.mValue)); }
  FBVector4(tType* pValue) { Set(pValue); }  // REQUIRES: pValue points to 4 values.
  FBVector4(tType p1, tType p2, tType p3, tType p4 = 1) {
    mValue[0] = p1;
    mValue[1] = p2;
    mValue[2] = p3;
    mValue[3] = p4;
  }
  void Init() { mValue[0] = mValue[1] = mValue[2] = mValue[3] = tType(0); }  // Clears it.
  tType& operator[](int pIndex) { return mValue[pIndex]; }
  void Set(tType* pValue) {  // Copies 4 values.
    mValue[0] = pValue[0];
    mValue[1] = pValue[1];
    mValue[2] = pValue[2];
    mValue[3] = pValue[3];
  }
  operator tType*() const { return const_cast<tType*>(mValue); }  // The 4 values in place.
  const FBVector4& operator=(const FBVector4& pVector) {
    Set(const_cast<tType*>(pVector.mValue));
    return *this;
  }
  // Element-wise exact comparison (const: see FBVector2).
  bool operator==(const FBVector4& pVector) const {
    return mValue[0] == pVector.mValue[0] && mValue[1] == pVector.mValue[1] &&
           mValue[2] == pVector.mValue[2] && mValue[3] == pVector.mValue[3];
  }
  bool operator!=(const FBVector4& pVector) const { return !(*this == pVector); }

  tType mValue[4];
};

typedef FBVector2<double> FBVector2d;
typedef FBVector3<double> FBVector3d;
typedef FBVector4<double> FBVector4d;
typedef FBVector3<double> FBRVector;     // Rotation: (x, y, z) angles in degrees.
typedef FBVector4<double> FBTVector;     // Translation: (x, y, z, w); w is ignored.
typedef FBVector4<double> FBQuaternion;  // Quaternion (x, y, z, w).
typedef FBVector4<float> FBVertex;
typedef FBVector4<float> FBNormal;
typedef FBVector4<float> FBColorF;

// Scaling vector: a missing z scale is 1, not 0; the default is the unit scaling.
class FBSVector : public FBVector3<double> {
 public:
  FBSVector() : FBVector3<double>(1.0, 1.0, 1.0) {}  // (1, 1, 1).
  FBSVector(double p1, double p2, double p3 = 1.0) : FBVector3<double>(p1, p2, p3) {}
};

// 4x4 transform in column-vector convention (v' = M v), stored column by column: mathematical
// M[r][c] sits at flat index c*4 + r, so the translation is at flat 12, 13, 14 and flat 3, 7,
// 11 are 0 for an affine transform. Default: identity.
class FBSDK_DLL FBMatrix {
 public:
  FBMatrix();                         // Identity.
  FBMatrix(const double* pValue);     // REQUIRES: pValue holds 16 values in storage order.
  FBMatrix(const FBMatrix& pMatrix);  // Copies the 16 values.
  void Identity();                    // Resets to identity.
  void Set(const double* pValue);     // REQUIRES: pValue holds 16 values in storage order.
  operator double*() const;           // The 16 stored values in place (m[12] = translation x).
  // Stored element [i][j], i.e. flat index i*4 + j: column i, row j of the mathematical matrix
  // (M[j][i]). (3, 0), (3, 1), (3, 2) are the translation.
  double& operator()(int i, int j);
  const FBMatrix& operator=(const FBMatrix& pMatrix);
  const FBMatrix& operator=(const double* pValue);  // REQUIRES: 16 values in storage order.
  // Exact element-wise comparison (const: see FBVector2).
  bool operator==(const FBMatrix& pMatrix) const;
  bool operator!=(const FBMatrix& pMatrix) const;
  const FBMatrix operator+(const FBMatrix& pMatrix) const;  // Element-wise sum.
  FBMatrix& operator+=(const FBMatrix& pMatrix);
  const FBMatrix operator-();                               // Element-wise negation.
  const FBMatrix operator-(const FBMatrix& pMatrix) const;  // Element-wise difference.
  FBMatrix& operator-=(const FBMatrix& pMatrix);
  // Mathematical product (*this) x pMatrix: pMatrix is applied first, as FBMatrixMult does.
  const FBMatrix operator*(const FBMatrix& pMatrix) const;
  FBMatrix& operator*=(const FBMatrix& pMatrix);        // *this = (*this) x pMatrix.
  const FBMatrix operator*(const double pValue) const;  // Scales all 16 values.
  FBMatrix& operator*=(const double pValue);
  FBMatrix& Inverse();    // In place; a singular matrix becomes identity.
  FBMatrix& Transpose();  // In place.

 private:
  double mValue[4][4];  // mValue[c][r] = M[r][c].
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBTYPES_H_

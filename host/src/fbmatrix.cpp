#include <fbsdk/fbmath.h>
#include <fbsdk/fbtypes.h>

#include <cstring>

namespace FBSDKNamespace {

FBMatrix::FBMatrix() { Identity(); }

FBMatrix::FBMatrix(const double* pValue) { Set(pValue); }

FBMatrix::FBMatrix(const FBMatrix& pMatrix) { std::memcpy(mValue, pMatrix.mValue, sizeof(mValue)); }

void FBMatrix::Identity() {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) mValue[i][j] = i == j ? 1.0 : 0.0;
  }
}

void FBMatrix::Set(const double* pValue) {
  if (pValue == nullptr) {
    Identity();
    return;
  }
  std::memcpy(mValue, pValue, sizeof(mValue));
}

FBMatrix::operator double*() const { return const_cast<double*>(&mValue[0][0]); }

double& FBMatrix::operator()(int i, int j) { return mValue[i][j]; }

const FBMatrix& FBMatrix::operator=(const FBMatrix& pMatrix) {
  std::memmove(mValue, pMatrix.mValue, sizeof(mValue));
  return *this;
}

const FBMatrix& FBMatrix::operator=(const double* pValue) {
  if (pValue != &mValue[0][0]) Set(pValue);
  return *this;
}

bool FBMatrix::operator==(const FBMatrix& pMatrix) const {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      if (mValue[i][j] != pMatrix.mValue[i][j]) return false;
    }
  }
  return true;
}

bool FBMatrix::operator!=(const FBMatrix& pMatrix) const { return !(*this == pMatrix); }

const FBMatrix FBMatrix::operator+(const FBMatrix& pMatrix) const {
  FBMatrix result(*this);
  return result += pMatrix;
}

FBMatrix& FBMatrix::operator+=(const FBMatrix& pMatrix) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) mValue[i][j] += pMatrix.mValue[i][j];
  }
  return *this;
}

const FBMatrix FBMatrix::operator-() { return *this * -1.0; }

const FBMatrix FBMatrix::operator-(const FBMatrix& pMatrix) const {
  FBMatrix result(*this);
  return result -= pMatrix;
}

FBMatrix& FBMatrix::operator-=(const FBMatrix& pMatrix) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) mValue[i][j] -= pMatrix.mValue[i][j];
  }
  return *this;
}

const FBMatrix FBMatrix::operator*(const FBMatrix& pMatrix) const {
  FBMatrix result;
  FBMatrixMult(result, *this, pMatrix);
  return result;
}

FBMatrix& FBMatrix::operator*=(const FBMatrix& pMatrix) {
  FBMatrixMult(*this, *this, pMatrix);
  return *this;
}

const FBMatrix FBMatrix::operator*(const double pValue) const {
  FBMatrix result(*this);
  return result *= pValue;
}

FBMatrix& FBMatrix::operator*=(const double pValue) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) mValue[i][j] *= pValue;
  }
  return *this;
}

FBMatrix& FBMatrix::Inverse() {
  FBMatrixInverse(*this, *this);
  return *this;
}

FBMatrix& FBMatrix::Transpose() {
  FBMatrixTranspose(*this, *this);
  return *this;
}

}  // namespace FBSDKNamespace

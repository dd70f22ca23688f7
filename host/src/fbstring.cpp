#include <fbsdk/fbstring.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace FBSDKNamespace {
namespace {

// Heap copy of pLen characters of pText plus a terminator; pText may be null when pLen is 0.
char* CopyText(const char* pText, size_t pLen) {
  char* copy = new char[pLen + 1];
  if (pLen > 0) std::memcpy(copy, pText, pLen);
  copy[pLen] = '\0';
  return copy;
}

size_t SafeLen(const char* pText) { return pText ? std::strlen(pText) : 0; }

}  // namespace

FBString::FBString() : mStr(CopyText(nullptr, 0)) {}

FBString::FBString(const char* pStr) : mStr(CopyText(pStr, SafeLen(pStr))) {}

FBString::FBString(const FBString& pStr) : mStr(CopyText(pStr.mStr, std::strlen(pStr.mStr))) {}

FBString::FBString(const char* p1Str, const char* p2Str) {
  const size_t len1 = SafeLen(p1Str);
  const size_t len2 = SafeLen(p2Str);
  mStr = new char[len1 + len2 + 1];
  if (len1 > 0) std::memcpy(mStr, p1Str, len1);
  if (len2 > 0) std::memcpy(mStr + len1, p2Str, len2);
  mStr[len1 + len2] = '\0';
}

FBString::~FBString() { delete[] mStr; }

FBString::operator char*() const { return mStr; }

FBString::operator const char*() const { return mStr; }

char FBString::operator[](unsigned int pIndex) const {
  return pIndex < GetLen() ? mStr[pIndex] : '\0';
}

const FBString& FBString::operator=(const char* pStr) {
  // Copy first: pStr may point into mStr.
  char* copy = CopyText(pStr, SafeLen(pStr));
  delete[] mStr;
  mStr = copy;
  return *this;
}

const FBString& FBString::operator=(const FBString& pStr) { return *this = pStr.mStr; }

bool FBString::operator==(const FBString& pStr) const { return std::strcmp(mStr, pStr.mStr) == 0; }

bool FBString::operator==(const char* pStr) const {
  return std::strcmp(mStr, pStr ? pStr : "") == 0;
}

bool FBString::operator==(char* pStr) const { return *this == static_cast<const char*>(pStr); }

bool FBString::operator!=(const FBString& pStr) const { return !(*this == pStr); }

bool FBString::operator!=(const char* pStr) const { return !(*this == pStr); }

bool FBString::operator!=(char* pStr) const { return !(*this == pStr); }

const FBString& FBString::operator+=(const char* pStr) {
  FBString joined(mStr, pStr);  // Built before mStr is released: pStr may point into it.
  std::swap(mStr, joined.mStr);
  return *this;
}

FBString FBString::operator+(const char* pStr) { return FBString(mStr, pStr); }

FBString FBString::Mid(unsigned int pStart, unsigned int pLen) const {
  const size_t len = GetLen();
  if (pStart >= len) return FBString();
  const size_t count = pLen < len - pStart ? pLen : len - pStart;
  FBString result;
  delete[] result.mStr;
  result.mStr = CopyText(mStr + pStart, count);
  return result;
}

FBString FBString::Left(unsigned int pLen) const { return Mid(0, pLen); }

FBString FBString::Right(unsigned int pLen) const {
  const unsigned int len = GetLen();
  return pLen >= len ? FBString(*this) : Mid(len - pLen, pLen);
}

unsigned int FBString::GetLen() const { return static_cast<unsigned int>(std::strlen(mStr)); }

bool FBString::IsEmpty() const { return mStr[0] == '\0'; }

int FBString::Find(char pChar) const {
  const char* found = std::strchr(mStr, pChar);
  return found && pChar != '\0' ? static_cast<int>(found - mStr) : -1;
}

int FBString::ReverseFind(char pChar) const {
  const char* found = std::strrchr(mStr, pChar);
  return found && pChar != '\0' ? static_cast<int>(found - mStr) : -1;
}

FBString operator+(const FBString& pStr1, const char* pStr2) {
  return FBString(static_cast<const char*>(pStr1), pStr2);
}

}  // namespace FBSDKNamespace

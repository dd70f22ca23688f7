// FBString: the host's owning, deep-copying C string. mStr is never null (an FBString made from
// nullptr is empty), so the conversions are always safe to print. Value type: one object per
// thread at a time; distinct objects may be used from any thread.
#ifndef FBSDK_FBSTRING_H_
#define FBSDK_FBSTRING_H_

#include <fbsdk/fbtypes.h>

namespace FBSDKNamespace {

class FBSDK_DLL FBString {
 public:
  FBString();                                      // Empty string.
  FBString(const char* pStr);                      // Copies pStr; nullptr gives "".
  FBString(const FBString& pStr);                  // Deep copy.
  FBString(const char* p1Str, const char* p2Str);  // p1Str followed by p2Str; nullptr = "".
  ~FBString();

  operator char*() const;                      // The owned text, never null; valid until modified.
  operator const char*() const;                // Same, read-only.
  char operator[](unsigned int pIndex) const;  // '\0' at or past the end.

  const FBString& operator=(const char* pStr);      // Deep copy; nullptr gives "".
  const FBString& operator=(const FBString& pStr);  // Deep copy; self-assignment safe.

  bool operator==(const FBString& pStr) const;  // Text comparison.
  bool operator==(const char* pStr) const;      // nullptr equals "".
  bool operator==(char* pStr) const;
  bool operator!=(const FBString& pStr) const;
  bool operator!=(const char* pStr) const;
  bool operator!=(char* pStr) const;

  const FBString& operator+=(const char* pStr);  // Appends; pStr may point into this string.
  FBString operator+(const char* pStr);          // Concatenation; this string is unchanged.

  // pLen characters from pStart, clipped to the end; empty when pStart is past the end.
  FBString Mid(unsigned int pStart, unsigned int pLen) const;
  FBString Left(unsigned int pLen) const;   // First pLen characters (all if shorter).
  FBString Right(unsigned int pLen) const;  // Last pLen characters (all if shorter).

  unsigned int GetLen() const;        // Characters before the terminator.
  bool IsEmpty() const;               // True when GetLen() is 0.
  int Find(char pChar) const;         // Index of the first pChar, -1 if absent.
  int ReverseFind(char pChar) const;  // Index of the last pChar, -1 if absent.

 private:
  char* mStr;  // Heap copy owned by this object, always non-null and '\0'-terminated.
};

// Concatenation usable on const strings.
FBSDK_DLL FBString operator+(const FBString& pStr1, const char* pStr2);

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBSTRING_H_

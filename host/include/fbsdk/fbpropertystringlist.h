// FBPropertyStringList: an ordered list of texts, each with a kReference the plug-in chooses (a
// list control's Items). Belongs to the thread that owns its component (the UI thread for
// controls). Text results point into the list and stay valid until that item changes.
#ifndef FBSDK_FBPROPERTYSTRINGLIST_H_
#define FBSDK_FBPROPERTYSTRINGLIST_H_

#include <fbsdk/fbproperties.h>

namespace fbsdk_internal {
struct UiAccess;  // The stand-in's UI internals; not for plug-ins.
}  // namespace fbsdk_internal

namespace FBSDKNamespace {

__FB_FORWARD(FBPropertyStringList);

class FBSDK_DLL FBPropertyStringList : public FBProperty {
 public:
  FBPropertyStringList();
  ~FBPropertyStringList() override;

  kReference GetReferenceAt(int pIndex);                // 0 when out of range.
  void SetReferenceAt(int pIndex, kReference pRef);     // Ignored when out of range.
  int Find(kReference pRef);                            // First item with pRef, -1 if none.
  int Find(const char* S);                              // First item with text S, -1 if none.
  virtual const char* GetAt(int pIndex);                // NULL when out of range.
  const char* operator[](int pIndex);                   // As GetAt.
  void Sort();                                          // By text; equal texts keep order.
  int GetCount();                                       // Items in the list.
  int Remove(const char* S);                            // Index S had (-1 if absent).
  virtual int Add(const char* S, kReference pRef = 0);  // Appends; the new item's index.
  virtual void Clear();                                 // Removes every item.
  virtual void RemoveAt(int pIndex);                    // Ignored when out of range.
  virtual int IndexOf(const char* S);                   // As Find(S).
  // Inserts before pIndex; an index past the end (or negative) appends.
  virtual void InsertAt(int pIndex, const char* S, kReference pRef = 0);
  virtual bool SetAt(int pIndex, const char* S);  // Replaces the text; false when out of range.
  bool IsList() override;                         // True.
  FBPropertyType GetPropertyType() override;      // kFBPT_stringlist.

 private:
  friend struct ::fbsdk_internal::UiAccess;
  DataFBPropertyStringList* mLocalPtr;
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBPROPERTYSTRINGLIST_H_

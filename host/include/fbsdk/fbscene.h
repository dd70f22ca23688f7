// FBScene: the open scene's objects a plug-in looks up, here its characters. The scene owns the
// characters in its Characters list: a character joins it when created and leaves it when
// deleted. Belongs to the UI thread.
#ifndef FBSDK_FBSCENE_H_
#define FBSDK_FBSCENE_H_

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbproperties.h>
#include <fbsdk/fbsystem.h>

namespace fbsdk_internal {
struct UiAccess;  // The stand-in's scene internals; not for plug-ins.
}  // namespace fbsdk_internal

namespace FBSDKNamespace {

__FB_FORWARD(FBScene);
FB_FORWARD(FBCharacter);
__FB_FORWARD(FBPropertyListCharacter);

// The scene's characters, in creation order.
class FBSDK_DLL FBPropertyListCharacter : public FBPropertyListComponent {
 public:
  FBPropertyListCharacter();
  ~FBPropertyListCharacter() override;
  FBCharacter* operator[](int pIndex);  // NULL when out of range.
  // Adds a copy of the character at pIndex (same slot links, name with "1" appended); the copy's
  // index, -1 when out of range.
  virtual int Duplicate(int pIndex);
  // Adds a character that left the scene; items after the operation. Anything else is refused.
  int Add(FBComponent* pItem) override;
  // The character leaves the scene (and is no longer owned by it); it is not deleted.
  void RemoveAt(int pIndex) override;
  FBComponent* GetAt(int pIndex) override;  // NULL when out of range.
  int GetCount() override;

 private:
  friend struct ::fbsdk_internal::UiAccess;
  DataFBPropertyListCharacter* mLocalPtr;
};

class FBSDK_DLL FBScene : public FBComponent {
  __FBClassDeclare(FBScene, FBComponent);

 public:
  // The host makes the one scene (FBSystem::Scene); plug-ins do not create scenes.
  FBScene(HIObject pObject);
  bool Evaluate();  // Brings the scene up to date; true.

  FBPropertyListCharacter Characters;

 private:
  friend struct ::fbsdk_internal::UiAccess;
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBSCENE_H_

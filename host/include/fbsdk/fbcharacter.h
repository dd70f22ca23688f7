// FBCharacter: a character the user (or a device) characterizes by putting skeleton models into
// its slots. Each slot is a list property of the character named "<Slot>Link" (HipsLink,
// LeftUpLegLink, ...), found with PropertyList.Find; a name outside the standard slots has no
// property. A new character joins the scene's Characters, which owns it. UI thread only.
#ifndef FBSDK_FBCHARACTER_H_
#define FBSDK_FBCHARACTER_H_

#include <fbsdk/fbconstraint.h>
#include <fbsdk/fbcore.h>
#include <fbsdk/fbproperties.h>

namespace fbsdk_internal {
struct UiAccess;  // The stand-in's scene internals; not for plug-ins.
}  // namespace fbsdk_internal

namespace FBSDKNamespace {

__FB_FORWARD(FBCharacter);
FB_FORWARD(FBModel);

// Body parts of a character, for GetModel.
enum FBBodyNodeId { kFBInvalidNodeId = -1, kFBHipsNodeId = 0, kFBLeftHipNodeId = 1 };

FB_DEFINE_COMPONENT(FBSDK_DLL, Character);

class FBSDK_DLL FBCharacter : public FBConstraint {
  __FBClassDeclare(FBCharacter, FBConstraint);

 public:
  // A new character named pName, added to the scene's Characters.
  FBCharacter(const char* pName, HIObject pObject = NULL);
  // Takes the character out of the scene, then deletes it when it was made with new.
  void FBDelete() override;

  // The first model in the slot of a body part (Hips, LeftUpLeg for the left hip); NULL if none.
  FBModel* GetModel(FBBodyNodeId pCharacterNodeId);
  // Characterizes from the slot links. True when every required slot (at least Hips) holds a
  // model: the character is then characterized. Otherwise false, with the reason in
  // GetCharacterizeError and the character left as it was.
  bool SetCharacterizeOn(bool pSetAsBiped);
  const char* GetCharacterizeError();  // Why the last SetCharacterizeOn failed; "" otherwise.
  void SetCharacterizeOff();           // The character is no longer characterized.
  bool GetCharacterize();              // True while characterized.

  FBPropertyBool ActiveInput;  // Whether the character follows its input. Default false.

 private:
  friend struct ::fbsdk_internal::UiAccess;
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBCHARACTER_H_

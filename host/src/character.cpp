// Characters: the slot link properties, characterization and scene membership.
#include <fbsdk/fbcharacter.h>
#include <fbsdk/fbconstraint.h>
#include <fbsdk/fbmodel.h>
#include <fbsdk/fbscene.h>

#include <string>
#include <vector>

#include "ui_state.h"

namespace fbsdk_internal {

const std::vector<std::string>& CharacterSlotNames() {
  static const std::vector<std::string>* names = [] {
    auto* list = new std::vector<std::string>{"Reference", "Hips"};
    for (const char* side : {"Left", "Right"}) {
      for (const char* part : {"UpLeg", "Leg", "Foot", "ToeBase"}) {
        list->push_back(std::string(side) + part);
      }
    }
    list->push_back("Spine");
    for (int i = 1; i <= 9; ++i) list->push_back("Spine" + std::to_string(i));
    list->push_back("Neck");
    for (int i = 1; i <= 9; ++i) list->push_back("Neck" + std::to_string(i));
    list->push_back("Head");
    for (const char* side : {"Left", "Right"}) {
      for (const char* part : {"Shoulder", "Arm", "ForeArm", "Hand", "FingerBase"}) {
        list->push_back(std::string(side) + part);
      }
    }
    for (const char* side : {"Left", "Right"}) {
      for (const char* part : {"UpLegRoll", "LegRoll", "ArmRoll", "ForeArmRoll"}) {
        list->push_back(std::string(side) + part);
      }
    }
    for (const char* side : {"Left", "Right"}) {
      for (const char* finger : {"Thumb", "Index", "Middle", "Ring", "Pinky"}) {
        for (int i = 1; i <= 4; ++i) {
          list->push_back(std::string(side) + "Hand" + finger + std::to_string(i));
        }
      }
    }
    return list;
  }();
  return *names;
}

}  // namespace fbsdk_internal

namespace FBSDKNamespace {

using fbsdk_internal::UiAccess;

int FBConstraint::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBCharacter::TypeInfo = FBPlug::mGlobalTypeInfo++;

// ---- FBConstraint ----

FBConstraint::FBConstraint(HIObject pObject) : FBBox("", pObject), mLocalPtr(nullptr) {
  Active.Init(this, "Active");
  PropertyList.Add(&Active);
}

FBConstraint::~FBConstraint() {}

// ---- FBCharacter ----

namespace {

FBPropertyListObject* Slot(FBCharacter& pCharacter, const std::string& pSlot) {
  FBProperty* property = pCharacter.PropertyList.Find((pSlot + "Link").c_str(), false);
  return property && property->IsList() ? static_cast<FBPropertyListObject*>(property) : nullptr;
}

FBModel* FirstModel(FBPropertyListObject* pSlot) {
  if (!pSlot || pSlot->GetCount() == 0) return nullptr;
  FBComponent* component = pSlot->GetAt(0);
  return FBIS(component, FBModel) ? static_cast<FBModel*>(component) : nullptr;
}

}  // namespace

FBCharacter::FBCharacter(const char* pName, HIObject pObject)
    : FBConstraint(pObject), mLocalPtr(new DataFBCharacter) {
  Name = pName;
  ActiveInput.Init(this, "ActiveInput");
  PropertyList.Add(&ActiveInput);
  for (const std::string& slot : fbsdk_internal::CharacterSlotNames()) {
    FBPropertyListObject* property = new FBPropertyListObject;
    mLocalPtr->mSlots.emplace_back(property);
    property->SetSingleConnect(true);  // A slot holds one model; linking another replaces it.
    property->SetName((slot + "Link").c_str());
    PropertyList.Add(property);
  }
  UiAccess::JoinScene(this);
}

FBCharacter::~FBCharacter() {
  UiAccess::LeaveScene(this);
  for (const auto& slot : mLocalPtr->mSlots) PropertyList.Remove(slot.get());
  delete mLocalPtr;
}

void FBCharacter::FBDelete() {
  UiAccess::LeaveScene(this);
  ParentClass::FBDelete();
}

FBModel* FBCharacter::GetModel(FBBodyNodeId pCharacterNodeId) {
  switch (pCharacterNodeId) {
    case kFBHipsNodeId:
      return FirstModel(Slot(*this, "Hips"));
    case kFBLeftHipNodeId:
      return FirstModel(Slot(*this, "LeftUpLeg"));
    default:
      return nullptr;
  }
}

bool FBCharacter::SetCharacterizeOn(bool) {
  std::vector<std::string> required;
  {
    fbsdk_internal::UiState& ui = fbsdk_internal::Ui();
    kovrim::MutexLock lock(&ui.mMutex);
    required = ui.mRequiredSlots;
  }
  std::string missing;
  for (const std::string& slot : required) {
    if (!FirstModel(Slot(*this, slot))) missing += (missing.empty() ? "" : ", ") + slot;
  }
  if (!missing.empty()) {
    mLocalPtr->mError = "Characterization failed: no model in " + missing;
    return mLocalPtr->mCharacterized;
  }
  mLocalPtr->mError.clear();
  mLocalPtr->mCharacterized = true;
  return true;
}

const char* FBCharacter::GetCharacterizeError() { return mLocalPtr->mError.c_str(); }

void FBCharacter::SetCharacterizeOff() { mLocalPtr->mCharacterized = false; }

bool FBCharacter::GetCharacterize() { return mLocalPtr->mCharacterized; }

// ---- FBPropertyListCharacter::Duplicate ----

int FBPropertyListCharacter::Duplicate(int pIndex) {
  FBCharacter* original = (*this)[pIndex];
  if (!original) return -1;
  FBCharacter* copy = new FBCharacter((std::string(original->Name) + "1").c_str());
  for (const std::string& slot : fbsdk_internal::CharacterSlotNames()) {
    FBPropertyListObject* from = Slot(*original, slot);
    FBPropertyListObject* to = Slot(*copy, slot);
    if (!from || !to) continue;
    for (int i = 0; i < from->GetCount(); ++i) to->Add(from->GetAt(i));
  }
  return Find(copy);
}

}  // namespace FBSDKNamespace

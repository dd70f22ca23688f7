// FBSystem (the application's facts) and FBScene with its character table.
#include <fbsdk/fbscene.h>
#include <fbsdk/fbsystem.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "platform.h"
#include "scene_state.h"
#include "ui_state.h"

namespace fbsdk_internal {

UiState& Ui() {
  static UiState* state = new UiState;  // Leaked, as the rest of the host's state.
  return *state;
}

FBScene& UiAccess::TheScene() {
  // Built in static storage with the global placement new, so it is neither tracked as a
  // plug-in-visible allocation nor destroyed while the process exits.
  alignas(FBScene) static unsigned char storage[sizeof(FBScene)];
  static FBScene* scene = ::new (storage) FBScene(NULL);
  return *scene;
}

FBPropertyEvent& UiAccess::ApplicationIdle() {
  // Leaked like the scene: a handler list that outlives every FBSystem and the process's exit.
  static FBPropertyEvent* event = new FBPropertyEvent;
  return *event;
}

std::vector<FBCharacter*>& UiAccess::SceneCharacters() {
  return TheScene().Characters.mLocalPtr->mItems;
}

bool UiAccess::LeaveScene(FBCharacter* pCharacter) {
  std::vector<FBCharacter*>& characters = SceneCharacters();
  auto it = std::find(characters.begin(), characters.end(), pCharacter);
  if (it == characters.end()) return false;
  characters.erase(it);
  return true;
}

void UiAccess::JoinScene(FBCharacter* pCharacter) {
  std::vector<FBCharacter*>& characters = SceneCharacters();
  if (std::find(characters.begin(), characters.end(), pCharacter) == characters.end()) {
    characters.push_back(pCharacter);
  }
}

void ResetUiState() {
  // Deleting a character takes it out of the table; work on a copy.
  const std::vector<FBCharacter*> characters = UiAccess::SceneCharacters();
  for (FBCharacter* character : characters) {
    UiAccess::LeaveScene(character);
    character->FBDelete();
  }
  UiState& ui = Ui();
  ui.mVersion.store(19000.0);
  ui.mEditCodeChangeFires.store(true);
  kovrim::MutexLock lock(&ui.mMutex);
  ui.mRequiredSlots = {"Hips"};
  ui.mStringListAddHook = nullptr;
}

}  // namespace fbsdk_internal

namespace FBSDKNamespace {

using fbsdk_internal::UiAccess;

int FBSystem::TypeInfo = FBPlug::mGlobalTypeInfo++;
int FBScene::TypeInfo = FBPlug::mGlobalTypeInfo++;

namespace {

FBScene* SceneGet(void*) { return &UiAccess::TheScene(); }

double VersionGet(void*) { return fbsdk_internal::Ui().mVersion.load(); }

// Text facts are computed once; the pointers handed out stay valid for the process.
const char* BuildIdGet(void*) { return "Kovrim host stand-in"; }

const char* BuildVersionGet(void*) {
  thread_local std::string text;
  const long version = static_cast<long>(fbsdk_internal::Ui().mVersion.load());
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%ld.%ld.0.0", version / 1000, version % 1000);
  text = buffer;
  return text.c_str();
}

FBTime SystemTimeGet(void*) { return fbsdk_internal::SystemTime(); }

const char* ApplicationPathGet(void*) {
  static const std::string* path = new std::string(fbsdk_internal::ExecutableFolder());
  return path->c_str();
}

const char* TempPathGet(void*) {
  static const std::string* path = new std::string(fbsdk_internal::TemporaryFolder());
  return path->c_str();
}

const char* ComputerNameGet(void*) {
  static const std::string* name = new std::string(fbsdk_internal::ComputerName());
  return name->c_str();
}

}  // namespace

void FBPropertyEventUIIdle::Add(HICallback pOwner, kICallbackHandler pHandler) {
  UiAccess::ApplicationIdle().Add(pOwner, pHandler);
}

void FBPropertyEventUIIdle::Remove(HICallback pOwner, kICallbackHandler pHandler) {
  UiAccess::ApplicationIdle().Remove(pOwner, pHandler);
}

FBSystem::FBSystem() : FBComponent(NULL), mLocalPtr(nullptr) {
  Name = "System";
  OnUIIdle.SetName("OnUIIdle");
  Scene.Init(this, "Scene", &SceneGet);
  Version.Init(this, "Version", &VersionGet);
  BuildId.Init(this, "BuildId", &BuildIdGet);
  BuildVersion.Init(this, "BuildVersion", &BuildVersionGet);
  SystemTime.Init(this, "SystemTime", &SystemTimeGet);
  ApplicationPath.Init(this, "ApplicationPath", &ApplicationPathGet);
  TempPath.Init(this, "TempPath", &TempPathGet);
  ComputerName.Init(this, "ComputerName", &ComputerNameGet);
  for (FBProperty* property :
       std::initializer_list<FBProperty*>{&Scene, &Version, &BuildId, &BuildVersion, &SystemTime,
                                          &ApplicationPath, &TempPath, &ComputerName, &OnUIIdle}) {
    PropertyList.Add(property);
  }
}

FBSystem::~FBSystem() {}

FBSystem& FBSystem::TheOne() {
  alignas(FBSystem) static unsigned char storage[sizeof(FBSystem)];
  static FBSystem* system = ::new (storage) FBSystem();
  return *system;
}

// ---- FBScene ----

FBScene::FBScene(HIObject pObject) : FBComponent(pObject), mLocalPtr(nullptr) {
  Name = "Scene";
  Characters.SetName("Characters");
  PropertyList.Add(&Characters);
}

FBScene::~FBScene() {}

bool FBScene::Evaluate() { return true; }

// ---- FBPropertyListCharacter ----

FBPropertyListCharacter::FBPropertyListCharacter() : mLocalPtr(new DataFBPropertyListCharacter) {}

FBPropertyListCharacter::~FBPropertyListCharacter() { delete mLocalPtr; }

FBCharacter* FBPropertyListCharacter::operator[](int pIndex) {
  return static_cast<FBCharacter*>(GetAt(pIndex));
}

int FBPropertyListCharacter::Add(FBComponent* pItem) {
  if (FBIS(pItem, FBCharacter)) UiAccess::JoinScene(static_cast<FBCharacter*>(pItem));
  return GetCount();
}

void FBPropertyListCharacter::RemoveAt(int pIndex) {
  if (pIndex < 0 || pIndex >= GetCount()) return;
  mLocalPtr->mItems.erase(mLocalPtr->mItems.begin() + pIndex);
}

FBComponent* FBPropertyListCharacter::GetAt(int pIndex) {
  if (pIndex < 0 || pIndex >= GetCount()) return NULL;
  return mLocalPtr->mItems[pIndex];
}

int FBPropertyListCharacter::GetCount() { return static_cast<int>(mLocalPtr->mItems.size()); }

}  // namespace FBSDKNamespace

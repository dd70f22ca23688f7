// FBComponent, the tracking allocator, the registration table and the library base.
#include <fbsdk/fbcomponent.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fbsdk/fblibrary.h>

#include "platform.h"
#include "scene_state.h"

namespace fbsdk_internal {

namespace {

// Live blocks from FBComponent::operator new: start address -> size.
struct Allocations {
  kovrim::Mutex mMutex;
  std::map<uintptr_t, size_t> mBlocks GUARDED_BY(mMutex);
};

Allocations& TheAllocations() {
  static Allocations* allocations = new Allocations;  // Leaked: components may die at exit.
  return *allocations;
}

thread_local bool tArmCreating = false;

}  // namespace

void ArmCreatingStatus(bool pArmed) { tArmCreating = pArmed; }

bool IsTrackedComponent(const void* p) {
  Allocations& allocations = TheAllocations();
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  kovrim::MutexLock lock(&allocations.mMutex);
  auto it = allocations.mBlocks.upper_bound(address);
  if (it == allocations.mBlocks.begin()) return false;
  --it;
  return address < it->first + it->second;
}

int TrackedComponentCount() {
  Allocations& allocations = TheAllocations();
  kovrim::MutexLock lock(&allocations.mMutex);
  return static_cast<int>(allocations.mBlocks.size());
}

}  // namespace fbsdk_internal

namespace FBSDKNamespace {

using fbsdk_internal::HostAccess;

namespace {

// Takes pComponent out of every object list. The destructor's part, in a function of its own: the
// lock analysis does not look into destructors.
void LeaveObjectLists(FBComponent* pComponent) {
  kovrim::MutexLock lock(&fbsdk_internal::Scene().mMutex);
  for (FBPropertyListObject* list : fbsdk_internal::Scene().mObjectLists) {
    std::vector<FBComponent*>& items = list->mLocalPtr->mItems;
    items.erase(std::remove(items.begin(), items.end(), pComponent), items.end());
  }
}

const char* LongNameGet(void* pOwner) {
  FBComponent* component = static_cast<FBComponent*>(pOwner);
  std::string full = static_cast<const char*>(component->Name);
  if (!component->mLocalPtr->mNameSpace.empty()) {
    full = component->mLocalPtr->mNameSpace + ":" + full;
  }
  kovrim::MutexLock lock(&fbsdk_internal::PropertyMutex());
  // Only a changed name replaces the cache, so a pointer handed out earlier stays valid.
  FBString& cache = component->mLocalPtr->mLongName;
  if (!(cache == full.c_str())) cache = full.c_str();
  return cache;
}

}  // namespace

FBComponent::FBComponent(HIObject pObject) : FBPlug(pObject), mLocalPtr(new DataFBComponent) {
  if (fbsdk_internal::tArmCreating) {
    fbsdk_internal::tArmCreating = false;
    mLocalPtr->mStatus.store(kFBStatusCreating);
  }
  Selected.Init(this, "Selected");
  Name.Init(this, "Name");
  LongName.Init(this, "LongName", &LongNameGet);
  PropertyList.Add(&Name);
  PropertyList.Add(&LongName);
  PropertyList.Add(&Selected);
}

FBComponent::~FBComponent() {
  LeaveObjectLists(this);
  delete mLocalPtr;
}

bool FBComponent::FBCreate() { return true; }

void FBComponent::FBDestroy() {}

void FBComponent::FBDelete() {
  if (fbsdk_internal::IsTrackedComponent(this)) delete this;
}

void FBComponent::SetObjectStatus(FBObjectStatus pStatus, bool pValue) {
  if (pValue) {
    mLocalPtr->mStatus.fetch_or(pStatus);
  } else {
    mLocalPtr->mStatus.fetch_and(~static_cast<int>(pStatus));
  }
}

bool FBComponent::GetObjectStatus(FBObjectStatus pStatus) {
  return (mLocalPtr->mStatus.load() & pStatus) != 0;
}

const char* FBComponent::GetFullName() { return LongName; }

void* FBComponent::operator new(size_t stAllocateBlock) {
  void* block = ::operator new(stAllocateBlock);
  fbsdk_internal::Allocations& allocations = fbsdk_internal::TheAllocations();
  kovrim::MutexLock lock(&allocations.mMutex);
  allocations.mBlocks[reinterpret_cast<uintptr_t>(block)] = stAllocateBlock;
  return block;
}

void FBComponent::operator delete(void* pvMem) {
  if (!pvMem) return;
  {
    fbsdk_internal::Allocations& allocations = fbsdk_internal::TheAllocations();
    kovrim::MutexLock lock(&allocations.mMutex);
    allocations.mBlocks.erase(reinterpret_cast<uintptr_t>(pvMem));
  }
  ::operator delete(pvMem);
}

void* FBComponent::operator new(size_t stAllocateBlock, int, const char*, int) {
  return FBComponent::operator new(stAllocateBlock);
}

void FBComponent::operator delete(void* pvMem, int, const char*, int) {
  FBComponent::operator delete(pvMem);
}

FBComponent* FBGetFBComponent(HIObject pObject, bool) {
  return pObject ? dynamic_cast<FBComponent*>(pObject) : NULL;
}

// ---- Registration table ----

namespace {

struct Record {
  std::string mDescription;
  std::string mIcon;
  std::string mDllName;
  kObjectCreatorFnc mCreator = nullptr;
  bool mMultiple = false;
};

struct Entry {
  std::string mName;
  std::vector<std::unique_ptr<Record>> mRecords;
};

struct Group {
  std::string mName;
  std::vector<std::unique_ptr<Entry>> mEntries;
};

struct Registry {
  kovrim::Mutex mMutex;
  std::vector<std::unique_ptr<Group>> mGroups GUARDED_BY(mMutex);
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // Leaked: libraries may register during exit.
  return *registry;
}

Group* FindGroup(Registry& registry, const char* pName) REQUIRES(registry.mMutex) {
  for (auto& group : registry.mGroups) {
    if (group->mName == pName) return group.get();
  }
  return nullptr;
}

Entry* FindEntry(Group* group, const char* pName) {
  if (!group) return nullptr;
  for (auto& entry : group->mEntries) {
    if (entry->mName == pName) return entry.get();
  }
  return nullptr;
}

Record* RecordAt(Registry& registry, int pGroupIndex, int pEntryIndex, int nth)
    REQUIRES(registry.mMutex) {
  if (pGroupIndex < 0 || pGroupIndex >= static_cast<int>(registry.mGroups.size())) return nullptr;
  Group& group = *registry.mGroups[pGroupIndex];
  if (pEntryIndex < 0 || pEntryIndex >= static_cast<int>(group.mEntries.size())) return nullptr;
  Entry& entry = *group.mEntries[pEntryIndex];
  if (nth < 0 || nth >= static_cast<int>(entry.mRecords.size())) return nullptr;
  return entry.mRecords[nth].get();
}

std::string LibraryOf(kObjectCreatorFnc pCreator) {
  return fbsdk_internal::ModuleFileNameOf(reinterpret_cast<const void*>(pCreator));
}

}  // namespace

bool FBObject_Register(const char* pGroupName, const char* pEntryName, const char* pDescription,
                       kObjectCreatorFnc pCreatorFnc, bool pIsMultipleAllowed,
                       const char* pIconFilename) {
  if (!pGroupName || !pEntryName || !pCreatorFnc) return false;
  auto record = std::make_unique<Record>();
  record->mDescription = pDescription ? pDescription : "";
  record->mIcon = pIconFilename ? pIconFilename : "";
  record->mDllName = LibraryOf(pCreatorFnc);
  record->mCreator = pCreatorFnc;
  record->mMultiple = pIsMultipleAllowed;
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  Group* group = FindGroup(registry, pGroupName);
  if (!group) {
    registry.mGroups.push_back(std::make_unique<Group>());
    group = registry.mGroups.back().get();
    group->mName = pGroupName;
  }
  Entry* entry = FindEntry(group, pEntryName);
  if (!entry) {
    group->mEntries.push_back(std::make_unique<Entry>());
    entry = group->mEntries.back().get();
    entry->mName = pEntryName;
  }
  entry->mRecords.push_back(std::move(record));
  return true;
}

bool FBObject_Unregister(const char* pGroupName, const char* pEntryName, int nth) {
  if (!pGroupName || !pEntryName) return false;
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  Group* group = FindGroup(registry, pGroupName);
  Entry* entry = FindEntry(group, pEntryName);
  if (!entry || nth < 0 || nth >= static_cast<int>(entry->mRecords.size())) return false;
  entry->mRecords.erase(entry->mRecords.begin() + nth);
  if (entry->mRecords.empty()) {
    group->mEntries.erase(std::find_if(group->mEntries.begin(), group->mEntries.end(),
                                       [&](const auto& e) { return e.get() == entry; }));
  }
  if (group->mEntries.empty()) {
    registry.mGroups.erase(std::find_if(registry.mGroups.begin(), registry.mGroups.end(),
                                        [&](const auto& g) { return g.get() == group; }));
  }
  return true;
}

int FBObject_GetGroupCount() {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  return static_cast<int>(registry.mGroups.size());
}

const char* FBObject_GetGroupName(int pGroupIndex) {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  if (pGroupIndex < 0 || pGroupIndex >= static_cast<int>(registry.mGroups.size())) return NULL;
  return registry.mGroups[pGroupIndex]->mName.c_str();
}

int FBObject_GetEntryCount(int pGroupIndex) {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  if (pGroupIndex < 0 || pGroupIndex >= static_cast<int>(registry.mGroups.size())) return 0;
  return static_cast<int>(registry.mGroups[pGroupIndex]->mEntries.size());
}

const char* FBObject_GetEntryName(int pGroupIndex, int pEntryIndex) {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  if (!RecordAt(registry, pGroupIndex, pEntryIndex, 0)) return NULL;
  return registry.mGroups[pGroupIndex]->mEntries[pEntryIndex]->mName.c_str();
}

const char* FBObject_GetEntryDescription(int pGroupIndex, int pEntryIndex, int nth) {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  Record* record = RecordAt(registry, pGroupIndex, pEntryIndex, nth);
  return record ? record->mDescription.c_str() : NULL;
}

const char* FBObject_GetEntryDLLName(int pGroupIndex, int pEntryIndex, int nth) {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  Record* record = RecordAt(registry, pGroupIndex, pEntryIndex, nth);
  return record ? record->mDllName.c_str() : NULL;
}

const char* FBObject_GetIconName(int pGroupIndex, int pEntryIndex, int nth) {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  Record* record = RecordAt(registry, pGroupIndex, pEntryIndex, nth);
  return record ? record->mIcon.c_str() : NULL;
}

bool FBObject_GetMultiplicity(int pGroupIndex, int pEntryIndex, int nth) {
  Registry& registry = TheRegistry();
  kovrim::MutexLock lock(&registry.mMutex);
  Record* record = RecordAt(registry, pGroupIndex, pEntryIndex, nth);
  return record ? record->mMultiple : false;
}

FBComponent* FBCreateObject(const char* pGroupName, const char* pEntryName, const char* pName,
                            void* pData, int nth) {
  if (!pGroupName || !pEntryName) return NULL;
  kObjectCreatorFnc creator = nullptr;
  {
    Registry& registry = TheRegistry();
    kovrim::MutexLock lock(&registry.mMutex);
    Entry* entry = FindEntry(FindGroup(registry, pGroupName), pEntryName);
    if (!entry || nth < 0 || nth >= static_cast<int>(entry->mRecords.size())) return NULL;
    creator = entry->mRecords[nth]->mCreator;
  }
  // The creator runs plug-in code: no host lock is held.
  fbsdk_internal::ArmCreatingStatus(true);
  HIObject handle = creator(NULL, pName ? pName : "", pData);
  fbsdk_internal::ArmCreatingStatus(false);
  FBComponent* component = FBGetFBComponent(handle);
  if (component) component->SetObjectStatus(kFBStatusCreating, false);
  return component;
}

// ---- Library base ----

FBLibraryBase::FBLibraryBase() {}
FBLibraryBase::~FBLibraryBase() {}
HIObject FBLibraryBase::IQuery(kInterfaceID, int) { return NULL; }
void FBLibraryBase::Destroy(int) {}
bool FBLibraryBase::LibInit() { return true; }
bool FBLibraryBase::LibOpen() { return true; }
bool FBLibraryBase::LibReady() { return true; }
bool FBLibraryBase::LibClose() { return true; }
bool FBLibraryBase::LibRelease() { return true; }

}  // namespace FBSDKNamespace

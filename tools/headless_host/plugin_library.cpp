#include "plugin_library.h"

#include <cstring>

#include <fbsdk/fbsdk.h>

#include "module_loader.h"

namespace kmq {

#if defined(__SANITIZE_ADDRESS__)
// The loaded plug-in and this program both carry the message classes (see CMakeLists.txt); the
// plug-in binds to this program's copy, so the second definition is never used. AddressSanitizer
// would report it as a violation of the one-definition rule at load time.
extern "C" const char* __asan_default_options() { return "detect_odr_violation=0"; }
#endif

namespace {

#define KMQ_STRINGIFY_VALUE(x) #x
#define KMQ_STRINGIFY(x) KMQ_STRINGIFY_VALUE(x)

using InitFunction = bool (*)(HIError);
using EntryFunction = void (*)(kFBDllOperation);

int CountRecords() {
  int count = 0;
  const int groups = FBObject_GetGroupCount();
  for (int g = 0; g < groups; ++g) {
    const int entries = FBObject_GetEntryCount(g);
    for (int e = 0; e < entries; ++e) {
      int nth = 0;
      while (FBObject_GetEntryDescription(g, e, nth) != nullptr) ++nth;
      count += nth;
    }
  }
  return count;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Removes every record whose creator lived in the file named dllName. Entries are looked up
// again after each removal: the table may drop an entry (and a group) that became empty.
int RemoveRecordsOf(const std::string& dllName) {
  int removed = 0;
  bool again = true;
  while (again) {
    again = false;
    const int groups = FBObject_GetGroupCount();
    for (int g = 0; g < groups && !again; ++g) {
      const int entries = FBObject_GetEntryCount(g);
      for (int e = 0; e < entries && !again; ++e) {
        for (int nth = 0; FBObject_GetEntryDLLName(g, e, nth) != nullptr; ++nth) {
          if (dllName != FBObject_GetEntryDLLName(g, e, nth)) continue;
          const std::string group = FBObject_GetGroupName(g);
          const std::string entry = FBObject_GetEntryName(g, e);
          if (FBObject_Unregister(group.c_str(), entry.c_str(), nth)) {
            ++removed;
            again = true;
          }
          break;
        }
      }
    }
  }
  return removed;
}

}  // namespace

std::string PluginLibrary::ItaniumEntryPointSymbol(const std::string& libraryName,
                                                   const std::string& space) {
  const std::string function = "EntryPoint" + libraryName;
  const std::string type = "kFBDllOperation";
  return "_Z" + std::to_string(function.size()) + function + "N" + std::to_string(space.size()) +
         space + std::to_string(type.size()) + type + "E";
}

std::string PluginLibrary::EntryPointSymbol(const std::string& libraryName) {
  return ItaniumEntryPointSymbol(libraryName, KMQ_STRINGIFY(FBSDKNamespace));
}

PluginLibrary::~PluginLibrary() { Close(); }

bool PluginLibrary::Open(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    Close();
    return false;
  };
  Close();
  mRecordsAddedByEntry = 0;
  mRecordsRemovedOnClose = 0;
  mPath = path;
  std::string reason;
  mHandle = LoadModule(path, &reason);
  if (mHandle == nullptr) return fail(reason);
  auto init = reinterpret_cast<InitFunction>(FindFunction(mHandle, {kInitName}));
  const std::string entryName = std::string("EntryPoint") + kLibraryName;
  std::vector<std::string> entryNames =
      EntryPointSymbols(kLibraryName, KMQ_STRINGIFY(FBSDKNamespace));
  entryNames.push_back(entryName);
  auto entry = reinterpret_cast<EntryFunction>(FindFunction(mHandle, entryNames));
  if (init == nullptr || entry == nullptr) {
    return fail(path + " is not a plug-in library of this device: it exports no " +
                (init == nullptr ? std::string(kInitName) : entryName));
  }
  if (!init(nullptr)) return fail(path + " refused to initialise (" + kInitName + " failed)");
  // The loader ran the entry already; the host calls it once more by name.
  const int before = CountRecords();
  entry(kFBDllLoad);
  mRecordsAddedByEntry = CountRecords() - before;
  return true;
}

void PluginLibrary::Close() {
  if (mHandle == nullptr) return;
  void* handle = mHandle;
  mHandle = nullptr;
  UnloadModule(handle);
  // A library that stays loaded (still referenced, or not unloadable) keeps valid creators.
  if (ModuleStillLoaded(mPath)) return;
  mRecordsRemovedOnClose = RemoveRecordsOf(BaseName(mPath));
}

}  // namespace kmq

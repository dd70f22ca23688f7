// Shared libraries through dlopen.
#include <dlfcn.h>

#include "module_loader.h"
#include "plugin_library.h"

namespace kmq {

void* LoadModule(const std::string& path, std::string* error) {
  dlerror();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "dlopen failed";
  }
  return module;
}

void* FindFunction(void* module, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (void* function = dlsym(module, name.c_str())) return function;
  }
  return nullptr;
}

void UnloadModule(void* module) { dlclose(module); }

bool ModuleStillLoaded(const std::string& path) {
  void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (still == nullptr) return false;
  dlclose(still);
  return true;
}

std::vector<std::string> EntryPointSymbols(const std::string& libraryName,
                                           const std::string& space) {
  return {PluginLibrary::ItaniumEntryPointSymbol(libraryName, space)};
}

}  // namespace kmq

// Loading a shared library and finding its functions, the platform's way: dlopen on POSIX
// systems (module_loader_posix.cpp), LoadLibrary on Windows (module_loader_windows.cpp). Used by
// PluginLibrary on the headless host's user-interface thread.
#ifndef KMQ_TOOLS_HEADLESS_HOST_MODULE_LOADER_H_
#define KMQ_TOOLS_HEADLESS_HOST_MODULE_LOADER_H_

#include <string>
#include <vector>

namespace kmq {

// The module, or nullptr with the system's reason in *error.
void* LoadModule(const std::string& path, std::string* error);
// The first of names that the module exports, or nullptr.
void* FindFunction(void* module, const std::vector<std::string>& names);
void UnloadModule(void* module);
// True while the file at path is still loaded in this process.
bool ModuleStillLoaded(const std::string& path);
// The decorated names under which this platform's compilers export
// EntryPoint<libraryName>(FBSDKNamespace::kFBDllOperation), for the given namespace name.
std::vector<std::string> EntryPointSymbols(const std::string& libraryName,
                                           const std::string& space);

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_MODULE_LOADER_H_

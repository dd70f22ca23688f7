// DLLs through LoadLibrary. A DLL built by GCC (mingw-w64) exports the Itanium name of the entry,
// one built by MSVC its own decoration; both are tried.
// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <windows.h>

#include "module_loader.h"
#include "plugin_library.h"

namespace kmq {
namespace {

std::string LastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = text != nullptr ? text : "";
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return "LoadLibrary failed (error " + std::to_string(code) + ")" +
         (message.empty() ? "" : ": " + message);
}

}  // namespace

void* LoadModule(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr && error != nullptr) *error = LastErrorText();
  return reinterpret_cast<void*>(module);
}

void* FindFunction(void* module, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (FARPROC function = GetProcAddress(static_cast<HMODULE>(module), name.c_str())) {
      return reinterpret_cast<void*>(function);
    }
  }
  return nullptr;
}

void UnloadModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

bool ModuleStillLoaded(const std::string& path) {
  HMODULE module = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &module) &&
         module != nullptr;
}

std::vector<std::string> EntryPointSymbols(const std::string& libraryName,
                                           const std::string& space) {
  // MSVC: void __cdecl EntryPoint<name>(enum FBSDKNamespace::kFBDllOperation).
  const std::string msvc = "?EntryPoint" + libraryName + "@@YAXW4kFBDllOperation@" + space + "@@@Z";
  return {PluginLibrary::ItaniumEntryPointSymbol(libraryName, space), msvc};
}

}  // namespace kmq

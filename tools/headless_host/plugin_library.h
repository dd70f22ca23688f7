// PluginLibrary: one loaded plug-in shared library, as the host loads it: dlopen or LoadLibrary
// (its constructor or DllMain runs the library entry, which registers the classes), LIBRARY_INIT,
// then the entry again by name. It owns the module handle and closes it once; when the system
// really unloads the file, the registrations whose creators lived in it are removed, so no dangling
// creator stays behind. Used from the headless host's user-interface thread only.
#ifndef KMQ_TOOLS_HEADLESS_HOST_PLUGIN_LIBRARY_H_
#define KMQ_TOOLS_HEADLESS_HOST_PLUGIN_LIBRARY_H_

#include <string>

namespace kmq {

class PluginLibrary {
 public:
  // The plug-in's library name: its entry is EntryPoint<name>(kFBDllOperation), a C++ function.
  static constexpr const char* kLibraryName = "KovrimDevice";
  static constexpr const char* kInitName = "LIBRARY_INIT";

  // The linker's (Itanium ABI) name of EntryPoint<libraryName>(FBSDKNamespace::kFBDllOperation).
  static std::string EntryPointSymbol(const std::string& libraryName);
  // The same for a given namespace name.
  static std::string ItaniumEntryPointSymbol(const std::string& libraryName,
                                             const std::string& space);

  PluginLibrary() = default;
  // Closes the library if it is still open.
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads path (all symbols bound now), runs LIBRARY_INIT (false refuses the library) and the entry
  // with kFBDllLoad (looked up by its C++ name, or by its plain name for a library built that way).
  // On failure the library is closed again and *error says why (the loader's text for a file that
  // does not load).
  bool Open(const std::string& path, std::string* error);
  // Closes the handle; idempotent.
  void Close();
  bool IsOpen() const { return mHandle != nullptr; }
  // Registrations the entry's second call added (a well-behaved library adds none).
  int RecordsAddedByEntry() const { return mRecordsAddedByEntry; }
  // Registrations removed by the last Close because the file was unloaded.
  int RecordsRemovedOnClose() const { return mRecordsRemovedOnClose; }

 private:
  void* mHandle = nullptr;  // owned: unloaded by Close
  std::string mPath;
  int mRecordsAddedByEntry = 0;
  int mRecordsRemovedOnClose = 0;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_PLUGIN_LIBRARY_H_

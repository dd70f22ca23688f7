// The host's side of loading the device plug-in: the library itself (PluginLibrary) and the host
// version the plug-in's panel sees, which the loader may change for a new panel and puts back
// when it closes. User-interface thread only.
#ifndef KMQ_TOOLS_HEADLESS_HOST_PLUGIN_LOADER_H_
#define KMQ_TOOLS_HEADLESS_HOST_PLUGIN_LOADER_H_

#include <string>

#include "plugin_library.h"

namespace kmq {

class PluginLoader {
 public:
  PluginLoader() = default;
  // Close.
  ~PluginLoader();
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;

  // Loads the library at path; fails when one is loaded already. *message says what was done or
  // why nothing was.
  bool Load(const std::string& path, std::string* message);
  bool IsLoaded() const { return mLibrary.IsOpen(); }
  // Registrations the library entry added when called a second time (0 for a sound plug-in).
  int RecordsAddedByEntry() const { return mLibrary.RecordsAddedByEntry(); }

  // Sets the host version; the first change keeps the version it replaced for Close.
  // REQUIRES: no panel made yet (the version counts for a new panel only; the caller checks).
  void SetHostVersion(double version);
  static double HostVersion();

  // Closes the library and puts back the host version changed here. Idempotent.
  void Close();

 private:
  PluginLibrary mLibrary;
  bool mVersionChanged = false;
  double mSavedVersion = 0;  // the host version before SetHostVersion changed it
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_PLUGIN_LOADER_H_

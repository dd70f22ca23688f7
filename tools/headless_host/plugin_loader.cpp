#include "plugin_loader.h"

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/ui_control.h>

#include "host_text.h"

namespace kmq {

#if defined(__SANITIZE_ADDRESS__)
// The loaded plug-in and this program both carry the message classes (see CMakeLists.txt); the
// plug-in binds to this program's copy, so the second definition is never used. AddressSanitizer
// would report it as a violation of the one-definition rule at load time.
extern "C" const char* __asan_default_options() { return "detect_odr_violation=0"; }
#endif

PluginLoader::~PluginLoader() { Close(); }

bool PluginLoader::Load(const std::string& path, std::string* message) {
  if (mLibrary.IsOpen()) return Fail(message, "the plug-in is already loaded");
  std::string error;
  if (!mLibrary.Open(path, &error)) {
    return Fail(message, "cannot load the plug-in " + path + ": " + error);
  }
  return Done(message, "Loaded the plug-in " + path);
}

void PluginLoader::SetHostVersion(double version) {
  if (!mVersionChanged) mSavedVersion = HostVersion();
  mVersionChanged = true;
  fbsdk_control::SetSystemVersion(version);
}

double PluginLoader::HostVersion() {
  FBSystem system;
  return static_cast<double>(system.Version);
}

void PluginLoader::Close() {
  mLibrary.Close();
  if (mVersionChanged) fbsdk_control::SetSystemVersion(mSavedVersion);
  mVersionChanged = false;
}

}  // namespace kmq

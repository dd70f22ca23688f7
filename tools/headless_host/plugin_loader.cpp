#include "plugin_loader.h"

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/ui_control.h>

#include "host_text.h"

namespace kmq {

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

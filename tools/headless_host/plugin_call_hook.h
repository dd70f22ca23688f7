// The one thing the panel driver and the scene skeleton need from whoever watches the host: a hook
// around each of their calls into the plug-in, and a word on which model is the bound root joint.
// The health tap is one such watcher (HeadlessHost gives it); without one the calls run alone.
// User-interface thread only.
#ifndef KMQ_TOOLS_HEADLESS_HOST_PLUGIN_CALL_HOOK_H_
#define KMQ_TOOLS_HEADLESS_HOST_PLUGIN_CALL_HOOK_H_

#include <functional>

#include <fbsdk/fbsdk.h>

namespace kmq {

class PluginCallHook {
 public:
  virtual ~PluginCallHook() = default;
  // Runs call, a call into the plug-in on the user-interface thread, and returns its result.
  virtual bool AroundPluginCall(const std::function<bool()>& call) = 0;
  // The model bound to the device's root joint, or null when none is any more. The model stays
  // alive until it is replaced here.
  virtual void RootJointBound(FBModel* model) = 0;
};

// call inside hook, or alone when hook is null.
inline bool CallPlugin(PluginCallHook* hook, const std::function<bool()>& call) {
  return hook != nullptr ? hook->AroundPluginCall(call) : call();
}

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_PLUGIN_CALL_HOOK_H_

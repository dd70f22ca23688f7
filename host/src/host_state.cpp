#include "host_state.h"

#include <cstdio>

namespace fbsdk_internal {

HostState& State() {
  // Leaked on purpose: device threads may still trace during static destruction.
  static HostState* state = new HostState;
  return *state;
}

void RecordTrace(const std::string& pText) {
  HostState& state = State();
  if (state.mTraceEcho.load()) {
    // The console shows each trace on a line of its own; the captured text stays as traced.
    std::fputs(pText.c_str(), stderr);
    if (pText.empty() || pText.back() != '\n') std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  {
    std::lock_guard<std::mutex> lock(state.mMutex);
    state.mTraces.push_back(pText);
  }
  state.mTraceAdded.notify_all();
}

}  // namespace fbsdk_internal

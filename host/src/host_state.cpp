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
    kovrim::MutexLock lock(&state.mMutex);
    state.mTraces.push_back(pText);
  }
  state.mTraceAdded.NotifyAll();
}

}  // namespace fbsdk_internal

// Stop signals on POSIX systems.
#include "stop_signals.h"

#include <pthread.h>

#include <ctime>

namespace kmq {

StopSignals::StopSignals() {
  sigemptyset(&mSignals);
  sigaddset(&mSignals, SIGINT);
  sigaddset(&mSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mSignals, nullptr);
}

int StopSignals::Wait(std::chrono::milliseconds timeout) const {
  const long long ms = timeout.count() < 0 ? 0 : timeout.count();
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  const int signal = sigtimedwait(&mSignals, nullptr, &wait);
  return signal == SIGINT || signal == SIGTERM ? signal : 0;
}

}  // namespace kmq

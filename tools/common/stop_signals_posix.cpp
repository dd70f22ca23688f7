// Stop signals on POSIX systems.
#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace kmq {
namespace {

sigset_t StopSet() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

StopSignals::StopSignals() {
  const sigset_t signals = StopSet();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int StopSignals::Wait(std::chrono::milliseconds timeout) const {
  const sigset_t signals = StopSet();
  const long long ms = timeout.count() < 0 ? 0 : timeout.count();
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  const int signal = sigtimedwait(&signals, nullptr, &wait);
  return signal == SIGINT || signal == SIGTERM ? signal : 0;
}

}  // namespace kmq

// Stop requests on Windows: a console control handler, which the system calls on a thread of its
// own, stores the request and signals an event that Wait waits on.
// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <windows.h>

#include <atomic>
#include <csignal>

#include "stop_signals.h"

namespace kmq {
namespace {

// The request not yet taken (a signal number), 0 for none.
std::atomic<int> gRequest{0};
// Signalled by the handler; made once, before the handler is installed, and never closed.
HANDLE gRequested = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      gRequest = SIGINT;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      gRequest = SIGTERM;
      break;
    default:
      return FALSE;
  }
  SetEvent(gRequested);
  return TRUE;
}

}  // namespace

StopSignals::StopSignals() {
  if (gRequested == nullptr) gRequested = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int StopSignals::Wait(std::chrono::milliseconds timeout) const {
  const long long ms = timeout.count() < 0 ? 0 : timeout.count();
  const int pending = gRequest.exchange(0);
  if (pending != 0) return pending;
  WaitForSingleObject(gRequested, static_cast<DWORD>(ms));
  return gRequest.exchange(0);
}

}  // namespace kmq

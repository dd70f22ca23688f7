// The requests to stop a command-line tool, taken synchronously by its main thread, one
// implementation per platform chosen by CMake. POSIX (stop_signals_posix.cpp): SIGINT and SIGTERM,
// blocked before the tool starts its threads (which inherit the mask and so never see them), then
// waited for. Windows (stop_signals_windows.cpp): the console's Ctrl-C and Ctrl-Break (as SIGINT)
// and its close, log-off and shut-down events (as SIGTERM), taken by a console control handler on
// the system's thread and handed over. Either way the main thread waits for them with a timeout
// between its other duties. A StopSignals belongs to the thread that made it; make one at a time.
#ifndef KMQ_TOOLS_COMMON_STOP_SIGNALS_H_
#define KMQ_TOOLS_COMMON_STOP_SIGNALS_H_

#include <chrono>

namespace kmq {

class StopSignals {
 public:
  // Starts taking the requests (POSIX: blocks SIGINT and SIGTERM in the calling thread).
  StopSignals();

  // Waits up to timeout for one; returns its signal number, or 0 when none came in time.
  int Wait(std::chrono::milliseconds timeout) const;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_STOP_SIGNALS_H_

// SIGINT and SIGTERM taken synchronously by a command-line tool's main thread: blocked before the
// tool starts its threads (which inherit the mask and so never see them), then waited for with a
// timeout between the main thread's other duties. POSIX only. A StopSignals belongs to the thread
// that made it.
#ifndef KMQ_TOOLS_COMMON_STOP_SIGNALS_H_
#define KMQ_TOOLS_COMMON_STOP_SIGNALS_H_

#include <signal.h>

#include <chrono>

namespace kmq {

class StopSignals {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread.
  StopSignals();

  // Waits up to timeout for one of them; returns its number, or 0 when none came in time.
  int Wait(std::chrono::milliseconds timeout) const;

 private:
  sigset_t mSignals;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_STOP_SIGNALS_H_

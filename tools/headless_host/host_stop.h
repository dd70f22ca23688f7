// The user's request to stop: it ends a running session's recording early (as at the end of the
// recording time, keeping the take recorded so far) and a HeadlessHost's current wait. One
// process-wide flag, lock-free, so that a signal handler may set it; any thread may read it.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_STOP_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_STOP_H_

namespace kmq {

// Safe from a signal handler.
void RequestHeadlessStop();
bool HeadlessStopRequested();
void ClearHeadlessStop();

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HOST_STOP_H_

#include "host_stop.h"

#include <atomic>

namespace kmq {
namespace {

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

}  // namespace

void RequestHeadlessStop() { gStopRequested = true; }
bool HeadlessStopRequested() { return gStopRequested; }
void ClearHeadlessStop() { gStopRequested = false; }

}  // namespace kmq

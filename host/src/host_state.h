// The host stand-in's process-wide state: captured traces and message boxes, scripted answers,
// test seams and the scene rate. The test-control API (host/control) reads and sets it; the
// stand-in's internals never include that API. One instance, never destroyed, so threads still
// tracing while the process exits never touch a dead object. All members are guarded by mMutex
// except the atomics, which are read on hot paths without the lock.
#ifndef FBSDK_SRC_HOST_STATE_H_
#define FBSDK_SRC_HOST_STATE_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <fbsdk/fbsystem.h>
#include <fbsdk/fbtime.h>

namespace fbsdk_internal {

// One FBMessageBox call as the user saw it.
struct BoxRecord {
  std::string mTitle;
  std::string mMessage;
  std::vector<std::string> mButtons;  // Only the buttons given (non-null), in order.
  int mDefaultButton = 0;
  int mScrolled = 0;
  int mAnswer = 0;  // The number returned to the caller (1-based).
};

struct HostState {
  std::mutex mMutex;
  std::condition_variable mTraceAdded;               // Signalled on every capture.
  std::vector<std::string> mTraces;                  // Guarded by mMutex.
  std::vector<BoxRecord> mBoxes;                     // Guarded by mMutex.
  std::deque<int> mQueuedAnswers;                    // Guarded by mMutex.
  std::function<int(const BoxRecord&)> mBoxHandler;  // Guarded by mMutex.
  std::atomic<bool> mTraceEcho{true};
  std::atomic<unsigned int> mTraceLevel{FBSDKNamespace::kFBNORMAL_TRACE};
  std::atomic<int> mSocketReadLimit{0};
  std::atomic<int> mCallsWithoutSocket{0};  // Read and Write calls given handle 0 or less.
  std::atomic<int> mSceneTimeMode{FBSDKNamespace::kFBTimeMode30Frames};
};

// The single instance (created on first use, intentionally leaked).
HostState& State();

// Stores one formatted trace and echoes it to stderr when enabled.
void RecordTrace(const std::string& pText);

}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_HOST_STATE_H_

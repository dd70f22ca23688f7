// The host stand-in's process-wide state: captured traces and message boxes, scripted answers,
// test seams and the scene rate. The test-control API (host/control) reads and sets it; the
// stand-in's internals never include that API. One instance, never destroyed, so threads still
// tracing while the process exits never touch a dead object. The members name the lock that
// guards them; the atomics are read on hot paths without a lock.
#ifndef FBSDK_SRC_HOST_STATE_H_
#define FBSDK_SRC_HOST_STATE_H_

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <fbsdk/fbsystem.h>
#include <fbsdk/fbtime.h>

#include "thread_annotations.h"

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
  kovrim::Mutex mMutex;
  kovrim::CondVar mTraceAdded;  // Signalled on every capture.
  std::vector<std::string> mTraces GUARDED_BY(mMutex);
  std::vector<BoxRecord> mBoxes GUARDED_BY(mMutex);
  std::deque<int> mQueuedAnswers GUARDED_BY(mMutex);
  std::function<int(const BoxRecord&)> mBoxHandler GUARDED_BY(mMutex);
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

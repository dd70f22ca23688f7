#include <fbsdk_control/host_control.h>
#include <fbsdk_control/ui_control.h>

#include <chrono>
#include <utility>

#include "host_state.h"
#include "memory_connection.h"
#include "scene_state.h"

namespace fbsdk_control {

using fbsdk_internal::BoxRecord;
using fbsdk_internal::HostState;
using fbsdk_internal::State;

namespace {

MessageBoxRecord ToRecord(const BoxRecord& box) {
  MessageBoxRecord record;
  record.title = box.mTitle;
  record.message = box.mMessage;
  record.buttons = box.mButtons;
  record.defaultButton = box.mDefaultButton;
  record.scrolled = box.mScrolled;
  record.answer = box.mAnswer;
  return record;
}

}  // namespace

void QueueMessageBoxAnswers(std::vector<int> answers) {
  HostState& state = State();
  kovrim::MutexLock lock(&state.mMutex);
  state.mQueuedAnswers.insert(state.mQueuedAnswers.end(), answers.begin(), answers.end());
}

void SetMessageBoxHandler(std::function<int(const MessageBoxRecord&)> handler) {
  std::function<int(const BoxRecord&)> stored;
  if (handler) {
    stored = [handler = std::move(handler)](const BoxRecord& box) {
      return handler(ToRecord(box));
    };
  }
  HostState& state = State();
  kovrim::MutexLock lock(&state.mMutex);
  state.mBoxHandler = std::move(stored);
}

std::vector<MessageBoxRecord> MessageBoxesShown() {
  HostState& state = State();
  std::vector<MessageBoxRecord> shown;
  kovrim::MutexLock lock(&state.mMutex);
  shown.reserve(state.mBoxes.size());
  for (const BoxRecord& box : state.mBoxes) shown.push_back(ToRecord(box));
  return shown;
}

std::vector<std::string> TracesSeen() {
  HostState& state = State();
  kovrim::MutexLock lock(&state.mMutex);
  return state.mTraces;
}

namespace {

size_t CountLocked(const HostState& state, const std::string& text) REQUIRES(state.mMutex) {
  size_t count = 0;
  for (const std::string& trace : state.mTraces) {
    if (trace.find(text) != std::string::npos) ++count;
  }
  return count;
}

}  // namespace

bool WaitForTrace(const std::string& text, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  HostState& state = State();
  kovrim::MutexLock lock(&state.mMutex);
  while (CountLocked(state, text) == 0) {
    if (!state.mTraceAdded.WaitUntil(&state.mMutex, until)) break;
  }
  return CountLocked(state, text) > 0;
}

size_t CountTraces(const std::string& text) {
  HostState& state = State();
  kovrim::MutexLock lock(&state.mMutex);
  return CountLocked(state, text);
}

void SetTraceEcho(bool echoToStderr) { State().mTraceEcho.store(echoToStderr); }

void SetTraceLevel(unsigned int level) { State().mTraceLevel.store(level); }

void SetSocketReadLimit(int maxBytesPerRead) {
  State().mSocketReadLimit.store(maxBytesPerRead > 0 ? maxBytesPerRead : 0);
}

int SocketCallsWithoutAHandle() { return State().mCallsWithoutSocket.load(); }

void SetSceneTimeMode(FBSDKNamespace::FBTimeMode mode) {
  // The scene has a concrete rate; "default" and "custom" fall back to 30 fps.
  if (mode == FBSDKNamespace::kFBTimeModeDefault || mode == FBSDKNamespace::kFBTimeModeCustom) {
    mode = FBSDKNamespace::kFBTimeMode30Frames;
  }
  State().mSceneTimeMode.store(mode);
}

void ResetHost() {
  HostState& state = State();
  {
    kovrim::MutexLock lock(&state.mMutex);
    state.mTraces.clear();
    state.mBoxes.clear();
    state.mQueuedAnswers.clear();
    state.mBoxHandler = nullptr;
  }
  state.mSocketReadLimit.store(0);
  state.mCallsWithoutSocket.store(0);
  SetSocketTap(nullptr);
  fbsdk_internal::memory::ForgetAll();
  state.mTraceLevel.store(FBSDKNamespace::kFBNORMAL_TRACE);
  state.mSceneTimeMode.store(FBSDKNamespace::kFBTimeMode30Frames);
  ResetUi();  // Characters first: their slots refer to the scene's models.
  fbsdk_internal::ResetScene();
}

}  // namespace fbsdk_control

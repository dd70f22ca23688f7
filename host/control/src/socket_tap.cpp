// The wire tap: one installed callback, called outside every lock. Replacing or removing it waits
// for calls still inside the old one, so the caller may then destroy what the old tap refers to.
#include <fbsdk_control/host_control.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "socket_tap.h"

namespace {

using Tap = std::function<void(int socket, bool outgoing, const char* data, int size)>;

struct TapEntry {
  Tap mTap;
  int mCalls = 0;  // Calls inside mTap now; guarded by TapState::mMutex.
};

struct TapState {
  std::mutex mMutex;
  std::condition_variable mIdle;        // Signalled when an entry's last call returns.
  std::shared_ptr<TapEntry> mCurrent;   // Guarded by mMutex.
  std::atomic<bool> mInstalled{false};  // Mirrors mCurrent != nullptr for the fast path.
};

// Created on first use and never destroyed, like the rest of the host's state, so a thread still
// reading while the process exits never touches a dead object.
TapState& State() {
  static TapState* state = new TapState;
  return *state;
}

// The entry this thread is calling and how deeply, so that a tap replacing itself does not wait
// for its own call.
thread_local const TapEntry* tEntry = nullptr;
thread_local int tDepth = 0;

class CallScope {
 public:
  explicit CallScope(std::shared_ptr<TapEntry> entry)
      : mEntry(std::move(entry)), mSavedEntry(tEntry), mSavedDepth(tDepth) {
    tDepth = tEntry == mEntry.get() ? tDepth + 1 : 1;
    tEntry = mEntry.get();
  }
  ~CallScope() {
    tEntry = mSavedEntry;
    tDepth = mSavedDepth;
    TapState& state = State();
    std::lock_guard<std::mutex> lock(state.mMutex);
    if (--mEntry->mCalls == 0) state.mIdle.notify_all();
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  std::shared_ptr<TapEntry> mEntry;
  const TapEntry* mSavedEntry;
  int mSavedDepth;
};

}  // namespace

namespace fbsdk_internal {

namespace {

void CallTap(int socket, bool outgoing, const char* data, int size) {
  TapState& state = State();
  if (!state.mInstalled.load(std::memory_order_acquire)) return;
  std::shared_ptr<TapEntry> entry;
  {
    std::lock_guard<std::mutex> lock(state.mMutex);
    if (state.mCurrent == nullptr) return;
    entry = state.mCurrent;
    ++entry->mCalls;
  }
  CallScope scope(entry);
  entry->mTap(socket, outgoing, data, size);
}

}  // namespace

void ReportSocketBytes(int socket, bool outgoing, const char* data, int size) {
  if (size <= 0 || data == nullptr) return;
  CallTap(socket, outgoing, data, size);
}

void ReportSocketClosing(int socket) { CallTap(socket, false, nullptr, 0); }

}  // namespace fbsdk_internal

namespace fbsdk_control {

void SetSocketTap(std::function<void(int socket, bool outgoing, const char* data, int size)> tap) {
  std::shared_ptr<TapEntry> next;
  if (tap) {
    next = std::make_shared<TapEntry>();
    next->mTap = std::move(tap);
  }
  TapState& state = State();
  std::unique_lock<std::mutex> lock(state.mMutex);
  std::shared_ptr<TapEntry> previous = std::move(state.mCurrent);
  state.mCurrent = std::move(next);
  state.mInstalled.store(state.mCurrent != nullptr, std::memory_order_release);
  if (previous == nullptr) return;
  const int ownCalls = tEntry == previous.get() ? tDepth : 0;
  state.mIdle.wait(lock, [&] { return previous->mCalls <= ownCalls; });
}

}  // namespace fbsdk_control

// The wire tap: one installed callback, called outside every lock. Replacing or removing it waits
// for calls still inside the old one, so the caller may then destroy what the old tap refers to.
#include <fbsdk_control/host_control.h>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

#include "socket_tap.h"
#include "thread_annotations.h"

namespace {

using Tap = std::function<void(int socket, bool outgoing, const char* data, int size)>;

struct TapEntry;

struct TapState {
  kovrim::Mutex mMutex;
  kovrim::CondVar mIdle;  // Signalled when an entry's last call returns.
  std::shared_ptr<TapEntry> mCurrent GUARDED_BY(mMutex);
  std::atomic<bool> mInstalled{false};  // Mirrors mCurrent != nullptr for the fast path.
};

// Created on first use and never destroyed, like the rest of the host's state, so a thread still
// reading while the process exits never touches a dead object.
TapState& State() {
  static TapState* state = new TapState;
  return *state;
}

struct TapEntry {
  Tap mTap;
  int mCalls GUARDED_BY(State().mMutex) = 0;  // Calls inside mTap now.
};

// The entry this thread is calling and how deeply, so that a tap replacing itself does not wait
// for its own call.
thread_local const TapEntry* tEntry = nullptr;
thread_local int tDepth = 0;

// One call of entry's tap has returned. CallScope's end, in a function of its own: the lock
// analysis does not look into destructors.
void EndTapCall(TapEntry* entry) {
  kovrim::MutexLock lock(&State().mMutex);
  if (--entry->mCalls == 0) State().mIdle.NotifyAll();
}

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
    EndTapCall(mEntry.get());
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
  if (!State().mInstalled.load(std::memory_order_acquire)) return;
  std::shared_ptr<TapEntry> entry;
  {
    kovrim::MutexLock lock(&State().mMutex);
    if (State().mCurrent == nullptr) return;
    entry = State().mCurrent;
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
  // Through State() throughout: the entries' counts name the lock so.
  kovrim::MutexLock lock(&State().mMutex);
  std::shared_ptr<TapEntry> previous = std::move(State().mCurrent);
  State().mCurrent = std::move(next);
  State().mInstalled.store(State().mCurrent != nullptr, std::memory_order_release);
  if (previous == nullptr) return;
  const int ownCalls = tEntry == previous.get() ? tDepth : 0;
  while (previous->mCalls > ownCalls) State().mIdle.Wait(&State().mMutex);
}

}  // namespace fbsdk_control

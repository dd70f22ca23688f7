// The server link tests' way into the link's test seams: a clock the test drives for the
// throttled traces, a hook between building a header's tables and swapping them in, and frame
// acceptance called directly. Use from the test's own thread, before the link runs elsewhere.
#ifndef KOVRIM_TESTS_SUPPORT_SERVER_LINK_TEST_PEER_H_
#define KOVRIM_TESTS_SUPPORT_SERVER_LINK_TEST_PEER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "server_link.h"

class ServerLinkTestPeer {
 public:
  // link must outlive the peer, and the peer the link's use of its clock.
  explicit ServerLinkTestPeer(ServerLink* link) : mLink(link) {}

  // From now on the link's traces see a clock that moves only by Advance.
  void UseManualClock() {
    auto now = mNow;
    mLink->mClock = [now] { return *now; };
  }
  void Advance(std::chrono::milliseconds step) { *mNow += step; }

  // Called on the dispatching thread after a header's tables are built, before the swap.
  void SetHeaderBuiltHook(std::function<void()> hook) { mLink->mHeaderBuiltHook = std::move(hook); }

  // The handle of the link's connection: a test may put a connected socket there directly.
  std::atomic<int>& Socket() { return mLink->Connection()->mSocket; }

  // Frame acceptance as DispatchMessage reaches it, under the lock, past DispatchMessage's own
  // checks.
  void AcceptFrame(const IvraPlugs::BVH_FRAME& frame) {
    kovrim::MutexLock lock(&mLink->mLock);
    mLink->AcceptFrame(frame);
  }

 private:
  ServerLink* const mLink;
  std::shared_ptr<std::chrono::steady_clock::time_point> mNow =
      std::make_shared<std::chrono::steady_clock::time_point>();
};

#endif  // KOVRIM_TESTS_SUPPORT_SERVER_LINK_TEST_PEER_H_

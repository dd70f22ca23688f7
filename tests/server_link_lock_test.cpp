// What the link does under mLock and what it keeps out of it: a header's tables are built without
// the lock and swapped in under it, a header of an actor no longer chosen is dropped at the swap,
// the pending flag is set, tested and cleared under the lock, and frame acceptance re-checks it.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include <atomic>
#include <thread>

#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"

using namespace linktest;

namespace {

constexpr uint32_t kTag = 3;
// How long a thread that should be waiting for the lock is given to show that it is not.
constexpr std::chrono::milliseconds kWindow(200);

class ServerLinkLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    mLink.mActorTag = kTag;
    mLink.mOnline = true;
  }

  void Dispatch(const IVRA_PLUGIN_MESSAGE& envelope) {
    const std::string bytes = envelope.SerializePartialAsString();
    mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
  }

  // A root offset by (x, 0, 0) with `children` child joints.
  static BVH_JOIN Skeleton(int children, float x) {
    BVH_JOIN root = Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {x, 0, 0});
    for (int i = 0; i < children; ++i) {
      *root.add_childjoin() = Joint("J" + std::to_string(i), {Z_ROT, X_ROT, Y_ROT}, {0, 1, 0});
    }
    return root;
  }

  fbsdk_control::ScopedHostCapture mHost;
  ServerLink mLink;
  ServerLinkTestPeer mSeams{&mLink};
};

TEST_F(ServerLinkLockTest, GettersAreServedWhileAHeaderIsBuilt) {
  mLink.mHeaderPending = true;
  Dispatch(HeaderMessage(kTag, Skeleton(1, 7)));
  ASSERT_EQ(mLink.GetJointCount(), 2);

  // While the next header's tables are being built, getters on another thread return at once,
  // with the tables of the header before.
  std::atomic<bool> served{false};
  int countSeen = -1;
  double rootSeen = 0;
  std::thread getter;
  bool servedInTime = false;
  mSeams.SetHeaderBuiltHook([&] {
    getter = std::thread([&] {
      countSeen = mLink.GetJointCount();
      rootSeen = mLink.GetTPoseTranslation(0)[0];
      mLink.GetTranslation(1);
      mLink.CopyHeader();
      served = true;
    });
    servedInTime = WaitUntil(
        "the getters to return", [&] { return served.load(); }, [] { std::this_thread::yield(); });
  });
  Dispatch(HeaderMessage(kTag, Skeleton(500, 9)));
  if (getter.joinable()) getter.join();
  EXPECT_TRUE(servedInTime);
  EXPECT_EQ(countSeen, 2);
  EXPECT_EQ(rootSeen, 7.0);
  // Then the new header and both its tables are in, together.
  EXPECT_EQ(mLink.GetJointCount(), 501);
  EXPECT_EQ(mLink.GetTPoseTranslation(0)[0], 9.0);
  EXPECT_EQ(mLink.GetTranslation(0)[0], 9.0);
  EXPECT_EQ(mLink.CopyHeader().rootjoin().offset().x(), 9.0f);
  EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{"BVH header changed."});
}

TEST_F(ServerLinkLockTest, HeaderOfAnActorDeselectedWhileItWasBuiltIsDropped) {
  mLink.mHeaderPending = true;
  Dispatch(HeaderMessage(kTag, Skeleton(1, 7)));
  // The user picks actor 4 while actor 3's next header is being built.
  mSeams.SetHeaderBuiltHook([&] { mLink.SelectActor(4); });
  Dispatch(HeaderMessage(kTag, Skeleton(5, 9)));
  EXPECT_EQ(mLink.mActorTag, 4u);
  EXPECT_TRUE(mLink.mHeaderPending);
  EXPECT_EQ(mLink.GetJointCount(), 2);
  EXPECT_EQ(mLink.GetTPoseTranslation(0)[0], 7.0);
  EXPECT_EQ(mLink.CopyHeader().rootjoin().offset().x(), 7.0f);
  // Dropped without a trace, as any header of another actor.
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
}

TEST_F(ServerLinkLockTest, RequestMadeWhileAHeaderIsBuiltIsAnsweredByIt) {
  // The request comes before the swap, so the header being built counts as its answer.
  mSeams.SetHeaderBuiltHook([&] { mLink.RequestHeader(); });
  Dispatch(HeaderMessage(kTag, Skeleton(1, 7)));
  EXPECT_FALSE(mLink.mHeaderPending);
  EXPECT_TRUE(mLink.mHeaderReceived);
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
}

TEST_F(ServerLinkLockTest, RequestAndSelectionChangeTheFlagsOnlyUnderTheLock) {
  // While another thread holds mLock (as header acceptance does while it tests and clears the
  // pending flag), neither a request nor a selection changes anything; both do once it is free.
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which);
    mLink.mHeaderPending = false;
    std::atomic<bool> done{false};
    std::thread ui;
    {
      kovrim::MutexLock lock(&mLink.mLock);
      ui = std::thread([&] {
        if (which == 0) {
          mLink.RequestHeader();
        } else {
          mLink.SelectActor(kTag + 1);
        }
        done = true;
      });
      EXPECT_FALSE(PollUntil([&] { return mLink.mHeaderPending.load() || mLink.mActorTag != kTag; },
                             [] { std::this_thread::yield(); }, kWindow));
    }
    EXPECT_TRUE(WaitUntil(
        "the UI thread", [&] { return done.load(); }, [] { std::this_thread::yield(); }));
    ui.join();
    EXPECT_TRUE(mLink.mHeaderPending);
    EXPECT_EQ(mLink.mActorTag, which == 0 ? kTag : kTag + 1);
    mLink.mActorTag = kTag;
  }
}

TEST_F(ServerLinkLockTest, FrameAcceptanceRechecksThePendingFlagUnderTheLock) {
  mLink.mHeaderPending = true;
  Dispatch(HeaderMessage(kTag, Skeleton(1, 7)));
  // A request made between DispatchMessage's own look at the flag and the lock: the frame that
  // was let through is still dropped.
  mLink.mHeaderPending = true;
  mSeams.AcceptFrame(FrameMessage(kTag, {1, 2, 3, 0, 0, 0, 0, 0, 0}).frame());
  mLink.mHeaderPending = false;
  EXPECT_EQ(mLink.GetTranslation(0)[0], 7.0);
  mSeams.AcceptFrame(FrameMessage(kTag, {1, 2, 3, 0, 0, 0, 0, 0, 0}).frame());
  EXPECT_EQ(mLink.GetTranslation(0)[0], 1.0);
}

}  // namespace

// The link's bounded work against a hostile server: each ReadMessage scans or skips at most one
// receive buffer, a read notices the handle being cleared, Close returns while a server floods
// the connection, and the link's own traces come at most once a second per kind.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <fbsdk_control/host_control.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "flood_peer.h"
#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"

using namespace linktest;

namespace {

constexpr int kBuffer = ServerLink::kDefaultBufferSize;

// Garbage on the four-byte grid that never holds a marker.
const std::string kGarbage = "junk";
const std::string kNegativeLength = RawFrame(ServerLink::kPlainMarker, -8, "");

std::string Sentinel(const std::string& name) {
  return FrameBytes(ActorListMessage({{99, name}}), Payload::kPlain);
}

// Bytes waiting in a socket's receive queue.
int Queued(int socket) {
  int queued = 0;
  ::ioctl(socket, FIONREAD, &queued);
  return queued;
}

class ServerLinkCloseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    mSeams.UseManualClock();
  }

  void Connect() {
    mLink.mPort = mPeer.Port();
    ASSERT_TRUE(mLink.Open());
    ASSERT_TRUE(mPeer.Accept());
  }

  // Keeps the link's receive queue supplied with `pattern` from the tap until `total` bytes have
  // been fed, so a reader that does not stop by itself finds data at every read.
  void FeedFromTheTap(const std::string& pattern, uint64_t total) {
    mFeedLeft = total;
    std::string chunk;
    // Small enough that two fit loopback's initial receive window.
    while (chunk.size() < (4u << 10)) chunk += pattern;
    mChunk = chunk;
    ASSERT_TRUE(mPeer.Send(mChunk));
    mFeedLeft -= mChunk.size();
    ASSERT_TRUE(WaitUntil(
        "the first chunk to arrive",
        [&] { return Queued(mLink.mSocket) >= static_cast<int>(mChunk.size()); },
        [] { std::this_thread::yield(); }));
  }
  // Tops the queue up; called from the tap on the reading thread.
  void TopUp(int justRead) {
    // Looked at every kilobyte read, while the queue holds at least a chunk of 4 KB.
    mReadSinceTopUp += justRead;
    if (justRead > 0 && mReadSinceTopUp < 1024) return;
    mReadSinceTopUp = 0;
    if (mFeedLeft == 0 || Queued(mLink.mSocket) >= static_cast<int>(mChunk.size())) return;
    const size_t before = static_cast<size_t>(Queued(mLink.mSocket));
    if (!mPeer.Send(mChunk)) return;
    mFeedLeft -= std::min<uint64_t>(mFeedLeft, mChunk.size());
    // Loopback delivers into the receive queue within the send; wait for it in case it did not.
    const bool arrived = PollUntil(
        [&] { return static_cast<size_t>(Queued(mLink.mSocket)) >= before + mChunk.size(); },
        [] { std::this_thread::yield(); }, std::chrono::milliseconds(1000));
    if (!arrived) ADD_FAILURE() << "the feed did not arrive";
  }

  fbsdk_control::ScopedHostCapture mHost;
  ScriptedPeer mPeer;
  ServerLink mLink;
  ServerLinkTestPeer mSeams{&mLink};
  std::string mChunk;
  uint64_t mFeedLeft = 0;
  int mReadSinceTopUp = 0;
};

TEST_F(ServerLinkCloseTest, EachCallScansAtMostOneReceiveBufferOfGarbage) {
  Connect();
  // Negative lengths are scanned the same way, a marker and a length at a time.
  for (const std::string& pattern : {kGarbage}) {
    FeedFromTheTap(pattern, 2 * kBuffer + (16 << 10));
    int64_t readThisCall = 0;
    fbsdk_control::SetSocketTap([&](int, bool outgoing, const char*, int size) {
      if (outgoing) return;
      readThisCall += size;
      TopUp(size);
    });
    std::vector<int64_t> perCall;
    int trues = 0;
    // The feed ends after two buffers and a bit; then the sentinel follows.
    ASSERT_TRUE(WaitUntil(
        "the garbage to be scanned",
        [&] {
          return mFeedLeft == 0 && Queued(mLink.mSocket) == 0 && !perCall.empty() &&
                 perCall.back() == 0;
        },
        [&] {
          readThisCall = 0;
          trues += mLink.ReadMessage() ? 1 : 0;
          perCall.push_back(readThisCall);
          TopUp(0);
        },
        std::chrono::milliseconds(20000)));
    fbsdk_control::SetSocketTap(nullptr);
    EXPECT_EQ(trues, 0);
    EXPECT_LE(*std::max_element(perCall.begin(), perCall.end()), kBuffer);
    // Two buffers and a bit took two calls that went as far as the bound allows, and a third.
    EXPECT_EQ(
        std::count_if(perCall.begin(), perCall.end(), [](int64_t n) { return n >= kBuffer - 8; }),
        2);
    const std::string name = "after " + std::to_string(pattern.size());
    ASSERT_TRUE(mPeer.Send(Sentinel(name)));
    ASSERT_TRUE(WaitUntil(
        "the sentinel", [&] { return mLink.CopyActors()[99] == name; },
        [&] { trues += mLink.ReadMessage() ? 1 : 0; }));
    EXPECT_EQ(trues, 1);
  }
}

TEST_F(ServerLinkCloseTest, SkippingALongPayloadIsSpreadOverCalls) {
  Connect();
  ASSERT_TRUE(mPeer.Send(RawFrame(ServerLink::kPlainMarker, 0x7FFFFFFF, "")));
  FeedFromTheTap("zzzz", 3 * kBuffer);
  int64_t readThisCall = 0;
  fbsdk_control::SetSocketTap([&](int, bool outgoing, const char*, int size) {
    if (outgoing) return;
    readThisCall += size;
    TopUp(size);
  });
  std::vector<int64_t> perCall;
  ASSERT_TRUE(WaitUntil(
      "the feed to be skipped",
      [&] {
        return mFeedLeft == 0 && Queued(mLink.mSocket) == 0 && !perCall.empty() &&
               perCall.back() == 0;
      },
      [&] {
        readThisCall = 0;
        EXPECT_FALSE(mLink.ReadMessage());
        perCall.push_back(readThisCall);
        TopUp(0);
      },
      std::chrono::milliseconds(20000)));
  fbsdk_control::SetSocketTap(nullptr);
  EXPECT_LE(*std::max_element(perCall.begin(), perCall.end()), kBuffer);
  EXPECT_GE(std::count(perCall.begin(), perCall.end(), kBuffer), 2);
  EXPECT_EQ(fbsdk_control::CountTraces(ServerLink::kTraceFrameTooLong), 1u);
}

TEST_F(ServerLinkCloseTest, ReadStopsAtOnceWhenTheHandleIsCleared) {
  Connect();
  FeedFromTheTap(kGarbage, 8 * kBuffer);
  std::atomic<bool> cleared{false};
  std::atomic<int> readsAfterClear{0};
  std::atomic<int> reads{0};
  std::thread closer;
  fbsdk_control::SetSocketTap([&](int, bool outgoing, const char*, int size) {
    if (outgoing) return;
    if (cleared) {
      ++readsAfterClear;
      return;
    }
    TopUp(size);
    if (++reads != 100) return;
    // Close on the UI thread clears the handle and waits for this read to end.
    closer = std::thread([&] { mLink.Close(); });
    cleared = WaitUntil(
        "Close to clear the handle", [&] { return mLink.mSocket.load() == 0; },
        [] { std::this_thread::yield(); });
  });
  ASSERT_TRUE(WaitUntil(
      "the handle to be cleared", [&] { return cleared.load(); },
      [&] { EXPECT_FALSE(mLink.ReadMessage()); }));
  if (closer.joinable()) closer.join();
  fbsdk_control::SetSocketTap(nullptr);
  EXPECT_EQ(readsAfterClear, 0);
  EXPECT_FALSE(mLink.mOnline);
  EXPECT_EQ(mLink.mSocket, 0);
}

struct Flood {
  const char* mName;
  std::string mPrefix;
  std::string mBody;
};

TEST_F(ServerLinkCloseTest, CloseReturnsWhileTheServerFloodsTheConnection) {
  const std::vector<Flood> floods = {
      {"garbage", "", kGarbage},
      {"length 2^31-1", RawFrame(ServerLink::kCompressedMarker, 0x7FFFFFFF, ""), "zzzz"},
      {"repeated negative length", "", kNegativeLength}};
  constexpr int kTries = 20;
  for (const Flood& flood : floods) {
    SCOPED_TRACE(flood.mName);
    fbsdk_control::ResetHost();
    // Stops by itself long after the tries should be over.
    FloodPeer peer(flood.mPrefix, flood.mBody, std::chrono::seconds(60));
    mLink.mPort = peer.Port();
    std::atomic<uint64_t> received{0};
    fbsdk_control::SetSocketTap([&](int, bool outgoing, const char*, int size) {
      if (!outgoing) received += static_cast<uint64_t>(size);
    });
    std::atomic<bool> stop{false};
    std::thread io([&] {
      while (!stop) {
        if (!mLink.ReadMessage()) std::this_thread::yield();
      }
    });
    std::vector<double> closes;
    for (int i = 0; i < kTries; ++i) {
      ASSERT_TRUE(mLink.Open());
      const uint64_t start = received;
      // Into the flood, so that Close comes while a read is scanning it.
      if (!WaitUntil(
              "the flood to arrive", [&] { return received - start > (64u << 10); },
              [] { std::this_thread::yield(); }, std::chrono::milliseconds(20000))) {
        break;
      }
      const auto before = std::chrono::steady_clock::now();
      mLink.Close();
      closes.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
              .count());
    }
    stop = true;
    io.join();
    fbsdk_control::SetSocketTap(nullptr);
    // Every Close came back while the server was still sending, not when it gave up.
    EXPECT_FALSE(peer.CapReached());
    ASSERT_EQ(closes.size(), static_cast<size_t>(kTries));
    std::sort(closes.begin(), closes.end());
    std::printf("%-26s Close over %d tries: median %.3f ms, longest %.3f ms; %.1f MB sent\n",
                flood.mName, kTries, closes[closes.size() / 2], closes.back(),
                static_cast<double>(peer.BytesSent()) / (1 << 20));
    // Close waits for one read call at most: the typical Close is well within the 50 ms it is
    // allowed, and the slack for the longest covers a loaded machine's scheduling.
    EXPECT_LT(closes[closes.size() / 2], 50.0);
    EXPECT_LT(closes.back(), 250.0);
  }
}

TEST_F(ServerLinkCloseTest, OwnTracesComeOncePerSecondPerKindWithTheirCount) {
  Connect();
  const std::string negative = kNegativeLength;
  const std::string tooLong =
      RawFrame(ServerLink::kPlainMarker, kBuffer + 1, "") + std::string(kBuffer + 1, 'z');
  std::string stream;
  for (int i = 0; i < 1000; ++i) stream += negative;
  stream += tooLong + tooLong + Sentinel("first");
  std::thread sender([&] { EXPECT_TRUE(mPeer.Send(stream)); });
  ASSERT_TRUE(WaitUntil(
      "the first sentinel", [&] { return mLink.CopyActors().count(99) == 1; },
      [&] { mLink.ReadMessage(); }, std::chrono::milliseconds(20000)));
  sender.join();
  // The clock has not moved: one of each kind, the first as its fixed text.
  EXPECT_EQ(fbsdk_control::TracesSeen(),
            (std::vector<std::string>{ServerLink::kTraceFrameLengthNegative,
                                      ServerLink::kTraceFrameTooLong}));

  // Within the second, more are held back; once it has passed, the next is traced after a line
  // that says how many were held back.
  mSeams.Advance(std::chrono::milliseconds(999));
  ASSERT_TRUE(mPeer.Send(negative + Sentinel("second")));
  ASSERT_TRUE(WaitUntil(
      "the second sentinel", [&] { return mLink.CopyActors()[99] == "second"; },
      [&] { mLink.ReadMessage(); }));
  EXPECT_EQ(fbsdk_control::TracesSeen().size(), 2u);
  mSeams.Advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(mPeer.Send(negative + tooLong + Sentinel("third")));
  ASSERT_TRUE(WaitUntil(
      "the third sentinel", [&] { return mLink.CopyActors()[99] == "third"; },
      [&] { mLink.ReadMessage(); }));
  EXPECT_EQ(fbsdk_control::TracesSeen(),
            (std::vector<std::string>{
                ServerLink::kTraceFrameLengthNegative, ServerLink::kTraceFrameTooLong,
                kovrim::TraceThrottle::HeldBackLine(ServerLink::kTraceFrameLengthNegative, 1000),
                ServerLink::kTraceFrameLengthNegative,
                kovrim::TraceThrottle::HeldBackLine(ServerLink::kTraceFrameTooLong, 1),
                ServerLink::kTraceFrameTooLong}));

  // Alone in its second again, a trace is its fixed text.
  mSeams.Advance(std::chrono::seconds(5));
  ASSERT_TRUE(mPeer.Send(negative + Sentinel("fourth")));
  ASSERT_TRUE(WaitUntil(
      "the fourth sentinel", [&] { return mLink.CopyActors()[99] == "fourth"; },
      [&] { mLink.ReadMessage(); }));
  EXPECT_EQ(fbsdk_control::TracesSeen().back(), ServerLink::kTraceFrameLengthNegative);
}

}  // namespace

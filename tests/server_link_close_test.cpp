// The link's bounded work against a hostile server: each ReadMessage scans or skips at most one
// receive buffer, a read notices the handle being cleared, Close returns while a server floods
// the connection, and the link's own traces come at most once a second per kind. And a server
// that closes or resets the connection: the loss is found and traced once, and the link connects
// again on its growing waits (on the link's clock, which the tests drive).
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <fbsdk_control/host_control.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "flood_peer.h"
#include "kovrim_texts.h"
#include "link_connector.h"
#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"
#include "wire_format.h"

using namespace linktest;

namespace {

constexpr int kBuffer = kovrim::wire::kReceiveLimit;

// Garbage on the four-byte grid that never holds a marker.
const std::string kGarbage = "junk";
const std::string kNegativeLength = RawFrame(kovrim::wire::kPlainMarker, -8, "");
// Both markers' bytes, never on the four-byte grid.
const std::string kMarkersOffTheGrid = "zAAAAzzCCCCz";

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
        [&] { return Queued(mSeams.Socket()) >= static_cast<int>(mChunk.size()); },
        [] { std::this_thread::yield(); }));
  }
  // Tops the queue up; called from the tap on the reading thread.
  void TopUp(int justRead) {
    // Looked at every kilobyte read, while the queue holds at least a chunk of 4 KB.
    mReadSinceTopUp += justRead;
    if (justRead > 0 && mReadSinceTopUp < 1024) return;
    mReadSinceTopUp = 0;
    if (mFeedLeft == 0 || Queued(mSeams.Socket()) >= static_cast<int>(mChunk.size())) return;
    const size_t before = static_cast<size_t>(Queued(mSeams.Socket()));
    if (!mPeer.Send(mChunk)) return;
    mFeedLeft -= std::min<uint64_t>(mFeedLeft, mChunk.size());
    // Loopback delivers into the receive queue within the send; wait for it in case it did not.
    const bool arrived = PollUntil(
        [&] { return static_cast<size_t>(Queued(mSeams.Socket())) >= before + mChunk.size(); },
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

TEST_F(ServerLinkCloseTest, EachCallScansAtMostOneReceiveBufferOutsideAFrame) {
  Connect();
  // Garbage, markers that never start a frame (their bytes off the four-byte grid), and markers
  // each followed by a negative length (a marker and a length at a time).
  const std::vector<std::pair<const char*, std::string>> streams = {
      {"garbage", kGarbage},
      {"markers off the grid", kMarkersOffTheGrid},
      {"negative lengths", kNegativeLength}};
  for (const auto& [what, pattern] : streams) {
    SCOPED_TRACE(what);
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
        "the stream to be scanned",
        [&] {
          return mFeedLeft == 0 && Queued(mSeams.Socket()) == 0 && !perCall.empty() &&
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
  ASSERT_TRUE(mPeer.Send(RawFrame(kovrim::wire::kPlainMarker, 0x7FFFFFFF, "")));
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
        return mFeedLeft == 0 && Queued(mSeams.Socket()) == 0 && !perCall.empty() &&
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
  fbsdk_control::SetSocketTap([&](int, bool outgoing, const char* data, int size) {
    if (outgoing || data == nullptr) return;  // a closing is no read
    if (cleared) {
      ++readsAfterClear;
      return;
    }
    TopUp(size);
    if (++reads != 100) return;
    // Close on the UI thread clears the handle and waits for this read to end.
    closer = std::thread([&] { mLink.Close(); });
    cleared = WaitUntil(
        "Close to clear the handle", [&] { return mSeams.Socket().load() == 0; },
        [] { std::this_thread::yield(); });
  });
  ASSERT_TRUE(WaitUntil(
      "the handle to be cleared", [&] { return cleared.load(); },
      [&] { EXPECT_FALSE(mLink.ReadMessage()); }));
  if (closer.joinable()) closer.join();
  fbsdk_control::SetSocketTap(nullptr);
  EXPECT_EQ(readsAfterClear, 0);
  EXPECT_FALSE(mLink.mOnline);
  EXPECT_EQ(mSeams.Socket(), 0);
}

struct Flood {
  const char* mName;
  std::string mPrefix;
  std::string mBody;
};

TEST_F(ServerLinkCloseTest, CloseReturnsWhileTheServerFloodsTheConnection) {
  const std::vector<Flood> floods = {
      {"garbage", "", kGarbage},
      {"length 2^31-1", RawFrame(kovrim::wire::kCompressedMarker, 0x7FFFFFFF, ""), "zzzz"},
      {"repeated negative length", "", kNegativeLength}};
  constexpr int kTries = 20;
  for (const Flood& flood : floods) {
    SCOPED_TRACE(flood.mName);
    fbsdk_control::ResetHost();
    // Stops by itself long after the tries should be over.
    FloodPeer peer(flood.mPrefix, flood.mBody, std::chrono::seconds(60));
    mLink.mPort = peer.Port();
    std::atomic<uint64_t> received{0};
    // Reads that the tap sees with the handle already cleared, and the socket whose closing it
    // was told of last.
    std::atomic<int> readsAfterClear{0};
    std::atomic<int> closedSocket{-1};
    fbsdk_control::SetSocketTap([&](int socket, bool outgoing, const char* data, int size) {
      if (outgoing) return;
      if (data == nullptr) {
        closedSocket = socket;
        return;
      }
      received += static_cast<uint64_t>(size);
      if (mSeams.Socket().load() == 0) ++readsAfterClear;
    });
    std::atomic<bool> stop{false};
    std::thread io([&] {
      while (!stop) {
        if (!mLink.ReadMessage()) std::this_thread::yield();
      }
    });
    std::vector<double> closes;
    std::vector<int> reads;
    for (int i = 0; i < kTries; ++i) {
      ASSERT_TRUE(mLink.Open());
      const int socket = mSeams.Socket().load();
      const uint64_t start = received;
      // Into the flood, so that Close comes while a read is scanning it.
      if (!WaitUntil(
              "the flood to arrive", [&] { return received - start > (64u << 10); },
              [] { std::this_thread::yield(); }, std::chrono::milliseconds(20000))) {
        break;
      }
      readsAfterClear = 0;
      closedSocket = -1;
      const auto before = std::chrono::steady_clock::now();
      mLink.Close();
      closes.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
              .count());
      // The socket is closed by Close or by the read it came upon, as that read lets go.
      if (!WaitUntil(
              "the socket to be closed", [&] { return closedSocket.load() == socket; },
              [] { std::this_thread::yield(); }, std::chrono::milliseconds(20000))) {
        break;
      }
      reads.push_back(readsAfterClear.load());
    }
    stop = true;
    io.join();
    fbsdk_control::SetSocketTap(nullptr);
    // Every Close came back while the server was still sending, not when it gave up.
    EXPECT_FALSE(peer.CapReached());
    ASSERT_EQ(reads.size(), static_cast<size_t>(kTries));
    std::sort(closes.begin(), closes.end());
    const int mostReads = *std::max_element(reads.begin(), reads.end());
    std::printf(
        "%-26s Close over %d tries: median %.3f ms, longest %.3f ms; reads after it at "
        "most %d; %.1f MB sent\n",
        flood.mName, kTries, closes[closes.size() / 2], closes.back(), mostReads,
        static_cast<double>(peer.BytesSent()) / (1 << 20));
    // Close waits for no read, and the read it comes upon stops after the read call under way
    // (each call asks for at most one word or one scratch block, and never blocks): counted, not
    // timed, so that a loaded machine's scheduling cannot hide a read that goes on scanning.
    EXPECT_LE(mostReads, 1);
  }
}

TEST_F(ServerLinkCloseTest, OwnTracesComeOncePerSecondPerKindWithTheirCount) {
  Connect();
  const std::string negative = kNegativeLength;
  const std::string tooLong =
      RawFrame(kovrim::wire::kPlainMarker, kBuffer + 1, "") + std::string(kBuffer + 1, 'z');
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

// ---- A server that closes or resets the connection ----

using State = ServerLink::ConnectionState;
using std::chrono::milliseconds;

TEST(ReconnectBackoffTest, WaitsDoubleFromHalfASecondUpToFiveAndStartAgainOnReset) {
  ReconnectBackoff backoff;
  for (int ms : {500, 1000, 2000, 4000, 5000, 5000}) EXPECT_EQ(backoff.Next(), milliseconds(ms));
  backoff.Reset();
  EXPECT_EQ(backoff.Next(), milliseconds(500));
}

class ServerLinkReconnectTest : public ServerLinkCloseTest {
 protected:
  // Reads (the I/O thread's part) until the schedule has let the lost connection go.
  void ReadUntilLost() {
    // Each loss a second after anything traced before, so that the trace throttle lets it show.
    mSeams.Advance(std::chrono::seconds(1));
    ASSERT_TRUE(WaitUntil(
        "the loss of the connection",
        [&] {
          mLink.KeepConnected();
          return mLink.GetConnectionState() == State::kWaiting;
        },
        [&] { mLink.ReadMessage(); }));
  }
  // Moves the clock to the next attempt and runs the schedule until the attempt has its answer;
  // the peer accepts it when it connects.
  void NextAttempt(bool accept) {
    mSeams.Advance(std::chrono::duration_cast<milliseconds>(mLink.RetryIn()));
    mLink.KeepConnected();
    ASSERT_EQ(mLink.GetConnectionState(), State::kConnecting);
    if (accept) {
      ASSERT_TRUE(mPeer.Accept());
    }
    ASSERT_TRUE(WaitUntil(
        "the attempt's answer",
        [&] {
          mLink.KeepConnected();
          return mLink.GetConnectionState() != State::kConnecting;
        },
        [] { std::this_thread::yield(); }));
  }
  // The chosen actor's header accepted as the answer to its query.
  void SendHeader(const BVH_JOIN& root) {
    ASSERT_TRUE(mPeer.Send(FrameBytes(HeaderMessage(4, root), Payload::kGzip)));
    ASSERT_TRUE(WaitUntil(
        "the header", [&] { return mLink.mHeaderReceived && !mLink.mHeaderPending; },
        [&] { mLink.ReadMessage(); }));
  }
  size_t Losses() { return fbsdk_control::CountTraces(kovrim_texts::kConnectionLostTrace); }
};

TEST_F(ServerLinkReconnectTest, ClosedOrResetConnectionIsFoundLetGoAndTracedOnce) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "closed");
    fbsdk_control::ResetHost();
    mLink.Close();
    Connect();
    ASSERT_TRUE(mPeer.Send(Sentinel("before")));
    ASSERT_TRUE(WaitUntil(
        "the sentinel", [&] { return mLink.CopyActors().count(99) == 1; },
        [&] { mLink.ReadMessage(); }));
    if (reset) {
      mPeer.ResetConnection();
    } else {
      mPeer.CloseConnection();
    }
    ASSERT_NO_FATAL_FAILURE(ReadUntilLost());
    EXPECT_EQ(mSeams.Socket(), 0);
    EXPECT_TRUE(mLink.mOnline);  // the user still wants it online
    EXPECT_FALSE(mLink.LastAttemptFailed());
    EXPECT_EQ(mLink.RetryIn(), milliseconds(500));
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(mLink.ReadMessage());
    EXPECT_EQ(Losses(), 1u);
    EXPECT_TRUE(fbsdk_control::MessageBoxesShown().empty());
  }
}

TEST_F(ServerLinkReconnectTest, ConnectsAgainAfterTheWaitAndAsksForTheHeaderAgain) {
  Connect();
  mLink.mActorTag = 4;
  mLink.mHeaderPending = true;
  const BVH_JOIN hips = Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 1, 0});
  ASSERT_NO_FATAL_FAILURE(SendHeader(hips));
  // The first cycle finds the same skeleton, the second another one.
  const std::vector<std::pair<BVH_JOIN, size_t>> cycles = {
      {hips, 0}, {Joint("Root", {Z_ROT, X_ROT, Y_ROT}, {0, 2, 0}), 1}};
  for (const auto& cycle : cycles) {
    mPeer.CloseConnection();
    ASSERT_NO_FATAL_FAILURE(ReadUntilLost());
    // Nothing is tried before the wait is over.
    mSeams.Advance(milliseconds(499));
    mLink.KeepConnected();
    EXPECT_EQ(mLink.GetConnectionState(), State::kWaiting);
    ASSERT_NO_FATAL_FAILURE(NextAttempt(true));
    ASSERT_EQ(mLink.GetConnectionState(), State::kConnected);
    // The header is asked for again, and frames wait for it.
    const std::string query = mPeer.Receive(8);
    ASSERT_EQ(query.size(), 8u);
    EXPECT_EQ(query.substr(0, 4), Le32(kovrim::wire::kCompressedMarker));
    EXPECT_TRUE(mLink.mHeaderPending);
    ASSERT_NO_FATAL_FAILURE(SendHeader(cycle.first));
    EXPECT_EQ(fbsdk_control::CountTraces("BVH header changed."), cycle.second);
    EXPECT_EQ(mLink.GetJointCount(), 1);
  }
  EXPECT_EQ(Losses(), 2u);
  EXPECT_TRUE(fbsdk_control::MessageBoxesShown().empty());
}

TEST_F(ServerLinkReconnectTest, ServerThatAcceptsAndClosesAtOnceIsTriedOnTheGrowingWaits) {
  Connect();
  // Each connection delivers nothing, so none counts as good: over 17.5 s of the link's clock
  // six connections, not a busy loop, and one trace.
  const std::vector<int> waits = {500, 1000, 2000, 4000, 5000, 5000};
  int connections = 1;
  for (int wait : waits) {
    mPeer.CloseConnection();
    ASSERT_NO_FATAL_FAILURE(ReadUntilLost());
    EXPECT_EQ(mLink.RetryIn(), milliseconds(wait));
    mSeams.Advance(milliseconds(wait - 1));
    mLink.KeepConnected();
    EXPECT_EQ(mLink.GetConnectionState(), State::kWaiting);
    mSeams.Advance(milliseconds(1));
    ASSERT_NO_FATAL_FAILURE(NextAttempt(true));
    ++connections;
  }
  EXPECT_EQ(connections, 7);
  EXPECT_EQ(Losses(), 1u);
  // Once one delivers a frame, the next loss waits the first wait again and is traced.
  ASSERT_TRUE(mPeer.Send(Sentinel("good")));
  ASSERT_TRUE(WaitUntil(
      "the sentinel", [&] { return mLink.CopyActors().count(99) == 1; },
      [&] { mLink.ReadMessage(); }));
  mPeer.CloseConnection();
  ASSERT_NO_FATAL_FAILURE(ReadUntilLost());
  EXPECT_EQ(mLink.RetryIn(), milliseconds(500));
  EXPECT_EQ(Losses(), 2u);
}

TEST_F(ServerLinkReconnectTest, RefusedAttemptsWaitLongerAndShowNoBox) {
  Connect();
  mPeer.CloseConnection();
  ASSERT_NO_FATAL_FAILURE(ReadUntilLost());
  mLink.mPort = FreePort();
  for (int wait : {1000, 2000, 4000}) {
    ASSERT_NO_FATAL_FAILURE(NextAttempt(false));
    ASSERT_EQ(mLink.GetConnectionState(), State::kWaiting);
    EXPECT_TRUE(mLink.LastAttemptFailed());
    EXPECT_EQ(mLink.RetryIn(), milliseconds(wait));
  }
  EXPECT_TRUE(fbsdk_control::MessageBoxesShown().empty());
  mLink.mPort = mPeer.Port();
  ASSERT_NO_FATAL_FAILURE(NextAttempt(true));
  EXPECT_EQ(mLink.GetConnectionState(), State::kConnected);
}

TEST_F(ServerLinkReconnectTest, GoingOfflineOrDestroyingTheLinkAbandonsTheAttemptAtOnce) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "offline");
    auto link = std::make_unique<ServerLink>();
    ServerLinkTestPeer seams(link.get());
    seams.UseManualClock();
    link->mPort = mPeer.Port();
    ASSERT_TRUE(link->Open());
    ASSERT_TRUE(mPeer.Accept());
    mPeer.CloseConnection();
    ASSERT_TRUE(WaitUntil(
        "the loss",
        [&] {
          link->KeepConnected();
          return link->GetConnectionState() == State::kWaiting;
        },
        [&] { link->ReadMessage(); }));
    seams.Advance(milliseconds(500));
    link->KeepConnected();
    ASSERT_EQ(link->GetConnectionState(), State::kConnecting);
    if (destroy) {
      link.reset();
    } else {
      link->Close();
      EXPECT_EQ(link->GetConnectionState(), State::kOffline);
      seams.Advance(std::chrono::seconds(60));
      link->KeepConnected();
      EXPECT_EQ(link->GetConnectionState(), State::kOffline);
    }
    // The attempt's own thread closes the socket it made.
    ASSERT_TRUE(mPeer.Accept());
    EXPECT_TRUE(mPeer.SeesClosed());
    mPeer.CloseConnection();
  }
}

}  // namespace

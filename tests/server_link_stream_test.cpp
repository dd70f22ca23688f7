// The link's connection and frame stream against a scripted peer on loopback: the command bytes,
// the frame grid, payload formats, split and damaged frames, and the socket's lifetime.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include <atomic>
#include <memory>
#include <thread>

#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"
#include "wire_format.h"

using namespace linktest;

namespace {

constexpr uint32_t kTag = 3;

class ServerLinkStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    mLink.mAddress = "127.0.0.1";
    mLink.mPort = mPeer.Port();
    ASSERT_TRUE(mLink.Open());
    ASSERT_TRUE(mPeer.Accept());
  }

  // Calls ReadMessage until `frames` of them have returned true, then returns how many did; fails
  // the test when the deadline passes first.
  int ReadFrames(int frames) {
    int read = 0;
    WaitUntil(
        "whole frames", [&] { return read >= frames; },
        [&] {
          if (mLink.ReadMessage()) ++read;
        });
    return read;
  }

  // Reads until the marker frame (an actor list naming `name`) has been taken, so everything the
  // peer sent before it has been consumed. Returns the count of true results, marker included;
  // fails the test when the marker is not taken in time.
  int DrainThrough(const std::string& name) {
    int read = 0;
    WaitUntil(
        "the marker frame",
        [&] {
          auto actors = mLink.CopyActors();
          return actors.size() == 1 && actors.begin()->second == name;
        },
        [&] {
          if (mLink.ReadMessage()) ++read;
        });
    return read;
  }

  std::string Sentinel(const std::string& name) {
    return FrameBytes(ActorListMessage({{99, name}}), Payload::kPlain);
  }

  void AcceptSimpleHeader() {
    mLink.mActorTag = kTag;
    ASSERT_TRUE(mPeer.Send(FrameBytes(
        HeaderMessage(kTag, Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0})),
        Payload::kGzip)));
    ASSERT_EQ(ReadFrames(1), 1);
    ASSERT_TRUE(mLink.mHeaderReceived);
  }

  fbsdk_control::ScopedHostCapture mHost;
  ScriptedPeer mPeer;
  ServerLink mLink;
};

TEST_F(ServerLinkStreamTest, HeaderQueryGoesOutAsOneGzipFrame) {
  mLink.SelectActor(kTag);
  const std::string head = mPeer.Receive(8);
  ASSERT_EQ(head.size(), 8u);
  EXPECT_EQ(head.substr(0, 4), "CCCC");
  const uint32_t n = static_cast<unsigned char>(head[4]) |
                     (static_cast<unsigned char>(head[5]) << 8) |
                     (static_cast<unsigned char>(head[6]) << 16) |
                     (static_cast<uint32_t>(static_cast<unsigned char>(head[7])) << 24);
  ASSERT_GT(n, 2u);
  ASSERT_LE(n, 504u);
  const std::string payload = mPeer.Receive(n);
  ASSERT_EQ(payload.size(), n);
  EXPECT_EQ(static_cast<unsigned char>(payload[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(payload[1]), 0x8B);
  EXPECT_EQ(Decompress(payload), std::string("\x08\x00\x22\x04\x08\x06\x10\x03", 8));
  EXPECT_TRUE(mPeer.Silent());
  EXPECT_TRUE(mLink.mHeaderPending);
}

TEST_F(ServerLinkStreamTest, CommandsCarryTheChosenTagAndRepeatSelectionSendsNothing) {
  mLink.mActorTag = 300;
  mLink.RequestHeader();
  const std::string head = mPeer.Receive(8);
  ASSERT_EQ(head.size(), 8u);
  const std::string payload = mPeer.Receive(static_cast<unsigned char>(head[4]));
  IVRA_PLUGIN_MESSAGE sent;
  ASSERT_TRUE(sent.ParseFromString(Decompress(payload)));
  EXPECT_EQ(sent.command().cmdtype(), COMMAND::Command_Query_BVH_Header);
  EXPECT_EQ(sent.command().actortag(), 300u);

  mLink.SelectActor(300);
  EXPECT_TRUE(mPeer.Silent());
}

TEST_F(ServerLinkStreamTest, PlainGzipAndZlibPayloadsAreReadAlike) {
  for (Payload format : {Payload::kPlain, Payload::kGzip, Payload::kZlib}) {
    const std::string name = "actor" + std::to_string(static_cast<int>(format));
    ASSERT_TRUE(mPeer.Send(FrameBytes(ActorListMessage({{7, name}}), format)));
    EXPECT_EQ(ReadFrames(1), 1);
    auto actors = mLink.CopyActors();
    ASSERT_EQ(actors.size(), 1u);
    EXPECT_EQ(actors[7], name);
  }
  EXPECT_FALSE(mLink.ReadMessage());
}

TEST_F(ServerLinkStreamTest, StrayBytesOnTheGridAreSkippedButOffGridMarkersAreNot) {
  // Four stray bytes keep the grid: the frame behind them is read.
  ASSERT_TRUE(mPeer.Send("junk" + FrameBytes(ActorListMessage({{1, "first"}}), Payload::kGzip)));
  EXPECT_EQ(ReadFrames(1), 1);
  EXPECT_EQ(mLink.CopyActors()[1], "first");

  // Three stray bytes shift the marker off the grid: the frame is not recognised. Padding that
  // restores the grid lets the sentinel behind it through.
  const std::string shifted = FrameBytes(ActorListMessage({{2, "lost"}}), Payload::kPlain);
  std::string bytes = "abc" + shifted;
  bytes.append((4 - bytes.size() % 4) % 4, 'x');
  ASSERT_TRUE(mPeer.Send(bytes + Sentinel("sentinel")));
  EXPECT_EQ(DrainThrough("sentinel"), 1);
  EXPECT_EQ(fbsdk_control::CountTraces("incorrect"), 0u);
}

TEST_F(ServerLinkStreamTest, FrameSplitIntoSingleBytesIsCompletedByLaterCalls) {
  fbsdk_control::SetSocketReadLimit(1);
  const std::string frame = FrameBytes(ActorListMessage({{5, "split"}}), Payload::kGzip);
  ASSERT_TRUE(mPeer.Send(frame));
  int falses = 0;
  int trues = 0;
  WaitUntil(
      "the split frame", [&] { return trues == 1; },
      [&] {
        if (mLink.ReadMessage()) {
          ++trues;
        } else {
          ++falses;
        }
      });
  EXPECT_EQ(trues, 1);
  // Each call took one or two bytes and found the frame incomplete.
  EXPECT_GE(falses, static_cast<int>(frame.size()) / 2);
  EXPECT_EQ(mLink.CopyActors()[5], "split");
  EXPECT_FALSE(mLink.ReadMessage());
}

TEST_F(ServerLinkStreamTest, SameStreamCutAtEveryReadSizeGivesTheSameFrames) {
  AcceptSimpleHeader();
  mLink.mOnline = true;
  std::string stream;
  const int kFrames = 12;
  for (int i = 0; i < kFrames; ++i) {
    const float v = static_cast<float>(i);
    stream += FrameBytes(FrameMessage(kTag, {v, 2 * v, 3 * v, 0, 0, 0}),
                         i % 2 ? Payload::kGzip : Payload::kZlib);
  }
  for (int limit : {1, 2, 5, 7, 10, 23, 64, 0}) {
    SCOPED_TRACE(limit);
    fbsdk_control::SetSocketReadLimit(limit);
    ASSERT_TRUE(mPeer.Send(stream));
    std::vector<double> seen;
    WaitUntil(
        "every frame", [&] { return static_cast<int>(seen.size()) == kFrames; },
        [&] {
          if (mLink.ReadMessage()) seen.push_back(mLink.GetTranslation(0)[0]);
        });
    ASSERT_EQ(static_cast<int>(seen.size()), kFrames);
    for (int i = 0; i < kFrames; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_DOUBLE_EQ(mLink.GetTranslation(0)[2], 3.0 * (kFrames - 1));
  }
}

TEST_F(ServerLinkStreamTest, ZeroLengthAndUnparsablePayloadsAreTracedAndCountAsFrames) {
  const std::string good = FrameBytes(ActorListMessage({{1, "x"}}), Payload::kGzip);
  // A frame of length zero, a gzip payload with a flipped byte, a cut gzip payload and a plain
  // envelope without its required type: each is read as one frame and dropped.
  IVRA_PLUGIN_MESSAGE incomplete;
  incomplete.mutable_frame()->add_motiondata(1.0f);
  ASSERT_TRUE(mPeer.Send(RawFrame(0x41414141u, 0, "")));
  const std::string payload =
      Compress(ActorListMessage({{1, "x"}}).SerializeAsString(), Payload::kGzip);
  ASSERT_TRUE(mPeer.Send(RawFrame(0x43434343u, static_cast<int32_t>(payload.size()),
                                  FlipByte(payload, payload.size() / 2))));
  const std::string cut = Truncate(payload, payload.size() - 12);
  ASSERT_TRUE(mPeer.Send(RawFrame(0x43434343u, static_cast<int32_t>(cut.size()), cut)));
  ASSERT_TRUE(mPeer.Send(FrameBytes(incomplete.SerializePartialAsString(), Payload::kPlain)));
  ServerLinkTestPeer seams(&mLink);
  seams.UseManualClock();
  EXPECT_EQ(ReadFrames(4), 4);
  // Within one second: the first traced, the other three counted and told as the link goes
  // offline.
  const char* const incorrect = "The data received maybe incorrect.";
  EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{incorrect});
  mLink.Close();
  EXPECT_EQ(
      fbsdk_control::TracesSeen(),
      (std::vector<std::string>{incorrect, kovrim::TraceThrottle::HeldBackLine(incorrect, 3)}));
  EXPECT_TRUE(mLink.CopyActors().empty());
  EXPECT_FALSE(mLink.mActorsChanged);
}

TEST_F(ServerLinkStreamTest, OversizedPayloadIsSkippedWithoutBeingStored) {
  // The oversized payload holds a whole valid frame; were it scanned or stored, that frame would
  // be taken.
  const std::string hidden = FrameBytes(ActorListMessage({{1, "hidden"}}), Payload::kPlain);
  std::string payload = hidden;
  payload.resize(kovrim::wire::kReceiveLimit + 1, 'z');
  ASSERT_TRUE(mPeer.Send(RawFrame(0x41414141u, static_cast<int32_t>(payload.size()), payload)));
  ASSERT_TRUE(mPeer.Send(Sentinel("after")));
  EXPECT_EQ(DrainThrough("after"), 1);
  EXPECT_EQ(fbsdk_control::CountTraces(ServerLink::kTraceFrameTooLong), 1u);
}

TEST_F(ServerLinkStreamTest, HugeLengthSwallowsWhatFollowsUntilTheConnectionIsRenewed) {
  ASSERT_TRUE(mPeer.Send(RawFrame(0x43434343u, 0x7FFFFFFF, "") + Sentinel("inside")));
  int trues = 0;
  for (int i = 0; i < 200; ++i) trues += mLink.ReadMessage() ? 1 : 0;
  EXPECT_EQ(trues, 0);
  EXPECT_TRUE(
      fbsdk_control::WaitForTrace(ServerLink::kTraceFrameTooLong, std::chrono::milliseconds(2000)));
  EXPECT_TRUE(mLink.CopyActors().empty());

  // A new connection starts on a fresh frame.
  mLink.Close();
  mPeer.CloseConnection();
  ASSERT_TRUE(mLink.Open());
  ASSERT_TRUE(mPeer.Accept());
  ASSERT_TRUE(mPeer.Send(Sentinel("fresh")));
  EXPECT_EQ(DrainThrough("fresh"), 1);
}

TEST_F(ServerLinkStreamTest, NegativeLengthResumesTheScan) {
  ASSERT_TRUE(mPeer.Send(RawFrame(0x41414141u, -8, "") + Sentinel("next")));
  EXPECT_EQ(DrainThrough("next"), 1);
  EXPECT_EQ(fbsdk_control::CountTraces(ServerLink::kTraceFrameLengthNegative), 1u);
}

TEST_F(ServerLinkStreamTest, PartialFrameOfAnEarlierConnectionIsDropped) {
  // Were the partial frame kept, the new connection's bytes would complete it and the marker
  // frame behind them would be lost.
  const std::string frame = FrameBytes(ActorListMessage({{1, "old"}}), Payload::kPlain);
  ASSERT_TRUE(mPeer.Send(Truncate(frame, frame.size() - 3)));
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(mLink.ReadMessage());
  mLink.Close();
  mPeer.CloseConnection();
  ASSERT_TRUE(mLink.Open());
  ASSERT_TRUE(mPeer.Accept());
  ASSERT_TRUE(mPeer.Send(Sentinel("new")));
  EXPECT_EQ(DrainThrough("new"), 1);
  EXPECT_EQ(fbsdk_control::CountTraces("incorrect"), 0u);
}

TEST_F(ServerLinkStreamTest, FramesFlowIntoTheSameTablesAfterReconnecting) {
  AcceptSimpleHeader();
  mLink.Close();
  EXPECT_FALSE(mLink.mOnline);
  mPeer.CloseConnection();
  ASSERT_TRUE(mLink.Open());
  ASSERT_TRUE(mPeer.Accept());
  ASSERT_TRUE(mPeer.Send(FrameBytes(FrameMessage(kTag, {4, 5, 6, 0, 0, 0}), Payload::kGzip)));
  EXPECT_EQ(ReadFrames(1), 1);
  EXPECT_EQ(mLink.GetTranslation(0)[1], 5.0);
  EXPECT_TRUE(mPeer.Silent());  // no new header query
}

TEST_F(ServerLinkStreamTest, CloseDuringAReadLeavesTheHandleToThatRead) {
  // Regression: Close on the UI thread closed the handle while the I/O thread was still reading
  // it, so a new socket could take the number and be read by the old frame. Close must neither
  // close the handle under the read nor wait for it.
  std::atomic<int> heldSocket{0};
  std::atomic<bool> reopened{false};
  bool released = false;
  fbsdk_control::SetSocketTap([&](int socket, bool outgoing, const char*, int size) {
    if (outgoing || size <= 0 || heldSocket != 0) return;
    heldSocket = socket;
    // Holds the read until the UI thread has gone offline and online again.
    released = WaitUntil(
        "Close and Open during the read", [&] { return reopened.load(); },
        [] { std::this_thread::yield(); });
  });
  ASSERT_TRUE(mPeer.Send(Sentinel("held")));
  std::thread io([&] {
    WaitUntil(
        "the read to be held", [&] { return heldSocket != 0; }, [&] { mLink.ReadMessage(); });
  });
  ScriptedPeer second;
  const bool held = WaitUntil(
      "the read to be held", [&] { return heldSocket != 0; }, [] { std::this_thread::yield(); });
  if (held) {
    mLink.Close();
    // The read still holds the handle: the server has not seen the connection end.
    EXPECT_TRUE(mPeer.Silent(100));
    mLink.mPort = second.Port();
    EXPECT_TRUE(mLink.Open());
    EXPECT_TRUE(second.Accept());
    EXPECT_NE(mLink.Connection()->mSocket, heldSocket);
  }
  reopened = true;
  io.join();
  fbsdk_control::SetSocketTap(nullptr);
  ASSERT_TRUE(held);
  EXPECT_TRUE(released);
  // The read closed the old handle as it gave it up; the link reads the new connection.
  EXPECT_TRUE(mPeer.SeesClosed());
  ASSERT_TRUE(second.Send(Sentinel("next")));
  EXPECT_EQ(DrainThrough("next"), 1);
}

TEST_F(ServerLinkStreamTest, OpenReleasesTheSocketOfAnEarlierOpen) {
  // Open again without Close: the first connection is closed, not leaked, and the link reads the
  // second one.
  ScriptedPeer second;
  mLink.mPort = second.Port();
  ASSERT_TRUE(mLink.Open());
  ASSERT_TRUE(second.Accept());
  EXPECT_TRUE(mPeer.SeesEof());
  ASSERT_TRUE(second.Send(Sentinel("second")));
  EXPECT_EQ(DrainThrough("second"), 1);
}

TEST_F(ServerLinkStreamTest, DestroyingTheLinkClosesItsSocket) {
  auto link = std::make_unique<ServerLink>();
  link->mPort = mPeer.Port();
  // Offline first: a link online to the same server would share its connection.
  mLink.Close();
  mPeer.CloseConnection();
  ASSERT_TRUE(link->Open());
  ASSERT_TRUE(mPeer.Accept());
  link.reset();
  EXPECT_TRUE(mPeer.SeesEof());
}

TEST_F(ServerLinkStreamTest, CloseKeepsDataAndReleaseSocketKeepsTheOnlineFlag) {
  AcceptSimpleHeader();
  EXPECT_TRUE(mLink.ReleaseSocket());
  EXPECT_EQ(mLink.Connection()->mSocket, 0);
  EXPECT_TRUE(mLink.mOnline);
  EXPECT_TRUE(mPeer.SeesEof());
  mLink.Close();
  EXPECT_FALSE(mLink.mOnline);
  EXPECT_EQ(mLink.GetJointCount(), 1);
  EXPECT_FALSE(mLink.ReadMessage());
}

// Connection failures and commands while offline need no peer.
class ServerLinkOfflineTest : public ::testing::Test {
 protected:
  void SetUp() override { fbsdk_control::SetTraceEcho(false); }
  fbsdk_control::ScopedHostCapture mHost;
  ServerLink mLink;
};

TEST_F(ServerLinkOfflineTest, FailedConnectShowsTheWarningAndStaysOffline) {
  int freePort = 0;
  {
    ScriptedPeer closed;
    freePort = closed.Port();
  }
  mLink.mPort = freePort;
  EXPECT_FALSE(mLink.Open());
  EXPECT_EQ(mLink.Connection()->mSocket, 0);
  EXPECT_FALSE(mLink.mOnline);
  mLink.mAddress = "not an address";
  EXPECT_FALSE(mLink.Open());
  const auto boxes = fbsdk_control::MessageBoxesShown();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].title, "Warning");
  EXPECT_EQ(boxes[0].message, "Can not connect to this address.");
  EXPECT_EQ(boxes[0].buttons, std::vector<std::string>{"OK"});
}

TEST_F(ServerLinkOfflineTest, CommandsWhileOfflineWarnButStillSwitchTheActor) {
  mLink.SelectActor(4);
  EXPECT_EQ(mLink.mActorTag, 4u);
  EXPECT_TRUE(mLink.mHeaderPending);
  mLink.SelectActor(4);  // the current tag: no second box
  const auto boxes = fbsdk_control::MessageBoxesShown();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, "Warning");
  EXPECT_EQ(boxes[0].message, "Please ensure you are online.");
  EXPECT_EQ(boxes[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_FALSE(mLink.ReadMessage());
}

// Online with no socket (the handle released while the flag still says online): a command is
// never written to handle 0, and neither is a read made.
TEST_F(ServerLinkOfflineTest, CommandWithoutASocketIsNeverWrittenToHandleZero) {
  mLink.mOnline = true;
  mLink.RequestHeader();
  mLink.SelectActor(9);
  EXPECT_FALSE(mLink.ReadMessage());
  EXPECT_EQ(fbsdk_control::SocketCallsWithoutAHandle(), 0);
  EXPECT_TRUE(fbsdk_control::MessageBoxesShown().empty());
}

}  // namespace

// The link's payload decoding bounds: what a compressed payload may inflate to, damaged and cut
// compressed streams, several streams in one payload, and how deep a message may nest.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include <string>

#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"
#include "wire_format.h"

using namespace linktest;

namespace {

constexpr uint32_t kTag = 3;
const char* const kIncorrect = "The data received maybe incorrect.";

class ServerLinkPayloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    mLink.mActorTag = kTag;
    mLink.mOnline = true;
    mSeams.UseManualClock();
  }

  void Dispatch(const std::string& payload, uint32_t marker) {
    mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(payload.data()),
                          static_cast<int>(payload.size()), marker);
  }
  void DispatchCompressed(const std::string& payload) {
    Dispatch(payload, kovrim::wire::kCompressedMarker);
  }

  // The name of the one actor in the link's list, or "" when there is none.
  std::string ActorName() {
    const auto actors = mLink.CopyActors();
    return actors.size() == 1 ? actors.begin()->second : "";
  }

  fbsdk_control::ScopedHostCapture mHost;
  ServerLink mLink;
  ServerLinkTestPeer mSeams{&mLink};
};

// A serialized actor list of exactly `size` bytes, its one name made of 'n'.
std::string ActorListOfSize(size_t size) {
  for (size_t name = size; name-- > 0;) {
    const std::string bytes = ActorListMessage({{1, std::string(name, 'n')}}).SerializeAsString();
    if (bytes.size() == size) return bytes;
    if (bytes.size() < size) break;
  }
  ADD_FAILURE() << "no actor list serializes to " << size << " bytes";
  return "";
}

// The name of the one actor in a serialized actor list.
std::string NameIn(const std::string& list) {
  IVRA_PLUGIN_MESSAGE envelope;
  EXPECT_TRUE(envelope.ParseFromString(list));
  return envelope.command().actorslist().map().begin()->second;
}

// A header whose root joint has `count` empty child joints: two bytes each on the wire.
std::string EmptyChildJoints(int count) {
  IVRA_PLUGIN_MESSAGE envelope = HeaderMessage(kTag, Joint("Hips", {}, {0, 0, 0}));
  BVH_JOIN* root = envelope.mutable_header()->mutable_rootjoin();
  for (int i = 0; i < count; ++i) root->add_childjoin();
  return envelope.SerializePartialAsString();
}

// A skeleton that is a chain of `depth` joints.
BVH_JOIN Chain(int depth) {
  BVH_JOIN joint = Joint("J" + std::to_string(depth), {Z_ROT, X_ROT, Y_ROT}, {0, 1, 0});
  for (int level = depth - 1; level > 0; --level) {
    BVH_JOIN parent = Joint("J" + std::to_string(level), {Z_ROT, X_ROT, Y_ROT}, {0, 1, 0});
    *parent.add_childjoin() = std::move(joint);
    joint = std::move(parent);
  }
  return joint;
}

TEST_F(ServerLinkPayloadTest, CompressedPayloadMayInflateToTheReceiveBufferButNoFurther) {
  const std::string full = ActorListOfSize(kovrim::wire::kReceiveLimit);
  DispatchCompressed(Compress(full, Payload::kGzip));
  EXPECT_EQ(ActorName(), NameIn(full));
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());

  for (Payload format : {Payload::kGzip, Payload::kZlib}) {
    fbsdk_control::ResetHost();
    mSeams.Advance(std::chrono::seconds(1));  // past the trace's once a second
    DispatchCompressed(Compress(ActorListOfSize(kovrim::wire::kReceiveLimit + 1), format));
    EXPECT_EQ(fbsdk_control::CountTraces(ServerLink::kTraceFrameInflatesTooFar), 1u);
    EXPECT_EQ(fbsdk_control::TracesSeen().size(), 1u);
    // The list of the payload before stays.
    EXPECT_EQ(ActorName(), NameIn(full));
  }
}

TEST_F(ServerLinkPayloadTest, InflationBombIsDroppedWithItsOwnTrace) {
  // 2 MB of empty child joints compress to a few kilobytes.
  const std::string bomb = Compress(EmptyChildJoints(1 << 20), Payload::kGzip);
  ASSERT_LT(bomb.size(), 16u << 10);
  DispatchCompressed(bomb);
  EXPECT_EQ(fbsdk_control::TracesSeen(),
            std::vector<std::string>{ServerLink::kTraceFrameInflatesTooFar});
  EXPECT_FALSE(mLink.mHeaderReceived);
  EXPECT_EQ(mLink.GetJointCount(), 0);
}

// Regression: a server sending empty plain frames for 3 s made the host print "The data received
// maybe incorrect." 649 728 times. Each text now appears at most once a second, followed by a
// count of those held back; the count still held when the stream goes quiet, or the link goes
// offline, is told then.
TEST_F(ServerLinkPayloadTest, FloodOfIncorrectFramesTracesOncePerSecondWithTheCountHeldBack) {
  constexpr int kPerMillisecond = 217;  // 651 000 frames in the 3 s
  for (int ms = 0; ms < 3000; ++ms) {
    for (int i = 0; i < kPerMillisecond; ++i) Dispatch("", kovrim::wire::kPlainMarker);
    mSeams.Advance(std::chrono::milliseconds(1));
  }
  const std::string held =
      kovrim::TraceThrottle::HeldBackLine(kIncorrect, 1000 * kPerMillisecond - 1);
  EXPECT_EQ(held,
            "\"The data received maybe incorrect.\" held back 216999 times in the second "
            "after it was traced");
  EXPECT_EQ(fbsdk_control::TracesSeen(),
            (std::vector<std::string>{kIncorrect, held, kIncorrect, held, kIncorrect}));
  // Quiet, once the second is over: the count is told.
  mLink.FlushTraces();
  EXPECT_EQ(fbsdk_control::TracesSeen().size(), 6u);
  EXPECT_EQ(fbsdk_control::TracesSeen().back(), held);
  EXPECT_LE(fbsdk_control::TracesSeen().size(), 20u);

  // Within the second a quiet stream tells nothing yet; going offline tells it at once.
  for (int i = 0; i < 4; ++i) Dispatch("", kovrim::wire::kPlainMarker);
  mLink.FlushTraces();
  EXPECT_EQ(fbsdk_control::TracesSeen().size(), 7u);
  mLink.Close();
  EXPECT_EQ(fbsdk_control::TracesSeen().back(), kovrim::TraceThrottle::HeldBackLine(kIncorrect, 3));
  EXPECT_EQ(fbsdk_control::TracesSeen().size(), 8u);
}

// A header of more skeleton entries, or an actor list of more actors, than any real stage has is
// dropped before it is parsed, with a trace of its own; what the link had stays.
TEST_F(ServerLinkPayloadTest, HeaderOrActorListBeyondItsBoundIsDroppedUnparsed) {
  auto header = [](int entries) {
    BVH_JOIN root = Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0});
    for (int i = 1; i < entries; ++i) *root.add_childjoin() = Joint("J", {Z_ROT}, {0, 1, 0});
    return HeaderMessage(kTag, root).SerializeAsString();
  };
  Dispatch(ActorListMessage({{1, "kept"}}).SerializeAsString(), kovrim::wire::kPlainMarker);
  mLink.mHeaderPending = true;
  Dispatch(header(kovrim::wire::kMaxSkeletonEntries), kovrim::wire::kPlainMarker);
  ASSERT_EQ(mLink.GetJointCount(), kovrim::wire::kMaxSkeletonEntries);
  mLink.mHeaderPending = true;
  DispatchCompressed(Compress(header(kovrim::wire::kMaxSkeletonEntries + 1), Payload::kGzip));
  EXPECT_EQ(mLink.GetJointCount(), kovrim::wire::kMaxSkeletonEntries);
  EXPECT_TRUE(mLink.mHeaderPending);

  std::vector<std::pair<uint32_t, std::string>> actors;
  for (uint32_t tag = 1; tag <= kovrim::wire::kMaxActors + 1; ++tag) actors.push_back({tag, "a"});
  DispatchCompressed(Compress(ActorListMessage(actors).SerializeAsString(), Payload::kGzip));
  EXPECT_EQ(ActorName(), "kept");
  EXPECT_EQ(
      fbsdk_control::TracesSeen(),
      (std::vector<std::string>{ServerLink::kTraceTooManyJoints, ServerLink::kTraceTooManyActors}));
}

TEST_F(ServerLinkPayloadTest, FrameThatInflatesTooFarStillCountsAsOneFrameRead) {
  ScriptedPeer peer;
  mLink.mPort = peer.Port();
  ASSERT_TRUE(mLink.Open());
  ASSERT_TRUE(peer.Accept());
  const std::string bomb = Compress(EmptyChildJoints(1 << 18), Payload::kZlib);
  ASSERT_TRUE(
      peer.Send(RawFrame(kovrim::wire::kCompressedMarker, static_cast<int32_t>(bomb.size()), bomb) +
                FrameBytes(ActorListMessage({{1, "after"}}), Payload::kGzip)));
  int trues = 0;
  ASSERT_TRUE(PollUntil([&] { return ActorName() == "after"; },
                        [&] { trues += mLink.ReadMessage() ? 1 : 0; }));
  EXPECT_EQ(trues, 2);
  EXPECT_EQ(fbsdk_control::CountTraces(ServerLink::kTraceFrameInflatesTooFar), 1u);
}

TEST_F(ServerLinkPayloadTest, DamagedOrCutCompressedStreamsAreIncorrectEvenWhenTheDataIsWhole) {
  const std::string list = ActorListMessage({{1, "whole"}}).SerializeAsString();
  const std::string gzip = Compress(list, Payload::kGzip);
  const std::string zlib = Compress(list, Payload::kZlib);
  // Every inflated byte arrives in each of these, but the stream itself is not sound: a wrong
  // checksum in the trailer (gzip CRC-32, zlib Adler-32), a trailer cut off, bytes after the end.
  const std::vector<std::string> damaged = {
      FlipByte(gzip, gzip.size() - 8), FlipByte(zlib, zlib.size() - 1),
      Truncate(gzip, gzip.size() - 8), Truncate(zlib, zlib.size() - 4), gzip + "tail"};
  for (size_t i = 0; i < damaged.size(); ++i) {
    SCOPED_TRACE(i);
    fbsdk_control::ResetHost();
    mSeams.Advance(std::chrono::seconds(1));  // past the trace's once a second
    DispatchCompressed(damaged[i]);
    EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{kIncorrect});
    EXPECT_EQ(ActorName(), "");
  }
  // An empty compressed payload holds no stream at all.
  mSeams.Advance(std::chrono::seconds(1));
  DispatchCompressed("");
  EXPECT_EQ(fbsdk_control::CountTraces(kIncorrect), 2u);
}

TEST_F(ServerLinkPayloadTest, StreamsFollowingEachOtherInOnePayloadAreReadAsOne) {
  const std::string list = ActorListMessage({{1, "two streams"}}).SerializeAsString();
  const size_t half = list.size() / 2;
  DispatchCompressed(Compress(list.substr(0, half), Payload::kGzip) +
                     Compress(list.substr(half), Payload::kZlib));
  EXPECT_EQ(ActorName(), "two streams");
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
}

TEST_F(ServerLinkPayloadTest, NestingIsBoundedButRealSkeletonsFit) {
  // A chain as deep as the reference server sends is taken.
  mLink.mHeaderPending = true;
  Dispatch(HeaderMessage(kTag, Chain(64)).SerializeAsString(), kovrim::wire::kPlainMarker);
  EXPECT_EQ(mLink.GetJointCount(), 64);
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());

  // One nested beyond the parser's limit is refused before anything is built from it.
  for (uint32_t marker : {kovrim::wire::kPlainMarker, kovrim::wire::kCompressedMarker}) {
    fbsdk_control::ResetHost();
    mSeams.Advance(std::chrono::seconds(1));  // past the trace's once a second
    const std::string deep =
        HeaderMessage(kTag, Chain(kovrim::wire::kMaxMessageDepth + 1)).SerializeAsString();
    Dispatch(marker == kovrim::wire::kPlainMarker ? deep : Compress(deep, Payload::kGzip), marker);
    EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{kIncorrect});
    EXPECT_EQ(mLink.GetJointCount(), 64);
  }
}

TEST_F(ServerLinkPayloadTest, PayloadLongerThanTheReceiveBufferIsRefused) {
  // ReadMessage never hands over such a payload; a direct caller is refused the same way.
  Dispatch(ActorListOfSize(kovrim::wire::kReceiveLimit + 1), kovrim::wire::kPlainMarker);
  EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{kIncorrect});
  EXPECT_EQ(ActorName(), "");
  const std::string full = ActorListOfSize(kovrim::wire::kReceiveLimit);
  Dispatch(full, kovrim::wire::kPlainMarker);
  EXPECT_EQ(ActorName(), NameIn(full));
}

}  // namespace

// The link's payload decoding bounds: what a compressed payload may inflate to, damaged and cut
// compressed streams, several streams in one payload, and how deep a message may nest.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include <string>

#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"

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
    Dispatch(payload, ServerLink::kCompressedMarker);
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
  const std::string full = ActorListOfSize(ServerLink::kDefaultBufferSize);
  DispatchCompressed(Compress(full, Payload::kGzip));
  EXPECT_EQ(ActorName(), NameIn(full));
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());

  for (Payload format : {Payload::kGzip, Payload::kZlib}) {
    fbsdk_control::ResetHost();
    mSeams.Advance(std::chrono::seconds(1));  // past the trace's once a second
    DispatchCompressed(Compress(ActorListOfSize(ServerLink::kDefaultBufferSize + 1), format));
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

TEST_F(ServerLinkPayloadTest, FrameThatInflatesTooFarStillCountsAsOneFrameRead) {
  ScriptedPeer peer;
  mLink.mPort = peer.Port();
  ASSERT_TRUE(mLink.Open());
  ASSERT_TRUE(peer.Accept());
  const std::string bomb = Compress(EmptyChildJoints(1 << 18), Payload::kZlib);
  ASSERT_TRUE(
      peer.Send(RawFrame(ServerLink::kCompressedMarker, static_cast<int32_t>(bomb.size()), bomb) +
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
    DispatchCompressed(damaged[i]);
    EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{kIncorrect});
    EXPECT_EQ(ActorName(), "");
  }
  // An empty compressed payload holds no stream at all.
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
  Dispatch(HeaderMessage(kTag, Chain(64)).SerializeAsString(), ServerLink::kPlainMarker);
  EXPECT_EQ(mLink.GetJointCount(), 64);
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());

  // One nested beyond the parser's limit is refused before anything is built from it.
  for (uint32_t marker : {ServerLink::kPlainMarker, ServerLink::kCompressedMarker}) {
    fbsdk_control::ResetHost();
    const std::string deep =
        HeaderMessage(kTag, Chain(ServerLink::kMaxMessageDepth + 1)).SerializeAsString();
    Dispatch(marker == ServerLink::kPlainMarker ? deep : Compress(deep, Payload::kGzip), marker);
    EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{kIncorrect});
    EXPECT_EQ(mLink.GetJointCount(), 64);
  }
}

TEST_F(ServerLinkPayloadTest, PayloadLongerThanTheReceiveBufferIsRefused) {
  // ReadMessage never hands over such a payload; a direct caller is refused the same way.
  Dispatch(ActorListOfSize(ServerLink::kDefaultBufferSize + 1), ServerLink::kPlainMarker);
  EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{kIncorrect});
  EXPECT_EQ(ActorName(), "");
  const std::string full = ActorListOfSize(ServerLink::kDefaultBufferSize);
  Dispatch(full, ServerLink::kPlainMarker);
  EXPECT_EQ(ActorName(), NameIn(full));
}

}  // namespace

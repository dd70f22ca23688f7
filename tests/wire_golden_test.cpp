// Wire bytes of one small header and one frame, written by hand from the schema's field numbers
// and wire types, against what the generated classes write and read and what the link takes from
// the wire. The server and the link share the generated classes, so a wrong field number would
// round-trip unseen without these.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include <string>

#include "link_test_util.h"
#include "server_link.h"

using namespace linktest;

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int byte : bytes) out += static_cast<char>(byte);
  return out;
}

// IVRA_PLUGIN_MESSAGE { Message = HEADER_DATA, Header = BVH_HEADER { RootJoin = BVH_JOIN {
//   joinName "Hips", Channels Xposition Zrotation Xrotation Yrotation, Offset (1, 2, 3),
//   EndSite (0, 4, 0) }, ActorTag 3, ActorName "A" } }
const std::string kHeader = Bytes({
    0x08, 0x01,                         // 1 Message, varint: HEADER_DATA
    0x12, 0x37,                         // 2 Header, length-delimited, 55 bytes
    0x0A, 0x30,                         //   1 RootJoin, length-delimited, 48 bytes
    0x0A, 0x04, 'H',  'i',  'p',  's',  //     1 joinName
    0x10, 0x00, 0x10, 0x05,             //     2 Channels, varint each: Xposition, Zrotation
    0x10, 0x03, 0x10, 0x04,             //       Xrotation, Yrotation
    0x1A, 0x0F,                         //     3 Offset, 15 bytes
    0x0D, 0x00, 0x00, 0x80, 0x3F,       //       1 X, fixed32: 1.0f
    0x15, 0x00, 0x00, 0x00, 0x40,       //       2 Y: 2.0f
    0x1D, 0x00, 0x00, 0x40, 0x40,       //       3 Z: 3.0f
    0x22, 0x0F,                         //     4 EndSite, 15 bytes
    0x0D, 0x00, 0x00, 0x00, 0x00,       //       X: 0.0f
    0x15, 0x00, 0x00, 0x80, 0x40,       //       Y: 4.0f
    0x1D, 0x00, 0x00, 0x00, 0x00,       //       Z: 0.0f
    0x10, 0x03,                         //   2 ActorTag, varint: 3
    0x1A, 0x01, 'A',                    //   3 ActorName
});

// IVRA_PLUGIN_MESSAGE { Message = FRAME_DATA, Frame = BVH_FRAME { MotionData 1.5 90 0 0,
//   ActorTag 3 } }
const std::string kFrame = Bytes({
    0x08, 0x02,                    // 1 Message, varint: FRAME_DATA
    0x1A, 0x16,                    // 3 Frame, length-delimited, 22 bytes
    0x0D, 0x00, 0x00, 0xC0, 0x3F,  //   1 MotionData, fixed32 each: 1.5f
    0x0D, 0x00, 0x00, 0xB4, 0x42,  //     90.0f
    0x0D, 0x00, 0x00, 0x00, 0x00,  //     0.0f
    0x0D, 0x00, 0x00, 0x00, 0x00,  //     0.0f
    0x10, 0x03,                    //   2 ActorTag, varint: 3
});

// The same frame with MotionData packed (one length-delimited run), as other writers may send it.
const std::string kPackedFrame = Bytes({
    0x08, 0x02, 0x1A, 0x14,                          // Message, Frame of 20 bytes
    0x0A, 0x10,                                      //   1 MotionData, packed, 16 bytes
    0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0xB4, 0x42,  //     1.5f, 90.0f
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //     0.0f, 0.0f
    0x10, 0x03,                                      //   ActorTag 3
});

IVRA_PLUGIN_MESSAGE HeaderEnvelope() {
  IVRA_PLUGIN_MESSAGE envelope;
  envelope.set_message(IVRA_PLUGIN_MESSAGE::HEADER_DATA);
  BVH_HEADER* header = envelope.mutable_header();
  *header->mutable_rootjoin() =
      Joint("Hips", {X_POS, Z_ROT, X_ROT, Y_ROT}, {1, 2, 3}, {}, {0, 4, 0});
  header->set_actortag(3);
  header->set_actorname("A");
  return envelope;
}

TEST(WireGoldenTest, GeneratedClassesWriteTheHandWrittenBytes) {
  EXPECT_EQ(HeaderEnvelope().SerializeAsString(), kHeader);
  EXPECT_EQ(FrameMessage(3, {1.5f, 90.0f, 0.0f, 0.0f}).SerializeAsString(), kFrame);
}

TEST(WireGoldenTest, GeneratedClassesReadTheHandWrittenBytes) {
  IVRA_PLUGIN_MESSAGE header;
  ASSERT_TRUE(header.ParseFromString(kHeader));
  EXPECT_EQ(header.message(), IVRA_PLUGIN_MESSAGE::HEADER_DATA);
  const BVH_JOIN& root = header.header().rootjoin();
  EXPECT_EQ(root.joinname(), "Hips");
  ASSERT_EQ(root.channels_size(), 4);
  EXPECT_EQ(root.channels(1), BVH_JOIN::Zrotation);
  EXPECT_EQ(root.offset().y(), 2.0f);
  EXPECT_EQ(root.endsite().y(), 4.0f);
  EXPECT_EQ(header.header().actortag(), 3u);
  EXPECT_EQ(header.header().actorname(), "A");

  for (const std::string& bytes : {kFrame, kPackedFrame}) {
    IVRA_PLUGIN_MESSAGE frame;
    ASSERT_TRUE(frame.ParseFromString(bytes));
    EXPECT_EQ(frame.message(), IVRA_PLUGIN_MESSAGE::FRAME_DATA);
    ASSERT_EQ(frame.frame().motiondata_size(), 4);
    EXPECT_EQ(frame.frame().motiondata(1), 90.0f);
    EXPECT_EQ(frame.frame().actortag(), 3u);
  }
}

TEST(WireGoldenTest, LinkTakesTheHandWrittenPlainFramesFromTheWire) {
  fbsdk_control::ScopedHostCapture host;
  fbsdk_control::SetTraceEcho(false);
  ScriptedPeer peer;
  ServerLink link;
  link.mPort = peer.Port();
  link.mActorTag = 3;
  link.mHeaderPending = true;  // answering a query: no trace
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(peer.Accept());
  // Marker "AAAA", then the length little-endian, then the payload.
  ASSERT_TRUE(peer.Send(Bytes({0x41, 0x41, 0x41, 0x41, 0x3B, 0x00, 0x00, 0x00}) + kHeader +
                        Bytes({0x41, 0x41, 0x41, 0x41, 0x1A, 0x00, 0x00, 0x00}) + kFrame));
  int frames = 0;
  ASSERT_TRUE(WaitUntil(
      "both frames", [&] { return frames == 2; }, [&] { frames += link.ReadMessage() ? 1 : 0; }));

  ASSERT_EQ(link.GetJointCount(), 2);
  EXPECT_EQ(link.GetRotationOrder(), 4);  // Zrotation, then Xrotation
  const FBVector4<double> endSite = link.GetTPoseTranslation(1);
  EXPECT_EQ(endSite[1], 4.0);
  const FBVector4<double> root = link.GetTranslation(0);
  EXPECT_EQ(root[0], 1.5);
  EXPECT_EQ(root[1], 2.0);
  EXPECT_EQ(root[2], 3.0);
  const FBVector3<double> rotation = link.GetRotation(0);
  EXPECT_NEAR(rotation[0], 0.0, 1e-9);
  EXPECT_NEAR(rotation[1], 0.0, 1e-9);
  EXPECT_NEAR(rotation[2], 90.0, 1e-9);
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
}

}  // namespace

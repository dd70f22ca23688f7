// Wire format: headers built from clips, frame encoding and the incremental FrameReader.
#include "motion_protocol.h"

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bvh.h"
#include "fault_injection.h"
#include "payload_codec.h"
#include "synthetic_actor.h"

namespace {

using IvraPlugs::BVH_JOIN;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using kmq::Compression;

// A chain of depth + 1 joints, one frame.
bvh::Clip Chain(int depth) {
  bvh::Clip clip;
  bvh::Joint* joint = &clip.mRoot;
  for (int i = 0;; ++i) {
    joint->mName = "J" + std::to_string(i);
    joint->mChannels = {bvh::kZrotation};
    if (i == depth) break;
    joint->mChildren.emplace_back();
    joint = &joint->mChildren.back();
  }
  joint->mHasEndSite = true;
  clip.mFrameTime = 0.01;
  clip.mFrameCount = 1;
  clip.mChannelCount = depth + 1;
  clip.mValues.assign(static_cast<size_t>(depth) + 1, 1.5f);
  return clip;
}

std::string Compress(const std::string& bytes) {
  std::string out;
  google::protobuf::io::StringOutputStream sink(&out);
  EXPECT_TRUE(kovrim::wire::EncodeBytes(bytes.data(), bytes.size(), Compression::kGzip, &sink));
  return out;
}

std::string Prefix(char marker, uint32_t length) {
  std::string out(4, marker);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((length >> (8 * i)) & 0xff));
  return out;
}

void ExpectJointMatches(const bvh::Joint& joint, const BVH_JOIN& wire) {
  SCOPED_TRACE(joint.mName);
  EXPECT_EQ(wire.joinname(), joint.mName);
  ASSERT_EQ(wire.channels_size(), static_cast<int>(joint.mChannels.size()));
  for (int i = 0; i < wire.channels_size(); ++i) {
    EXPECT_EQ(static_cast<int>(wire.channels(i)), joint.mChannels[static_cast<size_t>(i)]);
  }
  EXPECT_EQ(wire.offset().x(), static_cast<float>(joint.mOffset[0]));
  EXPECT_EQ(wire.offset().y(), static_cast<float>(joint.mOffset[1]));
  EXPECT_EQ(wire.offset().z(), static_cast<float>(joint.mOffset[2]));
  EXPECT_EQ(wire.has_endsite(), joint.mHasEndSite);
  if (joint.mHasEndSite) {
    EXPECT_EQ(wire.endsite().y(), static_cast<float>(joint.mEndSite[1]));
  }
  ASSERT_EQ(wire.childjoin_size(), static_cast<int>(joint.mChildren.size()));
  for (int i = 0; i < wire.childjoin_size(); ++i) {
    ExpectJointMatches(joint.mChildren[static_cast<size_t>(i)], wire.childjoin(i));
  }
}

TEST(MotionProtocolTest, HeaderMirrorsTheSkeleton) {
  bvh::Clip clip = kmq::MakeSyntheticClip();
  IvraPlugs::BVH_HEADER header = kmq::BuildHeader(clip, 42, "Synth");
  EXPECT_EQ(header.actortag(), 42u);
  EXPECT_EQ(header.actorname(), "Synth");
  ExpectJointMatches(clip.mRoot, header.rootjoin());
}

TEST(MotionProtocolTest, EncodesMarkerLengthAndPayload) {
  bvh::Clip clip = kmq::MakeSyntheticClip();
  IVRA_PLUGIN_MESSAGE message = kmq::MakeFrameMessage(clip, 3, 9);
  struct Case {
    Compression mCompression;
    char mMarker;
  };
  for (Case c : {Case{Compression::kPlain, 0x41}, Case{Compression::kGzip, 0x43},
                 Case{Compression::kZlib, 0x43}}) {
    SCOPED_TRACE(kmq::CompressionName(c.mCompression));
    std::string frame = kmq::EncodeFrame(message, c.mCompression);
    ASSERT_GT(frame.size(), 8u);
    EXPECT_EQ(frame.substr(0, 4), std::string(4, c.mMarker));
    uint32_t length = 0;
    for (size_t i = 0; i < 4; ++i) {
      length |= static_cast<uint32_t>(static_cast<uint8_t>(frame[4 + i])) << (8 * i);
    }
    EXPECT_EQ(length, frame.size() - 8);
    auto first = static_cast<uint8_t>(frame[8]);
    if (c.mCompression == Compression::kGzip) {
      EXPECT_EQ(first, 0x1f);
    } else if (c.mCompression == Compression::kZlib) {
      EXPECT_EQ(first & 0x0f, 8);  // deflate method
    }

    IVRA_PLUGIN_MESSAGE decoded;
    std::string error;
    ASSERT_TRUE(kmq::DecodePayload(c.mCompression != Compression::kPlain, frame.data() + 8, length,
                                   &decoded, &error))
        << error;
    EXPECT_EQ(decoded.SerializeAsString(), message.SerializeAsString());
    EXPECT_EQ(decoded.frame().actortag(), 9u);
    ASSERT_EQ(decoded.frame().motiondata_size(), clip.mChannelCount);
    EXPECT_EQ(decoded.frame().motiondata(0),
              clip.mValues[3 * static_cast<size_t>(clip.mChannelCount)]);
  }
  IVRA_PLUGIN_MESSAGE incomplete;  // Message is required
  EXPECT_EQ(kmq::EncodeFrame(incomplete, Compression::kGzip), "");
}

TEST(MotionProtocolTest, ReaderReassemblesFramesSplitAnywhere) {
  bvh::Clip clip = kmq::MakeSyntheticClip();
  std::string stream =
      kmq::EncodeFrame(kmq::MakeHeaderQuery(5), Compression::kGzip) +
      kmq::EncodeFrame(kmq::MakeFrameMessage(clip, 1, 2), Compression::kPlain) +
      kmq::EncodeFrame(kmq::MakeActorListMessage({{1, "a"}, {2, "b"}}), Compression::kZlib);
  for (size_t split = 0; split <= stream.size(); ++split) {
    kmq::FrameReader reader;
    std::vector<IVRA_PLUGIN_MESSAGE> got;
    std::vector<Compression> formats;
    IVRA_PLUGIN_MESSAGE message;
    Compression format = Compression::kPlain;
    reader.Feed(stream.data(), split);
    while (reader.Next(&message, &format)) {
      got.push_back(message);
      formats.push_back(format);
    }
    reader.Feed(stream.data() + split, stream.size() - split);
    while (reader.Next(&message, &format)) {
      got.push_back(message);
      formats.push_back(format);
    }
    ASSERT_EQ(got.size(), 3u) << "split at " << split;
    EXPECT_EQ(got[0].command().actortag(), 5u);
    EXPECT_EQ(got[1].frame().actortag(), 2u);
    EXPECT_EQ(got[2].command().actorslist().map().at(2), "b");
    EXPECT_EQ(formats, (std::vector<Compression>{Compression::kGzip, Compression::kPlain,
                                                 Compression::kZlib}));
    EXPECT_EQ(reader.BadInputCount(), 0u);
    EXPECT_EQ(reader.BufferedBytes(), 0u);
  }
}

TEST(MotionProtocolTest, ReaderSkipsBadInputAndResyncs) {
  const std::string good = kmq::EncodeFrame(kmq::MakeHeaderQuery(7), Compression::kGzip);
  std::string stream;
  stream += std::string(4096, 'x');                    // no marker: skipped 4 bytes at a time
  stream += Prefix(0x43, 0xfffffff0u);                 // negative length
  stream += Prefix(0x41, 1u << 30);                    // longer than any frame
  stream += Prefix(0x43, 6) + "broken";                // not a compressed stream
  stream += Prefix(0x41, 4) + std::string(4, '\xff');  // not an envelope
  stream += good;
  kmq::FrameReader reader;
  reader.Feed(stream.data(), stream.size());
  IVRA_PLUGIN_MESSAGE message;
  ASSERT_TRUE(reader.Next(&message));
  EXPECT_EQ(message.command().cmdtype(), COMMAND::Command_Query_BVH_Header);
  EXPECT_EQ(message.command().actortag(), 7u);
  EXPECT_GE(reader.BadInputCount(), 5u);
  EXPECT_EQ(reader.SkippedBytes(), stream.size() - good.size());
  EXPECT_FALSE(reader.Next(&message));
}

// A valid envelope (an actor list query) of exactly size bytes: the query, then an unknown
// length-delimited field 15 as filler, which the parser keeps aside.
std::string EnvelopeOfSize(size_t size) {
  const std::string query("\x08\x00\x22\x02\x08\x07", 6);
  for (size_t filler = size - query.size() - 4;; --filler) {
    std::string field(1, static_cast<char>(0x7a));
    for (size_t n = filler;; n >>= 7) {
      field.push_back(static_cast<char>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0)));
      if (n < 0x80) break;
    }
    if (query.size() + field.size() + filler == size)
      return query + field + std::string(filler, 'x');
  }
}

TEST(MotionProtocolTest, CompressedPayloadMayNotInflatePastAPlainFrame) {
  IVRA_PLUGIN_MESSAGE message;
  std::string error;
  const std::string atBound = EnvelopeOfSize(kovrim::wire::kReceiveLimit);
  ASSERT_EQ(atBound.size(), static_cast<size_t>(kovrim::wire::kReceiveLimit));
  ASSERT_TRUE(message.ParseFromString(atBound));
  std::string packed = Compress(atBound);
  EXPECT_TRUE(kmq::DecodePayload(true, packed.data(), packed.size(), &message, &error)) << error;
  EXPECT_EQ(message.command().cmdtype(), COMMAND::Command_Query_ActorList);

  packed = Compress(EnvelopeOfSize(kovrim::wire::kReceiveLimit + 1));
  EXPECT_FALSE(kmq::DecodePayload(true, packed.data(), packed.size(), &message, &error));
  EXPECT_NE(error.find("expands beyond 184320 bytes"), std::string::npos) << error;

  // 16 MB of empty joints from about 16 KB.
  const std::string bomb = kmq::MakeEmptyJointsFrame(8u << 20, Compression::kGzip).substr(8);
  ASSERT_LT(bomb.size(), 64u << 10);
  error.clear();
  EXPECT_FALSE(kmq::DecodePayload(true, bomb.data(), bomb.size(), &message, &error));
  EXPECT_NE(error.find("expands"), std::string::npos) << error;
}

// Regression: the tools' decoder parsed whatever a gzip stream cut short had inflated to, so a
// payload the plug-in refuses as damaged counted as a good frame in the capture tool, the stream
// health and the server. Both now refuse it alike.
TEST(MotionProtocolTest, CompressedStreamCutShortIsRefusedLikeThePlugInDoes) {
  const std::string payload = kmq::EncodeFrame(kmq::MakeHeaderQuery(4), Compression::kGzip)
                                  .substr(kovrim::wire::kFrameHeaderSize);
  IVRA_PLUGIN_MESSAGE message;
  std::string error;
  ASSERT_TRUE(kmq::DecodePayload(true, payload.data(), payload.size(), &message, &error));
  // Without its 8-byte trailer every inflated byte is there, but the stream never ends.
  const std::string cut = payload.substr(0, payload.size() - 8);
  EXPECT_FALSE(kmq::DecodePayload(true, cut.data(), cut.size(), &message, &error));
  EXPECT_EQ(error, "bad compressed payload");
}

// The wire depth bound exists because parsers stop at 100 nested messages: a header at the bound
// decodes, one far past it does not.
TEST(MotionProtocolTest, HeadersWithinTheDepthBoundDecode) {
  for (int depth : {kmq::kMaxWireJointDepth, 100}) {
    bvh::Clip clip = Chain(depth);
    std::string frame =
        kmq::EncodeFrame(kmq::MakeHeaderMessage(clip, 1, "deep"), Compression::kGzip);
    kmq::FrameReader reader;
    reader.Feed(frame.data(), frame.size());
    IVRA_PLUGIN_MESSAGE message;
    EXPECT_EQ(reader.Next(&message), depth == kmq::kMaxWireJointDepth) << depth;
  }
}

TEST(MotionProtocolTest, ParsesCompressionNames) {
  Compression c = Compression::kGzip;
  EXPECT_TRUE(kmq::ParseCompression("zlib", &c));
  EXPECT_EQ(c, Compression::kZlib);
  EXPECT_TRUE(kmq::ParseCompression("plain", &c));
  EXPECT_EQ(c, Compression::kPlain);
  EXPECT_FALSE(kmq::ParseCompression("lz4", &c));
  EXPECT_EQ(c, Compression::kPlain);
}

}  // namespace

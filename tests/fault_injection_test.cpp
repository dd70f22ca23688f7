// Fault injection in the reference server, checked from the wire by raw loopback clients
// (127.0.0.1, port 0): each fault produces what it promises, runs are reproducible from the
// seed, and no fault stops the server serving.
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/gzip_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/unknown_field_set.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bvh.h"
#include "fault_injection.h"
#include "motion_protocol.h"
#include "motion_server.h"
#include "raw_stream_client.h"
#include "synthetic_actor.h"

namespace {

using IvraPlugs::BVH_JOIN;
using rawtest::Clock;
using rawtest::COMMAND;
using rawtest::IVRA_PLUGIN_MESSAGE;
using rawtest::kDeadline;
using rawtest::RawClient;

constexpr uint32_t kTag = 1;
// The synthetic clip four times over: enough frames for rates to show.
constexpr int kRepeats = 4;

bvh::Clip LongClip() {
  bvh::Clip clip = kmq::MakeSyntheticClip();
  const std::vector<float> once = clip.mValues;
  for (int i = 1; i < kRepeats; ++i)
    clip.mValues.insert(clip.mValues.end(), once.begin(), once.end());
  clip.mFrameCount *= kRepeats;
  return clip;
}

const bvh::Clip& Synth() {
  static const bvh::Clip clip = kmq::MakeSyntheticClip();
  return clip;
}

uint32_t Little32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  }
  return value;
}

// The serialized envelope inside a payload, compressed or not; "" if it does not inflate.
std::string PlainPayload(const kmq::RawFrame& frame) {
  if (frame.mMarker == kovrim::wire::kPlainMarker) return frame.mPayload;
  google::protobuf::io::ArrayInputStream source(frame.mPayload.data(),
                                                static_cast<int>(frame.mPayload.size()));
  google::protobuf::io::GzipInputStream unzipper(&source,
                                                 google::protobuf::io::GzipInputStream::AUTO);
  std::string plain;
  const void* chunk = nullptr;
  int size = 0;
  while (unzipper.Next(&chunk, &size)) plain.append(static_cast<const char*>(chunk), size);
  return unzipper.ZlibErrorMessage() == nullptr ? plain : std::string();
}

int ChainDepth(const BVH_JOIN& root) {
  int depth = 1;
  for (const BVH_JOIN* joint = &root; joint->childjoin_size() > 0; joint = &joint->childjoin(0)) {
    ++depth;
  }
  return depth;
}

std::vector<float> Row(const bvh::Clip& clip, int frame) {
  auto begin = clip.mValues.begin() + static_cast<long>(frame) * clip.mChannelCount;
  return std::vector<float>(begin, begin + clip.mChannelCount);
}

// What a frame of row would be without faults.
std::string CleanFrame(int row, kmq::Compression compression = kmq::Compression::kGzip) {
  return kmq::EncodeFrame(kmq::MakeFrameMessage(Synth(), row % Synth().mFrameCount, kTag),
                          compression);
}

// Walks raw bytes frame by frame, counting every kind of bad length instead of obeying it.
struct WireScan {
  size_t mStrayWords = 0;
  size_t mZero = 0;
  size_t mNegative = 0;
  size_t mAboveBuffer = 0;
  size_t mMaximum = 0;
  size_t mMotion = 0;
  size_t mUndecodable = 0;
};

WireScan ScanWire(const std::string& bytes) {
  WireScan scan;
  size_t at = 0;
  while (at + kovrim::wire::kFrameHeaderSize <= bytes.size()) {
    uint32_t marker = Little32(bytes, at);
    if (marker != kovrim::wire::kPlainMarker && marker != kovrim::wire::kCompressedMarker) {
      ++scan.mStrayWords;
      at += 4;
      continue;
    }
    auto length = static_cast<int32_t>(Little32(bytes, at + 4));
    at += kovrim::wire::kFrameHeaderSize;
    if (length == 0) {
      ++scan.mZero;
    } else if (length < 0) {
      ++scan.mNegative;
    } else if (length == INT32_MAX) {
      ++scan.mMaximum;
    } else if (static_cast<size_t>(length) == kovrim::wire::kReceiveLimit + 1) {
      ++scan.mAboveBuffer;
      at += static_cast<size_t>(length);
    } else {
      kmq::RawFrame frame{marker, bytes.substr(at, static_cast<size_t>(length))};
      at += static_cast<size_t>(length);
      IVRA_PLUGIN_MESSAGE message;
      if (!rawtest::Decode(frame, &message)) {
        ++scan.mUndecodable;
      } else if (message.message() == IVRA_PLUGIN_MESSAGE::FRAME_DATA) {
        ++scan.mMotion;
      }
    }
  }
  return scan;
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  static kmq::ServerOptions Options() {
    kmq::ServerOptions options;
    options.mPort = 0;
    options.mQuiet = true;
    options.mStatusInterval = 0;
    options.mRate = 2000;
    options.mLoop = false;
    // Bad lengths bring 184 KB of filler each; let a reading client take them.
    options.mMaxQueuedBytes = 64u << 20;
    options.mFaults.mSeed = 7;
    return options;
  }

  std::unique_ptr<kmq::MotionServer> Start(const kmq::ServerOptions& options,
                                           const bvh::Clip& clip = LongClip()) {
    auto server = std::make_unique<kmq::MotionServer>(options);
    std::string error;
    EXPECT_TRUE(server->AddActor(kTag, "synth", clip, &error)) << error;
    EXPECT_TRUE(server->Start(&error)) << error;
    return server;
  }

  // Without looping: waits until the whole clip has been sent, then reads all of it.
  static void ReadEverything(kmq::MotionServer* server, RawClient* client) {
    ASSERT_TRUE(
        server->WaitForStats([](const kmq::Stats& s) { return s.mPlaybackFinished; }, kDeadline));
    const uint64_t sent = server->GetStats().mBytesSent;
    ASSERT_TRUE(client->ReadUntil([&] { return client->Bytes().size() >= sent; }));
    EXPECT_EQ(client->Bytes().size(), sent);
  }

  // The bytes one client gets from a fresh server with options.
  std::string Stream(const kmq::ServerOptions& options) {
    auto server = Start(options);
    RawClient client;
    EXPECT_TRUE(client.Connect(server->Port()));
    ReadEverything(server.get(), &client);
    return client.Bytes();
  }

  const int mFrames = LongClip().mFrameCount;
};

TEST_F(FaultInjectionTest, DropsFramesAtTheChosenRate) {
  kmq::ServerOptions options = Options();
  options.mFaults.mDropRate = 0.2;
  auto server = Start(options);
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ReadEverything(server.get(), &client);

  const double received = static_cast<double>(client.MotionFrames());
  const double expected = mFrames * (1 - 0.2);
  // Five standard deviations of a binomial draw.
  EXPECT_NEAR(received, expected, 5 * std::sqrt(mFrames * 0.2 * 0.8));
  EXPECT_EQ(server->GetStats().mFaults.mDropped + client.MotionFrames(),
            static_cast<uint64_t>(mFrames));
  EXPECT_EQ(client.Splitter().SkippedBytes(), 0u);
  // What arrives is whole and in order.
  int last = -1;
  IVRA_PLUGIN_MESSAGE message;
  for (const auto& frame : client.Frames()) {
    if (!frame.IsMotion()) continue;
    ASSERT_TRUE(rawtest::Decode(frame.mFrame, &message));
    int row = -1;
    for (int r = last + 1; r < mFrames && row < 0; ++r) {
      if (frame.mFrame.WireBytes() == CleanFrame(r)) row = r;
    }
    ASSERT_GT(row, last);
    last = row;
  }
}

TEST_F(FaultInjectionTest, StrayBytesAndFalseMarkersLeaveEveryFrameReadable) {
  kmq::ServerOptions options = Options();
  options.mFaults.mStrayRate = 0.2;
  options.mFaults.mFalseMarkerRate = 0.2;
  auto server = Start(options);
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ReadEverything(server.get(), &client);

  const kmq::FaultCounts counts = server->GetStats().mFaults;
  ASSERT_GT(counts.mStrayRuns, 0u);
  ASSERT_GT(counts.mFalseMarkers, 0u);
  // Every stray run is at least one word off the markers, and takes nothing else with it.
  EXPECT_GE(client.Splitter().SkippedWords(), counts.mStrayRuns);
  EXPECT_EQ(client.MotionFrames(), static_cast<size_t>(mFrames));
  size_t falseFrames = 0;
  for (const auto& frame : client.Frames()) {
    if (frame.mDecoded) continue;
    EXPECT_LE(frame.mFrame.mPayload.size(), 32u);
    ++falseFrames;
  }
  EXPECT_EQ(falseFrames, counts.mFalseMarkers);
}

TEST_F(FaultInjectionTest, UnalignedStrayBytesMoveTheStreamOffTheGrid) {
  kmq::ServerOptions options = Options();
  options.mFaults.mStrayRate = 0.05;
  options.mFaults.mStrayUnaligned = true;
  auto server = Start(options);
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ReadEverything(server.get(), &client);
  ASSERT_GT(server->GetStats().mFaults.mStrayRuns, 0u);
  // A reader on the 4-byte grid loses the frames that follow a run of the wrong length.
  EXPECT_LT(client.MotionFrames(), static_cast<size_t>(mFrames));
}

TEST_F(FaultInjectionTest, BadLengthsOfEveryKindAppear) {
  kmq::ServerOptions options = Options();
  options.mFaults.mBadLengthRate = 0.1;
  auto server = Start(options);
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ReadEverything(server.get(), &client);

  WireScan scan = ScanWire(client.Bytes());
  EXPECT_GE(scan.mZero, 1u);
  EXPECT_GE(scan.mNegative, 1u);
  EXPECT_GE(scan.mAboveBuffer, 1u);
  EXPECT_GE(scan.mMaximum, 1u);
  EXPECT_EQ(scan.mZero + scan.mNegative + scan.mAboveBuffer + scan.mMaximum,
            server->GetStats().mFaults.mBadLengths);
  // The bad prefixes come in addition to the frames, which are all there.
  EXPECT_EQ(scan.mMotion, static_cast<size_t>(mFrames));
  EXPECT_EQ(scan.mStrayWords, 0u);
  // A reader with the plug-in's rules skips 2^31-1 bytes at the first such length: what follows
  // is lost to it.
  EXPECT_LT(client.MotionFrames(), static_cast<size_t>(mFrames));
  EXPECT_GT(client.Splitter().SkipRemaining(), 0u);
}

TEST_F(FaultInjectionTest, CorruptAndTruncatedPayloadsInEveryFormat) {
  for (kmq::Compression format :
       {kmq::Compression::kGzip, kmq::Compression::kZlib, kmq::Compression::kPlain}) {
    SCOPED_TRACE(kmq::CompressionName(format));
    kmq::ServerOptions options = Options();
    options.mCompression = format;
    options.mFaults.mCorruptRate = 0.1;
    options.mFaults.mTruncateRate = 0.1;
    auto server = Start(options, Synth());
    RawClient client;
    ASSERT_TRUE(client.Connect(server->Port()));
    ReadEverything(server.get(), &client);

    size_t corrupt = 0;
    size_t truncated = 0;
    const auto& frames = client.Frames();
    ASSERT_EQ(frames.size(), static_cast<size_t>(Synth().mFrameCount) + 1);
    for (size_t i = 1; i < frames.size(); ++i) {
      const std::string clean = CleanFrame(static_cast<int>(i - 1), format);
      const std::string got = frames[i].mFrame.WireBytes();
      if (got == clean) continue;
      if (got.size() == clean.size()) {
        EXPECT_FALSE(frames[i].mDecoded) << "frame " << i;
        ++corrupt;
      } else {
        ASSERT_LT(got.size(), clean.size()) << "frame " << i;
        EXPECT_EQ(got.substr(8), clean.substr(8, got.size() - 8)) << "frame " << i;
        ++truncated;
      }
    }
    const kmq::FaultCounts counts = server->GetStats().mFaults;
    EXPECT_GT(corrupt, 0u);
    EXPECT_GT(truncated, 0u);
    EXPECT_EQ(corrupt, counts.mCorrupted);
    EXPECT_EQ(truncated, counts.mTruncated);
  }
}

TEST_F(FaultInjectionTest, UndeclaredEnumValuesOfEveryKind) {
  kmq::ServerOptions options = Options();
  options.mFaults.mBadEnumRate = 0.2;
  auto server = Start(options);
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ReadEverything(server.get(), &client);

  size_t messageType = 0;
  size_t commandType = 0;
  size_t channel = 0;
  IVRA_PLUGIN_MESSAGE message;
  for (const auto& frame : client.Frames()) {
    const std::string plain = PlainPayload(frame.mFrame);
    if (plain.compare(0, 2, "\x08\x07") == 0) {
      EXPECT_FALSE(frame.mDecoded);  // Message is required, and 7 is none of its values
      ++messageType;
    } else if (plain.size() > 6 && plain.compare(0, 3, "\x08\x00\x22", 3) == 0 &&
               plain.compare(4, 2, "\x08\x04") == 0) {
      EXPECT_FALSE(frame.mDecoded);
      ++commandType;
    } else if (frame.mDecoded && frame.mType == IVRA_PLUGIN_MESSAGE::HEADER_DATA) {
      ASSERT_TRUE(rawtest::Decode(frame.mFrame, &message));
      const auto& unknown = message.header().rootjoin().unknown_fields();
      ASSERT_EQ(unknown.field_count(), 1);
      EXPECT_EQ(unknown.field(0).number(), BVH_JOIN::kChannelsFieldNumber);
      EXPECT_EQ(unknown.field(0).varint(), 9u);
      ++channel;
    }
  }
  EXPECT_GT(messageType, 0u);
  EXPECT_GT(commandType, 0u);
  EXPECT_GT(channel, 0u);
  EXPECT_EQ(messageType + commandType + channel, server->GetStats().mFaults.mBadEnums);
  EXPECT_EQ(client.MotionFrames() + messageType + commandType + channel,
            static_cast<size_t>(mFrames));
}

TEST_F(FaultInjectionTest, DeepHeaderComesBeforeTheFirstAnswerOnly) {
  kmq::ServerOptions options = Options();
  options.mFaults.mDeepNesting = true;
  options.mLoop = true;
  options.mRate = 200;
  auto server = Start(options, Synth());
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ASSERT_TRUE(client.AskHeader(kTag));
  ASSERT_TRUE(
      client.ReadUntil([&] { return client.Count(IVRA_PLUGIN_MESSAGE::HEADER_DATA) == 1; }));
  ASSERT_TRUE(client.AskHeader(kTag));
  ASSERT_TRUE(
      client.ReadUntil([&] { return client.Count(IVRA_PLUGIN_MESSAGE::HEADER_DATA) == 2; }));

  std::vector<const rawtest::ArrivedFrame*> notMotion;
  for (const auto& frame : client.Frames()) {
    if (!frame.IsMotion()) notMotion.push_back(&frame);
  }
  // The list, the deep header, the real header, the real header again.
  ASSERT_EQ(notMotion.size(), 4u);
  EXPECT_FALSE(notMotion[1]->mDecoded);
  const std::string plain = PlainPayload(notMotion[1]->mFrame);
  google::protobuf::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(plain.data()),
                                               static_cast<int>(plain.size()));
  input.SetRecursionLimit(1000);
  IVRA_PLUGIN_MESSAGE deep;
  ASSERT_TRUE(deep.ParseFromCodedStream(&input));
  EXPECT_EQ(ChainDepth(deep.header().rootjoin()), kmq::kDeepHeaderDepth);
  EXPECT_EQ(deep.header().actortag(), kTag);
  for (int i : {2, 3}) {
    EXPECT_EQ(
        notMotion[static_cast<size_t>(i)]->mFrame.WireBytes(),
        kmq::EncodeFrame(kmq::MakeHeaderMessage(Synth(), kTag, "synth"), kmq::Compression::kGzip));
  }
  EXPECT_EQ(server->GetStats().mFaults.mDeepHeaders, 1u);
}

TEST_F(FaultInjectionTest, CutsTheConnectionAfterNFrames) {
  for (bool midFrame : {false, true}) {
    SCOPED_TRACE(midFrame ? "mid-frame" : "between frames");
    kmq::ServerOptions options = Options();
    options.mLoop = true;
    options.mRate = 500;
    options.mFaults.mCutAfter = 25;
    options.mFaults.mCutMidFrame = midFrame;
    auto server = Start(options, Synth());
    RawClient client;
    ASSERT_TRUE(client.Connect(server->Port()));
    ASSERT_TRUE(client.ReadToEnd());
    EXPECT_EQ(client.MotionFrames(), 25u);
    EXPECT_EQ(client.Frames().size(), 26u);  // and the actor list
    if (midFrame) {
      // Part of the 26th frame: more than nothing, less than all of it.
      EXPECT_GT(client.Splitter().BufferedBytes(), 0u);
      EXPECT_LT(client.Splitter().BufferedBytes(), CleanFrame(25).size());
      EXPECT_EQ(client.Bytes().substr(client.Bytes().size() - client.Splitter().BufferedBytes()),
                CleanFrame(25).substr(0, client.Splitter().BufferedBytes()));
    } else {
      EXPECT_EQ(client.Splitter().BufferedBytes(), 0u);
    }
    // The server goes on serving.
    RawClient next;
    ASSERT_TRUE(next.Connect(server->Port()));
    ASSERT_TRUE(next.ReadUntil([&] { return next.MotionFrames() >= 5; }));
    EXPECT_TRUE(next.Frames().front().mDecoded);
    EXPECT_TRUE(
        server->WaitForStats([](const kmq::Stats& s) { return s.mFaults.mCuts >= 1; }, kDeadline));
  }
}

TEST_F(FaultInjectionTest, RandomCutsHappenAndAreReproducible) {
  kmq::ServerOptions options = Options();
  options.mLoop = true;
  options.mRate = 1000;
  options.mFaults.mCutRate = 0.05;
  auto server = Start(options, Synth());
  std::vector<size_t> frames;
  for (int i = 0; i < 2; ++i) {
    // Connection numbers differ, so each connection draws its own cut.
    RawClient client;
    ASSERT_TRUE(client.Connect(server->Port()));
    ASSERT_TRUE(client.ReadToEnd());
    frames.push_back(client.MotionFrames());
    EXPECT_GE(frames.back(), 1u);
  }
  auto again = Start(options, Synth());
  for (size_t i = 0; i < 2; ++i) {
    RawClient client;
    ASSERT_TRUE(client.Connect(again->Port()));
    ASSERT_TRUE(client.ReadToEnd());
    EXPECT_EQ(client.MotionFrames(), frames[i]) << "connection " << i + 1;
  }
}

TEST_F(FaultInjectionTest, SplitWritesReassembleIntoIdenticalFrames) {
  kmq::ServerOptions plain = Options();
  const std::string whole = Stream(plain);
  kmq::ServerOptions split = Options();
  split.mFaults.mSplitWrites = true;
  auto server = Start(split);
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ReadEverything(server.get(), &client);
  EXPECT_TRUE(client.Bytes() == whole);
  EXPECT_EQ(client.MotionFrames(), static_cast<size_t>(mFrames));
  // Every write went out in more than one piece, on average.
  EXPECT_GT(server->GetStats().mFaults.mSplitPieces, static_cast<uint64_t>(mFrames) + 1);
}

TEST_F(FaultInjectionTest, SameSeedGivesTheSameBytes) {
  kmq::ServerOptions options = Options();
  kmq::FaultOptions& faults = options.mFaults;
  faults.mSeed = 42;
  faults.mDropRate = 0.1;
  faults.mStrayRate = 0.1;
  faults.mFalseMarkerRate = 0.1;
  faults.mCorruptRate = 0.05;
  faults.mTruncateRate = 0.05;
  faults.mBadLengthRate = 0.02;
  faults.mBadEnumRate = 0.05;
  faults.mSplitWrites = true;
  const std::string first = Stream(options);
  const std::string second = Stream(options);
  EXPECT_GT(first.size(), 0u);
  EXPECT_TRUE(first == second) << first.size() << " and " << second.size() << " bytes";
  faults.mSeed = 43;
  EXPECT_FALSE(Stream(options) == first);
}

TEST_F(FaultInjectionTest, NoHeaderLeavesQueriesUnanswered) {
  kmq::ServerOptions options = Options();
  options.mFaults.mNoHeader = true;
  auto server = Start(options);
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ASSERT_TRUE(client.AskHeader(kTag));
  ASSERT_TRUE(server->WaitForStats(
      [](const kmq::Stats& s) { return s.mHeaderQueries == 1 && s.mFaults.mHeadersWithheld == 1; },
      kDeadline));
  ReadEverything(server.get(), &client);
  EXPECT_EQ(client.Count(IVRA_PLUGIN_MESSAGE::HEADER_DATA), 0u);
  EXPECT_EQ(client.MotionFrames(), static_cast<size_t>(mFrames));
  // An unknown actor still gets its error and the list.
  ASSERT_TRUE(client.AskHeader(99));
  ASSERT_TRUE(client.ReadUntil([&] { return client.Count(IVRA_PLUGIN_MESSAGE::COMMAND) >= 3; }));
}

TEST_F(FaultInjectionTest, LateHeaderLetsFramesFlowMeanwhile) {
  kmq::ServerOptions options = Options();
  options.mLoop = true;
  options.mRate = 500;
  options.mFaults.mHeaderDelayMs = 300;
  auto server = Start(options, Synth());
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  const Clock::time_point asked = Clock::now();
  ASSERT_TRUE(client.AskHeader(kTag));
  ASSERT_TRUE(
      client.ReadUntil([&] { return client.Count(IVRA_PLUGIN_MESSAGE::HEADER_DATA) == 1; }));
  Clock::time_point answered;
  size_t framesBefore = 0;
  for (const auto& frame : client.Frames()) {
    if (frame.mType == IVRA_PLUGIN_MESSAGE::HEADER_DATA) answered = frame.mArrival;
    if (frame.IsMotion() && answered == Clock::time_point()) ++framesBefore;
  }
  // The server cannot send it before the delay has passed from the query's arrival.
  EXPECT_GE(answered - asked, std::chrono::milliseconds(300));
  EXPECT_GT(framesBefore, 10u);
  EXPECT_TRUE(server->WaitForStats(
      [](const kmq::Stats& s) { return s.mFaults.mHeadersDelayed == 1; }, kDeadline));
}

TEST_F(FaultInjectionTest, SkeletonChangeSendsANewListHeaderAndFrames) {
  kmq::ServerOptions options = Options();
  options.mLoop = true;
  options.mRate = 200;
  options.mFaults.mChangeSkeletonAfter = 50;
  auto server = Start(options, Synth());
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ASSERT_TRUE(client.AskHeader(kTag));
  ASSERT_TRUE(client.ReadUntil([&] { return client.MotionFrames() >= 60; }));

  IVRA_PLUGIN_MESSAGE message;
  std::vector<IVRA_PLUGIN_MESSAGE> lists;
  std::vector<IVRA_PLUGIN_MESSAGE> headers;
  size_t motion = 0;
  const int channels = Synth().mChannelCount;
  for (const auto& frame : client.Frames()) {
    ASSERT_TRUE(rawtest::Decode(frame.mFrame, &message));
    if (rawtest::IsActorList(message)) {
      lists.push_back(message);
      EXPECT_EQ(motion, lists.size() == 1 ? 0u : 50u);
    } else if (message.message() == IVRA_PLUGIN_MESSAGE::HEADER_DATA) {
      headers.push_back(message);
    } else if (message.message() == IVRA_PLUGIN_MESSAGE::FRAME_DATA) {
      const auto& values = message.frame().motiondata();
      const bool changed = motion >= 50;
      ASSERT_EQ(values.size(), channels + (changed ? kmq::kChangedJointChannels : 0))
          << "frame " << motion;
      EXPECT_EQ(std::vector<float>(values.begin(), values.begin() + channels),
                Row(Synth(), static_cast<int>(motion % Synth().mFrameCount)));
      ++motion;
    }
  }
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists[0].command().actorslist().map().at(kTag), "synth");
  EXPECT_EQ(lists[1].command().actorslist().map().at(kTag), "synth-v2");
  ASSERT_EQ(headers.size(), 2u);
  const BVH_JOIN& before = headers[0].header().rootjoin();
  const BVH_JOIN& after = headers[1].header().rootjoin();
  EXPECT_EQ(after.childjoin_size(), before.childjoin_size() + 1);
  EXPECT_EQ(after.childjoin(after.childjoin_size() - 1).joinname(), kmq::kChangedJointName);
  EXPECT_EQ(headers[1].header().actorname(), "synth-v2");
  EXPECT_EQ(headers[1].header().actortag(), kTag);

  // Queries now get the new skeleton and the new list.
  ASSERT_TRUE(client.AskHeader(kTag));
  ASSERT_TRUE(
      client.ReadUntil([&] { return client.Count(IVRA_PLUGIN_MESSAGE::HEADER_DATA) == 3; }));
  for (auto it = client.Frames().rbegin(); it != client.Frames().rend(); ++it) {
    if (it->mType != IVRA_PLUGIN_MESSAGE::HEADER_DATA) continue;
    ASSERT_TRUE(rawtest::Decode(it->mFrame, &message));
    EXPECT_EQ(message.SerializeAsString(), headers[1].SerializeAsString());
    break;
  }
}

TEST_F(FaultInjectionTest, StallHoldsTheStreamThenGoesOn) {
  kmq::ServerOptions options = Options();
  options.mLoop = true;
  options.mRate = 500;
  options.mFaults.mStallAfter = 20;
  options.mFaults.mStallMs = 400;
  auto server = Start(options, Synth());
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ASSERT_TRUE(client.ReadUntil([&] { return client.MotionFrames() >= 40; }));
  std::vector<Clock::time_point> arrivals;
  for (const auto& frame : client.Frames()) {
    if (frame.IsMotion()) arrivals.push_back(frame.mArrival);
  }
  // The 21st frame left at least 400 ms after the 20th was handed over; allow for the reader.
  EXPECT_GE(arrivals[20] - arrivals[19], std::chrono::milliseconds(280));
  EXPECT_TRUE(
      server->WaitForStats([](const kmq::Stats& s) { return s.mFaults.mStalls == 1; }, kDeadline));
}

TEST_F(FaultInjectionTest, BurstsSendFramesNAtATime) {
  kmq::ServerOptions options = Options();
  options.mLoop = true;
  options.mRate = 500;
  options.mFaults.mBurst = 6;
  auto server = Start(options, Synth());
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ASSERT_TRUE(client.ReadUntil([&] { return client.MotionFrames() >= 60; }));
  // Each burst is one write, so no read ends inside one.
  std::map<uint64_t, size_t> perRead;
  for (const auto& frame : client.Frames()) {
    if (frame.IsMotion()) ++perRead[frame.mRead];
  }
  for (const auto& [read, count] : perRead) EXPECT_EQ(count % 6, 0u) << "read " << read;
  // Stats trail the wire by up to one server loop turn.
  EXPECT_TRUE(
      server->WaitForStats([](const kmq::Stats& s) { return s.mFaults.mBursts >= 10; }, kDeadline));
}

TEST_F(FaultInjectionTest, JitterKeepsTheOrder) {
  kmq::ServerOptions options = Options();
  options.mFaults.mJitterMs = 20;
  auto server = Start(options, Synth());
  RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ReadEverything(server.get(), &client);
  ASSERT_EQ(client.MotionFrames(), static_cast<size_t>(Synth().mFrameCount));
  for (size_t i = 1; i < client.Frames().size(); ++i) {
    EXPECT_EQ(client.Frames()[i].mFrame.WireBytes(), CleanFrame(static_cast<int>(i - 1)));
  }
  EXPECT_GT(server->GetStats().mFaults.mJittered, 0u);
}

TEST_F(FaultInjectionTest, EveryFaultAtOnceNeverStopsTheServer) {
  kmq::ServerOptions options = Options();
  options.mLoop = true;
  options.mRate = 1000;
  options.mMaxQueuedBytes = 8u << 20;
  kmq::FaultOptions& faults = options.mFaults;
  faults.mDropRate = 0.05;
  faults.mJitterMs = 5;
  faults.mBurst = 3;
  faults.mStallAfter = 30;
  faults.mStallMs = 50;
  faults.mCutRate = 0.01;
  faults.mCutMidFrame = true;
  faults.mSplitWrites = true;
  faults.mStrayRate = 0.05;
  faults.mStrayUnaligned = true;
  faults.mFalseMarkerRate = 0.05;
  faults.mCorruptRate = 0.05;
  faults.mTruncateRate = 0.05;
  faults.mBadLengthRate = 0.02;
  faults.mBadEnumRate = 0.05;
  faults.mDeepNesting = true;
  faults.mChangeSkeletonAfter = 20;
  faults.mHeaderDelayMs = 10;
  auto server = Start(options, Synth());
  // A client that never reads, and clients that read until they are cut.
  RawClient idle;
  ASSERT_TRUE(idle.Connect(server->Port()));
  for (int i = 0; i < 4; ++i) {
    RawClient client;
    ASSERT_TRUE(client.Connect(server->Port()));
    ASSERT_TRUE(client.AskHeader(kTag));
    ASSERT_TRUE(client.ReadToEnd()) << "connection " << i;
    EXPECT_GT(client.Bytes().size(), 0u);
  }
  EXPECT_TRUE(server->WaitForStats(
      [](const kmq::Stats& s) { return s.mFaults.mCuts >= 4 && s.mTotalConnections >= 5; },
      kDeadline));
  // Still serving: a new connection starts with the actor list.
  RawClient last;
  ASSERT_TRUE(last.Connect(server->Port()));
  ASSERT_TRUE(last.ReadUntil([&] { return !last.Frames().empty(); }));
}

TEST(FaultOptionsTest, RefusesOptionsThatMakeNoSense) {
  kmq::FaultOptions options;
  std::string error;
  EXPECT_TRUE(options.Validate(&error));
  EXPECT_FALSE(options.Any());
  EXPECT_EQ(options.Describe(), "");
  options.mDropRate = 1.5;
  EXPECT_FALSE(options.Validate(&error));
  options.mDropRate = 0.1;
  options.mCutMidFrame = true;
  EXPECT_FALSE(options.Validate(&error));
  options.mCutAfter = 3;
  EXPECT_TRUE(options.Validate(&error)) << error;
  options.mStallAfter = 10;
  EXPECT_FALSE(options.Validate(&error));
  options.mStallMs = 100;
  options.mNoHeader = true;
  options.mHeaderDelayMs = 5;
  EXPECT_FALSE(options.Validate(&error));
  options.mHeaderDelayMs = 0;
  EXPECT_TRUE(options.Validate(&error)) << error;
  EXPECT_TRUE(options.Any());
  EXPECT_NE(options.Describe().find("seed 1"), std::string::npos) << options.Describe();

  kmq::ServerOptions server;
  server.mPort = 0;
  server.mQuiet = true;
  server.mFaults.mJitterMs = -1;
  kmq::MotionServer refused(server);
  ASSERT_TRUE(refused.AddSyntheticActor(1, "synth", &error));
  EXPECT_FALSE(refused.Start(&error));
  EXPECT_NE(error.find("jitter"), std::string::npos) << error;
}

TEST(FaultOptionsTest, HelpDocumentsEveryFaultOption) {
  std::FILE* help = ::popen(KMQ_SERVER_BINARY " --help", "r");
  ASSERT_NE(help, nullptr);
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), help)) > 0) text.append(buffer, got);
  EXPECT_EQ(::pclose(help), 0);
  for (const char* option : {"--seed",
                             "--drop",
                             "--jitter-ms",
                             "--burst",
                             "--stall-after",
                             "--stall-ms",
                             "--cut-after",
                             "--cut-rate",
                             "--cut-mid-frame",
                             "--split-writes",
                             "--stray-rate",
                             "--stray-unaligned",
                             "--false-marker-rate",
                             "--corrupt-rate",
                             "--truncate-rate",
                             "--bad-length-rate",
                             "--bad-enum-rate",
                             "--deep-nesting",
                             "--change-skeleton-after",
                             "--header-delay-ms",
                             "--no-header",
                             "--replay",
                             "--speed",
                             "--asap"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }
  EXPECT_NE(text.find("ends useful data"), std::string::npos);
}

// The stage's share of a connection's books: what it adds, removes and damages, with every frame
// it hands out marked where it starts. Frames submitted once a cut is decided are never sent and
// count as unsent, so the books still balance however late the cut is carried out.
TEST(FaultStageFrames, MarksEveryFrameAndCountsWhatACutRefuses) {
  kmq::FaultOptions options;
  options.mCutAfter = 2;
  options.mFalseMarkerRate = 1;
  kmq::FaultContext context;
  kmq::FaultCounts counts;
  kmq::ConnectionFrames frames;
  kmq::FaultStage stage(options, context, 1, &counts, &frames);
  const bvh::Clip clip = kmq::MakeSyntheticClip();
  const auto now = kmq::FaultStage::Clock::now();
  for (int i = 0; i < 5; ++i) {
    const std::string frame =
        kmq::EncodeFrame(kmq::MakeFrameMessage(clip, i, 1), kmq::Compression::kGzip);
    stage.SubmitMotion(1, frame, nullptr, now);
  }
  std::string out;
  std::deque<size_t> pieces;
  std::vector<kmq::FrameMark> marks;
  stage.Release(now, &out, &pieces, &marks);
  EXPECT_TRUE(stage.CutDue());
  // Two motion frames, each after a false marker the stage added.
  ASSERT_EQ(marks.size(), 4u);
  EXPECT_EQ(frames.mAdded, 2u);
  EXPECT_EQ(frames.mSent, 2u);  // the caller counts what it submits; the stage what it adds
  EXPECT_EQ(frames.mUnsent, 3u);
  kmq::RawFrameSplitter reader;
  reader.Feed(out.data(), out.size());
  kmq::RawFrame frame;
  for (const kmq::FrameMark& mark : marks) {
    ASSERT_TRUE(reader.Next(&frame));
    EXPECT_EQ(frame.mStreamOffset, mark.mStart);
    EXPECT_EQ(kovrim::wire::kFrameHeaderSize + frame.mPayload.size(), mark.mSize);
  }
  EXPECT_EQ(marks.back().mStart + marks.back().mSize, out.size());
  EXPECT_FALSE(reader.Next(&frame));
}

}  // namespace

// StreamHealth on the host's wire tap next to the real link: what the monitor counts as applied
// or dropped agrees with what the link itself did with the same bytes (its traces and its pose).
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include <atomic>
#include <string>

#include "link_test_util.h"
#include "server_link.h"
#include "stream_health.h"

using namespace linktest;

namespace {

constexpr uint32_t kTag = 3;

class StreamHealthLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    // Each tap call gets the next microsecond, so arrival order is what the test checks.
    fbsdk_control::SetSocketTap([this](int socket, bool outgoing, const char* data, int size) {
      mHealth.OnBytes(++mClock, socket, outgoing, data, size);
    });
    mLink.mAddress = "127.0.0.1";
    mLink.mPort = mPeer.Port();
    ASSERT_TRUE(mLink.Open());
    ASSERT_TRUE(mPeer.Accept());
  }
  void TearDown() override { fbsdk_control::SetSocketTap(nullptr); }

  fbsdk_control::ScopedHostCapture mHost;
  std::atomic<int64_t> mClock{1000};
  kmq::StreamHealth mHealth;
  ScriptedPeer mPeer;
  ServerLink mLink;
};

TEST_F(StreamHealthLinkTest, CountsAgreeWithWhatTheLinkDid) {
  mLink.SelectActor(kTag);  // the query goes out through the tap
  const BVH_JOIN root = Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0},
                              {Joint("Spine", {Z_ROT, X_ROT, Y_ROT}, {0, 10, 0})});
  std::string stream;
  auto frame = [](uint32_t tag, float x, size_t count) {
    std::vector<float> values(count, 0.0f);
    values[0] = x;
    values[1] = x + 1;
    values[2] = x + 2;
    return FrameBytes(FrameMessage(tag, values), Payload::kGzip);
  };
  stream += frame(kTag, 1, 9) + frame(kTag, 2, 9);  // before the header
  stream += FrameBytes(HeaderMessage(kTag, root), Payload::kZlib);
  for (int i = 0; i < 5; ++i) stream += frame(kTag, 10.0f + static_cast<float>(i), 9);
  stream += frame(kTag + 1, 50, 9) + frame(kTag + 1, 51, 9);   // another actor
  stream += frame(kTag, 60, 4);                                // short: the root keeps its pose
  stream += RawFrame(0x43434343u, 5, "\x01\x02\x03\x04\x05");  // not a compressed stream
  stream += std::string("\x01\x02\x03\x00", 4);  // one stray word on the grid, skipped
  stream += RawFrame(0x41414141u, 200000, std::string(200000, 'z'));
  stream += RawFrame(0x41414141u, -8, "");
  stream += FrameBytes(ActorListMessage({{99, "end"}}), Payload::kPlain);
  fbsdk_control::SetSocketReadLimit(777);  // many short reads
  ASSERT_TRUE(mPeer.Send(stream));
  ASSERT_TRUE(
      PollUntil([&] { return mLink.CopyActors().count(99) == 1; }, [&] { mLink.ReadMessage(); }));

  const kmq::StreamHealthReport report = mHealth.Report();
  using kmq::FrameDrop;
  auto drops = [&report](FrameDrop reason) { return report.mDrops[static_cast<size_t>(reason)]; };
  EXPECT_EQ(report.mChosenActor, kTag);
  EXPECT_EQ(report.mHeaderQueries, 1u);
  EXPECT_EQ(mLink.mHeaderPending.load(), report.mHeaderPending);
  EXPECT_EQ(mLink.mHeaderReceived.load(), report.mHeaderReceived);
  EXPECT_EQ(drops(FrameDrop::kHeaderPending), 2u);
  EXPECT_EQ(drops(FrameDrop::kWrongActor), 2u);
  EXPECT_EQ(drops(FrameDrop::kShort), fbsdk_control::CountTraces("Frame Wrong!!"));
  EXPECT_EQ(drops(FrameDrop::kShort), 1u);
  EXPECT_EQ(drops(FrameDrop::kUndecodable),
            fbsdk_control::CountTraces("The data received maybe incorrect."));
  EXPECT_EQ(drops(FrameDrop::kUndecodable), 1u);
  EXPECT_EQ(drops(FrameDrop::kOversize),
            fbsdk_control::CountTraces(ServerLink::kTraceFrameTooLong));
  EXPECT_EQ(drops(FrameDrop::kOversize), 1u);
  EXPECT_EQ(drops(FrameDrop::kLostMarker),
            fbsdk_control::CountTraces(ServerLink::kTraceFrameLengthNegative));
  EXPECT_EQ(drops(FrameDrop::kLostMarker), 1u);
  EXPECT_EQ(report.mBytesIn, stream.size());
  ASSERT_EQ(report.mActors.size(), 3u);  // 3, 4 and the sentinel's 99 from the actor list
  EXPECT_EQ(report.mActors[0].mTag, kTag);
  EXPECT_EQ(report.mActors[0].mReceived, 8u);
  EXPECT_EQ(report.mActors[0].mApplied, 5u);

  // What the evaluation would put on the root is the last applied frame's root: one match.
  const FBVector4<double> served = mLink.GetTranslation(0);
  const double rootTranslation[3] = {served[0], served[1], served[2]};
  EXPECT_EQ(rootTranslation[0], 14.0);
  mHealth.OnEvaluationServed(++mClock, rootTranslation);
  const kmq::StreamHealthReport after = mHealth.Report();
  EXPECT_EQ(after.mEvaluationsMatched, 1u);
  EXPECT_EQ(after.mActors[0].mLatencySamples, 1u);
}

}  // namespace

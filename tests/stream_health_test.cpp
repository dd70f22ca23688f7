// StreamHealth fed with synthetic wire traffic at known times: counts, drop reasons, rates,
// jitter, gaps, serve latency, silence warnings and the JSON summary.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "bvh.h"
#include "motion_protocol.h"
#include "stream_health.h"
#include "test_json.h"

namespace {

using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using kmq::Compression;
using kmq::FrameDrop;
using kmq::StreamHealth;
using kmq::StreamHealthReport;

constexpr int kSocket = 7;
constexpr int64_t kMs = 1000;
constexpr int64_t kStart = 5000 * kMs;

size_t Drop(FrameDrop reason) { return static_cast<size_t>(reason); }

// Root with positions and rotations, one child with rotations, one end site: 9 channels.
bvh::Clip SmallClip() {
  bvh::Clip clip;
  clip.mRoot.mName = "Hips";
  clip.mRoot.mChannels = {bvh::kXposition, bvh::kYposition, bvh::kZposition,
                          bvh::kZrotation, bvh::kYrotation, bvh::kXrotation};
  bvh::Joint spine;
  spine.mName = "Spine";
  spine.mOffset[1] = 10;
  spine.mChannels = {bvh::kZrotation, bvh::kYrotation, bvh::kXrotation};
  spine.mHasEndSite = true;
  spine.mEndSite[1] = 5;
  clip.mRoot.mChildren.push_back(spine);
  clip.mChannelCount = 9;
  clip.mFrameTime = 0.01;
  return clip;
}

std::string Header(uint32_t tag, const std::string& name) {
  return kmq::EncodeFrame(kmq::MakeHeaderMessage(SmallClip(), tag, name), Compression::kGzip);
}

std::string Query(uint32_t tag) {
  return kmq::EncodeFrame(kmq::MakeHeaderQuery(tag), Compression::kGzip);
}

// A frame whose root position is root[0..2], with valueCount values in all.
std::string Frame(uint32_t tag, const double root[3], int valueCount, Compression compression) {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::FRAME_DATA);
  IvraPlugs::BVH_FRAME* frame = message.mutable_frame();
  frame->set_actortag(tag);
  for (int i = 0; i < valueCount; ++i) {
    frame->add_motiondata(i < 3 ? static_cast<float>(root[i]) : static_cast<float>(i));
  }
  return kmq::EncodeFrame(message, compression);
}

std::string LittleEndian(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// One tap call's worth of traffic, or an evaluation.
struct Step {
  int64_t mTimeUs = 0;
  bool mOutgoing = false;
  std::string mBytes;
  bool mEvaluation = false;
  double mRoot[3] = {0, 0, 0};
};

// Feeds each step's bytes in pieces cut at random boundaries (all with the step's time).
void Play(const std::vector<Step>& steps, StreamHealth* health, unsigned seed, int maxPiece) {
  std::mt19937 random(seed);
  for (const Step& step : steps) {
    if (step.mEvaluation) {
      health->OnEvaluationServed(step.mTimeUs, step.mRoot);
      continue;
    }
    size_t at = 0;
    while (at < step.mBytes.size()) {
      std::uniform_int_distribution<int> piece(1, maxPiece);
      const size_t size = std::min(step.mBytes.size() - at, static_cast<size_t>(piece(random)));
      health->OnBytes(step.mTimeUs, kSocket, step.mOutgoing, step.mBytes.data() + at,
                      static_cast<int>(size));
      at += size;
    }
  }
}

// Root position of actor 1's frame k.
void RootOf(int k, double root[3]) {
  root[0] = k;
  root[1] = 100 + k;
  root[2] = -k;
}

// The scenario: actor 1 streams 100 frames exactly 10 ms apart from kStart. Three arrive before
// its header; frame 50 is short. Actor 2 sends 10 frames (wrong actor). One corrupt payload, one
// oversize frame, one negative length and 8 bytes of garbage travel in between. Every applied
// frame of actor 1 is served 2 ms (even k) or 4 ms (odd k) after it arrived, then served again.
std::vector<Step> Scenario() {
  std::vector<Step> steps;
  auto bytes = [&steps](int64_t time, bool outgoing, const std::string& data) {
    Step step;
    step.mTimeUs = time;
    step.mOutgoing = outgoing;
    step.mBytes = data;
    steps.push_back(step);
  };
  auto evaluation = [&steps](int64_t time, const double root[3]) {
    Step step;
    step.mTimeUs = time;
    step.mEvaluation = true;
    std::memcpy(step.mRoot, root, sizeof(step.mRoot));
    steps.push_back(step);
  };
  bytes(
      kStart - 20 * kMs, false,
      kmq::EncodeFrame(kmq::MakeActorListMessage({{1, "Alpha"}, {2, "Beta"}}), Compression::kZlib));
  bytes(kStart - 10 * kMs, true, Query(1));
  const Compression kinds[3] = {Compression::kGzip, Compression::kZlib, Compression::kPlain};
  for (int k = 0; k < 100; ++k) {
    const int64_t arrival = kStart + k * 10 * kMs;
    double root[3];
    RootOf(k, root);
    bytes(arrival, false, Frame(1, root, k == 50 ? 4 : 9, kinds[k % 3]));
    const bool applied = k >= 3 && k != 50;
    if (applied) {
      evaluation(arrival + (k % 2 == 0 ? 2 : 4) * kMs, root);
      evaluation(arrival + 6 * kMs, root);  // the same frame again: no new sample
    }
    if (k == 2) bytes(arrival + 5 * kMs, false, Header(1, "Alpha"));
    if (k == 5) {
      // A compressed frame whose payload is not a compressed stream.
      bytes(arrival + 3 * kMs, false, LittleEndian(0x43434343u) + LittleEndian(6) + "\x01junk!");
      // Garbage on the grid, then a frame longer than the link's buffer.
      std::string oversize = std::string(8, '\0') + LittleEndian(0x41414141u) +
                             LittleEndian(200000) + std::string(200000, 'A');
      bytes(arrival + 5 * kMs, false, oversize);
      // A marker whose length is negative.
      bytes(arrival + 7 * kMs, false, LittleEndian(0x41414141u) + LittleEndian(0xfffffff0u));
    }
    if (k >= 30 && k < 40) {
      double other[3] = {-1, -1, -1};
      bytes(arrival + 5 * kMs, false, Frame(2, other, 9, Compression::kGzip));
    }
  }
  const double tpose[3] = {0, 0, 0};
  evaluation(kStart + 995 * kMs, tpose);  // nothing applied carries this root
  return steps;
}

const kmq::ActorHealth& ActorOf(const StreamHealthReport& report, uint32_t tag) {
  static const kmq::ActorHealth kNone;
  for (const kmq::ActorHealth& actor : report.mActors) {
    if (actor.mTag == tag) return actor;
  }
  ADD_FAILURE() << "no actor " << tag;
  return kNone;
}

void ExpectScenarioFigures(const StreamHealth& health) {
  const int64_t lastArrival = kStart + 990 * kMs;
  const StreamHealthReport report = health.Report(lastArrival);
  ASSERT_EQ(report.mActors.size(), 2u);
  const kmq::ActorHealth& alpha = ActorOf(report, 1);
  const kmq::ActorHealth& beta = ActorOf(report, 2);

  EXPECT_EQ(alpha.mName, "Alpha");
  EXPECT_TRUE(alpha.mChosen);
  EXPECT_EQ(alpha.mHeaders, 1u);
  EXPECT_EQ(alpha.mReceived, 100u);
  EXPECT_EQ(alpha.mApplied, 96u);
  EXPECT_EQ(alpha.mDrops[Drop(FrameDrop::kHeaderPending)], 3u);
  EXPECT_EQ(alpha.mDrops[Drop(FrameDrop::kShort)], 1u);
  EXPECT_EQ(alpha.mDrops[Drop(FrameDrop::kWrongActor)], 0u);
  EXPECT_NEAR(alpha.mRateFps, 100.0, 1e-9);
  EXPECT_NEAR(alpha.mRateLastSecondFps, 100.0, 1e-9);
  EXPECT_NEAR(alpha.mJitterMs, 0.0, 1e-9);
  EXPECT_NEAR(alpha.mLongestGapMs, 10.0, 1e-9);
  // 47 applied frames with even k served after 2 ms, 49 with odd k after 4 ms.
  EXPECT_EQ(alpha.mLatencySamples, 96u);
  EXPECT_NEAR(alpha.mLatencyMeanMs, (47 * 2.0 + 49 * 4.0) / 96.0, 1e-9);
  EXPECT_NEAR(alpha.mLatencyMaxMs, 4.0, 1e-9);

  EXPECT_EQ(beta.mName, "Beta");
  EXPECT_FALSE(beta.mChosen);
  EXPECT_EQ(beta.mReceived, 10u);
  EXPECT_EQ(beta.mApplied, 0u);
  EXPECT_EQ(beta.mDrops[Drop(FrameDrop::kWrongActor)], 10u);
  EXPECT_NEAR(beta.mRateFps, 100.0, 1e-9);
  EXPECT_EQ(beta.mLatencySamples, 0u);

  EXPECT_EQ(report.mDrops[Drop(FrameDrop::kWrongActor)], 10u);
  EXPECT_EQ(report.mDrops[Drop(FrameDrop::kHeaderPending)], 3u);
  EXPECT_EQ(report.mDrops[Drop(FrameDrop::kShort)], 1u);
  EXPECT_EQ(report.mDrops[Drop(FrameDrop::kUndecodable)], 1u);
  EXPECT_EQ(report.mDrops[Drop(FrameDrop::kOversize)], 1u);
  EXPECT_EQ(report.mDrops[Drop(FrameDrop::kLostMarker)], 1u);
  // Garbage word pair, oversize marker, length and payload, lost marker and length.
  EXPECT_EQ(report.mSkippedBytes, 8u + 8u + 200000u + 8u);
  // Actor list, header, 100 + 10 frames and the corrupt one.
  EXPECT_EQ(report.mFramesIn, 113u);
  EXPECT_EQ(report.mHeaderQueries, 1u);
  EXPECT_EQ(report.mChosenActor, 1u);
  EXPECT_TRUE(report.mHeaderReceived);
  EXPECT_FALSE(report.mHeaderPending);
  EXPECT_EQ(report.mEvaluations, 96u * 2 + 1);
  EXPECT_EQ(report.mEvaluationsMatched, 96u * 2);
  EXPECT_EQ(report.mBytesOut, Query(1).size());
}

TEST(StreamHealthTest, CountsEveryFigureOfAKnownStreamWhateverTheReadSizes) {
  const std::vector<Step> steps = Scenario();
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    StreamHealth health;
    Play(steps, &health, seed, 97);
    ExpectScenarioFigures(health);
  }
  StreamHealth byteByByte;
  Play(steps, &byteByByte, 4, 1);
  ExpectScenarioFigures(byteByByte);
  StreamHealth whole;
  Play(steps, &whole, 5, 1 << 30);
  ExpectScenarioFigures(whole);
}

TEST(StreamHealthTest, LastSecondRateCountsOnlyRecentArrivals) {
  StreamHealth health;
  Play(Scenario(), &health, 9, 512);
  // Half a second after the last frame only frames 50..99 lie in the last second.
  const StreamHealthReport later = health.Report(kStart + 1490 * kMs);
  EXPECT_NEAR(ActorOf(later, 1).mRateLastSecondFps, 50.0, 1e-9);
  EXPECT_NEAR(ActorOf(later, 1).mRateFps, 100.0, 1e-9);
  const StreamHealthReport muchLater = health.Report(kStart + 5000 * kMs);
  EXPECT_NEAR(ActorOf(muchLater, 1).mRateLastSecondFps, 0.0, 1e-9);
  // Without a time the newest timestamp handed in is used: frame 99 served again at +996 ms.
  EXPECT_EQ(health.Report().mNowUs, kStart + 996 * kMs);
}

TEST(StreamHealthTest, JitterAndLongestGapOfAKnownPattern) {
  StreamHealth health;
  health.OnBytes(0, kSocket, true, Query(4).data(), static_cast<int>(Query(4).size()));
  const std::string header = Header(4, "Gamma");
  health.OnBytes(1, kSocket, false, header.data(), static_cast<int>(header.size()));
  // Intervals alternate 5 ms and 15 ms: mean 10 ms, standard deviation 5 ms.
  int64_t time = kStart;
  const double root[3] = {1, 2, 3};
  for (int i = 0; i <= 20; ++i) {
    const std::string frame = Frame(4, root, 9, Compression::kPlain);
    health.OnBytes(time, kSocket, false, frame.data(), static_cast<int>(frame.size()));
    time += (i % 2 == 0 ? 5 : 15) * kMs;
  }
  StreamHealthReport report = health.Report();
  ASSERT_EQ(report.mActors.size(), 1u);
  EXPECT_NEAR(report.mActors[0].mJitterMs, 5.0, 1e-9);
  EXPECT_NEAR(report.mActors[0].mLongestGapMs, 15.0, 1e-9);
  EXPECT_NEAR(report.mActors[0].mRateFps, 100.0, 1e-9);
  // One late frame: a 130 ms gap.
  const std::string frame = Frame(4, root, 9, Compression::kPlain);
  const int64_t late = time - 5 * kMs + 130 * kMs;
  health.OnBytes(late, kSocket, false, frame.data(), static_cast<int>(frame.size()));
  report = health.Report();
  EXPECT_NEAR(report.mActors[0].mLongestGapMs, 130.0, 1e-9);
  EXPECT_GT(report.mActors[0].mJitterMs, 5.0);
}

TEST(StreamHealthTest, FollowsAnActorSwitchLikeTheLink) {
  StreamHealth health;
  auto feed = [&health](int64_t time, bool outgoing, const std::string& data) {
    health.OnBytes(time, kSocket, outgoing, data.data(), static_cast<int>(data.size()));
  };
  const double root[3] = {1, 2, 3};
  feed(1, true, Query(1));
  feed(2, false, Header(1, "Alpha"));
  feed(3, false, Frame(1, root, 9, Compression::kGzip));  // applied
  feed(4, true, Query(2));                                // switch: pending again
  feed(5, false, Frame(1, root, 9, Compression::kGzip));  // header pending
  feed(6, false, Header(1, "Alpha"));                     // not the chosen actor: ignored
  feed(7, false, Frame(2, root, 9, Compression::kGzip));  // still pending
  feed(8, false, Header(2, "Beta"));
  feed(9, false, Frame(1, root, 9, Compression::kGzip));   // wrong actor now
  feed(10, false, Frame(2, root, 9, Compression::kGzip));  // applied
  const StreamHealthReport report = health.Report();
  ASSERT_EQ(report.mActors.size(), 2u);
  EXPECT_EQ(report.mChosenActor, 2u);
  EXPECT_FALSE(ActorOf(report, 1).mChosen);
  EXPECT_TRUE(ActorOf(report, 2).mChosen);
  EXPECT_EQ(ActorOf(report, 1).mApplied, 1u);
  EXPECT_EQ(ActorOf(report, 1).mDrops[Drop(FrameDrop::kHeaderPending)], 1u);
  EXPECT_EQ(ActorOf(report, 1).mDrops[Drop(FrameDrop::kWrongActor)], 1u);
  EXPECT_EQ(ActorOf(report, 1).mHeaders, 2u);
  EXPECT_EQ(ActorOf(report, 2).mApplied, 1u);
  EXPECT_EQ(ActorOf(report, 2).mDrops[Drop(FrameDrop::kHeaderPending)], 1u);
  EXPECT_EQ(report.mHeaderQueries, 2u);
}

TEST(StreamHealthTest, AFrameWithoutActorTagIsUndecodableAndANewSocketStartsClean) {
  StreamHealth health;
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::FRAME_DATA);
  message.mutable_frame()->add_motiondata(1.0f);
  const std::string untagged = kmq::EncodeFrame(message, Compression::kPlain);
  health.OnBytes(1, kSocket, false, untagged.data(), static_cast<int>(untagged.size()));
  // Half a frame on one socket, then a whole frame on the next connection.
  const double root[3] = {1, 2, 3};
  const std::string frame = Frame(3, root, 9, Compression::kGzip);
  health.OnBytes(2, kSocket, false, frame.data(), 11);
  health.OnBytes(3, kSocket + 1, false, frame.data(), static_cast<int>(frame.size()));
  const StreamHealthReport report = health.Report();
  EXPECT_EQ(report.mDrops[Drop(FrameDrop::kUndecodable)], 1u);
  ASSERT_EQ(report.mActors.size(), 1u);
  EXPECT_EQ(report.mActors[0].mReceived, 1u);
  EXPECT_EQ(report.mFramesIn, 2u);
}

TEST(StreamHealthTest, SilenceWarningWhileOnlineOnly) {
  StreamHealth health;
  EXPECT_FALSE(health.SilentFor(kStart, 500));  // nothing seen: not online yet
  Play(Scenario(), &health, 11, 300);
  const int64_t last = kStart + 990 * kMs;
  EXPECT_FALSE(health.SilentFor(last + 500 * kMs, 500));
  EXPECT_EQ(health.SilenceWarning(last + 500 * kMs, 500), "");
  EXPECT_TRUE(health.SilentFor(last + 501 * kMs, 500));
  const std::string warning = health.SilenceWarning(last + 750 * kMs, 500);
  EXPECT_NE(warning.find("no frame has arrived for 750 ms while online"), std::string::npos)
      << warning;
  EXPECT_NE(warning.find("500 ms"), std::string::npos);

  health.SetOnline(last + 800 * kMs, false);
  EXPECT_FALSE(health.SilentFor(last + 2000 * kMs, 500));
  EXPECT_EQ(health.SilenceWarning(last + 2000 * kMs, 500), "");
  // Back online: silence counts from the reconnection.
  health.SetOnline(last + 3000 * kMs, true);
  EXPECT_FALSE(health.SilentFor(last + 3400 * kMs, 500));
  EXPECT_TRUE(health.SilentFor(last + 3600 * kMs, 500));
  EXPECT_NE(health.SilenceWarning(last + 3600 * kMs, 500).find("600 ms"), std::string::npos);
  EXPECT_NEAR(health.Report(last + 3600 * kMs).mSilentMs, 600.0, 1e-9);
}

TEST(StreamHealthTest, StatusLineAndTableShowTheFigures) {
  StreamHealth health;
  Play(Scenario(), &health, 12, 64);
  health.SetTracesSeen(7);
  const std::string status = health.StatusLine(kStart + 990 * kMs);
  EXPECT_NE(status.find("actor 1 \"Alpha\" (chosen): frames 100 received, 96 applied; 100.0 fps "
                        "(last 1 s: 100); jitter 0.00 ms; longest gap 10.0 ms; drops 4 (header "
                        "pending 3, short 1); traces 7; latency 3.02 ms mean, 4.00 ms max"),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("actor 2 \"Beta\": frames 10 received, 0 applied"), std::string::npos)
      << status;
  EXPECT_NE(status.find("drops 10 (wrong actor 10)"), std::string::npos) << status;
  EXPECT_NE(status.find("undecodable 1, oversize 1, lost marker 1"), std::string::npos) << status;
  const std::string table = health.SummaryTable(kStart + 990 * kMs);
  EXPECT_NE(table.find("*Alpha"), std::string::npos) << table;
  EXPECT_NE(table.find("7 traces"), std::string::npos) << table;
}

using jsontest::Json;
using jsontest::JsonReader;

TEST(StreamHealthTest, JsonSummaryParsesWithTheFigures) {
  StreamHealth health;
  Play(Scenario(), &health, 13, 200);
  health.SetTracesSeen(3);
  const std::string text = health.SummaryJson(kStart + 990 * kMs);
  Json json;
  ASSERT_TRUE(JsonReader(text).ReadDocument(&json)) << text;
  ASSERT_EQ(json.mKind, Json::Kind::kObject);
  for (const char* key : {"now_us", "online", "silent_ms", "chosen_actor", "header_received",
                          "header_pending", "traces_seen", "bytes_in", "bytes_out", "frames_in",
                          "skipped_bytes", "header_queries", "commands_out", "evaluations",
                          "evaluations_matched", "untracked_frames", "drops", "actors"}) {
    EXPECT_EQ(json.mObject.count(key), 1u) << key;
  }
  EXPECT_EQ(json["now_us"].mNumber, static_cast<double>(kStart + 990 * kMs));
  EXPECT_TRUE(json["online"].mBool);
  EXPECT_EQ(json["silent_ms"].mNumber, 0.0);
  EXPECT_EQ(json["chosen_actor"].mNumber, 1.0);
  EXPECT_TRUE(json["header_received"].mBool);
  EXPECT_FALSE(json["header_pending"].mBool);
  EXPECT_EQ(json["traces_seen"].mNumber, 3.0);
  EXPECT_EQ(json["frames_in"].mNumber, 113.0);
  EXPECT_EQ(json["drops"]["wrong_actor"].mNumber, 10.0);
  EXPECT_EQ(json["drops"]["header_pending"].mNumber, 3.0);
  EXPECT_EQ(json["drops"]["undecodable"].mNumber, 1.0);
  EXPECT_EQ(json["drops"]["oversize"].mNumber, 1.0);
  EXPECT_EQ(json["drops"]["short"].mNumber, 1.0);
  EXPECT_EQ(json["drops"]["lost_marker"].mNumber, 1.0);
  ASSERT_EQ(json["actors"].mArray.size(), 2u);
  const Json& alpha = json["actors"].mArray[0];
  EXPECT_EQ(alpha["tag"].mNumber, 1.0);
  EXPECT_EQ(alpha["name"].mString, "Alpha");
  EXPECT_TRUE(alpha["chosen"].mBool);
  EXPECT_EQ(alpha["frames_received"].mNumber, 100.0);
  EXPECT_EQ(alpha["frames_applied"].mNumber, 96.0);
  EXPECT_EQ(alpha["rate_fps"].mNumber, 100.0);
  EXPECT_EQ(alpha["rate_last_second_fps"].mNumber, 100.0);
  EXPECT_EQ(alpha["jitter_ms"].mNumber, 0.0);
  EXPECT_EQ(alpha["longest_gap_ms"].mNumber, 10.0);
  EXPECT_EQ(alpha["drops"]["short"].mNumber, 1.0);
  EXPECT_EQ(alpha["latency_samples"].mNumber, 96.0);
  EXPECT_NEAR(alpha["latency_mean_ms"].mNumber, 290.0 / 96.0, 1e-6);
  EXPECT_EQ(alpha["latency_max_ms"].mNumber, 4.0);
  const Json& beta = json["actors"].mArray[1];
  EXPECT_EQ(beta["name"].mString, "Beta");
  EXPECT_FALSE(beta["chosen"].mBool);
  EXPECT_EQ(beta["drops"]["wrong_actor"].mNumber, 10.0);
}

TEST(StreamHealthTest, HostileNamesStayPrintableAndJsonStaysValid) {
  StreamHealth health;
  const std::string list = kmq::EncodeFrame(
      kmq::MakeActorListMessage({{9, std::string("Bad\"\\\x1b[2J\xff\xc3\xa9", 12)}}),
      Compression::kPlain);
  health.OnBytes(1, kSocket, false, list.data(), static_cast<int>(list.size()));
  const double root[3] = {0, 0, 0};
  const std::string frame = Frame(9, root, 9, Compression::kPlain);
  health.OnBytes(2, kSocket, false, frame.data(), static_cast<int>(frame.size()));
  const StreamHealthReport report = health.Report();
  ASSERT_EQ(report.mActors.size(), 1u);
  EXPECT_EQ(report.mActors[0].mName, "Bad\"\\?[2J?\xc3\xa9");
  Json json;
  ASSERT_TRUE(JsonReader(health.SummaryJson()).ReadDocument(&json)) << health.SummaryJson();
  EXPECT_EQ(json["actors"].mArray[0]["name"].mString, "Bad\"\\?[2J?\xc3\xa9");
  EXPECT_EQ(health.StatusLine().find('\x1b'), std::string::npos);
}

TEST(StreamHealthTest, ThreadsFeedingAndReadingTogetherKeepExactCounts) {
  StreamHealth health;
  const std::string query = Query(1);
  const std::string header = Header(1, "Alpha");
  health.OnBytes(0, kSocket, true, query.data(), static_cast<int>(query.size()));
  health.OnBytes(1, kSocket, false, header.data(), static_cast<int>(header.size()));
  constexpr int kFrames = 500;
  std::atomic<bool> done{false};
  std::thread io([&health, &done] {
    for (int k = 0; k < kFrames; ++k) {
      double root[3];
      RootOf(k, root);
      const std::string frame = Frame(1, root, 9, Compression::kGzip);
      health.OnBytes(kStart + k * 10 * kMs, kSocket, false, frame.data(),
                     static_cast<int>(frame.size()));
    }
    done = true;
  });
  std::thread evaluation([&health, &done] {
    int64_t time = kStart;
    while (!done) {
      const double root[3] = {1, 101, -1};
      health.OnEvaluationServed(time, root);
      time += kMs;
    }
  });
  std::thread ui([&health, &done] {
    while (!done) {
      EXPECT_FALSE(health.StatusLine().empty());
      EXPECT_FALSE(health.SummaryJson().empty());
    }
  });
  io.join();
  evaluation.join();
  ui.join();
  const StreamHealthReport report = health.Report(kStart + (kFrames - 1) * 10 * kMs);
  ASSERT_EQ(report.mActors.size(), 1u);
  EXPECT_EQ(report.mActors[0].mReceived, static_cast<uint64_t>(kFrames));
  EXPECT_EQ(report.mActors[0].mApplied, static_cast<uint64_t>(kFrames));
  EXPECT_NEAR(report.mActors[0].mRateFps, 100.0, 1e-9);
}

}  // namespace

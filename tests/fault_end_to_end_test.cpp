// The real plug-in, loaded by the headless host, against the fault-injecting reference server in
// this process: one fault class per case for a few seconds, and the server stopped and started
// again while the device is online. No case may crash or hang the host, and every frame is
// accounted for: the frames the server sent equal the frames the plug-in dispatched (the samples
// its device acknowledged, one per frame its link took from the wire) plus the frames the fault
// removed; and after the faults, good frames still reach the bound skeleton. A connection the
// server cuts, or a server that stops and starts again, the device connects again by itself.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include "bvh.h"
#include "fault_injection.h"
#include "headless_host.h"
#include "host_options.h"
#include "motion_server.h"

namespace {

using kmq::ConnectionFrames;
using kmq::FaultOptions;
using kmq::HeadlessHost;
using Clock = std::chrono::steady_clock;

// Generous: only a hung plug-in or server gets near them.
constexpr double kWaitSeconds = 30;
constexpr std::chrono::milliseconds kServerDeadline(30000);

struct FaultCase {
  const char* mName;
  std::function<void(FaultOptions*)> mSet;
  // Whether the fault was really injected, from the server's counts.
  std::function<bool(const kmq::FaultCounts&)> mInjected;
  bool mHeader = true;  // the header reaches the plug-in, so frames can be applied
  // The user goes offline and online again when the link is skipping what a 2^31-1 length
  // announced (a connection the server cuts, the device connects again by itself).
  bool mReconnect = false;
  // The stream ends on the reader's grid, so the last good frames reach the skeleton.
  bool mEndsOnGrid = true;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.mName; }

ConnectionFrames Total(const kmq::Stats& stats) {
  ConnectionFrames total;
  for (const ConnectionFrames& frames : stats.mConnections) total.Add(frames);
  return total;
}

std::string Describe(const ConnectionFrames& f) {
  char line[320];
  std::snprintf(
      line, sizeof(line),
      "sent %llu (added %llu), on wire %llu (damaged %llu, phantom %llu), removed %llu "
      "(dropped %llu, withheld %llu, cut short %llu, unsent %llu, lost on wire %llu)",
      static_cast<unsigned long long>(f.mSent), static_cast<unsigned long long>(f.mAdded),
      static_cast<unsigned long long>(f.mOnWire), static_cast<unsigned long long>(f.mDamaged),
      static_cast<unsigned long long>(f.mPhantom), static_cast<unsigned long long>(f.Removed()),
      static_cast<unsigned long long>(f.mDropped), static_cast<unsigned long long>(f.mWithheld),
      static_cast<unsigned long long>(f.mCutShort), static_cast<unsigned long long>(f.mUnsent),
      static_cast<unsigned long long>(f.mLostOnWire));
  return line;
}

class FaultEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    std::string error;
    ASSERT_TRUE(
        bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh", &mWalk, &error))
        << error;
    kmq::HostOptions options = kmq::DefaultHostOptions();
    options.mQuiet = true;
    options.mTimeout = kWaitSeconds;
    mHost = std::make_unique<HeadlessHost>(options);
  }

  void TearDown() override {
    if (mHost) mHost->Release();
    mHost.reset();
    if (mServer) mServer->Stop();
    fbsdk_control::SetTraceEcho(true);
  }

  // A server playing the walk once (524 frames) at rate frames per second, with faults.
  void StartServer(const FaultOptions& faults, int port = 0, bool loop = false) {
    kmq::ServerOptions options;
    options.mPort = port;
    options.mQuiet = true;
    options.mStatusInterval = 0;
    options.mRate = 250;
    options.mLoop = loop;
    options.mFaults = faults;
    mServer = std::make_unique<kmq::MotionServer>(options);
    std::string error;
    ASSERT_TRUE(mServer->AddActor(1, "walk", mWalk, &error)) << error;
    ASSERT_TRUE(mServer->Start(&error)) << error;
  }

  // The user's side: plug-in, device and panel, the server's address typed in, online.
  void GoOnline() {
    std::string message;
    ASSERT_TRUE(mHost->LoadPlugin(mHost->Options().mPluginPath, &message)) << message;
    ASSERT_TRUE(mHost->CreateDevice(&message)) << message;
    ASSERT_TRUE(mHost->TypeAddress("127.0.0.1", &message)) << message;
    ASSERT_TRUE(mHost->TypePort(std::to_string(mServer->Port()), &message)) << message;
    ASSERT_TRUE(mHost->SetOnline(true, &message)) << message;
  }

  // Waits (firing idle events) until done holds; fails the test when it does not in time.
  void IdleUntil(const std::function<bool()>& done, const std::string& what) {
    ASSERT_EQ(mHost->IdleUntil(done, kWaitSeconds), HeadlessHost::WaitResult::kDone)
        << "timed out waiting for " << what;
  }

  // The panel picks the first actor of the list and asks for its header; the skeleton built from
  // it is bound, so that evaluation serves the decoded pose.
  void BindSkeleton() {
    IdleUntil([&] { return mHost->TemplateCount() > 0; }, "the skeleton templates");
    std::string message;
    ASSERT_TRUE(mHost->MakeSkeleton("", &message)) << message;
    ASSERT_TRUE(mHost->Bind(&message)) << message;
  }

  long Dispatched() const { return mHost->SamplesReceived() - mSamplesBefore; }

  // Waits until the plug-in has dispatched every frame on the wire; fails on a timeout, and at
  // once when it dispatched more.
  void ExpectAllDispatched(const std::string& when) {
    Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(kWaitSeconds));
    uint64_t onWire = 0;
    while (Clock::now() < until) {
      onWire = Total(mServer->GetStats()).mOnWire;
      ASSERT_LE(static_cast<uint64_t>(Dispatched()), onWire) << when;
      if (static_cast<uint64_t>(Dispatched()) == onWire) return;
      mHost->IdleUntil([] { return false; }, 0.01);
    }
    FAIL() << when << ": dispatched " << Dispatched() << " of " << onWire << " frames on the wire";
  }

  // The connection that is open now, if any.
  static const ConnectionFrames* OpenConnection(const kmq::Stats& stats) {
    for (const ConnectionFrames& frames : stats.mConnections) {
      if (frames.mOpen) return &frames;
    }
    return nullptr;
  }

  // Offline and online again, once the plug-in has read everything it was sent.
  void Reconnect() {
    ExpectAllDispatched("before going offline");
    if (HasFatalFailure()) return;
    const uint64_t connections = mServer->GetStats().mTotalConnections;
    std::string message;
    ASSERT_TRUE(mHost->SetOnline(false, &message)) << message;
    ASSERT_TRUE(mHost->SetOnline(true, &message)) << message;
    ++mReconnects;
    ASSERT_TRUE(mServer->WaitForStats(
        [connections](const kmq::Stats& s) {
          return s.mTotalConnections > connections && OpenConnection(s) != nullptr;
        },
        kServerDeadline))
        << "the server never saw the new connection";
  }

  // The evaluation serves a pose equal to a frame the link applied, after now.
  void ExpectGoodFrameServed(const std::string& when) {
    const uint64_t before = mHost->Health().Report(HeadlessHost::NowUs()).mEvaluationsMatched;
    IdleUntil(
        [&] { return mHost->Health().Report(HeadlessHost::NowUs()).mEvaluationsMatched > before; },
        when + ": an evaluation serving a frame the link applied");
  }

  bvh::Clip mWalk;
  std::unique_ptr<kmq::MotionServer> mServer;
  std::unique_ptr<HeadlessHost> mHost;
  long mSamplesBefore = 0;
  int mReconnects = 0;
};

class FaultEndToEndCase : public FaultEndToEnd, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultEndToEndCase, EveryFrameIsAccountedForAndGoodFramesStillDecode) {
  const FaultCase& fault = GetParam();
  FaultOptions faults;
  faults.mSeed = 7;
  fault.mSet(&faults);
  std::string error;
  ASSERT_TRUE(faults.Validate(&error)) << error;
  ASSERT_NO_FATAL_FAILURE(StartServer(faults));
  ASSERT_NO_FATAL_FAILURE(GoOnline());
  IdleUntil([&] { return !mHost->Actors().empty(); }, "the actor list");
  if (fault.mHeader) {
    ASSERT_NO_FATAL_FAILURE(BindSkeleton());
  }

  // The clip plays once; the user reconnects where the fault calls for it, the device wherever the
  // server cuts the connection.
  const Clock::time_point until = Clock::now() + kServerDeadline;
  for (;;) {
    const kmq::Stats stats = mServer->GetStats();
    if (stats.mPlaybackFinished) break;
    ASSERT_LT(Clock::now(), until) << "the clip did not finish playing";
    const ConnectionFrames* open = OpenConnection(stats);
    // After a 2^31-1 length the link skips everything the connection brings.
    const bool skipping =
        open != nullptr && open->mLostOnWire > 0 && faults.mBadLengthKinds == (1u << 3);
    if (fault.mReconnect && skipping) {
      ASSERT_NO_FATAL_FAILURE(Reconnect());
    } else {
      mHost->IdleUntil([] { return false; }, 0.02);
    }
  }
  ASSERT_NO_FATAL_FAILURE(ExpectAllDispatched("after the clip"));

  const kmq::Stats stats = mServer->GetStats();
  EXPECT_TRUE(fault.mInjected(stats.mFaults)) << "the fault was never injected";
  for (const ConnectionFrames& frames : stats.mConnections) {
    EXPECT_TRUE(frames.Balanced())
        << "connection " << frames.mConnection << ": " << Describe(frames);
  }
  const ConnectionFrames total = Total(stats);
  EXPECT_EQ(total.mSent + total.mPhantom, static_cast<uint64_t>(Dispatched()) + total.Removed())
      << Describe(total);
  // The health tap, which cuts the wire by the same rules, counted the same frames.
  const kmq::StreamHealthReport report = mHost->Health().Report(HeadlessHost::NowUs());
  EXPECT_EQ(report.mFramesIn, static_cast<uint64_t>(Dispatched()));
  uint64_t applied = 0;
  for (const kmq::ActorHealth& actor : report.mActors)
    applied += actor.mChosen ? actor.mApplied : 0;
  if (fault.mHeader) {
    EXPECT_GT(applied, 0u);
    if (fault.mEndsOnGrid) ExpectGoodFrameServed("after the clip");
  } else {
    EXPECT_EQ(applied, 0u);
  }
  std::printf("[ figures  ] %s: %zu connection(s), %d reconnect(s), dispatched %ld, %s\n",
              fault.mName, stats.mConnections.size(), mReconnects, Dispatched(),
              Describe(total).c_str());
}

const FaultCase kCases[] = {
    {"drops", [](FaultOptions* f) { f->mDropRate = 0.05; },
     [](const kmq::FaultCounts& c) { return c.mDropped > 0; }},
    {"jitter", [](FaultOptions* f) { f->mJitterMs = 8; },
     [](const kmq::FaultCounts& c) { return c.mJittered > 0; }},
    {"bursts", [](FaultOptions* f) { f->mBurst = 16; },
     [](const kmq::FaultCounts& c) { return c.mBursts > 0; }},
    {"stall",
     [](FaultOptions* f) {
       f->mStallAfter = 100;
       f->mStallMs = 700;
     },
     [](const kmq::FaultCounts& c) { return c.mStalls > 0; }},
    {"cuts", [](FaultOptions* f) { f->mCutAfter = 150; },
     [](const kmq::FaultCounts& c) { return c.mCuts >= 3; }},
    {"cuts_mid_frame",
     [](FaultOptions* f) {
       f->mCutAfter = 150;
       f->mCutMidFrame = true;
     },
     [](const kmq::FaultCounts& c) { return c.mCuts >= 3; }},
    {"split_writes", [](FaultOptions* f) { f->mSplitWrites = true; },
     [](const kmq::FaultCounts& c) { return c.mSplitPieces > 0; }},
    {"stray_bytes", [](FaultOptions* f) { f->mStrayRate = 0.05; },
     [](const kmq::FaultCounts& c) { return c.mStrayRuns > 0; }},
    {"unaligned_stray_bytes",
     [](FaultOptions* f) {
       f->mStrayRate = 0.02;
       f->mStrayUnaligned = true;
     },
     [](const kmq::FaultCounts& c) { return c.mStrayRuns > 0; }, true, false, false},
    {"false_markers", [](FaultOptions* f) { f->mFalseMarkerRate = 0.05; },
     [](const kmq::FaultCounts& c) { return c.mFalseMarkers > 0; }},
    {"corrupt_payloads", [](FaultOptions* f) { f->mCorruptRate = 0.05; },
     [](const kmq::FaultCounts& c) { return c.mCorrupted > 0; }},
    {"truncated_payloads", [](FaultOptions* f) { f->mTruncateRate = 0.05; },
     [](const kmq::FaultCounts& c) { return c.mTruncated > 0; }},
    {"bad_lengths",
     [](FaultOptions* f) {
       f->mBadLengthRate = 0.03;
       f->mBadLengthKinds = 0x7;  // zero, negative, just above the buffer
     },
     [](const kmq::FaultCounts& c) { return c.mBadLengths > 0; }},
    {"largest_length",
     [](FaultOptions* f) {
       f->mBadLengthRate = 0.01;
       f->mBadLengthKinds = 0x8;  // 2^31-1: the link skips everything after it
     },
     [](const kmq::FaultCounts& c) { return c.mBadLengths > 0; }, true, true, false},
    {"undeclared_enums", [](FaultOptions* f) { f->mBadEnumRate = 0.05; },
     [](const kmq::FaultCounts& c) { return c.mBadEnums > 0; }},
    {"deep_nesting", [](FaultOptions* f) { f->mDeepNesting = true; },
     [](const kmq::FaultCounts& c) { return c.mDeepHeaders > 0; }},
    {"changing_skeleton", [](FaultOptions* f) { f->mChangeSkeletonAfter = 200; },
     [](const kmq::FaultCounts& c) { return c.mSkeletonChanges > 0; }},
    {"late_header", [](FaultOptions* f) { f->mHeaderDelayMs = 600; },
     [](const kmq::FaultCounts& c) { return c.mHeadersDelayed > 0; }},
    {"missing_header", [](FaultOptions* f) { f->mNoHeader = true; },
     [](const kmq::FaultCounts& c) { return c.mHeadersWithheld > 0; }, false},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultEndToEndCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& param) {
                           return std::string(param.param.mName);
                         });

// The server goes away while the device is online and comes back on the same port 2 s later;
// nobody touches the panel, and the stream goes on: the device connects again by itself, keeps
// its actor, asks for its header again and says meanwhile what it is doing.
TEST_F(FaultEndToEnd, ServerStoppedAndRestartedWhileOnline) {
  ASSERT_NO_FATAL_FAILURE(StartServer(FaultOptions(), 0, true));
  const int port = mServer->Port();
  ASSERT_NO_FATAL_FAILURE(GoOnline());
  IdleUntil([&] { return !mHost->Actors().empty(); }, "the actor list");
  ASSERT_NO_FATAL_FAILURE(BindSkeleton());
  IdleUntil([&] { return Dispatched() >= 200; }, "200 frames");

  const size_t lossesBefore = fbsdk_control::CountTraces("Connection to the server lost.");
  const size_t boxesBefore = HeadlessHost::BoxCount();
  mServer->Stop();
  ASSERT_NO_FATAL_FAILURE(ExpectAllDispatched("after the server stopped"));
  ConnectionFrames first = Total(mServer->GetStats());
  EXPECT_TRUE(first.Balanced()) << Describe(first);
  EXPECT_EQ(first.mSent, static_cast<uint64_t>(Dispatched()) + first.Removed()) << Describe(first);
  // Online with nobody there: the device reads nothing, says so and keeps trying, quietly.
  IdleUntil([&] { return mHost->DeviceStatus() == "Reconnecting"; }, "the Reconnecting status");
  mHost->IdleUntil([] { return false; }, 2.0);
  EXPECT_EQ(static_cast<uint64_t>(Dispatched()), first.mOnWire);
  EXPECT_TRUE(mHost->IsOnline());
  EXPECT_EQ(fbsdk_control::CountTraces("Connection to the server lost."), lossesBefore + 1);
  EXPECT_EQ(HeadlessHost::BoxCount(), boxesBefore);
  const std::string waiting = mHost->DeviceInformation();
  EXPECT_TRUE(waiting.rfind("connection lost, retrying in ", 0) == 0 ||
              waiting.rfind("server unreachable, retrying in ", 0) == 0 ||
              waiting.rfind("connecting to 127.0.0.1:", 0) == 0)
      << waiting;

  mSamplesBefore = mHost->SamplesReceived();
  ASSERT_NO_FATAL_FAILURE(StartServer(FaultOptions(), port, false));
  const Clock::time_point restarted = Clock::now();
  IdleUntil([&] { return Dispatched() > 0; }, "frames after the restart");
  std::printf("[ figures  ] restart: first frame %.2f s after the server came back\n",
              std::chrono::duration<double>(Clock::now() - restarted).count());
  // The server streams to a new connection at once; the query may reach it after the first
  // frames, so it is waited for here and counted once more at the end.
  IdleUntil([&] { return mServer->GetStats().mHeaderQueries >= 1; }, "the header query");
  IdleUntil([&] { return mHost->DeviceInformation().find(" fps") != std::string::npos; },
            "the frame rate in Information");
  EXPECT_EQ(mHost->DeviceStatus(), "Online");
  EXPECT_EQ(mHost->DeviceInformation().rfind("walk, ", 0), 0u) << mHost->DeviceInformation();
  const Clock::time_point until = Clock::now() + kServerDeadline;
  while (!mServer->GetStats().mPlaybackFinished) {
    ASSERT_LT(Clock::now(), until) << "the clip did not finish playing";
    mHost->IdleUntil([] { return false; }, 0.02);
  }
  ASSERT_NO_FATAL_FAILURE(ExpectAllDispatched("after the restart"));
  const ConnectionFrames second = Total(mServer->GetStats());
  EXPECT_TRUE(second.Balanced()) << Describe(second);
  EXPECT_EQ(second.Removed(), 0u) << Describe(second);
  ExpectGoodFrameServed("after the restart");
  EXPECT_EQ(mServer->GetStats().mHeaderQueries, 1u);
  std::printf("[ figures  ] restart: before the stop %s; after the restart dispatched %ld, %s\n",
              Describe(first).c_str(), Dispatched(), Describe(second).c_str());
}

}  // namespace

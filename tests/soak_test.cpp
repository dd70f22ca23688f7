// Soak: the reference server streams three actors at 1000 frames per second to the real plug-in,
// loaded by the headless host, while the user rebuilds the skeleton, toggles the T-pose, switches
// actors, goes offline and online and restarts the server at random (seeded) times. Every
// connection's frames are accounted for, and resident memory at the end stays within 5% of what it
// was early on. Runs only when KMQ_SOAK_SECONDS is set (its length in seconds); KMQ_SOAK_SEED picks
// the user's moves (default 1), KMQ_SOAK_MOVES keeps to some of them (digits: 0 rebuild, 1 T-pose,
// 2 actor, 3 offline while streaming, 4 offline when quiet, 5 server restart). CTest runs it under
// the label "soak".
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
using kmq::HeadlessHost;
using Clock = std::chrono::steady_clock;

// Generous: only a hung plug-in or server gets near it.
constexpr double kWaitSeconds = 30;
constexpr std::chrono::milliseconds kServerDeadline(30000);

long ResidentKib() {
  std::FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(file);
  return kib;
}

// What the process's heap holds in blocks in use (small and mapped), as the allocator counts it:
// resident memory that this does not explain is the allocator's, kept for reuse.
long HeapInUseKib() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

long Median(std::vector<long> values) {
  if (values.empty()) return -1;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

const ConnectionFrames* OpenConnection(const kmq::Stats& stats) {
  for (const ConnectionFrames& frames : stats.mConnections) {
    if (frames.mOpen) return &frames;
  }
  return nullptr;
}

// One connection as the user side saw it: the server's number for it and the frames the device
// acknowledged while it was open.
struct UserConnection {
  uint64_t mId = 0;
  long mDispatched = 0;
  bool mQuiet = false;  // playback was paused and everything read before going offline
};

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* seconds = std::getenv("KMQ_SOAK_SECONDS");
    if (seconds == nullptr || std::atof(seconds) <= 0) {
      GTEST_SKIP() << "set KMQ_SOAK_SECONDS to the soak's length in seconds";
    }
    mSeconds = std::atof(seconds);
    // The reference server runs in this process and is restarted with its clips (blocks of up to
    // megabytes). The C library would raise its threshold for giving such blocks back to the
    // system after the first is freed, and from then on keep megabytes of them resident that
    // nothing uses: memory of the allocator's, not of the plug-in. Fixed at its first value, a
    // large block freed is returned, and resident memory follows what is held.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const char* seed = std::getenv("KMQ_SOAK_SEED");
    mRandom = kmq::FaultRandom(seed != nullptr ? std::strtoull(seed, nullptr, 10) : 1);
    fbsdk_control::SetTraceEcho(false);
    fbsdk_control::SetMessageBoxHandler([](const fbsdk_control::MessageBoxRecord&) { return 1; });
  }

  void TearDown() override {
    if (mHost) mHost->Release();
    mHost.reset();
    if (mServer) mServer->Stop();
    fbsdk_control::SetTraceEcho(true);
    fbsdk_control::ResetHost();
  }

  void IdleFor(double seconds) {
    mHost->IdleUntil([] { return false; }, seconds);
  }

  // The reference server with the three actors at 1000 Hz, on port (0: a free one).
  void StartServer(int port) {
    kmq::ServerOptions options;
    options.mPort = port;
    options.mQuiet = true;
    options.mStatusInterval = 0;
    options.mRate = 1000;
    mServer = std::make_unique<kmq::MotionServer>(options);
    std::string error;
    uint32_t tag = 1;
    for (const char* name : {"cmu_12_01_walk", "cmu_01_01", "makehuman_walk1"}) {
      bvh::Clip clip;
      ASSERT_TRUE(
          bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/" + name + ".bvh", &clip, &error))
          << error;
      ASSERT_TRUE(mServer->AddActor(tag++, name, std::move(clip), &error)) << error;
    }
    ASSERT_TRUE(mServer->Start(&error)) << error;
  }

  // The server stops once everything sent was read, and a new one starts on the same port; the
  // device, still online, connects to it by itself.
  void RestartServer() {
    ASSERT_NO_FATAL_FAILURE(Quiesce());
    const int port = mServer->Port();
    mServer->Stop();
    ASSERT_NO_FATAL_FAILURE(RecordClosed());
    mOnlineSamples = mHost->SamplesReceived();
    ASSERT_NO_FATAL_FAILURE(StartServer(port));
    // The device reconnects on the user-interface thread's idle ticks.
    ASSERT_EQ(mHost->IdleUntil([&] { return OpenConnection(mServer->GetStats()) != nullptr; },
                               kWaitSeconds),
              HeadlessHost::WaitResult::kDone)
        << "the device never connected to the restarted server";
    ASSERT_NO_FATAL_FAILURE(AwaitConnection(0));
  }

  // The server's open connection once it has seen the device connect.
  void AwaitConnection(uint64_t after) {
    ASSERT_TRUE(mServer->WaitForStats(
        [after](const kmq::Stats& s) {
          const ConnectionFrames* open = OpenConnection(s);
          return open != nullptr && open->mConnection > after;
        },
        kServerDeadline))
        << "the server never saw the device connect";
    mCurrent = UserConnection();
    const kmq::Stats stats = mServer->GetStats();
    const ConnectionFrames* open = OpenConnection(stats);
    ASSERT_NE(open, nullptr);
    mCurrent.mId = open->mConnection;
  }

  // Pauses playback and waits until the device has dispatched every frame on the wire.
  void Quiesce() {
    mServer->SetPaused(true);
    ASSERT_TRUE(
        mServer->WaitForStats([](const kmq::Stats& s) { return s.mPaused; }, kServerDeadline));
    const Clock::time_point until = Clock::now() + kServerDeadline;
    for (;;) {
      const kmq::Stats stats = mServer->GetStats();
      const ConnectionFrames* open = OpenConnection(stats);
      ASSERT_NE(open, nullptr);
      const long dispatched = mHost->SamplesReceived() - mOnlineSamples;
      ASSERT_LE(static_cast<uint64_t>(dispatched), open->mOnWire);
      if (static_cast<uint64_t>(dispatched) == open->mOnWire) break;
      ASSERT_LT(Clock::now(), until)
          << "dispatched " << dispatched << " of " << open->mOnWire << " on connection "
          << open->mConnection << " (" << mCurrent.mId << "), online " << mHost->IsOnline()
          << "; server wrote " << open->mBytesWritten << " bytes; the tap saw "
          << mHost->Health().Report().mFramesIn << " frames, " << mHost->Health().Report().mBytesIn
          << " bytes in all, the device acknowledged " << mHost->SamplesReceived()
          << " in all; last move " << mLastMove;
      IdleFor(0.01);
    }
    mCurrent.mQuiet = true;
  }

  void GoOffline() {
    std::string message;
    ASSERT_TRUE(mHost->SetOnline(false, &message)) << message;
    ASSERT_NO_FATAL_FAILURE(RecordClosed());
  }

  // What the device acknowledged on the current connection, and the server's record of it, final
  // once the server has seen it close.
  void RecordClosed() {
    mCurrent.mDispatched = mHost->SamplesReceived() - mOnlineSamples;
    mConnections.push_back(mCurrent);
    const uint64_t id = mCurrent.mId;
    ConnectionFrames closed;
    ASSERT_TRUE(mServer->WaitForStats(
        [id, &closed](const kmq::Stats& s) {
          for (const ConnectionFrames& frames : s.mConnections) {
            if (frames.mConnection == id && !frames.mOpen) {
              closed = frames;
              return true;
            }
          }
          return false;
        },
        kServerDeadline))
        << "the server never saw connection " << id << " close";
    mClosed.push_back(closed);
  }

  void GoOnline() {
    std::string message;
    const uint64_t last = mCurrent.mId;
    // Offline, the device reads nothing: what it acknowledges from here on is this connection's.
    mOnlineSamples = mHost->SamplesReceived();
    ASSERT_TRUE(mHost->SetOnline(true, &message)) << message;
    ASSERT_NO_FATAL_FAILURE(AwaitConnection(last));
  }

  double mSeconds = 0;
  kmq::FaultRandom mRandom{1};
  std::unique_ptr<kmq::MotionServer> mServer;
  std::unique_ptr<HeadlessHost> mHost;
  UserConnection mCurrent;
  long mOnlineSamples = 0;
  int mLastMove = -1;
  std::vector<UserConnection> mConnections;
  std::vector<ConnectionFrames> mClosed;  // the server's records, in the same order
};

TEST_F(Soak, ThreeActorsAtOneKilohertzWhileTheUserWorksThePanel) {
  ASSERT_NO_FATAL_FAILURE(StartServer(0));

  kmq::HostOptions hostOptions = kmq::DefaultHostOptions();
  hostOptions.mQuiet = true;
  hostOptions.mTimeout = kWaitSeconds;
  mHost = std::make_unique<HeadlessHost>(hostOptions);
  std::string message;
  ASSERT_TRUE(mHost->LoadPlugin(hostOptions.mPluginPath, &message)) << message;
  ASSERT_TRUE(mHost->CreateDevice(&message)) << message;
  ASSERT_TRUE(mHost->TypeAddress("127.0.0.1", &message)) << message;
  ASSERT_TRUE(mHost->TypePort(std::to_string(mServer->Port()), &message)) << message;
  mOnlineSamples = mHost->SamplesReceived();
  ASSERT_TRUE(mHost->SetOnline(true, &message)) << message;
  ASSERT_NO_FATAL_FAILURE(AwaitConnection(0));
  ASSERT_EQ(mHost->IdleUntil([&] { return mHost->Actors().size() == 3; }, kWaitSeconds),
            HeadlessHost::WaitResult::kDone);
  ASSERT_EQ(mHost->IdleUntil([&] { return mHost->TemplateCount() > 0; }, kWaitSeconds),
            HeadlessHost::WaitResult::kDone);
  ASSERT_TRUE(mHost->MakeSkeleton("", &message)) << message;
  ASSERT_TRUE(mHost->Bind(&message)) << message;

  const Clock::time_point start = Clock::now();
  // Resident memory is read after every move. The first moves are one of each kind, so that every
  // path, thread and allocator arena the soak uses has been used before memory is compared. Early
  // memory is the median of the readings in the minute after them (a third of a shorter run),
  // memory at the end the median of the last minute's and the reading after the last move: one
  // reading taken while a move's memory is still held says nothing of growth.
  const double window = std::min(60.0, mSeconds / 3);
  std::vector<long> early;
  std::vector<long> late;
  std::vector<long> earlyHeap;
  std::vector<long> lateHeap;
  int warmUp = 0;        // moves of each kind made so far, one by one
  double warmedAt = -1;  // when the last of them ended
  int moves[6] = {0, 0, 0, 0, 0, 0};
  std::vector<long> residents;  // every 30 s
  const char* only = std::getenv("KMQ_SOAK_MOVES");
  std::string allowed;
  for (const char* c = only; c != nullptr && *c != '\0'; ++c) {
    if (*c >= '0' && *c <= '5') allowed.push_back(*c);
  }
  while (SecondsSince(start) < mSeconds) {
    IdleFor(0.2 + static_cast<double>(mRandom.Below(1800)) / 1000.0);
    const double now = SecondsSince(start);
    if (warmUp == 6 && warmedAt < 0) warmedAt = now;
    if (warmedAt >= 0 && now <= warmedAt + window) {
      early.push_back(ResidentKib());
      earlyHeap.push_back(HeapInUseKib());
    }
    if (now >= mSeconds - window) {
      late.push_back(ResidentKib());
      lateHeap.push_back(HeapInUseKib());
      lateHeap.push_back(HeapInUseKib());
    }
    if (SecondsSince(start) >= 30.0 * static_cast<double>(residents.size() + 1)) {
      residents.push_back(ResidentKib());
    }
    int move = warmUp < 6 ? warmUp++ : static_cast<int>(mRandom.Below(6));
    // KMQ_SOAK_MOVES (digits 0 to 5) keeps the soak to some moves, to find what one costs.
    if (!allowed.empty()) move = allowed[static_cast<size_t>(move) % allowed.size()] - '0';
    ++moves[move];
    mLastMove = move;
    switch (move) {
      case 0:
        ASSERT_TRUE(mHost->Click(kmq::PanelButton::kRebuildSkeleton, &message)) << message;
        break;
      case 1: {
        bool clicked = false;
        ASSERT_TRUE(mHost->SetTPose(!mHost->TPoseChecked(), &clicked, &message)) << message;
        break;
      }
      case 2: {
        const auto actors = mHost->Actors();
        if (!actors.empty()) {
          const int index = static_cast<int>(mRandom.Below(actors.size()));
          // Choosing the item already shown is refused; that is no fault.
          mHost->ChooseActor(index, &message);
        }
        break;
      }
      case 3:  // offline while frames stream in
        ASSERT_NO_FATAL_FAILURE(GoOffline());
        ASSERT_NO_FATAL_FAILURE(GoOnline());
        break;
      case 4:  // offline once everything sent was read
        ASSERT_NO_FATAL_FAILURE(Quiesce());
        ASSERT_NO_FATAL_FAILURE(GoOffline());
        mServer->SetPaused(false);
        ASSERT_NO_FATAL_FAILURE(GoOnline());
        break;
      case 5:
        ASSERT_NO_FATAL_FAILURE(RestartServer());
        break;
    }
  }
  ASSERT_NO_FATAL_FAILURE(Quiesce());
  late.push_back(ResidentKib());
  const long referenceKib = Median(early);
  const long endKib = Median(late);
  const size_t traces = fbsdk_control::TracesSeen().size();
  const size_t boxes = fbsdk_control::MessageBoxesShown().size();
  ASSERT_NO_FATAL_FAILURE(GoOffline());

  ConnectionFrames total;
  uint64_t dispatched = 0;
  uint64_t discardedOffline = 0;  // read by nobody: in the socket buffers when the device went
                                  // offline while frames streamed in
  ASSERT_EQ(mClosed.size(), mConnections.size());
  for (size_t i = 0; i < mConnections.size(); ++i) {
    const UserConnection& user = mConnections[i];
    const ConnectionFrames& server = mClosed[i];
    SCOPED_TRACE("connection " + std::to_string(user.mId));
    EXPECT_TRUE(server.Balanced());
    EXPECT_EQ(server.Removed() - server.mUnsent, 0u);  // no fault removes anything
    EXPECT_EQ(server.mPhantom, 0u);
    if (user.mQuiet) {
      EXPECT_EQ(static_cast<uint64_t>(user.mDispatched), server.mOnWire);
    } else {
      EXPECT_LE(static_cast<uint64_t>(user.mDispatched), server.mOnWire);
    }
    if (static_cast<uint64_t>(user.mDispatched) <= server.mOnWire) {
      discardedOffline += server.mOnWire - static_cast<uint64_t>(user.mDispatched);
    }
    total.Add(server);
    dispatched += static_cast<uint64_t>(user.mDispatched);
  }
  EXPECT_EQ(total.mSent, dispatched + discardedOffline + total.mUnsent);
  std::string trend;
  for (long kib : residents) trend += " " + std::to_string(kib);
  std::printf("[ figures  ] resident KiB every 30 s:%s\n", trend.c_str());
  std::printf(
      "[ figures  ] heap in use: %ld KiB (median after the first moves), %ld KiB at the end\n",
      Median(earlyHeap), Median(lateHeap));
  ASSERT_GT(referenceKib, 0) << "the run ended before memory was read after its first moves";
  EXPECT_LE(endKib, referenceKib + referenceKib / 20)
      << "resident memory grew from " << referenceKib << " KiB to " << endKib << " KiB";
  std::printf(
      "[ figures  ] soak %.0f s: %zu connections, moves: %d rebuilds, %d T-pose toggles, %d actor "
      "choices, %d offline while streaming, %d offline when quiet, %d server restarts; sent %llu, "
      "dispatched %llu, "
      "discarded at offline %llu, unsent at offline %llu; resident %ld KiB (median of %zu readings "
      "in the %.0f s after %.0f s, %ld to %ld), %ld KiB at the end (median of %zu readings in the "
      "last "
      "%.0f s, %ld to %ld; %+.2f%%); %zu traces, %zu message boxes, %d templates\n",
      SecondsSince(start), mConnections.size(), moves[0], moves[1], moves[2], moves[3], moves[4],
      moves[5], static_cast<unsigned long long>(total.mSent),
      static_cast<unsigned long long>(dispatched),
      static_cast<unsigned long long>(discardedOffline),
      static_cast<unsigned long long>(total.mUnsent), referenceKib, early.size(), window, warmedAt,
      *std::min_element(early.begin(), early.end()), *std::max_element(early.begin(), early.end()),
      endKib, late.size(), window, *std::min_element(late.begin(), late.end()),
      *std::max_element(late.begin(), late.end()),
      100.0 * static_cast<double>(endKib - referenceKib) / static_cast<double>(referenceKib),
      traces, boxes, mHost->TemplateCount());
}

}  // namespace

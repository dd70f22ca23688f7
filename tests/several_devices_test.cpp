// Several devices in one headless host (HostSession with HostOptions::mDevices): each device,
// bound to its own actor of one reference server, records that actor's frames, none lost or
// misplaced, and writes its own take; and the --devices option.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>

#include "bvh.h"
#include "headless_host.h"
#include "host_options.h"
#include "host_session.h"

namespace {

using kmq::HostOptions;
using kmq::HostSession;
using kmq::ServedActor;

// Root X translation of actor tag's frame row: names both.
constexpr double kTagStride = 100000;

// The walk capture with the root's X translation set to tag * kTagStride + row.
bool TaggedWalk(uint32_t tag, bvh::Clip* clip) {
  std::string error;
  if (!bvh::ParseBvhFile(kmq::DefaultHostOptions().mBvhPath, clip, &error)) return false;
  const std::vector<int>& channels = clip->mRoot.mChannels;
  const auto x = std::find(channels.begin(), channels.end(), bvh::kXposition);
  if (x == channels.end()) return false;
  const size_t stride = static_cast<size_t>(clip->mChannelCount);
  for (size_t row = 0; row < static_cast<size_t>(clip->mFrameCount); ++row) {
    clip->mValues[row * stride + static_cast<size_t>(x - channels.begin())] =
        static_cast<float>(tag * kTagStride + static_cast<double>(row));
  }
  return true;
}

class SeveralDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    fbsdk_control::SetMessageBoxHandler([](const fbsdk_control::MessageBoxRecord&) { return 1; });
    mOptions = kmq::DefaultHostOptions();
    mOptions.mQuiet = true;
    mOptions.mTimeout = 20;
    // Evaluations far outpace the frames of every actor together, so that the device's gate is
    // open for each frame and every frame is keyed.
    mOptions.mDisplayRate = 250;
  }

  // The server of session streaming count tagged actors at rate frames a second.
  bool Serve(HostSession* session, int count, double rate) {
    std::vector<ServedActor> actors;
    for (int tag = 1; tag <= count; ++tag) {
      ServedActor actor;
      actor.mName = "walker" + std::to_string(tag);
      if (!TaggedWalk(static_cast<uint32_t>(tag), &actor.mClip)) return false;
      actors.push_back(std::move(actor));
    }
    kmq::ServerOptions server;
    server.mRate = rate;
    return session->ServeActors(server, std::move(actors));
  }

  HostOptions mOptions;
  kmq::SessionResult mResult;
  fbsdk_control::ScopedHostCapture mCapture;
};

TEST_F(SeveralDevicesTest, EachDeviceRecordsItsOwnActorsFramesNoneLost) {
  constexpr int kDevices = 3;
  mOptions.mDevices = kDevices;
  HostSession session(mOptions, &mResult);
  ASSERT_TRUE(Serve(&session, kDevices, 10));
  ASSERT_TRUE(session.Connect()) << mResult.mMessage;
  kmq::HeadlessHost& host = session.Host();
  ASSERT_EQ(host.DeviceCount(), kDevices);
  kmq::RecordStats stats;
  std::string message;
  ASSERT_TRUE(host.Record(2.0, nullptr, &stats, &message)) << message;
  host.StopRealTimeThreads();
  // The devices of one host share their connection to the server.
  EXPECT_EQ(host.ServerStats().mTotalConnections, 1u);
  for (int i = 0; i < kDevices; ++i) {
    SCOPED_TRACE("device " + std::to_string(i + 1));
    ASSERT_TRUE(host.UseDevice(i));
    EXPECT_GT(host.TemplateCount(), 0);
    const auto keys =
        fbsdk_control::RecordedKeys(host.RootJoint(), ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
    // A frame of another actor keys the device's pose again; each frame of its own actor moves
    // it on by one row.
    std::vector<long> rows;
    for (const auto& key : keys) {
      const long value = std::lround(key.mValue[0]);
      EXPECT_EQ(value / static_cast<long>(kTagStride), i + 1) << "a frame of another actor";
      const long row = value % static_cast<long>(kTagStride);
      if (rows.empty() || rows.back() != row) rows.push_back(row);
    }
    ASSERT_GE(rows.size(), 5u);
    for (size_t k = 1; k < rows.size(); ++k) {
      EXPECT_EQ(rows[k], rows[k - 1] + 1) << "frames lost between keys " << k - 1 << " and " << k;
    }
  }
}

TEST_F(SeveralDevicesTest, MoreDevicesThanActorsIsRefused) {
  mOptions.mDevices = 3;
  HostSession session(mOptions, &mResult);
  EXPECT_FALSE(Serve(&session, 2, 30));
  EXPECT_EQ(mResult.mMessage, "the server streams 2 actors, not enough for 3 devices");
  EXPECT_FALSE(session.Host().HasDevice());
}

TEST_F(SeveralDevicesTest, EveryDeviceWritesItsOwnTakeNamedFromTheOutPath) {
  const std::string dir = ::testing::TempDir();
  mOptions.mDevices = 2;
  mOptions.mSeconds = 1;
  mOptions.mContactSheet = false;
  mOptions.mOutPath = dir + "/walk.bvh";
  ASSERT_TRUE(kmq::RunHeadlessSession(mOptions, &mResult)) << mResult.mMessage;
  ASSERT_EQ(mResult.mOtherDevices.size(), 1u);
  const kmq::DeviceOutcome* devices[] = {&mResult, &mResult.mOtherDevices[0]};
  for (int i = 0; i < 2; ++i) {
    const std::string path = dir + "/walk-" + std::to_string(i + 1) + ".bvh";
    EXPECT_EQ(devices[i]->mOutPath, path);
    EXPECT_EQ(devices[i]->mActorName, "cmu_12_01_walk-" + std::to_string(i + 1));
    EXPECT_GT(devices[i]->mTake.mFrames, 0);
    bvh::Clip clip;
    std::string error;
    EXPECT_TRUE(bvh::ParseBvhFile(path, &clip, &error)) << error;
    EXPECT_EQ(clip.mFrameCount, devices[i]->mTake.mFrames);
    std::remove(path.c_str());
  }
}

TEST(TakePathForTest, OneDeviceKeepsTheNameMoreNumberTheStem) {
  const struct {
    const char* out;
    int index;
    int count;
    const char* take;
  } cases[] = {
      {"take.bvh", 0, 1, "take.bvh"},
      {"take.bvh", 0, 2, "take-1.bvh"},
      {"takes/walk.bvh", 2, 3, "takes/walk-3.bvh"},
      {"v1.2/take", 1, 2, "v1.2/take-2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kmq::TakePathFor(c.out, c.index, c.count), c.take) << c.out << " " << c.index;
  }
}

TEST(SeveralDevicesOptionsTest, DevicesOptionIsCheckedAndGoesWithTheOneShotJob) {
  HostOptions options = kmq::DefaultHostOptions();
  bool help = false;
  std::string error;
  EXPECT_EQ(options.mDevices, 1);
  ASSERT_TRUE(kmq::ParseHostOptions({"--devices", "8"}, &options, &help, &error)) << error;
  EXPECT_EQ(options.mDevices, 8);
  for (const char* bad : {"0", "33", "2x", ""}) {
    HostOptions other = kmq::DefaultHostOptions();
    EXPECT_FALSE(kmq::ParseHostOptions({"--devices", bad}, &other, &help, &error)) << bad;
    EXPECT_EQ(error, "--devices wants a whole number from 1 to 32");
  }
  HostOptions other = kmq::DefaultHostOptions();
  EXPECT_FALSE(kmq::ParseHostOptions({"--devices", "2", "--server", "127.0.0.1:7005"}, &other,
                                     &help, &error));
  EXPECT_EQ(error, "--devices goes with the one-shot job and the in-process server");
}

}  // namespace

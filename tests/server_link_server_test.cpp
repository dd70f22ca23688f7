// The link against the reference motion server streaming real captures: actor list, header query,
// and every decoded frame equal to a frame of the capture, whatever its channel orders.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include "bvh.h"
#include "kovrim_texts.h"
#include "link_test_util.h"
#include "motion_server.h"
#include "server_link.h"

using namespace linktest;

namespace {

class ServerLinkWithServerTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { fbsdk_control::SetTraceEcho(false); }

  bool Pump(const std::function<bool()>& done, int* frames = nullptr) {
    return PollUntil(done, [&] {
      if (mLink.ReadMessage() && frames) ++*frames;
    });
  }

  fbsdk_control::ScopedHostCapture mHost;
  ServerLink mLink;
};

// The channel values of one joint in the capture, in its listed order.
struct ClipJoint {
  const bvh::Joint* mJoint;
  int mFirstValue;
};

void Collect(const bvh::Joint& joint, int* cursor, std::vector<ClipJoint>* out) {
  out->push_back({&joint, *cursor});
  *cursor += static_cast<int>(joint.mChannels.size());
  for (const bvh::Joint& child : joint.mChildren) Collect(child, cursor, out);
  if (joint.mHasEndSite) out->push_back({nullptr, -1});
}

TEST_P(ServerLinkWithServerTest, DecodedFramesMatchTheCapture) {
  bvh::Clip clip;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/" + GetParam(), &clip, &error))
      << error;
  kmq::ServerOptions options;
  options.mPort = 0;
  options.mQuiet = true;
  kmq::MotionServer server(options);
  ASSERT_TRUE(server.AddActor(2, "walker", clip, &error)) << error;
  ASSERT_TRUE(server.Start(&error)) << error;

  mLink.mPort = server.Port();
  ASSERT_TRUE(mLink.Open());
  ASSERT_TRUE(Pump([&] { return mLink.mActorsChanged.load(); }));
  EXPECT_EQ(mLink.CopyActors(), (std::map<uint32_t, std::string>{{2, "walker"}}));
  mLink.SelectActor(2);
  ASSERT_TRUE(Pump([&] { return mLink.mHeaderReceived && !mLink.mHeaderPending; }));

  std::vector<ClipJoint> joints;
  int cursor = 0;
  Collect(clip.mRoot, &cursor, &joints);
  ASSERT_EQ(mLink.GetJointCount(), static_cast<int>(joints.size()));

  // Each decoded frame is found in the capture by its first values, then compared joint by joint.
  int frames = 0;
  int compared = 0;
  while (compared < 30) {
    ASSERT_TRUE(Pump([&] { return frames > 0; }, &frames));
    frames = 0;
    int match = -1;
    for (int f = 0; f < clip.mFrameCount && match < 0; ++f) {
      const float* row = &clip.mValues[static_cast<size_t>(f) * clip.mChannelCount];
      FBVector4<double> root = mLink.GetTranslation(0);
      if (root[0] == static_cast<double>(row[0]) && root[1] == static_cast<double>(row[1]) &&
          root[2] == static_cast<double>(row[2])) {
        match = f;
        for (size_t j = 0; j < joints.size() && match >= 0; ++j) {
          if (!joints[j].mJoint) continue;
          std::vector<std::pair<int, double>> rotations;
          for (size_t c = 0; c < joints[j].mJoint->mChannels.size(); ++c) {
            const int channel = joints[j].mJoint->mChannels[c];
            if (channel >= X_ROT) rotations.emplace_back(channel, row[joints[j].mFirstValue + c]);
          }
          if (!SameRotation(Listed(rotations), mLink.GetRotation(static_cast<int>(j)), 1e-6)) {
            match = -1;
          }
        }
      }
    }
    EXPECT_GE(match, 0) << "decoded frame not found in the capture";
    ++compared;
  }
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
}

// Links of one process online to one server share its connection: the server sees one client,
// every link has the actor list and its own actor's header and frames, a link that goes offline
// leaves the others their stream, one reconnection serves them all after the server restarts, and
// the last link closes the connection.
TEST(SharedConnectionTest, LinksToOneServerShareOneConnectionEachWithItsOwnActor) {
  fbsdk_control::SetTraceEcho(false);
  fbsdk_control::ScopedHostCapture host;
  kmq::ServerOptions options;
  options.mPort = 0;
  options.mQuiet = true;
  options.mRate = 240;
  std::string error;
  const char* files[] = {"cmu_12_01_walk.bvh", "makehuman_walk1.bvh"};
  std::vector<int> entries;
  std::vector<bvh::Clip> clips(2);
  for (size_t a = 0; a < 2; ++a) {
    ASSERT_TRUE(
        bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/" + files[a], &clips[a], &error));
    entries.push_back(bvh::CountJoints(clips[a].mRoot) + bvh::CountEndSites(clips[a].mRoot));
  }
  std::unique_ptr<kmq::MotionServer> server;
  const auto serve = [&] {
    server = std::make_unique<kmq::MotionServer>(options);
    for (uint32_t tag : {1u, 2u}) {
      if (!server->AddActor(tag, files[tag - 1], clips[tag - 1], &error)) return false;
    }
    return server->Start(&error);
  };
  ASSERT_TRUE(serve()) << error;
  options.mPort = server->Port();

  // Links 0 and 2 choose actor 1, link 1 actor 2; link 2 asks for its header once link 0 has its
  // own, so link 0 also gets that answer, and takes it as no change.
  std::vector<std::unique_ptr<ServerLink>> links;
  for (uint32_t tag : {1u, 2u, 1u}) {
    links.push_back(std::make_unique<ServerLink>());
    ServerLink& link = *links.back();
    link.mPort = server->Port();
    ASSERT_TRUE(link.Open());
    const auto pumpAll = [&] {
      for (auto& each : links) each->ReadMessage();
    };
    ASSERT_TRUE(WaitUntil(
        "the actor list", [&] { return link.CopyActors().size() == 2; }, pumpAll));
    link.SelectActor(tag);
    ASSERT_TRUE(WaitUntil(
        "the header", [&] { return link.mHeaderReceived && !link.mHeaderPending; }, pumpAll));
    EXPECT_EQ(link.GetJointCount(), entries[tag - 1]);
  }
  EXPECT_EQ(server->GetStats().mTotalConnections, 1u);
  const auto framesRise = [&](const std::vector<size_t>& which) {
    std::vector<uint64_t> before;
    for (size_t i : which) before.push_back(links[i]->FramesDecoded());
    return WaitUntil(
        "frames on every link",
        [&] {
          for (size_t n = 0; n < which.size(); ++n) {
            if (links[which[n]]->FramesDecoded() < before[n] + 10) return false;
          }
          return true;
        },
        [&] {
          for (size_t i : which) {
            links[i]->KeepConnected();
            links[i]->ReadMessage();
          }
        });
  };
  ASSERT_TRUE(framesRise({0, 1, 2}));
  server.reset();
  ASSERT_TRUE(serve()) << error;
  ASSERT_TRUE(framesRise({0, 1, 2}));
  EXPECT_EQ(fbsdk_control::CountTraces(kovrim_texts::kConnectionLostTrace), 3u);
  links[0]->Close();
  ASSERT_TRUE(framesRise({1, 2}));
  links[1]->Close();
  links[2]->Close();
  EXPECT_TRUE(
      server->WaitForStats([](const kmq::Stats& stats) { return stats.mClientsConnected == 0; },
                           std::chrono::seconds(5)));
  // The restarted server: one connection, and each link asked again for its own header.
  EXPECT_EQ(server->GetStats().mTotalConnections, 1u);
  EXPECT_EQ(server->GetStats().mHeaderQueries, 3u);
  EXPECT_EQ(fbsdk_control::CountTraces("BVH header changed."), 0u);
}

INSTANTIATE_TEST_SUITE_P(BundledCaptures, ServerLinkWithServerTest,
                         ::testing::Values("cmu_12_01_walk.bvh", "makehuman_walk1.bvh"));

}  // namespace

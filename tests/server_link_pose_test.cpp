// The link's message handling without a socket: actor lists, header acceptance and the pose
// tables, frame decoding, the rotation conversion, the getters and their locking.
#include <gtest/gtest.h>

#include <fbsdk_control/host_control.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>

#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"

using namespace linktest;

namespace {

constexpr uint32_t kTag = 3;

class ServerLinkPoseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    mLink.mActorTag = kTag;
    mLink.mOnline = true;
  }

  void Dispatch(const IVRA_PLUGIN_MESSAGE& envelope) {
    const std::string bytes = envelope.SerializePartialAsString();
    mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
  }
  // A header that answers a query, so it is taken without a trace.
  void SendHeader(const BVH_JOIN& root) {
    mLink.mHeaderPending = true;
    Dispatch(HeaderMessage(kTag, root));
  }
  void SendFrame(const std::vector<float>& values) { Dispatch(FrameMessage(kTag, values)); }

  // Hips(Spine(end site), LeftLeg(end site)).
  BVH_JOIN SmallTree() {
    return Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {1, 2, 3},
                 {Joint("Spine", {Z_ROT, X_ROT, Y_ROT}, {0, 10, 0}, {}, {0, 5, 0}),
                  Joint("LeftLeg", {Z_ROT, X_ROT, Y_ROT}, {4, -1, 0}, {}, {0, -7, 0})});
  }

  fbsdk_control::ScopedHostCapture mHost;
  ServerLink mLink;
};

TEST_F(ServerLinkPoseTest, TablesFollowTheDepthFirstWalkWithEndSitesAfterDescendants) {
  BVH_JOIN root = SmallTree();
  // The root carries an end site too: it comes after all its descendants.
  root.mutable_endsite()->set_x(9);
  root.mutable_endsite()->set_y(9);
  root.mutable_endsite()->set_z(9);
  SendHeader(root);
  ASSERT_EQ(mLink.GetJointCount(), 6);
  const double expectedY[] = {2, 10, 5, -1, -7, 9};
  const bool endSite[] = {false, false, true, false, true, true};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(mLink.GetTPoseTranslation(i)[1], expectedY[i]);
    EXPECT_EQ(mLink.GetTranslation(i)[1], expectedY[i]);
    kovrim::MutexLock lock(&mLink.mLock);
    EXPECT_EQ(mLink.mLiveJoints[i].mIsEndSite, endSite[i]);
    EXPECT_EQ(mLink.mTPoseJoints[i].mIsEndSite, endSite[i]);
    EXPECT_EQ(mLink.mLiveJoints[i].mChannels.size(), endSite[i] ? 0u : (i == 0 ? 6u : 3u));
  }
  EXPECT_EQ(mLink.CopyHeader().rootjoin().joinname(), "Hips");
  EXPECT_TRUE(mLink.mHeaderReceived);
}

TEST_F(ServerLinkPoseTest, HeadersOfOtherActorsOrWithoutTagAreDroppedSilently) {
  Dispatch(HeaderMessage(kTag + 1, SmallTree()));
  mLink.mActorTag = 0;
  Dispatch(HeaderMessage(0, SmallTree(), /*withTag=*/false));
  // A header envelope whose content is a frame reads as an empty header.
  IVRA_PLUGIN_MESSAGE mismatched = FrameMessage(0, {1, 2, 3});
  mismatched.set_message(IVRA_PLUGIN_MESSAGE::HEADER_DATA);
  Dispatch(mismatched);
  EXPECT_EQ(mLink.GetJointCount(), 0);
  EXPECT_FALSE(mLink.mHeaderReceived);
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
}

TEST_F(ServerLinkPoseTest, UnrequestedHeadersAreTracedAndRequestedOnesClearThePendingFlag) {
  ServerLinkTestPeer seams(&mLink);
  seams.UseManualClock();
  Dispatch(HeaderMessage(kTag, SmallTree()));
  seams.Advance(std::chrono::seconds(1));  // past the trace's once a second
  Dispatch(HeaderMessage(kTag, SmallTree()));
  EXPECT_EQ(fbsdk_control::CountTraces("BVH header changed."), 2u);
  mLink.mOnline = false;
  mLink.RequestHeader();  // the flag is set even though nothing can go out
  mLink.mOnline = true;
  EXPECT_TRUE(mLink.mHeaderPending);
  Dispatch(HeaderMessage(kTag, SmallTree()));
  EXPECT_FALSE(mLink.mHeaderPending);
  EXPECT_EQ(fbsdk_control::CountTraces("BVH header changed."), 2u);
}

TEST_F(ServerLinkPoseTest, RootRotationChannelsGiveTheOrderCode) {
  const std::vector<std::pair<std::vector<int>, int>> cases = {
      {{X_ROT, Y_ROT, Z_ROT}, 0}, {{X_ROT, Z_ROT, Y_ROT}, 1}, {{Y_ROT, X_ROT, Z_ROT}, 2},
      {{Y_ROT, Z_ROT, X_ROT}, 3}, {{Z_ROT, X_ROT, Y_ROT}, 4}, {{Z_ROT, Y_ROT, X_ROT}, 5}};
  for (const auto& c : cases) {
    BVH_JOIN root = Joint("Root", {X_POS, Y_POS, Z_POS}, {0, 0, 0});
    for (int channel : c.first) root.add_channels(static_cast<BVH_JOIN::Channel>(channel));
    SendHeader(root);
    EXPECT_EQ(mLink.GetRotationOrder(), c.second);
  }
  EXPECT_EQ(fbsdk_control::CountTraces("BVH header wrong!"), 0u);
}

TEST_F(ServerLinkPoseTest, RootWithoutThreeDistinctRotationsKeepsThePreviousCode) {
  SendHeader(Joint("Root", {Y_ROT, X_ROT}, {0, 0, 0}, {Joint("A", {}, {1, 1, 1})}));
  EXPECT_EQ(fbsdk_control::CountTraces("BVH header wrong!"), 1u);
  EXPECT_EQ(mLink.GetRotationOrder(), 1);
  EXPECT_EQ(mLink.GetJointCount(), 2);  // accepted all the same

  SendHeader(Joint("Root", {Y_ROT, Z_ROT, X_ROT}, {0, 0, 0}));
  EXPECT_EQ(mLink.GetRotationOrder(), 3);
  SendHeader(Joint("Root", {X_ROT, X_ROT, Y_ROT}, {0, 0, 0}));
  EXPECT_EQ(mLink.GetRotationOrder(), 3);
  EXPECT_EQ(fbsdk_control::CountTraces("BVH header wrong!"), 1u);
}

TEST_F(ServerLinkPoseTest, FrameValuesGoToTheJointsInTableOrder) {
  SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {1, 2, 3},
                   {Joint("Chest", {Z_ROT, X_ROT, Y_ROT}, {0, 10, 0}, {}, {0, 4, 0})}));
  SendFrame({5, 6, 7, 10, 20, 30, 40, 50, 60, 99});  // the last value is extra
  FBVector4<double> root = mLink.GetTranslation(0);
  EXPECT_EQ(root[0], 5);
  EXPECT_EQ(root[1], 6);
  EXPECT_EQ(root[2], 7);
  EXPECT_TRUE(SameRotation(Listed({{Z_ROT, 10}, {X_ROT, 20}, {Y_ROT, 30}}), mLink.GetRotation(0)));
  // A three-channel joint keeps its header offset as translation.
  EXPECT_EQ(mLink.GetTranslation(1)[1], 10);
  EXPECT_TRUE(SameRotation(Listed({{Z_ROT, 40}, {X_ROT, 50}, {Y_ROT, 60}}), mLink.GetRotation(1)));
  // End sites take no value and never change.
  EXPECT_EQ(mLink.GetTranslation(2)[1], 4);
  EXPECT_EQ(mLink.GetRotation(2)[0], 0);
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
}

TEST_F(ServerLinkPoseTest, EachJointComposesInItsOwnChannelOrder) {
  // Regression: composing every joint in the root's order gives the child a wrong rotation.
  SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, Y_ROT, X_ROT}, {0, 0, 0},
                   {Joint("Arm", {X_ROT, Y_ROT, Z_ROT}, {1, 0, 0}),
                    Joint("Leg", {Y_ROT, Z_ROT, X_ROT}, {-1, 0, 0})}));
  SendFrame({0, 0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 15});
  EXPECT_TRUE(SameRotation(Listed({{Z_ROT, 10}, {Y_ROT, 20}, {X_ROT, 30}}), mLink.GetRotation(0)));
  EXPECT_TRUE(SameRotation(Listed({{X_ROT, 40}, {Y_ROT, 50}, {Z_ROT, 60}}), mLink.GetRotation(1)));
  EXPECT_TRUE(SameRotation(Listed({{Y_ROT, 70}, {Z_ROT, 80}, {X_ROT, 15}}), mLink.GetRotation(2)));
  EXPECT_EQ(mLink.GetRotationOrder(), 5);
}

TEST_F(ServerLinkPoseTest, JointWithFewerRotationsUsesThisFramesValuesAlone) {
  // Regression: components a joint does not list must not carry last frame's converted angles
  // into the next composition.
  SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0},
                   {Joint("Knee", {Z_ROT, X_ROT}, {0, -1, 0}), Joint("Toe", {}, {0, 0, 1})}));
  const Mat3 expected = Listed({{Z_ROT, 35}, {X_ROT, 70}});
  for (int i = 0; i < 5; ++i) {
    SendFrame({0, 0, 0, 0, 0, 0, 35, 70});
    EXPECT_TRUE(SameRotation(expected, mLink.GetRotation(1))) << "frame " << i;
  }
  EXPECT_EQ(mLink.GetRotation(2)[0], 0);
  EXPECT_EQ(mLink.GetRotation(2)[1], 0);
  EXPECT_EQ(mLink.GetRotation(2)[2], 0);
}

TEST_F(ServerLinkPoseTest, EveryOrderMatchesAnIndependentComposition) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> angle(-180.0, 180.0);
  const int orders[6][3] = {{X_ROT, Y_ROT, Z_ROT}, {X_ROT, Z_ROT, Y_ROT}, {Y_ROT, X_ROT, Z_ROT},
                            {Y_ROT, Z_ROT, X_ROT}, {Z_ROT, X_ROT, Y_ROT}, {Z_ROT, Y_ROT, X_ROT}};
  for (const auto& order : orders) {
    const std::vector<int> channels(order, order + 3);
    // Single-axis angles come back as they went in, under every order.
    for (int axis = 0; axis < 3; ++axis) {
      float values[3] = {0, 0, 0};
      values[std::find(channels.begin(), channels.end(), X_ROT + axis) - channels.begin()] = 30;
      FBVector3<double> result = ServerLink::ToHostRotation(channels, values);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(result[k], k == axis ? 30.0 : 0.0, 1e-9);
    }
    for (int trial = 0; trial < 50; ++trial) {
      const float values[3] = {static_cast<float>(angle(random)), static_cast<float>(angle(random)),
                               static_cast<float>(angle(random))};
      EXPECT_TRUE(SameRotation(
          Listed({{order[0], values[0]}, {order[1], values[1]}, {order[2], values[2]}}),
          ServerLink::ToHostRotation(channels, values)));
    }
    // Gimbal: the middle angle at 90 degrees.
    const float gimbal[3] = {25, 90, -40};
    EXPECT_TRUE(SameRotation(Listed({{order[0], 25}, {order[1], 90}, {order[2], -40}}),
                             ServerLink::ToHostRotation(channels, gimbal)));
  }
}

TEST_F(ServerLinkPoseTest, ShortFrameLeavesNoJointHalfWritten) {
  SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0},
                   {Joint("Chest", {Z_ROT, X_ROT, Y_ROT}, {0, 10, 0})}));
  SendFrame({1, 1, 1, 10, 20, 30, 40, 50, 60});
  const FBVector3<double> chestBefore = mLink.GetRotation(1);
  SendFrame({2, 2, 2, 11, 21, 31, 41, 51});  // one value short
  EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{"Frame Wrong!!\n"});
  EXPECT_EQ(mLink.GetTranslation(0)[0], 2);
  EXPECT_TRUE(SameRotation(Listed({{Z_ROT, 11}, {X_ROT, 21}, {Y_ROT, 31}}), mLink.GetRotation(0)));
  const FBVector3<double> chestAfter = mLink.GetRotation(1);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(chestAfter.mValue[k], chestBefore.mValue[k]);
  // The next frame decodes from the start as usual.
  SendFrame({3, 3, 3, 0, 0, 0, 42, 0, 0});
  EXPECT_NEAR(mLink.GetRotation(1)[2], 42, 1e-9);
}

TEST_F(ServerLinkPoseTest, FramesOutsideTheAcceptedStateAreDropped) {
  SendFrame({9, 9, 9, 0, 0, 0});  // before any header
  SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {1, 2, 3}));
  EXPECT_EQ(mLink.GetTranslation(0)[0], 1);
  Dispatch(FrameMessage(kTag + 1, {9, 9, 9, 0, 0, 0}));
  Dispatch(FrameMessage(kTag, {9, 9, 9, 0, 0, 0}, /*withTag=*/false));
  EXPECT_EQ(mLink.GetTranslation(0)[0], 1);

  mLink.mOnline = false;
  mLink.RequestHeader();
  mLink.mOnline = true;
  SendFrame({9, 9, 9, 0, 0, 0});
  EXPECT_EQ(mLink.GetTPoseTranslation(0)[0], 1);
  kovrim::MutexLock lock(&mLink.mLock);
  EXPECT_EQ(mLink.mLiveJoints[0].mTranslation[0], 1);
}

TEST_F(ServerLinkPoseTest, GettersServeNeutralLiveOrRestPose) {
  SendHeader(SmallTree());
  SendFrame({7, 8, 9, 0, 0, 90, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(mLink.GetTranslation(0)[0], 7);
  // Offline: the rest pose.
  mLink.mOnline = false;
  EXPECT_EQ(mLink.GetTranslation(0)[0], 1);
  EXPECT_EQ(mLink.GetRotation(0)[1], 0);
  mLink.mOnline = true;
  EXPECT_NEAR(mLink.GetRotation(0)[1], 90, 1e-9);
  // Out of range, for all four getters, on both sides.
  for (int index : {-1, 5, 1000}) {
    const FBVector4<double> t = mLink.GetTranslation(index);
    const FBVector4<double> tp = mLink.GetTPoseTranslation(index);
    EXPECT_EQ(t.mValue[3], 1);
    EXPECT_EQ(tp.mValue[3], 1);
    EXPECT_EQ(t.mValue[0] + t.mValue[1] + t.mValue[2], 0);
    EXPECT_EQ(tp.mValue[0] + tp.mValue[1] + tp.mValue[2], 0);
    EXPECT_EQ(mLink.GetRotation(index).mValue[0], 0);
    EXPECT_EQ(mLink.GetTPoseRotation(index).mValue[2], 0);
  }
  // Pending: neutral for every index, while the rest pose stays readable.
  mLink.mHeaderPending = true;
  for (int index = 0; index < 5; ++index) {
    const FBVector4<double> t = mLink.GetTranslation(index);
    EXPECT_EQ(t.mValue[0], 0);
    EXPECT_EQ(t.mValue[1], 0);
    EXPECT_EQ(t.mValue[3], 1);
  }
  EXPECT_EQ(mLink.GetTPoseTranslation(1)[1], 10);
}

// The pose copy gives, entry for entry, what the getters give in every state of the link.
void ExpectCopyMatchesGetters(ServerLink& link, int count) {
  std::vector<ServerLink::PoseValues> copy;
  for (bool tPose : {false, true}) {
    SCOPED_TRACE(tPose ? "T-pose" : "live");
    link.CopyPose(tPose, count, &copy);
    ASSERT_EQ(copy.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      SCOPED_TRACE(i);
      const FBVector4<double> t = tPose ? link.GetTPoseTranslation(i) : link.GetTranslation(i);
      const FBVector3<double> r = tPose ? link.GetTPoseRotation(i) : link.GetRotation(i);
      for (int c = 0; c < 4; ++c) EXPECT_EQ(copy[i].mTranslation.mValue[c], t.mValue[c]);
      for (int c = 0; c < 3; ++c) EXPECT_EQ(copy[i].mRotation.mValue[c], r.mValue[c]);
    }
  }
}

TEST_F(ServerLinkPoseTest, PoseCopyMatchesTheGettersInEveryState) {
  {
    SCOPED_TRACE("no header yet");
    ExpectCopyMatchesGetters(mLink, 3);
  }
  SendHeader(SmallTree());
  SendFrame({7, 8, 9, 10, 20, 30, 40, 50, 60, 70, 80, 90});
  // Five entries, and three beyond the tables.
  {
    SCOPED_TRACE("online");
    ExpectCopyMatchesGetters(mLink, 8);
  }
  mLink.mOnline = false;
  {
    SCOPED_TRACE("offline");
    ExpectCopyMatchesGetters(mLink, 8);
  }
  mLink.mOnline = true;
  mLink.mHeaderPending = true;
  {
    SCOPED_TRACE("header pending");
    ExpectCopyMatchesGetters(mLink, 8);
  }
  mLink.mHeaderPending = false;
  // A shorter copy reuses the buffer and ends where asked.
  std::vector<ServerLink::PoseValues> copy;
  mLink.CopyPose(false, 5, &copy);
  const ServerLink::PoseValues* storage = copy.data();
  mLink.CopyPose(false, 2, &copy);
  EXPECT_EQ(copy.size(), 2u);
  mLink.CopyPose(false, 5, &copy);
  EXPECT_EQ(copy.data(), storage);
  EXPECT_EQ(copy[0].mTranslation.mValue[0], 7);
  mLink.CopyPose(false, 0, &copy);
  EXPECT_TRUE(copy.empty());
}

TEST_F(ServerLinkPoseTest, PoseCopyIsOneFrame) {
  // Hips' x translation and Chest's z rotation carry the same value in every frame.
  SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0},
                   {Joint("Chest", {Z_ROT, X_ROT, Y_ROT}, {0, 10, 0})}));
  std::atomic<bool> done{false};
  std::atomic<int> mixed{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    std::vector<ServerLink::PoseValues> copy;
    while (!done) {
      mLink.CopyPose(false, 2, &copy);
      if (std::fabs(copy[0].mTranslation.mValue[0] - copy[1].mRotation.mValue[2]) > 1e-6) ++mixed;
      ++reads;
    }
  });
  // Frames keep arriving while the reader copies.
  int frames = 0;
  EXPECT_TRUE(WaitUntil(
      "the reader to copy 2000 poses", [&] { return reads.load() >= 2000 && frames >= 2000; },
      [&] {
        const float v = static_cast<float>(++frames % 170);
        SendFrame({v, 0, 0, 0, 0, 0, v, 0, 0});
      }));
  done = true;
  reader.join();
  EXPECT_EQ(mixed.load(), 0);
}

TEST_F(ServerLinkPoseTest, ActorListsReplaceTheMap) {
  Dispatch(ActorListMessage({{2, "Bob"}, {1, "Ann"}}));
  EXPECT_TRUE(mLink.mActorsChanged.exchange(false));
  auto actors = mLink.CopyActors();
  ASSERT_EQ(actors.size(), 2u);
  EXPECT_EQ(actors.begin()->second, "Ann");

  // Other commands change nothing.
  IVRA_PLUGIN_MESSAGE error;
  error.set_message(IVRA_PLUGIN_MESSAGE::COMMAND);
  error.mutable_command()->set_cmdtype(COMMAND::Notify_Error);
  error.mutable_command()->mutable_errormsg()->set_errorcode(1);
  error.mutable_command()->mutable_errormsg()->set_errormsg("bad");
  Dispatch(error);
  EXPECT_FALSE(mLink.mActorsChanged);
  EXPECT_EQ(mLink.CopyActors().size(), 2u);

  // A key given twice keeps the later name; a list without a map empties the actors.
  const std::string entryA(
      "\x0a\x06\x08\x07\x12\x02"
      "aa",
      8);
  const std::string entryB(
      "\x0a\x06\x08\x07\x12\x02"
      "bb",
      8);
  const std::string twice = std::string("\x08\x00\x22\x14\x08\x03\x1a\x10", 8) + entryA + entryB;
  mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(twice.data()),
                        static_cast<int>(twice.size()), kovrim::wire::kPlainMarker);
  actors = mLink.CopyActors();
  ASSERT_EQ(actors.size(), 1u);
  EXPECT_EQ(actors[7], "bb");
  Dispatch(ActorListMessage({}, /*withList=*/false));
  EXPECT_TRUE(mLink.mActorsChanged);
  EXPECT_TRUE(mLink.CopyActors().empty());
}

TEST_F(ServerLinkPoseTest, GettersNeverSeeAFrameHalfApplied) {
  SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0},
                   {Joint("Chest", {Z_ROT, X_ROT, Y_ROT}, {0, 10, 0})}));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done) {
      const FBVector4<double> t = mLink.GetTranslation(0);
      if (t.mValue[0] != t.mValue[1] || t.mValue[1] != t.mValue[2]) ++torn;
      const FBVector3<double> r = mLink.GetRotation(1);
      if (std::fabs(r.mValue[0]) > 1e-6 || std::fabs(r.mValue[1]) > 1e-6) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 3000; ++i) {
    const float v = static_cast<float>(i % 170);
    SendFrame({v, v, v, 0, 0, 0, v, 0, 0});
    if (i % 500 == 0)
      SendHeader(Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0},
                       {Joint("Chest", {Z_ROT, X_ROT, Y_ROT}, {0, 10, 0})}));
  }
  EXPECT_TRUE(WaitUntil(
      "the reader to read", [&] { return reads.load() > 100; }, [] { std::this_thread::yield(); }));
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace

// kovrim-link-client run as a user runs it: against the reference server in a process of its own
// on a free loopback port, against the reference server it starts itself (--local), against a
// server that sends faster than the link reads, and against a port nothing listens on.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "bvh.h"
#include "child_process.h"
#include "flood_peer.h"
#include "link_test_util.h"

namespace {

using childtest::ChildProcess;
using childtest::ListeningPort;

const std::string kCapture = std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh";

// The joints of the bundled capture, as the client counts them (ROOT and JOINT nodes).
int CaptureJoints() {
  bvh::Clip clip;
  std::string error;
  EXPECT_TRUE(bvh::ParseBvhFile(kCapture, &clip, &error)) << error;
  return bvh::CountJoints(clip.mRoot);
}

// The frame count of the closing "Received N frames in ..." line, -1 without that line.
long FramesReceived(const std::string& output) {
  const std::string key = "Received ";
  const size_t at = output.rfind(key);
  return at == std::string::npos ? -1 : std::atol(output.c_str() + at + key.size());
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(LinkClientToolTest, PrintsTheSkeletonAndTheFramesOfTheReferenceServer) {
  ChildProcess server;
  ASSERT_TRUE(server.Spawn(KMQ_SERVER_BINARY, {"--port", "0", "--quiet", kCapture}));
  ASSERT_TRUE(server.ReadUntil(" (Ctrl-C stops)")) << server.Errors();
  const int port = ListeningPort(server.Output());
  ASSERT_GT(port, 0) << server.Output();

  ChildProcess client;
  ASSERT_TRUE(client.Spawn(KMQ_LINK_CLIENT_BINARY,
                           {"--port", std::to_string(port), "--seconds", "1", "--timeout", "10"}));
  EXPECT_EQ(client.WaitForExit(), 0) << client.Output() << client.Errors();
  const std::string& out = client.Output();
  EXPECT_TRUE(Contains(out, "Connecting to 127.0.0.1:" + std::to_string(port))) << out;
  EXPECT_TRUE(Contains(out, "Actors offered:  1 \"cmu_12_01_walk\"")) << out;
  EXPECT_TRUE(Contains(out, "Skeleton of actor 1 ")) << out;
  EXPECT_TRUE(Contains(out, "\n" + std::to_string(CaptureJoints()) + " joints, ")) << out;
  EXPECT_GT(FramesReceived(out), 0) << out;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitForExit(), 0) << server.Errors();
}

TEST(LinkClientToolTest, LocalServesTheGivenCaptureOnAFreePort) {
  ChildProcess client;
  ASSERT_TRUE(client.Spawn(KMQ_LINK_CLIENT_BINARY,
                           {"--local", kCapture, "--seconds", "1", "--timeout", "10"}));
  EXPECT_EQ(client.WaitForExit(), 0) << client.Output() << client.Errors();
  const std::string& out = client.Output();
  EXPECT_TRUE(Contains(out, "Reference server serving " + kCapture + " on 127.0.0.1:")) << out;
  EXPECT_TRUE(Contains(out, "Actors offered:  1 \"cmu_12_01_walk\"")) << out;
  EXPECT_GT(FramesReceived(out), 0) << out;
}

// A server that never pauses: actor lists, compressed headers of 1000 joints (a few hundred bytes
// each that take the link far longer to read than loopback to carry) and frames, as fast as
// loopback takes them, for longer than the client runs. Each pass of the client reads a bounded
// number of messages, so it sees its clock between passes and ends while the server still sends.
TEST(LinkClientToolTest, EndsOnTimeWhileTheServerSendsFasterThanTheLinkReads) {
  using namespace linktest;
  BVH_JOIN root = Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0});
  for (int i = 0; i < 1000; ++i)
    *root.add_childjoin() = Joint("J" + std::to_string(i), {}, {0, 0, 0});
  const std::string body = FrameBytes(ActorListMessage({{1, "Flood"}}), Payload::kPlain) +
                           FrameBytes(HeaderMessage(1, root), Payload::kGzip) +
                           FrameBytes(FrameMessage(1, {1, 2, 3, 0, 0, 0}), Payload::kPlain);
  FloodPeer peer("", body, std::chrono::milliseconds(15000));

  ChildProcess client;
  ASSERT_TRUE(client.Spawn(KMQ_LINK_CLIENT_BINARY, {"--port", std::to_string(peer.Port()),
                                                    "--seconds", "1", "--timeout", "10"}));
  EXPECT_EQ(client.WaitForExit(), 0) << client.Output() << client.Errors();
  EXPECT_GT(FramesReceived(client.Output()), 0) << client.Output();
  EXPECT_FALSE(peer.CapReached()) << "the client ended only once the server stopped sending";
}

TEST(LinkClientToolTest, FailsWhenNothingListens) {
  const int port = linktest::FreePort();
  ChildProcess client;
  ASSERT_TRUE(client.Spawn(KMQ_LINK_CLIENT_BINARY, {"--port", std::to_string(port)}));
  EXPECT_EQ(client.WaitForExit(), 1) << client.Output() << client.Errors();
  EXPECT_TRUE(
      Contains(client.Errors(), "error: cannot connect to 127.0.0.1:" + std::to_string(port)))
      << client.Errors();
  EXPECT_EQ(FramesReceived(client.Output()), -1) << client.Output();
}

}  // namespace

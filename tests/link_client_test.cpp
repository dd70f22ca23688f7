// kovrim-link-client run as a user runs it: against the reference server in a process of its own
// on a free loopback port, against the reference server it starts itself (--local), and against a
// port nothing listens on.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "bvh.h"
#include "child_process.h"
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

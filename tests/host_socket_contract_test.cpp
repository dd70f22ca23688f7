// FBTCPIP's contract on every platform, through the stand-in's own calls and a loopback peer:
// Read and Write never wait, whatever the socket's blocking mode (Winsock has no per-call
// "do not wait" flag, so the Windows port must keep this itself), a refused Connect fails, and
// Accept with nothing pending returns at once on a non-blocking listener.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_socket.h"

namespace {

// Runs call on its own thread and fails the test when it has not returned within a generous
// bound (a call that waits for the peer would never return: the peer sends nothing). A call that
// hangs is left behind on its detached thread.
::testing::AssertionResult ReturnsWithoutWaiting(std::function<void()> call) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([call, done] {
    call();
    done->set_value();
  }).detach();
  if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    return ::testing::AssertionFailure() << "the call waited for the peer";
  }
  return ::testing::AssertionSuccess();
}

class HostSocketContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    mListener = testsocket::ListenLoopback(&mPort);
    ASSERT_GE(mListener, 0);
  }
  void TearDown() override {
    if (mSocket != 0) mTcp.CloseSocket(mSocket);
    if (mPeer >= 0) testsocket::Close(mPeer);
    testsocket::Close(mListener);
  }

  // A connected client socket of the given blocking mode, and the peer's end.
  void ConnectClient(bool nonBlocking) {
    ASSERT_TRUE(mTcp.CreateSocket(mSocket, kFBTCPIP_Stream, "ip", nonBlocking));
    ASSERT_NE(mSocket, 0);
    char address[] = "127.0.0.1";
    ASSERT_TRUE(mTcp.Connect(mSocket, address, mPort));
    mPeer = testsocket::AcceptWithin(mListener, 10000);
    ASSERT_GE(mPeer, 0);
  }

  FBTCPIP mTcp;
  int mListener = -1;
  int mPort = 0;
  int mSocket = 0;
  int mPeer = -1;
};

TEST_F(HostSocketContractTest, ReadReturnsAtOnceOnABlockingSocketAndThenGetsTheBytes) {
  ConnectClient(false);
  char buffer[4] = {};
  int count = -1;
  bool read = true;
  const int socket = mSocket;
  FBTCPIP* tcp = &mTcp;
  ASSERT_TRUE(
      ReturnsWithoutWaiting([&, socket, tcp] { read = tcp->Read(socket, buffer, 4, &count); }));
  EXPECT_FALSE(read);
  EXPECT_EQ(count, 0);

  ASSERT_EQ(testsocket::SendSome(mPeer, "abcd", 4), 4);
  ASSERT_EQ(mTcp.Select(mSocket, true, false, false, 10000), 1);
  EXPECT_TRUE(mTcp.ReadBlocking(mSocket, buffer, 4, &count, 10000));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(HostSocketContractTest, ReadSeesThePeerCloseWithoutWaiting) {
  ConnectClient(false);
  testsocket::Close(mPeer);
  mPeer = -1;
  ASSERT_EQ(mTcp.Select(mSocket, true, false, false, 10000), 1);
  char buffer[4] = {};
  int count = -1;
  EXPECT_FALSE(mTcp.Read(mSocket, buffer, 4, &count));
  EXPECT_EQ(count, 0);
}

TEST_F(HostSocketContractTest, WriteNeverWaitsForAPeerThatDoesNotRead) {
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking socket" : "blocking socket");
    ConnectClient(nonBlocking);
    // Far more than the two socket buffers hold: the peer reads nothing.
    auto bytes = std::make_shared<std::vector<char>>(64 << 20, 'x');
    int sent = -1;
    bool wrote = true;
    const int socket = mSocket;
    FBTCPIP* tcp = &mTcp;
    ASSERT_TRUE(ReturnsWithoutWaiting([&, bytes, socket, tcp] {
      wrote = tcp->Write(socket, bytes->data(), static_cast<int>(bytes->size()), &sent);
    }));
    EXPECT_FALSE(wrote);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(bytes->size()));
    mTcp.CloseSocket(mSocket);
    testsocket::Close(mPeer);
    mPeer = -1;
  }
}

TEST_F(HostSocketContractTest, ConnectToAPortNothingListensOnFails) {
  ASSERT_TRUE(mTcp.CreateSocket(mSocket, kFBTCPIP_Stream, "ip", true));
  char address[] = "127.0.0.1";
  EXPECT_FALSE(mTcp.Connect(mSocket, address, testsocket::UnusedLoopbackPort()));
  EXPECT_TRUE(mTcp.CloseSocket(mSocket));
  EXPECT_EQ(mSocket, 0);
  EXPECT_FALSE(mTcp.CloseSocket(mSocket));
}

TEST_F(HostSocketContractTest, NonBlockingListenerAcceptsOnlyWhatIsPending) {
  int listener = 0;
  ASSERT_TRUE(mTcp.CreateSocket(listener, kFBTCPIP_Stream, "ip", true));
  ASSERT_TRUE(mTcp.Bind(listener, 0x7F000001u, 0));
  ASSERT_EQ(mTcp.Listen(listener, 4), 0);
  int accepted = -1;
  const int handle = listener;
  FBTCPIP* tcp = &mTcp;
  ASSERT_TRUE(ReturnsWithoutWaiting([&, handle, tcp] { accepted = tcp->Accept(handle); }));
  EXPECT_EQ(accepted, 0);
  EXPECT_TRUE(mTcp.CloseSocket(listener));
}

}  // namespace

// FBTCPIP's contract on every platform, through the stand-in's own calls: Read and Write never
// wait, whatever the socket's blocking mode (Winsock has no per-call "do not wait" flag, so the
// Windows port must keep this itself), a refused Connect fails, and Accept with nothing pending
// returns at once on a non-blocking listener. The stream tests run twice: against a loopback peer
// and against the stand-in's in-memory connection, which must keep the same contract.
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

enum class Kind { kLoopback, kMemory };

// A connected stream socket of either kind and its peer's end, driven the same way.
class StreamContractTest : public HostSocketContractTest,
                           public ::testing::WithParamInterface<Kind> {
 protected:
  void TearDown() override {
    HostSocketContractTest::TearDown();
    fbsdk_control::ResetHost();
  }
  void Connect(bool nonBlocking) {
    if (GetParam() == Kind::kLoopback) return ConnectClient(nonBlocking);
    mSocket = fbsdk_control::OpenMemoryConnection();
    ASSERT_NE(mSocket, 0);
  }
  void PeerSends(const std::string& bytes) {
    if (GetParam() == Kind::kLoopback) {
      ASSERT_EQ(testsocket::SendSome(mPeer, bytes.data(), bytes.size()),
                static_cast<long>(bytes.size()));
    } else {
      ASSERT_TRUE(fbsdk_control::FeedMemoryConnection(mSocket, bytes.data(), bytes.size()));
    }
  }
  void PeerCloses(bool reset) {
    if (GetParam() == Kind::kMemory) {
      ASSERT_TRUE(reset ? fbsdk_control::ResetMemoryConnection(mSocket)
                        : fbsdk_control::EndMemoryConnection(mSocket));
      return;
    }
    if (reset) {
      testsocket::Reset(mPeer);
    } else {
      testsocket::Close(mPeer);
    }
    mPeer = -1;
  }
};

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::kLoopback ? "Loopback" : "Memory";
}

TEST_P(StreamContractTest, ReadReturnsAtOnceOnABlockingSocketAndThenGetsTheBytes) {
  Connect(false);
  char buffer[4] = {};
  int count = -1;
  bool read = true;
  const int socket = mSocket;
  FBTCPIP* tcp = &mTcp;
  ASSERT_TRUE(
      ReturnsWithoutWaiting([&, socket, tcp] { read = tcp->Read(socket, buffer, 4, &count); }));
  EXPECT_FALSE(read);
  EXPECT_EQ(count, 0);

  PeerSends("abcd");
  ASSERT_EQ(mTcp.Select(mSocket, true, false, false, 10000), 1);
  EXPECT_TRUE(mTcp.ReadBlocking(mSocket, buffer, 4, &count, 10000));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
}

// Bytes sent before the close are still read; then the end (or the reset) shows in Select and
// Read places nothing.
TEST_P(StreamContractTest, ReadSeesThePeerCloseOrResetWithoutWaiting) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    Connect(false);
    char buffer[4] = {};
    int count = -1;
    if (!reset) {
      PeerSends("ab");
      PeerCloses(false);
      ASSERT_EQ(mTcp.Select(mSocket, true, false, false, 10000), 1);
      EXPECT_FALSE(mTcp.Read(mSocket, buffer, 4, &count));
      EXPECT_EQ(std::string(buffer, count), "ab");
    } else {
      // A reset drops what still waits (a loopback peer's bytes may already be read).
      if (GetParam() == Kind::kMemory) PeerSends("ab");
      PeerCloses(true);
    }
    ASSERT_EQ(mTcp.Select(mSocket, true, false, false, 10000), 1);
    EXPECT_FALSE(mTcp.Read(mSocket, buffer, 4, &count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(mTcp.CloseSocket(mSocket));
  }
}

// The read limit and the wire tap see the socket's bytes as they are placed and sent, and its
// close; a closed handle names nothing afterwards.
TEST_P(StreamContractTest, ReadLimitAndTapApply) {
  Connect(true);
  std::string seen;
  int closes = 0;
  fbsdk_control::SetSocketTap([&](int socket, bool outgoing, const char* data, int size) {
    if (socket != mSocket) return;
    if (data == nullptr) ++closes;
    if (data != nullptr) seen += std::string(outgoing ? ">" : "<") + std::string(data, size);
  });
  fbsdk_control::SetSocketReadLimit(3);
  PeerSends("abcdefg");
  ASSERT_EQ(mTcp.Select(mSocket, true, false, false, 10000), 1);
  char buffer[8] = {};
  int count = -1;
  EXPECT_FALSE(mTcp.Read(mSocket, buffer, 7, &count));
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(mTcp.ReadBlocking(mSocket, buffer, 4, &count, 10000));
  EXPECT_EQ(count, 4);
  char out[] = "xy";
  EXPECT_EQ(mTcp.Select(mSocket, false, true, false, 10000), 1);
  EXPECT_TRUE(mTcp.Write(mSocket, out, 2, &count));
  const int handle = mSocket;
  EXPECT_TRUE(mTcp.CloseSocket(mSocket));
  fbsdk_control::SetSocketTap(nullptr);
  EXPECT_EQ(seen, "<abc<defg>xy");
  EXPECT_EQ(closes, 1);
  if (GetParam() == Kind::kMemory) {
    EXPECT_EQ(mTcp.Select(handle, true, false, false, 0), -1);
    EXPECT_FALSE(fbsdk_control::FeedMemoryConnection(handle, "a", 1));
    int closed = handle;
    EXPECT_FALSE(mTcp.CloseSocket(closed));
  }
}

TEST_P(StreamContractTest, WriteNeverWaitsForAPeerThatDoesNotRead) {
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking socket" : "blocking socket");
    Connect(nonBlocking);
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
    if (mPeer >= 0) testsocket::Close(mPeer);
    mPeer = -1;
  }
}

INSTANTIATE_TEST_SUITE_P(BothKinds, StreamContractTest,
                         ::testing::Values(Kind::kLoopback, Kind::kMemory), KindName);

// What only a platform socket does fails on an in-memory connection, which stays usable.
TEST_F(HostSocketContractTest, MemoryConnectionRefusesThePlatformOnlyCalls) {
  fbsdk_control::ScopedHostCapture capture;
  int socket = fbsdk_control::OpenMemoryConnection();
  char address[] = "127.0.0.1";
  char byte = 'x';
  int count = -1;
  EXPECT_FALSE(mTcp.Bind(socket, 0x7F000001u, 0));
  EXPECT_FALSE(mTcp.Connect(socket, address, mPort));
  EXPECT_NE(mTcp.Listen(socket, 4), 0);
  EXPECT_EQ(mTcp.Accept(socket), 0);
  EXPECT_FALSE(mTcp.WriteDatagram(socket, &byte, 1, &count, 0x7F000001u, 9));
  EXPECT_FALSE(mTcp.ReadDatagram(socket, &byte, 1, &count, nullptr, nullptr));
  EXPECT_TRUE(mTcp.Write(socket, &byte, 1, &count));
  EXPECT_EQ(fbsdk_control::TakeMemoryConnectionOutput(socket), "x");
  const int handle = socket;
  EXPECT_TRUE(mTcp.CloseSocket(socket));
  // Closed, it is gone, though it was the connection used last.
  EXPECT_FALSE(fbsdk_control::FeedMemoryConnection(handle, &byte, 1));
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

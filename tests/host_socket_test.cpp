// FBTCPIP over real loopback sockets: bounded connect, non-blocking partial reads and writes,
// the read-limit seam and safe handling of bad or closed handles.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using std::chrono::steady_clock;

// A plain POSIX socket on 127.0.0.1 with a kernel-chosen port, closed on destruction.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(int backlog) : mHandle(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(mHandle, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(mHandle, reinterpret_cast<sockaddr*>(&address), &length);
    mPort = ntohs(address.sin_port);
    if (backlog >= 0) listen(mHandle, backlog);
  }
  ~LoopbackSocket() { close(mHandle); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;
  int Handle() const { return mHandle; }
  int Port() const { return mPort; }

 private:
  int mHandle;
  int mPort = 0;
};

class HostSocketTest : public testing::Test {
 protected:
  void TearDown() override {
    if (mClient != 0) mTcp.CloseSocket(mClient);
    if (mPeer >= 0) close(mPeer);
  }

  // Connects mClient to mListener and accepts the other end into mPeer.
  void ConnectPair() {
    ASSERT_TRUE(mTcp.CreateSocket(mClient, kFBTCPIP_Stream));
    ASSERT_TRUE(mTcp.Connect(mClient, mLoopback, mListener.Port()));
    mPeer = accept(mListener.Handle(), nullptr, nullptr);
    ASSERT_GE(mPeer, 0);
  }

  // Sends from the peer and waits until the client sees data.
  void PeerSends(const std::string& data) {
    ASSERT_EQ(send(mPeer, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(mTcp.Select(mClient, true, false, false, 5000), 1);
  }

  fbsdk_control::ScopedHostCapture mHost;
  FBTCPIP mTcp;
  LoopbackSocket mListener{8};
  char mLoopback[10] = "127.0.0.1";
  int mClient = 0;
  int mPeer = -1;
};

TEST_F(HostSocketTest, ConnectsToLocalListenerAndExchangesData) {
  ConnectPair();
  char hello[] = "hello";
  int written = -1;
  EXPECT_TRUE(mTcp.Write(mClient, hello, 5, &written));
  EXPECT_EQ(written, 5);
  char received[5];
  ASSERT_EQ(recv(mPeer, received, 5, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(received, 5), "hello");

  PeerSends("world");
  char reply[5];
  int count = -1;
  EXPECT_TRUE(mTcp.Read(mClient, reply, 5, &count));
  EXPECT_EQ(count, 5);
  EXPECT_EQ(std::string(reply, 5), "world");
}

TEST_F(HostSocketTest, ConnectsByHostName) {
  ASSERT_TRUE(mTcp.CreateSocket(mClient, kFBTCPIP_Stream, "tcp", false));
  char name[] = "localhost";
  EXPECT_TRUE(mTcp.Connect(mClient, name, mListener.Port()));
}

TEST_F(HostSocketTest, RefusedPortFailsWithoutWaitingForTheTimeout) {
  LoopbackSocket notListening(-1);  // Bound, so the port stays ours, but refuses connections.
  ASSERT_TRUE(mTcp.CreateSocket(mClient, kFBTCPIP_Stream));
  const auto start = steady_clock::now();
  EXPECT_FALSE(mTcp.Connect(mClient, mLoopback, notListening.Port()));
  EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(2500));
}

TEST_F(HostSocketTest, SilentAddressFailsWithinTheBound) {
  // A listener with a full accept queue drops further handshakes, like a silent host.
  LoopbackSocket full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(full.Port()));
    connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    fillers.push_back(filler);
  }
  for (bool blocking : {false, true}) {
    int client = 0;
    ASSERT_TRUE(mTcp.CreateSocket(client, kFBTCPIP_Stream, "ip", !blocking));
    const auto start = steady_clock::now();
    EXPECT_FALSE(mTcp.Connect(client, mLoopback, full.Port()));
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(mTcp.CloseSocket(client));
  }
  for (int filler : fillers) close(filler);
}

TEST_F(HostSocketTest, BadAddressPortOrHandleFails) {
  ASSERT_TRUE(mTcp.CreateSocket(mClient, kFBTCPIP_Stream));
  char empty[] = "";
  EXPECT_FALSE(mTcp.Connect(mClient, empty, mListener.Port()));
  EXPECT_FALSE(mTcp.Connect(mClient, nullptr, mListener.Port()));
  EXPECT_FALSE(mTcp.Connect(mClient, mLoopback, 0));
  EXPECT_FALSE(mTcp.Connect(mClient, mLoopback, 70000));
  int none = 0, bogus = 987654;
  EXPECT_FALSE(mTcp.Connect(none, mLoopback, mListener.Port()));
  EXPECT_FALSE(mTcp.Connect(bogus, mLoopback, mListener.Port()));
  EXPECT_FALSE(mTcp.CreateSocket(none, kFBTCPIP_Stream, "carrier-pigeon"));
  EXPECT_EQ(none, 0);
}

TEST_F(HostSocketTest, ReadReturnsAtOnceWithZeroWhenNothingArrived) {
  ConnectPair();
  char buffer[16];
  int count = -1;
  EXPECT_FALSE(mTcp.Read(mClient, buffer, sizeof(buffer), &count));
  EXPECT_EQ(count, 0);
}

TEST_F(HostSocketTest, ShortReadReportsTheBytesPlaced) {
  ConnectPair();
  PeerSends("abcde");
  char buffer[10] = {};
  int count = -1;
  EXPECT_FALSE(mTcp.Read(mClient, buffer, 10, &count));
  EXPECT_EQ(count, 5);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
}

TEST_F(HostSocketTest, ReadLimitForcesShortReadsAndResets) {
  ConnectPair();
  fbsdk_control::SetSocketReadLimit(3);
  PeerSends("12345678");
  char buffer[8] = {};
  int count = -1;
  EXPECT_FALSE(mTcp.Read(mClient, buffer, 8, &count));
  EXPECT_EQ(count, 3);
  EXPECT_FALSE(mTcp.Read(mClient, buffer + 3, 5, &count));
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(mTcp.Read(mClient, buffer + 6, 2, &count));
  EXPECT_EQ(std::string(buffer, 8), "12345678");

  fbsdk_control::ResetHost();
  PeerSends("abcdefgh");
  EXPECT_TRUE(mTcp.Read(mClient, buffer, 8, &count));
  EXPECT_EQ(count, 8);
}

TEST_F(HostSocketTest, PeerCloseEndsReadsWithThePartialCount) {
  ConnectPair();
  PeerSends("xy");
  close(mPeer);
  mPeer = -1;
  char buffer[4];
  int count = -1;
  EXPECT_FALSE(mTcp.ReadBlocking(mClient, buffer, 4, &count, 5000));
  EXPECT_EQ(count, 2);
  EXPECT_FALSE(mTcp.Read(mClient, buffer, 4, &count));
  EXPECT_EQ(count, 0);
}

TEST_F(HostSocketTest, WriteToClosedPeerFailsWithoutSignal) {
  ConnectPair();
  close(mPeer);
  mPeer = -1;
  std::vector<char> data(4096, 'z');
  bool failed = false;
  const auto deadline = steady_clock::now() + std::chrono::seconds(10);
  while (!failed && steady_clock::now() < deadline) {
    failed = !mTcp.Write(mClient, data.data(), static_cast<int>(data.size()));
    // The reset from the closed peer makes the socket readable; wait for it between writes.
    if (!failed) mTcp.Select(mClient, true, false, false, 100);
  }
  EXPECT_TRUE(failed);  // Reaching this line means no SIGPIPE killed the process.
}

TEST_F(HostSocketTest, HandleIsNeverZeroEvenWithStdinClosed) {
  const int savedStdin = fcntl(0, F_DUPFD_CLOEXEC, 10);
  ASSERT_GE(savedStdin, 0);
  close(0);
  int first = 0, second = 0;
  const bool created = mTcp.CreateSocket(first, kFBTCPIP_Stream);
  const bool createdAgain = mTcp.CreateSocket(second, kFBTCPIP_DGRAM);
  const bool stdinStillClosed = fcntl(0, F_GETFD) < 0;
  dup2(savedStdin, 0);
  close(savedStdin);
  EXPECT_TRUE(created);
  EXPECT_TRUE(createdAgain);
  EXPECT_GE(first, 3);
  EXPECT_GE(second, 3);
  EXPECT_TRUE(stdinStillClosed);
  EXPECT_NE(fcntl(first, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_TRUE(mTcp.CloseSocket(first));
  EXPECT_TRUE(mTcp.CloseSocket(second));
}

TEST_F(HostSocketTest, CloseAndBadHandlesAreSafe) {
  ASSERT_TRUE(mTcp.CreateSocket(mClient, kFBTCPIP_Stream));
  int handle = mClient;
  EXPECT_TRUE(mTcp.CloseSocket(handle));
  EXPECT_EQ(handle, 0);
  EXPECT_FALSE(mTcp.CloseSocket(handle));
  mClient = 0;

  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  int notASocket = pipeEnds[0];
  EXPECT_FALSE(mTcp.CloseSocket(notASocket));  // Not ours to close.
  EXPECT_GE(fcntl(pipeEnds[0], F_GETFD), 0);
  close(pipeEnds[0]);
  close(pipeEnds[1]);

  char buffer[4] = {};
  int count = -1;
  EXPECT_FALSE(mTcp.Read(-1, buffer, 4, &count));
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(mTcp.Write(987654, buffer, 4, &count));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(mTcp.Select(0, true, false, false, 0), -1);
  EXPECT_EQ(mTcp.Accept(-5), 0);
}

}  // namespace

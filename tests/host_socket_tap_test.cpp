// The host stand-in's wire tap: every byte FBTCPIP reads and writes is reported once, after the
// call, on the calling thread and without host locks; removal waits for calls in progress.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TapCall {
  int mSocket = 0;
  bool mOutgoing = false;
  std::string mBytes;
  std::thread::id mThread;
};

// Records tap calls; thread-safe.
class TapRecorder {
 public:
  void Install() {
    fbsdk_control::SetSocketTap([this](int socket, bool outgoing, const char* data, int size) {
      std::lock_guard<std::mutex> lock(mMutex);
      mCalls.push_back({socket, outgoing,
                        data ? std::string(data, static_cast<size_t>(size)) : "<closing>",
                        std::this_thread::get_id()});
    });
  }
  std::vector<TapCall> Calls() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCalls;
  }

 private:
  std::mutex mMutex;
  std::vector<TapCall> mCalls;  // guarded by mMutex
};

class HostSocketTapTest : public testing::Test {
 protected:
  void SetUp() override {
    mListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(mListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(mListener, reinterpret_cast<sockaddr*>(&address), &length);
    ASSERT_EQ(listen(mListener, 4), 0);
    ASSERT_TRUE(mTcp.CreateSocket(mClient, kFBTCPIP_Stream));
    ASSERT_TRUE(mTcp.Connect(mClient, mLoopback, ntohs(address.sin_port)));
    mPeer = accept(mListener, nullptr, nullptr);
    ASSERT_GE(mPeer, 0);
  }
  void TearDown() override {
    fbsdk_control::SetSocketTap(nullptr);
    if (mClient != 0) mTcp.CloseSocket(mClient);
    if (mPeer >= 0) close(mPeer);
    if (mListener >= 0) close(mListener);
  }
  void PeerSends(const std::string& data) {
    ASSERT_EQ(send(mPeer, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(mTcp.Select(mClient, true, false, false, 5000), 1);
  }

  fbsdk_control::ScopedHostCapture mHost;
  FBTCPIP mTcp;
  char mLoopback[10] = "127.0.0.1";
  int mListener = -1;
  int mClient = 0;
  int mPeer = -1;
};

TEST_F(HostSocketTapTest, ReportsEveryByteReadAndWrittenOnTheCallingThread) {
  TapRecorder recorder;
  recorder.Install();
  char hello[] = "hello";
  ASSERT_TRUE(mTcp.Write(mClient, hello, 5));
  fbsdk_control::SetSocketReadLimit(4);
  PeerSends("abcdef");
  char buffer[16] = {};
  int count = 0;
  EXPECT_FALSE(mTcp.Read(mClient, buffer, 16, &count));
  EXPECT_EQ(count, 4);
  EXPECT_FALSE(mTcp.Read(mClient, buffer + 4, 12, &count));
  EXPECT_EQ(count, 2);
  // Nothing waiting: no call for zero bytes.
  EXPECT_FALSE(mTcp.Read(mClient, buffer, 16, &count));
  EXPECT_EQ(count, 0);

  const std::vector<TapCall> calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[0].mOutgoing);
  EXPECT_EQ(calls[0].mBytes, "hello");
  EXPECT_FALSE(calls[1].mOutgoing);
  EXPECT_EQ(calls[1].mBytes, "abcd");
  EXPECT_FALSE(calls[2].mOutgoing);
  EXPECT_EQ(calls[2].mBytes, "ef");
  for (const TapCall& call : calls) {
    EXPECT_EQ(call.mSocket, mClient);
    EXPECT_EQ(call.mThread, std::this_thread::get_id());
  }
}

TEST_F(HostSocketTapTest, ClosingIsReportedOnceBeforeTheHandleGoes) {
  TapRecorder recorder;
  recorder.Install();
  const int socket = mClient;
  ASSERT_TRUE(mTcp.CloseSocket(mClient));
  EXPECT_FALSE(mTcp.CloseSocket(mClient));  // 0: nothing closed, nothing reported
  const std::vector<TapCall> calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].mSocket, socket);
  EXPECT_FALSE(calls[0].mOutgoing);
  EXPECT_EQ(calls[0].mBytes, "<closing>");
}

TEST_F(HostSocketTapTest, BlockingCallsAreReportedToo) {
  TapRecorder recorder;
  recorder.Install();
  char data[] = "0123456789";
  ASSERT_TRUE(mTcp.WriteBlocking(mClient, data, 10));
  PeerSends("xyz");
  char buffer[3];
  int count = 0;
  ASSERT_TRUE(mTcp.ReadBlocking(mClient, buffer, 3, &count, 5000));
  const std::vector<TapCall> calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].mBytes, "0123456789");
  EXPECT_TRUE(calls[0].mOutgoing);
  EXPECT_EQ(calls[1].mBytes, "xyz");
  EXPECT_FALSE(calls[1].mOutgoing);
}

TEST_F(HostSocketTapTest, NullAndResetRemoveTheTap) {
  TapRecorder recorder;
  recorder.Install();
  char one[] = "1";
  ASSERT_TRUE(mTcp.Write(mClient, one, 1));
  fbsdk_control::SetSocketTap(nullptr);
  ASSERT_TRUE(mTcp.Write(mClient, one, 1));
  EXPECT_EQ(recorder.Calls().size(), 1u);

  recorder.Install();
  fbsdk_control::ResetHost();
  ASSERT_TRUE(mTcp.Write(mClient, one, 1));
  EXPECT_EQ(recorder.Calls().size(), 1u);
}

TEST_F(HostSocketTapTest, TapMayUseHostCallsAndReplaceItself) {
  // Host calls inside the tap would deadlock if a host lock were held during the call.
  std::atomic<int> calls{0};
  fbsdk_control::SetSocketTap([&calls](int, bool, const char*, int) {
    FBTrace("tapped\n");
    EXPECT_FALSE(fbsdk_control::TracesSeen().empty());
    ++calls;
    fbsdk_control::SetSocketTap(nullptr);  // must not wait for this very call
  });
  char two[] = "22";
  ASSERT_TRUE(mTcp.Write(mClient, two, 2));
  ASSERT_TRUE(mTcp.Write(mClient, two, 2));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(fbsdk_control::CountTraces("tapped"), 1u);
}

TEST_F(HostSocketTapTest, RemovalWaitsForACallInProgress) {
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false;   // guarded by mutex
  bool release = false;  // guarded by mutex
  bool removed = false;  // guarded by mutex
  fbsdk_control::SetSocketTap([&](int, bool, const char*, int) {
    std::unique_lock<std::mutex> lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  });
  std::thread writer([this] {
    char data[] = "w";
    mTcp.Write(mClient, data, 1);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return inside; }));
  }
  std::thread remover([&] {
    fbsdk_control::SetSocketTap(nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    removed = true;
    changed.notify_all();
  });
  {
    // The removal must not return while the call is still inside the tap.
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_FALSE(changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return removed; }));
    release = true;
    changed.notify_all();
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return removed; }));
  }
  writer.join();
  remover.join();
}

}  // namespace

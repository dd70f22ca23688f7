// Regression tests for what the sanitizer runs found in the real-time passes. A test whose fix
// is not in yet is DISABLED_ (run it with --gtest_also_run_disabled_tests).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kovrim_device.h"
#include "link_test_util.h"
#include "server_link_test_peer.h"

using namespace linktest;
namespace control = fbsdk_control;

namespace {

constexpr uint32_t kTag = 4;
// Frames the server sends while the pass runs: far more than any one pass should take.
constexpr int kFramesFed = 2000;

class IoPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control::SetTraceEcho(false);
    FBDevice* device = control::CreateDevice(KOVRIM_DEVICE_LABEL, "Kovrim device");
    ASSERT_NE(device, nullptr);
    mDevice = static_cast<KovrimDevice*>(device);
    mDevice->mLink.mPort = mPeer.Port();
    mDevice->Online = true;
    ASSERT_TRUE(mPeer.Accept());
    mDevice->mLink.mActorTag = kTag;
    mDevice->mLink.mHeaderPending = true;
    const std::string header =
        HeaderMessage(kTag, Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, Y_ROT, X_ROT}, {0, 10, 0}))
            .SerializePartialAsString();
    mDevice->mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(header.data()),
                                   static_cast<int>(header.size()), kovrim::wire::kPlainMarker);
    mDevice->ProcessPending();
    // The stream comes through a local socket pair, so that a frame sent is readable at once.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, mPair), 0);
    const int tcp = mDevice->mLink.Connection()->mSocket.exchange(mPair[0]);
    ::close(tcp);
  }
  void TearDown() override {
    control::SetSocketTap(nullptr);
    control::DestroyDevice(mDevice);
    if (mPair[1] >= 0) ::close(mPair[1]);
  }

  control::ScopedHostCapture mHost;
  ScriptedPeer mPeer;
  KovrimDevice* mDevice = nullptr;
  int mPair[2] = {-1, -1};
};

// Found under ThreadSanitizer: DeviceIONotify reads frames for as long as ReadMessage finds one,
// so a server that sends faster than the pass applies frames (a slow or loaded machine, a fast
// server) keeps the device I/O thread inside one host callback for good, and whoever waits for
// that pass to end (the headless host's pause, the host going offline) waits for good too. The
// sound behaviour is a bounded pass: it ends while the server keeps sending, and the next pass
// goes on with what is left. Here every read the link makes lets the server send one more frame.
TEST_F(IoPassTest, OnePassEndsWhileTheServerKeepsSending) {
  const std::string frame = FrameBytes(FrameMessage(kTag, {1, 2, 3, 0, 0, 0}), Payload::kPlain);
  std::atomic<int> sent{1};
  ASSERT_EQ(::send(mPair[1], frame.data(), frame.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(frame.size()));
  control::SetSocketTap([&](int, bool outgoing, const char*, int size) {
    if (outgoing || size <= 0 || sent.load() >= kFramesFed) return;
    if (::send(mPair[1], frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
        static_cast<ssize_t>(frame.size())) {
      sent.fetch_add(1);
    }
  });
  // The pass's clock stands still: the count alone ends it.
  mDevice->mIoPassClock = [] { return std::chrono::steady_clock::time_point(); };
  control::RunDeviceIO(mDevice, FBTime(0));
  control::SetSocketTap(nullptr);
  const long read = control::SamplesAcknowledged(mDevice);
  EXPECT_EQ(read, KovrimDevice::kMaxMessagesPerIoPass)
      << "one I/O pass read every frame the server sent during it";
  // The next pass goes on with what is waiting.
  control::RunDeviceIO(mDevice, FBTime(0));
  EXPECT_GT(control::SamplesAcknowledged(mDevice), read);
}

// Found measuring the worst messages: one message may take milliseconds to decode, so 256 of them
// kept one notification busy for seconds. A pass also ends once its time is up; the rest waits.
TEST_F(IoPassTest, PassEndsOnceItsTimeIsUpAndTheNextGoesOn) {
  const std::string frame = FrameBytes(FrameMessage(kTag, {1, 2, 3, 0, 0, 0}), Payload::kPlain);
  std::string stream;
  for (int i = 0; i < 10; ++i) stream += frame;
  ASSERT_EQ(::send(mPair[1], stream.data(), stream.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(stream.size()));
  // Each message takes a quarter of the pass's time: after the third, the time spent and one
  // more such message would fill it, so the pass ends there and the next goes on.
  auto now = std::make_shared<std::chrono::steady_clock::time_point>();
  mDevice->mIoPassClock = [now] { return *now += KovrimDevice::kIoPassTime / 4; };
  control::RunDeviceIO(mDevice, FBTime(0));
  EXPECT_EQ(control::SamplesAcknowledged(mDevice), 3);
  control::RunDeviceIO(mDevice, FBTime(0));
  EXPECT_EQ(control::SamplesAcknowledged(mDevice), 6);
}

// The count of a trace held back is told by the first notification that reads nothing once the
// trace's second is over, so a fault that stops is accounted for without waiting for the next.
TEST_F(IoPassTest, QuietNotificationTellsTheCountHeldBack) {
  ServerLinkTestPeer seams(&mDevice->mLink);
  seams.UseManualClock();
  mDevice->mIoPassClock = [] { return std::chrono::steady_clock::time_point(); };
  const std::string empty = RawFrame(kovrim::wire::kPlainMarker, 0, "");
  const std::string stream = empty + empty + empty;
  ASSERT_EQ(::send(mPair[1], stream.data(), stream.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(stream.size()));
  control::RunDeviceIO(mDevice, FBTime(0));
  ASSERT_EQ(control::SamplesAcknowledged(mDevice), 3);
  const char* const incorrect = "The data received maybe incorrect.";
  EXPECT_EQ(control::TracesSeen(), std::vector<std::string>{incorrect});
  control::RunDeviceIO(mDevice, FBTime(0));  // quiet, within the second: nothing yet
  EXPECT_EQ(control::TracesSeen().size(), 1u);
  seams.Advance(std::chrono::seconds(1));
  control::RunDeviceIO(mDevice, FBTime(0));
  EXPECT_EQ(
      control::TracesSeen(),
      (std::vector<std::string>{incorrect, kovrim::TraceThrottle::HeldBackLine(incorrect, 2)}));
}

}  // namespace

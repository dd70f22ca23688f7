// The longest device I/O notification under the worst streams a server can send: the largest
// header and actor list the link takes, the ones it refuses for their size, inflation bombs, a
// flood of empty frames, a flood of another actor's frames and the chosen actor's frames on the
// largest skeleton, keyed while recording. A feeder thread keeps the socket full; each iteration
// is one notification on the benchmark's thread. BM_DecodeUnbounded gives, for comparison, what
// one such message costs a decoder without entry limits (a notification read up to 256 of them),
// and BM_CountEntries what the entry scan adds to each. BM_HeaderCopyLockWait: how long a getter
// waits for the link's lock while the user-interface thread copies the largest header and actor
// list, from snapshots (as the link hands them out) or, for comparison, under the lock.
//
// Threads: the benchmark's thread runs the device's I/O and evaluation passes; the feeder thread
// only writes to its end of the socket pair.
#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kovrim_device.h"
#include "link_test_util.h"
#include "scene_test_util.h"

namespace control = fbsdk_control;
using namespace linktest;

namespace {

constexpr uint32_t kTag = 7;
constexpr uint32_t kOtherTag = 8;
using Clock = std::chrono::steady_clock;

// A skeleton of `entries` entries: a root with six channels and entries - 1 children with three.
BVH_JOIN Skeleton(int entries) {
  BVH_JOIN root = Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 10, 0});
  for (int i = 1; i < entries; ++i) {
    *root.add_childjoin() = Joint("Joint" + std::to_string(i), {Z_ROT, X_ROT, Y_ROT}, {0, 1, 0});
  }
  return root;
}

// An actor list of `count` actors whose names share `nameBytes` bytes.
IVRA_PLUGIN_MESSAGE Actors(int count, size_t nameBytes) {
  std::vector<std::pair<uint32_t, std::string>> actors;
  for (int i = 1; i <= count; ++i)
    actors.push_back({static_cast<uint32_t>(i), std::string(nameBytes, 'a')});
  return ActorListMessage(actors);
}

// Values for a frame of the Skeleton(entries), padded with unused values to `values`.
std::vector<float> Values(int entries, int values) {
  std::vector<float> v(static_cast<size_t>(std::max(values, 3 + 3 * entries)), 1.5f);
  return v;
}

struct Input {
  const char* mName;
  std::string mFrame;  // one whole frame: marker, length, payload
  bool mKeyed;         // the chosen actor's frames, keyed after an evaluation before each pass
};

// The worst inputs; built once. Compressed ones are gzip, as the server sends.
const std::vector<Input>& Inputs() {
  static const std::vector<Input> inputs = [] {
    const int most = kovrim::wire::kMaxSkeletonEntries;
    std::vector<Input> list;
    list.push_back({"largest header (2000 entries)",
                    FrameBytes(HeaderMessage(kTag, Skeleton(most)), Payload::kGzip), false});
    list.push_back({"header of 2001 entries, refused",
                    FrameBytes(HeaderMessage(kTag, Skeleton(most + 1)), Payload::kGzip), false});
    // Empty child joints, two bytes each: as many as the receive buffer holds.
    IVRA_PLUGIN_MESSAGE empty = HeaderMessage(kTag, Skeleton(1));
    while (empty.ByteSizeLong() + 2 < static_cast<size_t>(kovrim::wire::kReceiveLimit)) {
      empty.mutable_header()->mutable_rootjoin()->add_childjoin();
    }
    list.push_back({"header of 92000 empty joints, refused",
                    FrameBytes(empty.SerializePartialAsString(), Payload::kGzip), false});
    // 1000 names filling the receive buffer.
    list.push_back({"largest actor list (1000, 180 KB)",
                    FrameBytes(Actors(kovrim::wire::kMaxActors, 170), Payload::kGzip), false});
    IVRA_PLUGIN_MESSAGE many = Actors(1, 1);
    for (uint32_t tag = 2;
         many.ByteSizeLong() + 16 < static_cast<size_t>(kovrim::wire::kReceiveLimit); ++tag) {
      (*many.mutable_command()->mutable_actorslist()->mutable_map())[tag] = "actor";
    }
    list.push_back({"actor list of 184 KB, refused", FrameBytes(many, Payload::kGzip), false});
    list.push_back({"inflate bomb (8 MB of zeros)",
                    FrameBytes(std::string(8 << 20, '\0'), Payload::kGzip), false});
    // Unknown empty fields (field 15, two bytes each) filling the buffer around a frame.
    std::string unknown = FrameMessage(kOtherTag, {}).SerializeAsString();
    while (unknown.size() + 2 <= static_cast<size_t>(kovrim::wire::kReceiveLimit)) {
      unknown += std::string("\x7a\x00", 2);
    }
    list.push_back({"frame of 92000 unknown fields", FrameBytes(unknown, Payload::kGzip), false});
    list.push_back({"empty plain frames", RawFrame(kovrim::wire::kPlainMarker, 0, ""), false});
    list.push_back({"other actor's frames (59 joints)",
                    FrameBytes(FrameMessage(kOtherTag, Values(59, 0)), Payload::kGzip), false});
    // Frames of the chosen actor as long as the buffer allows, on the largest skeleton.
    list.push_back({"own frames, 2000 entries, keyed",
                    FrameBytes(FrameMessage(kTag, Values(most, 36000)), Payload::kGzip), true});
    return list;
  }();
  return inputs;
}

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A device online on one end of a socket pair, its skeleton the largest the link takes, bound and
// recording; a feeder writes one input's frame into the other end until the device is gone.
class Stage {
 public:
  explicit Stage(const Input& input) {
    control::SetTraceEcho(false);
    control::SetMessageBoxHandler([](const control::MessageBoxRecord&) { return 1; });
    mDevice = static_cast<KovrimDevice*>(control::CreateDevice(KOVRIM_DEVICE_LABEL, "Bench"));
    if (!mDevice || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, mPair) != 0) return;
    const int big = 8 << 20;
    ::setsockopt(mPair[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    ::setsockopt(mPair[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    ServerLink& link = mDevice->mLink;
    link.mActorTag = kTag;
    link.mOnline = true;
    link.mHeaderPending = true;
    const std::string header =
        HeaderMessage(kTag, Skeleton(kovrim::wire::kMaxSkeletonEntries)).SerializeAsString();
    link.DispatchMessage(reinterpret_cast<const unsigned char*>(header.data()),
                         static_cast<int>(header.size()), kovrim::wire::kPlainMarker);
    mDevice->ProcessPending();
    FBModel* reference = control::CreateModel("Reference");
    FBModelTemplate* root = mDevice->ModelTemplate.Children[0];
    kmq_test::MirrorTemplates(root, reference);
    if (!control::BindSkeleton(mDevice, reference)) return;
    control::StartRecording();
    control::SetTransportMode(kFBTransportPlay);
    link.Connection()->mSocket = mPair[0];
    mFeeder = std::thread([this, frame = input.mFrame] {
      std::string burst;
      while (burst.size() < (1u << 20)) burst += frame;
      for (;;) {
        const ssize_t sent = ::send(mPair[1], burst.data(), burst.size(), MSG_NOSIGNAL);
        if (sent < 0 || mStop) return;
      }
    });
    mReady = true;
  }
  ~Stage() {
    mStop = true;
    if (mPair[0] >= 0) ::shutdown(mPair[0], SHUT_RDWR);
    if (mFeeder.joinable()) mFeeder.join();
    if (mDevice) {
      mDevice->mLink.Connection()->mSocket = 0;
      control::DestroyDevice(mDevice);
    }
    for (int fd : mPair) {
      if (fd >= 0) ::close(fd);
    }
    control::ResetHost();
  }
  bool Ready() const { return mReady; }
  KovrimDevice* Device() { return mDevice; }
  // Waits (with a deadline) until the socket holds a few passes' worth of bytes.
  bool WaitUntilFull() {
    const auto end = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      int waiting = 0;
      if (::ioctl(mPair[0], FIONREAD, &waiting) == 0 && waiting >= (256 << 10)) return true;
      if (Clock::now() > end) return false;
      std::this_thread::yield();
    }
  }

 private:
  KovrimDevice* mDevice = nullptr;
  int mPair[2] = {-1, -1};
  std::atomic<bool> mStop{false};
  std::thread mFeeder;
  bool mReady = false;
};

void BM_IoPassWorstStreams(benchmark::State& state) {
  const Input& input = Inputs()[static_cast<size_t>(state.range(0))];
  state.SetLabel(input.mName);
  Stage stage(input);
  if (!stage.Ready()) {
    state.SkipWithError("stage not set up");
    return;
  }
  KovrimDevice* device = stage.Device();
  if (!stage.WaitUntilFull()) {
    state.SkipWithError("the socket did not fill");
    return;
  }
  double longestMs = 0;
  double longestCpuMs = 0;
  double totalMs = 0;
  long passes = 0;
  long mostMessages = 0;
  long messages = 0;
  int64_t second = 0;
  for (auto _ : state) {
    if (input.mKeyed) {
      state.PauseTiming();
      control::EvaluateDevice(device, FBTime(0, 0, 0, static_cast<int>(passes)));
      state.ResumeTiming();
    }
    const long before = control::SamplesAcknowledged(device);
    const double cpu = ThreadCpuMs();
    const auto start = Clock::now();
    control::RunDeviceIO(device, FBTime(0, 0, 0, static_cast<int>(++second)));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    longestCpuMs = std::max(longestCpuMs, ThreadCpuMs() - cpu);
    longestMs = std::max(longestMs, ms);
    totalMs += ms;
    const long read = control::SamplesAcknowledged(device) - before;
    mostMessages = std::max(mostMessages, read);
    messages += read;
    ++passes;
  }
  state.counters["max_pass_ms"] = longestMs;
  state.counters["max_pass_cpu_ms"] = longestCpuMs;
  state.counters["mean_pass_ms"] = passes ? totalMs / static_cast<double>(passes) : 0;
  state.counters["max_msgs"] = static_cast<double>(mostMessages);
  state.counters["mean_msgs"] = passes ? static_cast<double>(messages) / passes : 0;
}
BENCHMARK(BM_IoPassWorstStreams)
    ->DenseRange(0, 9)
    ->ArgName("input")
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);

// One message of each input through a decoder without entry limits (inflate and parse only):
// what each would cost before the limits, and so a notification of 256 of them.
void BM_DecodeUnbounded(benchmark::State& state) {
  const Input& input = Inputs()[static_cast<size_t>(state.range(0))];
  state.SetLabel(input.mName);
  kovrim::wire::PayloadDecoder decoder;
  const std::string& frame = input.mFrame;
  const auto* payload = reinterpret_cast<const unsigned char*>(frame.data()) + 8;
  const bool compressed =
      kovrim::wire::ReadLittleEndian32(frame.data()) == kovrim::wire::kCompressedMarker;
  for (auto _ : state) {
    IVRA_PLUGIN_MESSAGE message;
    benchmark::DoNotOptimize(decoder.Decode(payload, frame.size() - 8, compressed, &message));
  }
}
BENCHMARK(BM_DecodeUnbounded)->DenseRange(0, 9)->ArgName("input")->Unit(benchmark::kMillisecond);

// The entry scan alone over each input's (inflated) payload, with the link's limits: what the
// bounds add to every message.
void BM_CountEntries(benchmark::State& state) {
  const Input& input = Inputs()[static_cast<size_t>(state.range(0))];
  state.SetLabel(input.mName);
  kovrim::wire::PayloadDecoder decoder;
  const std::string& frame = input.mFrame;
  const auto* payload = reinterpret_cast<const unsigned char*>(frame.data()) + 8;
  const unsigned char* plain = payload;
  int plainLength = static_cast<int>(frame.size() - 8);
  if (kovrim::wire::ReadLittleEndian32(frame.data()) == kovrim::wire::kCompressedMarker &&
      decoder.Inflate(payload, frame.size() - 8, &plain, &plainLength) !=
          kovrim::wire::PayloadDecoder::Result::kDecoded) {
    // Refused while it inflates: the link never scans it, so the scan adds nothing here.
    state.SetLabel(std::string(input.mName) + " (refused before the scan)");
    for (auto _ : state) {
    }
    return;
  }
  const kovrim::wire::EntryLimits limits{kovrim::wire::kMaxSkeletonEntries,
                                         kovrim::wire::kMaxActors, kovrim::wire::kMaxUnknownFields};
  for (auto _ : state) {
    kovrim::wire::EntryCounts counts;
    benchmark::DoNotOptimize(kovrim::wire::CountEntries(plain, plainLength, &counts, limits));
  }
}
BENCHMARK(BM_CountEntries)->DenseRange(0, 9)->ArgName("input")->Unit(benchmark::kMicrosecond);

// The getters' lock wait (taking and releasing mLock, as each getter does) while another thread,
// the user-interface thread's part, copies the largest header and the largest actor list over and
// over: through CopyHeader and CopyActors (under_lock 0), or with mLock held for each copy, as the
// link did before it handed out snapshots (under_lock 1). Nanoseconds; one sample per iteration,
// 5000 of them over half a second.
void BM_HeaderCopyLockWait(benchmark::State& state) {
  control::SetTraceEcho(false);
  const bool underLock = state.range(0) != 0;
  ServerLink link;
  link.mActorTag = kTag;
  link.mHeaderPending = true;
  for (const IVRA_PLUGIN_MESSAGE& message :
       {HeaderMessage(kTag, Skeleton(kovrim::wire::kMaxSkeletonEntries)), Actors(1000, 150)}) {
    const std::string bytes = message.SerializeAsString();
    link.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
  }
  if (link.GetJointCount() != kovrim::wire::kMaxSkeletonEntries ||
      link.CopyActors().size() != 1000) {
    state.SkipWithError("header or actor list not taken");
    return;
  }
  std::atomic<bool> stop{false};
  std::atomic<long> copies{0};
  std::thread copier([&] {
    while (!stop) {
      if (underLock) {
        kovrim::MutexLock lock(&link.mLock);
        benchmark::DoNotOptimize(IvraPlugs::BVH_HEADER(*link.mHeader));
        benchmark::DoNotOptimize(ServerLink::ActorMap(*link.mActors));
      } else {
        benchmark::DoNotOptimize(link.CopyHeader());
        benchmark::DoNotOptimize(link.CopyActors());
      }
      ++copies;
    }
  });
  // One sample every 100 us, as the evaluation and the I/O thread read the pose at their own
  // pace: a sample then lands in a copy as often as the copy holds the lock.
  std::vector<double> wait;
  auto next = Clock::now();
  for (auto _ : state) {
    next += std::chrono::microseconds(100);
    std::this_thread::sleep_until(next);  // the readers' pace, not synchronisation
    const auto t0 = Clock::now();
    { kovrim::MutexLock lock(&link.mLock); }
    wait.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
  }
  stop = true;
  copier.join();
  std::sort(wait.begin(), wait.end());
  state.counters["lock_wait_p50_ns"] = wait[wait.size() / 2];
  state.counters["lock_wait_p99_ns"] = wait[std::min(wait.size() - 1, wait.size() * 99 / 100)];
  state.counters["copies"] = static_cast<double>(copies.load());
}
BENCHMARK(BM_HeaderCopyLockWait)
    ->ArgName("under_lock")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5000)
    ->UseRealTime();

}  // namespace

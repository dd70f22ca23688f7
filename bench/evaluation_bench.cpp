// The device's real-time passes on skeletons of 31, 59 and 173 joints (a bundled capture, and the
// same capture with finger chains added): the evaluation pass, with and without frames applied
// at 1000 Hz on another thread, and how long its pose read waits for the link's lock; the I/O
// pass with keying; the cost of frames of actors that are not the chosen one.
//
// Threads: each benchmark runs on the benchmark's thread; the frame feeder runs on its own thread
// and only calls the link's DispatchMessage, as the device I/O thread does.
#include <benchmark/benchmark.h>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bvh.h"
#include "bvh_fingers.h"
#include "kovrim_device.h"
#include "link_test_util.h"
#include "motion_protocol.h"
#include "scene_test_util.h"

namespace control = fbsdk_control;

namespace {

constexpr uint32_t kTag = 7;
using Clock = std::chrono::steady_clock;

// The walk capture grown to `joints` joints.
const bvh::Clip& Capture(int joints) {
  static std::map<int, std::unique_ptr<bvh::Clip>> clips;
  std::unique_ptr<bvh::Clip>& clip = clips[joints];
  if (!clip) {
    clip = std::make_unique<bvh::Clip>();
    std::string error;
    if (!bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh", clip.get(),
                           &error) ||
        !bvh::AddFingerChains(clip.get(), joints, &error)) {
      clip->mFrameCount = 0;
    }
  }
  return *clip;
}

// One payload without its marker and length, ready for DispatchMessage.
struct Payload {
  std::string mBytes;
  uint32_t mMarker;
  void DispatchTo(ServerLink* link) const {
    link->DispatchMessage(reinterpret_cast<const unsigned char*>(mBytes.data()),
                          static_cast<int>(mBytes.size()), mMarker);
  }
};

Payload Encode(const IvraPlugs::IVRA_PLUGIN_MESSAGE& message, bool compressed) {
  const std::string frame =
      kmq::EncodeFrame(message, compressed ? kmq::Compression::kGzip : kmq::Compression::kPlain);
  return {frame.substr(kovrim::wire::kFrameHeaderSize),
          compressed ? kovrim::wire::kCompressedMarker : kovrim::wire::kPlainMarker};
}

std::vector<Payload> EncodeFrames(const bvh::Clip& clip, uint32_t tag, bool compressed) {
  std::vector<Payload> frames;
  for (int f = 0; f < clip.mFrameCount; ++f) {
    frames.push_back(Encode(kmq::MakeFrameMessage(clip, f, tag), compressed));
  }
  return frames;
}

// A device whose skeleton is bound to scene models, with the link taking payloads from memory.
class Rig {
 public:
  explicit Rig(const bvh::Clip& clip) {
    control::SetTraceEcho(false);
    control::SetMessageBoxHandler([](const control::MessageBoxRecord&) { return 1; });
    mDevice = static_cast<KovrimDevice*>(control::CreateDevice(KOVRIM_DEVICE_LABEL, "Bench"));
    if (!mDevice) return;
    mDevice->mLink.mActorTag = kTag;
    mDevice->mLink.mOnline = true;
    mDevice->mLink.mHeaderPending = true;
    Encode(kmq::MakeHeaderMessage(clip, kTag, "actor"), false).DispatchTo(&mDevice->mLink);
    mDevice->ProcessPending();
    FBModelTemplate* reference = mDevice->ModelTemplate.Children[0];
    mReference = control::CreateModel("Reference");
    kmq_test::MirrorTemplates(reference, mReference);
    mBound = control::BindSkeleton(mDevice, mReference) &&
             mDevice->mLink.GetJointCount() ==
                 bvh::CountJoints(clip.mRoot) + bvh::CountEndSites(clip.mRoot);
  }
  ~Rig() {
    if (mDevice) control::DestroyDevice(mDevice);
    control::ResetHost();
  }
  bool Ready() const { return mDevice && mBound; }
  KovrimDevice* Device() { return mDevice; }
  FBAnimationNode* FirstNode() { return mDevice->mJoints.front().mTranslationNode; }

 private:
  KovrimDevice* mDevice = nullptr;
  FBModel* mReference = nullptr;
  bool mBound = false;
};

// Applies the capture's frames to a link at a steady rate until stopped.
class FrameFeeder {
 public:
  FrameFeeder(ServerLink* link, std::vector<Payload> frames, int hertz)
      : mFrames(std::move(frames)), mThread([this, link, hertz] { Run(link, hertz); }) {}
  ~FrameFeeder() {
    mStop = true;
    mThread.join();
  }
  long Applied() const { return mApplied.load(); }

 private:
  void Run(ServerLink* link, int hertz) {
    const auto period = std::chrono::nanoseconds(1000000000 / hertz);
    auto next = Clock::now();
    for (size_t i = 0; !mStop; ++i) {
      mFrames[i % mFrames.size()].DispatchTo(link);
      ++mApplied;
      next += period;
      std::this_thread::sleep_until(next);  // the load's pace, not synchronisation
    }
  }

  std::vector<Payload> mFrames;
  std::atomic<bool> mStop{false};
  std::atomic<long> mApplied{0};
  std::thread mThread;  // last: starts once the members above exist
};

// Nanoseconds at the given quantile of samples (sorted in place).
double Quantile(std::vector<double>* samples, double q) {
  if (samples->empty()) return 0;
  std::sort(samples->begin(), samples->end());
  const size_t at = std::min(samples->size() - 1, static_cast<size_t>(q * samples->size()));
  return (*samples)[at];
}

void SetQuantiles(benchmark::State& state, const char* name, std::vector<double>* samples) {
  state.counters[std::string(name) + "_p50_ns"] = Quantile(samples, 0.50);
  state.counters[std::string(name) + "_p99_ns"] = Quantile(samples, 0.99);
}

// ---- The evaluation pass ----

// One notification writing every joint's two nodes: the device's whole share of a host pass.
// Arguments: joints, frames applied concurrently at 1000 Hz (0 or 1), compressed frames (0 or 1).
void BM_EvaluationPass(benchmark::State& state) {
  const bvh::Clip& clip = Capture(static_cast<int>(state.range(0)));
  Rig rig(clip);
  if (!clip.mFrameCount || !rig.Ready()) {
    state.SkipWithError("no bound skeleton");
    return;
  }
  KovrimDevice* device = rig.Device();
  const std::vector<Payload> frames = EncodeFrames(clip, kTag, state.range(2) != 0);
  frames[1].DispatchTo(&device->mLink);
  std::unique_ptr<FrameFeeder> feeder;
  if (state.range(1)) feeder = std::make_unique<FrameFeeder>(&device->mLink, frames, 1000);
  FBAnimationNode* node = rig.FirstNode();
  for (auto _ : state) benchmark::DoNotOptimize(device->AnimationNodeNotify(node, nullptr));
  state.counters["joints"] = static_cast<double>(device->mLink.GetJointCount());
  if (feeder) state.counters["frames_applied"] = static_cast<double>(feeder->Applied());
}
BENCHMARK(BM_EvaluationPass)
    ->ArgNames({"joints", "feeding", "gzip"})
    ->ArgsProduct({{31, 59, 173}, {0, 1}, {1}})
    ->Args({59, 1, 0})
    ->Args({173, 1, 0});

// The host's whole pass as the stand-in runs it: the pulls of every bound node, the one
// notification, and the copy onto the models.
void BM_HostEvaluationPass(benchmark::State& state) {
  const bvh::Clip& clip = Capture(static_cast<int>(state.range(0)));
  Rig rig(clip);
  if (!clip.mFrameCount || !rig.Ready()) {
    state.SkipWithError("no bound skeleton");
    return;
  }
  EncodeFrames(clip, kTag, true)[1].DispatchTo(&rig.Device()->mLink);
  long frame = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(control::EvaluateDevice(rig.Device(), FBTime(0, 0, 0, ++frame)));
  }
}
BENCHMARK(BM_HostEvaluationPass)->ArgName("joints")->Arg(31)->Arg(59)->Arg(173);

// How long the evaluation's pose read waits for the link's lock while frames arrive at 1000 Hz:
// the wait alone (taking and releasing mLock), and the whole read, for the one-lock copy and for
// the 2N getter calls it replaces. Samples are spread over the run, one each per iteration.
void BM_PoseReadLockWait(benchmark::State& state) {
  const bvh::Clip& clip = Capture(static_cast<int>(state.range(0)));
  Rig rig(clip);
  if (!clip.mFrameCount || !rig.Ready()) {
    state.SkipWithError("no bound skeleton");
    return;
  }
  ServerLink& link = rig.Device()->mLink;
  const int count = link.GetJointCount();
  FrameFeeder feeder(&link, EncodeFrames(clip, kTag, true), 1000);
  std::vector<ServerLink::PoseValues> pose;
  std::vector<double> wait, copy, getters;
  for (auto _ : state) {
    auto t0 = Clock::now();
    { kovrim::MutexLock lock(&link.mLock); }
    auto t1 = Clock::now();
    link.CopyPose(false, count, &pose);
    auto t2 = Clock::now();
    for (int i = 0; i < count; ++i) {
      benchmark::DoNotOptimize(link.GetTranslation(i));
      benchmark::DoNotOptimize(link.GetRotation(i));
    }
    auto t3 = Clock::now();
    wait.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    copy.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count());
    getters.push_back(std::chrono::duration<double, std::nano>(t3 - t2).count());
  }
  SetQuantiles(state, "lock_wait", &wait);
  SetQuantiles(state, "copy", &copy);
  SetQuantiles(state, "getters", &getters);
  state.counters["frames_applied"] = static_cast<double>(feeder.Applied());
}
BENCHMARK(BM_PoseReadLockWait)->ArgName("joints")->Arg(31)->Arg(59)->Arg(173)->UseRealTime();

// ---- The I/O pass with keying ----

// Frames over loopback, each read, decoded and keyed on every joint's two nodes while the host
// records with the transport playing; with recording off (keying 0) the same passes add no keys.
// Each iteration sends a burst of kBurst frames in one write and runs I/O notifications until all
// are acknowledged, so the socket's delivery is shared by the burst. Key times cycle over one
// second, so each node's curve stays at 120 keys. per_joint is the time of one frame's pass
// divided by the skeleton's entries.
constexpr int kBurst = 16;

void BM_IoPass(benchmark::State& state) {
  const bvh::Clip& clip = Capture(static_cast<int>(state.range(0)));
  Rig rig(clip);
  if (!clip.mFrameCount || !rig.Ready()) {
    state.SkipWithError("no bound skeleton");
    return;
  }
  KovrimDevice* device = rig.Device();
  linktest::ScriptedPeer peer;
  device->mLink.mPort = peer.Port();
  device->Online = true;
  if (!peer.Accept()) {
    state.SkipWithError("no connection");
    return;
  }
  std::vector<std::string> bursts;
  for (int f = 0; f + kBurst <= clip.mFrameCount; f += kBurst) {
    std::string burst;
    for (int i = 0; i < kBurst; ++i) {
      burst += kmq::EncodeFrame(kmq::MakeFrameMessage(clip, f + i, kTag), kmq::Compression::kGzip);
    }
    bursts.push_back(burst);
  }
  const bool recording = state.range(1) != 0;
  if (recording) control::StartRecording();
  control::SetTransportMode(kFBTransportPlay);
  device->mEvaluationCount = KovrimDevice::kEvaluationCountLimit;  // every frame keys
  long sent = 0;
  for (auto _ : state) {
    const long target = control::SamplesAcknowledged(device) + kBurst;
    if (!peer.Send(bursts[sent % bursts.size()])) {
      state.SkipWithError("send failed");
      break;
    }
    const FBTime time(0, 0, 0, static_cast<int>(sent % 120) * 8);
    ++sent;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (control::SamplesAcknowledged(device) < target) {
      control::RunDeviceIO(device, time);
      if (Clock::now() > deadline) {
        state.SkipWithError("frames not read");
        break;
      }
    }
  }
  const int entries = device->mLink.GetJointCount();
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.counters["joints"] = entries;
  state.counters["per_joint"] = benchmark::Counter(
      static_cast<double>(entries) * kBurst,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  control::StopRecording();
  device->Online = false;
}
BENCHMARK(BM_IoPass)->ArgNames({"joints", "keying"})->ArgsProduct({{31, 59, 173}, {0, 1}});

// ---- Frames of other actors ----

// One round of frames from `actors` actors on one connection, the chosen actor's among them; the
// counter dropped_ns is the cost of one frame dropped because its actor is not the chosen one.
void BM_OtherActorsFrames(benchmark::State& state) {
  const int actors = static_cast<int>(state.range(0));
  const bvh::Clip& clip = Capture(59);
  Rig rig(clip);
  if (!clip.mFrameCount || !rig.Ready()) {
    state.SkipWithError("no bound skeleton");
    return;
  }
  ServerLink& link = rig.Device()->mLink;
  // Actor a sends frame a of the capture, with its own tag; the chosen one is kTag.
  std::vector<Payload> round;
  for (int a = 0; a < actors; ++a) {
    round.push_back(Encode(
        kmq::MakeFrameMessage(clip, 1 + a % (clip.mFrameCount - 1), a == 0 ? kTag : kTag + a),
        true));
  }
  double droppedNs = 0;
  long dropped = 0;
  for (auto _ : state) {
    round[0].DispatchTo(&link);
    if (actors > 1) {
      const auto t0 = Clock::now();
      for (int a = 1; a < actors; ++a) round[a].DispatchTo(&link);
      droppedNs += std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
      dropped += actors - 1;
    }
  }
  state.counters["dropped_ns"] = dropped ? droppedNs / dropped : 0;
  state.counters["actors"] = actors;
}
BENCHMARK(BM_OtherActorsFrames)->ArgName("actors")->Arg(1)->Arg(8)->Arg(32);

}  // namespace

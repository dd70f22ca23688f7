// End to end on loopback: the reference server in this process streams N actors (59 joints,
// compressed frames) at 120 or 1000 Hz; N links, one per actor, each choosing its own actor, read
// them on one I/O thread that polls every millisecond as the host's device I/O thread does.
// Latency runs from the server's play of a frame (encoded and queued to every client, written in
// the same loop turn) to the moment the getter called right after the frame was read returns its
// values. Each frame carries its row number in the root's X translation, which identifies it.
// The poll wait (from the frame's play to the start of the I/O pass that read it, when the pass
// started later) is reported apart, and so is the latency without it.
// BM_Memory reports the resident size at start and after a run at 1000 Hz with 8 links.
// BM_HostEndToEnd and BM_HostMemory measure the same through the headless host: N devices of the
// loaded plug-in, one per actor, under the host's own threads (below); BM_HostIoCpu the CPU of
// their I/O threads, one device against 8, on one 8-actor stream.
// Run times: KMQ_E2E_SECONDS (default 3) and KMQ_MEMORY_SECONDS (default 5); KMQ_MEMORY_HZ sets
// BM_Memory's rate (default 1000).
//
// Threads: the benchmark's thread sets up and runs the I/O loop; the server thread calls the
// play hook, which only stores a time stamp in an atomic slot.
#include <benchmark/benchmark.h>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <time.h>
#include <unistd.h>

#include "bvh.h"
#include "bvh_fingers.h"
#include "headless_host.h"
#include "host_options.h"
#include "host_session.h"
#include "kovrim_device.h"
#include "motion_server.h"
#include "server_link.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kJoints = 59;
// Rows per clip: two seconds at 1000 Hz, far longer than any latency, so a row names one frame.
constexpr int kRows = 2000;
constexpr auto kPollPeriod = std::chrono::milliseconds(1);

// One pass over a link, bounded as the device's I/O notification is; onMessage runs after each
// message read.
template <typename OnMessage>
int ReadPass(ServerLink& link, const OnMessage& onMessage) {
  return kovrim::ReadBoundedPass(
      link, KovrimDevice::kMaxMessagesPerIoPass, KovrimDevice::kIoPassTime,
      [] { return std::chrono::steady_clock::now(); }, onMessage);
}

double EnvNumber(const char* name, double fallback) {
  const char* text = std::getenv(name);
  if (!text) return fallback;
  const double value = std::atof(text);
  return value > 0 ? value : fallback;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The walk capture grown to kJoints joints, kRows rows long, the root's X translation set to the
// row number. Returns false when the capture cannot be read.
bool MakeClip(bvh::Clip* clip, int* xChannel) {
  std::string error;
  bvh::Clip source;
  if (!bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh", &source, &error) ||
      !bvh::AddFingerChains(&source, kJoints, &error) || source.mFrameCount == 0) {
    return false;
  }
  const std::vector<int>& rootChannels = source.mRoot.mChannels;
  const auto x = std::find(rootChannels.begin(), rootChannels.end(), bvh::kXposition);
  if (x == rootChannels.end()) return false;
  *xChannel = static_cast<int>(x - rootChannels.begin());
  const size_t channels = static_cast<size_t>(source.mChannelCount);
  *clip = source;
  clip->mFrameCount = kRows;
  clip->mValues.resize(static_cast<size_t>(kRows) * channels);
  for (size_t row = 0; row < static_cast<size_t>(kRows); ++row) {
    const size_t from = row % static_cast<size_t>(source.mFrameCount);
    std::copy_n(source.mValues.begin() + static_cast<std::ptrdiff_t>(from * channels), channels,
                clip->mValues.begin() + static_cast<std::ptrdiff_t>(row * channels));
    clip->mValues[row * channels + static_cast<size_t>(*xChannel)] = static_cast<float>(row);
  }
  return true;
}

// When each actor's rows were played, the last kPlaysKept times each (steady-clock ns); written
// by the server thread, read by the benchmark's thread while the server plays on.
class PlayTimes {
 public:
  static constexpr size_t kPlaysKept = 4;
  explicit PlayTimes(int actors)
      : mSlots(static_cast<size_t>(actors) * kRows * kPlaysKept),
        mPlays(static_cast<size_t>(actors) * kRows, 0) {}
  void Stamp(uint32_t tag, uint64_t row) {
    const size_t at = (tag - 1) * static_cast<size_t>(kRows) + row;
    if (at >= mPlays.size()) return;
    mSlots[at * kPlaysKept + mPlays[at]++ % kPlaysKept].store(NowNs(), std::memory_order_release);
  }
  // The row's last play (0 when none yet).
  int64_t At(uint32_t tag, int row) const { return Before(tag, row, INT64_MAX, INT64_MAX); }
  // The row's last play at or before ns and less than maxAgeNs before it (0 when none): the play
  // a value read at ns came from, when matched after the run.
  int64_t Before(uint32_t tag, int row, int64_t ns, int64_t maxAgeNs) const {
    const size_t at = (tag - 1) * static_cast<size_t>(kRows) + static_cast<size_t>(row);
    int64_t best = 0;
    for (size_t k = 0; k < kPlaysKept; ++k) {
      const int64_t played = mSlots[at * kPlaysKept + k].load(std::memory_order_acquire);
      if (played != 0 && played <= ns && played > best) best = played;
    }
    return best != 0 && ns - best < maxAgeNs ? best : 0;
  }

 private:
  std::vector<std::atomic<int64_t>> mSlots;
  std::vector<uint64_t> mPlays;  // plays of each row so far; the server thread's own
};

// The resident set size in bytes (Linux).
long ResidentBytes() {
  long pages = 0;
  long resident = 0;
  FILE* file = std::fopen("/proc/self/statm", "r");
  if (!file) return -1;
  const int read = std::fscanf(file, "%ld %ld", &pages, &resident);
  std::fclose(file);
  return read == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

struct Samples {
  std::vector<double> mTotalUs;     // play to getter return
  std::vector<double> mPollUs;      // play to the start of the pass that read it (0 when later)
  std::vector<double> mNoPollUs;    // the latency without the poll wait
  long mUnmatched = 0;              // frames whose row had no play time yet
  long mStale = 0;                  // keyed later than the pass that read them (host benchmarks)
  std::vector<double> mStaleGapUs;  // of a stale key: from its play to the previous pass's end
};

// A server with `actors` actors at `rate` and one link per actor; Run polls them for seconds.
class Stage {
 public:
  Stage(int actors, double rate) : mTimes(actors) {
    fbsdk_control::SetTraceEcho(false);
    fbsdk_control::SetMessageBoxHandler([](const fbsdk_control::MessageBoxRecord&) { return 1; });
    bvh::Clip clip;
    if (!MakeClip(&clip, &mXChannel)) {
      mError = "capture not read";
      return;
    }
    kmq::ServerOptions options;
    options.mPort = 0;
    options.mRate = rate;
    options.mQuiet = true;
    options.mStatusInterval = 0;
    options.mOnFramePlayed = [this](uint32_t tag, uint64_t row) { mTimes.Stamp(tag, row); };
    mServer = std::make_unique<kmq::MotionServer>(options);
    for (int a = 1; a <= actors; ++a) {
      if (!mServer->AddActor(static_cast<uint32_t>(a), "actor" + std::to_string(a), clip,
                             &mError)) {
        return;
      }
    }
    if (!mServer->Start(&mError)) return;
    for (int a = 1; a <= actors; ++a) {
      auto link = std::make_unique<ServerLink>();
      link->mAddress = "127.0.0.1";
      link->mPort = mServer->Port();
      if (!link->Open()) {
        mError = "link not connected";
        return;
      }
      link->SelectActor(static_cast<uint32_t>(a));
      mLinks.push_back(std::move(link));
    }
    mLastRow.assign(mLinks.size(), -1);
    // Reads until every link has its actor's header and a frame of it.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    std::vector<bool> ready(mLinks.size(), false);
    while (std::count(ready.begin(), ready.end(), true) < static_cast<long>(ready.size())) {
      if (Clock::now() > deadline) {
        mError = "headers not received";
        return;
      }
      for (size_t i = 0; i < mLinks.size(); ++i) {
        ReadPass(*mLinks[i], [&] {
          if (mLinks[i]->mHeaderReceived && !mLinks[i]->mHeaderPending &&
              mLinks[i]->GetJointCount() >= kJoints) {
            ready[i] = true;
          }
        });
      }
      std::this_thread::sleep_for(kPollPeriod);
    }
  }
  ~Stage() {
    for (auto& link : mLinks) link->Close();
    if (mServer) mServer->Stop();
    fbsdk_control::ResetHost();
  }
  const std::string& Error() const { return mError; }
  uint64_t SlowClientsDropped() const { return mServer->GetStats().mSlowClientsDropped; }

  // The I/O loop: a pass over every link each millisecond; each whole frame read is followed by
  // the getter, whose value names the frame.
  void Run(double seconds, Samples* samples) {
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    Clock::time_point next = Clock::now();
    while (Clock::now() < end) {
      const int64_t passStart = NowNs();
      for (size_t i = 0; i < mLinks.size(); ++i) {
        ReadPass(*mLinks[i], [&] {
          const FBVector4<double> root = mLinks[i]->GetTranslation(0);
          const int64_t returned = NowNs();
          const long row = std::lround(root[0]);
          // Every connection carries every actor's frames; the link keeps its own actor's only,
          // so a frame of another actor leaves the getter's values as they were.
          if (row == mLastRow[i]) return;
          mLastRow[i] = row;
          if (row < 0 || row >= kRows) {
            ++samples->mUnmatched;
            return;
          }
          const int64_t played = mTimes.At(static_cast<uint32_t>(i + 1), static_cast<int>(row));
          if (played == 0 || played > returned) {
            ++samples->mUnmatched;
            return;
          }
          const int64_t readFrom = std::max(played, passStart);
          samples->mTotalUs.push_back(static_cast<double>(returned - played) / 1000.0);
          samples->mPollUs.push_back(static_cast<double>(readFrom - played) / 1000.0);
          samples->mNoPollUs.push_back(static_cast<double>(returned - readFrom) / 1000.0);
        });
      }
      // Paced as the host's I/O thread: the next pass a period later, never a burst.
      next = std::max(next + kPollPeriod, Clock::now());
      std::this_thread::sleep_until(next);
    }
  }

 private:
  PlayTimes mTimes;
  int mXChannel = 0;
  std::string mError;
  std::unique_ptr<kmq::MotionServer> mServer;
  std::vector<std::unique_ptr<ServerLink>> mLinks;
  std::vector<long> mLastRow;  // the row each link's getter returned last
};

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(q * values.size()));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

// The latency counters of a run's samples.
void Report(benchmark::State& state, const Samples& samples);

// Runs a stage made for state's devices and rate for KMQ_E2E_SECONDS with its run member and
// reports the latencies; false (the benchmark skipped with the reason) when it could not.
template <typename StageType>
bool MeasureEndToEnd(benchmark::State& state, StageType& stage,
                     void (StageType::*run)(double seconds, Samples* samples)) {
  if (!stage.Error().empty()) {
    state.SkipWithError(stage.Error().c_str());
    return false;
  }
  Samples samples;
  const double seconds = EnvNumber("KMQ_E2E_SECONDS", 3);
  for (auto _ : state) (stage.*run)(seconds, &samples);
  // A short run on a loaded machine may key only stale frames: counted, with no latency to give.
  if (samples.mTotalUs.empty() && samples.mStale == 0) {
    state.SkipWithError("no frame matched");
    return false;
  }
  Report(state, samples);
  return true;
}

void BM_EndToEnd(benchmark::State& state) {
  Stage stage(static_cast<int>(state.range(0)), static_cast<double>(state.range(1)));
  if (MeasureEndToEnd(state, stage, &Stage::Run)) {
    state.counters["slow_dropped"] = static_cast<double>(stage.SlowClientsDropped());
  }
}

void Report(benchmark::State& state, const Samples& samples) {
  state.counters["frames"] = static_cast<double>(samples.mTotalUs.size());
  state.counters["unmatched"] = static_cast<double>(samples.mUnmatched);
  if (samples.mStale > 0) {
    state.counters["stale"] = static_cast<double>(samples.mStale);
    state.counters["stale_gap_p50_us"] = Quantile(samples.mStaleGapUs, 0.50);
    state.counters["stale_gap_p90_us"] = Quantile(samples.mStaleGapUs, 0.90);
  }
  if (samples.mTotalUs.empty()) return;
  state.counters["p50_us"] = Quantile(samples.mTotalUs, 0.50);
  state.counters["p99_us"] = Quantile(samples.mTotalUs, 0.99);
  state.counters["poll_p50_us"] = Quantile(samples.mPollUs, 0.50);
  state.counters["poll_p99_us"] = Quantile(samples.mPollUs, 0.99);
  state.counters["nopoll_p50_us"] = Quantile(samples.mNoPollUs, 0.50);
  state.counters["nopoll_p99_us"] = Quantile(samples.mNoPollUs, 0.99);
}
BENCHMARK(BM_EndToEnd)
    ->ArgNames({"devices", "hz"})
    ->ArgsProduct({{1, 2, 4, 8}, {120, 1000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The resident sizes at start and end of a run of seconds at rate.
void ReportMemory(benchmark::State& state, long start, long end, double seconds, double rate) {
  state.counters["rss_start_kib"] = static_cast<double>(start) / 1024.0;
  state.counters["rss_end_kib"] = static_cast<double>(end) / 1024.0;
  state.counters["rss_growth_kib"] = static_cast<double>(end - start) / 1024.0;
  state.counters["seconds"] = seconds;
  state.counters["hz"] = rate;
}

void BM_Memory(benchmark::State& state) {
  const double rate = EnvNumber("KMQ_MEMORY_HZ", 1000);
  Stage stage(8, rate);
  if (!stage.Error().empty()) {
    state.SkipWithError(stage.Error().c_str());
    return;
  }
  const double seconds = EnvNumber("KMQ_MEMORY_SECONDS", 5);
  Samples warmup;
  stage.Run(std::min(1.0, seconds), &warmup);
  const long start = ResidentBytes();
  long end = start;
  long frames = 0;  // own-actor frames the getters returned during the measured run
  for (auto _ : state) {
    // Samples are dropped every second so that the measurement does not hold memory itself.
    for (double done = 0; done < seconds; done += 1) {
      Samples samples;
      samples.mTotalUs.reserve(8000);
      samples.mPollUs.reserve(8000);
      samples.mNoPollUs.reserve(8000);
      stage.Run(std::min(1.0, seconds - done), &samples);
      frames += static_cast<long>(samples.mTotalUs.size());
    }
    end = ResidentBytes();
  }
  ReportMemory(state, start, end, seconds, rate);
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["slow_dropped"] = static_cast<double>(stage.SlowClientsDropped());
}
BENCHMARK(BM_Memory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- The same path through the headless host: N devices in one host, one per actor ----
//
// Each device runs under the host's own threads (I/O every millisecond, evaluation at 60 Hz) and
// records. Its getters are read when a frame is keyed: the key of the root joint's translation
// is added right after the getter returned, and the host-call hook notes that moment on the
// device's I/O thread, with the start of the pass it belongs to and the end of the pass before.
// After the run the notes are matched, in order, with the root's keys, whose X value names the
// row (notes of one pass share its local time, so only the last key of a pass stays). The device
// keys once for each evaluation since the message before (a frame of any actor lowers the gate),
// so a share of the frames is keyed, and a key may take a pose read passes earlier. A frame is
// measured only when its key is the first getter read after the link took it: the frame was
// played after the previous pass had ended, so this pass read it, and keyed it.

struct KeyNote {
  int64_t mPreviousPassEndNs = 0;
  int64_t mPassStartNs = 0;
  int64_t mKeyedNs = 0;
};

// The rig whose I/O thread this is, when its current pass started and when the one before ended.
thread_local int tRig = -1;
// Longer is not a latency but a frame of an earlier round of the rows.
constexpr int64_t kMaxLatencyNs = 1000000000;
thread_local int64_t tPassStartNs = 0;
thread_local int64_t tPreviousPassEndNs = 0;
thread_local int64_t tPassStartCpuNs = 0;

// CPU time the calling thread has used.
int64_t ThreadCpuNs() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
}

class HostStage {
 public:
  // devices devices, device i recording actor i + 1 of actors (at least devices) at rate.
  HostStage(int devices, double rate, int actors = 0)
      : mTimes(std::max(devices, actors)),
        mNotes(devices),
        mRoots(devices),
        mIoCpuNs(static_cast<size_t>(devices)),
        mNotifyCpuNs(static_cast<size_t>(devices)) {
    actors = std::max(devices, actors);
    fbsdk_control::SetTraceEcho(false);
    fbsdk_control::SetMessageBoxHandler([](const fbsdk_control::MessageBoxRecord&) { return 1; });
    kmq::HostOptions options = kmq::DefaultHostOptions();
    options.mQuiet = true;
    options.mDevices = devices;
    // The devices alone, as a host without the headless host's health monitor runs them.
    options.mHealthTap = false;
    mSession = std::make_unique<kmq::HostSession>(options, &mResult);
    bvh::Clip clip;
    int xChannel = 0;
    if (!MakeClip(&clip, &xChannel)) {
      mError = "capture not read";
      return;
    }
    kmq::ServerOptions server;
    server.mRate = rate;
    server.mStatusInterval = 0;
    server.mOnFramePlayed = [this](uint32_t tag, uint64_t row) { mTimes.Stamp(tag, row); };
    std::vector<kmq::ServedActor> served;
    for (int a = 1; a <= actors; ++a) served.push_back({"actor" + std::to_string(a), clip});
    mActors = actors;
    mRate = rate;
    for (auto& notes : mNotes) notes.reserve(1 << 16);
    Host().SetIoObserver([this](int rig, bool starting) {
      tRig = rig;
      if (starting) {
        tPassStartNs = NowNs();
        tPassStartCpuNs = ThreadCpuNs();
      } else {
        tPreviousPassEndNs = NowNs();
        const int64_t cpu = ThreadCpuNs();
        const size_t at = static_cast<size_t>(rig);
        mIoCpuNs[at].store(cpu, std::memory_order_relaxed);
        mNotifyCpuNs[at].store(
            mNotifyCpuNs[at].load(std::memory_order_relaxed) + cpu - tPassStartCpuNs,
            std::memory_order_relaxed);
      }
    });
    if (!mSession->ServeActors(server, std::move(served)) || !mSession->Connect()) {
      mError = mResult.mMessage;
      return;
    }
    mError.clear();
    // Only the device's own I/O thread touches its notes and root, until the threads stop.
    fbsdk_control::SetHostCallHook([this](fbsdk_control::HostCall call, const void* object) {
      if (call != fbsdk_control::HostCall::kKeyAdd || tRig < 0) return;
      const size_t rig = static_cast<size_t>(tRig);
      // The first key a device adds is its root joint's translation.
      if (mRoots[rig] == nullptr) mRoots[rig] = object;
      if (object == mRoots[rig] && mNotes[rig].size() < mNotes[rig].capacity()) {
        mNotes[rig].push_back(KeyNote{tPreviousPassEndNs, tPassStartNs, NowNs()});
      }
    });
  }
  ~HostStage() {
    fbsdk_control::SetHostCallHook(nullptr);
    mSession->Release();
    fbsdk_control::ResetHost();
  }
  const std::string& Error() const { return mError; }
  kmq::HeadlessHost& Host() { return mSession->Host(); }
  int Devices() { return Host().DeviceCount(); }
  // Fires every panel's idle event for seconds.
  void IdleFor(double seconds) {
    Host().IdleUntil([] { return false; }, seconds);
  }
  // Messages device i acknowledged.
  long Received(int i) {
    Host().UseDevice(i);
    return Host().SamplesReceived();
  }
  uint64_t SlowClientsDropped() { return Host().ServerStats().mSlowClientsDropped; }
  uint64_t ServerConnections() { return Host().ServerStats().mTotalConnections; }
  // CPU time of every device's I/O thread together, as of each one's last pass.
  int64_t IoCpuNs() const {
    int64_t sum = 0;
    for (const auto& cpu : mIoCpuNs) sum += cpu.load(std::memory_order_relaxed);
    return sum;
  }
  // The part of it spent inside the devices' I/O notifications (the plug-in's work and the host
  // calls it makes), without the host's own loop around them: its sleeps and wake-ups.
  int64_t NotifyCpuNs() const {
    int64_t sum = 0;
    for (const auto& cpu : mNotifyCpuNs) sum += cpu.load(std::memory_order_relaxed);
    return sum;
  }
  // Messages each device acknowledged, by device.
  std::vector<long> Received() {
    std::vector<long> received;
    for (int i = 0; i < Devices(); ++i) received.push_back(Received(i));
    return received;
  }
  // The least share, over the devices, of the frames streamed over seconds that a device read
  // between before and after: 1 when every device keeps up.
  double LeastShare(const std::vector<long>& before, const std::vector<long>& after,
                    double seconds) const {
    double least = 1e9;
    for (size_t i = 0; i < before.size(); ++i) {
      least =
          std::min(least, static_cast<double>(after[i] - before[i]) / (mActors * mRate * seconds));
    }
    return least;
  }

  // Records for seconds, then matches each device's notes with its root's keys.
  void Record(double seconds, Samples* samples) {
    std::string message;
    kmq::RecordStats stats;
    const std::vector<long> before = Received();
    Host().UseDevice(0);
    Host().Record(seconds, nullptr, &stats, &message);
    mLeastShare = LeastShare(before, Received(), seconds);
    Host().StopRealTimeThreads();
    for (int i = 0; i < Devices(); ++i) {
      std::vector<KeyNote> notes;
      const std::vector<KeyNote>& all = mNotes[static_cast<size_t>(i)];
      for (size_t n = 0; n < all.size(); ++n) {
        if (n + 1 == all.size() || all[n + 1].mPassStartNs != all[n].mPassStartNs) {
          notes.push_back(all[n]);
        }
      }
      Host().UseDevice(i);
      const auto keys =
          fbsdk_control::RecordedKeys(Host().RootJoint(), ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
      if (keys.size() != notes.size()) {
        samples->mUnmatched += static_cast<long>(std::max(keys.size(), notes.size()));
        continue;
      }
      long lastRow = -1;
      for (size_t k = 0; k < keys.size(); ++k) {
        const long row = std::lround(keys[k].mValue[0]);
        if (row == lastRow) continue;
        lastRow = row;
        // A row comes round again every kRows frames; the play a key came from is the last one
        // before it (a frame read before its play was stamped finds none and is unmatched).
        const int64_t played =
            row >= 0 && row < kRows
                ? mTimes.Before(static_cast<uint32_t>(i + 1), static_cast<int>(row),
                                notes[k].mKeyedNs, kMaxLatencyNs)
                : 0;
        if (played == 0) {
          ++samples->mUnmatched;
          continue;
        }
        if (played <= notes[k].mPreviousPassEndNs) {
          ++samples->mStale;
          samples->mStaleGapUs.push_back(static_cast<double>(notes[k].mPreviousPassEndNs - played) /
                                         1000.0);
          continue;
        }
        const int64_t readFrom = std::max(played, notes[k].mPassStartNs);
        samples->mTotalUs.push_back(static_cast<double>(notes[k].mKeyedNs - played) / 1000.0);
        samples->mPollUs.push_back(static_cast<double>(readFrom - played) / 1000.0);
        samples->mNoPollUs.push_back(static_cast<double>(notes[k].mKeyedNs - readFrom) / 1000.0);
      }
    }
  }

 private:
  PlayTimes mTimes;
  std::vector<std::vector<KeyNote>> mNotes;        // by rig; each written by the rig's I/O thread
  std::vector<const void*> mRoots;                 // by rig; each written by the rig's I/O thread
  std::vector<std::atomic<int64_t>> mIoCpuNs;      // by rig; each written by the rig's I/O thread
  std::vector<std::atomic<int64_t>> mNotifyCpuNs;  // likewise
  int mActors = 0;
  double mRate = 0;
  std::string mError = "not started";
  kmq::SessionResult mResult;
  std::unique_ptr<kmq::HostSession> mSession;

 public:
  double mLeastShare = 0;  // of the last Record
};

void BM_HostEndToEnd(benchmark::State& state) {
  HostStage stage(static_cast<int>(state.range(0)), static_cast<double>(state.range(1)));
  if (MeasureEndToEnd(state, stage, &HostStage::Record)) {
    state.counters["slow_dropped"] = static_cast<double>(stage.SlowClientsDropped());
    // The devices' connections to the one server, and the least share of the stream a device read.
    state.counters["connections"] = static_cast<double>(stage.ServerConnections());
    state.counters["least_share"] = stage.mLeastShare;
  }
}
BENCHMARK(BM_HostEndToEnd)
    ->ArgNames({"devices", "hz"})
    ->ArgsProduct({{1, 8}, {120, 1000}})
    ->Args({16, 240})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The CPU of the host's I/O threads together while the server streams 8 actors at 1000 Hz
// (KMQ_MEMORY_HZ sets another rate): one device applying one actor, then 8 devices each applying
// one, each for KMQ_E2E_SECONDS, in one run. io_cpu_ratio is the second over the first;
// notify_cpu_ratio the same for the CPU spent inside the I/O notifications alone.
void BM_HostIoCpu(benchmark::State& state) {
  const double rate = EnvNumber("KMQ_MEMORY_HZ", 1000);
  const double seconds = EnvNumber("KMQ_E2E_SECONDS", 3);
  double cpu[2] = {0, 0};
  double notify[2] = {0, 0};
  double share[2] = {0, 0};
  for (auto _ : state) {
    for (int run = 0; run < 2; ++run) {
      HostStage stage(run == 0 ? 1 : 8, rate, 8);
      if (!stage.Error().empty()) {
        state.SkipWithError(stage.Error().c_str());
        return;
      }
      stage.IdleFor(0.5);
      const std::vector<long> before = stage.Received();
      const int64_t start = stage.IoCpuNs();
      const int64_t notifyStart = stage.NotifyCpuNs();
      stage.IdleFor(seconds);
      cpu[run] = static_cast<double>(stage.IoCpuNs() - start) / 1e6 / seconds;
      notify[run] = static_cast<double>(stage.NotifyCpuNs() - notifyStart) / 1e6 / seconds;
      share[run] = stage.LeastShare(before, stage.Received(), seconds);
    }
  }
  state.counters["io_cpu_ms_per_s_1_device"] = cpu[0];
  state.counters["io_cpu_ms_per_s_8_devices"] = cpu[1];
  state.counters["io_cpu_ratio"] = cpu[0] > 0 ? cpu[1] / cpu[0] : 0;
  state.counters["notify_cpu_ms_per_s_1_device"] = notify[0];
  state.counters["notify_cpu_ms_per_s_8_devices"] = notify[1];
  state.counters["notify_cpu_ratio"] = notify[0] > 0 ? notify[1] / notify[0] : 0;
  state.counters["least_share_1"] = share[0];
  state.counters["least_share_8"] = share[1];
}
BENCHMARK(BM_HostIoCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Resident size of the host with 8 devices online at KMQ_MEMORY_HZ, evaluating but not
// recording (a take grows by design): at start (after a second's warm-up) and after
// KMQ_MEMORY_SECONDS.
void BM_HostMemory(benchmark::State& state) {
  const double rate = EnvNumber("KMQ_MEMORY_HZ", 1000);
  HostStage stage(8, rate);
  if (!stage.Error().empty()) {
    state.SkipWithError(stage.Error().c_str());
    return;
  }
  const double seconds = EnvNumber("KMQ_MEMORY_SECONDS", 5);
  stage.IdleFor(1.0);
  const long start = ResidentBytes();
  long samplesBefore = 0;
  for (long received : stage.Received()) samplesBefore += received;
  long end = start;
  for (auto _ : state) {
    stage.IdleFor(seconds);
    end = ResidentBytes();
  }
  long samples = 0;
  for (long received : stage.Received()) samples += received;
  ReportMemory(state, start, end, seconds, rate);
  state.counters["messages"] = static_cast<double>(samples - samplesBefore);
  state.counters["slow_dropped"] = static_cast<double>(stage.SlowClientsDropped());
}
BENCHMARK(BM_HostMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// End to end on loopback: the reference server in this process streams N actors (59 joints,
// compressed frames) at 120 or 1000 Hz; N links, one per actor, each choosing its own actor, read
// them on one I/O thread that polls every millisecond as the host's device I/O thread does.
// Latency runs from the server's play of a frame (encoded and queued to every client, written in
// the same loop turn) to the moment the getter called right after the frame was read returns its
// values. Each frame carries its row number in the root's X translation, which identifies it.
// The poll wait (from the frame's play to the start of the I/O pass that read it, when the pass
// started later) is reported apart, and so is the latency without it.
// BM_Memory reports the resident size at start and after a run at 1000 Hz with 8 links.
// Run times: KMQ_E2E_SECONDS (default 3) and KMQ_MEMORY_SECONDS (default 5); KMQ_MEMORY_HZ sets
// BM_Memory's rate (default 1000).
//
// Threads: the benchmark's thread sets up and runs the I/O loop; the server thread calls the
// play hook, which only stores a time stamp in an atomic slot.
#include <benchmark/benchmark.h>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bvh.h"
#include "bvh_fingers.h"
#include "motion_server.h"
#include "server_link.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kJoints = 59;
// Rows per clip: two seconds at 1000 Hz, far longer than any latency, so a row names one frame.
constexpr int kRows = 2000;
constexpr auto kPollPeriod = std::chrono::milliseconds(1);

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

// When each actor's rows were last played (steady-clock ns); written by the server thread.
class PlayTimes {
 public:
  explicit PlayTimes(int actors) : mSlots(static_cast<size_t>(actors) * kRows) {}
  void Stamp(uint32_t tag, uint64_t row) {
    const size_t slot = (tag - 1) * static_cast<size_t>(kRows) + row;
    if (slot < mSlots.size()) mSlots[slot].store(NowNs(), std::memory_order_release);
  }
  int64_t At(uint32_t tag, int row) const {
    return mSlots[(tag - 1) * static_cast<size_t>(kRows) + static_cast<size_t>(row)].load(
        std::memory_order_acquire);
  }

 private:
  std::vector<std::atomic<int64_t>> mSlots;
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
  std::vector<double> mTotalUs;   // play to getter return
  std::vector<double> mPollUs;    // play to the start of the pass that read it (0 when later)
  std::vector<double> mNoPollUs;  // the latency without the poll wait
  long mUnmatched = 0;            // frames whose row had no play time yet
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
        while (mLinks[i]->ReadMessage()) {
          if (mLinks[i]->mHeaderReceived && !mLinks[i]->mHeaderPending &&
              mLinks[i]->GetJointCount() >= kJoints) {
            ready[i] = true;
          }
        }
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
        while (mLinks[i]->ReadMessage()) {
          const FBVector4<double> root = mLinks[i]->GetTranslation(0);
          const int64_t returned = NowNs();
          const long row = std::lround(root[0]);
          // Every connection carries every actor's frames; the link keeps its own actor's only,
          // so a frame of another actor leaves the getter's values as they were.
          if (row == mLastRow[i]) continue;
          mLastRow[i] = row;
          if (row < 0 || row >= kRows) {
            ++samples->mUnmatched;
            continue;
          }
          const int64_t played = mTimes.At(static_cast<uint32_t>(i + 1), static_cast<int>(row));
          if (played == 0 || played > returned) {
            ++samples->mUnmatched;
            continue;
          }
          const int64_t readFrom = std::max(played, passStart);
          samples->mTotalUs.push_back(static_cast<double>(returned - played) / 1000.0);
          samples->mPollUs.push_back(static_cast<double>(readFrom - played) / 1000.0);
          samples->mNoPollUs.push_back(static_cast<double>(returned - readFrom) / 1000.0);
        }
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

void BM_EndToEnd(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  const double rate = static_cast<double>(state.range(1));
  Stage stage(devices, rate);
  if (!stage.Error().empty()) {
    state.SkipWithError(stage.Error().c_str());
    return;
  }
  Samples samples;
  const double seconds = EnvNumber("KMQ_E2E_SECONDS", 3);
  for (auto _ : state) stage.Run(seconds, &samples);
  if (samples.mTotalUs.empty()) {
    state.SkipWithError("no frame matched");
    return;
  }
  state.counters["frames"] = static_cast<double>(samples.mTotalUs.size());
  state.counters["unmatched"] = static_cast<double>(samples.mUnmatched);
  state.counters["slow_dropped"] = static_cast<double>(stage.SlowClientsDropped());
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
  state.counters["rss_start_kib"] = static_cast<double>(start) / 1024.0;
  state.counters["rss_end_kib"] = static_cast<double>(end) / 1024.0;
  state.counters["rss_growth_kib"] = static_cast<double>(end - start) / 1024.0;
  state.counters["seconds"] = seconds;
  state.counters["hz"] = rate;
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["slow_dropped"] = static_cast<double>(stage.SlowClientsDropped());
}
BENCHMARK(BM_Memory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

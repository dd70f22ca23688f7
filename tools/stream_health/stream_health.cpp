#include "stream_health.h"
#include "tool_text.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <utility>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "motion_protocol.h"
#include "thread_annotations.h"
#include "wire_events.h"

namespace kmq {
namespace {

using IvraPlugs::BVH_HEADER;
using IvraPlugs::BVH_JOIN;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

// Per-millisecond arrival counts over the last second.
constexpr int kBuckets = 1000;
// Longest actor name kept for display.
constexpr size_t kMaxNameBytes = 64;

int Index(FrameDrop reason) { return static_cast<int>(reason); }

int64_t FloorDiv(int64_t value, int64_t divisor) {
  int64_t quotient = value / divisor;
  if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) --quotient;
  return quotient;
}

struct ActorState {
  std::string mName;
  uint64_t mHeaders = 0;
  uint64_t mReceived = 0;
  uint64_t mApplied = 0;
  int64_t mFirstUs = 0;
  int64_t mLastUs = 0;
  // Inter-arrival intervals, ms: count, running mean and sum of squared deviations (Welford).
  uint64_t mIntervals = 0;
  double mIntervalMeanMs = 0;
  double mIntervalM2 = 0;
  double mLongestGapMs = 0;
  std::array<uint64_t, kFrameDropCount> mDrops{};
  // Arrivals per millisecond; slot ms % kBuckets holds the count of millisecond mBucketMs[slot].
  std::vector<int64_t> mBucketMs;
  std::vector<uint32_t> mBucketCount;
  uint64_t mLatencySamples = 0;
  double mLatencySumMs = 0;
  double mLatencyMaxMs = 0;

  void Arrived(int64_t timestampUs) {
    if (mReceived > 0) {
      const double intervalMs = static_cast<double>(timestampUs - mLastUs) / 1000.0;
      ++mIntervals;
      const double delta = intervalMs - mIntervalMeanMs;
      mIntervalMeanMs += delta / static_cast<double>(mIntervals);
      mIntervalM2 += delta * (intervalMs - mIntervalMeanMs);
      mLongestGapMs = std::max(mLongestGapMs, intervalMs);
    } else {
      mFirstUs = timestampUs;
    }
    mLastUs = timestampUs;
    ++mReceived;
    if (mBucketMs.empty()) {
      mBucketMs.assign(kBuckets, INT64_MIN);
      mBucketCount.assign(kBuckets, 0);
    }
    const int64_t ms = FloorDiv(timestampUs, 1000);
    const size_t slot = static_cast<size_t>(((ms % kBuckets) + kBuckets) % kBuckets);
    if (mBucketMs[slot] != ms) {
      mBucketMs[slot] = ms;
      mBucketCount[slot] = 0;
    }
    ++mBucketCount[slot];
  }

  uint64_t ArrivalsInSecondBefore(int64_t nowUs) const {
    const int64_t nowMs = FloorDiv(nowUs, 1000);
    uint64_t count = 0;
    for (size_t slot = 0; slot < mBucketMs.size(); ++slot) {
      if (mBucketMs[slot] > nowMs - kBuckets && mBucketMs[slot] <= nowMs) {
        count += mBucketCount[slot];
      }
    }
    return count;
  }
};

// An applied frame of the chosen actor whose root translation can be recognised in an evaluation.
struct AppliedFrame {
  uint32_t mTag = 0;
  int64_t mArrivalUs = 0;
  double mRoot[3] = {0, 0, 0};
  bool mServed = false;
};

bool SameValue(double a, double b) {
  return std::fabs(a - b) <= 1e-6 + 1e-5 * std::max(std::fabs(a), std::fabs(b));
}

int CountHeaderChannels(const BVH_JOIN& joint) {
  int count = joint.channels_size();
  for (const BVH_JOIN& child : joint.childjoin()) count += CountHeaderChannels(child);
  return count;
}

// Keeps printable ASCII and well-formed UTF-8 sequences; anything else becomes '?'. Bounded.
std::string CleanName(const std::string& name) {
  std::string clean;
  size_t at = 0;
  while (at < name.size() && clean.size() < kMaxNameBytes) {
    const unsigned char byte = static_cast<unsigned char>(name[at]);
    if (byte >= 0x20 && byte < 0x7f) {
      clean += static_cast<char>(byte);
      ++at;
      continue;
    }
    int extra = 0;
    if (byte >= 0xc2 && byte <= 0xdf) {
      extra = 1;
    } else if (byte >= 0xe0 && byte <= 0xef) {
      extra = 2;
    } else if (byte >= 0xf0 && byte <= 0xf4) {
      extra = 3;
    }
    // Every continuation byte present and of the form 10xxxxxx.
    bool valid = extra > 0 && at + static_cast<size_t>(extra) < name.size();
    for (int i = 1; valid && i <= extra; ++i) {
      const unsigned char next = static_cast<unsigned char>(name[at + static_cast<size_t>(i)]);
      valid = (next & 0xc0) == 0x80;
    }
    if (valid && extra == 2) {
      const unsigned char second = static_cast<unsigned char>(name[at + 1]);
      if ((byte == 0xe0 && second < 0xa0) || (byte == 0xed && second >= 0xa0)) valid = false;
    }
    if (valid && extra == 3) {
      const unsigned char second = static_cast<unsigned char>(name[at + 1]);
      if ((byte == 0xf0 && second < 0x90) || (byte == 0xf4 && second >= 0x90)) valid = false;
    }
    if (valid) {
      clean.append(name, at, static_cast<size_t>(extra) + 1);
      at += static_cast<size_t>(extra) + 1;
    } else {
      clean += '?';
      ++at;
    }
  }
  return clean;
}

}  // namespace

struct StreamHealth::Impl {
  enum class Online { kUnknown, kOnline, kOffline };

  mutable kovrim::Mutex mMutex;  // Guards every member below.
  int64_t mNewestUs GUARDED_BY(mMutex) = 0;
  bool mAnyTime GUARDED_BY(mMutex) = false;
  Online mOnline GUARDED_BY(mMutex) = Online::kUnknown;
  int64_t mOnlineSinceUs GUARDED_BY(mMutex) = 0;
  bool mAnyFrame GUARDED_BY(mMutex) = false;
  int64_t mLastFrameUs GUARDED_BY(mMutex) = 0;
  // The splitter of each direction (0 incoming, 1 outgoing) and the socket it follows.
  WireSplitter mSplitters[2] GUARDED_BY(mMutex);
  int mSplitterSocket[2] GUARDED_BY(mMutex) = {-1, -1};
  // The link's protocol state as the wire shows it.
  uint32_t mChosenTag GUARDED_BY(mMutex) = 0;
  bool mHeaderReceived GUARDED_BY(mMutex) = false;
  bool mHeaderPending GUARDED_BY(mMutex) = false;
  int mHeaderChannels GUARDED_BY(mMutex) = 0;
  bool mRootMeasurable GUARDED_BY(mMutex) = false;
  double mRootOffset[3] GUARDED_BY(mMutex) = {0, 0, 0};
  int mRootPositionIndex[3] GUARDED_BY(mMutex) = {-1, -1, -1};
  std::map<uint32_t, ActorState> mActors GUARDED_BY(mMutex);
  std::deque<AppliedFrame> mApplied GUARDED_BY(mMutex);
  uint64_t mTraces GUARDED_BY(mMutex) = 0;
  uint64_t mBytesIn GUARDED_BY(mMutex) = 0;
  uint64_t mBytesOut GUARDED_BY(mMutex) = 0;
  uint64_t mFramesIn GUARDED_BY(mMutex) = 0;
  uint64_t mSkippedBytes GUARDED_BY(mMutex) = 0;
  uint64_t mHeaderQueries GUARDED_BY(mMutex) = 0;
  uint64_t mCommandsOut GUARDED_BY(mMutex) = 0;
  uint64_t mEvaluations GUARDED_BY(mMutex) = 0;
  uint64_t mEvaluationsMatched GUARDED_BY(mMutex) = 0;
  uint64_t mUntrackedFrames GUARDED_BY(mMutex) = 0;
  std::array<uint64_t, kFrameDropCount> mDrops GUARDED_BY(mMutex){};

  void Touch(int64_t timestampUs) REQUIRES(mMutex) {
    if (!mAnyTime || timestampUs > mNewestUs) mNewestUs = timestampUs;
    mAnyTime = true;
  }

  // The actor's record, or nullptr when the table is full.
  ActorState* Actor(uint32_t tag) REQUIRES(mMutex) {
    auto found = mActors.find(tag);
    if (found != mActors.end()) return &found->second;
    if (mActors.size() >= kMaxActors && tag != mChosenTag) return nullptr;
    return &mActors[tag];
  }

  void Drop(ActorState* actor, FrameDrop reason) REQUIRES(mMutex) {
    ++mDrops[static_cast<size_t>(Index(reason))];
    if (actor != nullptr) ++actor->mDrops[static_cast<size_t>(Index(reason))];
  }

  void Name(uint32_t tag, const std::string& name) REQUIRES(mMutex) {
    if (name.empty()) return;
    ActorState* actor = Actor(tag);
    if (actor != nullptr) actor->mName = CleanName(name);
  }

  // Mirrors the link's header acceptance for the chosen actor.
  void AcceptHeader(const BVH_HEADER& header) REQUIRES(mMutex) {
    const BVH_JOIN& root = header.rootjoin();
    mHeaderChannels = CountHeaderChannels(root);
    mRootOffset[0] = static_cast<double>(root.offset().x());
    mRootOffset[1] = static_cast<double>(root.offset().y());
    mRootOffset[2] = static_cast<double>(root.offset().z());
    bool anyPosition = false;
    for (int axis = 0; axis < 3; ++axis) mRootPositionIndex[axis] = -1;
    for (int i = 0; i < root.channels_size(); ++i) {
      const int channel = root.channels(i);
      if (channel >= BVH_JOIN::Xposition && channel <= BVH_JOIN::Zposition) {
        mRootPositionIndex[channel] = i;
        anyPosition = true;
      }
    }
    // The link keeps the offset as translation for a joint of exactly three channels.
    mRootMeasurable = anyPosition && root.channels_size() != 3;
    mHeaderPending = false;
    mHeaderReceived = true;
  }

  void Incoming(int64_t timestampUs, const DecodedEvent& event) REQUIRES(mMutex) {
    if (event.mKind == WireEvent::Kind::kLostMarker) {
      Drop(nullptr, FrameDrop::kLostMarker);
      return;
    }
    if (event.mKind == WireEvent::Kind::kOversize) {
      Drop(nullptr, FrameDrop::kOversize);
      return;
    }
    ++mFramesIn;
    mAnyFrame = true;
    mLastFrameUs = timestampUs;
    if (!event.mDecoded) {
      Drop(nullptr, FrameDrop::kUndecodable);
      return;
    }
    const IVRA_PLUGIN_MESSAGE& message = event.mMessage;
    switch (message.message()) {
      case IVRA_PLUGIN_MESSAGE::COMMAND:
        if (message.has_command() && message.command().cmdtype() == COMMAND::Notify_ActorsList) {
          for (const auto& entry : message.command().actorslist().map()) {
            Name(entry.first, entry.second);
          }
        }
        break;
      case IVRA_PLUGIN_MESSAGE::HEADER_DATA: {
        if (!message.has_header() || !message.header().has_actortag()) {
          Drop(nullptr, FrameDrop::kUndecodable);
          break;
        }
        const BVH_HEADER& header = message.header();
        ActorState* actor = Actor(header.actortag());
        if (actor != nullptr) ++actor->mHeaders;
        Name(header.actortag(), header.actorname());
        if (header.actortag() == mChosenTag) AcceptHeader(header);
        break;
      }
      case IVRA_PLUGIN_MESSAGE::FRAME_DATA: {
        if (!message.has_frame() || !message.frame().has_actortag()) {
          Drop(nullptr, FrameDrop::kUndecodable);
          break;
        }
        const IvraPlugs::BVH_FRAME& frame = message.frame();
        const uint32_t tag = frame.actortag();
        ActorState* actor = Actor(tag);
        if (actor != nullptr) {
          actor->Arrived(timestampUs);
          if (!frame.actorname().empty() && actor->mName.empty()) {
            actor->mName = CleanName(frame.actorname());
          }
        } else {
          ++mUntrackedFrames;
        }
        // The link's own order: pending first, then the tag, then the values.
        if (!mHeaderReceived || mHeaderPending) {
          Drop(actor, FrameDrop::kHeaderPending);
        } else if (tag != mChosenTag) {
          Drop(actor, FrameDrop::kWrongActor);
        } else if (frame.motiondata_size() < mHeaderChannels) {
          Drop(actor, FrameDrop::kShort);
        } else {
          if (actor != nullptr) ++actor->mApplied;
          if (mRootMeasurable) Remember(tag, timestampUs, frame);
        }
        break;
      }
    }
  }

  void Remember(uint32_t tag, int64_t timestampUs, const IvraPlugs::BVH_FRAME& frame)
      REQUIRES(mMutex) {
    AppliedFrame applied;
    applied.mTag = tag;
    applied.mArrivalUs = timestampUs;
    for (int axis = 0; axis < 3; ++axis) {
      const int index = mRootPositionIndex[axis];
      applied.mRoot[axis] =
          index >= 0 ? static_cast<double>(frame.motiondata(index)) : mRootOffset[axis];
    }
    mApplied.push_back(applied);
    while (mApplied.size() > kLatencyHistory) mApplied.pop_front();
  }

  void Outgoing(const DecodedEvent& event) REQUIRES(mMutex) {
    if (event.mKind != WireEvent::Kind::kFrame || !event.mDecoded) return;
    const IVRA_PLUGIN_MESSAGE& message = event.mMessage;
    if (message.message() != IVRA_PLUGIN_MESSAGE::COMMAND || !message.has_command()) return;
    const COMMAND& command = message.command();
    if (command.cmdtype() == COMMAND::Command_Query_BVH_Header) {
      ++mHeaderQueries;
      // The link marks the header pending and sends its chosen tag with the query.
      if (command.has_actortag()) mChosenTag = command.actortag();
      mHeaderPending = true;
    } else {
      ++mCommandsOut;
    }
  }

  bool IsOnline() const REQUIRES(mMutex) { return mOnline == Online::kOnline; }

  // The time silence is counted from, false when there is none.
  bool SilenceStart(int64_t* startUs) const REQUIRES(mMutex) {
    if (!IsOnline()) return false;
    *startUs = mOnlineSinceUs;
    if (mAnyFrame && mLastFrameUs > *startUs) *startUs = mLastFrameUs;
    return true;
  }

  StreamHealthReport Build(int64_t nowUs) const REQUIRES(mMutex) {
    StreamHealthReport report;
    report.mNowUs = nowUs;
    report.mOnline = IsOnline();
    int64_t startUs = 0;
    if (SilenceStart(&startUs)) {
      report.mSilentMs = std::max<double>(0.0, static_cast<double>(nowUs - startUs) / 1000.0);
    }
    report.mChosenActor = mChosenTag;
    report.mHeaderReceived = mHeaderReceived;
    report.mHeaderPending = mHeaderPending;
    report.mTracesSeen = mTraces;
    report.mBytesIn = mBytesIn;
    report.mBytesOut = mBytesOut;
    report.mFramesIn = mFramesIn;
    report.mSkippedBytes = mSkippedBytes;
    report.mHeaderQueries = mHeaderQueries;
    report.mCommandsOut = mCommandsOut;
    report.mEvaluations = mEvaluations;
    report.mEvaluationsMatched = mEvaluationsMatched;
    report.mUntrackedFrames = mUntrackedFrames;
    report.mDrops = mDrops;
    for (const auto& entry : mActors) {
      const ActorState& state = entry.second;
      ActorHealth actor;
      actor.mTag = entry.first;
      actor.mName = state.mName;
      actor.mChosen = entry.first == mChosenTag;
      actor.mHeaders = state.mHeaders;
      actor.mReceived = state.mReceived;
      actor.mApplied = state.mApplied;
      if (state.mReceived >= 2 && state.mLastUs > state.mFirstUs) {
        actor.mRateFps = static_cast<double>(state.mReceived - 1) * 1e6 /
                         static_cast<double>(state.mLastUs - state.mFirstUs);
      }
      actor.mRateLastSecondFps = static_cast<double>(state.ArrivalsInSecondBefore(nowUs));
      if (state.mIntervals >= 1) {
        actor.mJitterMs = std::sqrt(state.mIntervalM2 / static_cast<double>(state.mIntervals));
      }
      actor.mLongestGapMs = state.mLongestGapMs;
      actor.mDrops = state.mDrops;
      actor.mLatencySamples = state.mLatencySamples;
      if (state.mLatencySamples > 0) {
        actor.mLatencyMeanMs = state.mLatencySumMs / static_cast<double>(state.mLatencySamples);
        actor.mLatencyMaxMs = state.mLatencyMaxMs;
      }
      report.mActors.push_back(std::move(actor));
    }
    return report;
  }
};

StreamHealth::StreamHealth() : mImpl(new Impl) {}

StreamHealth::~StreamHealth() = default;

void StreamHealth::OnBytes(int64_t timestampUs, int socket, bool outgoing, const char* data,
                           int size) {
  Impl& impl = *mImpl;
  if (data == nullptr && size == 0) {
    kovrim::MutexLock lock(&impl.mMutex);
    for (int direction = 0; direction < 2; ++direction) {
      if (impl.mSplitterSocket[direction] != socket) continue;
      impl.mSplitters[direction].Reset();
      impl.mSplitterSocket[direction] = -1;
    }
    return;
  }
  if (data == nullptr || size <= 0) return;
  const int direction = outgoing ? 1 : 0;
  std::vector<WireEvent> events;
  {
    kovrim::MutexLock lock(&impl.mMutex);
    impl.Touch(timestampUs);
    if (impl.mOnline == Impl::Online::kUnknown) {
      impl.mOnline = Impl::Online::kOnline;
      impl.mOnlineSinceUs = timestampUs;
    }
    if (impl.mSplitterSocket[direction] != socket) {
      impl.mSplitters[direction].Reset();
      impl.mSplitterSocket[direction] = socket;
    }
    const uint64_t skipped =
        impl.mSplitters[direction].Feed(data, static_cast<size_t>(size), &events);
    if (outgoing) {
      impl.mBytesOut += static_cast<uint64_t>(size);
    } else {
      impl.mBytesIn += static_cast<uint64_t>(size);
      impl.mSkippedBytes += skipped;
    }
  }
  if (events.empty()) return;

  // Decompression and parsing happen outside the lock.
  std::vector<DecodedEvent> decoded(events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    decoded[i].mKind = events[i].mKind;
    if (events[i].mKind != WireEvent::Kind::kFrame) continue;
    const std::string& payload = events[i].mPayload;
    decoded[i].mDecoded =
        DecodePayload(events[i].mMarker == kovrim::wire::kCompressedMarker, payload.data(),
                      payload.size(), &decoded[i].mMessage, nullptr);
  }

  kovrim::MutexLock lock(&impl.mMutex);
  for (const DecodedEvent& event : decoded) {
    if (outgoing) {
      impl.Outgoing(event);
    } else {
      impl.Incoming(timestampUs, event);
    }
  }
}

void StreamHealth::OnEvaluationServed(int64_t timestampUs, const double* rootTranslation) {
  Impl& impl = *mImpl;
  kovrim::MutexLock lock(&impl.mMutex);
  impl.Touch(timestampUs);
  ++impl.mEvaluations;
  if (rootTranslation == nullptr) return;
  for (auto frame = impl.mApplied.rbegin(); frame != impl.mApplied.rend(); ++frame) {
    if (!SameValue(frame->mRoot[0], rootTranslation[0]) ||
        !SameValue(frame->mRoot[1], rootTranslation[1]) ||
        !SameValue(frame->mRoot[2], rootTranslation[2])) {
      continue;
    }
    ++impl.mEvaluationsMatched;
    if (!frame->mServed && timestampUs >= frame->mArrivalUs) {
      frame->mServed = true;
      auto actor = impl.mActors.find(frame->mTag);
      if (actor != impl.mActors.end()) {
        const double latencyMs = static_cast<double>(timestampUs - frame->mArrivalUs) / 1000.0;
        ActorState& state = actor->second;
        ++state.mLatencySamples;
        state.mLatencySumMs += latencyMs;
        state.mLatencyMaxMs = std::max(state.mLatencyMaxMs, latencyMs);
      }
    }
    return;
  }
}

void StreamHealth::SetOnline(int64_t timestampUs, bool online) {
  Impl& impl = *mImpl;
  kovrim::MutexLock lock(&impl.mMutex);
  impl.Touch(timestampUs);
  const Impl::Online next = online ? Impl::Online::kOnline : Impl::Online::kOffline;
  if (next == impl.mOnline) return;
  impl.mOnline = next;
  if (online) impl.mOnlineSinceUs = timestampUs;
  for (int direction = 0; direction < 2; ++direction) {
    impl.mSplitters[direction].Reset();
    impl.mSplitterSocket[direction] = -1;
  }
}

void StreamHealth::SetTracesSeen(uint64_t count) {
  kovrim::MutexLock lock(&mImpl->mMutex);
  mImpl->mTraces = count;
}

StreamHealthReport StreamHealth::Report() const {
  kovrim::MutexLock lock(&mImpl->mMutex);
  return mImpl->Build(mImpl->mNewestUs);
}

StreamHealthReport StreamHealth::Report(int64_t nowUs) const {
  kovrim::MutexLock lock(&mImpl->mMutex);
  return mImpl->Build(nowUs);
}

std::string StreamHealth::StatusLine() const { return FormatStatusLine(Report()); }
std::string StreamHealth::StatusLine(int64_t nowUs) const {
  return FormatStatusLine(Report(nowUs));
}
std::string StreamHealth::SummaryTable() const { return FormatSummaryTable(Report()); }
std::string StreamHealth::SummaryTable(int64_t nowUs) const {
  return FormatSummaryTable(Report(nowUs));
}
std::string StreamHealth::SummaryJson() const { return FormatSummaryJson(Report()); }
std::string StreamHealth::SummaryJson(int64_t nowUs) const {
  return FormatSummaryJson(Report(nowUs));
}

bool StreamHealth::SilentFor(int64_t nowUs, int thresholdMs) const {
  kovrim::MutexLock lock(&mImpl->mMutex);
  int64_t startUs = 0;
  if (!mImpl->SilenceStart(&startUs)) return false;
  return nowUs - startUs > static_cast<int64_t>(std::max(thresholdMs, 0)) * 1000;
}

std::string StreamHealth::SilenceWarning(int64_t nowUs, int thresholdMs) const {
  int64_t startUs = 0;
  bool anyFrame = false;
  {
    kovrim::MutexLock lock(&mImpl->mMutex);
    if (!mImpl->SilenceStart(&startUs)) return std::string();
    if (nowUs - startUs <= static_cast<int64_t>(std::max(thresholdMs, 0)) * 1000) {
      return std::string();
    }
    anyFrame = mImpl->mAnyFrame && mImpl->mLastFrameUs >= startUs;
  }
  char line[200];
  std::snprintf(line, sizeof(line),
                "Warning: no frame has arrived for %" PRId64 " ms while online (limit %d ms)%s",
                (nowUs - startUs) / 1000, std::max(thresholdMs, 0),
                anyFrame ? "." : "; none since going online.");
  return line;
}

}  // namespace kmq

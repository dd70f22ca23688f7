// StreamHealth: watches the plug-in's wire traffic (the host's socket tap) and tells how the motion
// stream is doing: per actor, frames received and applied, rates, jitter, gaps, drops by reason and
// the latency from a frame's arrival to the first evaluation that served it.
// Threads: OnBytes comes from the device I/O thread (incoming) and the UI thread (outgoing), one
// thread per direction; OnEvaluationServed from the evaluation thread; the rest from any thread.
// One mutex guards all state, held for short updates only; payloads are decoded outside it.
// Timestamps are steady-clock microseconds chosen by the caller, so tests control time.
#ifndef KMQ_TOOLS_STREAM_HEALTH_STREAM_HEALTH_H_
#define KMQ_TOOLS_STREAM_HEALTH_STREAM_HEALTH_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "wire_format.h"

namespace kmq {

// Why a frame did not reach the pose. The first three and kShort belong to an actor; the others
// are found before the actor is known.
enum class FrameDrop {
  kWrongActor = 0,     // decoded, but ActorTag is not the chosen actor
  kHeaderPending = 1,  // the chosen actor's header is pending, or none has arrived yet
  kUndecodable = 2,    // the payload does not parse, or the envelope lacks its content/ActorTag
  kOversize = 3,       // length above the link's 184320-byte buffer; payload skipped
  kShort = 4,          // fewer MotionData values than the header's channels
  kLostMarker = 5,     // a negative length after a marker; the link scans for the next marker
};
constexpr int kFrameDropCount = 6;

// The JSON key of a reason: "wrong_actor", "header_pending", "undecodable", "oversize", "short",
// "lost_marker".
const char* FrameDropKey(FrameDrop reason);

// One actor's figures, as of a report's time.
struct ActorHealth {
  uint32_t mTag = 0;
  std::string mName;  // from the actor list, a header or a frame; may be empty
  bool mChosen = false;
  uint64_t mHeaders = 0;          // headers of this actor seen on the wire
  uint64_t mReceived = 0;         // FRAME_DATA envelopes carrying this ActorTag
  uint64_t mApplied = 0;          // of those, frames the link decodes into its pose
  double mRateFps = 0;            // received frames per second from first to last arrival
  double mRateLastSecondFps = 0;  // received frames in the last second before the report time
  double mJitterMs = 0;           // standard deviation of inter-arrival intervals
  double mLongestGapMs = 0;       // longest inter-arrival interval
  std::array<uint64_t, kFrameDropCount> mDrops{};  // by FrameDrop
  uint64_t mLatencySamples = 0;  // frames matched to the first evaluation that served them
  double mLatencyMeanMs = 0;
  double mLatencyMaxMs = 0;
};

struct StreamHealthReport {
  int64_t mNowUs = 0;
  bool mOnline = false;
  double mSilentMs = -1;  // since the last incoming frame (or going online); -1 when offline
  uint32_t mChosenActor = 0;
  bool mHeaderReceived = false;
  bool mHeaderPending = false;
  uint64_t mTracesSeen = 0;
  uint64_t mBytesIn = 0;
  uint64_t mBytesOut = 0;
  uint64_t mFramesIn = 0;            // whole incoming frames within the buffer limit
  uint64_t mSkippedBytes = 0;        // incoming bytes that were not part of such a frame
  uint64_t mHeaderQueries = 0;       // outgoing Command_Query_BVH_Header
  uint64_t mCommandsOut = 0;         // other outgoing commands
  uint64_t mEvaluations = 0;         // OnEvaluationServed calls
  uint64_t mEvaluationsMatched = 0;  // of those, root values equal to a recent applied frame
  uint64_t mUntrackedFrames = 0;     // frames of actors beyond StreamHealth::kMaxActors
  std::array<uint64_t, kFrameDropCount> mDrops{};  // all drops, attributed or not
  std::vector<ActorHealth> mActors;                // ascending tag
};

class StreamHealth {
 public:
  // Actors followed one by one; frames of further tags only count in the totals.
  static constexpr size_t kMaxActors = 64;
  // Applied frames kept for matching evaluations.
  static constexpr size_t kLatencyHistory = 32;

  StreamHealth();
  ~StreamHealth();
  StreamHealth(const StreamHealth&) = delete;
  StreamHealth& operator=(const StreamHealth&) = delete;

  // Tap entry: size bytes that the socket delivered (outgoing false) or sent (outgoing true) at
  // timestampUs. A different socket in the same direction starts a new stream, and so does the
  // same one after a report of its closing (data nullptr, size 0), whose handle may come back as
  // the next connection's.
  void OnBytes(int64_t timestampUs, int socket, bool outgoing, const char* data, int size);
  // The evaluation put rootTranslation (3 values) on the bound root joint at timestampUs.
  // nullptr only counts the evaluation.
  void OnEvaluationServed(int64_t timestampUs, const double* rootTranslation);
  // The device went online or offline at timestampUs. Either change forgets partial frames of
  // the previous connection. Before the first call the monitor counts as online from the first
  // tapped byte.
  void SetOnline(int64_t timestampUs, bool online);
  // The host's trace count (e.g. fbsdk_control::TracesSeen().size()).
  void SetTracesSeen(uint64_t count);

  // Figures as of nowUs; the overloads without it use the newest timestamp handed in so far.
  StreamHealthReport Report() const;
  StreamHealthReport Report(int64_t nowUs) const;
  // One line per actor, then one "wire:" line for drops not tied to an actor.
  std::string StatusLine() const;
  std::string StatusLine(int64_t nowUs) const;
  // A fixed-width table: a summary line, one row per actor, a wire row.
  std::string SummaryTable() const;
  std::string SummaryTable(int64_t nowUs) const;
  // One JSON object (fields in docs/stream-health.md).
  std::string SummaryJson() const;
  std::string SummaryJson(int64_t nowUs) const;

  // True when online and no whole frame has arrived for more than thresholdMs before nowUs
  // (counted from going online when none has arrived since).
  bool SilentFor(int64_t nowUs, int thresholdMs) const;
  // The warning line for SilentFor, or "" when not silent.
  std::string SilenceWarning(int64_t nowUs, int thresholdMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> mImpl;
};

// Formatting of a report, for callers that keep reports.
std::string FormatStatusLine(const StreamHealthReport& report);
std::string FormatSummaryTable(const StreamHealthReport& report);
std::string FormatSummaryJson(const StreamHealthReport& report);

}  // namespace kmq

#endif  // KMQ_TOOLS_STREAM_HEALTH_STREAM_HEALTH_H_

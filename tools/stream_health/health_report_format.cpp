// The stream health report as text: the one-line status, the summary table and the JSON summary,
// and the keys and labels of the drop reasons.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <string>

#include "json_text.h"
#include "stream_health.h"
#include "tool_text.h"

namespace kmq {
namespace {

int Index(FrameDrop reason) { return static_cast<int>(reason); }

}  // namespace

const char* FrameDropKey(FrameDrop reason) {
  switch (reason) {
    case FrameDrop::kWrongActor:
      return "wrong_actor";
    case FrameDrop::kHeaderPending:
      return "header_pending";
    case FrameDrop::kUndecodable:
      return "undecodable";
    case FrameDrop::kOversize:
      return "oversize";
    case FrameDrop::kShort:
      return "short";
    case FrameDrop::kLostMarker:
      return "lost_marker";
  }
  return "?";
}

namespace {

// The drop's key as the table shows it: words apart ("wrong actor").
std::string DropLabel(int reason) {
  std::string label = FrameDropKey(static_cast<FrameDrop>(reason));
  std::replace(label.begin(), label.end(), '_', ' ');
  return label;
}

uint64_t Sum(const std::array<uint64_t, kFrameDropCount>& drops) {
  uint64_t total = 0;
  for (uint64_t count : drops) total += count;
  return total;
}

// A finite number with up to six decimals, trailing zeros dropped; 0 for anything else.
std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "0";
  std::string text = Printf("%.6f", value);
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (text == "-0") text = "0";
  return text;
}

std::string JsonCount(uint64_t value) { return Printf("%" PRIu64, value); }

std::string JsonDrops(const std::array<uint64_t, kFrameDropCount>& drops) {
  std::string json = "{";
  for (int reason = 0; reason < kFrameDropCount; ++reason) {
    if (reason > 0) json += ",";
    json += JsonString(FrameDropKey(static_cast<FrameDrop>(reason))) + ":" +
            JsonCount(drops[static_cast<size_t>(reason)]);
  }
  return json + "}";
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

std::string ActorLabel(const ActorHealth& actor) {
  std::string label = Printf("actor %u", actor.mTag);
  if (!actor.mName.empty()) label += " \"" + actor.mName + "\"";
  if (actor.mChosen) label += " (chosen)";
  return label;
}

std::string DropBreakdown(const std::array<uint64_t, kFrameDropCount>& drops, bool attributed) {
  std::string text;
  for (int reason = 0; reason < kFrameDropCount; ++reason) {
    const bool belongs = reason == Index(FrameDrop::kWrongActor) ||
                         reason == Index(FrameDrop::kHeaderPending) ||
                         reason == Index(FrameDrop::kShort);
    if (belongs != attributed) continue;
    const uint64_t count = drops[static_cast<size_t>(reason)];
    if (attributed && count == 0) continue;
    if (!text.empty()) text += ", ";
    text += Printf("%s %" PRIu64, DropLabel(reason).c_str(), count);
  }
  return text;
}

}  // namespace

std::string FormatStatusLine(const StreamHealthReport& report) {
  std::string text;
  for (const ActorHealth& actor : report.mActors) {
    text += ActorLabel(actor);
    text += Printf(": frames %" PRIu64 " received, %" PRIu64
                   " applied; %.1f fps (last 1 s: %.0f); jitter %.2f ms; longest gap %.1f ms",
                   actor.mReceived, actor.mApplied, actor.mRateFps, actor.mRateLastSecondFps,
                   actor.mJitterMs, actor.mLongestGapMs);
    const uint64_t drops = Sum(actor.mDrops);
    text += Printf("; drops %" PRIu64, drops);
    if (drops > 0) text += " (" + DropBreakdown(actor.mDrops, true) + ")";
    text += Printf("; traces %" PRIu64, report.mTracesSeen);
    if (actor.mLatencySamples > 0) {
      text +=
          Printf("; latency %.2f ms mean, %.2f ms max", actor.mLatencyMeanMs, actor.mLatencyMaxMs);
    } else {
      text += "; latency n/a";
    }
    text += "\n";
  }
  if (report.mActors.empty()) {
    text += Printf("no motion frames yet; traces %" PRIu64 "\n", report.mTracesSeen);
  }
  text += Printf("wire: %" PRIu64 " B in, %" PRIu64 " B out, %" PRIu64 " frames; ", report.mBytesIn,
                 report.mBytesOut, report.mFramesIn);
  text += DropBreakdown(report.mDrops, false);
  text += Printf("; skipped %" PRIu64 " B; chosen actor %u, header %s", report.mSkippedBytes,
                 report.mChosenActor,
                 report.mHeaderPending    ? "pending"
                 : report.mHeaderReceived ? "received"
                                          : "not yet received");
  return text;
}

std::string FormatSummaryTable(const StreamHealthReport& report) {
  std::string text = Printf("Stream health: %s, chosen actor %u, header %s, %" PRIu64
                            " traces, %" PRIu64 " evaluations (%" PRIu64 " matched to a frame)\n",
                            report.mOnline ? "online" : "offline", report.mChosenActor,
                            report.mHeaderPending    ? "pending"
                            : report.mHeaderReceived ? "received"
                                                     : "not yet received",
                            report.mTracesSeen, report.mEvaluations, report.mEvaluationsMatched);
  text += Printf("%-6s %-16s %9s %9s %8s %8s %9s %9s %7s %7s %7s %9s %9s\n", "actor", "name",
                 "received", "applied", "fps", "fps 1s", "jitter ms", "gap ms", "wrong", "pending",
                 "short", "lat mean", "lat max");
  for (const ActorHealth& actor : report.mActors) {
    std::string name = actor.mName.substr(0, 16);
    if (actor.mChosen) name = "*" + actor.mName.substr(0, 15);
    text += Printf("%-6u %-16s %9" PRIu64 " %9" PRIu64 " %8.1f %8.0f %9.2f %9.1f %7" PRIu64
                   " %7" PRIu64 " %7" PRIu64,
                   actor.mTag, name.c_str(), actor.mReceived, actor.mApplied, actor.mRateFps,
                   actor.mRateLastSecondFps, actor.mJitterMs, actor.mLongestGapMs,
                   actor.mDrops[Index(FrameDrop::kWrongActor)],
                   actor.mDrops[Index(FrameDrop::kHeaderPending)],
                   actor.mDrops[Index(FrameDrop::kShort)]);
    if (actor.mLatencySamples > 0) {
      text += Printf(" %9.2f %9.2f\n", actor.mLatencyMeanMs, actor.mLatencyMaxMs);
    } else {
      text += Printf(" %9s %9s\n", "n/a", "n/a");
    }
  }
  text += Printf("wire: %" PRIu64 " B in, %" PRIu64 " B out, %" PRIu64 " frames, %" PRIu64
                 " B skipped; ",
                 report.mBytesIn, report.mBytesOut, report.mFramesIn, report.mSkippedBytes);
  text += DropBreakdown(report.mDrops, false);
  if (report.mUntrackedFrames > 0) {
    text += Printf("; %" PRIu64 " frames of untracked actors", report.mUntrackedFrames);
  }
  text += "\n";
  return text;
}

std::string FormatSummaryJson(const StreamHealthReport& report) {
  std::string json = "{";
  json += "\"now_us\":" + Printf("%" PRId64, report.mNowUs);
  json += ",\"online\":" + JsonBool(report.mOnline);
  json += ",\"silent_ms\":" + JsonNumber(report.mSilentMs);
  json += ",\"chosen_actor\":" + JsonCount(report.mChosenActor);
  json += ",\"header_received\":" + JsonBool(report.mHeaderReceived);
  json += ",\"header_pending\":" + JsonBool(report.mHeaderPending);
  json += ",\"traces_seen\":" + JsonCount(report.mTracesSeen);
  json += ",\"bytes_in\":" + JsonCount(report.mBytesIn);
  json += ",\"bytes_out\":" + JsonCount(report.mBytesOut);
  json += ",\"frames_in\":" + JsonCount(report.mFramesIn);
  json += ",\"skipped_bytes\":" + JsonCount(report.mSkippedBytes);
  json += ",\"header_queries\":" + JsonCount(report.mHeaderQueries);
  json += ",\"commands_out\":" + JsonCount(report.mCommandsOut);
  json += ",\"evaluations\":" + JsonCount(report.mEvaluations);
  json += ",\"evaluations_matched\":" + JsonCount(report.mEvaluationsMatched);
  json += ",\"untracked_frames\":" + JsonCount(report.mUntrackedFrames);
  json += ",\"drops\":" + JsonDrops(report.mDrops);
  json += ",\"actors\":[";
  for (size_t i = 0; i < report.mActors.size(); ++i) {
    const ActorHealth& actor = report.mActors[i];
    if (i > 0) json += ",";
    json += "{\"tag\":" + JsonCount(actor.mTag);
    json += ",\"name\":" + JsonString(actor.mName);
    json += ",\"chosen\":" + JsonBool(actor.mChosen);
    json += ",\"headers\":" + JsonCount(actor.mHeaders);
    json += ",\"frames_received\":" + JsonCount(actor.mReceived);
    json += ",\"frames_applied\":" + JsonCount(actor.mApplied);
    json += ",\"rate_fps\":" + JsonNumber(actor.mRateFps);
    json += ",\"rate_last_second_fps\":" + JsonNumber(actor.mRateLastSecondFps);
    json += ",\"jitter_ms\":" + JsonNumber(actor.mJitterMs);
    json += ",\"longest_gap_ms\":" + JsonNumber(actor.mLongestGapMs);
    json += ",\"drops\":" + JsonDrops(actor.mDrops);
    json += ",\"latency_samples\":" + JsonCount(actor.mLatencySamples);
    json += ",\"latency_mean_ms\":" + JsonNumber(actor.mLatencyMeanMs);
    json += ",\"latency_max_ms\":" + JsonNumber(actor.mLatencyMaxMs);
    json += "}";
  }
  json += "]}";
  return json;
}

}  // namespace kmq

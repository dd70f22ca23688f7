#include "replay_plan.h"

#include <algorithm>
#include <utility>

namespace kmq {
namespace {

using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

// Between passes when the capture has fewer than two timeline records to take a spacing from.
constexpr int64_t kDefaultPassGapMicros = 10000;

}  // namespace

bool BuildReplayPlan(const Capture& capture, ReplayPlan* plan, std::string* error) {
  *plan = ReplayPlan();
  if (capture.mRecords.empty()) {
    if (error != nullptr) *error = "the capture holds no record";
    return false;
  }
  const uint64_t origin = capture.mRecords.front().mArrivalMicros;
  plan->mCompression = FrameCompression(capture.mRecords.front().WireBytes());
  int64_t last = 0;
  IVRA_PLUGIN_MESSAGE message;
  for (const CaptureRecord& record : capture.mRecords) {
    ReplayRecord entry;
    // Arrival times only grow in a capture; a damaged one that goes back plays at once.
    int64_t micros = record.mArrivalMicros >= origin
                         ? static_cast<int64_t>(record.mArrivalMicros - origin)
                         : last;
    entry.mMicros = std::max(micros, last);
    last = entry.mMicros;
    entry.mBytes = record.WireBytes();
    message.Clear();
    if (DecodePayload(record.mMarker == kovrim::wire::kCompressedMarker, record.mPayload.data(),
                      record.mPayload.size(), &message, nullptr)) {
      if (message.message() == IVRA_PLUGIN_MESSAGE::FRAME_DATA && message.has_frame()) {
        entry.mKind = ReplayRecord::Kind::kMotion;
        entry.mTag = message.frame().actortag();
      } else if (message.message() == IVRA_PLUGIN_MESSAGE::HEADER_DATA && message.has_header()) {
        entry.mKind = ReplayRecord::Kind::kHeader;
        entry.mTag = message.header().actortag();
      } else if (message.message() == IVRA_PLUGIN_MESSAGE::COMMAND && message.has_command() &&
                 message.command().cmdtype() == COMMAND::Notify_ActorsList) {
        entry.mKind = ReplayRecord::Kind::kActorList;
      }
    }
    if (entry.mKind == ReplayRecord::Kind::kActorList && plan->mActorList.empty()) {
      plan->mActorList = std::move(entry.mBytes);
      continue;
    }
    if (entry.mKind == ReplayRecord::Kind::kHeader && plan->mHeaders.count(entry.mTag) == 0) {
      plan->mHeaders[entry.mTag] = std::move(entry.mBytes);
      continue;
    }
    if (entry.mKind == ReplayRecord::Kind::kActorList ||
        entry.mKind == ReplayRecord::Kind::kHeader) {
      plan->mTimelineChangesState = true;
    }
    if (entry.mKind == ReplayRecord::Kind::kMotion) ++plan->mMotionFrames;
    plan->mTimeline.push_back(std::move(entry));
  }
  // The next pass starts one average spacing after the last record, as the next frame would.
  int64_t gap = kDefaultPassGapMicros;
  if (plan->mTimeline.size() >= 2) {
    int64_t span = plan->mTimeline.back().mMicros - plan->mTimeline.front().mMicros;
    gap = std::max<int64_t>(1000, span / static_cast<int64_t>(plan->mTimeline.size() - 1));
  }
  plan->mPassMicros = last + gap;
  return true;
}

}  // namespace kmq

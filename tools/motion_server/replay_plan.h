// A capture prepared for serving: what a connection starts with (the captured actor list and
// headers) and the timeline of records it then plays with their original spacing.
// Built once before the server starts and only read afterwards.
#ifndef KMQ_TOOLS_MOTION_SERVER_REPLAY_PLAN_H_
#define KMQ_TOOLS_MOTION_SERVER_REPLAY_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture_file.h"
#include "motion_protocol.h"

namespace kmq {

struct ReplayRecord {
  enum class Kind { kActorList, kHeader, kMotion, kOther };
  Kind mKind = Kind::kOther;
  // The actor of a header or a motion frame.
  uint32_t mTag = 0;
  // Since the capture's first record; never less than the record before it.
  int64_t mMicros = 0;
  // Marker, length and payload, as captured.
  std::string mBytes;
};

struct ReplayPlan {
  // The first actor list in the capture, sent on connection; "" if the capture has none.
  std::string mActorList;
  // The first header of each actor: the answer to a header query.
  std::map<uint32_t, std::string> mHeaders;
  // Every other record, in capture order: motion frames, later lists and headers, errors, and
  // payloads that do not decode.
  std::vector<ReplayRecord> mTimeline;
  // One pass over the timeline, with the pause before the next pass.
  int64_t mPassMicros = 0;
  // The timeline carries an actor list or a header, so a new pass starts by restoring the
  // connection's first list and headers.
  bool mTimelineChangesState = false;
  // How the captured server compressed its messages (taken from its first record).
  Compression mCompression = Compression::kGzip;
  uint64_t mMotionFrames = 0;
};

// Sorts capture's records into plan. Fails on a capture without a record.
bool BuildReplayPlan(const Capture& capture, ReplayPlan* plan, std::string* error);

}  // namespace kmq

#endif  // KMQ_TOOLS_MOTION_SERVER_REPLAY_PLAN_H_

// The one-shot job of the headless host: start the reference server (unless told to use another),
// load the plug-in, make the device, go online, take the actor the panel offers, bind a skeleton,
// record and write the take, then summarize the stream's health. It runs on the caller's thread,
// which plays the host's user-interface thread, and uses one HeadlessHost for the whole of it.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_SESSION_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_SESSION_H_

#include <string>

#include "host_exit.h"
#include "host_options.h"
#include "stream_health.h"
#include "take_export.h"

namespace kmq {

struct SessionResult {
  int mExitCode = kExitOk;
  // One line saying what failed; empty on success.
  std::string mMessage;
  std::string mServer;        // "ADDR:PORT" the device connected to
  std::string mActorName;     // the actor chosen in the panel
  int mTemplateCount = 0;     // templates below "Reference" (joints and end sites)
  long mSamplesReceived = 0;  // samples the device acknowledged while recording
  double mRecordedSeconds = 0;
  int mKeysRecorded = 0;  // keys on all channels of the skeleton
  TakeExportStats mTake;
  double mFrameTime = 0;
  std::string mOutPath;
  // The contact sheet written beside the take ("" when none), and why it or its PNG is missing
  // ("" when nothing went wrong or it was turned off).
  std::string mContactSheetPath;
  std::string mContactSheetPngPath;
  std::string mContactSheetProblem;
  // The stream's health at the end of the session (also when it failed after the device was
  // made), as a report, the summary table, and silence warnings printed.
  StreamHealthReport mHealth;
  std::string mHealthTable;
  int mSilenceWarnings = 0;
  // With HostOptions::mJson: the one JSON object printed on stdout (SessionJson).
  std::string mJson;
};

// The session's summary as one JSON object: exit_code, message, server, actor, seconds,
// samples_received, frames, keys, take, contact_sheet, contact_sheet_png (null when not written),
// contact_sheet_problem, silence_warnings, and health (StreamHealth::SummaryJson).
std::string SessionJson(const SessionResult& result, const std::string& healthJson);

// Runs one whole session. Returns true on success; otherwise result->mExitCode and
// result->mMessage say what failed. Everything the session created is released before it returns:
// the device is offline, panel and device are destroyed, the scene models are deleted and the
// plug-in library is closed.
bool RunHeadlessSession(const HostOptions& options, SessionResult* result);

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HOST_SESSION_H_

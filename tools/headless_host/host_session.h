// The one-shot job of the headless host: start the reference server (unless told to use another),
// load the plug-in, make the device, go online, take the actor the panel offers, bind a skeleton,
// record and write the take, then summarize the stream's health. With N devices (--devices) the
// server streams the capture N times and device i does the same with actor i, each writing its
// own take; one device is the case N = 1. It runs on the caller's thread,
// which plays the host's user-interface thread, and uses one HeadlessHost for the whole of it.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_SESSION_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_SESSION_H_

#include <string>
#include <vector>

#include "headless_host.h"
#include "host_console.h"
#include "host_exit.h"
#include "host_options.h"
#include "stream_health.h"
#include "take_export.h"

namespace kmq {

// What one device of the session recorded and wrote.
struct DeviceOutcome {
  std::string mActorName;     // the actor chosen in the panel
  int mTemplateCount = 0;     // templates below "Reference" (joints and end sites)
  long mSamplesReceived = 0;  // samples the device acknowledged while recording
  int mKeysRecorded = 0;      // keys on all channels of the skeleton
  TakeExportStats mTake;
  double mFrameTime = 0;
  std::string mOutPath;
  // The contact sheet written beside the take ("" when none), and why it or its PNG is missing
  // ("" when nothing went wrong or it was turned off).
  std::string mContactSheetPath;
  std::string mContactSheetPngPath;
  std::string mContactSheetProblem;
};

// The session's result; its DeviceOutcome is the first device's.
struct SessionResult : DeviceOutcome {
  int mExitCode = kExitOk;
  // One line saying what failed; empty on success.
  std::string mMessage;
  std::string mServer;  // "ADDR:PORT" the devices connected to
  double mRecordedSeconds = 0;
  // The devices after the first (HostOptions::mDevices > 1).
  std::vector<DeviceOutcome> mOtherDevices;
  // The stream's health at the end of the session (also when it failed after the device was
  // made), as a report, the summary table, and silence warnings printed.
  StreamHealthReport mHealth;
  std::string mHealthTable;
  int mSilenceWarnings = 0;
  // With HostOptions::mJson: the one JSON object printed on stdout (SessionJson).
  std::string mJson;
};

// Where device index (from 0) of count writes its take: outPath itself for one device; for more,
// the device's number joined to the file name's stem ("takes/walk.bvh" gives "takes/walk-1.bvh",
// "takes/walk-2.bvh", ...), in the same folder and with the same extension.
std::string TakePathFor(const std::string& outPath, int index, int count);

// The session's summary as one JSON object: exit_code, message, server, actor, seconds,
// samples_received, frames, keys, take, contact_sheet, contact_sheet_png (null when not written),
// contact_sheet_problem, silence_warnings, and health (StreamHealth::SummaryJson); with more than
// one device, devices: one object per device with its actor, samples_received, frames, keys,
// take, contact_sheet, contact_sheet_png and contact_sheet_problem.
std::string SessionJson(const SessionResult& result, const std::string& healthJson);

// Runs one whole session. Returns true on success; otherwise result->mExitCode and
// result->mMessage say what failed. Everything the session created is released before it returns:
// the device is offline, panel and device are destroyed, the scene models are deleted and the
// plug-in library is closed.
bool RunHeadlessSession(const HostOptions& options, SessionResult* result);

// The session's steps, for tests and measurements that run part of it or serve their own actors.
// Each step returns false with result's exit code and message saying what failed.
class HostSession {
 public:
  // result remains the caller's and must outlive the session.
  HostSession(const HostOptions& options, SessionResult* result);
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // Every step in order: CheckTakePaths, StartServer, Connect, Record, WriteTakes.
  bool Run();
  // Refuses (exit code 2) a take path that cannot be written, before anything is recorded.
  bool CheckTakePaths();
  // The server the options say: the one given, or the reference server with the capture.
  bool StartServer();
  // Instead: the reference server streaming actors (tags 1, 2, ...) with serverOptions.
  bool ServeActors(const ServerOptions& serverOptions, std::vector<ServedActor> actors);
  // Loads the plug-in and brings every device up: made, online, its actor chosen, its skeleton
  // bound.
  bool Connect();
  bool Record();
  bool WriteTakes();
  // The health summary (table on the console, figures in the result, JSON when asked for);
  // before Release, so that it shows the stream as the session left it.
  void Summarize();
  void Release();
  HeadlessHost& Host() { return mHost; }

 private:
  bool Fail(int code, const std::string& message);
  bool LoadPlugin();
  bool CreateDevice();
  bool GoOnline(int device);
  bool ChooseActors();
  bool WaitForTemplates();
  bool BindSkeleton(int device);
  void ShowProgress(double elapsed, long samples, int keys, bool final);
  bool WriteTake(int device, const TakeJoint& take);
  DeviceOutcome& Outcome(int device);
  // "Device" for one device, "Device N" for device N of several: how the lines name a device.
  std::string DeviceLabel(int device) const;

  const HostOptions mOptions;
  SessionResult* const mResult;
  Console mConsole;
  HeadlessHost mHost;
  std::string mAddress;
  int mPort = 0;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HOST_SESSION_H_

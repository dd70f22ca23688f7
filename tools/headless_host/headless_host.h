// The headless host: plays the animation host around the device plug-in. Loads the library,
// creates the device and its panel, drives the panel as a user would, binds a scene skeleton,
// records and writes the take as BVH. Threads: RunHeadlessSession runs on the caller's thread,
// which plays the host's user-interface thread; it starts and joins the device I/O thread and the
// evaluation thread, which only call RunDeviceIO / EvaluateDevice and read the session clock.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_
#define KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_

#include <string>

#include "host_options.h"
#include "take_export.h"

namespace kmq {

enum HostExitCode {
  kExitOk = 0,
  kExitUsage = 2,
  kExitPlugin = 3,  // library not loaded, device or panel not created
  kExitServerUnreachable = 4,
  kExitNoActor = 5,
  kExitNoHeader = 6,
  kExitRecording = 7,        // skeleton not bound, nothing recorded, take not written
  kExitReferenceServer = 8,  // the in-process server could not start (bad capture file)
  kExitInterrupted = 130,    // a stop was requested before the recording began
};

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
};

// Runs one whole session. Returns true on success; otherwise result->mExitCode and
// result->mMessage say what failed. Everything the session created is released before it returns:
// the device is offline, panel and device are destroyed, the scene models are deleted and the
// plug-in library is closed.
bool RunHeadlessSession(const HostOptions& options, SessionResult* result);

// Asks a running session to stop recording early (as at the end of the recording time); the take
// recorded so far is written. Safe from a signal handler.
void RequestHeadlessStop();

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_

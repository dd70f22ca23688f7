#include "host_session.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "atomic_file.h"
#include "host_text.h"
#include "json_text.h"

namespace kmq {
namespace {

std::string JsonPathOrNull(const std::string& path) {
  return path.empty() ? "null" : JsonString(path);
}

// The device's figures as JSON fields; between goes after the actor (the session's seconds).
std::string DeviceJsonFields(const DeviceOutcome& device, const std::string& between) {
  std::string json = "\"actor\":" + JsonString(device.mActorName) + between;
  json += ",\"samples_received\":" + std::to_string(device.mSamplesReceived);
  json += ",\"frames\":" + std::to_string(device.mTake.mFrames);
  json += ",\"keys\":" + std::to_string(device.mKeysRecorded);
  json += ",\"take\":" + JsonPathOrNull(device.mOutPath);
  json += ",\"contact_sheet\":" + JsonPathOrNull(device.mContactSheetPath);
  json += ",\"contact_sheet_png\":" + JsonPathOrNull(device.mContactSheetPngPath);
  json += ",\"contact_sheet_problem\":" + JsonString(device.mContactSheetProblem);
  return json;
}

}  // namespace

std::string TakePathFor(const std::string& outPath, int index, int count) {
  if (count <= 1) return outPath;
  const size_t slash = outPath.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = outPath.find_last_of('.');
  if (dot == std::string::npos || dot <= nameStart) dot = outPath.size();
  return outPath.substr(0, dot) + "-" + std::to_string(index + 1) + outPath.substr(dot);
}

std::string SessionJson(const SessionResult& result, const std::string& healthJson) {
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.3f", result.mRecordedSeconds);
  std::string json = "{";
  json += "\"exit_code\":" + std::to_string(result.mExitCode);
  json += ",\"message\":" + JsonString(result.mMessage);
  json += ",\"server\":" + JsonString(result.mServer);
  json += "," + DeviceJsonFields(result, ",\"seconds\":" + std::string(seconds));
  json += ",\"silence_warnings\":" + std::to_string(result.mSilenceWarnings);
  json += ",\"health\":" + (healthJson.empty() ? std::string("null") : healthJson);
  if (!result.mOtherDevices.empty()) {
    json += ",\"devices\":[{" + DeviceJsonFields(result, "") + "}";
    for (const DeviceOutcome& device : result.mOtherDevices) {
      json += ",{" + DeviceJsonFields(device, "") + "}";
    }
    json += "]";
  }
  return json + "}";
}

HostSession::HostSession(const HostOptions& options, SessionResult* result)
    : mOptions(options), mResult(result), mConsole(options.mQuiet, options.mJson), mHost(options) {
  mHost.SetHealthListener([this](const std::string& line) { mConsole.Line(line); });
  mResult->mOtherDevices.resize(static_cast<size_t>(std::max(0, options.mDevices - 1)));
}

bool HostSession::Run() {
  return CheckTakePaths() && StartServer() && Connect() && Record() && WriteTakes();
}

bool HostSession::CheckTakePaths() {
  for (int i = 0; i < mOptions.mDevices; ++i) {
    const std::string path = TakePathFor(mOptions.mOutPath, i, mOptions.mDevices);
    std::string problem;
    if (!CanWriteFileAtomically(path, &problem)) {
      return Fail(kExitUsage, "the take cannot be written to " + path + ": " + problem);
    }
  }
  return true;
}

bool HostSession::Connect() {
  if (!LoadPlugin()) return false;
  for (int i = 0; i < mOptions.mDevices; ++i) {
    if (!CreateDevice() || !GoOnline(i)) return false;
  }
  if (!ChooseActors() || !WaitForTemplates()) return false;
  for (int i = 0; i < mOptions.mDevices; ++i) {
    if (!BindSkeleton(i)) return false;
  }
  mHost.UseDevice(0);
  return true;
}

DeviceOutcome& HostSession::Outcome(int device) {
  return device == 0 ? *mResult : mResult->mOtherDevices[static_cast<size_t>(device - 1)];
}

std::string HostSession::DeviceLabel(int device) const {
  return mOptions.mDevices == 1 ? "Device" : "Device " + std::to_string(device + 1);
}

void HostSession::Summarize() {
  mHost.UseDevice(0);
  if (mHost.HasDevice()) mHost.HealthStatus();  // brings online state and traces up to date
  const int64_t now = HeadlessHost::NowUs();
  mResult->mHealth = mHost.Health().Report(now);
  mResult->mHealthTable = FormatSummaryTable(mResult->mHealth);
  mResult->mSilenceWarnings = mHost.SilenceWarnings();
  if (mResult->mHealth.mBytesIn > 0 || mResult->mHealth.mBytesOut > 0) {
    for (const std::string& line : SplitLines(mResult->mHealthTable)) mConsole.Line(line);
  }
  if (mOptions.mJson) {
    mResult->mJson = SessionJson(*mResult, FormatSummaryJson(mResult->mHealth));
    std::printf("%s\n", mResult->mJson.c_str());
    std::fflush(stdout);
  }
}

void HostSession::Release() { mHost.Release(); }

bool HostSession::Fail(int code, const std::string& message) {
  mConsole.EndProgress();
  mResult->mExitCode = code;
  mResult->mMessage = message;
  return false;
}

bool HostSession::StartServer() {
  if (mOptions.mUseServer) {
    mAddress = mOptions.mServerAddress;
    mPort = mOptions.mServerPort;
    return true;
  }
  std::string message;
  if (!mHost.ServeCaptures({mOptions.mBvhPath}, mOptions.mDevices, &message)) {
    return Fail(kExitReferenceServer, message);
  }
  mAddress = "127.0.0.1";
  mPort = mHost.ServerPort();
  mConsole.Line(message);
  return true;
}

bool HostSession::ServeActors(const ServerOptions& serverOptions, std::vector<ServedActor> actors) {
  if (actors.size() < static_cast<size_t>(mOptions.mDevices)) {
    return Fail(kExitReferenceServer, "the server streams " + std::to_string(actors.size()) +
                                          " actors, not enough for " +
                                          std::to_string(mOptions.mDevices) + " devices");
  }
  std::string message;
  if (!mHost.ServeActors(serverOptions, std::move(actors), &message)) {
    return Fail(kExitReferenceServer, message);
  }
  mAddress = "127.0.0.1";
  mPort = mHost.ServerPort();
  mConsole.Line(message);
  return true;
}

bool HostSession::LoadPlugin() {
  std::string message;
  if (!mHost.LoadPlugin(mOptions.mPluginPath, &message)) return Fail(kExitPlugin, message);
  if (mHost.PluginRecordsAddedByEntry() > 0) {
    mConsole.Line("warning: the plug-in's entry registered " +
                  std::to_string(mHost.PluginRecordsAddedByEntry()) +
                  " classes again when called a second time");
  }
  mConsole.Line(message);
  return true;
}

bool HostSession::CreateDevice() {
  std::string message;
  // The next device: the first is there from the start.
  if (mHost.HasDevice()) mHost.UseDevice(mHost.DeviceCount());
  return mHost.CreateDevice(&message) || Fail(kExitPlugin, message);
}

bool HostSession::GoOnline(int device) {
  mHost.UseDevice(device);
  mResult->mServer = mAddress + ":" + std::to_string(mPort);
  std::string message;
  if (!mHost.TypeAddress(mAddress, &message) || !mHost.TypePort(std::to_string(mPort), &message)) {
    return Fail(kExitPlugin, "the panel's address and port cannot be typed into");
  }
  if (!mHost.SetOnline(true, &message)) {
    return Fail(kExitServerUnreachable,
                "cannot reach the motion server at " + mResult->mServer + ": " + message);
  }
  mConsole.Line(DeviceLabel(device) + " online at " + mResult->mServer);
  return true;
}

bool HostSession::ChooseActors() {
  // Every panel lists one actor for each device at least.
  const size_t wanted = static_cast<size_t>(mOptions.mDevices);
  const HeadlessHost::WaitResult offered = mHost.IdleUntil(
      [this, wanted] {
        for (int i = 0; i < mHost.DeviceCount(); ++i) {
          mHost.UseDevice(i);
          if (mHost.Actors().size() < wanted) return false;
        }
        return true;
      },
      mOptions.mTimeout);
  if (offered == HeadlessHost::WaitResult::kInterrupted) {
    return Fail(kExitInterrupted, "interrupted");
  }
  if (offered != HeadlessHost::WaitResult::kDone) {
    return Fail(kExitNoActor, "no actor offered by the server at " + mResult->mServer + " within " +
                                  Format(mOptions.mTimeout) + " s");
  }
  for (int i = 0; i < mHost.DeviceCount(); ++i) {
    mHost.UseDevice(i);
    // On the first list the panel chooses the first actor itself; a user would pick it otherwise.
    // One device keeps the actor its panel chose; device i of several takes list item i.
    std::vector<ActorItem> actors = mHost.Actors();
    auto chosen = std::find_if(actors.begin(), actors.end(),
                               [](const ActorItem& item) { return item.mSelected; });
    const bool own = mOptions.mDevices == 1 ? chosen != actors.end()
                                            : chosen != actors.end() && chosen->mIndex == i;
    if (!own) {
      if (mOptions.mDevices == 1) mConsole.Line("The panel chose no actor; choosing the first one");
      std::string message;
      if (!mHost.ChooseActor(i, &message)) {
        return Fail(kExitNoActor, "the panel's actor list cannot be chosen from");
      }
      actors = mHost.Actors();
      chosen = actors.begin() + i;
    }
    Outcome(i).mActorName = chosen->mName;
  }
  return true;
}

bool HostSession::WaitForTemplates() {
  int waiting = 0;  // the device waited for
  const HeadlessHost::WaitResult built = mHost.IdleUntil(
      [this, &waiting] {
        for (; waiting < mHost.DeviceCount(); ++waiting) {
          mHost.UseDevice(waiting);
          if (mHost.TemplateCount() == 0) return false;
        }
        return true;
      },
      mOptions.mTimeout);
  if (built == HeadlessHost::WaitResult::kInterrupted) {
    return Fail(kExitInterrupted, "interrupted");
  }
  if (built != HeadlessHost::WaitResult::kDone) {
    return Fail(kExitNoHeader, "no header for actor \"" + Outcome(waiting).mActorName + "\" from " +
                                   mResult->mServer + " within " + Format(mOptions.mTimeout) +
                                   " s");
  }
  return true;
}

bool HostSession::BindSkeleton(int device) {
  mHost.UseDevice(device);
  if (mHost.TemplateRootCount() > 1) {
    mConsole.Line("warning: only the first skeleton below \"Reference\" is recorded");
  }
  std::string message;
  // Several devices' skeletons share the joints' names: each has a namespace of its own.
  const std::string nameSpace = mOptions.mDevices == 1 ? "" : "Device" + std::to_string(device + 1);
  if (!mHost.MakeSkeleton(nameSpace, &message)) return Fail(kExitRecording, message);
  DeviceOutcome& outcome = Outcome(device);
  outcome.mTemplateCount = mHost.TemplateCount();
  if (!mHost.Bind(&message)) return Fail(kExitRecording, message);
  const std::string actor =
      mOptions.mDevices == 1 ? "Actor \"" : DeviceLabel(device) + ": actor \"";
  mConsole.Line(actor + outcome.mActorName + "\": skeleton of " +
                std::to_string(outcome.mTemplateCount) + " models bound");
  return true;
}

void HostSession::ShowProgress(double elapsed, long samples, int keys, bool final) {
  char line[160];
  std::snprintf(line, sizeof(line),
                "Recording %5.1f / %.1f s  frames received %6ld  %6.1f fps  keys %8d", elapsed,
                mOptions.mSeconds, samples, elapsed > 0 ? samples / elapsed : 0.0, keys);
  std::vector<std::string> lines = {line};
  for (std::string& status : SplitLines(mHost.HealthStatus())) {
    lines.push_back("  " + std::move(status));
  }
  mConsole.Progress(lines, final);
}

bool HostSession::Record() {
  RecordStats stats;
  std::string message;
  mHost.UseDevice(0);
  const bool recorded = mHost.Record(
      mOptions.mSeconds,
      [this](double elapsed, long samples, int keys, bool final) {
        ShowProgress(elapsed, samples, keys, final);
      },
      &stats, &message);
  mConsole.EndProgress();
  if (!recorded) return Fail(kExitRecording, message);
  mResult->mRecordedSeconds = stats.mSeconds;
  for (size_t i = 0; i < stats.mDeviceSamples.size(); ++i) {
    Outcome(static_cast<int>(i)).mSamplesReceived = stats.mDeviceSamples[i];
  }
  return true;
}

bool HostSession::WriteTakes() {
  // Nothing may touch the takes while they are read.
  mHost.StopRealTimeThreads();
  for (int i = 0; i < mHost.DeviceCount(); ++i) {
    mHost.UseDevice(i);
    DeviceOutcome& outcome = Outcome(i);
    const TakeJoint take = mHost.CollectTake(&outcome.mKeysRecorded);
    if (outcome.mKeysRecorded == 0) {
      const std::string who =
          mOptions.mDevices == 1 ? "the device" : "device " + std::to_string(i + 1);
      return Fail(kExitRecording, "nothing was recorded: " + who + " keyed no frame in " +
                                      Format(mResult->mRecordedSeconds, 1) + " s (" +
                                      std::to_string(outcome.mSamplesReceived) +
                                      " frames received)");
    }
    if (!WriteTake(i, take)) return false;
  }
  mHost.UseDevice(0);
  return true;
}

bool HostSession::WriteTake(int device, const TakeJoint& take) {
  DeviceOutcome& outcome = Outcome(device);
  const std::string path = TakePathFor(mOptions.mOutPath, device, mOptions.mDevices);
  ExportStats stats;
  std::string message;
  if (!mHost.WriteTake(take, path, &stats, &message)) return Fail(kExitRecording, message);
  outcome.mTake = stats.mTake;
  outcome.mFrameTime = stats.mFrameTime;
  outcome.mOutPath = path;
  outcome.mContactSheetPath = stats.mContactSheetPath;
  outcome.mContactSheetPngPath = stats.mContactSheetPngPath;
  outcome.mContactSheetProblem = stats.mContactSheetProblem;
  mConsole.Line(message);
  if (!stats.mContactSheetPath.empty()) {
    mConsole.Line("Contact sheet: " + stats.mContactSheetPath +
                  (stats.mContactSheetPngPath.empty() ? "" : " and " + stats.mContactSheetPngPath));
  }
  if (!stats.mContactSheetProblem.empty()) {
    mConsole.Line("warning: contact sheet: " + stats.mContactSheetProblem);
  }
  if (stats.mTake.mMovingJoints > 0) {
    mConsole.Line("note: " + std::to_string(stats.mTake.mMovingJoints) +
                  " joints moved and were written with position channels");
  }
  return true;
}

bool RunHeadlessSession(const HostOptions& options, SessionResult* result) {
  ClearHeadlessStop();
  *result = SessionResult();
  HostSession session(options, result);
  const bool ok = session.Run();
  session.Summarize();
  session.Release();
  return ok;
}

}  // namespace kmq

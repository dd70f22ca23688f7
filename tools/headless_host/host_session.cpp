#include "host_session.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "headless_host.h"
#include "host_console.h"
#include "host_text.h"
#include "json_text.h"

namespace kmq {
namespace {

std::string JsonPathOrNull(const std::string& path) {
  return path.empty() ? "null" : JsonString(path);
}

}  // namespace

std::string SessionJson(const SessionResult& result, const std::string& healthJson) {
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.3f", result.mRecordedSeconds);
  std::string json = "{";
  json += "\"exit_code\":" + std::to_string(result.mExitCode);
  json += ",\"message\":" + JsonString(result.mMessage);
  json += ",\"server\":" + JsonString(result.mServer);
  json += ",\"actor\":" + JsonString(result.mActorName);
  json += ",\"seconds\":" + std::string(seconds);
  json += ",\"samples_received\":" + std::to_string(result.mSamplesReceived);
  json += ",\"frames\":" + std::to_string(result.mTake.mFrames);
  json += ",\"keys\":" + std::to_string(result.mKeysRecorded);
  json += ",\"take\":" + JsonPathOrNull(result.mOutPath);
  json += ",\"contact_sheet\":" + JsonPathOrNull(result.mContactSheetPath);
  json += ",\"contact_sheet_png\":" + JsonPathOrNull(result.mContactSheetPngPath);
  json += ",\"contact_sheet_problem\":" + JsonString(result.mContactSheetProblem);
  json += ",\"silence_warnings\":" + std::to_string(result.mSilenceWarnings);
  json += ",\"health\":" + (healthJson.empty() ? std::string("null") : healthJson);
  return json + "}";
}

namespace {

// The default job: connect, take the actor the panel offers, bind, record, write.
class Session {
 public:
  Session(const HostOptions& options, SessionResult* result)
      : mOptions(options),
        mResult(result),
        mConsole(options.mQuiet, options.mJson),
        mHost(options) {
    mHost.SetHealthListener([this](const std::string& line) { mConsole.Line(line); });
  }

  bool Run() {
    return StartServer() && LoadPlugin() && CreateDevice() && GoOnline() && ChooseActor() &&
           WaitForTemplates() && BindSkeleton() && Record() && WriteTake();
  }

  // The health summary (table on the console, figures in the result, JSON when asked for);
  // before Release, so that it shows the stream as the session left it.
  void Summarize() {
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

  void Release() { mHost.Release(); }

 private:
  bool Fail(int code, const std::string& message) {
    mConsole.EndProgress();
    mResult->mExitCode = code;
    mResult->mMessage = message;
    return false;
  }

  bool StartServer() {
    if (mOptions.mUseServer) {
      mAddress = mOptions.mServerAddress;
      mPort = mOptions.mServerPort;
      return true;
    }
    std::string message;
    if (!mHost.ServeCaptures({mOptions.mBvhPath}, &message)) {
      return Fail(kExitReferenceServer, message);
    }
    mAddress = "127.0.0.1";
    mPort = mHost.ServerPort();
    mConsole.Line(message);
    return true;
  }

  bool LoadPlugin() {
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

  bool CreateDevice() {
    std::string message;
    return mHost.CreateDevice(&message) || Fail(kExitPlugin, message);
  }

  bool GoOnline() {
    mResult->mServer = mAddress + ":" + std::to_string(mPort);
    std::string message;
    if (!mHost.TypeAddress(mAddress, &message) ||
        !mHost.TypePort(std::to_string(mPort), &message)) {
      return Fail(kExitPlugin, "the panel's address and port cannot be typed into");
    }
    if (!mHost.SetOnline(true, &message)) {
      return Fail(kExitServerUnreachable,
                  "cannot reach the motion server at " + mResult->mServer + ": " + message);
    }
    mConsole.Line("Device online at " + mResult->mServer);
    return true;
  }

  bool ChooseActor() {
    const HeadlessHost::WaitResult offered =
        mHost.IdleUntil([this] { return !mHost.Actors().empty(); }, mOptions.mTimeout);
    if (offered == HeadlessHost::WaitResult::kInterrupted) {
      return Fail(kExitInterrupted, "interrupted");
    }
    if (offered != HeadlessHost::WaitResult::kDone) {
      return Fail(kExitNoActor, "no actor offered by the server at " + mResult->mServer +
                                    " within " + Format(mOptions.mTimeout) + " s");
    }
    // On the first list the panel chooses the first actor itself; a user would pick it otherwise.
    std::vector<ActorItem> actors = mHost.Actors();
    auto chosen = std::find_if(actors.begin(), actors.end(),
                               [](const ActorItem& item) { return item.mSelected; });
    if (chosen == actors.end()) {
      mConsole.Line("The panel chose no actor; choosing the first one");
      std::string message;
      if (!mHost.ChooseActor(0, &message)) {
        return Fail(kExitNoActor, "the panel's actor list cannot be chosen from");
      }
      actors = mHost.Actors();
      chosen = actors.begin();
    }
    mResult->mActorName = chosen->mName;
    return true;
  }

  bool WaitForTemplates() {
    const HeadlessHost::WaitResult built =
        mHost.IdleUntil([this] { return mHost.TemplateCount() > 0; }, mOptions.mTimeout);
    if (built == HeadlessHost::WaitResult::kInterrupted) {
      return Fail(kExitInterrupted, "interrupted");
    }
    if (built != HeadlessHost::WaitResult::kDone) {
      return Fail(kExitNoHeader, "no header for actor \"" + mResult->mActorName + "\" from " +
                                     mResult->mServer + " within " + Format(mOptions.mTimeout) +
                                     " s");
    }
    return true;
  }

  bool BindSkeleton() {
    if (mHost.TemplateRootCount() > 1) {
      mConsole.Line("warning: only the first skeleton below \"Reference\" is recorded");
    }
    std::string message;
    if (!mHost.MakeSkeleton("", &message)) return Fail(kExitRecording, message);
    mResult->mTemplateCount = mHost.TemplateCount();
    if (!mHost.Bind(&message)) return Fail(kExitRecording, message);
    mConsole.Line("Actor \"" + mResult->mActorName + "\": skeleton of " +
                  std::to_string(mResult->mTemplateCount) + " models bound");
    return true;
  }

  void ShowProgress(double elapsed, long samples, int keys, bool final) {
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

  bool Record() {
    RecordStats stats;
    std::string message;
    const bool recorded = mHost.Record(
        mOptions.mSeconds,
        [this](double elapsed, long samples, int keys, bool final) {
          ShowProgress(elapsed, samples, keys, final);
        },
        &stats, &message);
    mConsole.EndProgress();
    if (!recorded) return Fail(kExitRecording, message);
    mResult->mRecordedSeconds = stats.mSeconds;
    mResult->mSamplesReceived = stats.mSamples;
    return true;
  }

  bool WriteTake() {
    // Nothing may touch the take while it is read.
    mHost.StopRealTimeThreads();
    const TakeJoint take = mHost.CollectTake(&mResult->mKeysRecorded);
    if (mResult->mKeysRecorded == 0) {
      return Fail(kExitRecording, "nothing was recorded: the device keyed no frame in " +
                                      Format(mResult->mRecordedSeconds, 1) + " s (" +
                                      std::to_string(mResult->mSamplesReceived) +
                                      " frames received)");
    }
    ExportStats stats;
    std::string message;
    if (!mHost.WriteTake(take, mOptions.mOutPath, &stats, &message)) {
      return Fail(kExitRecording, message);
    }
    mResult->mTake = stats.mTake;
    mResult->mFrameTime = stats.mFrameTime;
    mResult->mOutPath = mOptions.mOutPath;
    mResult->mContactSheetPath = stats.mContactSheetPath;
    mResult->mContactSheetPngPath = stats.mContactSheetPngPath;
    mResult->mContactSheetProblem = stats.mContactSheetProblem;
    mConsole.Line(message);
    if (!stats.mContactSheetPath.empty()) {
      mConsole.Line(
          "Contact sheet: " + stats.mContactSheetPath +
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

  const HostOptions mOptions;
  SessionResult* const mResult;
  Console mConsole;
  HeadlessHost mHost;
  std::string mAddress;
  int mPort = 0;
};

}  // namespace

bool RunHeadlessSession(const HostOptions& options, SessionResult* result) {
  ClearHeadlessStop();
  *result = SessionResult();
  Session session(options, result);
  const bool ok = session.Run();
  session.Summarize();
  session.Release();
  return ok;
}
}  // namespace kmq

// kovrim-stream-capture: records a motion server's stream to a capture file, as the plug-in would
// receive it, for replay by kovrim-motion-server --replay. The session runs on its own thread;
// the main thread takes SIGINT/SIGTERM and draws the progress line.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture_session.h"
#include "option_table.h"
#include "stop_signals.h"
#include "tool_text.h"

namespace {

const char kProgram[] = "kovrim-stream-capture";

constexpr int kExitOk = 0;
constexpr int kExitFile = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConnect = 3;
constexpr int kExitNetwork = 4;

// What the command line asks for.
struct Command {
  kmq::CaptureOptions mOptions;
  bool mQuiet = false;
  bool mHelp = false;
};

kmq::OptionTable CaptureOptionTable(Command* command) {
  using namespace kmq;
  CaptureOptions& options = command->mOptions;
  OptionTable table;
  table.mIntro =
      "usage: kovrim-stream-capture [options]\n"
      "Connects to a motion server as the plug-in does, asks for the chosen actors' headers and\n"
      "records every frame that arrives (actor lists, headers, motion frames and anything else),\n"
      "with its arrival time, to a capture file that kovrim-motion-server --replay plays back.\n"
      "See docs/capture-format.md.\n"
      "\n";
  table.mGroups = {
      {"",
       20,
       {Custom(
            "--server", "HOST:PORT",
            [&options](const std::string& value, std::string*) {
              return ReadHostPort(value, &options.mHost, &options.mPort);
            },
            "the motion server (default 127.0.0.1:7005)", "--server needs HOST:PORT"),
        Text("--host", "HOST", &options.mHost, "the server's address (default 127.0.0.1)",
             "--host needs an address"),
        Integer("--port", "N", &options.mPort, 1, 65535, "the server's port (default 7005)"),
        Custom(
            "--actor", "TAG",
            [&options](const std::string& value, std::string*) {
              uint32_t tag = 0;
              if (!ReadInteger<uint32_t>(value, 0, UINT32_MAX, &tag)) return false;
              options.mActors.push_back(tag);
              return true;
            },
            "an actor whose header to ask for; repeat for more (default: every\n"
            "actor the server offers)",
            "--actor needs an actor tag (a number)"),
        Text("--out", "FILE", &options.mPath,
             "the capture file (default capture.kmqcap; replaced if it exists)",
             "--out needs a file"),
        Positive("--seconds", "S", &options.mSeconds,
                 "stop after S seconds (default: on Ctrl-C, or when the server\n"
                 "closes the connection)"),
        Positive("--timeout", "S", &options.mConnectTimeout,
                 "how long to wait for the connection (default 5)",
                 "--timeout needs a positive number of seconds"),
        Flag("--quiet", &command->mQuiet, "no progress line and no notes"),
        HelpFlag(&command->mHelp)}}};
  table.mOutro =
      "\n"
      "Every frame is in the file as soon as it has arrived, so a capture that is cut short\n"
      "keeps every frame before the cut. Exit status: 0 done, 1 file error, 2 bad option,\n"
      "3 cannot connect, 4 network error.\n";
  return table;
}

std::string ProgressLine(const kmq::CaptureProgress& progress, double rate) {
  return kmq::Printf("%.1f s  %llu frames (%llu motion)  %.1f KiB  %.1f frames/s  %llu undecodable",
                     progress.mSeconds, static_cast<unsigned long long>(progress.mFrames),
                     static_cast<unsigned long long>(progress.mMotionFrames),
                     static_cast<double>(progress.mBytesReceived) / 1024.0, rate,
                     static_cast<unsigned long long>(progress.mUndecodable));
}

// Shows the session's notes and, on a terminal, a progress line redrawn in place, until the
// session has ended (its last note is in by then); a stop signal asks it to stop.
void FollowSession(kmq::CaptureSession& session, bool quiet, const kmq::StopSignals& stopSignals) {
  const bool live = !quiet && ::isatty(STDERR_FILENO) == 1;
  bool lineShown = false;
  auto printNotes = [&] {
    for (const std::string& note : session.TakeNotes()) {
      if (quiet) continue;
      if (lineShown) std::fputs("\r\033[K", stderr);
      lineShown = false;
      std::fprintf(stderr, "%s\n", note.c_str());
    }
  };
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastTime = Clock::now();
  uint64_t lastFrames = 0;
  double rate = 0;
  while (!session.Finished()) {
    // How often the progress line is redrawn.
    if (stopSignals.Wait(std::chrono::milliseconds(250)) != 0) session.RequestStop();
    printNotes();
    if (!live) continue;
    const kmq::CaptureProgress progress = session.GetProgress();
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - lastTime).count();
    if (seconds >= 1.0) {
      rate = static_cast<double>(progress.mFrames - lastFrames) / seconds;
      lastFrames = progress.mFrames;
      lastTime = now;
    }
    std::fprintf(stderr, "\r\033[K%s", ProgressLine(progress, rate).c_str());
    std::fflush(stderr);
    lineShown = true;
  }
  printNotes();
  if (lineShown) std::fputs("\r\033[K", stderr);
}

int ExitStatus(kmq::CaptureEnd end) {
  switch (end) {
    case kmq::CaptureEnd::kConnectFailed:
      return kExitConnect;
    case kmq::CaptureEnd::kFileError:
      return kExitFile;
    default:
      return kExitNetwork;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Command command;
  std::string problem;
  if (!kmq::ParseOptions(CaptureOptionTable(&command),
                         std::vector<std::string>(argv + 1, argv + argc), nullptr, &problem)) {
    std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, problem.c_str());
    return kExitUsage;
  }
  if (command.mHelp) {
    std::fputs(kmq::Usage(CaptureOptionTable(&command)).c_str(), stdout);
    return kExitOk;
  }

  const kmq::StopSignals stopSignals;
  kmq::CaptureSession session;
  kmq::CaptureResult result;
  bool ok = false;
  std::thread worker([&] { ok = session.Run(command.mOptions, &result); });
  FollowSession(session, command.mQuiet, stopSignals);
  worker.join();

  if (!ok) {
    std::fprintf(stderr, "%s: %s\n", kProgram, result.mMessage.c_str());
    return ExitStatus(result.mEnd);
  }
  const kmq::CaptureProgress& done = result.mProgress;
  const double average = done.mSeconds > 0 ? static_cast<double>(done.mFrames) / done.mSeconds : 0;
  std::printf("%s: %s; %s written to %s\n", kProgram, result.mMessage.c_str(),
              ProgressLine(done, average).c_str(), command.mOptions.mPath.c_str());
  return kExitOk;
}

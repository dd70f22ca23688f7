// kovrim-stream-capture: records a motion server's stream to a capture file, as the plug-in would
// receive it, for replay by kovrim-motion-server --replay. The session runs on its own thread;
// the main thread takes SIGINT/SIGTERM and draws the progress line.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "capture_session.h"
#include "tool_text.h"

using kmq::ParseInt;
using kmq::ParsePositive;

namespace {

const char kProgram[] = "kovrim-stream-capture";

constexpr int kExitOk = 0;
constexpr int kExitFile = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConnect = 3;
constexpr int kExitNetwork = 4;

const char kUsage[] =
    "usage: kovrim-stream-capture [options]\n"
    "Connects to a motion server as the plug-in does, asks for the chosen actors' headers and\n"
    "records every frame that arrives (actor lists, headers, motion frames and anything else),\n"
    "with its arrival time, to a capture file that kovrim-motion-server --replay plays back.\n"
    "\n"
    "  --server HOST:PORT  the motion server (default 127.0.0.1:7005)\n"
    "  --host HOST         the server's address (default 127.0.0.1)\n"
    "  --port N            the server's port (default 7005)\n"
    "  --actor TAG         an actor whose header to ask for; repeat for more (default: every\n"
    "                      actor the server offers)\n"
    "  --out FILE          the capture file (default capture.kmqcap; replaced if it exists)\n"
    "  --seconds S         stop after S seconds (default: on Ctrl-C, or when the server\n"
    "                      closes the connection)\n"
    "  --timeout S         how long to wait for the connection (default 5)\n"
    "  --quiet             no progress line and no notes\n"
    "  --help              this text\n"
    "\n"
    "Every frame is in the file as soon as it has arrived, so a capture that is cut short\n"
    "keeps every frame before the cut. Exit status: 0 done, 1 file error, 2 bad option,\n"
    "3 cannot connect, 4 network error.\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, problem.c_str());
  return kExitUsage;
}

std::string ProgressLine(const kmq::CaptureProgress& progress, double rate) {
  char line[256];
  std::snprintf(line, sizeof(line),
                "%.1f s  %llu frames (%llu motion)  %.1f KiB  %.1f frames/s  %llu undecodable",
                progress.mSeconds, static_cast<unsigned long long>(progress.mFrames),
                static_cast<unsigned long long>(progress.mMotionFrames),
                static_cast<double>(progress.mBytesReceived) / 1024.0, rate,
                static_cast<unsigned long long>(progress.mUndecodable));
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  kmq::CaptureOptions options;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string text;
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    long number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--server") {
      size_t colon = std::string::npos;
      if (value(&text)) colon = text.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !ParseInt(text.substr(colon + 1), 1, 65535, &number)) {
        return Usage("--server needs HOST:PORT");
      }
      options.mHost = text.substr(0, colon);
      if (options.mHost.size() > 2 && options.mHost.front() == '[' && options.mHost.back() == ']') {
        options.mHost = options.mHost.substr(1, options.mHost.size() - 2);
      }
      options.mPort = static_cast<int>(number);
    } else if (arg == "--host") {
      if (!value(&options.mHost) || options.mHost.empty()) return Usage("--host needs an address");
    } else if (arg == "--port") {
      if (!value(&text) || !ParseInt(text, 1, 65535, &number)) {
        return Usage("--port needs a number from 1 to 65535");
      }
      options.mPort = static_cast<int>(number);
    } else if (arg == "--actor") {
      if (!value(&text) || !ParseInt(text, 0, 4294967295L, &number)) {
        return Usage("--actor needs an actor tag (a number)");
      }
      options.mActors.push_back(static_cast<uint32_t>(number));
    } else if (arg == "--out") {
      if (!value(&options.mPath) || options.mPath.empty()) return Usage("--out needs a file");
    } else if (arg == "--seconds") {
      if (!value(&text) || !ParsePositive(text, &options.mSeconds)) {
        return Usage("--seconds needs a positive number");
      }
    } else if (arg == "--timeout") {
      if (!value(&text) || !ParsePositive(text, &options.mConnectTimeout)) {
        return Usage("--timeout needs a positive number of seconds");
      }
    } else if (arg == "--quiet") {
      quiet = true;
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }

  // The signals are taken synchronously by this thread; blocked before the session thread
  // starts, so that it inherits the mask and never sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  kmq::CaptureSession session;
  kmq::CaptureResult result;
  bool ok = false;
  std::thread worker([&] { ok = session.Run(options, &result); });

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
    timespec wait{0, 250000000L};  // how often the progress line is redrawn
    int signal = sigtimedwait(&stopSignals, nullptr, &wait);
    if (signal == SIGINT || signal == SIGTERM) session.RequestStop();
    printNotes();
    if (!live) continue;
    kmq::CaptureProgress progress = session.GetProgress();
    Clock::time_point now = Clock::now();
    double seconds = std::chrono::duration<double>(now - lastTime).count();
    if (seconds >= 1.0) {
      rate = static_cast<double>(progress.mFrames - lastFrames) / seconds;
      lastFrames = progress.mFrames;
      lastTime = now;
    }
    std::fprintf(stderr, "\r\033[K%s", ProgressLine(progress, rate).c_str());
    std::fflush(stderr);
    lineShown = true;
  }
  worker.join();
  printNotes();
  if (lineShown) std::fputs("\r\033[K", stderr);

  const kmq::CaptureProgress& done = result.mProgress;
  if (!ok) {
    std::fprintf(stderr, "%s: %s\n", kProgram, result.mMessage.c_str());
    switch (result.mEnd) {
      case kmq::CaptureEnd::kConnectFailed:
        return kExitConnect;
      case kmq::CaptureEnd::kFileError:
        return kExitFile;
      default:
        return kExitNetwork;
    }
  }
  double average = done.mSeconds > 0 ? static_cast<double>(done.mFrames) / done.mSeconds : 0;
  std::printf("%s: %s; %s written to %s\n", kProgram, result.mMessage.c_str(),
              ProgressLine(done, average).c_str(), options.mPath.c_str());
  return kExitOk;
}

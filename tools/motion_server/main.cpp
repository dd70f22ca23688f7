// kovrim-motion-server: serves BVH files (or a synthetic actor, or a replayed capture) to the
// plug-in over TCP, so the plug-in can be tried without capture hardware, optionally with faults
// injected. Runs until SIGINT/SIGTERM, or with --once until every clip has been played to the
// clients.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bvh.h"
#include "capture_file.h"
#include "motion_server.h"
#include "tool_text.h"

using kmq::ParseInt;
using kmq::ParsePositive;

namespace {

const char kProgram[] = "kovrim-motion-server";

const char kUsage[] =
    "usage: kovrim-motion-server [options] [file.bvh ...]\n"
    "Streams each BVH file as one actor (tags 1, 2, 3... named after the file) to plug-in\n"
    "clients. With no file it serves the bundled cmu_12_01_walk.bvh.\n"
    "\n"
    "  --port N          TCP port (default 7005; 0 picks a free one and prints it)\n"
    "  --bind ADDR       address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)\n"
    "  --compression C   payload format: gzip (default), zlib or plain\n"
    "  --plain           same as --compression plain\n"
    "  --rate FPS        frames per second for every actor (default: each file's frame time)\n"
    "  --once            play each clip once, then exit when the clients have it all\n"
    "  --synthetic       add a built-in procedural actor (alone if no file is given)\n"
    "  --quiet           no connection or status lines\n"
    "  --help            this text\n"
    "\n"
    "Replay (instead of BVH files):\n"
    "  --replay FILE     serve a capture from kovrim-stream-capture: each client gets the\n"
    "                    captured actor list, header answers from the captured headers, and\n"
    "                    the captured frames byte for byte with their original timing\n"
    "  --speed X         play the capture X times as fast (default 1; 0.5 is half speed)\n"
    "  --asap            send the capture as fast as each client takes it\n"
    "  --once            (with --replay) play it once, then exit when the clients have it all\n"
    "\n"
    "Fault injection (combinable; rates are per motion frame, counts are motion frames sent\n"
    "to that client; each client draws from its own generator seeded by --seed):\n"
    "  --seed N               seed of every random choice (default 1): same seed, same bytes\n"
    "  --drop P               drop motion frames with probability P\n"
    "  --jitter-ms N          send each motion frame up to N ms late (order is kept)\n"
    "  --burst N              hold motion frames and send them N at a time\n"
    "  --stall-after N        after N motion frames, send nothing for --stall-ms (once)\n"
    "  --stall-ms M           length of that stall\n"
    "  --cut-after N          close the connection after N motion frames\n"
    "  --cut-rate P           close the connection after a motion frame with probability P\n"
    "  --cut-mid-frame        make the cut fall inside the next frame (part of it is sent)\n"
    "  --split-writes         cut every write into pieces sent by separate send() calls\n"
    "  --stray-rate P         put a run of stray bytes (no marker, 4-byte multiple) before a\n"
    "                         motion frame\n"
    "  --stray-unaligned      stray runs of any length, which move the rest of the stream off\n"
    "                         a 4-byte reader's grid\n"
    "  --false-marker-rate P  put a marker with a short length and bytes that are no envelope\n"
    "                         before a motion frame\n"
    "  --corrupt-rate P       damage a motion frame's payload so that it does not decode\n"
    "  --truncate-rate P      cut a motion frame's payload short (its length field matches)\n"
    "  --bad-length-rate P    put a frame prefix with a bad length before a motion frame: 0,\n"
    "                         negative, 184321 (just above the plug-in's buffer, followed by\n"
    "                         as many filler bytes) or 2^31-1. A client that skips 2^31-1 bytes\n"
    "                         skips everything after it: such a fault ends useful data on that\n"
    "                         connection unless combined with --cut-after or --cut-rate\n"
    "  --bad-length-kinds L   the kinds bad lengths are chosen from: zero,negative,above,max\n"
    "  --bad-enum-rate P      replace a motion frame by an envelope with an undeclared enum\n"
    "                         value: Message 7, CmdType 4, or the actor's header with channel 9\n"
    "  --deep-nesting         before the answer to the first header query, send a header whose\n"
    "                         joints nest 150 deep (past the parser's limit of 100)\n"
    "  --change-skeleton-after N  after N motion frames, send a new actor list (lowest tag\n"
    "                         renamed) and an unrequested header with one more joint, then\n"
    "                         frames that match it\n"
    "  --header-delay-ms N    answer header queries N ms late\n"
    "  --no-header            never answer header queries for known actors\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, problem.c_str());
  return 2;
}

bool ParseCount(const std::string& text, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0) return false;
  *out = value;
  return true;
}

bool ParseRate(const std::string& text, double* out) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0 && value <= 1)) return false;
  *out = value;
  return true;
}

std::string SpeedText(double speed) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", speed);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  kmq::ServerOptions options;
  std::vector<std::string> files;
  bool synthetic = false;
  std::string replay;
  bool rateGiven = false;
  kmq::FaultOptions& faults = options.mFaults;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--port") {
      long port = 0;
      if (!value(&text) || !ParseInt(text, 0, 65535, &port)) {
        return Usage("--port needs a number from 0 to 65535");
      }
      options.mPort = static_cast<int>(port);
    } else if (arg == "--bind") {
      if (!value(&options.mBindAddress)) return Usage("--bind needs an address");
    } else if (arg == "--compression") {
      if (!value(&text) || !kmq::ParseCompression(text, &options.mCompression)) {
        return Usage("--compression needs gzip, zlib or plain");
      }
    } else if (arg == "--plain") {
      options.mCompression = kmq::Compression::kPlain;
    } else if (arg == "--rate") {
      if (!value(&text) || !ParsePositive(text, &options.mRate)) {
        return Usage("--rate needs a positive number of frames per second");
      }
      rateGiven = true;
    } else if (arg == "--replay") {
      if (!value(&replay) || replay.empty()) return Usage("--replay needs a capture file");
    } else if (arg == "--speed") {
      if (!value(&text) || !ParsePositive(text, &options.mReplaySpeed)) {
        return Usage("--speed needs a positive number");
      }
    } else if (arg == "--asap") {
      options.mReplayAsap = true;
    } else if (arg == "--seed") {
      if (!value(&text) || !ParseCount(text, &faults.mSeed)) {
        return Usage("--seed needs a whole number");
      }
    } else if (arg == "--drop" || arg == "--cut-rate" || arg == "--stray-rate" ||
               arg == "--false-marker-rate" || arg == "--corrupt-rate" ||
               arg == "--truncate-rate" || arg == "--bad-length-rate" || arg == "--bad-enum-rate") {
      double* rate = arg == "--drop"                ? &faults.mDropRate
                     : arg == "--cut-rate"          ? &faults.mCutRate
                     : arg == "--stray-rate"        ? &faults.mStrayRate
                     : arg == "--false-marker-rate" ? &faults.mFalseMarkerRate
                     : arg == "--corrupt-rate"      ? &faults.mCorruptRate
                     : arg == "--truncate-rate"     ? &faults.mTruncateRate
                     : arg == "--bad-length-rate"   ? &faults.mBadLengthRate
                                                    : &faults.mBadEnumRate;
      if (!value(&text) || !ParseRate(text, rate)) {
        return Usage(arg + " needs a probability from 0 to 1");
      }
    } else if (arg == "--jitter-ms" || arg == "--stall-ms" || arg == "--header-delay-ms" ||
               arg == "--burst") {
      int* target = arg == "--jitter-ms"         ? &faults.mJitterMs
                    : arg == "--stall-ms"        ? &faults.mStallMs
                    : arg == "--header-delay-ms" ? &faults.mHeaderDelayMs
                                                 : &faults.mBurst;
      long number = 0;
      if (!value(&text) || !ParseInt(text, 0, 600000, &number)) {
        return Usage(arg + " needs a number from 0 to 600000");
      }
      *target = static_cast<int>(number);
    } else if (arg == "--stall-after" || arg == "--cut-after" || arg == "--change-skeleton-after") {
      uint64_t* target = arg == "--stall-after" ? &faults.mStallAfter
                         : arg == "--cut-after" ? &faults.mCutAfter
                                                : &faults.mChangeSkeletonAfter;
      if (!value(&text) || !ParseCount(text, target)) {
        return Usage(arg + " needs a number of frames");
      }
    } else if (arg == "--bad-length-kinds") {
      if (!value(&text)) return Usage("--bad-length-kinds needs a list of kinds");
      faults.mBadLengthKinds = 0;
      size_t start = 0;
      while (start <= text.size()) {
        size_t comma = text.find(',', start);
        const std::string kind =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const char* const names[] = {"zero", "negative", "above", "max"};
        unsigned bit = 0;
        for (unsigned k = 0; k < 4; ++k) {
          if (kind == names[k]) bit = 1u << k;
        }
        if (bit == 0) return Usage("--bad-length-kinds takes zero, negative, above and max");
        faults.mBadLengthKinds |= bit;
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (arg == "--cut-mid-frame") {
      faults.mCutMidFrame = true;
    } else if (arg == "--split-writes") {
      faults.mSplitWrites = true;
    } else if (arg == "--stray-unaligned") {
      faults.mStrayUnaligned = true;
    } else if (arg == "--deep-nesting") {
      faults.mDeepNesting = true;
    } else if (arg == "--no-header") {
      faults.mNoHeader = true;
    } else if (arg == "--once") {
      options.mLoop = false;
    } else if (arg == "--synthetic") {
      synthetic = true;
    } else if (arg == "--quiet") {
      options.mQuiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option '" + arg + "'");
    } else {
      files.push_back(arg);
    }
  }
  std::string problem;
  if (!faults.Validate(&problem)) return Usage(problem);
  if (!replay.empty() && (!files.empty() || synthetic)) {
    return Usage("--replay serves a capture; it takes no BVH file and no --synthetic");
  }
  if (!replay.empty() && rateGiven) return Usage("--rate has no effect with --replay");
  if (replay.empty() && (options.mReplayAsap || options.mReplaySpeed != 1.0)) {
    return Usage("--speed and --asap need --replay");
  }
  if (files.empty() && !synthetic && replay.empty()) {
    files.push_back(KMQ_DATA_DIR "/bvh/cmu_12_01_walk.bvh");
  }

  kmq::MotionServer server(options);
  if (!replay.empty()) {
    kmq::Capture capture;
    std::string error;
    if (!kmq::ReadCapture(replay, &capture, &error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return 1;
    }
    if (!capture.mProblem.empty()) {
      std::printf("warning: %s: %s; replaying the %zu whole records before it\n", replay.c_str(),
                  capture.mProblem.c_str(), capture.mRecords.size());
    }
    if (!server.AddReplay(capture, &error)) {
      std::fprintf(stderr, "%s: %s: %s\n", kProgram, replay.c_str(), error.c_str());
      return 1;
    }
    std::string tags;
    for (uint32_t tag : capture.mHeader.mActorTags) {
      tags += (tags.empty() ? "" : " ") + std::to_string(tag);
    }
    std::printf("replay: %zu records from %s (captured from %s, actors %s)\n",
                capture.mRecords.size(), replay.c_str(), capture.mHeader.mServerAddress.c_str(),
                tags.empty() ? "none" : tags.c_str());
  }
  uint32_t tag = 1;
  for (const std::string& path : files) {
    bvh::Clip clip;
    std::string error;
    if (!bvh::ParseBvhFile(path, &clip, &error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return 1;
    }
    std::string name = std::filesystem::path(path).stem().string();
    std::string summary = std::to_string(bvh::CountJoints(clip.mRoot)) + " joints, " +
                          std::to_string(clip.mChannelCount) + " channels, " +
                          std::to_string(clip.mFrameCount) + " frames";
    double fps = 1.0 / clip.mFrameTime;
    if (!server.AddActor(tag, name, std::move(clip), &error)) {
      std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), error.c_str());
      return 1;
    }
    std::printf("actor %u: %s (%s at %.2f fps) from %s\n", tag, name.c_str(), summary.c_str(), fps,
                path.c_str());
    ++tag;
  }
  if (synthetic) {
    std::string error;
    if (!server.AddSyntheticActor(tag, "synthetic", &error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return 1;
    }
    std::printf("actor %u: synthetic (built-in procedural motion)\n", tag);
  }

  // The signals are taken synchronously by this thread; blocked before Start so that the
  // server thread inherits the mask and never sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  if (options.mFaults.Any()) std::printf("%s\n", options.mFaults.Describe().c_str());
  std::string how = replay.empty()
                        ? std::string(kmq::CompressionName(options.mCompression)) + " payloads"
                    : options.mReplayAsap ? std::string("replaying as fast as clients take it")
                                          : "replaying at speed " + SpeedText(options.mReplaySpeed);
  std::printf("listening on %s:%d, %s, %s (Ctrl-C stops)\n", options.mBindAddress.c_str(),
              server.Port(), how.c_str(), options.mLoop ? "looping" : "playing once");
  std::fflush(stdout);

  for (;;) {
    if (!options.mLoop && server.GetStats().mPlaybackFinished) {
      std::printf(replay.empty() ? "every clip played once; exiting\n"
                                 : "the capture was played once; exiting\n");
      break;
    }
    timespec wait{0, 100000000L};  // 100 ms: how often --once checks for the end
    int signal = sigtimedwait(&stopSignals, nullptr, &wait);
    if (signal == SIGINT || signal == SIGTERM) {
      std::printf("signal %d: stopping\n", signal);
      break;
    }
  }
  server.Stop();
  kmq::Stats stats = server.GetStats();
  std::printf("stopped: %llu connections, %llu frames sent, %llu bytes\n",
              static_cast<unsigned long long>(stats.mTotalConnections),
              static_cast<unsigned long long>(stats.mFramesSent),
              static_cast<unsigned long long>(stats.mBytesSent));
  return 0;
}

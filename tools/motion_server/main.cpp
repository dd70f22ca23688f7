// kovrim-motion-server: serves BVH files (or a synthetic actor, or a replayed capture) to the
// plug-in over TCP, so the plug-in can be tried without capture hardware, optionally with faults
// injected. Runs until SIGINT/SIGTERM, or with --once until every clip has been played to the
// clients.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bvh.h"
#include "capture_file.h"
#include "motion_server.h"
#include "option_table.h"
#include "stop_signals.h"
#include "tool_text.h"

namespace {

const char kProgram[] = "kovrim-motion-server";
// Longest fault delay, in milliseconds.
constexpr int kMaxDelayMs = 600000;

// What the command line asks for.
struct Command {
  kmq::ServerOptions mOptions;
  std::vector<std::string> mFiles;
  bool mSynthetic = false;
  std::string mReplay;
  bool mHelp = false;
};

// "zero,negative,above,max" as the bits of FaultOptions::mBadLengthKinds.
bool ReadBadLengthKinds(const std::string& text, unsigned* kinds, std::string* problem) {
  const char* const names[] = {"zero", "negative", "above", "max"};
  unsigned chosen = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string kind =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    unsigned bit = 0;
    for (unsigned k = 0; k < 4; ++k) {
      if (kind == names[k]) bit = 1u << k;
    }
    if (bit == 0) {
      *problem = "--bad-length-kinds takes zero, negative, above and max";
      return false;
    }
    chosen |= bit;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *kinds = chosen;
  return true;
}

kmq::OptionTable ServerOptionTable(Command* command) {
  using namespace kmq;
  ServerOptions& options = command->mOptions;
  FaultOptions& faults = options.mFaults;
  auto probability = [](const std::string& name, double* target, const std::string& help) {
    return Number(name, "P", target, 0, 1, false, help, "{name} needs a probability from 0 to 1");
  };
  auto delay = [](const std::string& name, const std::string& value, int* target,
                  const std::string& help) {
    return Integer(name, value, target, 0, kMaxDelayMs, help);
  };
  auto frames = [](const std::string& name, uint64_t* target, const std::string& help) {
    return Integer(name, "N", target, uint64_t{0}, UINT64_MAX, help,
                   "{name} needs a number of frames");
  };
  OptionTable table;
  table.mIntro =
      "usage: kovrim-motion-server [options] [file.bvh ...]\n"
      "Streams each BVH file as one actor (tags 1, 2, 3... named after the file) to plug-in\n"
      "clients. With no file it serves the bundled cmu_12_01_walk.bvh.\n"
      "See docs/motion-server.md.\n"
      "\n";
  table.mOperands = true;
  OptionGroup serving{"", 18, {}};
  serving.mOptions = {
      Integer("--port", "N", &options.mPort, 0, 65535,
              "TCP port (default 7005; 0 picks a free one and prints it)"),
      Text("--bind", "ADDR", &options.mBindAddress,
           "address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)",
           "--bind needs an address", /*allowEmpty=*/true),
      Custom(
          "--compression", "C",
          [&options](const std::string& value, std::string*) {
            return ParseCompression(value, &options.mCompression);
          },
          "payload format: gzip (default), zlib or plain",
          "--compression needs gzip, zlib or plain"),
      Custom(
          "--plain", "",
          [&options](const std::string&, std::string*) {
            options.mCompression = Compression::kPlain;
            return true;
          },
          "same as --compression plain"),
      Positive("--rate", "FPS", &options.mRate,
               "frames per second for every actor (default: each file's frame time)",
               "--rate needs a positive number of frames per second"),
      Flag("--once", &options.mLoop, "play each clip once, then exit when the clients have it all",
           false),
      Flag("--synthetic", &command->mSynthetic,
           "add a built-in procedural actor (alone if no file is given)"),
      Flag("--quiet", &options.mQuiet, "no connection or status lines"),
      HelpFlag(&command->mHelp),
  };
  OptionGroup replay{"Replay (instead of BVH files):", 18, {}};
  replay.mOptions = {
      Text("--replay", "FILE", &command->mReplay,
           "serve a capture from kovrim-stream-capture: each client gets the\n"
           "captured actor list, header answers from the captured headers, and\n"
           "the captured frames byte for byte with their original timing",
           "--replay needs a capture file"),
      Positive("--speed", "X", &options.mReplaySpeed,
               "play the capture X times as fast (default 1; 0.5 is half speed)"),
      Flag("--asap", &options.mReplayAsap, "send the capture as fast as each client takes it"),
      SeeAlso("--once", "(with --replay) play it once, then exit when the clients have it all"),
  };
  OptionGroup faulting{
      "Fault injection (combinable; rates are per motion frame, counts are motion frames sent\n"
      "to that client; each client draws from its own generator seeded by --seed):",
      23,
      {}};
  faulting.mOptions = {
      Integer("--seed", "N", &faults.mSeed, uint64_t{0}, UINT64_MAX,
              "seed of every random choice (default 1): same seed, same bytes",
              "--seed needs a whole number"),
      probability("--drop", &faults.mDropRate, "drop motion frames with probability P"),
      delay("--jitter-ms", "N", &faults.mJitterMs,
            "send each motion frame up to N ms late (order is kept)"),
      delay("--burst", "N", &faults.mBurst, "hold motion frames and send them N at a time"),
      frames("--stall-after", &faults.mStallAfter,
             "after N motion frames, send nothing for --stall-ms (once)"),
      delay("--stall-ms", "M", &faults.mStallMs, "length of that stall"),
      frames("--cut-after", &faults.mCutAfter, "close the connection after N motion frames"),
      probability("--cut-rate", &faults.mCutRate,
                  "close the connection after a motion frame with probability P"),
      Flag("--cut-mid-frame", &faults.mCutMidFrame,
           "make the cut fall inside the next frame (part of it is sent)"),
      Flag("--split-writes", &faults.mSplitWrites,
           "cut every write into pieces sent by separate send() calls"),
      probability("--stray-rate", &faults.mStrayRate,
                  "put a run of stray bytes (no marker, 4-byte multiple) before a\n"
                  "motion frame"),
      Flag("--stray-unaligned", &faults.mStrayUnaligned,
           "stray runs of any length, which move the rest of the stream off\n"
           "a 4-byte reader's grid"),
      probability("--false-marker-rate", &faults.mFalseMarkerRate,
                  "put a marker with a short length and bytes that are no envelope\n"
                  "before a motion frame"),
      probability("--corrupt-rate", &faults.mCorruptRate,
                  "damage a motion frame's payload so that it does not decode"),
      probability("--truncate-rate", &faults.mTruncateRate,
                  "cut a motion frame's payload short (its length field matches)"),
      probability("--bad-length-rate", &faults.mBadLengthRate,
                  "put a frame prefix with a bad length before a motion frame: 0,\n"
                  "negative, 184321 (just above the plug-in's buffer, followed by\n"
                  "as many filler bytes) or 2^31-1. A client that skips 2^31-1 bytes\n"
                  "skips everything after it: such a fault ends useful data on that\n"
                  "connection unless combined with --cut-after or --cut-rate"),
      Custom(
          "--bad-length-kinds", "L",
          [&faults](const std::string& value, std::string* problem) {
            return ReadBadLengthKinds(value, &faults.mBadLengthKinds, problem);
          },
          "the kinds bad lengths are chosen from: zero,negative,above,max",
          "--bad-length-kinds needs a list of kinds"),
      probability("--bad-enum-rate", &faults.mBadEnumRate,
                  "replace a motion frame by an envelope with an undeclared enum\n"
                  "value: Message 7, CmdType 4, or the actor's header with channel 9"),
      Flag("--deep-nesting", &faults.mDeepNesting,
           "before the answer to the first header query, send a header whose\n"
           "joints nest 150 deep (past the parser's limit of 100)"),
      frames("--change-skeleton-after", &faults.mChangeSkeletonAfter,
             "after N motion frames, send a new actor list (lowest tag\n"
             "renamed) and an unrequested header with one more joint, then\n"
             "frames that match it"),
      delay("--header-delay-ms", "N", &faults.mHeaderDelayMs, "answer header queries N ms late"),
      Flag("--no-header", &faults.mNoHeader, "never answer header queries for known actors"),
  };
  table.mGroups = {serving, replay, faulting};
  return table;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, problem.c_str());
  return 2;
}

// Parses the command line and checks that its options go together; false with *problem.
bool ParseCommand(int argc, char** argv, Command* command, std::string* problem) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!kmq::ParseOptions(ServerOptionTable(command), args, &command->mFiles, problem)) {
    return false;
  }
  if (command->mHelp) return true;
  const kmq::ServerOptions& options = command->mOptions;
  const bool replaying = !command->mReplay.empty();
  if (!options.mFaults.Validate(problem)) return false;
  if (replaying && (!command->mFiles.empty() || command->mSynthetic)) {
    *problem = "--replay serves a capture; it takes no BVH file and no --synthetic";
    return false;
  }
  // --rate only takes positive numbers, so a rate above 0 was given.
  if (replaying && options.mRate > 0) {
    *problem = "--rate has no effect with --replay";
    return false;
  }
  if (!replaying && (options.mReplayAsap || options.mReplaySpeed != 1.0)) {
    *problem = "--speed and --asap need --replay";
    return false;
  }
  if (command->mFiles.empty() && !command->mSynthetic && !replaying) {
    command->mFiles.push_back(KMQ_DATA_DIR "/bvh/cmu_12_01_walk.bvh");
  }
  return true;
}

// Loads the capture to replay into server and says what it holds.
bool AddReplay(const std::string& path, kmq::MotionServer* server) {
  kmq::Capture capture;
  std::string error;
  if (!kmq::ReadCapture(path, &capture, &error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return false;
  }
  if (!capture.mProblem.empty()) {
    std::printf("warning: %s: %s; replaying the %zu whole records before it\n", path.c_str(),
                capture.mProblem.c_str(), capture.mRecords.size());
  }
  if (!server->AddReplay(capture, &error)) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), error.c_str());
    return false;
  }
  std::string tags;
  for (uint32_t tag : capture.mHeader.mActorTags) {
    tags += (tags.empty() ? "" : " ") + std::to_string(tag);
  }
  std::printf("replay: %zu records from %s (captured from %s, actors %s)\n",
              capture.mRecords.size(), path.c_str(), capture.mHeader.mServerAddress.c_str(),
              tags.empty() ? "none" : tags.c_str());
  return true;
}

// Adds one actor a file (tags 1, 2, 3...), then the synthetic actor, and says what each is.
bool AddActors(const std::vector<std::string>& files, bool synthetic, kmq::MotionServer* server) {
  uint32_t tag = 1;
  for (const std::string& path : files) {
    bvh::Clip clip;
    std::string error;
    if (!bvh::ParseBvhFile(path, &clip, &error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return false;
    }
    const std::string name = kmq::Stem(path);
    const std::string summary = std::to_string(bvh::CountJoints(clip.mRoot)) + " joints, " +
                                std::to_string(clip.mChannelCount) + " channels, " +
                                std::to_string(clip.mFrameCount) + " frames";
    const double fps = 1.0 / clip.mFrameTime;
    if (!server->AddActor(tag, name, std::move(clip), &error)) {
      std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), error.c_str());
      return false;
    }
    std::printf("actor %u: %s (%s at %.2f fps) from %s\n", tag, name.c_str(), summary.c_str(), fps,
                path.c_str());
    ++tag;
  }
  if (synthetic) {
    std::string error;
    if (!server->AddSyntheticActor(tag, "synthetic", &error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return false;
    }
    std::printf("actor %u: synthetic (built-in procedural motion)\n", tag);
  }
  return true;
}

void PrintListening(const Command& command, const kmq::MotionServer& server) {
  const kmq::ServerOptions& options = command.mOptions;
  if (options.mFaults.Any()) std::printf("%s\n", options.mFaults.Describe().c_str());
  const std::string how =
      command.mReplay.empty()
          ? std::string(kmq::CompressionName(options.mCompression)) + " payloads"
      : options.mReplayAsap ? std::string("replaying as fast as clients take it")
                            : "replaying at speed " + kmq::Format(options.mReplaySpeed);
  std::printf("listening on %s:%d, %s, %s (Ctrl-C stops)\n", options.mBindAddress.c_str(),
              server.Port(), how.c_str(), options.mLoop ? "looping" : "playing once");
  std::fflush(stdout);
}

// Returns on a stop signal, or with --once when everything has been played.
void WaitForEnd(const Command& command, kmq::MotionServer& server,
                const kmq::StopSignals& stopSignals) {
  for (;;) {
    if (!command.mOptions.mLoop && server.GetStats().mPlaybackFinished) {
      std::printf(command.mReplay.empty() ? "every clip played once; exiting\n"
                                          : "the capture was played once; exiting\n");
      return;
    }
    // 100 ms: how often --once checks for the end.
    const int signal = stopSignals.Wait(std::chrono::milliseconds(100));
    if (signal != 0) {
      std::printf("signal %d: stopping\n", signal);
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Command command;
  std::string problem;
  if (!ParseCommand(argc, argv, &command, &problem)) return Usage(problem);
  if (command.mHelp) {
    std::fputs(kmq::Usage(ServerOptionTable(&command)).c_str(), stdout);
    return 0;
  }

  kmq::MotionServer server(command.mOptions);
  if (!command.mReplay.empty() && !AddReplay(command.mReplay, &server)) return 1;
  if (!AddActors(command.mFiles, command.mSynthetic, &server)) return 1;

  const kmq::StopSignals stopSignals;
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  PrintListening(command, server);
  WaitForEnd(command, server, stopSignals);
  server.Stop();
  const kmq::Stats stats = server.GetStats();
  std::printf("stopped: %llu connections, %llu frames sent, %llu bytes\n",
              static_cast<unsigned long long>(stats.mTotalConnections),
              static_cast<unsigned long long>(stats.mFramesSent),
              static_cast<unsigned long long>(stats.mBytesSent));
  return 0;
}

// kovrim-motion-server: serves BVH files (or a synthetic actor) to the plug-in over TCP, so the
// plug-in can be tried without capture hardware. Runs until SIGINT/SIGTERM, or with --once until
// every clip has been played to the clients.
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
#include "motion_server.h"

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
    "  --help            this text\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, problem.c_str());
  return 2;
}

bool ParseInt(const std::string& text, long min, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParsePositive(const std::string& text, double* out) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0) return false;
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kmq::ServerOptions options;
  std::vector<std::string> files;
  bool synthetic = false;
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
  if (files.empty() && !synthetic) files.push_back(KMQ_DATA_DIR "/bvh/cmu_12_01_walk.bvh");

  kmq::MotionServer server(options);
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
  std::printf("listening on %s:%d, %s payloads, %s (Ctrl-C stops)\n", options.mBindAddress.c_str(),
              server.Port(), kmq::CompressionName(options.mCompression),
              options.mLoop ? "looping" : "playing once");
  std::fflush(stdout);

  for (;;) {
    if (!options.mLoop && server.GetStats().mPlaybackFinished) {
      std::printf("every clip played once; exiting\n");
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

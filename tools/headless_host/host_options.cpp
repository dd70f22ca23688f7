#include "host_options.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "tool_text.h"

namespace kmq {
namespace {

// Longer waits would overflow the clocks' tick counts; nobody records for eleven days.
constexpr double kMaxSeconds = 1e6;
// An hour: a longer silence limit would never warn in practice.
constexpr int kMaxSilenceMs = 3600000;
// Devices in one host, one per actor of the in-process server.
constexpr long kMaxDevices = 32;

bool ParseNumber(const std::string& text, double* out) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  double value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

bool ParsePort(const std::string& text, int* port) {
  int value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return false;
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

// "ADDR:PORT"; ADDR may be bracketed ("[::1]:7005").
bool ParseServer(const std::string& text, std::string* address, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty() || !ParsePort(text.substr(colon + 1), port)) return false;
  *address = host;
  return true;
}

}  // namespace

HostOptions DefaultHostOptions() {
  HostOptions options;
#ifdef KMQ_PLUGIN_PATH
  options.mPluginPath = KMQ_PLUGIN_PATH;
#endif
#ifdef KMQ_DATA_DIR
  options.mBvhPath = std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh";
  options.mCaptureDir = std::string(KMQ_DATA_DIR) + "/bvh";
#endif
  return options;
}

std::string HostUsage() {
  const HostOptions defaults = DefaultHostOptions();
  return "Usage: kovrim-headless-host [options]\n"
         "       kovrim-headless-host --interactive [options]\n"
         "       kovrim-headless-host --script FILE [--keep-going] [options]\n"
         "Loads the device plug-in, connects it to a motion server, binds a skeleton, records\n"
         "and writes the recorded take as a BVH file. With --interactive or --script it does what\n"
         "commands say instead, working the device's panel as a user would (\"help\" lists "
         "them).\n\n"
         "  --interactive        read commands from stdin until quit or end of input\n"
         "  --script FILE        run the commands of FILE; stop at the first that fails\n"
         "  --keep-going         with --script, run the remaining commands after a failure\n"
         "  --plugin PATH        plug-in library (default " +
         defaults.mPluginPath +
         ")\n"
         "  --server ADDR:PORT   motion server to connect to; without it the reference server is\n"
         "                       started in this process on a free port\n"
         "  --bvh FILE           capture the in-process server streams (default " +
         defaults.mBvhPath +
         ")\n"
         "  --seconds N          recording time in seconds (default 5)\n"
         "  --out FILE           where to write the take (default take.bvh)\n"
         "  --display-rate HZ    evaluation passes per second (default 60)\n"
         "  --timeout S          how long to wait for the actor list and the header (default 10)\n"
         "  --silence-ms N       warn when no frame arrives for N ms while online (default 1000)\n"
         "  --json               print the session's summary as one JSON object on stdout; the\n"
         "                       other lines go to stderr\n"
         "  --no-contact-sheet   do not draw the take's contact sheet (FILE.svg, FILE.png)\n"
         "  --devices N          N devices in the host, each recording its own actor of the\n"
         "                       in-process server (the capture served N times); prints one\n"
         "                       line per device instead of writing a take (default 1)\n"
         "  --help               this text\n\n"
         "Exit codes: 0 done, 2 bad options, 3 plug-in not loaded, 4 server not reached,\n"
         "5 no actor offered, 6 no header, 7 nothing recorded or take not written,\n"
         "8 reference server not started, 130 interrupted before recording. With --script:\n"
         "0 every command answered ok, 1 one answered error, 2 bad options or no such file.\n"
         "The options other than these three are the commands' defaults there.\n";
}

bool ParseHostOptions(const std::vector<std::string>& args, HostOptions* options, bool* help,
                      std::string* error) {
  *help = false;
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    }
    if (arg == "--interactive") {
      options->mInteractive = true;
      continue;
    }
    if (arg == "--json") {
      options->mJson = true;
      continue;
    }
    if (arg == "--no-contact-sheet") {
      options->mContactSheet = false;
      continue;
    }
    if (arg == "--keep-going") {
      options->mKeepGoing = true;
      continue;
    }
    if (arg == "--devices") {
      long devices = 0;
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 1, kMaxDevices, &devices)) {
        return fail("--devices wants a whole number from 1 to " + std::to_string(kMaxDevices));
      }
      options->mDevices = static_cast<int>(devices);
      ++i;
      continue;
    }
    if (arg == "--script") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return fail("--script needs a file");
      options->mScriptPath = args[++i];
      continue;
    }
    if (arg != "--plugin" && arg != "--server" && arg != "--bvh" && arg != "--seconds" &&
        arg != "--out" && arg != "--display-rate" && arg != "--timeout" && arg != "--silence-ms") {
      return fail("unknown option " + arg + " (see --help)");
    }
    if (i + 1 >= args.size()) return fail(arg + " needs a value");
    const std::string& value = args[++i];
    double number = 0;
    if (arg == "--silence-ms") {
      int milliseconds = 0;
      auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), milliseconds);
      if (value.empty() || ec != std::errc() || ptr != value.data() + value.size() ||
          milliseconds < 1 || milliseconds > kMaxSilenceMs) {
        return fail("--silence-ms wants whole milliseconds from 1 to " +
                    std::to_string(kMaxSilenceMs) + ", not \"" + value + "\"");
      }
      options->mSilenceMs = milliseconds;
    } else if (arg == "--plugin") {
      if (value.empty()) return fail("--plugin needs a path");
      options->mPluginPath = value;
    } else if (arg == "--server") {
      if (!ParseServer(value, &options->mServerAddress, &options->mServerPort)) {
        return fail("--server wants ADDR:PORT with a port in 1..65535, not \"" + value + "\"");
      }
      options->mUseServer = true;
    } else if (arg == "--bvh") {
      if (value.empty()) return fail("--bvh needs a file");
      options->mBvhPath = value;
    } else if (arg == "--out") {
      if (value.empty()) return fail("--out needs a file");
      options->mOutPath = value;
    } else if (!ParseNumber(value, &number) || !(number > 0)) {
      return fail(arg + " wants a positive number, not \"" + value + "\"");
    } else if (arg != "--display-rate" && number > kMaxSeconds) {
      return fail(arg + " is at most " + std::to_string(static_cast<int>(kMaxSeconds)) +
                  " seconds");
    } else if (arg == "--seconds") {
      options->mSeconds = number;
    } else if (arg == "--display-rate") {
      if (number > 1000) return fail("--display-rate is at most 1000 passes per second");
      options->mDisplayRate = number;
    } else {
      options->mTimeout = number;
    }
  }
  if (options->mInteractive && !options->mScriptPath.empty()) {
    return fail("--interactive and --script exclude each other");
  }
  if (options->mDevices > 1 &&
      (options->mUseServer || options->mInteractive || !options->mScriptPath.empty())) {
    return fail("--devices goes with the one-shot job and the in-process server");
  }
  if (options->mKeepGoing && options->mScriptPath.empty()) {
    return fail("--keep-going goes with --script");
  }
  return true;
}

}  // namespace kmq

#include "host_options.h"

#include "option_table.h"
#include "tool_text.h"

namespace kmq {
namespace {

// Longer waits would overflow the clocks' tick counts; nobody records for eleven days.
constexpr double kMaxSeconds = 1e6;
// An hour: a longer silence limit would never warn in practice.
constexpr int kMaxSilenceMs = 3600000;
// Evaluation passes per second at the most.
constexpr double kMaxDisplayRate = 1000;
// Devices in one host, one per actor of the in-process server.
constexpr int kMaxDevices = 32;

// A number of seconds greater than 0 and at most kMaxSeconds.
Option Seconds(const std::string& name, double* target, const std::string& help) {
  return Custom(
      name, "S",
      [name, target](const std::string& value, std::string* problem) {
        double number = 0;
        if (!ReadNumber(value, &number) || !(number > 0)) return false;
        if (number > kMaxSeconds) {
          *problem =
              name + " is at most " + std::to_string(static_cast<int>(kMaxSeconds)) + " seconds";
          return false;
        }
        *target = number;
        return true;
      },
      help, "{name} wants a positive number, not \"{value}\"");
}

// The options, writing into *options and *help; the usage shows defaults' paths.
OptionTable HostOptionTable(HostOptions* options, bool* help) {
  const HostOptions defaults = DefaultHostOptions();
  OptionTable table;
  table.mIntro =
      "Usage: kovrim-headless-host [options]\n"
      "       kovrim-headless-host --interactive [options]\n"
      "       kovrim-headless-host --script FILE [--keep-going] [options]\n"
      "Loads the device plug-in, connects it to a motion server, binds a skeleton, records\n"
      "and writes the recorded take as a BVH file. With --interactive or --script it does what\n"
      "commands say instead, working the device's panel as a user would (\"help\" lists "
      "them). See docs/headless-host.md.\n\n";
  table.mUnknown = "unknown option {name} (see --help)";
  table.mMissing = "{name} needs a value";
  Option seconds =
      Seconds("--seconds", &options->mSeconds, "recording time in seconds (default 5)");
  seconds.mValue = "N";
  table.mGroups = {
      {"",
       21,
       {Flag("--interactive", &options->mInteractive,
             "read commands from stdin until quit or end of input"),
        Text("--script", "FILE", &options->mScriptPath,
             "run the commands of FILE; stop at the first that fails", "--script needs a file"),
        Flag("--keep-going", &options->mKeepGoing,
             "with --script, run the remaining commands after a failure"),
        Text("--plugin", "PATH", &options->mPluginPath,
             "plug-in library (default " + defaults.mPluginPath + ")", "--plugin needs a path"),
        Custom(
            "--server", "ADDR:PORT",
            [options](const std::string& value, std::string*) {
              if (!ReadHostPort(value, &options->mServerAddress, &options->mServerPort)) {
                return false;
              }
              options->mUseServer = true;
              return true;
            },
            "motion server to connect to; without it the reference server is\n"
            "started in this process on a free port",
            "--server wants ADDR:PORT with a port in 1..65535, not \"{value}\""),
        Text("--bvh", "FILE", &options->mBvhPath,
             "capture the in-process server streams (default " + defaults.mBvhPath + ")",
             "--bvh needs a file"),
        seconds,
        Text("--out", "FILE", &options->mOutPath, "where to write the take (default take.bvh)",
             "--out needs a file"),
        Custom(
            "--display-rate", "HZ",
            [options](const std::string& value, std::string* problem) {
              double rate = 0;
              if (!ReadNumber(value, &rate) || !(rate > 0)) return false;
              if (rate > kMaxDisplayRate) {
                *problem = "--display-rate is at most 1000 passes per second";
                return false;
              }
              options->mDisplayRate = rate;
              return true;
            },
            "evaluation passes per second (default 60)",
            "{name} wants a positive number, not \"{value}\""),
        Seconds("--timeout", &options->mTimeout,
                "how long to wait for the actor list and the header (default 10)"),
        Integer("--silence-ms", "N", &options->mSilenceMs, 1, kMaxSilenceMs,
                "warn when no frame arrives for N ms while online (default 1000)",
                "--silence-ms wants whole milliseconds from 1 to " + std::to_string(kMaxSilenceMs) +
                    ", not \"{value}\""),
        Flag("--json", &options->mJson,
             "print the session's summary as one JSON object on stdout; the\n"
             "other lines go to stderr"),
        Flag("--no-contact-sheet", &options->mContactSheet,
             "do not draw the take's contact sheet (FILE.svg, FILE.png)", false),
        Integer("--devices", "N", &options->mDevices, 1, kMaxDevices,
                "N devices in the host, each recording its own actor of the\n"
                "in-process server (the capture served N times) and writing\n"
                "its own take: FILE-1.bvh ... FILE-N.bvh from --out (default 1)",
                "--devices wants a whole number from 1 to " + std::to_string(kMaxDevices)),
        HelpFlag(help)}}};
  table.mOutro =
      "\n"
      "Exit codes: 0 done, 2 bad options, 3 plug-in not loaded, 4 server not reached,\n"
      "5 no actor offered, 6 no header, 7 nothing recorded or take not written,\n"
      "8 reference server not started, 130 interrupted before recording. With --script:\n"
      "0 every command answered ok, 1 one answered error, 2 bad options or no such file.\n"
      "The options other than these three are the commands' defaults there.\n";
  return table;
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
  HostOptions unused;
  bool help = false;
  return Usage(HostOptionTable(&unused, &help));
}

bool ParseHostOptions(const std::vector<std::string>& args, HostOptions* options, bool* help,
                      std::string* error) {
  *help = false;
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  std::string problem;
  if (!ParseOptions(HostOptionTable(options, help), args, nullptr, &problem)) return fail(problem);
  if (*help) return true;
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

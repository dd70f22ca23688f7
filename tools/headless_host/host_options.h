// Command-line options of the headless host and their parser. The options are one table
// (HostOptionTable in host_options.cpp, on tools/common's option table): a new option is a row
// there and a field here. Pure functions; the headless host parses on its main thread before
// anything else starts.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_OPTIONS_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_OPTIONS_H_

#include <string>
#include <vector>

namespace kmq {

struct HostOptions {
  // The plug-in library to load.
  std::string mPluginPath;
  // Without mUseServer the reference server is started in this process with mBvhPath.
  bool mUseServer = false;
  std::string mServerAddress = "127.0.0.1";
  int mServerPort = 0;
  std::string mBvhPath;
  // Recording time, seconds.
  double mSeconds = 5.0;
  std::string mOutPath = "take.bvh";
  // Evaluation passes per second.
  double mDisplayRate = 60.0;
  // How long to wait for the actor list and for the skeleton header, seconds.
  double mTimeout = 10.0;
  // Milliseconds between two device I/O notifications and between two panel idle events.
  double mIoPeriodMs = 1.0;
  double mIdlePeriodMs = 10.0;
  // No progress or information lines (errors are still returned to the caller).
  bool mQuiet = false;
  // Where "serve" also looks for a capture given by a relative name: the bundled captures.
  std::string mCaptureDir;
  // Without either the tool runs the one-shot job; --interactive reads commands from stdin,
  // --script FILE from a file, stopping at the first failed one unless mKeepGoing.
  bool mInteractive = false;
  std::string mScriptPath;
  bool mKeepGoing = false;
  // A warning is printed once when no frame has arrived for this many milliseconds while the
  // device is online.
  int mSilenceMs = 1000;
  // The one-shot job prints its summary as one JSON object on stdout (other lines go to stderr).
  bool mJson = false;
  // The contact sheet of the take (take.svg, and take.png with rsvg-convert) beside the take.
  bool mContactSheet = true;
  // Devices in the host, each recording its own actor and writing its own take (TakePathFor).
  int mDevices = 1;
  // Whether the health tap watches the stream (no option: measurements of the devices alone turn
  // it off).
  bool mHealthTap = true;
};

// Defaults: the plug-in and the capture the build was made with.
HostOptions DefaultHostOptions();

// Parses args (without the program name) over *options. *help is set for --help / -h. Returns
// false with *error naming the offending option.
bool ParseHostOptions(const std::vector<std::string>& args, HostOptions* options, bool* help,
                      std::string* error);

// The --help text.
std::string HostUsage();

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HOST_OPTIONS_H_

// Command-line options of the headless host and their parser. Pure functions; the headless host
// parses on its main thread before anything else starts.
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

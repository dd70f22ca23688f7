// kovrim-headless-host: plays the animation host around the device plug-in on the command line.
// Loads the plug-in, connects it to a motion server (by default the reference server, started in
// this process), binds a skeleton, records for a while and writes the take as a BVH file.
// The main thread plays the host's user-interface thread; the session starts the other two.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "headless_host.h"
#include "host_options.h"

namespace {

void OnSignal(int) { kmq::RequestHeadlessStop(); }

}  // namespace

int main(int argc, char** argv) {
  kmq::HostOptions options = kmq::DefaultHostOptions();
  std::vector<std::string> args(argv + 1, argv + argc);
  bool help = false;
  std::string error;
  if (!kmq::ParseHostOptions(args, &options, &help, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kmq::kExitUsage;
  }
  if (help) {
    std::fputs(kmq::HostUsage().c_str(), stdout);
    return kmq::kExitOk;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  kmq::SessionResult result;
  if (!kmq::RunHeadlessSession(options, &result)) {
    std::fprintf(stderr, "error: %s\n", result.mMessage.c_str());
    return result.mExitCode;
  }
  return kmq::kExitOk;
}

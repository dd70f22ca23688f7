// kovrim-headless-host: plays the animation host around the device plug-in on the command line.
// By default it loads the plug-in, connects it to a motion server (the reference server, started
// in this process, unless told otherwise), binds a skeleton, records and writes the take as BVH.
// With --interactive or --script it runs commands that work the panel as a user would.
// The main thread plays the host's user-interface thread; the host starts the other two.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "command_interpreter.h"
#include "headless_host.h"
#include "host_exit.h"
#include "host_options.h"
#include "host_session.h"

namespace {

void OnSignal(int) { kmq::RequestHeadlessStop(); }

void WriteLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int RunScriptFile(const kmq::HostOptions& options) {
  std::ifstream script(options.mScriptPath);
  if (!script) {
    std::fprintf(stderr, "error: cannot read the script %s\n", options.mScriptPath.c_str());
    return kmq::kExitUsage;
  }
  kmq::CommandInterpreter interpreter(options, WriteLine);
  const kmq::ScriptResult result =
      kmq::RunScript(script, interpreter, options.mKeepGoing, WriteLine);
  if (result.mStoppedAtLine > 0) {
    std::fprintf(stderr, "error: %s stopped at line %d, whose command failed\n",
                 options.mScriptPath.c_str(), result.mStoppedAtLine);
  } else if (result.mErrors > 0) {
    std::fprintf(stderr, "error: %d of the %d commands of %s failed\n", result.mErrors,
                 result.mCommands, options.mScriptPath.c_str());
  }
  return result.mExitCode;
}

int RunInteractiveStdin(const kmq::HostOptions& options) {
  kmq::FdLineReader reader(STDIN_FILENO);
  auto read = [&reader](const std::string& prompt, std::string* line) {
    return reader.Read(prompt, line);
  };
  kmq::CommandInterpreter interpreter(options, WriteLine, read, reader.IsTerminal());
  if (reader.IsTerminal()) WriteLine("Type help for the commands, quit to leave.");
  return kmq::RunInteractive(interpreter, read, WriteLine);
}

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

  if (!options.mScriptPath.empty()) return RunScriptFile(options);
  if (options.mInteractive) return RunInteractiveStdin(options);

  kmq::SessionResult result;
  if (!kmq::RunHeadlessSession(options, &result)) {
    std::fprintf(stderr, "error: %s\n", result.mMessage.c_str());
    return result.mExitCode;
  }
  return kmq::kExitOk;
}

#include "command_interpreter.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

#include "command_text.h"
#include "console_platform.h"

namespace kmq {

using namespace command_text;

CommandInterpreter::CommandInterpreter(const HostOptions& options, LineWriter write,
                                       LineReader askUser, bool askAgain)
    : mHost(options), mWrite(std::move(write)), mAskUser(std::move(askUser)), mAskAgain(askAgain) {
  fbsdk_control::SetMessageBoxHandler(
      [this](const fbsdk_control::MessageBoxRecord& box) { return AnswerBox(box); });
  mHost.SetHealthListener([this](const std::string& line) {
    if (mWrite) mWrite(line);
  });
}

CommandInterpreter::~CommandInterpreter() {
  mHost.Release();
  fbsdk_control::SetMessageBoxHandler(nullptr);
}

// ---- The commands ----

const std::vector<CommandInterpreter::Command>& CommandInterpreter::Commands() {
  using C = CommandInterpreter;
  constexpr const char* kSeconds = "SECONDS positive, at most 1000000";
  static const std::vector<Command> commands = {
      {"load", "[PLUGIN]", nullptr, nullptr, &C::Load},
      {"version", "N", "the host version before device, e.g. 12999 or 19000", nullptr, &C::Version},
      {"device", "", nullptr, nullptr, &C::Device},
      {"server", "ADDR:PORT", nullptr, nullptr, &C::Server},
      {"serve", "[FILE.bvh ...]", nullptr, nullptr, &C::Serve},
      {"address", "TEXT", nullptr, nullptr, &C::Address},
      {"port", "TEXT", nullptr, nullptr, &C::Port},
      {"online", "", nullptr, nullptr, &C::Online},
      {"offline", "", nullptr, nullptr, &C::Offline},
      {"actors", "", nullptr, nullptr, &C::Actors},
      {"choose", "INDEX|tag TAG|NAME", nullptr, "choose INDEX | choose tag TAG | choose NAME",
       &C::Choose},
      {"request-header", "", nullptr, nullptr, &C::RequestHeader},
      {"rebuild", "", nullptr, nullptr, &C::Rebuild},
      {"tpose", "on|off", nullptr, nullptr, &C::TPose},
      {"characterize", "", nullptr, nullptr, &C::Characterize},
      {"wait", "actors|header|templates|characterized|frames N [SECONDS]", kSeconds,
       "wait actors|header|templates|characterized [SECONDS] | wait frames N [SECONDS]", &C::Wait},
      {"skeleton", "[NAMESPACE]", nullptr, nullptr, &C::Skeleton},
      {"bind", "", nullptr, nullptr, &C::Bind},
      {"unbind", "", nullptr, nullptr, &C::Unbind},
      {"delete-device", "", nullptr, nullptr, &C::DeleteDevice},
      {"new-scene", "", nullptr, nullptr, &C::NewScene},
      {"record", "[SECONDS|start|stop]", kSeconds, "record [SECONDS] | record start | record stop",
       &C::Record},
      {"characters", "", nullptr, nullptr, &C::Characters},
      {"export", "[FILE.bvh]", nullptr, nullptr, &C::Export},
      {"status", "", nullptr, nullptr, &C::Status},
      {"health", "[json]", nullptr, nullptr, &C::Health},
      {"idle", "[N]", "N from 1 to 1000000", nullptr, &C::Idle},
      {"sleep", "SECONDS", "positive, at most 1000000", nullptr, &C::Sleep},
      {"answer", "N [N...]", "button numbers from 1 to 3", nullptr, &C::Answer},
      {"help", "", nullptr, nullptr, &C::Help},
      {"quit", "", nullptr, nullptr, &C::Quit},
  };
  return commands;
}

std::string CommandInterpreter::HelpText() {
  std::string text = "commands:";
  for (const Command& command : Commands()) {
    text += std::string(&command == &Commands().front() ? " " : " | ") + command.mName;
    if (*command.mUsage != '\0') text += std::string(" ") + command.mUsage;
  }
  return text;
}

CommandAnswer CommandInterpreter::UsageAlone(const Call& call) {
  const Command& command = call.mCommand;
  if (command.mVariants != nullptr) return Error(std::string("usage: ") + command.mVariants);
  return Error(std::string("usage: ") + command.mName +
               (*command.mUsage != '\0' ? std::string(" ") + command.mUsage : ""));
}

CommandAnswer CommandInterpreter::Usage(const Call& call) {
  CommandAnswer answer = UsageAlone(call);
  if (call.mCommand.mHelp != nullptr) answer.mLine += std::string(" (") + call.mCommand.mHelp + ")";
  return answer;
}

CommandAnswer CommandInterpreter::Help(const Call& call) {
  return call.mArgs.empty() ? Ok(HelpText()) : Usage(call);
}

CommandAnswer CommandInterpreter::Quit(const Call& call) {
  if (!call.mArgs.empty()) return Usage(call);
  mQuit = true;
  return Ok("bye");
}

int CommandInterpreter::AnswerBox(const fbsdk_control::MessageBoxRecord& box) {
  std::string buttons;
  for (size_t i = 0; i < box.buttons.size(); ++i) {
    buttons += (i > 0 ? ", " : "") + std::to_string(i + 1) + " " + box.buttons[i];
  }
  auto say = [this](const std::string& text) {
    if (mWrite) mWrite(text);
  };
  say("box: " + OneLine(box.title) + ": " + OneLine(box.message) + " [" + buttons + "]");
  const int count = std::max(1, static_cast<int>(box.buttons.size()));
  if (!mQueuedAnswers.empty()) {
    const int answer = mQueuedAnswers.front();
    mQueuedAnswers.pop_front();
    if (answer > count) {
      mBoxProblem = "the queued answer " + std::to_string(answer) + " has no button in the box " +
                    Quote(box.title) + "; it was answered 1";
      say("box answered 1 (the queued answer " + std::to_string(answer) + " has no button)");
      return 1;
    }
    say("box answered " + std::to_string(answer) + " (queued)");
    return answer;
  }
  if (mAskUser) {
    std::string line;
    while (mAskUser("answer 1-" + std::to_string(count) + "> ", &line)) {
      long long answer = 0;
      if (ReadInteger(Trim(line), 1LL, static_cast<long long>(count), &answer)) {
        return static_cast<int>(answer);
      }
      if (!mAskAgain) {
        mHasUnusedLine = true;
        mUnusedLine = line;
        say("box answered 1 (the input gave no button number: the first button)");
        return 1;
      }
      say("box: type a button number from 1 to " + std::to_string(count));
    }
    say("box answered 1 (end of input: the first button)");
    return 1;
  }
  say("box answered 1 (no answer queued: the first button)");
  return 1;
}

bool CommandInterpreter::TakeUnusedLine(std::string* line) {
  if (!mHasUnusedLine) return false;
  *line = std::move(mUnusedLine);
  mUnusedLine.clear();
  mHasUnusedLine = false;
  return true;
}

CommandAnswer CommandInterpreter::Execute(const std::string& rawLine) {
  const std::string line = Trim(rawLine);
  if (line.empty() || line[0] == '#') return {true, ""};
  const size_t space = line.find_first_of(" \t");
  const std::string command = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : Trim(line.substr(space));
  mBoxProblem.clear();
  const std::vector<Command>& commands = Commands();
  const auto found = std::find_if(commands.begin(), commands.end(),
                                  [&](const Command& entry) { return command == entry.mName; });
  if (found == commands.end()) {
    return Error("unknown command " + Quote(command) + " (help lists the commands)");
  }
  const Args args = Split(rest);
  CommandAnswer answer = (this->*found->mHandler)(Call{*found, args, rest});
  if (answer.mOk && !mBoxProblem.empty()) answer = Error(mBoxProblem);
  return answer;
}

// ---- Runners ----

ScriptResult RunScript(std::istream& in, CommandInterpreter& interpreter, bool keepGoing,
                       const LineWriter& write) {
  ScriptResult result;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string command = Trim(line);
    if (command.empty() || command[0] == '#') continue;
    write("> " + command);
    const CommandAnswer answer = interpreter.Execute(command);
    write(answer.mLine);
    ++result.mCommands;
    if (!answer.mOk) {
      ++result.mErrors;
      result.mExitCode = kExitCommandFailed;
      if (!keepGoing) {
        result.mStoppedAtLine = number;
        break;
      }
    }
    if (interpreter.QuitRequested()) break;
  }
  return result;
}

int RunInteractive(CommandInterpreter& interpreter, const LineReader& read,
                   const LineWriter& write) {
  std::string line;
  while (interpreter.TakeUnusedLine(&line) || read("kmq> ", &line)) {
    ClearHeadlessStop();
    const CommandAnswer answer = interpreter.Execute(line);
    if (!answer.mLine.empty()) write(answer.mLine);
    ClearHeadlessStop();
    if (interpreter.QuitRequested()) return kExitOk;
  }
  // The input ended, or the user interrupted the prompt.
  return HeadlessStopRequested() ? kExitInterrupted : kExitOk;
}

FdLineReader::FdLineReader(int fd) : mFd(fd), mTerminal(DescriptorIsTerminal(fd)) {}

bool FdLineReader::Read(const std::string& prompt, std::string* line) {
  if (mTerminal && !prompt.empty()) {
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
  }
  while (true) {
    const size_t newline = mBuffer.find('\n');
    if (newline != std::string::npos) {
      *line = mBuffer.substr(0, newline);
      mBuffer.erase(0, newline + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    if (mEnded) {
      if (mBuffer.empty()) {
        if (mTerminal) std::fputs("\n", stdout);
        return false;
      }
      *line = std::move(mBuffer);
      mBuffer.clear();
      return true;
    }
    if (HeadlessStopRequested()) {
      if (mTerminal) std::fputs("\n", stdout);
      return false;
    }
    const InputWait ready = WaitForInput(mFd, 100);
    if (ready == InputWait::kFailed) mEnded = true;
    if (ready != InputWait::kReady) continue;
    char buffer[4096];
    bool retryable = false;
    const long count = ReadInput(mFd, buffer, sizeof(buffer), &retryable);
    if (count > 0) {
      mBuffer.append(buffer, static_cast<size_t>(count));
    } else if (count == 0 || !retryable) {
      mEnded = true;
    }
  }
}

}  // namespace kmq

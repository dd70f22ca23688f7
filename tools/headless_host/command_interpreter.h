// The headless host's commands: one line each, answered by one line starting "ok" or "error".
// CommandInterpreter turns them into the user's and the host's actions on a HeadlessHost and shows
// the plug-in's message boxes as text, answering them from queued answers, from the user, or with
// the first button. Its commands are one table (name, usage, help, handler), which also makes the
// help line and the usage errors. RunScript and RunInteractive feed it lines. Everything here runs
// on one thread, which plays the host's user-interface thread; FdLineReader may be stopped by a
// signal handler.
#ifndef KMQ_TOOLS_HEADLESS_HOST_COMMAND_INTERPRETER_H_
#define KMQ_TOOLS_HEADLESS_HOST_COMMAND_INTERPRETER_H_

#include <deque>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "command_text.h"  // CommandAnswer
#include "headless_host.h"
#include "host_exit.h"
#include "host_options.h"

namespace kmq {

// Receives one output line (without its newline).
using LineWriter = std::function<void(const std::string& line)>;
// Shows prompt where that suits the input and reads one line; false at the end of the input.
using LineReader = std::function<bool(const std::string& prompt, std::string* line)>;

class CommandInterpreter {
 public:
  // write gets the lines shown while a command runs (message boxes and their answers). With
  // askUser, a box that has no queued answer is answered by the user through askUser: after a
  // line that is no button number the user is asked again when askAgain (a person at a
  // terminal); otherwise (input from a pipe) the box gets the first button and the line is kept
  // as the next command (TakeUnusedLine). Without askUser a box gets the first button.
  CommandInterpreter(const HostOptions& options, LineWriter write, LineReader askUser = nullptr,
                     bool askAgain = true);
  // Releases everything the commands made, then stops answering boxes.
  ~CommandInterpreter();
  CommandInterpreter(const CommandInterpreter&) = delete;
  CommandInterpreter& operator=(const CommandInterpreter&) = delete;

  // Runs one command line. Blank lines and lines starting with '#' do nothing.
  CommandAnswer Execute(const std::string& line);
  bool QuitRequested() const { return mQuit; }
  // A line read as a box answer that was none; true once, handing it out.
  bool TakeUnusedLine(std::string* line);
  HeadlessHost& Host() { return mHost; }
  // The one-line text of "help".
  static std::string HelpText();

 private:
  using Args = std::vector<std::string>;
  struct Command;
  // One command line being run: its command, its words after the command's name, and the text
  // after the name as typed (trimmed).
  struct Call {
    const Command& mCommand;
    const Args& mArgs;
    const std::string& mRest;
  };
  using Handler = CommandAnswer (CommandInterpreter::*)(const Call& call);
  // A command of the table: help lists "name usage" for each, and a usage error shows the usage
  // (or the spelled-out form, where the command has one) followed by the help in parentheses.
  struct Command {
    const char* mName;
    const char* mUsage;     // the arguments, as help lists them ("" for none)
    const char* mHelp;      // what the arguments may be; nullptr when the usage says all
    const char* mVariants;  // the usage spelled out variant by variant; nullptr for name and usage
    Handler mHandler;
  };
  // A condition "wait" waits for: counted ones take a count (wait frames N).
  struct WaitCondition {
    const char* mWhat;
    bool mCounted;
    CommandAnswer (CommandInterpreter::*mWait)(long long count, double seconds);
  };
  static const std::vector<Command>& Commands();
  static const std::vector<WaitCondition>& WaitConditions();
  // "error usage: ...", with the command's help, or without it (UsageAlone).
  static CommandAnswer Usage(const Call& call);
  static CommandAnswer UsageAlone(const Call& call);

  // The host's box handler. The plug-in shows its boxes on the user-interface thread only, inside
  // the command that made the panel or the device show them.
  int AnswerBox(const fbsdk_control::MessageBoxRecord& box);

  // The commands, one handler each (command_handlers.cpp, command_waits.cpp).
  CommandAnswer Load(const Call& call);
  CommandAnswer Version(const Call& call);
  CommandAnswer Device(const Call& call);
  CommandAnswer Server(const Call& call);
  CommandAnswer Serve(const Call& call);
  CommandAnswer Address(const Call& call);
  CommandAnswer Port(const Call& call);
  CommandAnswer Online(const Call& call);
  CommandAnswer Offline(const Call& call);
  CommandAnswer Actors(const Call& call);
  CommandAnswer Choose(const Call& call);
  CommandAnswer RequestHeader(const Call& call);
  CommandAnswer Rebuild(const Call& call);
  CommandAnswer TPose(const Call& call);
  CommandAnswer Characterize(const Call& call);
  CommandAnswer Wait(const Call& call);
  CommandAnswer Skeleton(const Call& call);
  CommandAnswer Bind(const Call& call);
  CommandAnswer Unbind(const Call& call);
  CommandAnswer DeleteDevice(const Call& call);
  CommandAnswer NewScene(const Call& call);
  CommandAnswer Record(const Call& call);
  CommandAnswer Characters(const Call& call);
  CommandAnswer Export(const Call& call);
  CommandAnswer Status(const Call& call);
  CommandAnswer Health(const Call& call);
  CommandAnswer Idle(const Call& call);
  CommandAnswer Sleep(const Call& call);
  CommandAnswer Answer(const Call& call);
  CommandAnswer Help(const Call& call);
  CommandAnswer Quit(const Call& call);

  // The conditions of "wait", each until it holds or seconds pass. REQUIRES: a device.
  CommandAnswer WaitForActors(long long count, double seconds);
  CommandAnswer WaitForHeader(long long count, double seconds);
  CommandAnswer WaitForTemplates(long long count, double seconds);
  CommandAnswer WaitForCharacterized(long long count, double seconds);
  CommandAnswer WaitForFrames(long long count, double seconds);

  // "address" and "port": types the text after the command (Unquote) into the edit.
  CommandAnswer TypeInto(bool address, const std::string& rest);
  // "online" and "offline".
  CommandAnswer SetOnline(bool online, const Call& call);
  // Types the server address and port waiting for the panel, if any; *message says what it
  // typed ("" for nothing) or what failed.
  bool TypePendingServer(std::string* message);
  // Before the device goes: keeps the address and port its panel shows, to be typed into the
  // next device's panel as "server" does; says so ("" without a device).
  std::string KeepServerForTheNextDevice();
  std::string ResolveCapture(const std::string& path) const;
  int CharacterizedCount() const;

  HeadlessHost mHost;
  const LineWriter mWrite;
  const LineReader mAskUser;
  const bool mAskAgain;
  bool mQuit = false;
  std::deque<int> mQueuedAnswers;  // for the next message boxes, in order
  std::string mBoxProblem;         // set by AnswerBox when the running command must fail
  bool mHasUnusedLine = false;
  std::string mUnusedLine;  // read as a box answer but no button number
  // The address and port to type once the panel exists; mHasPendingServer says there are some.
  bool mHasPendingServer = false;
  std::string mPendingAddress;
  std::string mPendingPort;
  // Boxes shown before the last "Request Bvh Header" click; -1 before the first one.
  long long mHeaderClickBoxes = -1;
  // Boxes shown and characterized characters before the last "Characterize" click.
  long long mCharacterizeClickBoxes = -1;
  int mCharacterizedAtClick = 0;
};

struct ScriptResult {
  int mExitCode = kExitOk;  // kExitOk, or kExitCommandFailed when a command answered error
  int mCommands = 0;        // commands run
  int mErrors = 0;          // commands that answered error
  int mStoppedAtLine = 0;   // the line of the failed command the script stopped at; 0 if none
};

// Runs the commands of in, echoing each ("> command") and its answer to write. Stops after quit,
// and after the first failed command unless keepGoing.
ScriptResult RunScript(std::istream& in, CommandInterpreter& interpreter, bool keepGoing,
                       const LineWriter& write);

// Reads commands with read (prompt "kmq> ") until quit or the end of the input, writing each
// answer; a stop requested while a command runs ends only that command, one requested while read
// waits ends the input. Returns kExitOk, or kExitInterrupted after such a stop.
int RunInteractive(CommandInterpreter& interpreter, const LineReader& read,
                   const LineWriter& write);

// Reads lines from a file descriptor, showing the prompt (on stdout) only when the descriptor is
// a terminal. Read returns false at the end of the input or once RequestHeadlessStop was called
// while it waited.
class FdLineReader {
 public:
  explicit FdLineReader(int fd);
  bool Read(const std::string& prompt, std::string* line);
  bool IsTerminal() const { return mTerminal; }

 private:
  const int mFd;
  const bool mTerminal;
  std::string mBuffer;  // bytes read past the last line handed out
  bool mEnded = false;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_COMMAND_INTERPRETER_H_

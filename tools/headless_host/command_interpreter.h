// The headless host's commands: one line each, answered by one line starting "ok" or "error".
// CommandInterpreter turns them into the user's and the host's actions on a HeadlessHost and shows
// the plug-in's message boxes as text, answering them from queued answers, from the user, or with
// the first button. RunScript and RunInteractive feed it lines. Everything here runs on one thread,
// which plays the host's user-interface thread; FdLineReader may be stopped by a signal handler.
#ifndef KMQ_TOOLS_HEADLESS_HOST_COMMAND_INTERPRETER_H_
#define KMQ_TOOLS_HEADLESS_HOST_COMMAND_INTERPRETER_H_

#include <deque>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "headless_host.h"
#include "host_options.h"

namespace kmq {

// Receives one output line (without its newline).
using LineWriter = std::function<void(const std::string& line)>;
// Shows prompt where that suits the input and reads one line; false at the end of the input.
using LineReader = std::function<bool(const std::string& prompt, std::string* line)>;

struct CommandAnswer {
  bool mOk = true;
  // "ok ..." or "error ..."; empty for a blank line or a comment.
  std::string mLine;
};

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

  CommandAnswer Dispatch(const std::string& command, const Args& args, const std::string& rest);
  // The host's box handler. The plug-in shows its boxes on the user-interface thread only, inside
  // the command that made the panel or the device show them.
  int AnswerBox(const fbsdk_control::MessageBoxRecord& box);

  CommandAnswer Load(const Args& args);
  CommandAnswer Device(const Args& args);
  CommandAnswer Server(const Args& args);
  CommandAnswer Serve(const Args& args);
  CommandAnswer TypeInto(bool address, const std::string& rest);
  CommandAnswer Online(bool online, const Args& args);
  CommandAnswer Actors(const Args& args);
  CommandAnswer Choose(const Args& args);
  CommandAnswer RequestHeader(const Args& args);
  CommandAnswer Rebuild(const Args& args);
  CommandAnswer TPose(const Args& args);
  CommandAnswer Characterize(const Args& args);
  CommandAnswer Wait(const Args& args);
  CommandAnswer Skeleton(const Args& args);
  CommandAnswer Bind(const Args& args);
  CommandAnswer Unbind(const Args& args);
  CommandAnswer Record(const Args& args);
  CommandAnswer Characters(const Args& args);
  CommandAnswer Export(const Args& args);
  CommandAnswer Status(const Args& args);
  CommandAnswer Health(const Args& args);
  CommandAnswer Version(const Args& args);
  CommandAnswer Idle(const Args& args);
  CommandAnswer Sleep(const Args& args);
  CommandAnswer Answer(const Args& args);

  // Types the server address and port waiting for the panel, if any; *message says what it
  // typed ("" for nothing) or what failed.
  bool TypePendingServer(std::string* message);
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

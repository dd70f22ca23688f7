#include "command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <utility>

#include "console_platform.h"
#include "host_text.h"

namespace kmq {
namespace {

// Longer waits would overflow the clocks' tick counts.
constexpr double kMaxSeconds = 1e6;
constexpr int kMaxIdleEvents = 1000000;
// The host shows at most three buttons in a box.
constexpr int kMaxButtons = 3;
constexpr const char* kHeaderDoneText = "Request BVH header done.";
constexpr const char* kNoModelText = "No selected model!";
constexpr const char* kCharacterizedAlreadyText =
    "This model may have been characterized according it's name, continue anyway?";

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (true) {
    const size_t first = text.find_first_not_of(" \t", at);
    if (first == std::string::npos) break;
    const size_t end = text.find_first_of(" \t", first);
    words.push_back(text.substr(first, end == std::string::npos ? std::string::npos : end - first));
    if (end == std::string::npos) break;
    at = end;
  }
  return words;
}

// Line breaks shown as \n, so that everything stays on one line.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Quote(const std::string& text) { return "\"" + OneLine(text) + "\""; }

bool ParseInt(const std::string& text, long long* out) {
  long long value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return false;
  *out = value;
  return true;
}

bool ParseNumber(const std::string& text, double* out) {
  double value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() ||
      !std::isfinite(value)) {
    return false;
  }
  *out = value;
  return true;
}

bool ParseSeconds(const std::string& text, double* out) {
  double value = 0;
  if (!ParseNumber(text, &value) || !(value > 0) || value > kMaxSeconds) return false;
  *out = value;
  return true;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

// A text typed as it stands, or without its surrounding double quotes (to type blanks or nothing).
std::string Unquote(const std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool FileExists(const std::string& path) {
  std::ifstream file(path);
  return static_cast<bool>(file);
}

CommandAnswer Ok(const std::string& text) { return {true, "ok " + OneLine(text)}; }
CommandAnswer Error(const std::string& text) { return {false, "error " + OneLine(text)}; }
CommandAnswer Usage(const std::string& usage) { return Error("usage: " + usage); }

std::string WaitFailure(HeadlessHost::WaitResult result, const std::string& what, double seconds) {
  if (result == HeadlessHost::WaitResult::kInterrupted) return "interrupted";
  return what + " within " + Format(seconds) + " s";
}

}  // namespace

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

std::string CommandInterpreter::HelpText() {
  return "commands: load [PLUGIN] | version N | device | server ADDR:PORT | serve [FILE.bvh ...] "
         "| address TEXT | port TEXT | online | offline | actors | choose INDEX|tag TAG|NAME "
         "| request-header | rebuild | tpose on|off | characterize "
         "| wait actors|header|templates|characterized|frames N [SECONDS] | skeleton [NAMESPACE] "
         "| bind | unbind | record [SECONDS] | characters | export [FILE.bvh] | status | health "
         "[json] "
         "| idle [N] | sleep SECONDS | answer N [N...] | help | quit";
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
      if (ParseInt(Trim(line), &answer) && answer >= 1 && answer <= count) {
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
  CommandAnswer answer = Dispatch(command, Split(rest), rest);
  if (answer.mOk && !mBoxProblem.empty()) answer = Error(mBoxProblem);
  return answer;
}

CommandAnswer CommandInterpreter::Dispatch(const std::string& command, const Args& args,
                                           const std::string& rest) {
  if (command == "load") return Load(args.empty() ? Args() : Args{rest});
  if (command == "version") return Version(args);
  if (command == "device") return Device(args);
  if (command == "server") return Server(args);
  if (command == "serve") return Serve(args);
  if (command == "address") return TypeInto(true, rest);
  if (command == "port") return TypeInto(false, rest);
  if (command == "online") return Online(true, args);
  if (command == "offline") return Online(false, args);
  if (command == "actors") return Actors(args);
  if (command == "choose") return Choose(args);
  if (command == "request-header") return RequestHeader(args);
  if (command == "rebuild") return Rebuild(args);
  if (command == "tpose") return TPose(args);
  if (command == "characterize") return Characterize(args);
  if (command == "wait") return Wait(args);
  if (command == "skeleton") return Skeleton(args);
  if (command == "bind") return Bind(args);
  if (command == "unbind") return Unbind(args);
  if (command == "record") return Record(args);
  if (command == "characters") return Characters(args);
  if (command == "export") return Export(args.empty() ? Args() : Args{rest});
  if (command == "status") return Status(args);
  if (command == "health") return Health(args);
  if (command == "idle") return Idle(args);
  if (command == "sleep") return Sleep(args);
  if (command == "answer") return Answer(args);
  if (command == "help") return args.empty() ? Ok(HelpText()) : Usage("help");
  if (command == "quit") {
    if (!args.empty()) return Usage("quit");
    mQuit = true;
    return Ok("bye");
  }
  return Error("unknown command " + Quote(command) + " (help lists the commands)");
}

// ---- Plug-in, device, server ----

CommandAnswer CommandInterpreter::Load(const Args& args) {
  const std::string path = args.empty() ? mHost.Options().mPluginPath : args[0];
  std::string message;
  if (!mHost.LoadPlugin(path, &message)) return Error(message);
  std::string text = "loaded the plug-in " + path;
  if (mHost.PluginRecordsAddedByEntry() > 0) {
    text += " (warning: its entry registered " + std::to_string(mHost.PluginRecordsAddedByEntry()) +
            " classes again when called a second time)";
  }
  return Ok(text);
}

CommandAnswer CommandInterpreter::Version(const Args& args) {
  double version = 0;
  if (args.size() != 1 || !ParseNumber(args[0], &version) || version < 0) {
    return Usage("version N (the host version before device, e.g. 12999 or 19000)");
  }
  std::string message;
  if (!mHost.SetHostVersion(version, &message)) return Error(message);
  return Ok(message);
}

bool CommandInterpreter::TypePendingServer(std::string* message) {
  message->clear();
  if (!mHasPendingServer) return true;
  std::string typed;
  if (!mHost.TypeAddress(mPendingAddress, message) || !mHost.TypePort(mPendingPort, message)) {
    return false;
  }
  mHasPendingServer = false;
  *message =
      "typed " + Quote(mPendingAddress) + " into Address and " + Quote(mPendingPort) + " into Port";
  return true;
}

CommandAnswer CommandInterpreter::Device(const Args& args) {
  if (!args.empty()) return Usage("device");
  std::string message;
  if (!mHost.CreateDevice(&message)) return Error(message);
  std::string text = message;
  std::string typed;
  if (!TypePendingServer(&typed)) return Error(text + ", but " + typed);
  if (!typed.empty()) {
    text += "; " + typed;
  } else {
    text += "; the panel shows Address " + Quote(mHost.AddressText()) + " and Port " +
            Quote(mHost.PortText());
  }
  if (!mHost.HasButton(PanelButton::kCharacterize)) text += "; it has no Characterize button";
  return Ok(text);
}

CommandAnswer CommandInterpreter::Server(const Args& args) {
  const std::string usage = "server ADDR:PORT";
  if (args.size() != 1) return Usage(usage);
  const size_t colon = args[0].rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == args[0].size()) return Usage(usage);
  std::string address = args[0].substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (address.empty()) return Usage(usage);
  mPendingAddress = address;
  mPendingPort = args[0].substr(colon + 1);
  mHasPendingServer = true;
  if (!mHost.HasDevice()) {
    return Ok("the panel gets " + address + ":" + mPendingPort + " when it is made (device)");
  }
  std::string typed;
  if (!TypePendingServer(&typed)) return Error(typed);
  return Ok(typed);
}

std::string CommandInterpreter::ResolveCapture(const std::string& path) const {
  if (FileExists(path) || path.empty() || path[0] == '/') return path;
  const std::string bundled = mHost.Options().mCaptureDir + "/" + path;
  return !mHost.Options().mCaptureDir.empty() && FileExists(bundled) ? bundled : path;
}

CommandAnswer CommandInterpreter::Serve(const Args& args) {
  std::vector<std::string> paths;
  for (const std::string& arg : args) paths.push_back(ResolveCapture(arg));
  if (paths.empty()) paths.push_back(mHost.Options().mBvhPath);
  std::string message;
  if (!mHost.ServeCaptures(paths, &message)) return Error(message);
  const std::string port = std::to_string(mHost.ServerPort());
  std::string text = "serving on 127.0.0.1:" + port + ":";
  for (size_t i = 0; i < paths.size(); ++i) {
    text += std::string(i > 0 ? "," : "") + " tag " + std::to_string(i + 1) + " " +
            Quote(Stem(paths[i]));
  }
  mPendingAddress = "127.0.0.1";
  mPendingPort = port;
  mHasPendingServer = true;
  if (!mHost.HasDevice()) return Ok(text + "; the panel gets its address when it is made");
  std::string typed;
  if (!TypePendingServer(&typed)) return Error(text + ", but " + typed);
  return Ok(text + "; " + typed);
}

// ---- The panel ----

CommandAnswer CommandInterpreter::TypeInto(bool address, const std::string& rest) {
  const std::string text = Unquote(rest);
  std::string message;
  const bool typed = address ? mHost.TypeAddress(text, &message) : mHost.TypePort(text, &message);
  return typed ? Ok(message) : Error(message);
}

CommandAnswer CommandInterpreter::Online(bool online, const Args& args) {
  if (!args.empty()) return Usage(online ? "online" : "offline");
  std::string message;
  const std::string server = mHost.AddressText() + ":" + mHost.PortText();
  if (!mHost.SetOnline(online, &message)) {
    if (!online || !mHost.HasDevice()) return Error(message);
    return Error("cannot go online to " + server + " (as typed in the panel): " + message);
  }
  return Ok(online ? message + ", connected to " + server : message);
}

CommandAnswer CommandInterpreter::Actors(const Args& args) {
  if (!args.empty()) return Usage("actors");
  if (!mHost.HasDevice()) return Error("no device yet (create it with device)");
  const std::vector<ActorItem> actors = mHost.Actors();
  if (actors.empty()) return Ok("the actor list is empty");
  std::string text = std::to_string(actors.size()) + (actors.size() == 1 ? " actor:" : " actors:");
  for (const ActorItem& actor : actors) {
    text += std::string(actor.mIndex > 0 ? "," : "") + " [" + std::to_string(actor.mIndex) +
            "] tag " + std::to_string(actor.mTag) + " " + Quote(actor.mName) +
            (actor.mSelected ? " selected" : "");
  }
  return Ok(text);
}

CommandAnswer CommandInterpreter::Choose(const Args& args) {
  const std::string usage = "choose INDEX | choose tag TAG | choose NAME";
  if (args.empty()) return Usage(usage);
  if (!mHost.HasDevice()) return Error("no device yet (create it with device)");
  const std::vector<ActorItem> actors = mHost.Actors();
  if (actors.empty()) return Error("the actor list is empty (wait actors)");
  const ActorItem* found = nullptr;
  std::string wanted;
  if (args.size() == 1 && AllDigits(args[0])) {
    long long index = -1;
    ParseInt(args[0], &index);
    if (index >= 0 && index < static_cast<long long>(actors.size())) {
      found = &actors[static_cast<size_t>(index)];
    }
    wanted = "item " + args[0];
  } else if (args[0] == "tag") {
    long long tag = 0;
    if (args.size() != 2 || !ParseInt(args[1], &tag)) return Usage(usage);
    for (const ActorItem& actor : actors) {
      if (found == nullptr && actor.mTag == tag) found = &actor;
    }
    wanted = "actor with tag " + args[1];
  } else {
    std::string name;
    for (const std::string& word : args) name += (name.empty() ? "" : " ") + word;
    for (const ActorItem& actor : actors) {
      if (found == nullptr && actor.mName == name) found = &actor;
    }
    wanted = "actor named " + Quote(name);
  }
  if (found == nullptr) return Error("the actor list has no " + wanted + " (actors lists it)");
  const std::string item = "[" + std::to_string(found->mIndex) + "] tag " +
                           std::to_string(found->mTag) + " " + Quote(found->mName);
  if (found->mSelected) return Ok(item + " is chosen already; nothing changes");
  std::string message;
  if (!mHost.ChooseActor(found->mIndex, &message)) return Error(message);
  return Ok("chose " + item);
}

CommandAnswer CommandInterpreter::RequestHeader(const Args& args) {
  if (!args.empty()) return Usage("request-header");
  const size_t boxes = HeadlessHost::BoxCount();
  std::string message;
  if (!mHost.Click(PanelButton::kRequestHeader, &message)) return Error(message);
  mHeaderClickBoxes = static_cast<long long>(boxes);
  for (const auto& box : HeadlessHost::BoxesSince(boxes)) {
    if (box.title == "Warning") {
      mHeaderClickBoxes = -1;  // nothing was requested
      return Error(message + ", but the panel warned " + Quote(box.message));
    }
  }
  return Ok(message + "; the panel says when the header is in (wait header)");
}

CommandAnswer CommandInterpreter::Rebuild(const Args& args) {
  if (!args.empty()) return Usage("rebuild");
  const bool wasBound = mHost.IsBound();
  std::string message;
  if (!mHost.Click(PanelButton::kRebuildSkeleton, &message)) return Error(message);
  const int templates = mHost.TemplateCount();
  std::string text = message + ": " + std::to_string(templates) + " templates below \"Reference\"";
  if (templates == 0) text += " (no header has arrived)";
  if (wasBound && !mHost.IsBound()) {
    text += "; the skeleton is no longer bound (make and bind one again)";
  }
  return Ok(text);
}

CommandAnswer CommandInterpreter::TPose(const Args& args) {
  if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) return Usage("tpose on|off");
  bool clicked = false;
  std::string message;
  if (!mHost.SetTPose(args[0] == "on", &clicked, &message)) return Error(message);
  return Ok(message);
}

int CommandInterpreter::CharacterizedCount() const {
  int count = 0;
  for (const CharacterItem& character : mHost.Characters()) {
    if (character.mCharacterized) ++count;
  }
  return count;
}

CommandAnswer CommandInterpreter::Characterize(const Args& args) {
  if (!args.empty()) return Usage("characterize");
  const size_t boxes = HeadlessHost::BoxCount();
  const int characterized = CharacterizedCount();
  std::string message;
  if (!mHost.Click(PanelButton::kCharacterize, &message)) return Error(message);
  mCharacterizeClickBoxes = static_cast<long long>(boxes);
  mCharacterizedAtClick = characterized;
  std::string text = message +
                     ": the skeleton is held in the T-pose until the panel characterizes it "
                     "(wait characterized)";
  if (!mHost.IsBound()) text += "; no skeleton is bound yet";
  return Ok(text);
}

// ---- Waiting ----

CommandAnswer CommandInterpreter::Wait(const Args& args) {
  const std::string usage =
      "wait actors|header|templates|characterized [SECONDS] | wait frames N "
      "[SECONDS]";
  if (args.empty()) return Usage(usage);
  const std::string what = args[0];
  size_t secondsAt = 1;
  long long frames = 0;
  if (what == "frames") {
    if (args.size() < 2 || !ParseInt(args[1], &frames) || frames < 1) return Usage(usage);
    secondsAt = 2;
  } else if (what != "actors" && what != "header" && what != "templates" &&
             what != "characterized") {
    return Usage(usage);
  }
  double seconds = mHost.Options().mTimeout;
  if (args.size() > secondsAt + 1) return Usage(usage);
  if (args.size() == secondsAt + 1 && !ParseSeconds(args[secondsAt], &seconds)) {
    return Usage(usage + " (SECONDS positive, at most 1000000)");
  }
  if (!mHost.HasDevice()) return Error("no device yet (create it with device)");

  using WaitResult = HeadlessHost::WaitResult;
  if (what == "actors") {
    const WaitResult result = mHost.IdleUntil([this] { return !mHost.Actors().empty(); }, seconds);
    if (result != WaitResult::kDone) return Error(WaitFailure(result, "no actor offered", seconds));
    const std::vector<ActorItem> actors = mHost.Actors();
    auto chosen = std::find_if(actors.begin(), actors.end(),
                               [](const ActorItem& actor) { return actor.mSelected; });
    return Ok(std::to_string(actors.size()) + " offered; " +
              (chosen != actors.end() ? Quote(chosen->mName) + " chosen" : "none chosen"));
  }
  if (what == "header") {
    if (mHeaderClickBoxes < 0) return Error("no header was requested (request-header first)");
    const size_t first = static_cast<size_t>(mHeaderClickBoxes);
    auto said = [first] {
      for (const auto& box : HeadlessHost::BoxesSince(first)) {
        if (box.message == kHeaderDoneText) return true;
      }
      return false;
    };
    const WaitResult result = mHost.IdleUntil(said, seconds);
    if (result != WaitResult::kDone) {
      return Error(WaitFailure(result, "the panel did not say " + Quote(kHeaderDoneText), seconds));
    }
    mHeaderClickBoxes = -1;
    return Ok("the panel said " + Quote(kHeaderDoneText));
  }
  if (what == "templates") {
    const WaitResult result =
        mHost.IdleUntil([this] { return mHost.TemplateCount() > 0; }, seconds);
    if (result != WaitResult::kDone) return Error(WaitFailure(result, "no templates", seconds));
    return Ok(std::to_string(mHost.TemplateCount()) + " templates below \"Reference\", root " +
              Quote(mHost.TemplateRootName()));
  }
  if (what == "characterized") {
    const size_t first = mCharacterizeClickBoxes < 0 ? HeadlessHost::BoxCount()
                                                     : static_cast<size_t>(mCharacterizeClickBoxes);
    const int before = mCharacterizeClickBoxes < 0 ? 0 : mCharacterizedAtClick;
    std::string failure;
    auto done = [&] {
      if (CharacterizedCount() > before) return true;
      for (const auto& box : HeadlessHost::BoxesSince(first)) {
        if (box.message == kNoModelText) failure = "the panel warned " + Quote(box.message);
        if (box.message == kCharacterizedAlreadyText && box.answer == 2) {
          failure = "the characterization was declined in the box " + Quote(box.message);
        }
      }
      return !failure.empty();
    };
    const WaitResult result = mHost.IdleUntil(done, seconds);
    if (!failure.empty()) return Error(failure);
    if (result != WaitResult::kDone) {
      return Error(WaitFailure(result, "no character was characterized", seconds));
    }
    mCharacterizeClickBoxes = -1;
    std::string name;
    for (const CharacterItem& character : mHost.Characters()) {
      if (character.mCharacterized) name = character.mName;
    }
    return Ok("character " + Quote(name) + " is characterized");
  }
  // frames
  const long start = mHost.SamplesReceived();
  const HostClock::time_point began = HostClock::now();
  const WaitResult result =
      mHost.IdleUntil([&] { return mHost.SamplesReceived() - start >= frames; }, seconds);
  const long received = mHost.SamplesReceived() - start;
  if (result != WaitResult::kDone) {
    return Error(WaitFailure(
        result,
        "only " + std::to_string(received) + " of " + std::to_string(frames) + " frames received",
        seconds));
  }
  return Ok(std::to_string(received) + " frames received in " + Format(SecondsSince(began), 2) +
            " s");
}

// ---- The scene ----

CommandAnswer CommandInterpreter::Skeleton(const Args& args) {
  if (args.size() > 1) return Usage("skeleton [NAMESPACE]");
  const std::string nameSpace = args.empty() ? "" : args[0];
  if (nameSpace.find(':') != std::string::npos) return Error("a namespace has no ':'");
  std::string message;
  if (!mHost.MakeSkeleton(nameSpace, &message)) return Error(message);
  return Ok("made the " + message);
}

CommandAnswer CommandInterpreter::Bind(const Args& args) {
  if (!args.empty()) return Usage("bind");
  std::string message;
  return mHost.Bind(&message) ? Ok(message) : Error(message);
}

CommandAnswer CommandInterpreter::Unbind(const Args& args) {
  if (!args.empty()) return Usage("unbind");
  std::string message;
  return mHost.Unbind(&message) ? Ok(message) : Error(message);
}

CommandAnswer CommandInterpreter::Characters(const Args& args) {
  if (!args.empty()) return Usage("characters");
  const std::vector<CharacterItem> characters = mHost.Characters();
  if (characters.empty()) return Ok("the scene has no character");
  std::string text =
      std::to_string(characters.size()) + (characters.size() == 1 ? " character:" : " characters:");
  for (size_t i = 0; i < characters.size(); ++i) {
    text += std::string(i > 0 ? "," : "") + " " + Quote(characters[i].mName) +
            (characters[i].mCharacterized ? " characterized" : " not characterized");
  }
  return Ok(text);
}

// ---- Transport and take ----

CommandAnswer CommandInterpreter::Record(const Args& args) {
  double seconds = mHost.Options().mSeconds;
  if (args.size() > 1 || (args.size() == 1 && !ParseSeconds(args[0], &seconds))) {
    return Usage("record [SECONDS] (SECONDS positive, at most 1000000)");
  }
  const int keysBefore = mHost.CountKeys();
  RecordStats stats;
  std::string message;
  if (!mHost.Record(seconds, nullptr, &stats, &message)) return Error(message);
  if (stats.mKeys == keysBefore) {
    return Error("recorded " + Format(stats.mSeconds, 1) + " s but the skeleton got no key (" +
                 std::to_string(stats.mSamples) + " frames received)");
  }
  return Ok(message + (stats.mInterrupted ? " (stopped early)" : ""));
}

CommandAnswer CommandInterpreter::Export(const Args& args) {
  const std::string path = args.empty() ? mHost.Options().mOutPath : args[0];
  ExportStats stats;
  std::string message;
  if (!mHost.ExportTake(path, &stats, &message)) return Error(message);
  std::string text = "wrote " + path + ": " + std::to_string(stats.mTake.mFrames) +
                     " frames, frame time " + Format(stats.mFrameTime, 6) + " s, " +
                     std::to_string(stats.mTake.mJoints) + " joints, " +
                     std::to_string(stats.mTake.mEndSites) + " end sites";
  if (stats.mTake.mMovingJoints > 0) {
    text += ", " + std::to_string(stats.mTake.mMovingJoints) + " with position channels";
  }
  if (!stats.mContactSheetPath.empty()) {
    text += "; contact sheet " + stats.mContactSheetPath +
            (stats.mContactSheetPngPath.empty() ? "" : " and " + stats.mContactSheetPngPath);
  }
  if (!stats.mContactSheetProblem.empty()) {
    text += "; contact sheet problem: " + stats.mContactSheetProblem;
  }
  return Ok(text);
}

CommandAnswer CommandInterpreter::Health(const Args& args) {
  if (args.size() > 1 || (args.size() == 1 && args[0] != "json")) return Usage("health [json]");
  const std::string status = mHost.HealthStatus();
  if (!args.empty()) return Ok(mHost.Health().SummaryJson(HeadlessHost::NowUs()));
  // The status has one line per actor and a wire line; the answer stays one line.
  std::string text;
  size_t start = 0;
  while (start < status.size()) {
    size_t end = status.find('\n', start);
    if (end == std::string::npos) end = status.size();
    text += (text.empty() ? "" : " | ") + status.substr(start, end - start);
    start = end + 1;
  }
  return Ok(text);
}

// ---- The rest ----

CommandAnswer CommandInterpreter::Status(const Args& args) {
  if (!args.empty()) return Usage("status");
  std::string text = mHost.IsPluginLoaded() ? "plug-in loaded" : "no plug-in";
  if (mHost.IsServing()) text += "; serving on 127.0.0.1:" + std::to_string(mHost.ServerPort());
  text += "; host version " + Format(mHost.HostVersion());
  if (!mHost.HasDevice()) return Ok(text + "; no device");
  text += std::string("; device ") + (mHost.IsOnline() ? "online" : "offline");
  text += "; panel Address " + Quote(mHost.AddressText()) + " Port " + Quote(mHost.PortText());
  std::string chosen = "none";
  for (const ActorItem& actor : mHost.Actors()) {
    if (actor.mSelected) chosen = Quote(actor.mName);
  }
  text += "; actors " + std::to_string(mHost.Actors().size()) + ", chosen " + chosen;
  text += std::string("; T-pose ") + (mHost.TPoseChecked() ? "ticked" : "not ticked");
  text += "; templates " + std::to_string(mHost.TemplateCount());
  text += std::string("; skeleton ") + (!mHost.HasSkeleton() ? "none"
                                        : mHost.IsBound()    ? "bound"
                                                             : "not bound");
  text += "; keys " + std::to_string(mHost.CountKeys());
  text += "; frames received " + std::to_string(mHost.SamplesReceived());
  text += "; characters " + std::to_string(mHost.Characters().size()) + " (" +
          std::to_string(CharacterizedCount()) + " characterized)";
  const std::vector<PanelControl> controls = mHost.PanelControls();
  int driven = 0;
  for (const PanelControl& control : controls) {
    if (mHost.DrivenControls().count(control.mRegion) != 0) ++driven;
  }
  text += "; controls driven " + std::to_string(driven) + " of " + std::to_string(controls.size());
  if (!mQueuedAnswers.empty()) {
    text += "; box answers queued " + std::to_string(mQueuedAnswers.size());
  }
  return Ok(text);
}

CommandAnswer CommandInterpreter::Idle(const Args& args) {
  long long count = 1;
  if (args.size() > 1 ||
      (args.size() == 1 && (!ParseInt(args[0], &count) || count < 1 || count > kMaxIdleEvents))) {
    return Usage("idle [N] (N from 1 to 1000000)");
  }
  long long fired = 0;
  const HeadlessHost::WaitResult result =
      mHost.IdleUntil([&] { return ++fired >= count; }, kMaxSeconds);
  if (result == HeadlessHost::WaitResult::kInterrupted) return Error("interrupted");
  return Ok(std::to_string(fired) + (fired == 1 ? " idle event" : " idle events"));
}

CommandAnswer CommandInterpreter::Sleep(const Args& args) {
  double seconds = 0;
  if (args.size() != 1 || !ParseSeconds(args[0], &seconds)) {
    return Usage("sleep SECONDS (positive, at most 1000000)");
  }
  const HeadlessHost::WaitResult result = mHost.IdleUntil([] { return false; }, seconds);
  if (result == HeadlessHost::WaitResult::kInterrupted) return Error("interrupted");
  return Ok("slept " + Format(seconds) + " s");
}

CommandAnswer CommandInterpreter::Answer(const Args& args) {
  const std::string usage = "answer N [N...] (button numbers from 1 to 3)";
  if (args.empty()) return Usage(usage);
  std::vector<int> answers;
  for (const std::string& arg : args) {
    long long answer = 0;
    if (!ParseInt(arg, &answer) || answer < 1 || answer > kMaxButtons) return Usage(usage);
    answers.push_back(static_cast<int>(answer));
  }
  std::string text;
  for (int answer : answers) {
    mQueuedAnswers.push_back(answer);
    text += " " + std::to_string(answer);
  }
  return Ok("queued" + text + " for the next " +
            (answers.size() == 1 ? std::string("box") : std::to_string(answers.size()) + " boxes"));
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

// The headless host's commands other than "wait" (command_waits.cpp): the plug-in, device and
// server, the panel, the scene, the transport and take, and the rest.
#include <climits>
#include <string>
#include <vector>

#include "command_interpreter.h"
#include "command_text.h"
#include "host_text.h"

namespace kmq {
namespace {

constexpr int kMaxIdleEvents = 1000000;
// The host shows at most three buttons in a box.
constexpr int kMaxButtons = 3;

}  // namespace

using namespace command_text;

// ---- Plug-in, device, server ----

CommandAnswer CommandInterpreter::Load(const Call& call) {
  // The rest of the line, blanks and all, is the path.
  const std::string path = call.mArgs.empty() ? mHost.Options().mPluginPath : call.mRest;
  std::string message;
  if (!mHost.LoadPlugin(path, &message)) return Error(message);
  std::string text = "loaded the plug-in " + path;
  if (mHost.PluginRecordsAddedByEntry() > 0) {
    text += " (warning: its entry registered " + std::to_string(mHost.PluginRecordsAddedByEntry()) +
            " classes again when called a second time)";
  }
  return Ok(text);
}

CommandAnswer CommandInterpreter::Version(const Call& call) {
  const Args& args = call.mArgs;
  double version = 0;
  if (args.size() != 1 || !ReadNumber(args[0], &version) || version < 0) {
    return Usage(call);
  }
  std::string message;
  if (!mHost.SetHostVersion(version, &message)) return Error(message);
  return Ok(message);
}

bool CommandInterpreter::TypePendingServer(std::string* message) {
  message->clear();
  if (!mHasPendingServer) return true;
  if (!mHost.TypeAddress(mPendingAddress, message) || !mHost.TypePort(mPendingPort, message)) {
    return false;
  }
  mHasPendingServer = false;
  *message =
      "typed " + Quote(mPendingAddress) + " into Address and " + Quote(mPendingPort) + " into Port";
  return true;
}

CommandAnswer CommandInterpreter::Device(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
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

CommandAnswer CommandInterpreter::Server(const Call& call) {
  const Args& args = call.mArgs;
  if (args.size() != 1) return Usage(call);
  const size_t colon = args[0].rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == args[0].size()) return Usage(call);
  std::string address = args[0].substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (address.empty()) return Usage(call);
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

CommandAnswer CommandInterpreter::Serve(const Call& call) {
  const Args& args = call.mArgs;
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

CommandAnswer CommandInterpreter::Address(const Call& call) { return TypeInto(true, call.mRest); }

CommandAnswer CommandInterpreter::Port(const Call& call) { return TypeInto(false, call.mRest); }

CommandAnswer CommandInterpreter::TypeInto(bool address, const std::string& rest) {
  const std::string text = Unquote(rest);
  std::string message;
  const bool typed = address ? mHost.TypeAddress(text, &message) : mHost.TypePort(text, &message);
  return typed ? Ok(message) : Error(message);
}

CommandAnswer CommandInterpreter::Online(const Call& call) { return SetOnline(true, call); }

CommandAnswer CommandInterpreter::Offline(const Call& call) { return SetOnline(false, call); }

CommandAnswer CommandInterpreter::SetOnline(bool online, const Call& call) {
  if (!call.mArgs.empty()) return Usage(call);
  std::string message;
  const std::string server = mHost.AddressText() + ":" + mHost.PortText();
  if (!mHost.SetOnline(online, &message)) {
    if (!online || !mHost.HasDevice()) return Error(message);
    return Error("cannot go online to " + server + " (as typed in the panel): " + message);
  }
  return Ok(online ? message + ", connected to " + server : message);
}

CommandAnswer CommandInterpreter::Actors(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
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

CommandAnswer CommandInterpreter::Choose(const Call& call) {
  const Args& args = call.mArgs;
  if (args.empty()) return Usage(call);
  if (!mHost.HasDevice()) return Error("no device yet (create it with device)");
  const std::vector<ActorItem> actors = mHost.Actors();
  if (actors.empty()) return Error("the actor list is empty (wait actors)");
  const ActorItem* found = nullptr;
  std::string wanted;
  if (args.size() == 1 && AllDigits(args[0])) {
    long long index = -1;
    ReadInteger(args[0], 0LL, LLONG_MAX, &index);
    if (index >= 0 && index < static_cast<long long>(actors.size())) {
      found = &actors[static_cast<size_t>(index)];
    }
    wanted = "item " + args[0];
  } else if (args[0] == "tag") {
    long long tag = 0;
    if (args.size() != 2 || !ReadInteger(args[1], LLONG_MIN, LLONG_MAX, &tag)) return Usage(call);
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

CommandAnswer CommandInterpreter::RequestHeader(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
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

CommandAnswer CommandInterpreter::Rebuild(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
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

CommandAnswer CommandInterpreter::TPose(const Call& call) {
  const Args& args = call.mArgs;
  if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) return Usage(call);
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

CommandAnswer CommandInterpreter::Characterize(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
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

// ---- The scene ----

CommandAnswer CommandInterpreter::Skeleton(const Call& call) {
  const Args& args = call.mArgs;
  if (args.size() > 1) return Usage(call);
  const std::string nameSpace = args.empty() ? "" : args[0];
  if (nameSpace.find(':') != std::string::npos) return Error("a namespace has no ':'");
  std::string message;
  if (!mHost.MakeSkeleton(nameSpace, &message)) return Error(message);
  return Ok("made the " + message);
}

CommandAnswer CommandInterpreter::Bind(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
  std::string message;
  return mHost.Bind(&message) ? Ok(message) : Error(message);
}

CommandAnswer CommandInterpreter::Unbind(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
  std::string message;
  return mHost.Unbind(&message) ? Ok(message) : Error(message);
}

CommandAnswer CommandInterpreter::DeleteDevice(const Call& call) {
  if (!call.mArgs.empty()) return Usage(call);
  const std::string keep = KeepServerForTheNextDevice();
  std::string message;
  if (!mHost.DeleteDevice(&message)) return Error(message);
  return Ok(message + keep);
}

CommandAnswer CommandInterpreter::NewScene(const Call& call) {
  if (!call.mArgs.empty()) return Usage(call);
  const std::string keep = KeepServerForTheNextDevice();
  std::string message;
  if (!mHost.NewScene(&message)) return Error(message);
  return Ok(message + keep);
}

std::string CommandInterpreter::KeepServerForTheNextDevice() {
  if (!mHost.HasDevice()) return "";
  mPendingAddress = mHost.AddressText();
  mPendingPort = mHost.PortText();
  mHasPendingServer = true;
  return "; the next device gets " + mPendingAddress + ":" + mPendingPort;
}

CommandAnswer CommandInterpreter::Characters(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
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

CommandAnswer CommandInterpreter::Record(const Call& call) {
  const Args& args = call.mArgs;
  if (args.size() == 1 && args[0] == "start") {
    std::string message;
    if (!mHost.StartRecording(&message)) return Error(message);
    return Ok(message + " until record stop");
  }
  if (args.size() == 1 && args[0] == "stop") {
    RecordStats stats;
    std::string message;
    return mHost.StopRecording(&stats, &message) ? Ok(message) : Error(message);
  }
  double seconds = mHost.Options().mSeconds;
  if (args.size() > 1 || (args.size() == 1 && !ParseSeconds(args[0], &seconds))) {
    return Usage(call);
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

CommandAnswer CommandInterpreter::Export(const Call& call) {
  // The rest of the line, blanks and all, is the path.
  const std::string path = call.mArgs.empty() ? mHost.Options().mOutPath : call.mRest;
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

CommandAnswer CommandInterpreter::Health(const Call& call) {
  const Args& args = call.mArgs;
  if (args.size() > 1 || (args.size() == 1 && args[0] != "json")) return Usage(call);
  const std::string status = mHost.HealthStatus();
  if (!args.empty()) return Ok(mHost.Health().SummaryJson(HeadlessHost::NowUs()));
  // The status has one line per actor and a wire line; the answer stays one line, after what the
  // device itself shows.
  std::string text;
  if (mHost.HasDevice()) {
    text = "device " + Quote(mHost.DeviceStatus()) + ": " + Quote(mHost.DeviceInformation());
  }
  for (const std::string& line : SplitLines(status)) text += (text.empty() ? "" : " | ") + line;
  return Ok(text);
}

// ---- The rest ----

CommandAnswer CommandInterpreter::Status(const Call& call) {
  const Args& args = call.mArgs;
  if (!args.empty()) return Usage(call);
  std::string text = mHost.IsPluginLoaded() ? "plug-in loaded" : "no plug-in";
  if (mHost.IsServing()) text += "; serving on 127.0.0.1:" + std::to_string(mHost.ServerPort());
  text += "; host version " + Format(mHost.HostVersion());
  if (!mHost.HasDevice()) return Ok(text + "; no device");
  text += std::string("; device ") + (mHost.IsOnline() ? "online" : "offline");
  text += ", Status " + Quote(mHost.DeviceStatus()) + " Information " +
          Quote(mHost.DeviceInformation());
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

CommandAnswer CommandInterpreter::Idle(const Call& call) {
  const Args& args = call.mArgs;
  long long count = 1;
  if (args.size() > 1 ||
      (args.size() == 1 &&
       !ReadInteger(args[0], 1LL, static_cast<long long>(kMaxIdleEvents), &count))) {
    return Usage(call);
  }
  long long fired = 0;
  const HeadlessHost::WaitResult result =
      mHost.IdleUntil([&] { return ++fired >= count; }, kMaxCommandSeconds);
  if (result == HeadlessHost::WaitResult::kInterrupted) return Error("interrupted");
  return Ok(std::to_string(fired) + (fired == 1 ? " idle event" : " idle events"));
}

CommandAnswer CommandInterpreter::Sleep(const Call& call) {
  const Args& args = call.mArgs;
  double seconds = 0;
  if (args.size() != 1 || !ParseSeconds(args[0], &seconds)) {
    return Usage(call);
  }
  const HeadlessHost::WaitResult result = mHost.IdleUntil([] { return false; }, seconds);
  if (result == HeadlessHost::WaitResult::kInterrupted) return Error("interrupted");
  return Ok("slept " + Format(seconds) + " s");
}

CommandAnswer CommandInterpreter::Answer(const Call& call) {
  const Args& args = call.mArgs;
  if (args.empty()) return Usage(call);
  std::vector<int> answers;
  for (const std::string& arg : args) {
    long long answer = 0;
    if (!ReadInteger(arg, 1LL, static_cast<long long>(kMaxButtons), &answer)) return Usage(call);
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

}  // namespace kmq

// The "wait" command and its conditions: the panel's actor list filled, the header the panel
// said is in, templates below "Reference", a character characterized, frames received. Each
// fires the panel's idle event until its condition holds or the seconds pass.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "command_interpreter.h"
#include "command_text.h"
#include "host_text.h"
#include "kovrim_texts.h"

namespace kmq {
namespace {

using kovrim_texts::kCharacterizedAlreadyText;
using kovrim_texts::kHeaderDoneText;
using kovrim_texts::kNoModelText;

std::string WaitFailure(HeadlessHost::WaitResult result, const std::string& what, double seconds) {
  if (result == HeadlessHost::WaitResult::kInterrupted) return "interrupted";
  return what + " within " + Format(seconds) + " s";
}

}  // namespace

using namespace command_text;
using WaitResult = HeadlessHost::WaitResult;

const std::vector<CommandInterpreter::WaitCondition>& CommandInterpreter::WaitConditions() {
  using C = CommandInterpreter;
  static const std::vector<WaitCondition> conditions = {
      {"actors", false, &C::WaitForActors},
      {"header", false, &C::WaitForHeader},
      {"templates", false, &C::WaitForTemplates},
      {"characterized", false, &C::WaitForCharacterized},
      {"frames", true, &C::WaitForFrames},
  };
  return conditions;
}

CommandAnswer CommandInterpreter::Wait(const Call& call) {
  const Args& args = call.mArgs;
  if (args.empty()) return UsageAlone(call);
  const std::vector<WaitCondition>& conditions = WaitConditions();
  const auto condition =
      std::find_if(conditions.begin(), conditions.end(),
                   [&](const WaitCondition& entry) { return args[0] == entry.mWhat; });
  if (condition == conditions.end()) return UsageAlone(call);
  size_t secondsAt = 1;
  long long count = 0;
  if (condition->mCounted) {
    if (args.size() < 2 || !ReadInteger(args[1], 1LL, LLONG_MAX, &count)) return UsageAlone(call);
    secondsAt = 2;
  }
  double seconds = mHost.Options().mTimeout;
  if (args.size() > secondsAt + 1) return UsageAlone(call);
  if (args.size() == secondsAt + 1 && !ParseSeconds(args[secondsAt], &seconds)) {
    return Usage(call);
  }
  if (!mHost.HasDevice()) return Error("no device yet (create it with device)");
  return (this->*condition->mWait)(count, seconds);
}

CommandAnswer CommandInterpreter::WaitForActors(long long, double seconds) {
  const WaitResult result = mHost.IdleUntil([this] { return !mHost.Actors().empty(); }, seconds);
  if (result != WaitResult::kDone) return Error(WaitFailure(result, "no actor offered", seconds));
  const std::vector<ActorItem> actors = mHost.Actors();
  auto chosen = std::find_if(actors.begin(), actors.end(),
                             [](const ActorItem& actor) { return actor.mSelected; });
  return Ok(std::to_string(actors.size()) + " offered; " +
            (chosen != actors.end() ? Quote(chosen->mName) + " chosen" : "none chosen"));
}

CommandAnswer CommandInterpreter::WaitForHeader(long long, double seconds) {
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

CommandAnswer CommandInterpreter::WaitForTemplates(long long, double seconds) {
  const WaitResult result = mHost.IdleUntil([this] { return mHost.TemplateCount() > 0; }, seconds);
  if (result != WaitResult::kDone) return Error(WaitFailure(result, "no templates", seconds));
  return Ok(std::to_string(mHost.TemplateCount()) + " templates below \"Reference\", root " +
            Quote(mHost.TemplateRootName()));
}

CommandAnswer CommandInterpreter::WaitForCharacterized(long long, double seconds) {
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

CommandAnswer CommandInterpreter::WaitForFrames(long long frames, double seconds) {
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

}  // namespace kmq

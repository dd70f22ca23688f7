#include "headless_host.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <utility>

#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include "bvh.h"
#include "console_platform.h"
#include "contact_sheet.h"
#include "host_text.h"
#include "svg_to_png.h"

namespace kmq {
namespace {

// The plug-in's text when it cannot connect.
constexpr const char* kConnectFailureText = "Can not connect to this address.";
constexpr std::chrono::milliseconds kProgressPeriod(250);

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

int CountTemplates(FBModelTemplate* modelTemplate) {
  int count = 0;
  for (int i = 0; i < modelTemplate->Children.GetCount(); ++i) {
    count += 1 + CountTemplates(modelTemplate->Children[i]);
  }
  return count;
}

int CountBound(FBModelTemplate* modelTemplate) {
  int bound = 0;
  for (int i = 0; i < modelTemplate->Children.GetCount(); ++i) {
    FBModelTemplate* child = modelTemplate->Children[i];
    bound += (static_cast<FBModel*>(child->Model) != nullptr ? 1 : 0) + CountBound(child);
  }
  return bound;
}

int KeyCount(FBPropertyAnimatable& property) {
  FBAnimationNode* node = property.GetAnimationNode();
  return node != nullptr ? static_cast<int>(node->KeyCount) : 0;
}

std::vector<TakeKey> Keys(FBModel* model, const char* channel) {
  std::vector<TakeKey> keys;
  for (const fbsdk_control::RecordedKey& recorded : fbsdk_control::RecordedKeys(model, channel)) {
    TakeKey key;
    key.mTicks = recorded.mTime.Get();
    for (int i = 0; i < 3; ++i) key.mValue[i] = recorded.mValue[i];
    keys.push_back(key);
  }
  return keys;
}

// Writes text to path through path.part, so a failed write leaves no half file.
bool WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (!ReplaceFileWith(temporary, path)) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

std::string FileName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// text as a JSON string literal.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonPathOrNull(const std::string& path) {
  return path.empty() ? "null" : JsonString(path);
}

}  // namespace

std::string ContactSheetPathFor(const std::string& takePath) {
  const std::string suffix = ".bvh";
  const size_t slash = takePath.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (takePath.size() > nameStart + suffix.size() &&
      takePath.compare(takePath.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return takePath.substr(0, takePath.size() - suffix.size()) + ".svg";
  }
  return takePath + ".svg";
}

std::string SessionJson(const SessionResult& result, const std::string& healthJson) {
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.3f", result.mRecordedSeconds);
  std::string json = "{";
  json += "\"exit_code\":" + std::to_string(result.mExitCode);
  json += ",\"message\":" + JsonString(result.mMessage);
  json += ",\"server\":" + JsonString(result.mServer);
  json += ",\"actor\":" + JsonString(result.mActorName);
  json += ",\"seconds\":" + std::string(seconds);
  json += ",\"samples_received\":" + std::to_string(result.mSamplesReceived);
  json += ",\"frames\":" + std::to_string(result.mTake.mFrames);
  json += ",\"keys\":" + std::to_string(result.mKeysRecorded);
  json += ",\"take\":" + JsonPathOrNull(result.mOutPath);
  json += ",\"contact_sheet\":" + JsonPathOrNull(result.mContactSheetPath);
  json += ",\"contact_sheet_png\":" + JsonPathOrNull(result.mContactSheetPngPath);
  json += ",\"contact_sheet_problem\":" + JsonString(result.mContactSheetProblem);
  json += ",\"silence_warnings\":" + std::to_string(result.mSilenceWarnings);
  json += ",\"health\":" + (healthJson.empty() ? std::string("null") : healthJson);
  return json + "}";
}

void RequestHeadlessStop() { gStopRequested = true; }
bool HeadlessStopRequested() { return gStopRequested; }
void ClearHeadlessStop() { gStopRequested = false; }

// ---- HeadlessHost ----

HeadlessHost::HeadlessHost(HostOptions options)
    : mOptions(std::move(options)), mTap(mOptions.mSilenceMs), mPanel(&mTap) {}

HeadlessHost::~HeadlessHost() { Release(); }

void HeadlessHost::Release() {
  if (mThreads) mThreads->Stop();
  mThreads.reset();
  if (mRecording) {
    FBPlayerControl::TheOne().Stop();
    mClock.Stop();
    mRecording = false;
  }
  mTap.SetServedRoot(nullptr);
  FBDevice* device = mPanel.Device();
  if (device != nullptr && static_cast<bool>(device->Online)) device->Online = false;
  if (device != nullptr) mTap.ReportOnline(false);
  mPanel.Destroy();
  // Waits for a tap call still under way, so the monitor is left alone from here on.
  mTap.Remove();
  DeleteSkeleton();
  mServer.Stop();
  mPlugin.Close();
}

// ---- The motion server ----

bool HeadlessHost::ServeCaptures(const std::vector<std::string>& paths, std::string* message) {
  return mServer.Serve(paths, message);
}

// ---- Plug-in, device and panel ----

bool HeadlessHost::LoadPlugin(const std::string& path, std::string* message) {
  return mPlugin.Load(path, message);
}

bool HeadlessHost::SetHostVersion(double version, std::string* message) {
  if (mPanel.Device() != nullptr) {
    return Fail(message, "the panel is made already; the version counts for a new panel only");
  }
  mPlugin.SetHostVersion(version);
  return Done(message, "host version " + Format(version));
}

double HeadlessHost::HostVersion() const { return PluginLoader::HostVersion(); }

bool HeadlessHost::CreateDevice(std::string* message) {
  if (mPanel.HasDevice()) return Fail(message, "the device exists already");
  if (!mPlugin.IsLoaded()) return Fail(message, "no plug-in loaded (load it with load)");
  if (!mPanel.Create(message)) return false;
  mTap.Install();
  mThreads = std::make_unique<RealTimeThreads>(
      mPanel.Device(), &mClock, mOptions.mIoPeriodMs, mOptions.mDisplayRate,
      [this](bool evaluated) { mTap.AfterEvaluation(evaluated); });
  mThreads->Start();
  return true;
}

// ---- The user on the panel ----

bool HeadlessHost::TypeAddress(const std::string& text, std::string* message) {
  return mPanel.TypeAddress(text, message);
}

bool HeadlessHost::TypePort(const std::string& text, std::string* message) {
  return mPanel.TypePort(text, message);
}

bool HeadlessHost::ChooseActor(int index, std::string* message) {
  return mPanel.ChooseActor(index, message);
}

bool HeadlessHost::Click(PanelButton button, std::string* message) {
  return mPanel.Click(button, message);
}

bool HeadlessHost::SetTPose(bool on, bool* clicked, std::string* message) {
  return mPanel.SetTPose(on, clicked, message);
}

// ---- The host ----

bool HeadlessHost::SetOnline(bool online, std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  if (static_cast<bool>(mPanel.Device()->Online) == online) {
    return Done(message,
                std::string("the device is ") + (online ? "online" : "offline") + " already");
  }
  const size_t boxesBefore = BoxCount();
  if (mThreads) mThreads->PauseIo();
  HealthTap::UiCall(&mTap).Run([&] {
    mPanel.Device()->Online = online;
    return true;
  });
  if (mThreads) mThreads->ResumeIo();
  mTap.ReportOnline(static_cast<bool>(mPanel.Device()->Online));
  if (static_cast<bool>(mPanel.Device()->Online) != online) {
    if (!online) return Fail(message, "the device stayed online");
    std::string reported;
    for (const auto& box : BoxesSince(boxesBefore)) {
      if (box.message == kConnectFailureText) reported = box.message;
    }
    return Fail(message, reported.empty() ? std::string("the device did not go online")
                                          : "the plug-in reported \"" + reported + "\"");
  }
  return Done(message, std::string("the device is ") + (online ? "online" : "offline"));
}

bool HeadlessHost::IsOnline() const {
  return mPanel.Device() != nullptr && static_cast<bool>(mPanel.Device()->Online);
}

void HeadlessHost::FireIdle() {
  mPanel.FireIdle();
  PollHealth();
}

// ---- Stream health ----

int64_t HeadlessHost::NowUs() { return HealthTap::NowUs(); }

void HeadlessHost::SetHealthListener(std::function<void(const std::string& line)> listener) {
  mTap.SetListener(std::move(listener));
}

void HeadlessHost::PollHealth() {
  if (mPanel.Device() != nullptr) mTap.ReportOnline(IsOnline());
  mTap.Poll();
}

std::string HeadlessHost::HealthStatus() {
  mTap.RecountTraces();
  PollHealth();
  return mTap.Health().StatusLine(NowUs());
}

HeadlessHost::WaitResult HeadlessHost::IdleUntil(const std::function<bool()>& done,
                                                 double seconds) {
  const HostClock::time_point end = HostClock::now() + SecondsToDuration(seconds);
  const HostClock::duration period = SecondsToDuration(mOptions.mIdlePeriodMs / 1000.0);
  while (true) {
    FireIdle();
    if (done()) return WaitResult::kDone;
    if (gStopRequested) return WaitResult::kInterrupted;
    const HostClock::time_point now = HostClock::now();
    if (now >= end) return WaitResult::kTimedOut;
    std::this_thread::sleep_for(std::min<HostClock::duration>(period, end - now));
  }
}

long HeadlessHost::SamplesReceived() const {
  return mPanel.Device() != nullptr ? fbsdk_control::SamplesAcknowledged(mPanel.Device()) : 0;
}

FBModelTemplate* HeadlessHost::ReferenceTemplate() const {
  if (mPanel.Device() == nullptr) return nullptr;
  return mPanel.Device()->ModelTemplate.Children.GetCount() > 0
             ? mPanel.Device()->ModelTemplate.Children[0]
             : nullptr;
}

int HeadlessHost::TemplateCount() const {
  FBModelTemplate* reference = ReferenceTemplate();
  return reference != nullptr ? CountTemplates(reference) : 0;
}

int HeadlessHost::TemplateRootCount() const {
  FBModelTemplate* reference = ReferenceTemplate();
  return reference != nullptr ? reference->Children.GetCount() : 0;
}

std::string HeadlessHost::TemplateRootName() const {
  FBModelTemplate* reference = ReferenceTemplate();
  if (reference == nullptr || reference->Children.GetCount() == 0) return "";
  return static_cast<const char*>(reference->Children[0]->Name);
}

bool HeadlessHost::IsBound() const {
  FBModelTemplate* reference = ReferenceTemplate();
  return reference != nullptr && static_cast<FBModel*>(reference->Model) != nullptr;
}

void HeadlessHost::BuildModels(FBModelTemplate* modelTemplate, FBModel* parent,
                               SkeletonNode* node) {
  node->mName = static_cast<const char*>(modelTemplate->Name);
  node->mModel = fbsdk_control::CreateModel(node->mName.c_str(), parent,
                                            mNameSpace.empty() ? nullptr : mNameSpace.c_str());
  mModels.push_back(node->mModel);
  const int count = modelTemplate->Children.GetCount();
  node->mChildren.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    BuildModels(modelTemplate->Children[i], node->mModel, &node->mChildren[i]);
  }
}

void HeadlessHost::DeleteSkeleton() {
  // The evaluation thread stops reading the root before it goes.
  mTap.SetServedRoot(nullptr);
  // Leaves first, so that no model is moved to the top of the scene on its way out.
  for (auto model = mModels.rbegin(); model != mModels.rend(); ++model) {
    fbsdk_control::DestroyModel(*model);
  }
  mModels.clear();
  mSkeleton.clear();
  mReferenceModel = nullptr;
  mNameSpace.clear();
}

bool HeadlessHost::MakeSkeleton(const std::string& nameSpace, std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  FBModelTemplate* reference = ReferenceTemplate();
  if (reference == nullptr || reference->Children.GetCount() == 0) {
    return Fail(message, "the device has no templates below \"Reference\" yet");
  }
  if (IsBound() && mReferenceModel != nullptr) {
    return Fail(message, "the skeleton is bound: unbind it before making a new one");
  }
  DeleteSkeleton();
  mNameSpace = nameSpace;
  // A model for "Reference" itself, bound as the host binds a device's root template; the joint
  // trees hang below it.
  mReferenceModel = fbsdk_control::CreateModel(static_cast<const char*>(reference->Name), nullptr,
                                               nameSpace.empty() ? nullptr : nameSpace.c_str());
  mModels.push_back(mReferenceModel);
  const int roots = reference->Children.GetCount();
  mSkeleton.resize(static_cast<size_t>(roots));
  for (int i = 0; i < roots; ++i) {
    BuildModels(reference->Children[i], mReferenceModel, &mSkeleton[static_cast<size_t>(i)]);
  }
  const std::string where = nameSpace.empty() ? "" : " in namespace \"" + nameSpace + "\"";
  return Done(message, "skeleton \"Reference\" with " + std::to_string(mModels.size() - 1) +
                           " models below it" + where);
}

bool HeadlessHost::Bind(std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  if (mReferenceModel == nullptr) return Fail(message, "no skeleton yet (make it with skeleton)");
  if (!fbsdk_control::BindSkeleton(mPanel.Device(), mReferenceModel)) {
    return Fail(message, "the scene skeleton could not be bound to the device");
  }
  FBModelTemplate* reference = ReferenceTemplate();
  const int templates = CountTemplates(reference);
  const int bound = CountBound(reference);
  if (bound != templates) {
    return Fail(message, "only " + std::to_string(bound) + " of " + std::to_string(templates) +
                             " templates were bound to the scene skeleton");
  }
  // The model bound below "Reference" for the skeleton's root joint.
  mTap.SetServedRoot(reference->Children.GetCount() > 0
                         ? static_cast<FBModel*>(reference->Children[0]->Model)
                         : nullptr);
  return Done(message, "skeleton of " + std::to_string(templates) + " models bound");
}

bool HeadlessHost::Unbind(std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  if (!IsBound()) return Fail(message, "no skeleton is bound");
  mTap.SetServedRoot(nullptr);
  fbsdk_control::UnbindSkeleton(mPanel.Device());
  if (IsBound()) return Fail(message, "the skeleton is still bound");
  return Done(message, "skeleton unbound");
}

std::vector<CharacterItem> HeadlessHost::Characters() const {
  std::vector<CharacterItem> characters;
  for (FBCharacter* character : fbsdk_control::SceneCharacters()) {
    CharacterItem item;
    item.mName = static_cast<const char*>(character->Name);
    item.mCharacterized = character->GetCharacterize();
    characters.push_back(item);
  }
  return characters;
}

size_t HeadlessHost::BoxCount() { return fbsdk_control::MessageBoxesShown().size(); }

std::vector<fbsdk_control::MessageBoxRecord> HeadlessHost::BoxesSince(size_t first) {
  std::vector<fbsdk_control::MessageBoxRecord> boxes = fbsdk_control::MessageBoxesShown();
  if (first >= boxes.size()) return {};
  return std::vector<fbsdk_control::MessageBoxRecord>(boxes.begin() + static_cast<long>(first),
                                                      boxes.end());
}

// ---- Transport and take ----

int HeadlessHost::CountKeys(const SkeletonNode& node) {
  int keys = KeyCount(node.mModel->Translation) + KeyCount(node.mModel->Rotation);
  for (const SkeletonNode& child : node.mChildren) keys += CountKeys(child);
  return keys;
}

int HeadlessHost::CountKeys() const {
  int keys = 0;
  for (const SkeletonNode& root : mSkeleton) keys += CountKeys(root);
  return keys;
}

bool HeadlessHost::Record(double seconds, const Progress& progress, RecordStats* stats,
                          std::string* message) {
  *stats = RecordStats();
  if (!mPanel.NeedDevice(message)) return false;
  if (!IsBound()) return Fail(message, "no skeleton is bound: nothing would be recorded");
  FBPlayerControl& transport = FBPlayerControl::TheOne();
  const long samplesAtStart = SamplesReceived();
  transport.Record();
  mRecording = true;
  mClock.Play();
  transport.Play();
  const HostClock::time_point start = HostClock::now();
  const HostClock::time_point end = start + SecondsToDuration(seconds);
  HostClock::time_point nextProgress = start;
  const HostClock::duration period = SecondsToDuration(mOptions.mIdlePeriodMs / 1000.0);
  while (HostClock::now() < end && !gStopRequested) {
    FireIdle();
    if (progress && HostClock::now() >= nextProgress) {
      progress(SecondsSince(start), SamplesReceived() - samplesAtStart, CountKeys(), false);
      nextProgress += kProgressPeriod;
    }
    std::this_thread::sleep_for(std::min<HostClock::duration>(period, end - HostClock::now()));
  }
  // No notification may be half way through keying a frame when the transport stops.
  if (mThreads) mThreads->PauseIo();
  transport.Stop();
  mClock.Stop();
  if (mThreads) mThreads->ResumeIo();
  mRecording = false;
  stats->mSeconds = SecondsSince(start);
  stats->mInterrupted = gStopRequested;
  stats->mSamples = SamplesReceived() - samplesAtStart;
  stats->mKeys = CountKeys();
  if (progress) progress(stats->mSeconds, stats->mSamples, stats->mKeys, true);
  return Done(message, "recorded " + Format(stats->mSeconds, 1) +
                           " s: " + std::to_string(stats->mSamples) + " frames received, " +
                           std::to_string(stats->mKeys) + " keys on the skeleton");
}

TakeJoint HeadlessHost::CollectTake(const SkeletonNode& node, int* keys) const {
  TakeJoint joint;
  joint.mName = node.mName;
  joint.mTranslation = Keys(node.mModel, ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
  joint.mRotation = Keys(node.mModel, ANIMATIONNODE_TYPE_LOCAL_ROTATION);
  *keys += static_cast<int>(joint.mTranslation.size() + joint.mRotation.size());
  for (const SkeletonNode& child : node.mChildren) {
    joint.mChildren.push_back(CollectTake(child, keys));
  }
  return joint;
}

TakeJoint HeadlessHost::CollectTake(int* keys) const {
  *keys = 0;
  if (mSkeleton.empty()) return TakeJoint();
  return CollectTake(mSkeleton[0], keys);
}

bool HeadlessHost::WriteTake(const TakeJoint& take, const std::string& path, ExportStats* stats,
                             std::string* message) {
  *stats = ExportStats();
  TakeExportOptions exportOptions;
  exportOptions.mFallbackFrameTime = 1.0 / mOptions.mDisplayRate;
  bvh::Clip clip;
  std::string error;
  if (!BuildClipFromTake(take, exportOptions, &clip, &stats->mTake, &error)) {
    return Fail(message, error);
  }
  stats->mFrameTime = clip.mFrameTime;
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << bvh::WriteBvh(clip);
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      return Fail(message, "cannot write the take to " + path);
    }
  }
  if (!ReplaceFileWith(temporary, path)) {
    std::remove(temporary.c_str());
    return Fail(message, "cannot write the take to " + path);
  }
  stats->mPath = path;
  if (mOptions.mContactSheet) WriteContactSheet(clip, path, stats);
  return Done(message, "Wrote " + path + ": " + std::to_string(stats->mTake.mFrames) +
                           " frames, frame time " + Format(clip.mFrameTime, 6) + " s (" +
                           Format(1.0 / clip.mFrameTime, 1) + " fps), " +
                           std::to_string(stats->mTake.mJoints) + " joints, " +
                           std::to_string(stats->mTake.mEndSites) + " end sites");
}

void HeadlessHost::WriteContactSheet(const bvh::Clip& clip, const std::string& takePath,
                                     ExportStats* stats) {
  const std::string svgPath = ContactSheetPathFor(takePath);
  ContactSheetOptions sheetOptions;
  sheetOptions.mTitle = FileName(takePath);
  const std::string svg = RenderContactSheet(clip, sheetOptions);
  if (svg.empty()) {
    stats->mContactSheetProblem = "the take has no frame to draw";
    return;
  }
  if (!WriteFileAtomically(svgPath, svg)) {
    stats->mContactSheetProblem = "cannot write " + svgPath;
    return;
  }
  stats->mContactSheetPath = svgPath;
  const std::string converter = FindOnPath("rsvg-convert");
  if (converter.empty()) return;
  const std::string pngPath = svgPath.substr(0, svgPath.size() - 4) + ".png";
  if (pngPath == takePath) return;
  if (ConvertToPng(converter, svgPath, pngPath)) {
    stats->mContactSheetPngPath = pngPath;
  } else {
    stats->mContactSheetProblem =
        "rsvg-convert could not make " + pngPath + "; the SVG is complete";
  }
}

bool HeadlessHost::ExportTake(const std::string& path, ExportStats* stats, std::string* message) {
  *stats = ExportStats();
  if (mSkeleton.empty()) return Fail(message, "no skeleton yet: nothing was recorded");
  if (mRecording) return Fail(message, "the transport is still recording");
  int keys = 0;
  const TakeJoint take = CollectTake(&keys);
  if (keys == 0) return Fail(message, "nothing was recorded: the skeleton has no key");
  if (!WriteTake(take, path, stats, message)) return false;
  stats->mKeys = keys;
  return true;
}

void HeadlessHost::StopRealTimeThreads() {
  if (mThreads) mThreads->Stop();
}

// ---- The one-shot session ----

namespace {

// Message lines on stdout (stderr when stdout carries the JSON summary), unless quiet.
class Console {
 public:
  Console(bool quiet, bool json)
      : mQuiet(quiet),
        mOut(json ? stderr : stdout),
        mTerminal(StreamIsTerminal(json ? stderr : stdout)) {}
  void Line(const std::string& text) {
    if (mQuiet) return;
    EndProgress();
    std::fprintf(mOut, "%s\n", text.c_str());
    std::fflush(mOut);
  }
  // The progress lines: rewritten in place on a terminal (each cut to the terminal's width, so
  // that each stays one line), plain lines once a second otherwise.
  void Progress(const std::vector<std::string>& lines, bool force) {
    if (mQuiet || lines.empty()) return;
    if (mTerminal) {
      if (mProgressLines > 1) std::fprintf(mOut, "\033[%dA", mProgressLines - 1);
      std::fprintf(mOut, "\r");
      const size_t width = TerminalWidth();
      for (size_t i = 0; i < lines.size(); ++i) {
        std::fprintf(mOut, "%s%s\033[K", i > 0 ? "\n" : "", Cut(lines[i], width).c_str());
      }
      // A shorter set leaves the former extra lines below; clear them.
      for (int i = static_cast<int>(lines.size()); i < mProgressLines; ++i) {
        std::fprintf(mOut, "\n\033[K");
      }
      if (mProgressLines > static_cast<int>(lines.size())) {
        std::fprintf(mOut, "\033[%dA", mProgressLines - static_cast<int>(lines.size()));
      }
      mProgressLines = static_cast<int>(lines.size());
    } else if (force || HostClock::now() - mLastPlainLine >= std::chrono::seconds(1)) {
      for (const std::string& line : lines) std::fprintf(mOut, "%s\n", line.c_str());
      mLastPlainLine = HostClock::now();
    }
    std::fflush(mOut);
  }
  void EndProgress() {
    if (mProgressLines > 0) std::fprintf(mOut, "\n");
    mProgressLines = 0;
  }

 private:
  size_t TerminalWidth() const {
    const size_t columns = TerminalColumns(mOut);
    return columns > 1 ? columns - 1 : 79;
  }
  // text cut to width bytes, not inside a UTF-8 sequence.
  static std::string Cut(const std::string& text, size_t width) {
    if (text.size() <= width) return text;
    size_t end = width;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
  }

  const bool mQuiet;
  std::FILE* const mOut;
  const bool mTerminal;
  int mProgressLines = 0;  // lines of the progress block shown on the terminal
  HostClock::time_point mLastPlainLine;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The default job: connect, take the actor the panel offers, bind, record, write.
class Session {
 public:
  Session(const HostOptions& options, SessionResult* result)
      : mOptions(options),
        mResult(result),
        mConsole(options.mQuiet, options.mJson),
        mHost(options) {
    mHost.SetHealthListener([this](const std::string& line) { mConsole.Line(line); });
  }

  bool Run() {
    return StartServer() && LoadPlugin() && CreateDevice() && GoOnline() && ChooseActor() &&
           WaitForTemplates() && BindSkeleton() && Record() && WriteTake();
  }

  // The health summary (table on the console, figures in the result, JSON when asked for);
  // before Release, so that it shows the stream as the session left it.
  void Summarize() {
    if (mHost.HasDevice()) mHost.HealthStatus();  // brings online state and traces up to date
    const int64_t now = HeadlessHost::NowUs();
    mResult->mHealth = mHost.Health().Report(now);
    mResult->mHealthTable = FormatSummaryTable(mResult->mHealth);
    mResult->mSilenceWarnings = mHost.SilenceWarnings();
    if (mResult->mHealth.mBytesIn > 0 || mResult->mHealth.mBytesOut > 0) {
      for (const std::string& line : SplitLines(mResult->mHealthTable)) mConsole.Line(line);
    }
    if (mOptions.mJson) {
      mResult->mJson = SessionJson(*mResult, FormatSummaryJson(mResult->mHealth));
      std::printf("%s\n", mResult->mJson.c_str());
      std::fflush(stdout);
    }
  }

  void Release() { mHost.Release(); }

 private:
  bool Fail(int code, const std::string& message) {
    mConsole.EndProgress();
    mResult->mExitCode = code;
    mResult->mMessage = message;
    return false;
  }

  bool StartServer() {
    if (mOptions.mUseServer) {
      mAddress = mOptions.mServerAddress;
      mPort = mOptions.mServerPort;
      return true;
    }
    std::string message;
    if (!mHost.ServeCaptures({mOptions.mBvhPath}, &message)) {
      return Fail(kExitReferenceServer, message);
    }
    mAddress = "127.0.0.1";
    mPort = mHost.ServerPort();
    mConsole.Line(message);
    return true;
  }

  bool LoadPlugin() {
    std::string message;
    if (!mHost.LoadPlugin(mOptions.mPluginPath, &message)) return Fail(kExitPlugin, message);
    if (mHost.PluginRecordsAddedByEntry() > 0) {
      mConsole.Line("warning: the plug-in's entry registered " +
                    std::to_string(mHost.PluginRecordsAddedByEntry()) +
                    " classes again when called a second time");
    }
    mConsole.Line(message);
    return true;
  }

  bool CreateDevice() {
    std::string message;
    return mHost.CreateDevice(&message) || Fail(kExitPlugin, message);
  }

  bool GoOnline() {
    mResult->mServer = mAddress + ":" + std::to_string(mPort);
    std::string message;
    if (!mHost.TypeAddress(mAddress, &message) ||
        !mHost.TypePort(std::to_string(mPort), &message)) {
      return Fail(kExitPlugin, "the panel's address and port cannot be typed into");
    }
    if (!mHost.SetOnline(true, &message)) {
      return Fail(kExitServerUnreachable,
                  "cannot reach the motion server at " + mResult->mServer + ": " + message);
    }
    mConsole.Line("Device online at " + mResult->mServer);
    return true;
  }

  bool ChooseActor() {
    const HeadlessHost::WaitResult offered =
        mHost.IdleUntil([this] { return !mHost.Actors().empty(); }, mOptions.mTimeout);
    if (offered == HeadlessHost::WaitResult::kInterrupted) {
      return Fail(kExitInterrupted, "interrupted");
    }
    if (offered != HeadlessHost::WaitResult::kDone) {
      return Fail(kExitNoActor, "no actor offered by the server at " + mResult->mServer +
                                    " within " + Format(mOptions.mTimeout) + " s");
    }
    // On the first list the panel chooses the first actor itself; a user would pick it otherwise.
    std::vector<ActorItem> actors = mHost.Actors();
    auto chosen = std::find_if(actors.begin(), actors.end(),
                               [](const ActorItem& item) { return item.mSelected; });
    if (chosen == actors.end()) {
      mConsole.Line("The panel chose no actor; choosing the first one");
      std::string message;
      if (!mHost.ChooseActor(0, &message)) {
        return Fail(kExitNoActor, "the panel's actor list cannot be chosen from");
      }
      actors = mHost.Actors();
      chosen = actors.begin();
    }
    mResult->mActorName = chosen->mName;
    return true;
  }

  bool WaitForTemplates() {
    const HeadlessHost::WaitResult built =
        mHost.IdleUntil([this] { return mHost.TemplateCount() > 0; }, mOptions.mTimeout);
    if (built == HeadlessHost::WaitResult::kInterrupted) {
      return Fail(kExitInterrupted, "interrupted");
    }
    if (built != HeadlessHost::WaitResult::kDone) {
      return Fail(kExitNoHeader, "no header for actor \"" + mResult->mActorName + "\" from " +
                                     mResult->mServer + " within " + Format(mOptions.mTimeout) +
                                     " s");
    }
    return true;
  }

  bool BindSkeleton() {
    if (mHost.TemplateRootCount() > 1) {
      mConsole.Line("warning: only the first skeleton below \"Reference\" is recorded");
    }
    std::string message;
    if (!mHost.MakeSkeleton("", &message)) return Fail(kExitRecording, message);
    mResult->mTemplateCount = mHost.TemplateCount();
    if (!mHost.Bind(&message)) return Fail(kExitRecording, message);
    mConsole.Line("Actor \"" + mResult->mActorName + "\": skeleton of " +
                  std::to_string(mResult->mTemplateCount) + " models bound");
    return true;
  }

  void ShowProgress(double elapsed, long samples, int keys, bool final) {
    char line[160];
    std::snprintf(line, sizeof(line),
                  "Recording %5.1f / %.1f s  frames received %6ld  %6.1f fps  keys %8d", elapsed,
                  mOptions.mSeconds, samples, elapsed > 0 ? samples / elapsed : 0.0, keys);
    std::vector<std::string> lines = {line};
    for (std::string& status : SplitLines(mHost.HealthStatus())) {
      lines.push_back("  " + std::move(status));
    }
    mConsole.Progress(lines, final);
  }

  bool Record() {
    RecordStats stats;
    std::string message;
    const bool recorded = mHost.Record(
        mOptions.mSeconds,
        [this](double elapsed, long samples, int keys, bool final) {
          ShowProgress(elapsed, samples, keys, final);
        },
        &stats, &message);
    mConsole.EndProgress();
    if (!recorded) return Fail(kExitRecording, message);
    mResult->mRecordedSeconds = stats.mSeconds;
    mResult->mSamplesReceived = stats.mSamples;
    return true;
  }

  bool WriteTake() {
    // Nothing may touch the take while it is read.
    mHost.StopRealTimeThreads();
    const TakeJoint take = mHost.CollectTake(&mResult->mKeysRecorded);
    if (mResult->mKeysRecorded == 0) {
      return Fail(kExitRecording, "nothing was recorded: the device keyed no frame in " +
                                      Format(mResult->mRecordedSeconds, 1) + " s (" +
                                      std::to_string(mResult->mSamplesReceived) +
                                      " frames received)");
    }
    ExportStats stats;
    std::string message;
    if (!mHost.WriteTake(take, mOptions.mOutPath, &stats, &message)) {
      return Fail(kExitRecording, message);
    }
    mResult->mTake = stats.mTake;
    mResult->mFrameTime = stats.mFrameTime;
    mResult->mOutPath = mOptions.mOutPath;
    mResult->mContactSheetPath = stats.mContactSheetPath;
    mResult->mContactSheetPngPath = stats.mContactSheetPngPath;
    mResult->mContactSheetProblem = stats.mContactSheetProblem;
    mConsole.Line(message);
    if (!stats.mContactSheetPath.empty()) {
      mConsole.Line(
          "Contact sheet: " + stats.mContactSheetPath +
          (stats.mContactSheetPngPath.empty() ? "" : " and " + stats.mContactSheetPngPath));
    }
    if (!stats.mContactSheetProblem.empty()) {
      mConsole.Line("warning: contact sheet: " + stats.mContactSheetProblem);
    }
    if (stats.mTake.mMovingJoints > 0) {
      mConsole.Line("note: " + std::to_string(stats.mTake.mMovingJoints) +
                    " joints moved and were written with position channels");
    }
    return true;
  }

  const HostOptions mOptions;
  SessionResult* const mResult;
  Console mConsole;
  HeadlessHost mHost;
  std::string mAddress;
  int mPort = 0;
};

}  // namespace

bool RunHeadlessSession(const HostOptions& options, SessionResult* result) {
  gStopRequested = false;
  *result = SessionResult();
  Session session(options, result);
  const bool ok = session.Run();
  session.Summarize();
  session.Release();
  return ok;
}

}  // namespace kmq

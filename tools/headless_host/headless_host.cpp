#include "headless_host.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include "bvh.h"
#include "motion_server.h"
#include "plugin_library.h"

namespace kmq {
namespace {

using Clock = std::chrono::steady_clock;

// The names the plug-in registers its device under.
constexpr const char* kDeviceGroup = "Boxes/Devices";
constexpr const char* kDeviceEntry = "Motion quorve (2.0.0.116)";
constexpr const char* kDeviceName = "Kovrim Motion Quorve";
// Regions of the device's panel the user works with.
constexpr const char* kAddressRegion = "Address";
constexpr const char* kPortRegion = "Port";
constexpr const char* kActorListRegion = "RolesName";
// The plug-in's text when it cannot connect.
constexpr const char* kConnectFailureText = "Can not connect to this address.";
// Tag of the actor the in-process server streams.
constexpr uint32_t kReferenceActorTag = 1;
constexpr std::chrono::milliseconds kProgressPeriod(250);

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

Clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// value with decimals digits after the point; a negative count gives the shortest form (%g).
std::string Format(double value, int decimals = -1) {
  char buffer[64];
  if (decimals < 0) {
    std::snprintf(buffer, sizeof(buffer), "%g", value);
  } else {
    std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
  }
  return buffer;
}

// The host's transport clock: local time runs while the transport plays and stands still
// otherwise. The UI thread plays and stops it; the device I/O and evaluation threads read it.
class SessionClock {
 public:
  FBTime LocalTime() const {
    std::lock_guard<std::mutex> lock(mMutex);
    FBTime time;
    if (mPlaying) {
      time.SetSecondDouble(mHeldSeconds + SecondsSince(mOrigin));
    } else {
      time.SetSecondDouble(mHeldSeconds);
    }
    return time;
  }
  void Play() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mPlaying) return;
    mOrigin = Clock::now();
    mPlaying = true;
  }
  void Stop() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mPlaying) return;
    mHeldSeconds += SecondsSince(mOrigin);
    mPlaying = false;
  }
  bool IsPlaying() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPlaying;
  }

 private:
  mutable std::mutex mMutex;
  bool mPlaying = false;      // guarded by mMutex
  Clock::time_point mOrigin;  // guarded by mMutex: when the transport last started
  double mHeldSeconds = 0;    // guarded by mMutex: local time when it last started
};

// The host's two real-time threads around one device: the device I/O thread notifies the device
// every I/O period with the clock's local time; the evaluation thread runs an evaluation pass at
// the display rate. Started and stopped by the UI thread.
class RealTimeThreads {
 public:
  RealTimeThreads(FBDevice* device, const SessionClock* clock, double ioPeriodMs,
                  double displayRate)
      : mDevice(device),
        mClock(clock),
        mIoPeriod(Seconds(ioPeriodMs / 1000.0)),
        mEvaluationPeriod(Seconds(1.0 / displayRate)) {}
  ~RealTimeThreads() { Stop(); }
  RealTimeThreads(const RealTimeThreads&) = delete;
  RealTimeThreads& operator=(const RealTimeThreads&) = delete;

  void Start() {
    mIo = std::thread([this] { Loop(mIoPeriod, [this] { NotifyIo(); }); });
    mEvaluation = std::thread([this] {
      Loop(mEvaluationPeriod,
           [this] { fbsdk_control::EvaluateDevice(mDevice, mClock->LocalTime()); });
    });
  }
  // Joins both threads; afterwards nothing touches the device. Idempotent.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mStopping = true;
    }
    mWake.notify_all();
    if (mIo.joinable()) mIo.join();
    if (mEvaluation.joinable()) mEvaluation.join();
  }

 private:
  void NotifyIo() {
    const FBDevice::kDeviceIOs action =
        mClock->IsPlaying() ? FBDevice::kIOPlayModeRead : FBDevice::kIOStopModeRead;
    fbsdk_control::RunDeviceIO(mDevice, mClock->LocalTime(), action);
  }

  // Runs step once per period on a fixed schedule; a late step moves the schedule instead of
  // bursting to catch up.
  void Loop(Clock::duration period, const std::function<void()>& step) {
    Clock::time_point next = Clock::now();
    std::unique_lock<std::mutex> lock(mMutex);
    while (!mStopping) {
      lock.unlock();
      step();
      lock.lock();
      next += period;
      const Clock::time_point now = Clock::now();
      if (next + period < now) next = now;
      mWake.wait_until(lock, next, [this] { return mStopping; });
    }
  }

  FBDevice* const mDevice;
  const SessionClock* const mClock;
  const Clock::duration mIoPeriod;
  const Clock::duration mEvaluationPeriod;
  std::mutex mMutex;
  std::condition_variable mWake;  // notified when mStopping is set
  bool mStopping = false;         // guarded by mMutex
  std::thread mIo;
  std::thread mEvaluation;
};

// The control shown in the region named region anywhere in the layout's nested layouts.
FBVisualComponent* FindControl(FBLayout& layout, const char* region) {
  for (const fbsdk_control::RegionInfo& info : fbsdk_control::Regions(layout)) {
    if (info.mControl == nullptr) continue;
    if (info.mName == region) return info.mControl;
    if (FBLayout* inner = FBCast<FBLayout>(info.mControl)) {
      if (FBVisualComponent* found = FindControl(*inner, region)) return found;
    }
  }
  return nullptr;
}

// One model of the scene skeleton and the template it mirrors.
struct SkeletonNode {
  FBModel* mModel = nullptr;
  std::string mName;
  std::vector<SkeletonNode> mChildren;
};

// One message line on stdout, unless quiet.
class Console {
 public:
  explicit Console(bool quiet) : mQuiet(quiet), mTerminal(isatty(STDOUT_FILENO) == 1) {}
  void Line(const std::string& text) {
    if (mQuiet) return;
    EndProgress();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  // The progress line: rewritten in place on a terminal, a plain line once a second otherwise.
  void Progress(const std::string& text, bool force) {
    if (mQuiet) return;
    if (mTerminal) {
      std::printf("\r%s\033[K", text.c_str());
      mProgressShown = true;
    } else if (force || Clock::now() - mLastPlainLine >= std::chrono::seconds(1)) {
      std::printf("%s\n", text.c_str());
      mLastPlainLine = Clock::now();
    }
    std::fflush(stdout);
  }
  void EndProgress() {
    if (mProgressShown) std::printf("\n");
    mProgressShown = false;
  }

 private:
  const bool mQuiet;
  const bool mTerminal;
  bool mProgressShown = false;
  Clock::time_point mLastPlainLine;
};

// One session, on the UI thread. Members are released in Teardown in the host's order.
class Session {
 public:
  Session(const HostOptions& options, SessionResult* result)
      : mOptions(options), mResult(result), mConsole(options.mQuiet) {}
  ~Session() { Teardown(); }

  bool Run() {
    if (!StartServer() || !LoadPlugin() || !CreateDeviceAndPanel() || !GoOnline()) return false;
    mThreads = std::make_unique<RealTimeThreads>(mDevice, &mClock, mOptions.mIoPeriodMs,
                                                 mOptions.mDisplayRate);
    mThreads->Start();
    if (!ChooseActor() || !WaitForTemplates() || !BindSkeleton() || !Record()) return false;
    // Nothing may touch the take while it is read.
    mThreads->Stop();
    return WriteTake();
  }

  // Releases everything in the host's order; idempotent.
  void Teardown() {
    if (mThreads) mThreads->Stop();
    mThreads.reset();
    if (mRecording) {
      FBPlayerControl::TheOne().Stop();
      mClock.Stop();
      mRecording = false;
    }
    if (mDevice != nullptr && static_cast<bool>(mDevice->Online)) mDevice->Online = false;
    if (mLayout != nullptr) fbsdk_control::DestroyDeviceLayout(mLayout);
    mLayout = nullptr;
    if (mDevice != nullptr) fbsdk_control::DestroyDevice(mDevice);
    mDevice = nullptr;
    // Leaves first, so that no model is moved to the top of the scene on its way out.
    for (auto model = mModels.rbegin(); model != mModels.rend(); ++model) {
      fbsdk_control::DestroyModel(*model);
    }
    mModels.clear();
    mSkeleton = SkeletonNode();
    if (mServer) mServer->Stop();
    mServer.reset();
    mPlugin.Close();
  }

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
    bvh::Clip clip;
    std::string error;
    if (!bvh::ParseBvhFile(mOptions.mBvhPath, &clip, &error)) {
      return Fail(kExitReferenceServer, "cannot read the capture to stream: " + error);
    }
    ServerOptions serverOptions;
    serverOptions.mPort = 0;
    serverOptions.mQuiet = true;
    mServer = std::make_unique<MotionServer>(serverOptions);
    std::string name = mOptions.mBvhPath.substr(mOptions.mBvhPath.find_last_of('/') + 1);
    name = name.substr(0, name.find_last_of('.'));
    if (name.empty()) name = "actor";
    if (!mServer->AddActor(kReferenceActorTag, name, std::move(clip), &error) ||
        !mServer->Start(&error)) {
      return Fail(kExitReferenceServer, "cannot start the reference server: " + error);
    }
    mAddress = "127.0.0.1";
    mPort = mServer->Port();
    mConsole.Line("Reference server streaming " + mOptions.mBvhPath + " on " + mAddress + ":" +
                  std::to_string(mPort));
    return true;
  }

  bool LoadPlugin() {
    std::string error;
    if (!mPlugin.Open(mOptions.mPluginPath, &error)) {
      return Fail(kExitPlugin, "cannot load the plug-in " + mOptions.mPluginPath + ": " + error);
    }
    if (mPlugin.RecordsAddedByEntry() > 0) {
      mConsole.Line("warning: the plug-in's entry registered " +
                    std::to_string(mPlugin.RecordsAddedByEntry()) +
                    " classes again when called a second time");
    }
    mConsole.Line("Loaded the plug-in " + mOptions.mPluginPath);
    return true;
  }

  bool CreateDeviceAndPanel() {
    mDevice = fbsdk_control::CreateDevice(kDeviceEntry, kDeviceName);
    if (mDevice == nullptr) {
      return Fail(kExitPlugin, std::string("the plug-in registers no device \"") + kDeviceEntry +
                                   "\" under " + kDeviceGroup + ", or it could not be created");
    }
    mLayout = fbsdk_control::CreateDeviceLayout(mDevice);
    if (mLayout == nullptr) {
      return Fail(kExitPlugin, "the plug-in registers no panel for its device");
    }
    fbsdk_control::FireShow(*mLayout, true);
    mAddressEdit = FBCast<FBEdit>(FindControl(*mLayout, kAddressRegion));
    mPortEdit = FBCast<FBEdit>(FindControl(*mLayout, kPortRegion));
    mActorList = FBCast<FBList>(FindControl(*mLayout, kActorListRegion));
    if (mAddressEdit == nullptr || mPortEdit == nullptr || mActorList == nullptr) {
      return Fail(kExitPlugin, "the device's panel lacks its address, port or actor controls");
    }
    return true;
  }

  bool GoOnline() {
    mResult->mServer = mAddress + ":" + std::to_string(mPort);
    if (!fbsdk_control::TypeText(*mAddressEdit, mAddress.c_str()) ||
        !fbsdk_control::TypeText(*mPortEdit, std::to_string(mPort).c_str())) {
      return Fail(kExitPlugin, "the panel's address and port cannot be typed into");
    }
    const size_t boxesBefore = fbsdk_control::MessageBoxesShown().size();
    mDevice->Online = true;
    if (!static_cast<bool>(mDevice->Online)) {
      std::string reported;
      const auto boxes = fbsdk_control::MessageBoxesShown();
      for (size_t i = boxesBefore; i < boxes.size(); ++i) {
        if (boxes[i].message == kConnectFailureText) reported = boxes[i].message;
      }
      return Fail(kExitServerUnreachable,
                  "cannot reach the motion server at " + mResult->mServer +
                      (reported.empty() ? std::string(": the device did not go online")
                                        : ": the plug-in reported \"" + reported + "\""));
    }
    mConsole.Line("Device online at " + mResult->mServer);
    return true;
  }

  // Fires the panel's idle event every idle period until done holds, the deadline passes or a
  // stop is requested; returns whether done held.
  bool IdleUntil(const std::function<bool()>& done, double seconds) {
    const Clock::time_point end = Clock::now() + Seconds(seconds);
    const Clock::duration period = Seconds(mOptions.mIdlePeriodMs / 1000.0);
    while (true) {
      fbsdk_control::FireIdle(*mLayout);
      if (done()) return true;
      if (gStopRequested || Clock::now() >= end) return false;
      std::this_thread::sleep_for(period);
    }
  }

  bool ChooseActor() {
    const bool offered =
        IdleUntil([this] { return mActorList->Items.GetCount() > 0; }, mOptions.mTimeout);
    if (gStopRequested) return Fail(kExitInterrupted, "interrupted");
    if (!offered) {
      return Fail(kExitNoActor, "no actor offered by the server at " + mResult->mServer +
                                    " within " + Format(mOptions.mTimeout) + " s");
    }
    // On the first list the panel chooses the first actor itself; a user would pick it otherwise.
    int index = mActorList->ItemIndex;
    if (index < 0 || index >= mActorList->Items.GetCount()) {
      mConsole.Line("The panel chose no actor; choosing the first one");
      if (!fbsdk_control::ChooseItem(*mActorList, 0)) {
        return Fail(kExitNoActor, "the panel's actor list cannot be chosen from");
      }
      index = 0;
    }
    const char* name = mActorList->Items.GetAt(index);
    mResult->mActorName = name != nullptr ? name : "";
    return true;
  }

  FBModelTemplate* ReferenceTemplate() {
    return mDevice->ModelTemplate.Children.GetCount() > 0 ? mDevice->ModelTemplate.Children[0]
                                                          : nullptr;
  }

  bool WaitForTemplates() {
    const bool built = IdleUntil(
        [this] {
          FBModelTemplate* reference = ReferenceTemplate();
          return reference != nullptr && reference->Children.GetCount() > 0;
        },
        mOptions.mTimeout);
    if (gStopRequested) return Fail(kExitInterrupted, "interrupted");
    if (!built) {
      return Fail(kExitNoHeader, "no header for actor \"" + mResult->mActorName + "\" from " +
                                     mResult->mServer + " within " + Format(mOptions.mTimeout) +
                                     " s");
    }
    return true;
  }

  // Mirrors a template and its subtree with new scene models of the same names.
  void BuildModels(FBModelTemplate* modelTemplate, FBModel* parent, SkeletonNode* node) {
    node->mName = static_cast<const char*>(modelTemplate->Name);
    node->mModel = fbsdk_control::CreateModel(node->mName.c_str(), parent);
    mModels.push_back(node->mModel);
    ++mResult->mTemplateCount;
    const int count = modelTemplate->Children.GetCount();
    node->mChildren.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      BuildModels(modelTemplate->Children[i], node->mModel, &node->mChildren[i]);
    }
  }

  static int CountBound(FBModelTemplate* modelTemplate) {
    int bound = static_cast<FBModel*>(modelTemplate->Model) != nullptr ? 1 : 0;
    for (int i = 0; i < modelTemplate->Children.GetCount(); ++i) {
      bound += CountBound(modelTemplate->Children[i]);
    }
    return bound;
  }

  bool BindSkeleton() {
    FBModelTemplate* reference = ReferenceTemplate();
    if (reference->Children.GetCount() > 1) {
      mConsole.Line("warning: only the first skeleton below \"Reference\" is bound");
    }
    // A model for "Reference" itself, bound as the host binds a device's root template; the
    // skeleton hangs below it.
    FBModel* referenceModel =
        fbsdk_control::CreateModel(static_cast<const char*>(reference->Name), nullptr);
    mModels.push_back(referenceModel);
    BuildModels(reference->Children[0], referenceModel, &mSkeleton);
    if (!fbsdk_control::BindSkeleton(mDevice, referenceModel)) {
      return Fail(kExitRecording, "the scene skeleton could not be bound to the device");
    }
    const int bound = CountBound(reference->Children[0]);
    if (bound != mResult->mTemplateCount) {
      return Fail(kExitRecording, "only " + std::to_string(bound) + " of " +
                                      std::to_string(mResult->mTemplateCount) +
                                      " templates were bound to the scene skeleton");
    }
    mConsole.Line("Actor \"" + mResult->mActorName + "\": skeleton of " +
                  std::to_string(mResult->mTemplateCount) + " models bound");
    return true;
  }

  static int KeyCount(FBPropertyAnimatable& property) {
    FBAnimationNode* node = property.GetAnimationNode();
    return node != nullptr ? static_cast<int>(node->KeyCount) : 0;
  }

  int CountKeys(const SkeletonNode& node) {
    int keys = KeyCount(node.mModel->Translation) + KeyCount(node.mModel->Rotation);
    for (const SkeletonNode& child : node.mChildren) keys += CountKeys(child);
    return keys;
  }

  void ShowProgress(Clock::time_point start, long samplesAtStart, bool final) {
    const double elapsed = SecondsSince(start);
    const long samples = fbsdk_control::SamplesAcknowledged(mDevice) - samplesAtStart;
    char line[160];
    std::snprintf(line, sizeof(line),
                  "Recording %5.1f / %.1f s  frames received %6ld  %6.1f fps  keys %8d", elapsed,
                  mOptions.mSeconds, samples, elapsed > 0 ? samples / elapsed : 0.0,
                  CountKeys(mSkeleton));
    mConsole.Progress(line, final);
  }

  bool Record() {
    FBPlayerControl& transport = FBPlayerControl::TheOne();
    const long samplesAtStart = fbsdk_control::SamplesAcknowledged(mDevice);
    transport.Record();
    mRecording = true;
    mClock.Play();
    transport.Play();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + Seconds(mOptions.mSeconds);
    Clock::time_point nextProgress = start;
    const Clock::duration period = Seconds(mOptions.mIdlePeriodMs / 1000.0);
    while (Clock::now() < end && !gStopRequested) {
      fbsdk_control::FireIdle(*mLayout);
      if (Clock::now() >= nextProgress) {
        ShowProgress(start, samplesAtStart, false);
        nextProgress += kProgressPeriod;
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(period, end - Clock::now()));
    }
    transport.Stop();
    mClock.Stop();
    mRecording = false;
    mResult->mRecordedSeconds = SecondsSince(start);
    mResult->mSamplesReceived = fbsdk_control::SamplesAcknowledged(mDevice) - samplesAtStart;
    ShowProgress(start, samplesAtStart, true);
    mConsole.EndProgress();
    return true;
  }

  static std::vector<TakeKey> Keys(FBModel* model, const char* channel) {
    std::vector<TakeKey> keys;
    for (const fbsdk_control::RecordedKey& recorded : fbsdk_control::RecordedKeys(model, channel)) {
      TakeKey key;
      key.mTicks = recorded.mTime.Get();
      for (int i = 0; i < 3; ++i) key.mValue[i] = recorded.mValue[i];
      keys.push_back(key);
    }
    return keys;
  }

  TakeJoint CollectTake(const SkeletonNode& node) {
    TakeJoint joint;
    joint.mName = node.mName;
    joint.mTranslation = Keys(node.mModel, ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
    joint.mRotation = Keys(node.mModel, ANIMATIONNODE_TYPE_LOCAL_ROTATION);
    mResult->mKeysRecorded += static_cast<int>(joint.mTranslation.size() + joint.mRotation.size());
    for (const SkeletonNode& child : node.mChildren) joint.mChildren.push_back(CollectTake(child));
    return joint;
  }

  bool WriteTake() {
    const TakeJoint take = CollectTake(mSkeleton);
    if (mResult->mKeysRecorded == 0) {
      return Fail(kExitRecording, "nothing was recorded: the device keyed no frame in " +
                                      Format(mResult->mRecordedSeconds, 1) + " s (" +
                                      std::to_string(mResult->mSamplesReceived) +
                                      " frames received)");
    }
    TakeExportOptions exportOptions;
    exportOptions.mFallbackFrameTime = 1.0 / mOptions.mDisplayRate;
    bvh::Clip clip;
    std::string error;
    if (!BuildClipFromTake(take, exportOptions, &clip, &mResult->mTake, &error)) {
      return Fail(kExitRecording, error);
    }
    mResult->mFrameTime = clip.mFrameTime;
    // Written beside the target and renamed, so a failed write never leaves half a take.
    const std::string temporary = mOptions.mOutPath + ".part";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << bvh::WriteBvh(clip);
      out.close();
      if (!out) {
        std::remove(temporary.c_str());
        return Fail(kExitRecording, "cannot write the take to " + mOptions.mOutPath);
      }
    }
    if (std::rename(temporary.c_str(), mOptions.mOutPath.c_str()) != 0) {
      std::remove(temporary.c_str());
      return Fail(kExitRecording, "cannot write the take to " + mOptions.mOutPath);
    }
    mResult->mOutPath = mOptions.mOutPath;
    const TakeExportStats& stats = mResult->mTake;
    mConsole.Line("Wrote " + mOptions.mOutPath + ": " + std::to_string(stats.mFrames) +
                  " frames, frame time " + Format(clip.mFrameTime, 6) + " s (" +
                  Format(1.0 / clip.mFrameTime, 1) + " fps), " + std::to_string(stats.mJoints) +
                  " joints, " + std::to_string(stats.mEndSites) + " end sites");
    if (stats.mMovingJoints > 0) {
      mConsole.Line("note: " + std::to_string(stats.mMovingJoints) +
                    " joints moved and were written with position channels");
    }
    return true;
  }

  const HostOptions mOptions;
  SessionResult* const mResult;
  Console mConsole;
  std::string mAddress;
  int mPort = 0;
  std::unique_ptr<MotionServer> mServer;
  PluginLibrary mPlugin;
  FBDevice* mDevice = nullptr;        // host object: destroyed in Teardown
  FBDeviceLayout* mLayout = nullptr;  // host object: destroyed in Teardown
  FBEdit* mAddressEdit = nullptr;     // controls of mLayout
  FBEdit* mPortEdit = nullptr;
  FBList* mActorList = nullptr;
  SessionClock mClock;
  std::unique_ptr<RealTimeThreads> mThreads;
  bool mRecording = false;
  SkeletonNode mSkeleton;
  std::vector<FBModel*> mModels;  // scene models made here, in creation order
};

}  // namespace

void RequestHeadlessStop() { gStopRequested = true; }

#if defined(__SANITIZE_ADDRESS__)
// The loaded plug-in and this program both carry the message classes (see CMakeLists.txt); the
// plug-in binds to this program's copy, so the second definition is never used. AddressSanitizer
// would report it as a violation of the one-definition rule at load time.
extern "C" const char* __asan_default_options() { return "detect_odr_violation=0"; }
#endif

bool RunHeadlessSession(const HostOptions& options, SessionResult* result) {
  gStopRequested = false;
  *result = SessionResult();
  Session session(options, result);
  const bool ok = session.Run();
  session.Teardown();
  return ok;
}

}  // namespace kmq

// The headless host: plays the animation host around the device plug-in. HeadlessHost's
// operations are the user's and the host's actions: load the library, create the device and its
// panel, type into the panel, click its buttons, choose from its list, switch the device online,
// bind a scene skeleton, record and write the take as BVH. RunHeadlessSession is the one-shot job
// built on it. Threads: every HeadlessHost operation runs on the caller's thread, which plays the
// host's user-interface thread; CreateDevice starts the device I/O and evaluation threads, which
// only call RunDeviceIO / EvaluateDevice and read the transport clock, until Release.
// The host watches the motion stream with a StreamHealth fed from the stand-in's socket tap
// (installed while the device exists, on the I/O and user-interface threads) and from the
// evaluation thread (the bound root joint's local translation after each pass); the
// user-interface thread reads it, keeps its online state and trace count current, and warns once
// per silence.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_
#define KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/realtime_threads.h>

#include "host_options.h"
#include "plugin_library.h"
#include "stream_health.h"
#include "take_export.h"

namespace kmq {

// The host's clock and real-time threads come from the stand-in's control API.
using fbsdk_control::HostClock;
using fbsdk_control::RealTimeThreads;
using fbsdk_control::SecondsSince;
using fbsdk_control::SecondsToDuration;
using fbsdk_control::SessionClock;

class MotionServer;

enum HostExitCode {
  kExitOk = 0,
  kExitCommandFailed = 1,  // a script command answered "error"
  kExitUsage = 2,
  kExitPlugin = 3,  // library not loaded, device or panel not created
  kExitServerUnreachable = 4,
  kExitNoActor = 5,
  kExitNoHeader = 6,
  kExitRecording = 7,        // skeleton not bound, nothing recorded, take not written
  kExitReferenceServer = 8,  // the in-process server could not start (bad capture file)
  kExitInterrupted = 130,    // a stop was requested before the recording began
};

struct SessionResult {
  int mExitCode = kExitOk;
  // One line saying what failed; empty on success.
  std::string mMessage;
  std::string mServer;        // "ADDR:PORT" the device connected to
  std::string mActorName;     // the actor chosen in the panel
  int mTemplateCount = 0;     // templates below "Reference" (joints and end sites)
  long mSamplesReceived = 0;  // samples the device acknowledged while recording
  double mRecordedSeconds = 0;
  int mKeysRecorded = 0;  // keys on all channels of the skeleton
  TakeExportStats mTake;
  double mFrameTime = 0;
  std::string mOutPath;
  // The contact sheet written beside the take ("" when none), and why it or its PNG is missing
  // ("" when nothing went wrong or it was turned off).
  std::string mContactSheetPath;
  std::string mContactSheetPngPath;
  std::string mContactSheetProblem;
  // The stream's health at the end of the session (also when it failed after the device was
  // made), as a report, the summary table, and silence warnings printed.
  StreamHealthReport mHealth;
  std::string mHealthTable;
  int mSilenceWarnings = 0;
  // With HostOptions::mJson: the one JSON object printed on stdout (SessionJson).
  std::string mJson;
};

// The session's summary as one JSON object: exit_code, message, server, actor, seconds,
// samples_received, frames, keys, take, contact_sheet, contact_sheet_png (null when not written),
// contact_sheet_problem, silence_warnings, and health (StreamHealth::SummaryJson).
std::string SessionJson(const SessionResult& result, const std::string& healthJson);

// Where the contact sheet of the take at takePath goes: ".bvh" replaced by ".svg", or ".svg"
// appended to any other name.
std::string ContactSheetPathFor(const std::string& takePath);

// Runs one whole session. Returns true on success; otherwise result->mExitCode and
// result->mMessage say what failed. Everything the session created is released before it returns:
// the device is offline, panel and device are destroyed, the scene models are deleted and the
// plug-in library is closed.
bool RunHeadlessSession(const HostOptions& options, SessionResult* result);

// Asks a running session to stop recording early (as at the end of the recording time), and a
// HeadlessHost to end its current wait; the take recorded so far is kept. Safe from a signal
// handler.
void RequestHeadlessStop();
bool HeadlessStopRequested();
void ClearHeadlessStop();

// One item of the panel's actor list as the user sees it.
struct ActorItem {
  int mIndex = 0;
  long long mTag = 0;  // the item's reference: the actor's tag
  std::string mName;
  bool mSelected = false;  // the item the list shows as chosen
};

struct CharacterItem {
  std::string mName;
  bool mCharacterized = false;
};

// A control of the panel the user can act on.
struct PanelControl {
  std::string mRegion;   // the region showing it
  std::string mCaption;  // a button's text; empty for edits and lists
  std::string mKind;     // "edit", "button", "check box" or "list"
};

struct RecordStats {
  double mSeconds = 0;
  long mSamples = 0;  // samples the device acknowledged meanwhile
  int mKeys = 0;      // keys on the skeleton's channels after the recording
  bool mInterrupted = false;
};

struct ExportStats {
  TakeExportStats mTake;
  double mFrameTime = 0;
  int mKeys = 0;
  std::string mPath;
  // The contact sheet beside the take and its PNG ("" when not written), and what went wrong
  // with either ("" when nothing, or when the sheet is turned off).
  std::string mContactSheetPath;
  std::string mContactSheetPngPath;
  std::string mContactSheetProblem;
};

// The panel's buttons.
enum class PanelButton { kRequestHeader, kRebuildSkeleton, kCharacterize };

class HeadlessHost {
 public:
  // Called with the elapsed time, the samples received and the keys so far; final once at the end.
  using Progress = std::function<void(double elapsed, long samples, int keys, bool final)>;
  enum class WaitResult { kDone, kTimedOut, kInterrupted };

  static constexpr const char* kDeviceEntry = "Motion quorve (2.0.0.116)";
  static constexpr const char* kDeviceGroup = "Boxes/Devices";
  static constexpr const char* kDeviceName = "Kovrim Motion Quorve";
  static constexpr const char* kRequestHeaderCaption = "Request Bvh Header";
  static constexpr const char* kRebuildSkeletonCaption = "Rebuild Skeleton Template";
  static constexpr const char* kCharacterizeCaption = "Characterize";
  static constexpr const char* kTPoseCaption = "Stay In T-Pose";
  static constexpr const char* kAddressRegion = "Address";
  static constexpr const char* kPortRegion = "Port";
  static constexpr const char* kActorListRegion = "RolesName";

  explicit HeadlessHost(HostOptions options);
  // Release.
  ~HeadlessHost();
  HeadlessHost(const HeadlessHost&) = delete;
  HeadlessHost& operator=(const HeadlessHost&) = delete;

  const HostOptions& Options() const { return mOptions; }

  // Every operation below returns true when done; *message (when given) then says what was done,
  // and otherwise why nothing was.

  // ---- The motion server ----
  // Starts the reference server on a free port of 127.0.0.1 streaming each capture as one actor
  // (tags 1, 2, ... named after the files' stems). Fails when one is already running.
  bool ServeCaptures(const std::vector<std::string>& paths, std::string* message);
  bool IsServing() const { return mServer != nullptr; }
  int ServerPort() const;

  // ---- Plug-in, device and panel ----
  bool LoadPlugin(const std::string& path, std::string* message);
  bool IsPluginLoaded() const { return mPlugin.IsOpen(); }
  // Registrations the library entry added when called a second time (0 for a sound plug-in).
  int PluginRecordsAddedByEntry() const { return mPlugin.RecordsAddedByEntry(); }
  // The host version the panel sees when it is created (only before CreateDevice).
  bool SetHostVersion(double version, std::string* message);
  double HostVersion() const;
  // Creates the device and its panel through the host's registry, shows the panel and starts the
  // real-time threads.
  bool CreateDevice(std::string* message);
  bool HasDevice() const { return mDevice != nullptr; }
  FBDevice* Device() const { return mDevice; }

  // ---- The user on the panel ----
  bool TypeAddress(const std::string& text, std::string* message);
  bool TypePort(const std::string& text, std::string* message);
  std::string AddressText() const;
  std::string PortText() const;
  std::vector<ActorItem> Actors() const;
  bool ChooseActor(int index, std::string* message);
  bool Click(PanelButton button, std::string* message);
  bool HasButton(PanelButton button) const { return ButtonFor(button) != nullptr; }
  // Clicks "Stay In T-Pose" when its state differs from on; *clicked says whether it did.
  bool SetTPose(bool on, bool* clicked, std::string* message);
  bool TPoseChecked() const;
  // Every control of the panel the user can act on, and the regions of those acted on so far.
  std::vector<PanelControl> PanelControls() const;
  const std::set<std::string>& DrivenControls() const { return mDriven; }

  // ---- The host ----
  // The device's Online property: true connects, false disconnects.
  bool SetOnline(bool online, std::string* message);
  bool IsOnline() const;
  void FireIdle();
  // Fires the panel's idle event every idle period until done() holds, seconds pass or a stop is
  // requested; done is checked before the first event and after each. Without a panel it only
  // waits.
  WaitResult IdleUntil(const std::function<bool()>& done, double seconds);
  // Samples the device acknowledged since it was created.
  long SamplesReceived() const;
  // Templates below "Reference" (joints and end sites); 0 without a device.
  int TemplateCount() const;
  // Joint trees below "Reference" (one for a sound header).
  int TemplateRootCount() const;
  // The first template below "Reference", or "" when none.
  std::string TemplateRootName() const;
  // Whether "Reference" is bound to a scene model.
  bool IsBound() const;
  // Makes a scene skeleton that mirrors the templates: a model named "Reference" with one model
  // per template below it, same names and nesting, in nameSpace when not empty. A skeleton made
  // before is deleted first, so it must not be bound.
  bool MakeSkeleton(const std::string& nameSpace, std::string* message);
  bool HasSkeleton() const { return mReferenceModel != nullptr; }
  std::string SkeletonNameSpace() const { return mNameSpace; }
  // Binds the skeleton as the host's 'Model binding' control does; fails unless every template
  // is bound.
  bool Bind(std::string* message);
  bool Unbind(std::string* message);
  std::vector<CharacterItem> Characters() const;
  // Message boxes shown since the host's last reset, and those from index first on.
  static size_t BoxCount();
  static std::vector<fbsdk_control::MessageBoxRecord> BoxesSince(size_t first);

  // ---- Transport and take ----
  // Arms recording and plays the transport for seconds (less when a stop is requested), firing
  // the panel's idle event meanwhile; then stops and waits until the I/O thread can add no key.
  bool Record(double seconds, const Progress& progress, RecordStats* stats, std::string* message);
  // Keys now on the skeleton's channels.
  int CountKeys() const;
  // The keys of the skeleton's first joint tree; *keys counts them.
  TakeJoint CollectTake(int* keys) const;
  // Builds the clip from take and writes it to path (beside it first, then renamed, so a failed
  // write never leaves half a take). Unless HostOptions::mContactSheet is off, the take's contact
  // sheet follows (ContactSheetPathFor, and a PNG when rsvg-convert is on the PATH); a sheet that
  // cannot be written leaves the take written and says so in stats and *message.
  bool WriteTake(const TakeJoint& take, const std::string& path, ExportStats* stats,
                 std::string* message);
  // CollectTake and WriteTake; fails when the skeleton has no key.
  bool ExportTake(const std::string& path, ExportStats* stats, std::string* message);
  // Joins the real-time threads; the device is left as it is.
  void StopRealTimeThreads();

  // ---- Stream health ----
  // Steady-clock microseconds, the time base of the health monitor.
  static int64_t NowUs();
  // The monitor; its figures are readable from any thread.
  const StreamHealth& Health() const { return *mHealth; }
  // Receives each silence warning line (user-interface thread, from PollHealth).
  void SetHealthListener(std::function<void(const std::string& line)> listener);
  // Tells the monitor the device's online state (when the plug-in changed it itself) and the
  // trace count, and warns once when no frame has arrived for --silence-ms while online; the
  // warning is given again only after frames came back. FireIdle calls it.
  void PollHealth();
  // PollHealth, then the monitor's status lines (one per actor, then the wire line).
  std::string HealthStatus();
  int SilenceWarnings() const { return mSilenceWarnings; }

  // Releases everything in the host's order: threads joined, transport stopped, device offline,
  // panel and device destroyed, scene models deleted, server stopped, library closed, host
  // version restored. Idempotent.
  void Release();

 private:
  struct SkeletonNode {
    FBModel* mModel = nullptr;
    std::string mName;
    std::vector<SkeletonNode> mChildren;
  };

  FBButton* ButtonFor(PanelButton button) const;
  FBModelTemplate* ReferenceTemplate() const;
  bool NeedDevice(std::string* message) const;
  void BuildModels(FBModelTemplate* modelTemplate, FBModel* parent, SkeletonNode* node);
  void DeleteSkeleton();
  static int CountKeys(const SkeletonNode& node);
  TakeJoint CollectTake(const SkeletonNode& node, int* keys) const;
  // The tap calls back after the socket call, so a reply read by the I/O thread could reach the
  // monitor before the user-interface thread's tap reports the query that caused it. While the
  // user-interface thread is inside the plug-in (a UiCall), incoming bytes are therefore held
  // (with their arrival times) and handed on when it leaves, or once they are kMaxHoldUs old.
  class UiCall {
   public:
    explicit UiCall(HeadlessHost* host);
    ~UiCall();
    UiCall(const UiCall&) = delete;
    UiCall& operator=(const UiCall&) = delete;
    template <typename Call>
    bool Run(const Call& call) {
      return call();
    }

   private:
    HeadlessHost* const mHost;
  };
  struct HeldBytes {
    int64_t mTimeUs = 0;
    int mSocket = -1;
    std::string mBytes;
  };
  static constexpr int64_t kMaxHoldUs = 100000;
  static constexpr size_t kMaxHeldBytes = 1 << 20;
  // Tap entry (I/O and user-interface threads).
  void OnTappedBytes(int socket, bool outgoing, const char* data, int size);
  // Hands the held bytes to the monitor; REQUIRES mIncomingMutex.
  void FeedHeldBytes();
  // Evaluation thread: hands the served root translation to the monitor.
  void AfterEvaluation(bool evaluated);
  // Which model the evaluation thread reads after each pass (nullptr: none).
  void SetServedRoot(FBModel* model);
  void ReportOnline(bool online);
  void WriteContactSheet(const bvh::Clip& clip, const std::string& takePath, ExportStats* stats);

  const HostOptions mOptions;
  // Outlives the socket tap (removed in Release) and the evaluation thread.
  const std::unique_ptr<StreamHealth> mHealth;
  bool mTapInstalled = false;
  bool mHealthOnline = false;   // the online state last told to mHealth
  bool mSilenceWarned = false;  // the current silence was warned about
  int mSilenceWarnings = 0;
  static constexpr int64_t kTraceCountPeriodUs = 250000;
  int64_t mTracesCountedUs = 0;  // when the trace count was last handed to mHealth
  std::function<void(const std::string&)> mHealthListener;
  int mUiDepth = 0;                  // user-interface thread: UiCall nesting
  std::atomic<bool> mUiBusy{false};  // a UiCall is under way
  std::mutex mIncomingMutex;         // one feeder of incoming bytes at a time
  std::vector<HeldBytes> mHeld;      // guarded by mIncomingMutex
  size_t mHeldBytes = 0;             // guarded by mIncomingMutex
  std::mutex mServedRootMutex;
  FBModel* mServedRoot = nullptr;  // guarded by mServedRootMutex: the bound root joint's model
  std::unique_ptr<MotionServer> mServer;
  PluginLibrary mPlugin;
  bool mVersionChanged = false;
  double mSavedVersion = 0;           // the host version before SetHostVersion changed it
  FBDevice* mDevice = nullptr;        // host object: destroyed in Release
  FBDeviceLayout* mLayout = nullptr;  // host object: destroyed in Release
  // Controls of mLayout; the button pointers are null when the panel has no such button.
  FBEdit* mAddressEdit = nullptr;
  FBEdit* mPortEdit = nullptr;
  FBList* mActorList = nullptr;
  FBButton* mRequestHeaderButton = nullptr;
  FBButton* mRebuildButton = nullptr;
  FBButton* mCharacterizeButton = nullptr;
  FBButton* mTPoseBox = nullptr;
  std::set<std::string> mDriven;  // regions of the controls the user acted on
  SessionClock mClock;
  std::unique_ptr<RealTimeThreads> mThreads;
  bool mRecording = false;
  // The scene skeleton: "Reference" and the joint trees below it.
  FBModel* mReferenceModel = nullptr;
  std::vector<SkeletonNode> mSkeleton;
  std::string mNameSpace;
  std::vector<FBModel*> mModels;  // scene models made here, in creation order
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_

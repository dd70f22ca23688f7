// KovrimDevice: the host device that turns the motion server's stream into live animation. It
// owns the server link, the "Reference" model-template tree built from the chosen actor's skeleton
// and the joint list whose output nodes feed the bound skeleton.
//
// Threads: the host's user-interface thread runs the factory, the creation hook, DeviceOperation,
// the skeleton commands, ProcessPending and the application's idle event (EventUIIdle: the link's
// reconnection schedule and the Status and Information properties); the host's device I/O thread
// runs DeviceIONotify; the host's evaluation runs AnimationNodeNotify. No real-time pass ever waits
// for the user-interface thread: each change of mJoints (the first build, a rebuild, device
// operation 5) runs between mJointsGate.BeginChange and EndChange, which waits only for the passes
// already in flight, and a pass that finds the list changing does without it, as while mRebuilding
// is set (the I/O pass reads, acknowledges and lowers the gate without keying; the evaluation
// writes nothing and returns false). Lock order: mJointsGate before the link's mLock (a pass holds
// its place in the gate while the link's getters take mLock; nothing waits for the gate while
// holding mLock), declared with ACQUIRED_BEFORE and checked by clang's -Wthread-safety-beta. Flags
// and counters shared across threads are atomics.
#ifndef KOVRIM_DEVICE_H_
#define KOVRIM_DEVICE_H_

#include <fbsdk/fbsdk.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "kovrim_texts.h"
#include "server_link.h"
#include "thread_annotations.h"

#define KOVRIM_DEVICE_CLASSNAME KovrimDevice
#define KOVRIM_DEVICE_CLASSSTR "KovrimDevice"

// One joint or end site of the skeleton: its template and the two output nodes that carry its
// pose. The nodes and the template belong to the host scene; the device releases them in
// ClearJointTemplates.
struct JointNodes {
  FBAnimationNode* mTranslationNode = nullptr;  // "Lcl Translation" output node
  FBAnimationNode* mRotationNode = nullptr;     // "Lcl Rotation" output node
  FBModelTemplate* mTemplate = nullptr;
  bool mIsEndSite = false;
};

class KovrimDevice : public FBDevice {
  FBDeviceDeclare(KovrimDevice, FBDevice);

 public:
  // Creation hook (UI thread): the empty "Reference" root, sampling mode and period, flags.
  // Also attaches EventUIIdle to the application's idle event; FBDestroy detaches it.
  bool FBCreate() override;
  void FBDestroy() override;

  // UI thread, on every idle tick of the application (FBSystem::OnUIIdle), whatever is shown: the
  // link's KeepConnected, then UpdateStatus.
  void EventUIIdle(HISender pSender, HKEvent pEvent);
  // UI thread. Sets Status to where the connection stands (kovrim_texts::kStatus...) and
  // Information to the chosen actor and its frame rate over the last second, or to what is
  // wrong; each is written only when its text changes.
  void UpdateStatus();
  // The Information text while connected, at now.
  std::string OnlineInformation(ServerLink::Clock::time_point now);
  // Seconds without a frame of the chosen actor after which Information says so.
  static constexpr int kSilenceSeconds = 3;

  // UI thread. 0 nothing; 1 connect; 3 disconnect; 4 connect then disconnect; 5 clear the joint
  // templates; any other code goes to the host base.
  bool DeviceOperation(kDeviceOperations pOperation) override EXCLUDES(mJointsGate);
  // Device I/O thread: drains the link within the pass bounds below, keys each frame of the chosen
  // actor while the host records and an evaluation has happened since the last such frame, and
  // acknowledges every message read.
  void DeviceIONotify(kDeviceIOs pAction, FBDeviceNotifyInfo& pDeviceNotifyInfo) override
      EXCLUDES(mJointsGate);
  // Evaluation: writes the newest pose (or the T-pose) into every joint's output nodes.
  bool AnimationNodeNotify(FBAnimationNode* pAnimationNode, FBEvaluateInfo* pEvaluateInfo) override
      EXCLUDES(mJointsGate);
  // UI thread. When the skeleton bound to "Reference" is released, every bound joint model keeps
  // its current local transform as the candidate of its animation nodes; nothing is frozen while
  // the device is being created, merged, destroyed or cleared with the scene. Always true.
  bool ModelTemplateUnBindNotify(int pIndex, FBModelTemplate* pModelTemplate) override
      EXCLUDES(mJointsGate);

  // UI thread. Removes every joint template and output node and empties mJoints; the "Reference"
  // root stays, without children. One change of the list (waits for passes in flight only).
  void ClearJointTemplates() EXCLUDES(mJointsGate);
  // UI thread. Appends the records of joint's subtree to mJoints and hangs their templates below
  // parent. REQUIRES: a change of the list in progress.
  void BuildJointTemplates(const IvraPlugs::BVH_JOIN& joint, FBModelTemplate* parent)
      REQUIRES(mJointsGate);
  // UI thread. Builds a new "Reference" tree from the link's header, when one was accepted, and
  // installs it in place of the old root, as one change of the list. Always returns true.
  bool RebuildRootTemplate() EXCLUDES(mJointsGate);
  // UI thread. Clears and rebuilds the tree with both real-time paths standing still, then tells
  // the user to bind a skeleton again. Returns the message box's answer.
  int RebuildSkeletonTemplate() EXCLUDES(mJointsGate);
  // UI thread. Asks the server for the chosen actor's header (online only).
  void RequestBvhHeader();
  // UI thread, on every panel idle event: the pending first build, the header acknowledgement,
  // and the characterization once the T-pose has been written long enough.
  void ProcessPending() EXCLUDES(mJointsGate);

  // UI thread. Holds the skeleton in the T-pose and arms the characterization. A request while
  // one is armed keeps the user's saved check-box value.
  void RequestCharacterize();
  // UI thread. Makes a character named after the bound model's namespace, fills its "Link"
  // slots from the bound hierarchy and switches characterization on.
  void Characterize();
  // UI thread. Puts model into the character slot named after it, then its children.
  void LinkModelToCharacter(FBCharacter* pCharacter, FBModel* pModel);
  // The character name for a model's full name: the text before its first ':', or the whole name;
  // when that is empty, the model's own name, or "Character".
  static std::string CharacterName(const char* longName, const char* name);

  // Where the evaluation gate stops counting (far above any real backlog of frames).
  static constexpr int32_t kEvaluationCountLimit = 1 << 30;
  // Bounds of one I/O notification: it reads at most kMaxMessagesPerIoPass messages, and reads
  // another only while the time spent (steady clock, from the start of the pass) plus the dearest
  // message of the pass is under kIoPassTime; the rest wait in the socket for the next
  // notification. The link bounds what one message may cost (kovrim::wire::EntryLimits), so a
  // pass ends within a few milliseconds whatever the server sends.
  static constexpr int kMaxMessagesPerIoPass = 256;
  static constexpr std::chrono::microseconds kIoPassTime{2000};
  // Evaluations of T-pose records after which an armed characterization runs.
  static constexpr uint32_t kCharacterizeThreshold = 512;

  // UI thread. Number of records in mJoints.
  int GetJointCount() EXCLUDES(mJointsGate);

  // ---- Owned by the UI thread. ----
  FBModelTemplate* mRootTemplate = nullptr;  // host object, in the device's model-template list

  // ---- Guarded by mJointsGate. ----
  // Records in pose-index order. Changed on the UI thread inside a change of mJointsGate; walked by
  // the real-time passes that mJointsGate let in, and read by the UI thread between changes.
  std::list<JointNodes> mJoints GUARDED_BY(mJointsGate);

  // ---- Shared, with their own rules: the link guards its tables with mLock and keeps its flags
  // atomic (server_link.h); the player control only reads the host's transport mode.
  ServerLink mLink;
  FBPlayerControl mPlayerControl;

  // ---- Atomics shared by the UI thread and the real-time paths. ----
  std::atomic<uint32_t> mTPoseFrameCount{0};  // raised by the evaluation, reset by the UI thread
  std::atomic<int32_t> mEvaluationCount{0};   // raised by the evaluation, lowered by the I/O thread
  std::atomic<bool> mTemplateRebuildPending{true};
  std::atomic<bool> mHeaderRequestPending{false};
  std::atomic<bool> mStayInTPose{false};
  std::atomic<bool> mSavedStayInTPose{false};
  std::atomic<bool> mCharacterizePending{false};
  std::atomic<bool> mRebuilding{false};

  // ---- Test seam, set only before the device runs: the clock that bounds an I/O pass. ----
  std::function<std::chrono::steady_clock::time_point()> mIoPassClock = [] {
    return std::chrono::steady_clock::now();
  };

  // ---- Owned by the UI thread: the figures behind Information, from the first UpdateStatus. ----
  bool mRateStarted = false;
  ServerLink::Clock::time_point mRateStart;      // start of the frame-rate window
  uint64_t mRateStartFrames = 0;                 // the link's frame count then
  double mFramesPerSecond = 0;                   // over the last whole window
  uint64_t mSeenFrames = 0;                      // the frame count at the last idle tick
  ServerLink::Clock::time_point mLastFrameSeen;  // when it last changed

  // Keeps changes of mJoints (UI thread) and the real-time passes over it apart; a pass never
  // waits on it. Public for tests, which watch it; only the device enters or changes.
  kovrim::PassGate mJointsGate ACQUIRED_BEFORE(mLink.mLock);

 private:
  // Both real-time passes over mJoints.
  void RecordKeys(FBDeviceNotifyInfo& pDeviceNotifyInfo) REQUIRES_SHARED(mJointsGate);
  void WritePose(FBEvaluateInfo* pEvaluateInfo) REQUIRES_SHARED(mJointsGate);
  // The bodies of the changes, run inside one change of mJointsGate.
  void ClearJointTemplatesLocked() REQUIRES(mJointsGate);
  void InstallRootTemplateLocked(const IvraPlugs::BVH_HEADER& header) REQUIRES(mJointsGate);
};

#endif  // KOVRIM_DEVICE_H_

// The host's watch on the motion stream: a StreamHealth fed from the stand-in's socket tap and,
// after each evaluation pass, with the bound root joint's local translation; it keeps the
// monitor's online state and trace count current and warns once per silence.
// Threads: the tap entry runs on the device I/O and user-interface threads, AfterEvaluation on the
// evaluation thread; everything else, UiCall included, belongs to the user-interface thread. The
// monitor's figures are readable from any thread.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HEALTH_TAP_H_
#define KMQ_TOOLS_HEADLESS_HOST_HEALTH_TAP_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>

#include "plugin_call_hook.h"
#include "stream_health.h"
#include "thread_annotations.h"

namespace kmq {

class HealthTap : public PluginCallHook {
 public:
  // silenceMs: how long the stream may stay silent while online before a warning.
  explicit HealthTap(int silenceMs);
  // Remove.
  ~HealthTap() override;
  HealthTap(const HealthTap&) = delete;
  HealthTap& operator=(const HealthTap&) = delete;

  // Steady-clock microseconds, the time base of the monitor.
  static int64_t NowUs();
  const StreamHealth& Health() const { return *mHealth; }

  // Installs the socket tap; Remove takes it away again, waiting for a tap call still under way,
  // so that the monitor is left alone from then on. Remove is idempotent.
  void Install();
  void Remove();

  // Receives each silence warning line (from Poll).
  void SetListener(std::function<void(const std::string& line)> listener);
  // Tells the monitor the device's online state when it differs from the one told last.
  void ReportOnline(bool online);
  // Hands the trace count to the monitor (a few times a second at most, or at once after
  // RecountTraces), and warns once when no frame has arrived for silenceMs; the warning is given
  // again only after frames came back.
  void Poll();
  void RecountTraces() { mTracesCountedUs = 0; }
  int SilenceWarnings() const { return mSilenceWarnings; }

  // Which model the evaluation thread reads after each pass (nullptr: none). The model must stay
  // alive until it is replaced here.
  void SetServedRoot(FBModel* model) EXCLUDES(mServedRootMutex);
  // The hook of the panel driver and the scene skeleton: each call into the plug-in runs inside a
  // UiCall, and the root joint bound is the served root.
  bool AroundPluginCall(const std::function<bool()>& call) override;
  void RootJointBound(FBModel* model) override { SetServedRoot(model); }
  // Evaluation thread: hands the served root's translation to the monitor.
  void AfterEvaluation(bool evaluated) EXCLUDES(mServedRootMutex);

  // The tap calls back after the socket call, so a reply read by the I/O thread could reach the
  // monitor before the user-interface thread's tap reports the query that caused it. While the
  // user-interface thread is inside the plug-in (a UiCall), incoming bytes are therefore held
  // (with their arrival times) and handed on when it leaves, or once they are kMaxHoldUs old.
  class UiCall {
   public:
    // tap remains the caller's and must outlive the call; with none, the call is not watched.
    explicit UiCall(HealthTap* tap);
    ~UiCall();
    UiCall(const UiCall&) = delete;
    UiCall& operator=(const UiCall&) = delete;
    template <typename Call>
    bool Run(const Call& call) {
      return call();
    }

   private:
    HealthTap* const mTap;
  };

 private:
  struct HeldBytes {
    int64_t mTimeUs = 0;
    int mSocket = -1;
    std::string mBytes;
  };
  static constexpr int64_t kMaxHoldUs = 100000;
  static constexpr size_t kMaxHeldBytes = 1 << 20;
  static constexpr int64_t kTraceCountPeriodUs = 250000;

  // UiCall's ends; the lock analysis sees into these, not into constructors and destructors.
  void EnterUiCall();
  void LeaveUiCall() EXCLUDES(mIncomingMutex);
  // Tap entry (I/O and user-interface threads).
  void OnTappedBytes(int socket, bool outgoing, const char* data, int size)
      EXCLUDES(mIncomingMutex);
  // Hands the held bytes to the monitor.
  void FeedHeldBytes() REQUIRES(mIncomingMutex);

  // Constant after construction. The monitor outlives the socket tap and the evaluation thread.
  const int mSilenceMs;
  const std::unique_ptr<StreamHealth> mHealth;

  // Shared across threads.
  std::atomic<bool> mUiBusy{false};  // a UiCall is under way
  kovrim::Mutex mIncomingMutex;      // one feeder of incoming bytes at a time
  std::vector<HeldBytes> mHeld GUARDED_BY(mIncomingMutex);
  size_t mHeldBytes GUARDED_BY(mIncomingMutex) = 0;
  kovrim::Mutex mServedRootMutex;
  FBModel* mServedRoot GUARDED_BY(mServedRootMutex) = nullptr;  // the bound root joint's model

  // User-interface thread only.
  bool mInstalled = false;
  int mUiDepth = 0;             // UiCall nesting
  bool mHealthOnline = false;   // the online state last told to mHealth
  bool mSilenceWarned = false;  // the current silence was warned about
  int mSilenceWarnings = 0;
  int64_t mTracesCountedUs = 0;  // when the trace count was last handed to mHealth
  std::function<void(const std::string&)> mListener;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HEALTH_TAP_H_

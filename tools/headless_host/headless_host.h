// The headless host: plays the animation host around the device plug-in. HeadlessHost's
// operations are the user's and the host's actions: load the library, create the device and its
// panel, type into the panel, click its buttons, choose from its list, switch the device online,
// bind a scene skeleton, record and write the take as BVH. It is a facade over the rooms that do
// the work (CaptureServer, PluginLoader, PanelDriver, SceneSkeleton, TakeRecorder, HealthTap) and
// keeps the host's order between them; RunHeadlessSession (host_session.h) is the one-shot job
// built on it. The host holds one device or several, each with its panel, scene skeleton and
// real-time threads; the operations on a device act on the current one (UseDevice), the first
// unless told otherwise. The health tap watches the whole stream and the first device's root.
// Threads: every HeadlessHost operation runs on the caller's thread, which plays the host's
// user-interface thread; CreateDevice starts the device I/O and evaluation threads, which only call
// RunDeviceIO / EvaluateDevice, read the transport clock and feed the health tap, until the device
// goes (Release, DeleteDevice, NewScene: the host stops them before it destroys it).
#ifndef KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_
#define KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/realtime_threads.h>

#include "capture_server.h"
#include "health_tap.h"
#include "host_options.h"
#include "host_stop.h"
#include "panel_driver.h"
#include "plugin_loader.h"
#include "scene_skeleton.h"
#include "stream_health.h"
#include "take_export.h"
#include "take_recorder.h"

namespace kmq {

class HeadlessHost {
 public:
  // Called with the elapsed time, the samples received and the keys so far; final once at the end.
  using Progress = TakeRecorder::Progress;
  enum class WaitResult { kDone, kTimedOut, kInterrupted };

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
  bool ServeCaptures(const std::vector<std::string>& paths, std::string* message) {
    return mServer.Serve(paths, message);
  }
  // The same with every capture served copies times (CaptureServer::Serve), or with actors made
  // by the caller.
  bool ServeCaptures(const std::vector<std::string>& paths, int copies, std::string* message) {
    return mServer.Serve(paths, message, copies);
  }
  bool ServeActors(const ServerOptions& options, std::vector<ServedActor> actors,
                   std::string* message) {
    return mServer.ServeActors(options, std::move(actors), message);
  }
  Stats ServerStats() const { return mServer.GetStats(); }
  bool IsServing() const { return mServer.IsServing(); }
  int ServerPort() const { return mServer.Port(); }

  // ---- Plug-in, device and panel ----
  bool LoadPlugin(const std::string& path, std::string* message) {
    return mPlugin.Load(path, message);
  }
  bool IsPluginLoaded() const { return mPlugin.IsLoaded(); }
  // Registrations the library entry added when called a second time (0 for a sound plug-in).
  int PluginRecordsAddedByEntry() const { return mPlugin.RecordsAddedByEntry(); }
  // The host version the panel sees when it is created (only before CreateDevice).
  bool SetHostVersion(double version, std::string* message);
  double HostVersion() const { return PluginLoader::HostVersion(); }
  // The devices: index 0 is the first; UseDevice(DeviceCount()) adds one (with no device made in
  // it yet). Fails for any other index.
  int DeviceCount() const { return static_cast<int>(mDevices.size()); }
  int CurrentDevice() const { return static_cast<int>(mCurrent); }
  bool UseDevice(int index);
  // Runs on device i's I/O thread right before (true) and after (false) each of its
  // notifications (an observer, for measurements). REQUIRES: before CreateDevice.
  void SetIoObserver(std::function<void(int device, bool starting)> observer) {
    mIoObserver = std::move(observer);
  }
  // Creates the device and its panel through the host's registry, shows the panel and starts the
  // real-time threads.
  bool CreateDevice(std::string* message);
  bool HasDevice() const { return Panel().HasDevice(); }
  FBDevice* Device() const { return Panel().Device(); }
  fbsdk_control::RealTimeThreads* Threads() const { return Current().mThreads.get(); }
  // The model bound to the first template below "Reference" (null when none is).
  FBModel* RootJoint() const { return SceneSkeleton::RootJoint(Device()); }

  // ---- The user on the panel ----
  bool TypeAddress(const std::string& text, std::string* message) {
    return Panel().TypeAddress(text, message);
  }
  bool TypePort(const std::string& text, std::string* message) {
    return Panel().TypePort(text, message);
  }
  std::string AddressText() const { return Panel().AddressText(); }
  std::string PortText() const { return Panel().PortText(); }
  std::vector<ActorItem> Actors() const { return Panel().Actors(); }
  bool ChooseActor(int index, std::string* message) { return Panel().ChooseActor(index, message); }
  bool Click(PanelButton button, std::string* message) { return Panel().Click(button, message); }
  bool HasButton(PanelButton button) const { return Panel().HasButton(button); }
  // Clicks "Stay In T-Pose" when its state differs from on; *clicked says whether it did.
  bool SetTPose(bool on, bool* clicked, std::string* message) {
    return Panel().SetTPose(on, clicked, message);
  }
  bool TPoseChecked() const { return Panel().TPoseChecked(); }
  // Every control of the panel the user can act on, and the regions of those acted on so far.
  std::vector<PanelControl> PanelControls() const { return Panel().PanelControls(); }
  const std::set<std::string>& DrivenControls() const { return Panel().DrivenControls(); }

  // ---- The host ----
  // The device's Online property: true connects, false disconnects.
  bool SetOnline(bool online, std::string* message);
  bool IsOnline() const;
  // One idle tick: every panel's idle event, then the application's (FBSystem::OnUIIdle).
  void FireIdle();
  // The device's Status and Information properties as the host shows them ("Online",
  // "walk, 120 fps"); "" without a device.
  std::string DeviceStatus() const;
  std::string DeviceInformation() const;
  // Fires the panel's idle event every idle period until done() holds, seconds pass or a stop is
  // requested; done is checked before the first event and after each. Without a panel it only
  // waits.
  WaitResult IdleUntil(const std::function<bool()>& done, double seconds);
  // Samples the device acknowledged since it was created.
  long SamplesReceived() const { return TakeRecorder::SamplesReceived(Device()); }
  // Templates below "Reference" (joints and end sites); 0 without a device.
  int TemplateCount() const { return SceneSkeleton::TemplateCount(Device()); }
  // Joint trees below "Reference" (one for a sound header).
  int TemplateRootCount() const { return SceneSkeleton::TemplateRootCount(Device()); }
  // The first template below "Reference", or "" when none.
  std::string TemplateRootName() const { return SceneSkeleton::TemplateRootName(Device()); }
  // Whether "Reference" is bound to a scene model.
  bool IsBound() const { return SceneSkeleton::IsBound(Device()); }
  // Makes a scene skeleton that mirrors the templates: a model named "Reference" with one model
  // per template below it, same names and nesting, in nameSpace when not empty. A skeleton made
  // before is deleted first, so it must not be bound.
  bool MakeSkeleton(const std::string& nameSpace, std::string* message);
  bool HasSkeleton() const { return Skeleton().HasSkeleton(); }
  std::string SkeletonNameSpace() const { return Skeleton().NameSpace(); }
  // Binds the skeleton as the host's 'Model binding' control does; fails unless every template
  // is bound.
  bool Bind(std::string* message);
  bool Unbind(std::string* message);
  std::vector<CharacterItem> Characters() const { return SceneSkeleton::Characters(); }
  // Message boxes shown since the host's last reset, and those from index first on.
  static size_t BoxCount();
  static std::vector<fbsdk_control::MessageBoxRecord> BoxesSince(size_t first);

  // ---- Transport and take ----
  // Arms recording of every device and plays the transport for seconds (less when a stop is
  // requested), firing the panels' idle events meanwhile; then stops and waits until no I/O
  // thread can add a key. The current device must be bound; every device made is recorded.
  bool Record(double seconds, const Progress& progress, RecordStats* stats, std::string* message);
  // The same recording in two steps, so that other operations run while the host records (the
  // panel idles whenever they wait): StartRecording arms recording and plays the transport and
  // returns; StopRecording stops it as Record does. The recording survives its device: frames
  // count until the device went, keys as the skeleton has them (none once the scene is new).
  bool StartRecording(std::string* message);
  bool StopRecording(RecordStats* stats, std::string* message);
  bool IsRecording() const { return mRecorder.IsRecording(); }
  // Keys now on the skeleton's channels.
  int CountKeys() const { return Skeleton().CountKeys(); }
  // The keys of the skeleton's first joint tree; *keys counts them.
  TakeJoint CollectTake(int* keys) const { return Skeleton().CollectTake(keys); }
  // Builds the clip from take and writes it to path (beside it first, then renamed, so a failed
  // write never leaves half a take). Unless HostOptions::mContactSheet is off, the take's contact
  // sheet follows (ContactSheetPathFor, and a PNG when rsvg-convert is on the PATH); a sheet that
  // cannot be written leaves the take written and says so in stats and *message.
  bool WriteTake(const TakeJoint& take, const std::string& path, ExportStats* stats,
                 std::string* message) {
    return mRecorder.WriteTake(take, path, stats, message);
  }
  // CollectTake and WriteTake; fails when the skeleton has no key.
  bool ExportTake(const std::string& path, ExportStats* stats, std::string* message) {
    return mRecorder.ExportTake(Skeleton(), path, stats, message);
  }
  // Joins every device's real-time threads; the devices are left as they are.
  void StopRealTimeThreads();

  // ---- Deleting the device and a new scene, as the user does them at any moment ----
  // The user deletes the device: its panel closes, then the host destroys it (DestroyDevice: its
  // real-time threads stopped, taken offline, released, destroyed), whatever it is doing. The
  // scene skeleton stays, unbound; a recording goes on without the device.
  bool DeleteDevice(std::string* message);
  // The user makes a new scene (File > New): the panels close, then the host clears the scene
  // (NewScene): the devices, every scene model (the skeletons among them) and every character go.
  // A recording goes on, with nothing left to key.
  bool NewScene(std::string* message);

  // ---- Stream health ----
  // Steady-clock microseconds, the time base of the health monitor.
  static int64_t NowUs() { return HealthTap::NowUs(); }
  // The monitor; its figures are readable from any thread.
  const StreamHealth& Health() const { return mTap.Health(); }
  // Receives each silence warning line (user-interface thread, from PollHealth).
  void SetHealthListener(std::function<void(const std::string& line)> listener);
  // Tells the monitor the device's online state (when the plug-in changed it itself) and the
  // trace count, and warns once when no frame has arrived for --silence-ms while online; the
  // warning is given again only after frames came back. FireIdle calls it.
  void PollHealth();
  // PollHealth, then the monitor's status lines (one per actor, then the wire line).
  std::string HealthStatus();
  int SilenceWarnings() const { return mTap.SilenceWarnings(); }

  // Releases everything in the host's order: threads joined, transport stopped, device offline,
  // panel and device destroyed, scene models deleted, server stopped, library closed, host
  // version restored. Idempotent.
  void Release();

 private:
  // One device of the host and its rooms. The first device's calls into the plug-in and root
  // joint go to the health tap; the others' calls are wrapped by it too, their roots not read.
  struct HostDevice {
    HostDevice(PluginCallHook* panelHook, PluginCallHook* skeletonHook)
        : mPanel(panelHook), mSkeleton(skeletonHook) {}
    PanelDriver mPanel;
    SceneSkeleton mSkeleton;
    // Made by CreateDevice, joined in Release.
    std::unique_ptr<RealTimeThreads> mThreads;
  };
  HostDevice& Current() { return *mDevices[mCurrent]; }
  const HostDevice& Current() const { return *mDevices[mCurrent]; }
  PanelDriver& Panel() { return Current().mPanel; }
  const PanelDriver& Panel() const { return Current().mPanel; }
  SceneSkeleton& Skeleton() { return Current().mSkeleton; }
  const SceneSkeleton& Skeleton() const { return Current().mSkeleton; }
  // Every device made, for a recording.
  std::vector<RecordedDevice> RecordedDevices() const;

  // Constant after construction; the rooms below keep references to it and to each other, so
  // the order of these members is the order they are made in (and the reverse of their end).
  const HostOptions mOptions;
  HealthTap mTap;
  CaptureServer mServer;
  PluginLoader mPlugin;
  TakeRecorder mRecorder;
  std::vector<std::unique_ptr<HostDevice>> mDevices;  // never empty
  size_t mCurrent = 0;
  std::function<void(int device, bool starting)> mIoObserver;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HEADLESS_HOST_H_

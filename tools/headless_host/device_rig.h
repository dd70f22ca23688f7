// Several devices in one headless host. A DeviceRig is one device with its panel, its scene
// skeleton, its actor choice and its real-time threads. A RigHost owns what a host process has
// once: the reference server, the loaded plug-in, the socket tap and the transport with its
// clock; and N rigs, one per actor. Threads: every method runs on the caller's thread, which
// plays the host's user-interface thread; each rig's I/O and evaluation threads only call
// RunDeviceIO / EvaluateDevice and read the shared clock, from Start until Release.
#ifndef KMQ_TOOLS_HEADLESS_HOST_DEVICE_RIG_H_
#define KMQ_TOOLS_HEADLESS_HOST_DEVICE_RIG_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/realtime_threads.h>

#include "bvh.h"
#include "host_options.h"
#include "motion_server.h"
#include "panel_driver.h"
#include "plugin_library.h"
#include "scene_skeleton.h"

namespace kmq {

class DeviceRig {
 public:
  // clock remains the caller's and must outlive the rig. The scene models of the rig's skeleton
  // go in nameSpace, so that rigs with the same joint names share one scene. ioObserver (when
  // set) is the rig's RealTimeThreads::SetIoObserver.
  DeviceRig(std::string nameSpace, const fbsdk_control::SessionClock* clock,
            const HostOptions& options, std::function<void(bool starting)> ioObserver = nullptr);
  ~DeviceRig();
  DeviceRig(const DeviceRig&) = delete;
  DeviceRig& operator=(const DeviceRig&) = delete;

  // Creates the device and its panel through the host's registry (the plug-in must be loaded),
  // shows the panel and starts the rig's real-time threads.
  bool Create(std::string* message);
  // Types the address and port into the panel and switches the device online, its I/O thread
  // held meanwhile.
  bool GoOnline(const std::string& address, int port, std::string* message);
  // The panel's idle event (the application's is the RigHost's, once for every rig).
  void FireIdle();
  // Whether the panel's actor list offers an actor named name.
  bool Offers(const std::string& name) const;
  // Chooses the actor named name from the panel's list.
  bool ChooseActor(const std::string& name, std::string* message);
  // Templates below "Reference" (joints and end sites).
  int TemplateCount() const;
  // Makes a scene skeleton mirroring the templates in the rig's namespace and binds it.
  bool BindSkeleton(std::string* message);
  // The model bound to the first joint below "Reference" (null before BindSkeleton).
  FBModel* RootJoint() const;
  FBDevice* Device() const { return mPanel.Device(); }
  fbsdk_control::RealTimeThreads* Threads() const { return mThreads.get(); }
  long SamplesReceived() const;
  // Joins the rig's threads; the device is left as it is. Idempotent.
  void StopThreads();
  // Threads joined, device offline, panel and device destroyed, scene models deleted.
  // Idempotent.
  void Release();

 private:
  int ItemOf(const std::string& name) const;

  const std::string mNameSpace;
  const fbsdk_control::SessionClock* const mClock;
  const HostOptions mOptions;
  const std::function<void(bool starting)> mIoObserver;
  // The device's panel, and the scene skeleton bound to it; no health tap watches a rig.
  PanelDriver mPanel{nullptr};
  SceneSkeleton mSkeleton{nullptr};
  std::unique_ptr<fbsdk_control::RealTimeThreads> mThreads;
};

// One actor the reference server of a RigHost streams.
struct RigActor {
  std::string mName;
  bvh::Clip mClip;
};

class RigHost {
 public:
  explicit RigHost(HostOptions options);
  ~RigHost();
  RigHost(const RigHost&) = delete;
  RigHost& operator=(const RigHost&) = delete;

  // Starts the reference server on a free port of 127.0.0.1 (serverOptions' port and quiet are
  // overridden) streaming actors[i] with tag i + 1.
  bool Serve(const ServerOptions& serverOptions, std::vector<RigActor> actors,
             std::string* message);
  // Loads the plug-in of the options and installs the host's one socket tap.
  bool LoadPlugin(std::string* message);
  // Runs on rig i's I/O thread right before (true) and after (false) each of its notifications
  // (an observer, for measurements). REQUIRES: before StartRigs.
  void SetIoObserver(std::function<void(int rig, bool starting)> observer) {
    mIoObserver = std::move(observer);
  }
  // Creates count rigs; rig i connects to the server and records actor i + 1: each goes online,
  // chooses its actor once the panel offers it, waits for its templates and binds a skeleton.
  bool StartRigs(int count, std::string* message);
  // Arms recording and plays the one transport for seconds, firing every panel's idle event
  // meanwhile; then stops it with every I/O thread held, so that no key is half written.
  bool Record(double seconds, std::string* message);
  // Fires every panel's idle event for seconds (less when a stop is requested).
  void IdleFor(double seconds);
  // One idle tick: every panel's idle event, then the application's (FBSystem::OnUIIdle).
  void FireIdle();
  int RigCount() const { return static_cast<int>(mRigs.size()); }
  DeviceRig& Rig(int index) { return *mRigs[static_cast<size_t>(index)]; }
  const std::vector<std::string>& ActorNames() const { return mActorNames; }
  int ServerPort() const { return mServer ? mServer->Port() : 0; }
  // Clients the server dropped as too slow to follow the stream.
  uint64_t SlowClientsDropped() const {
    return mServer ? mServer->GetStats().mSlowClientsDropped : 0;
  }
  // Connections the server has accepted since it started.
  uint64_t ServerConnections() const { return mServer ? mServer->GetStats().mTotalConnections : 0; }
  // Bytes the tap saw the devices receive.
  int64_t BytesReceived() const { return mBytesReceived; }
  // Releases in the host's order: every rig's threads joined, transport stopped, rigs released,
  // tap removed, server stopped, library closed. Idempotent.
  void Release();

 private:
  // Fires every panel's idle event until done holds or the timeout passes.
  bool IdleUntil(const std::function<bool()>& done);

  const HostOptions mOptions;
  std::function<void(int rig, bool starting)> mIoObserver;
  std::unique_ptr<MotionServer> mServer;
  std::vector<std::string> mActorNames;  // by tag - 1
  PluginLibrary mPlugin;
  bool mTapInstalled = false;
  std::atomic<int64_t> mBytesReceived{0};  // the tap's count (I/O and user-interface threads)
  fbsdk_control::SessionClock mClock;
  bool mRecording = false;
  std::vector<std::unique_ptr<DeviceRig>> mRigs;
};

// The one-shot job with options.mDevices devices: serves the capture once per device (tags 1 to
// N, named after its stem with the device's number), records every device for the recording
// time and prints one line per device. Returns the exit code (HostExitCode).
int RunRigSession(const HostOptions& options);

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_DEVICE_RIG_H_

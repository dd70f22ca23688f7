#include "device_rig.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include "headless_host.h"
#include "host_exit.h"
#include "host_text.h"
#include "tool_text.h"

namespace kmq {
namespace {

using fbsdk_control::HostClock;

}  // namespace

// ---- DeviceRig ----

DeviceRig::DeviceRig(std::string nameSpace, const fbsdk_control::SessionClock* clock,
                     const HostOptions& options, std::function<void(bool starting)> ioObserver)
    : mNameSpace(std::move(nameSpace)),
      mClock(clock),
      mOptions(options),
      mIoObserver(std::move(ioObserver)) {}

DeviceRig::~DeviceRig() { Release(); }

bool DeviceRig::Create(std::string* message) {
  if (mPanel.HasDevice()) return Fail(message, "the device exists already");
  if (!mPanel.Create(message)) return false;
  mThreads = std::make_unique<fbsdk_control::RealTimeThreads>(
      mPanel.Device(), mClock, mOptions.mIoPeriodMs, mOptions.mDisplayRate);
  if (mIoObserver) mThreads->SetIoObserver(mIoObserver);
  mThreads->Start();
  return Done(message, "device and panel created");
}

bool DeviceRig::GoOnline(const std::string& address, int port, std::string* message) {
  if (!mThreads) return Fail(message, "no device yet");
  if (!mPanel.TypeAddress(address, message) || !mPanel.TypePort(std::to_string(port), message)) {
    return false;
  }
  FBDevice* device = mPanel.Device();
  mThreads->PauseIo();
  device->Online = true;
  mThreads->ResumeIo();
  if (!static_cast<bool>(device->Online)) {
    return Fail(message,
                "cannot reach the motion server at " + address + ":" + std::to_string(port));
  }
  return Done(message, "online");
}

void DeviceRig::FireIdle() { mPanel.FireIdle(); }

int DeviceRig::ItemOf(const std::string& name) const {
  for (const ActorItem& item : mPanel.Actors()) {
    if (item.mName == name) return item.mIndex;
  }
  return -1;
}

bool DeviceRig::Offers(const std::string& name) const { return ItemOf(name) >= 0; }

bool DeviceRig::ChooseActor(const std::string& name, std::string* message) {
  const int index = ItemOf(name);
  if (index < 0) return Fail(message, "the actor list offers no \"" + name + "\"");
  return mPanel.ChooseActor(index, message);
}

int DeviceRig::TemplateCount() const { return SceneSkeleton::TemplateCount(mPanel.Device()); }

FBModel* DeviceRig::RootJoint() const { return SceneSkeleton::RootJoint(mPanel.Device()); }

long DeviceRig::SamplesReceived() const {
  return mPanel.HasDevice() ? fbsdk_control::SamplesAcknowledged(mPanel.Device()) : 0;
}

bool DeviceRig::BindSkeleton(std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  if (mSkeleton.HasSkeleton()) return Fail(message, "the skeleton is made already");
  if (!mSkeleton.Make(mPanel.Device(), mNameSpace, message) ||
      !mSkeleton.Bind(mPanel.Device(), message)) {
    return false;
  }
  if (RootJoint() == nullptr) return Fail(message, "the root joint was not bound");
  return true;
}

void DeviceRig::StopThreads() {
  if (mThreads) mThreads->Stop();
}

void DeviceRig::Release() {
  StopThreads();
  mThreads.reset();
  FBDevice* device = mPanel.Device();
  if (device != nullptr && static_cast<bool>(device->Online)) device->Online = false;
  mPanel.Destroy();
  mSkeleton.Delete();
}

// ---- RigHost ----

RigHost::RigHost(HostOptions options) : mOptions(std::move(options)) {}

RigHost::~RigHost() { Release(); }

bool RigHost::Serve(const ServerOptions& serverOptions, std::vector<RigActor> actors,
                    std::string* message) {
  if (mServer) return Fail(message, "the reference server runs already");
  if (actors.empty()) return Fail(message, "no actor to stream");
  ServerOptions options = serverOptions;
  options.mPort = 0;
  options.mQuiet = true;
  auto server = std::make_unique<MotionServer>(options);
  std::string error;
  std::vector<std::string> names;
  for (size_t i = 0; i < actors.size(); ++i) {
    names.push_back(actors[i].mName);
    if (!server->AddActor(static_cast<uint32_t>(i + 1), actors[i].mName, std::move(actors[i].mClip),
                          &error) ||
        (i + 1 == actors.size() && !server->Start(&error))) {
      return Fail(message, "cannot start the reference server: " + error);
    }
  }
  mServer = std::move(server);
  mActorNames = std::move(names);
  return Done(message, "Reference server streaming " + std::to_string(mActorNames.size()) +
                           " actors on 127.0.0.1:" + std::to_string(mServer->Port()));
}

bool RigHost::LoadPlugin(std::string* message) {
  if (mPlugin.IsOpen()) return Fail(message, "the plug-in is already loaded");
  std::string error;
  if (!mPlugin.Open(mOptions.mPluginPath, &error)) {
    return Fail(message, "cannot load the plug-in " + mOptions.mPluginPath + ": " + error);
  }
  // One tap for the process, whichever device's socket it sees.
  fbsdk_control::SetSocketTap([this](int, bool outgoing, const char*, int size) {
    if (!outgoing && size > 0) mBytesReceived += size;
  });
  mTapInstalled = true;
  return Done(message, "Loaded the plug-in " + mOptions.mPluginPath);
}

void RigHost::FireIdle() {
  for (auto& rig : mRigs) rig->FireIdle();
  // The application's idle tick, once for every device.
  fbsdk_control::FireUIIdle();
}

bool RigHost::IdleUntil(const std::function<bool()>& done) {
  const HostClock::time_point end =
      HostClock::now() + fbsdk_control::SecondsToDuration(mOptions.mTimeout);
  const HostClock::duration period =
      fbsdk_control::SecondsToDuration(mOptions.mIdlePeriodMs / 1000.0);
  while (true) {
    FireIdle();
    if (done()) return true;
    if (HeadlessStopRequested() || HostClock::now() >= end) return false;
    std::this_thread::sleep_for(period);
  }
}

bool RigHost::StartRigs(int count, std::string* message) {
  if (!mServer || !mPlugin.IsOpen()) return Fail(message, "serve and load the plug-in first");
  if (!mRigs.empty()) return Fail(message, "the rigs exist already");
  if (count < 1 || count > static_cast<int>(mActorNames.size())) {
    return Fail(message, "the server streams " + std::to_string(mActorNames.size()) +
                             " actors, not enough for " + std::to_string(count) + " devices");
  }
  for (int i = 0; i < count; ++i) {
    std::function<void(bool)> observer;
    if (mIoObserver) observer = [this, i](bool starting) { mIoObserver(i, starting); };
    mRigs.push_back(std::make_unique<DeviceRig>("Rig" + std::to_string(i + 1), &mClock, mOptions,
                                                std::move(observer)));
    std::string why;
    if (!mRigs.back()->Create(&why) ||
        !mRigs.back()->GoOnline("127.0.0.1", mServer->Port(), &why)) {
      return Fail(message, "device " + std::to_string(i + 1) + ": " + why);
    }
  }
  if (!IdleUntil([&] {
        for (int i = 0; i < count; ++i) {
          if (!mRigs[static_cast<size_t>(i)]->Offers(mActorNames[static_cast<size_t>(i)])) {
            return false;
          }
        }
        return true;
      })) {
    return Fail(message, "the panels did not offer every actor in time");
  }
  for (int i = 0; i < count; ++i) {
    std::string why;
    if (!mRigs[static_cast<size_t>(i)]->ChooseActor(mActorNames[static_cast<size_t>(i)], &why)) {
      return Fail(message, "device " + std::to_string(i + 1) + ": " + why);
    }
  }
  if (!IdleUntil([&] {
        for (auto& rig : mRigs) {
          if (rig->TemplateCount() == 0) return false;
        }
        return true;
      })) {
    return Fail(message, "not every device received its actor's header in time");
  }
  for (int i = 0; i < count; ++i) {
    std::string why;
    if (!mRigs[static_cast<size_t>(i)]->BindSkeleton(&why)) {
      return Fail(message, "device " + std::to_string(i + 1) + ": " + why);
    }
  }
  return Done(message, std::to_string(count) + " devices online, each bound to its actor");
}

void RigHost::IdleFor(double seconds) {
  const HostClock::time_point end = HostClock::now() + fbsdk_control::SecondsToDuration(seconds);
  const HostClock::duration period =
      fbsdk_control::SecondsToDuration(mOptions.mIdlePeriodMs / 1000.0);
  while (HostClock::now() < end && !HeadlessStopRequested()) {
    FireIdle();
    std::this_thread::sleep_for(std::min<HostClock::duration>(period, end - HostClock::now()));
  }
}

bool RigHost::Record(double seconds, std::string* message) {
  if (mRigs.empty()) return Fail(message, "no device yet");
  FBPlayerControl& transport = FBPlayerControl::TheOne();
  transport.Record();
  mRecording = true;
  mClock.Play();
  transport.Play();
  const HostClock::time_point start = HostClock::now();
  IdleFor(seconds);
  // No notification of any device may be half way through keying a frame when it stops.
  for (auto& rig : mRigs) rig->Threads()->PauseIo();
  transport.Stop();
  mClock.Stop();
  for (auto& rig : mRigs) rig->Threads()->ResumeIo();
  mRecording = false;
  return Done(message, Printf("recorded %.1f s with %d devices", fbsdk_control::SecondsSince(start),
                              RigCount()));
}

void RigHost::Release() {
  for (auto& rig : mRigs) rig->StopThreads();
  if (mRecording) {
    FBPlayerControl::TheOne().Stop();
    mClock.Stop();
    mRecording = false;
  }
  mRigs.clear();
  // Waits for a tap call still under way.
  if (mTapInstalled) fbsdk_control::SetSocketTap(nullptr);
  mTapInstalled = false;
  if (mServer) mServer->Stop();
  mServer.reset();
  mPlugin.Close();
}

// ---- The one-shot job with several devices ----

int RunRigSession(const HostOptions& options) {
  auto say = [&](const std::string& line) {
    if (!options.mQuiet) std::printf("%s\n", line.c_str());
  };
  auto fail = [](int code, const std::string& why) {
    std::fprintf(stderr, "error: %s\n", why.c_str());
    return code;
  };
  bvh::Clip clip;
  std::string error;
  if (!bvh::ParseBvhFile(options.mBvhPath, &clip, &error)) {
    return fail(kExitReferenceServer, "cannot read the capture to stream: " + error);
  }
  std::string stem = options.mBvhPath.substr(options.mBvhPath.find_last_of('/') + 1);
  stem = stem.substr(0, stem.find_last_of('.'));
  std::vector<RigActor> actors;
  for (int i = 1; i <= options.mDevices; ++i) {
    actors.push_back(RigActor{stem + "-" + std::to_string(i), clip});
  }
  RigHost host(options);
  std::string message;
  if (!host.Serve(ServerOptions(), std::move(actors), &message)) {
    return fail(kExitReferenceServer, message);
  }
  say(message);
  if (!host.LoadPlugin(&message)) return fail(kExitPlugin, message);
  say(message);
  if (!host.StartRigs(options.mDevices, &message)) return fail(kExitNoHeader, message);
  say(message);
  if (!host.Record(options.mSeconds, &message)) return fail(kExitRecording, message);
  say(message);
  for (int i = 0; i < host.RigCount(); ++i) host.Rig(i).StopThreads();
  int code = kExitOk;
  for (int i = 0; i < host.RigCount(); ++i) {
    DeviceRig& rig = host.Rig(i);
    const size_t keys =
        fbsdk_control::RecordedKeys(rig.RootJoint(), ANIMATIONNODE_TYPE_LOCAL_TRANSLATION).size();
    if (keys == 0) code = kExitRecording;
    say(Printf("Device %d: actor \"%s\", %d templates, %ld frames received, %d frames keyed", i + 1,
               host.ActorNames()[static_cast<size_t>(i)].c_str(), rig.TemplateCount(),
               rig.SamplesReceived(), static_cast<int>(keys)));
  }
  if (code != kExitOk) std::fprintf(stderr, "error: a device keyed no frame\n");
  return code;
}

}  // namespace kmq

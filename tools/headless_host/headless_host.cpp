#include "headless_host.h"

#include <algorithm>
#include <thread>
#include <utility>

#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include "host_text.h"
#include "kovrim_texts.h"

namespace kmq {
using kovrim_texts::kConnectFailureText;

HeadlessHost::HeadlessHost(HostOptions options)
    : mOptions(std::move(options)), mTap(mOptions.mSilenceMs), mRecorder(mOptions) {
  mDevices.push_back(std::make_unique<HostDevice>(&mTap, &mTap));
}

HeadlessHost::~HeadlessHost() { Release(); }

void HeadlessHost::Release() {
  for (auto& device : mDevices) {
    if (device->mThreads) device->mThreads->Stop();
  }
  for (auto& device : mDevices) device->mThreads.reset();
  mRecorder.StopTransport();
  mTap.SetServedRoot(nullptr);
  for (auto& room : mDevices) {
    FBDevice* device = room->mPanel.Device();
    if (device != nullptr && static_cast<bool>(device->Online)) device->Online = false;
    if (device != nullptr && room == mDevices.front()) mTap.ReportOnline(false);
    room->mPanel.Destroy();
  }
  mTap.Remove();
  for (auto& device : mDevices) device->mSkeleton.Delete();
  mServer.Stop();
  mPlugin.Close();
}

bool HeadlessHost::UseDevice(int index) {
  if (index < 0 || index > DeviceCount()) return false;
  // The devices after the first leave the root joint to the first one's.
  if (index == DeviceCount()) mDevices.push_back(std::make_unique<HostDevice>(&mTap, nullptr));
  mCurrent = static_cast<size_t>(index);
  return true;
}

std::vector<RecordedDevice> HeadlessHost::RecordedDevices() const {
  std::vector<RecordedDevice> devices;
  for (const auto& room : mDevices) {
    if (room->mPanel.HasDevice()) {
      devices.push_back(
          RecordedDevice{room->mPanel.Device(), room->mThreads.get(), &room->mSkeleton});
    }
  }
  return devices;
}

// ---- Plug-in, device and panel ----

bool HeadlessHost::SetHostVersion(double version, std::string* message) {
  if (Panel().HasDevice()) {
    return Fail(message, "the panel is made already; the version counts for a new panel only");
  }
  mPlugin.SetHostVersion(version);
  return Done(message, "host version " + Format(version));
}

bool HeadlessHost::CreateDevice(std::string* message) {
  if (Panel().HasDevice()) return Fail(message, "the device exists already");
  if (!mPlugin.IsLoaded()) return Fail(message, "no plug-in loaded (load it with load)");
  if (!Panel().Create(message)) return false;
  if (mOptions.mHealthTap) mTap.Install();
  // The health tap reads the first device's root after each of its evaluations.
  std::function<void(bool)> afterEvaluation;
  if (mCurrent == 0) afterEvaluation = [this](bool evaluated) { mTap.AfterEvaluation(evaluated); };
  Current().mThreads =
      std::make_unique<RealTimeThreads>(Panel().Device(), mRecorder.Clock(), mOptions.mIoPeriodMs,
                                        mOptions.mDisplayRate, std::move(afterEvaluation));
  if (mIoObserver) {
    const int index = CurrentDevice();
    Current().mThreads->SetIoObserver(
        [this, index](bool starting) { mIoObserver(index, starting); });
  }
  Current().mThreads->Start();
  return true;
}

// ---- The host ----

bool HeadlessHost::SetOnline(bool online, std::string* message) {
  if (!Panel().NeedDevice(message)) return false;
  FBDevice* device = Panel().Device();
  if (static_cast<bool>(device->Online) == online) {
    return Done(message,
                std::string("the device is ") + (online ? "online" : "offline") + " already");
  }
  const size_t boxesBefore = BoxCount();
  RealTimeThreads* threads = Threads();
  if (threads) threads->PauseIo();
  mTap.AroundPluginCall([&] {
    device->Online = online;
    return true;
  });
  if (threads) threads->ResumeIo();
  if (mCurrent == 0) mTap.ReportOnline(static_cast<bool>(device->Online));
  if (static_cast<bool>(device->Online) != online) {
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
  return Panel().HasDevice() && static_cast<bool>(Panel().Device()->Online);
}

void HeadlessHost::FireIdle() {
  for (auto& device : mDevices) device->mPanel.FireIdle();
  // The application's idle tick, which the device keeps its connection and Status current on.
  mTap.AroundPluginCall([] { return fbsdk_control::FireUIIdle(), true; });
  PollHealth();
}

std::string HeadlessHost::DeviceStatus() const {
  return Panel().HasDevice() ? static_cast<const char*>(Device()->Status) : "";
}

std::string HeadlessHost::DeviceInformation() const {
  return Panel().HasDevice() ? static_cast<const char*>(Device()->Information) : "";
}

HeadlessHost::WaitResult HeadlessHost::IdleUntil(const std::function<bool()>& done,
                                                 double seconds) {
  const HostClock::time_point end = HostClock::now() + SecondsToDuration(seconds);
  const HostClock::duration period = SecondsToDuration(mOptions.mIdlePeriodMs / 1000.0);
  while (true) {
    FireIdle();
    if (done()) return WaitResult::kDone;
    if (HeadlessStopRequested()) return WaitResult::kInterrupted;
    const HostClock::time_point now = HostClock::now();
    if (now >= end) return WaitResult::kTimedOut;
    std::this_thread::sleep_for(std::min<HostClock::duration>(period, end - now));
  }
}

bool HeadlessHost::MakeSkeleton(const std::string& nameSpace, std::string* message) {
  if (!Panel().NeedDevice(message)) return false;
  return Skeleton().Make(Panel().Device(), nameSpace, message);
}

bool HeadlessHost::Bind(std::string* message) {
  if (!Panel().NeedDevice(message)) return false;
  return Skeleton().Bind(Panel().Device(), message);
}

bool HeadlessHost::Unbind(std::string* message) {
  if (!Panel().NeedDevice(message)) return false;
  return Skeleton().Unbind(Panel().Device(), message);
}

size_t HeadlessHost::BoxCount() { return fbsdk_control::MessageBoxesShown().size(); }

std::vector<fbsdk_control::MessageBoxRecord> HeadlessHost::BoxesSince(size_t first) {
  std::vector<fbsdk_control::MessageBoxRecord> boxes = fbsdk_control::MessageBoxesShown();
  if (first >= boxes.size()) return {};
  return std::vector<fbsdk_control::MessageBoxRecord>(boxes.begin() + static_cast<long>(first),
                                                      boxes.end());
}

// ---- Transport and take ----

bool HeadlessHost::Record(double seconds, const Progress& progress, RecordStats* stats,
                          std::string* message) {
  *stats = RecordStats();
  if (!Panel().NeedDevice(message)) return false;
  if (mRecorder.IsRecording()) return Fail(message, "the host is recording already");
  if (!IsBound()) return Fail(message, "no skeleton is bound: nothing would be recorded");
  return mRecorder.Record(
      RecordedDevices(), [this] { FireIdle(); }, seconds, progress, stats, message);
}

bool HeadlessHost::StartRecording(std::string* message) {
  if (!Panel().NeedDevice(message)) return false;
  if (mRecorder.IsRecording()) return Fail(message, "the host is recording already");
  if (!IsBound()) return Fail(message, "no skeleton is bound: nothing would be recorded");
  mRecorder.Start(RecordedDevices());
  return Done(message, "recording, the transport playing");
}

bool HeadlessHost::StopRecording(RecordStats* stats, std::string* message) {
  *stats = RecordStats();
  if (!mRecorder.IsRecording()) return Fail(message, "the host is not recording");
  mRecorder.Finish(stats);
  return Done(message,
              "recorded " + Format(stats->mSeconds, 1) + " s: " + std::to_string(stats->mSamples) +
                  " frames received, " +
                  (Skeleton().HasSkeleton() ? std::to_string(stats->mKeys) + " keys on the skeleton"
                                            : std::string("no skeleton left to hold keys")));
}

void HeadlessHost::StopRealTimeThreads() {
  for (auto& device : mDevices) {
    if (device->mThreads) device->mThreads->Stop();
  }
}

namespace {

// What the device was doing when it went, for the answer: "online, recording, N frames received".
std::string DeviceState(FBDevice* device, bool recording) {
  std::string text = static_cast<bool>(device->Online) ? "online" : "offline";
  if (recording) text += ", recording";
  return text + ", " + std::to_string(TakeRecorder::SamplesReceived(device)) + " frames received";
}

}  // namespace

bool HeadlessHost::DeleteDevice(std::string* message) {
  if (!Panel().NeedDevice(message)) return false;
  const std::string state = DeviceState(Panel().Device(), mRecorder.IsRecording());
  mRecorder.DeviceGoes(Panel().Device());
  if (mCurrent == 0) mTap.SetServedRoot(nullptr);
  FBDevice* device = Panel().ClosePanel();
  // The host stops the threads before the device goes; they are joined and only dropped here.
  mTap.AroundPluginCall([&] {
    fbsdk_control::DestroyDevice(device);
    return true;
  });
  Current().mThreads.reset();
  if (mCurrent == 0) mTap.ReportOnline(false);
  return Done(message, "deleted the device (" + state + ") and its panel; " +
                           (Skeleton().HasSkeleton() ? "the skeleton stays in the scene, unbound"
                                                     : "the scene has no skeleton"));
}

bool HeadlessHost::NewScene(std::string* message) {
  std::string state = "no device";
  const bool hadFirst = mDevices.front()->mPanel.HasDevice();
  FBDevice* device = Panel().Device();
  if (device != nullptr) state = "the device " + DeviceState(device, mRecorder.IsRecording());
  mTap.SetServedRoot(nullptr);
  for (auto& room : mDevices) {
    mRecorder.DeviceGoes(room->mPanel.Device());
    room->mPanel.ClosePanel();
  }
  const size_t devices = fbsdk_control::SceneDevices().size();
  const size_t models = fbsdk_control::SceneModels().size();
  const size_t characters = SceneSkeleton::Characters().size();
  mTap.AroundPluginCall([&] {
    fbsdk_control::NewScene();
    return true;
  });
  for (auto& room : mDevices) {
    room->mThreads.reset();
    room->mSkeleton.Forget();
  }
  if (hadFirst) mTap.ReportOnline(false);
  return Done(message, "new scene (" + state + "): " + std::to_string(devices) + " device" +
                           (devices == 1 ? "" : "s") + ", " + std::to_string(models) + " model" +
                           (models == 1 ? "" : "s") + " and " + std::to_string(characters) +
                           " character" + (characters == 1 ? "" : "s") + " cleared");
}

// ---- Stream health ----

void HeadlessHost::SetHealthListener(std::function<void(const std::string& line)> listener) {
  mTap.SetListener(std::move(listener));
}

void HeadlessHost::PollHealth() {
  const PanelDriver& first = mDevices.front()->mPanel;
  if (first.HasDevice()) mTap.ReportOnline(static_cast<bool>(first.Device()->Online));
  mTap.Poll();
}

std::string HeadlessHost::HealthStatus() {
  mTap.RecountTraces();
  PollHealth();
  return mTap.Health().StatusLine(NowUs());
}

}  // namespace kmq

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
    : mOptions(std::move(options)),
      mTap(mOptions.mSilenceMs),
      mPanel(&mTap),
      mSkeleton(&mTap),
      mRecorder(mOptions, &mSkeleton) {}

HeadlessHost::~HeadlessHost() { Release(); }

void HeadlessHost::Release() {
  if (mThreads) mThreads->Stop();
  mThreads.reset();
  mRecorder.StopTransport();
  mTap.SetServedRoot(nullptr);
  FBDevice* device = mPanel.Device();
  if (device != nullptr && static_cast<bool>(device->Online)) device->Online = false;
  if (device != nullptr) mTap.ReportOnline(false);
  mPanel.Destroy();
  mTap.Remove();
  mSkeleton.Delete();
  mServer.Stop();
  mPlugin.Close();
}

// ---- Plug-in, device and panel ----

bool HeadlessHost::SetHostVersion(double version, std::string* message) {
  if (mPanel.HasDevice()) {
    return Fail(message, "the panel is made already; the version counts for a new panel only");
  }
  mPlugin.SetHostVersion(version);
  return Done(message, "host version " + Format(version));
}

bool HeadlessHost::CreateDevice(std::string* message) {
  if (mPanel.HasDevice()) return Fail(message, "the device exists already");
  if (!mPlugin.IsLoaded()) return Fail(message, "no plug-in loaded (load it with load)");
  if (!mPanel.Create(message)) return false;
  mTap.Install();
  mThreads = std::make_unique<RealTimeThreads>(
      mPanel.Device(), mRecorder.Clock(), mOptions.mIoPeriodMs, mOptions.mDisplayRate,
      [this](bool evaluated) { mTap.AfterEvaluation(evaluated); });
  mThreads->Start();
  return true;
}

// ---- The host ----

bool HeadlessHost::SetOnline(bool online, std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  FBDevice* device = mPanel.Device();
  if (static_cast<bool>(device->Online) == online) {
    return Done(message,
                std::string("the device is ") + (online ? "online" : "offline") + " already");
  }
  const size_t boxesBefore = BoxCount();
  if (mThreads) mThreads->PauseIo();
  mTap.AroundPluginCall([&] {
    device->Online = online;
    return true;
  });
  if (mThreads) mThreads->ResumeIo();
  mTap.ReportOnline(static_cast<bool>(device->Online));
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
  return mPanel.HasDevice() && static_cast<bool>(mPanel.Device()->Online);
}

void HeadlessHost::FireIdle() {
  mPanel.FireIdle();
  // The application's idle tick, which the device keeps its connection and Status current on.
  mTap.AroundPluginCall([] { return fbsdk_control::FireUIIdle(), true; });
  PollHealth();
}

std::string HeadlessHost::DeviceStatus() const {
  return mPanel.HasDevice() ? static_cast<const char*>(Device()->Status) : "";
}

std::string HeadlessHost::DeviceInformation() const {
  return mPanel.HasDevice() ? static_cast<const char*>(Device()->Information) : "";
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
  if (!mPanel.NeedDevice(message)) return false;
  return mSkeleton.Make(mPanel.Device(), nameSpace, message);
}

bool HeadlessHost::Bind(std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  return mSkeleton.Bind(mPanel.Device(), message);
}

bool HeadlessHost::Unbind(std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  return mSkeleton.Unbind(mPanel.Device(), message);
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
  if (!mPanel.NeedDevice(message)) return false;
  if (mRecorder.IsRecording()) return Fail(message, "the host is recording already");
  if (!IsBound()) return Fail(message, "no skeleton is bound: nothing would be recorded");
  return mRecorder.Record(
      mPanel.Device(), mThreads.get(), [this] { FireIdle(); }, seconds, progress, stats, message);
}

bool HeadlessHost::StartRecording(std::string* message) {
  if (!mPanel.NeedDevice(message)) return false;
  if (mRecorder.IsRecording()) return Fail(message, "the host is recording already");
  if (!IsBound()) return Fail(message, "no skeleton is bound: nothing would be recorded");
  mRecorder.Start(mPanel.Device());
  return Done(message, "recording, the transport playing");
}

bool HeadlessHost::StopRecording(RecordStats* stats, std::string* message) {
  *stats = RecordStats();
  if (!mRecorder.IsRecording()) return Fail(message, "the host is not recording");
  mRecorder.Finish(mThreads.get(), stats);
  return Done(message,
              "recorded " + Format(stats->mSeconds, 1) + " s: " + std::to_string(stats->mSamples) +
                  " frames received, " +
                  (mSkeleton.HasSkeleton() ? std::to_string(stats->mKeys) + " keys on the skeleton"
                                           : std::string("no skeleton left to hold keys")));
}

void HeadlessHost::StopRealTimeThreads() {
  if (mThreads) mThreads->Stop();
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
  if (!mPanel.NeedDevice(message)) return false;
  const std::string state = DeviceState(mPanel.Device(), mRecorder.IsRecording());
  mRecorder.DeviceGoes(mPanel.Device());
  mTap.SetServedRoot(nullptr);
  FBDevice* device = mPanel.ClosePanel();
  // The host stops the threads before the device goes; they are joined and only dropped here.
  mTap.AroundPluginCall([&] {
    fbsdk_control::DestroyDevice(device);
    return true;
  });
  mThreads.reset();
  mTap.ReportOnline(false);
  return Done(message, "deleted the device (" + state + ") and its panel; " +
                           (mSkeleton.HasSkeleton() ? "the skeleton stays in the scene, unbound"
                                                    : "the scene has no skeleton"));
}

bool HeadlessHost::NewScene(std::string* message) {
  std::string state = "no device";
  FBDevice* device = mPanel.Device();
  if (device != nullptr) {
    state = "the device " + DeviceState(device, mRecorder.IsRecording());
    mRecorder.DeviceGoes(device);
    mTap.SetServedRoot(nullptr);
    mPanel.ClosePanel();
  }
  const size_t devices = fbsdk_control::SceneDevices().size();
  const size_t models = fbsdk_control::SceneModels().size();
  const size_t characters = SceneSkeleton::Characters().size();
  mTap.AroundPluginCall([&] {
    fbsdk_control::NewScene();
    return true;
  });
  mThreads.reset();
  mSkeleton.Forget();
  if (device != nullptr) mTap.ReportOnline(false);
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
  if (mPanel.HasDevice()) mTap.ReportOnline(IsOnline());
  mTap.Poll();
}

std::string HeadlessHost::HealthStatus() {
  mTap.RecountTraces();
  PollHealth();
  return mTap.Health().StatusLine(NowUs());
}

}  // namespace kmq

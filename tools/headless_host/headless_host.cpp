#include "headless_host.h"

#include <algorithm>
#include <thread>
#include <utility>

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
  HealthTap::UiCall(&mTap).Run([&] {
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
  HealthTap::UiCall(&mTap).Run([] { return fbsdk_control::FireUIIdle(), true; });
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
  if (!IsBound()) return Fail(message, "no skeleton is bound: nothing would be recorded");
  return mRecorder.Record(
      mPanel.Device(), mThreads.get(), [this] { FireIdle(); }, seconds, progress, stats, message);
}

void HeadlessHost::StopRealTimeThreads() {
  if (mThreads) mThreads->Stop();
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

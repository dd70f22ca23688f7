#include "take_recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <fbsdk_control/scene_control.h>

#include "atomic_file.h"
#include "console_platform.h"
#include "contact_sheet.h"
#include "host_stop.h"
#include "host_text.h"
#include "svg_to_png.h"

namespace kmq {
namespace {

constexpr std::chrono::milliseconds kProgressPeriod(250);

std::string FileName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

std::string ContactSheetPathFor(const std::string& takePath) {
  const std::string suffix = ".bvh";
  const size_t slash = takePath.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (takePath.size() > nameStart + suffix.size() &&
      takePath.compare(takePath.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return takePath.substr(0, takePath.size() - suffix.size()) + ".svg";
  }
  return takePath + ".svg";
}

TakeRecorder::TakeRecorder(const HostOptions& options) : mOptions(options) {}

TakeRecorder::~TakeRecorder() { StopTransport(); }

long TakeRecorder::SamplesReceived(FBDevice* device) {
  return device != nullptr ? fbsdk_control::SamplesAcknowledged(device) : 0;
}

void TakeRecorder::StopTransport() {
  if (!mRecording) return;
  FBPlayerControl::TheOne().Stop();
  mClock.Stop();
  mRecording = false;
}

void TakeRecorder::Start(const std::vector<RecordedDevice>& devices) {
  FBPlayerControl& transport = FBPlayerControl::TheOne();
  mEntries.clear();
  for (const RecordedDevice& device : devices) {
    const long samples = SamplesReceived(device.mDevice);
    mEntries.push_back(Entry{device, samples, samples});
  }
  transport.Record();
  mRecording = true;
  mClock.Play();
  transport.Play();
  mStart = HostClock::now();
}

void TakeRecorder::DeviceGoes(FBDevice* device) {
  if (!mRecording || device == nullptr) return;
  for (Entry& entry : mEntries) {
    if (entry.mRecorded.mDevice != device) continue;
    entry.mSamplesAtEnd = SamplesReceived(device);
    entry.mRecorded.mDevice = nullptr;
    entry.mRecorded.mThreads = nullptr;
  }
}

long TakeRecorder::SamplesSoFar() const {
  long samples = 0;
  for (const Entry& entry : mEntries) {
    const FBDevice* device = entry.mRecorded.mDevice;
    samples +=
        (device != nullptr ? SamplesReceived(entry.mRecorded.mDevice) : entry.mSamplesAtEnd) -
        entry.mSamplesAtStart;
  }
  return samples;
}

int TakeRecorder::KeysSoFar() const {
  int keys = 0;
  for (const Entry& entry : mEntries) keys += entry.mRecorded.mSkeleton->CountKeys();
  return keys;
}

void TakeRecorder::Finish(RecordStats* stats) {
  // No notification of any device may be half way through keying a frame when the transport
  // stops.
  for (const Entry& entry : mEntries) {
    if (entry.mRecorded.mThreads != nullptr) entry.mRecorded.mThreads->PauseIo();
  }
  FBPlayerControl::TheOne().Stop();
  mClock.Stop();
  for (const Entry& entry : mEntries) {
    if (entry.mRecorded.mThreads != nullptr) entry.mRecorded.mThreads->ResumeIo();
  }
  mRecording = false;
  *stats = RecordStats();
  stats->mSeconds = SecondsSince(mStart);
  stats->mInterrupted = HeadlessStopRequested();
  for (Entry& entry : mEntries) {
    if (entry.mRecorded.mDevice != nullptr) {
      entry.mSamplesAtEnd = SamplesReceived(entry.mRecorded.mDevice);
    }
    entry.mRecorded.mDevice = nullptr;
    entry.mRecorded.mThreads = nullptr;
    stats->mDeviceSamples.push_back(entry.mSamplesAtEnd - entry.mSamplesAtStart);
    stats->mDeviceKeys.push_back(entry.mRecorded.mSkeleton->CountKeys());
    stats->mSamples += stats->mDeviceSamples.back();
    stats->mKeys += stats->mDeviceKeys.back();
  }
}

bool TakeRecorder::Record(const std::vector<RecordedDevice>& devices,
                          const std::function<void()>& idle, double seconds,
                          const Progress& progress, RecordStats* stats, std::string* message) {
  Start(devices);
  const HostClock::time_point start = mStart;
  const HostClock::time_point end = start + SecondsToDuration(seconds);
  HostClock::time_point nextProgress = start;
  const HostClock::duration period = SecondsToDuration(mOptions.mIdlePeriodMs / 1000.0);
  while (HostClock::now() < end && !HeadlessStopRequested()) {
    idle();
    if (progress && HostClock::now() >= nextProgress) {
      progress(SecondsSince(start), SamplesSoFar(), KeysSoFar(), false);
      nextProgress += kProgressPeriod;
    }
    std::this_thread::sleep_for(std::min<HostClock::duration>(period, end - HostClock::now()));
  }
  Finish(stats);
  if (progress) progress(stats->mSeconds, stats->mSamples, stats->mKeys, true);
  const std::string skeletons =
      devices.size() == 1 ? "the skeleton" : std::to_string(devices.size()) + " skeletons";
  return Done(message, "recorded " + Format(stats->mSeconds, 1) +
                           " s: " + std::to_string(stats->mSamples) + " frames received, " +
                           std::to_string(stats->mKeys) + " keys on " + skeletons);
}

bool TakeRecorder::WriteTake(const TakeJoint& take, const std::string& path, ExportStats* stats,
                             std::string* message) {
  *stats = ExportStats();
  TakeExportOptions exportOptions;
  exportOptions.mFallbackFrameTime = 1.0 / mOptions.mDisplayRate;
  bvh::Clip clip;
  std::string error;
  if (!BuildClipFromTake(take, exportOptions, &clip, &stats->mTake, &error)) {
    return Fail(message, error);
  }
  stats->mFrameTime = clip.mFrameTime;
  if (!WriteFileAtomically(path, bvh::WriteBvh(clip))) {
    return Fail(message, "cannot write the take to " + path);
  }
  stats->mPath = path;
  if (mOptions.mContactSheet) WriteContactSheet(clip, path, stats);
  return Done(message, "Wrote " + path + ": " + std::to_string(stats->mTake.mFrames) +
                           " frames, frame time " + Format(clip.mFrameTime, 6) + " s (" +
                           Format(1.0 / clip.mFrameTime, 1) + " fps), " +
                           std::to_string(stats->mTake.mJoints) + " joints, " +
                           std::to_string(stats->mTake.mEndSites) + " end sites");
}

void TakeRecorder::WriteContactSheet(const bvh::Clip& clip, const std::string& takePath,
                                     ExportStats* stats) {
  const std::string svgPath = ContactSheetPathFor(takePath);
  ContactSheetOptions sheetOptions;
  sheetOptions.mTitle = FileName(takePath);
  const std::string svg = RenderContactSheet(clip, sheetOptions);
  if (svg.empty()) {
    stats->mContactSheetProblem = "the take has no frame to draw";
    return;
  }
  if (!WriteFileAtomically(svgPath, svg)) {
    stats->mContactSheetProblem = "cannot write " + svgPath;
    return;
  }
  stats->mContactSheetPath = svgPath;
  std::string pngPath;
  if (WritePngBeside(svgPath, {takePath}, &pngPath)) {
    stats->mContactSheetPngPath = pngPath;
  } else if (!pngPath.empty()) {
    stats->mContactSheetProblem =
        "rsvg-convert could not make " + pngPath + "; the SVG is complete";
  }
}

bool TakeRecorder::ExportTake(const SceneSkeleton& skeleton, const std::string& path,
                              ExportStats* stats, std::string* message) {
  *stats = ExportStats();
  if (skeleton.IsEmpty()) return Fail(message, "no skeleton yet: nothing was recorded");
  if (mRecording) return Fail(message, "the transport is still recording");
  int keys = 0;
  const TakeJoint take = skeleton.CollectTake(&keys);
  if (keys == 0) return Fail(message, "nothing was recorded: the skeleton has no key");
  if (!WriteTake(take, path, stats, message)) return false;
  stats->mKeys = keys;
  return true;
}

}  // namespace kmq

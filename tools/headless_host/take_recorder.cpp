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

TakeRecorder::TakeRecorder(const HostOptions& options, const SceneSkeleton* skeleton)
    : mOptions(options), mSkeleton(skeleton) {}

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

void TakeRecorder::Start(FBDevice* device) {
  FBPlayerControl& transport = FBPlayerControl::TheOne();
  mDevice = device;
  mSamplesAtStart = SamplesReceived(device);
  mSamplesAtEnd = mSamplesAtStart;
  transport.Record();
  mRecording = true;
  mClock.Play();
  transport.Play();
  mStart = HostClock::now();
}

void TakeRecorder::DeviceGoes(FBDevice* device) {
  if (!mRecording || device == nullptr || device != mDevice) return;
  mSamplesAtEnd = SamplesReceived(device);
  mDevice = nullptr;
}

void TakeRecorder::Finish(RealTimeThreads* threads, RecordStats* stats) {
  // No notification may be half way through keying a frame when the transport stops.
  if (threads != nullptr) threads->PauseIo();
  FBPlayerControl::TheOne().Stop();
  mClock.Stop();
  if (threads != nullptr) threads->ResumeIo();
  mRecording = false;
  if (mDevice != nullptr) mSamplesAtEnd = SamplesReceived(mDevice);
  mDevice = nullptr;
  stats->mSeconds = SecondsSince(mStart);
  stats->mInterrupted = HeadlessStopRequested();
  stats->mSamples = mSamplesAtEnd - mSamplesAtStart;
  stats->mKeys = mSkeleton->CountKeys();
}

bool TakeRecorder::Record(FBDevice* device, RealTimeThreads* threads,
                          const std::function<void()>& idle, double seconds,
                          const Progress& progress, RecordStats* stats, std::string* message) {
  Start(device);
  const HostClock::time_point start = mStart;
  const HostClock::time_point end = start + SecondsToDuration(seconds);
  HostClock::time_point nextProgress = start;
  const HostClock::duration period = SecondsToDuration(mOptions.mIdlePeriodMs / 1000.0);
  while (HostClock::now() < end && !HeadlessStopRequested()) {
    idle();
    if (progress && HostClock::now() >= nextProgress) {
      progress(SecondsSince(start), SamplesReceived(device) - mSamplesAtStart,
               mSkeleton->CountKeys(), false);
      nextProgress += kProgressPeriod;
    }
    std::this_thread::sleep_for(std::min<HostClock::duration>(period, end - HostClock::now()));
  }
  Finish(threads, stats);
  if (progress) progress(stats->mSeconds, stats->mSamples, stats->mKeys, true);
  return Done(message, "recorded " + Format(stats->mSeconds, 1) +
                           " s: " + std::to_string(stats->mSamples) + " frames received, " +
                           std::to_string(stats->mKeys) + " keys on the skeleton");
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

bool TakeRecorder::ExportTake(const std::string& path, ExportStats* stats, std::string* message) {
  *stats = ExportStats();
  if (mSkeleton->IsEmpty()) return Fail(message, "no skeleton yet: nothing was recorded");
  if (mRecording) return Fail(message, "the transport is still recording");
  int keys = 0;
  const TakeJoint take = mSkeleton->CollectTake(&keys);
  if (keys == 0) return Fail(message, "nothing was recorded: the skeleton has no key");
  if (!WriteTake(take, path, stats, message)) return false;
  stats->mKeys = keys;
  return true;
}

}  // namespace kmq

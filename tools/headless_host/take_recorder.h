// Recording and export: the host's transport (its clock, which the real-time threads read) armed
// and played for a recording of one device or several, and the keys each device's skeleton got
// written as a BVH take with its contact sheet beside it. User-interface thread only; the clock
// itself may be read from any thread.
#ifndef KMQ_TOOLS_HEADLESS_HOST_TAKE_RECORDER_H_
#define KMQ_TOOLS_HEADLESS_HOST_TAKE_RECORDER_H_

#include <functional>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/realtime_threads.h>

#include "bvh.h"
#include "host_options.h"
#include "scene_skeleton.h"
#include "take_export.h"

namespace kmq {

// The host's clock and real-time threads come from the stand-in's control API.
using fbsdk_control::HostClock;
using fbsdk_control::RealTimeThreads;
using fbsdk_control::SecondsSince;
using fbsdk_control::SecondsToDuration;
using fbsdk_control::SessionClock;

struct RecordStats {
  double mSeconds = 0;
  long mSamples = 0;  // samples the devices acknowledged meanwhile, all together
  int mKeys = 0;      // keys on the skeletons' channels after the recording, all together
  bool mInterrupted = false;
  // The same two counts for each device, in the order the recording was given them.
  std::vector<long> mDeviceSamples;
  std::vector<int> mDeviceKeys;
};

// A device a recording serves: the device, its real-time threads (null for none) and the
// skeleton its keys go to. Host objects, the caller's; they outlive the recording or are
// reported gone (TakeRecorder::DeviceGoes).
struct RecordedDevice {
  FBDevice* mDevice = nullptr;
  RealTimeThreads* mThreads = nullptr;
  const SceneSkeleton* mSkeleton = nullptr;
};

struct ExportStats {
  TakeExportStats mTake;
  double mFrameTime = 0;
  int mKeys = 0;
  std::string mPath;
  // The contact sheet beside the take and its PNG ("" when not written), and what went wrong
  // with either ("" when nothing, or when the sheet is turned off).
  std::string mContactSheetPath;
  std::string mContactSheetPngPath;
  std::string mContactSheetProblem;
};

// Where the contact sheet of the take at takePath goes: ".bvh" replaced by ".svg", or ".svg"
// appended to any other name.
std::string ContactSheetPathFor(const std::string& takePath);

class TakeRecorder {
 public:
  // Called with the elapsed time, the samples received and the keys so far; final once at the end.
  using Progress = std::function<void(double elapsed, long samples, int keys, bool final)>;

  // options remain the caller's and must outlive the recorder.
  explicit TakeRecorder(const HostOptions& options);
  // StopTransport.
  ~TakeRecorder();
  TakeRecorder(const TakeRecorder&) = delete;
  TakeRecorder& operator=(const TakeRecorder&) = delete;

  // The transport's clock, for the real-time threads; it lives as long as the recorder.
  SessionClock* Clock() { return &mClock; }
  bool IsRecording() const { return mRecording; }
  // Samples device acknowledged since it was created; 0 for a null device.
  static long SamplesReceived(FBDevice* device);

  // Arms recording and plays the one transport for seconds (less when a stop is requested),
  // calling idle every idle period meanwhile; then stops with every device's I/O thread held, so
  // that none can add a key afterwards. REQUIRES: devices not empty, each not null with its
  // skeleton bound, no recording under way.
  bool Record(const std::vector<RecordedDevice>& devices, const std::function<void()>& idle,
              double seconds, const Progress& progress, RecordStats* stats, std::string* message);
  // The two halves of Record for a recording that goes on while other things happen: Start arms
  // recording and plays the transport, counting the devices' samples from now; Finish stops it as
  // Record does and fills *stats. REQUIRES: Start as Record, Finish while a recording is under way.
  void Start(const std::vector<RecordedDevice>& devices);
  void Finish(RecordStats* stats);
  // The device of the recording under way goes (deleted, or with the scene): the samples it
  // acknowledged until now are what the recording received from it. Nothing when device is not
  // that device.
  void DeviceGoes(FBDevice* device);
  // Stops a recording left under way. Idempotent.
  void StopTransport();

  // Builds the clip from take and writes it to path (beside it first, then renamed, so a failed
  // write never leaves half a take). Unless HostOptions::mContactSheet is off, the take's contact
  // sheet follows (ContactSheetPathFor, and a PNG when rsvg-convert is on the PATH); a sheet that
  // cannot be written leaves the take written and says so in stats and *message.
  bool WriteTake(const TakeJoint& take, const std::string& path, ExportStats* stats,
                 std::string* message);
  // The skeleton's take, WriteTake; fails when the skeleton has no key or still records.
  bool ExportTake(const SceneSkeleton& skeleton, const std::string& path, ExportStats* stats,
                  std::string* message);

 private:
  // A device of the recording under way: its device and threads (null once it went) and its
  // samples when the recording started and, once it went, when it went.
  struct Entry {
    RecordedDevice mRecorded;
    long mSamplesAtStart = 0;
    long mSamplesAtEnd = 0;
  };
  void WriteContactSheet(const bvh::Clip& clip, const std::string& takePath, ExportStats* stats);
  // Samples and keys of every device so far, all together.
  long SamplesSoFar() const;
  int KeysSoFar() const;

  const HostOptions& mOptions;
  SessionClock mClock;
  bool mRecording = false;
  HostClock::time_point mStart;  // of the recording under way
  std::vector<Entry> mEntries;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_TAKE_RECORDER_H_

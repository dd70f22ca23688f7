// The recording client of kovrim-stream-capture: connects to a motion server as the plug-in does,
// asks for the chosen actors' headers and appends every frame that arrives, as it arrived, to a
// capture file. Run blocks the calling thread; RequestStop, Finished, GetProgress,
// WaitForProgress and TakeNotes may be called from any thread (RequestStop also from a signal
// handler).
#ifndef KMQ_TOOLS_STREAM_CAPTURE_CAPTURE_SESSION_H_
#define KMQ_TOOLS_STREAM_CAPTURE_CAPTURE_SESSION_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture_file.h"
#include "motion_protocol.h"
#include "platform_file.h"
#include "thread_annotations.h"

namespace kmq {

struct CaptureOptions {
  std::string mHost = "127.0.0.1";
  int mPort = 7005;
  // The actors whose headers are asked for; empty for every actor the server offers.
  std::vector<uint32_t> mActors;
  std::string mPath = "capture.kmqcap";
  // How long to record; 0 records until stopped or until the server closes the connection.
  double mSeconds = 0;
  double mConnectTimeout = 5;
  // The file is created once the actor list has come (its header names the chosen actors), or
  // after this long without one.
  double mListTimeout = 2;
};

struct CaptureProgress {
  bool mConnected = false;
  // Seconds since the connection was made.
  double mSeconds = 0;
  uint64_t mBytesReceived = 0;
  // Frames written to the file (or waiting for it to be created).
  uint64_t mFrames = 0;
  uint64_t mMotionFrames = 0;
  uint64_t mHeaders = 0;
  uint64_t mActorLists = 0;
  // Frames kept whose payload does not decode.
  uint64_t mUndecodable = 0;
  // Bytes that were not part of a frame: words off the markers, bad lengths, oversize frames.
  uint64_t mSkippedBytes = 0;
};

enum class CaptureEnd {
  kStopped,       // RequestStop
  kTimeUp,        // mSeconds passed
  kServerClosed,  // the server closed or reset the connection
  kConnectFailed,
  kFileError,
  kNetworkError,
};

struct CaptureResult {
  CaptureEnd mEnd = CaptureEnd::kStopped;
  std::string mMessage;
  CaptureProgress mProgress;
  // The actors whose headers were asked for.
  std::vector<uint32_t> mActorTags;
};

class CaptureSession {
 public:
  CaptureSession();
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // Records until stopped, out of time, or the connection ends. Everything received by then is
  // in the file. True when it ends by RequestStop, time or the server; false when it cannot
  // connect, or cannot create or write the file (result->mMessage says why). One call per
  // session.
  bool Run(const CaptureOptions& options, CaptureResult* result);
  // Ends Run soon; safe in a signal handler.
  void RequestStop();
  bool Finished() const { return mFinished.load(); }
  CaptureProgress GetProgress() const;
  // Waits until done(progress) holds, or Run has ended; returns done(progress). done runs under
  // the progress lock, so it must be quick and must not call back into the session.
  bool WaitForProgress(const std::function<bool(const CaptureProgress&)>& done,
                       std::chrono::milliseconds deadline);
  // Lines worth showing (actors chosen, headers received, warnings), oldest first.
  std::vector<std::string> TakeNotes();

 private:
  class Recorder;

  // Connects to the server without blocking; false with *how and *why when it cannot, or when
  // a stop is requested first.
  bool Connect(const CaptureOptions& options, const std::string& where, UniqueFd* socket,
               CaptureEnd* how, std::string* why);
  // Reads frames from socket into recorder until stopped, out of time or the connection ends
  // (true), or until the file cannot be written (false); *how and *why say which. Arrival times
  // and the time limit count from start, when the connection was made.
  bool Record(const CaptureOptions& options, int socket,
              std::chrono::steady_clock::time_point start, Recorder* recorder,
              RawFrameSplitter* splitter, CaptureEnd* how, std::string* why);
  // Counts frame in *progress by what it decodes to, and hands an actor list to recorder.
  void Count(const RawFrame& frame, Recorder* recorder, CaptureProgress* progress);
  void Note(const std::string& line);
  void Publish(const CaptureProgress& progress);
  void MarkFinished();

  UniqueFd mWake;  // eventfd that interrupts poll()
  std::atomic<bool> mStopRequested{false};
  std::atomic<bool> mFinished{false};
  mutable kovrim::Mutex mMutex;
  kovrim::CondVar mProgressChanged;  // notified under mMutex
  CaptureProgress mProgress GUARDED_BY(mMutex);
  std::vector<std::string> mNotes GUARDED_BY(mMutex);
};

}  // namespace kmq

#endif  // KMQ_TOOLS_STREAM_CAPTURE_CAPTURE_SESSION_H_

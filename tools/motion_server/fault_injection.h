// Faults the reference server can put into what it sends, so that clients can be tried against a
// misbehaving server: lost, late, bunched, damaged and malformed frames, cut connections and
// skeletons that change mid-stream. Every random choice comes from one generator per connection,
// seeded from FaultOptions::mSeed and the connection's number, so the same options and seed give
// the same bytes. A FaultStage belongs to one connection and is used by the server thread only.
#ifndef KMQ_TOOLS_MOTION_SERVER_FAULT_INJECTION_H_
#define KMQ_TOOLS_MOTION_SERVER_FAULT_INJECTION_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "fault_frames.h"
#include "motion_protocol.h"

namespace kmq {

// Rates are probabilities per motion frame (FRAME_DATA) sent to a connection; 0 turns a fault
// off. Counts ("after N") are motion frames actually sent to that connection, dropped ones
// excepted. Actor lists and headers are never dropped or damaged by the rate faults.
struct FaultOptions {
  uint64_t mSeed = 1;
  double mDropRate = 0;
  // Each motion frame leaves up to this many milliseconds late; frames keep their order.
  int mJitterMs = 0;
  // Motion frames are held until this many have gathered, then sent in one write. 0 or 1: off.
  int mBurst = 0;
  // After mStallAfter motion frames, nothing is sent for mStallMs (once per connection).
  uint64_t mStallAfter = 0;
  int mStallMs = 0;
  // The connection is closed after this many motion frames (0: off), or after each one with
  // probability mCutRate. With mCutMidFrame the cut falls inside the following frame.
  uint64_t mCutAfter = 0;
  double mCutRate = 0;
  bool mCutMidFrame = false;
  // Every write is cut at random boundaries into several send() calls.
  bool mSplitWrites = false;
  // A run of bytes that holds no marker before a motion frame; a multiple of 4 bytes long
  // unless mStrayUnaligned, which moves the rest of the stream off the reader's grid.
  double mStrayRate = 0;
  bool mStrayUnaligned = false;
  // A marker and a short length, followed by bytes that are no envelope, before a motion frame.
  double mFalseMarkerRate = 0;
  // The motion frame's payload is damaged (it no longer decodes), or cut short with its length
  // field matching what is left.
  double mCorruptRate = 0;
  double mTruncateRate = 0;
  // A frame prefix with a length of 0, a negative length, a length just above the plug-in's
  // 184320-byte buffer (followed by that many filler bytes) or 2^31-1 (a reader that skips it
  // skips everything after it) before a motion frame.
  double mBadLengthRate = 0;
  // The kinds a bad length is chosen from, one bit per BadLengthKind (1 << kind); all by default.
  unsigned mBadLengthKinds = 0xf;
  // The motion frame is replaced by an envelope with an undeclared enum value: a Message of 7,
  // a CmdType of 4, or the actor's header with a channel of 9.
  double mBadEnumRate = 0;
  // A header whose joints nest 150 deep goes out before the answer to the first header query.
  bool mDeepNesting = false;
  // After this many motion frames (0: off), the actor with the lowest tag is renamed in a new
  // actor list and gets an unrequested header with one more joint; its frames carry the
  // joint's channels from then on, and later queries get the new list and header.
  uint64_t mChangeSkeletonAfter = 0;
  // Header answers leave this many milliseconds late, or never.
  int mHeaderDelayMs = 0;
  bool mNoHeader = false;

  bool Any() const;
  bool Validate(std::string* error) const;
  // The faults that are on, for the console; "" when none is.
  std::string Describe() const;
};

struct FaultCounts {
  uint64_t mDropped = 0;
  uint64_t mJittered = 0;  // motion frames sent late on purpose
  uint64_t mBursts = 0;
  uint64_t mStalls = 0;
  uint64_t mCuts = 0;
  uint64_t mSplitPieces = 0;  // send() calls that carry a piece of a split write
  uint64_t mStrayRuns = 0;
  uint64_t mFalseMarkers = 0;
  uint64_t mCorrupted = 0;
  uint64_t mTruncated = 0;
  uint64_t mBadLengths = 0;
  uint64_t mBadEnums = 0;
  uint64_t mDeepHeaders = 0;
  uint64_t mSkeletonChanges = 0;
  uint64_t mHeadersDelayed = 0;
  uint64_t mHeadersWithheld = 0;
};

// One frame (marker, length, payload) within bytes bound for the wire: where it starts in them and
// how long it is.
struct FrameMark {
  uint64_t mStart = 0;
  uint64_t mSize = 0;
  bool mDamaged = false;  // corrupt, truncated or an undeclared enum: no reader applies it
};

// What became of one connection's frames. A frame is anything the server built with a marker and
// a length that matches what follows (a bad prefix of a negative or 2^31-1 length is none).
// Frames on the wire are those a reader by the plug-in's own rules (RawFrameSplitter) takes whole
// from the bytes written, so a client that reads everything dispatches exactly mOnWire frames.
// Once the connection is closed, or while every byte queued has been written, the books balance:
// mSent + mPhantom == mOnWire + Removed().
struct ConnectionFrames {
  uint64_t mConnection = 0;  // numbered from 1, as the server's console shows it
  bool mOpen = true;
  uint64_t mSent = 0;   // the server's messages handed to the connection, and frames faults added
  uint64_t mAdded = 0;  // of mSent, added by faults: false markers, zero and oversize lengths,
                        // the deep header, a skeleton change's actor list and header
  // Removed before the wire.
  uint64_t mDropped = 0;
  uint64_t mWithheld = 0;  // header answers never sent
  uint64_t mCutShort = 0;  // the frame a mid-frame cut broke off
  uint64_t mUnsent = 0;    // still queued or held when the connection closed, or after a cut
  // Written whole, but not taken by the reader: skipped as oversize, swallowed by the skip of a
  // 2^31-1 length, or off the reader's grid after unaligned stray bytes.
  uint64_t mLostOnWire = 0;
  uint64_t mOnWire = 0;
  uint64_t mDamaged = 0;  // of mOnWire, damaged frames: dispatched but not applied
  // Frames the reader took that were never built (a marker inside a payload).
  uint64_t mPhantom = 0;
  uint64_t mBytesWritten = 0;

  // Adds other's counts (not its number or state).
  void Add(const ConnectionFrames& other);
  uint64_t Removed() const { return mDropped + mWithheld + mCutShort + mUnsent + mLostOnWire; }
  bool Balanced() const { return mSent + mPhantom == mOnWire + Removed(); }
};

// What the stages of every connection share; built by the server before it serves.
struct FaultContext {
  // How inserted envelopes are compressed.
  Compression mCompression = Compression::kGzip;
  // --change-skeleton-after: the actor, and the list and header that announce its new skeleton.
  bool mHasChange = false;
  uint32_t mChangeTag = 0;
  std::string mChangedActorList;
  std::string mChangedHeader;
  // --bad-enum-rate: per actor, its header with a channel of 9.
  std::map<uint32_t, std::string> mBadChannelHeaders;
};

// One connection's faults: takes the frames the server would send, in order, and gives back the
// bytes to write when they are due.
class FaultStage {
 public:
  using Clock = std::chrono::steady_clock;

  // context, counts and frames must outlive the stage; connection numbers the connection from
  // 1. The stage adds to frames what it adds, removes or damages; the caller counts what it
  // submits (mSent) and what happens on the wire.
  FaultStage(const FaultOptions& options, const FaultContext& context, uint64_t connection,
             FaultCounts* counts, ConnectionFrames* frames);

  // An actor list sent on connection or on request.
  void SubmitActorList(const std::string& frame, Clock::time_point now);
  // A header that answers a query for tag.
  void SubmitHeaderAnswer(uint32_t tag, const std::string& frame, Clock::time_point now);
  // Any other message.
  void SubmitOther(const std::string& frame, Clock::time_point now);
  // A motion frame of actor tag; message is its decoded envelope, or null to decode it here.
  void SubmitMotion(uint32_t tag, const std::string& frame,
                    const IvraPlugs::IVRA_PLUGIN_MESSAGE* message, Clock::time_point now);
  // Sends what a burst holds (the stream has ended, so the burst would never fill).
  void ReleaseBurst();

  // Appends to out what is due by now. With split writes, the size of each send() call is
  // appended to pieces. The frames within the bytes appended go to marks, each mStart counted
  // from the beginning of *out.
  void Release(Clock::time_point now, std::string* out, std::deque<size_t>* pieces,
               std::vector<FrameMark>* marks);
  // Frames held that no Release has handed out yet.
  uint64_t HeldFrames() const;
  // When something held becomes due; Clock::time_point::max() if nothing waits on time.
  Clock::time_point NextDue() const;
  size_t HeldBytes() const { return mHeldBytes; }
  // A cut was decided: nothing more is taken.
  bool Cutting() const { return mCut; }
  // A cut was decided and nothing is held: the connection is to be closed once out is sent.
  bool CutDue() const { return mCut && mHeld.empty() && mDelayed.empty(); }
  uint64_t MotionFramesSent() const { return mMotionSent; }

 private:
  struct Item {
    std::string mBytes;
    std::vector<FrameMark> mFrames;  // mStart counted from the beginning of mBytes
    std::vector<size_t> mPieces;
    Clock::time_point mDue;
    bool mInBurst = false;
  };

  // bytes hold one whole frame, unless frames (when not null) says where its frames are.
  void Enqueue(std::string bytes, bool motion, Clock::time_point now,
               const std::vector<FrameMark>* frames = nullptr);
  // Enqueue for a frame the stage adds on its own.
  void EnqueueAdded(std::string bytes, Clock::time_point now);
  void Delay(std::string bytes, Clock::time_point due);
  std::vector<size_t> Split(size_t size);
  std::string BadEnumFrame(uint32_t tag, const std::string& frame,
                           const IvraPlugs::IVRA_PLUGIN_MESSAGE* message);
  void Cut();
  // Once a cut is decided nothing more is taken: counts the frame as unsent and says so.
  bool RefusedAfterCut();

  const FaultOptions& mOptions;
  const FaultContext& mContext;
  FaultCounts* mCounts;
  ConnectionFrames* mFrames;
  FaultRandom mRandom;

  std::deque<Item> mHeld;      // in stream order
  std::vector<Item> mDelayed;  // late header answers, each on its own time
  size_t mHeldBytes = 0;
  Clock::time_point mLastDue;  // no item is due before the one ahead of it
  Clock::time_point mStallUntil;
  int mInBurst = 0;
  uint64_t mMotionSent = 0;
  uint64_t mChangedFrames = 0;
  bool mStallDone = false;
  bool mChanged = false;
  bool mDeepSent = false;
  bool mCutInNextFrame = false;
  bool mCut = false;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_MOTION_SERVER_FAULT_INJECTION_H_

// What the motion server's own source files share: its actors, its connections and the limits
// both the loop and the connections keep. Everything here is touched by the server thread only.
#ifndef KMQ_TOOLS_MOTION_SERVER_SERVER_INTERNALS_H_
#define KMQ_TOOLS_MOTION_SERVER_SERVER_INTERNALS_H_

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "motion_server.h"

namespace kmq {
namespace server_internals {

// Commands from the plug-in are a few bytes; anything claiming more is garbage.
constexpr size_t kMaxCommandPayload = 64u << 10;
// With --asap, a connection is given more records while less than this waits to be sent.
constexpr size_t kAsapWindow = 256u << 10;

inline std::string Plural(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace server_internals

struct MotionServer::Actor {
  uint32_t mTag = 0;
  std::string mName;
  bvh::Clip mClip;
  std::string mHeaderFrame;  // encoded once, sent on every query
  int mBurst = 0;            // frames played in the current loop turn
  std::chrono::duration<double> mPeriod{0};
  uint64_t mNextFrame = 0;  // frames played so far, counting every loop
  // Frame k is due at mBase + k * mPeriod: computed from one origin, so rounding never adds up.
  Clock::time_point mBase;
  bool mFinished = false;

  Clock::time_point Due(uint64_t frame) const {
    return mBase +
           std::chrono::duration_cast<Clock::duration>(mPeriod * static_cast<double>(frame));
  }
};

struct MotionServer::Client {
  uint64_t mId = 0;
  ServerSocket mSocket;
  std::string mPeer;
  FrameReader mReader{server_internals::kMaxCommandPayload};
  // Bytes waiting to be sent; bytes before mOutStart are sent already.
  std::string mOut;
  size_t mOutStart = 0;
  // With split writes: the size of each send() call for the bytes of mOut, in order.
  std::deque<size_t> mPieces;
  // Null unless fault injection is on; holds what it delays.
  std::unique_ptr<FaultStage> mFaults;
  // What became of this connection's frames. The frames queued in mOut, at stream offsets
  // (counting every byte ever queued), wait in mMarks until written whole; mWire reads the bytes
  // written by the plug-in's rules and mTaken keeps where its frames started, until settled.
  ConnectionFrames mFrames;
  std::deque<FrameMark> mMarks;
  uint64_t mQueued = 0;   // stream offset of the end of mOut
  uint64_t mWritten = 0;  // bytes handed to the system
  RawFrameSplitter mWire{kovrim::wire::kReceiveLimit};
  std::deque<uint64_t> mTaken;
  bool mClosed = false;
  std::string mCloseReason;
  uint64_t mBadInputSeen = 0;

  // Replay: the next timeline record, the pass it belongs to and when the pass started.
  size_t mReplayNext = 0;
  uint64_t mReplayPass = 0;
  Clock::time_point mReplayBase;
  bool mReplayDone = false;
  // The actor list and headers as the timeline has left them (pointing into the plan).
  const std::string* mReplayList = nullptr;
  std::map<uint32_t, const std::string*> mReplayHeaders;
  std::set<uint32_t> mAskedTags;

  size_t Unsent() const { return mOut.size() - mOutStart; }
  size_t Pending() const { return Unsent() + (mFaults ? mFaults->HeldBytes() : 0); }
};

}  // namespace kmq

#endif  // KMQ_TOOLS_MOTION_SERVER_SERVER_INTERNALS_H_

// The reference motion server: serves BVH actors, or a replayed capture, to plug-in clients over
// TCP, answering actor list and header queries and streaming frames at a steady rate, with
// optional fault injection (fault_injection.h).
// One thread owns the server object and calls AddActor, AddReplay, Start and Stop (never
// concurrently); Port, GetStats, WaitForClients and WaitForStats may be called from any thread.
// Sockets and playback live on the server's own thread, started by Start.
#ifndef KMQ_TOOLS_MOTION_SERVER_MOTION_SERVER_H_
#define KMQ_TOOLS_MOTION_SERVER_MOTION_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "bvh.h"
#include "capture_file.h"
#include "fault_injection.h"
#include "motion_protocol.h"
#include "replay_plan.h"
#include "server_socket.h"
#include "thread_annotations.h"

namespace kmq {

struct ServerOptions {
  std::string mBindAddress = "127.0.0.1";
  // 0 lets the system pick a free port; Port() tells which.
  int mPort = 7005;
  Compression mCompression = Compression::kGzip;
  // Frames per second for every actor; 0 plays each clip at its own frame time.
  double mRate = 0;
  // false plays each clip once, then sends no more frames.
  bool mLoop = true;
  // No console lines (connections, status), for tests.
  bool mQuiet = false;
  // Seconds between status lines; 0 turns them off.
  double mStatusInterval = 2.0;
  // A client whose unsent bytes would pass this is too slow to follow the stream: it is
  // disconnected rather than let the queue grow or hold back the others.
  size_t mMaxQueuedBytes = 4u << 20;
  // Replay only: the capture's time runs this many times as fast.
  double mReplaySpeed = 1.0;
  // Replay only: each connection gets the records as fast as it takes them.
  bool mReplayAsap = false;
  FaultOptions mFaults;
  // When set, called on the server thread after each played frame of an actor has been encoded
  // and queued to every client (written at the same loop turn), with the actor's tag and the
  // frame's row in its clip. For latency measurements; must be quick.
  std::function<void(uint32_t tag, uint64_t row)> mOnFramePlayed;
};

struct Stats {
  int mClientsConnected = 0;
  uint64_t mTotalConnections = 0;
  // FRAME_DATA messages queued to clients: one per frame per connected client (fault injection
  // may still drop or damage them).
  uint64_t mFramesSent = 0;
  // Frames taken from the clips by playback, whatever the number of clients. A replay plays
  // each connection its own copy of the capture, so there it counts every connection's frames.
  uint64_t mFramesPlayed = 0;
  uint64_t mBytesSent = 0;
  uint64_t mHeaderQueries = 0;
  uint64_t mUnknownActorQueries = 0;
  uint64_t mActorListQueries = 0;
  // Well-formed messages the server has no answer for.
  uint64_t mIgnoredMessages = 0;
  // Runs of malformed input skipped (see FrameReader::BadInputCount).
  uint64_t mBadInput = 0;
  uint64_t mSlowClientsDropped = 0;
  // Times playback fell more than a burst behind and restarted its schedule from now.
  uint64_t mResyncs = 0;
  // Without looping: every clip has been played and every queue sent. For a replay: at least
  // one connection had the whole capture, and every connection has had it and been sent it all.
  bool mPlaybackFinished = false;
  // SetPaused(true) has taken effect: no frame is played.
  bool mPaused = false;
  // Connections' frames (fault_injection.h): the closed ones in the order they closed (the
  // oldest forgotten past kMaxConnectionRecords), then the open ones as of the last loop turn.
  std::vector<ConnectionFrames> mConnections;
  // The sum over every closed connection, forgotten ones included; mConnection counts them.
  ConnectionFrames mClosedFrames;
  // Replay: passes over the capture completed, counting every connection.
  uint64_t mReplayPasses = 0;
  FaultCounts mFaults;
};

class MotionServer {
 public:
  static constexpr size_t kMaxConnectionRecords = 64;

  explicit MotionServer(ServerOptions options);
  // Stops the server if it is running.
  ~MotionServer();
  MotionServer(const MotionServer&) = delete;
  MotionServer& operator=(const MotionServer&) = delete;

  // Adds an actor streaming clip. REQUIRES: Start not called yet. Fails on a tag already used, a
  // clip that breaks bvh::ValidateClip, has no frame, nests deeper than kMaxWireJointDepth, or
  // whose header or frames would not fit the plug-in's receive buffer.
  // Fails on a server that serves a replay.
  bool AddActor(uint32_t tag, const std::string& name, bvh::Clip clip, std::string* error);
  // Adds MakeSyntheticClip() as an actor. REQUIRES: Start not called yet.
  bool AddSyntheticActor(uint32_t tag, const std::string& name, std::string* error = nullptr);
  // Serves capture instead of actors. Each connection gets the captured actor list, answers to
  // header queries from the captured headers, and the other records with their original timing
  // (see mReplaySpeed, mReplayAsap and mLoop), re-sent byte for byte. REQUIRES: Start not
  // called yet. Fails on a server that has actors or a replay already, or a capture without a
  // record.
  bool AddReplay(const Capture& capture, std::string* error);

  // Binds and listens, then serves on a new thread. Fails on bad options, nothing to serve, a
  // second call, or an address that cannot be bound.
  bool Start(std::string* error);
  // The bound port once Start succeeded (still after Stop), else -1.
  int Port() const { return mPort.load(); }
  // Closes every connection and joins the server thread. Idempotent; the server cannot be
  // started again.
  void Stop();

  // Holds playback (no frame is played) while paused; on resuming, the schedule goes on from
  // now. Queries are still answered. Any thread, before Start or until Stop; takes effect at
  // the server's next loop turn.
  void SetPaused(bool paused);

  // The server thread publishes its counters once per loop turn, so they may trail by one turn
  // what clients have already received.
  Stats GetStats() const;
  // Waits until at least n clients are connected; false if deadline passes first.
  bool WaitForClients(int n, std::chrono::milliseconds deadline);
  // Waits until done(stats) holds; done runs under the stats lock, so it must be quick and must
  // not call back into the server.
  bool WaitForStats(const std::function<bool(const Stats&)>& done,
                    std::chrono::milliseconds deadline);

 private:
  using Clock = std::chrono::steady_clock;
  struct Actor;
  struct Client;
  enum class Outgoing { kActorList, kHeaderAnswer, kMotion, kOther };

  void Run();
  void AcceptClients(Clock::time_point now);
  void ReadClient(Client* client);
  void HandleMessage(Client* client, const IvraPlugs::IVRA_PLUGIN_MESSAGE& message);
  void AdvancePlayback(Clock::time_point now);
  void PlayFrame(Actor* actor, Clock::time_point now);
  void AdvanceReplay(Clock::time_point now);
  void PlayReplayRecord(Client* client, Clock::time_point now);
  Clock::time_point ReplayDue(const Client& client) const;
  bool BuildFaultContext(std::string* error);
  // Hands frame to client's queue, through its fault stage if it has one. message is frame's
  // decoded envelope where the caller has it.
  void Send(Client* client, Outgoing kind, uint32_t tag, const std::string& frame,
            const IvraPlugs::IVRA_PLUGIN_MESSAGE* message, Clock::time_point now);
  void Append(Client* client, const std::string& bytes);
  // Feeds bytes just written to client's model of the plug-in's reader, and settles the frames
  // written whole: taken by the reader, or lost on the wire.
  void TrackWritten(Client* client, const char* bytes, size_t size);
  // Counts what is left of client's frames when it closes, and keeps its record.
  void RetireFrames(Client* client);
  void ReleaseFaults(Client* client, Clock::time_point now);
  void CutConnection(Client* client);
  void Flush(Client* client);
  void Close(Client* client, const std::string& reason);
  void RemoveClosedClients();
  void ResumePlayback(Clock::time_point now);
  void PrintStatus(Clock::time_point now);
  int WaitTimeoutMs(Clock::time_point now) const;
  void PublishStats();
  void Log(const std::string& line) const;

  const ServerOptions mOptions;

  // Filled by AddActor or AddReplay before Start; afterwards owned by the server thread.
  std::vector<std::unique_ptr<Actor>> mActors;
  std::unique_ptr<const ReplayPlan> mReplay;
  // Built by Start; read-only afterwards.
  FaultContext mFaultContext;
  bool mStarted = false;  // owner thread only

  // Created by Start, closed by Stop after the server thread has joined.
  ServerSocket mListener;
  SocketWait mWait;  // Wake() (Stop, SetPaused) interrupts the server thread's wait
  std::thread mThread;
  std::atomic<bool> mStopRequested{false};
  std::atomic<bool> mPauseRequested{false};
  bool mPaused = false;  // server thread: the pause in force
  std::atomic<int> mPort{-1};

  // Server thread only.
  std::vector<std::unique_ptr<Client>> mClients;
  uint64_t mNextClientId = 1;
  std::string mActorListFrame;
  bool mPlaying = false;
  Clock::time_point mAcceptPausedUntil;
  Clock::time_point mNextStatus;
  Clock::time_point mLastStatus;
  uint64_t mFramesPlayedAtLastStatus = 0;
  uint64_t mBytesSentAtLastStatus = 0;
  IvraPlugs::IVRA_PLUGIN_MESSAGE mFrameMessage;  // reused so frames do not reallocate
  Stats mLocalStats;                             // published to mStats once per loop

  mutable kovrim::Mutex mStatsMutex;
  kovrim::CondVar mStatsChanged;  // notified under mStatsMutex
  Stats mStats GUARDED_BY(mStatsMutex);
};

}  // namespace kmq

#endif  // KMQ_TOOLS_MOTION_SERVER_MOTION_SERVER_H_

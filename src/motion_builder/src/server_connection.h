// ServerConnection: one TCP connection to a motion server, shared by every link of this process
// that is online to the same address and port. It cuts the byte stream into frames and inflates
// and parses each frame once; the message then waits in the queue of every link it is for, and
// each link applies it to its own tables on its own device I/O thread, as if it had read it from a
// connection of its own. It also keeps the connection's schedule: the attempts to connect again
// after the server closed or reset it, which serve every link on it.
//
// Threads: each member's device I/O thread calls Next. A thread that finds its own queue empty
// reads the socket for all, one frame per call; at most one thread reads at a time and none waits
// for it long (a call that finds another thread reading waits kReaderWait at most). The
// user-interface thread calls everything else. mLock guards the members and their queues; it is
// held only to move messages and traces in and out of queues, never across socket I/O, inflation or
// parsing, and no other lock is ever taken while it is held. The socket handle and the receive
// bookkeeping shared with the user-interface thread are atomics.
#ifndef KOVRIM_SERVER_CONNECTION_H_
#define KOVRIM_SERVER_CONNECTION_H_

#include <fbsdk/fbsdk.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "frame_assembler.h"
#include "link_connector.h"
#include "payload_codec.h"
#include "thread_annotations.h"

// One frame's payload as decoded: the result of the decode and, when kDecoded, the envelope. Every
// link it is queued for reads it; the one that holds it last may take its content.
struct LinkMessage {
  kovrim::wire::PayloadDecoder::Result mResult = kovrim::wire::PayloadDecoder::Result::kDecoded;
  IvraPlugs::IVRA_PLUGIN_MESSAGE mEnvelope;
  int mWireSize = 0;  // bytes of the frame's payload on the wire
};

// One message as it comes to one member. mAnswersAnother: a header that comes to the member because
// it chose the header's actor, while another member asked for it.
struct LinkDelivery {
  std::shared_ptr<LinkMessage> mMessage;
  bool mAnswersAnother = false;
};

class ServerConnection : public std::enable_shared_from_this<ServerConnection> {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { kOffline, kConnected, kWaiting, kConnecting };
  // What a member's queue may hold before the connection stops reading for everyone: the slowest
  // member holds the stream back, as a connection of its own would fill its socket; nothing is
  // dropped. By count and by the messages' size on the wire.
  static constexpr size_t kMaxQueuedMessages = 4096;
  static constexpr int64_t kMaxQueuedBytes = 8 * 1024 * 1024;
  // A read that brings nothing asks whether the server has closed or reset the connection at most
  // this often: every member's thread finds the socket empty once a notification, and the loss
  // is found within a notification or two all the same.
  static constexpr std::chrono::microseconds kGoneCheckInterval{1000};
  // Longest a member's thread waits for another member's thread to finish reading a frame (one
  // frame's read and decode takes tens of microseconds; the bound holds when that thread is
  // preempted).
  static constexpr std::chrono::microseconds kReaderWait{200};

  // Traces of the stream itself, told to every member (each through its own throttle).
  static constexpr const char* kTraceFrameTooLong =
      "Frame longer than the receive buffer, payload skipped.";
  static constexpr const char* kTraceFrameLengthNegative =
      "Frame length negative, scanning for the next frame.";

  // bufferSize bounds a frame's payload and what it inflates to.
  explicit ServerConnection(int bufferSize);
  // Closes a socket that is still open; abandons an attempt in flight. Sends nothing.
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // UI thread. The connection of this process to address:port that has members and is not offline,
  // or null.
  static std::shared_ptr<ServerConnection> Find(const char* address, int port);

  // UI thread. Adds a member and returns its id, which no other member of any connection of the
  // process has. actorTag is the member's chosen actor (read by the
  // reading thread to route headers); it must stay valid until Leave. The member's queue starts
  // with the last actor list read, which a server sends a new connection first, and goes on with
  // the next frame read.
  int Join(const std::atomic<uint32_t>* actorTag) EXCLUDES(mLock);
  // UI thread. Removes a member and its queue; when it was the last one, the socket is released and
  // an attempt in flight abandoned, and the connection is offline. Never waits for the I/O thread.
  void Leave(int id) EXCLUDES(mLock);
  // UI thread. Number of members.
  int MemberCount() EXCLUDES(mLock);

  // UI thread. Makes a non-blocking socket connected to address:port this connection's, releasing
  // an earlier one, and registers the connection under address:port for Find. REQUIRES: the
  // connection is owned by a shared pointer. Returns false and
  // leaves the connection without a socket when the server cannot be reached.
  bool Connect(const char* address, int port, Clock::time_point now);
  // UI thread. Releases the socket: ReleaseSocket's rules (see ServerLink::ReleaseSocket).
  void ReleaseSocket();
  // UI thread. Releases the socket, abandons an attempt in flight; the state is offline.
  void GoOffline();
  // UI thread, on every idle tick of a member: the schedule that keeps the connection (see
  // ServerLink::KeepConnected). Idempotent within a tick; any member may run it. An attempt goes
  // to address:port, the calling member's (every member of a connection has the same).
  void KeepConnected(Clock::time_point now, const char* address, int port);
  State GetState() const { return mState; }
  Clock::duration RetryIn(Clock::time_point now) const;
  bool LastAttemptFailed() const { return mLastAttemptFailed; }
  Clock::time_point ConnectedAt() const { return mConnectedAt; }
  // UI thread. Bumped each time the schedule connects again: a member that sees it change asks
  // again for what it had asked for.
  unsigned Reconnections() const { return mReconnections; }
  // UI thread. Writes size bytes of frame to the socket, when there is one. queryTag, when not
  // null, is the actor whose header the frame asks for: the header that answers goes to this
  // member too, whatever actor it has chosen by then.
  void Send(int id, const unsigned char* frame, int size, const uint32_t* queryTag) EXCLUDES(mLock);

  // Device I/O thread of member id: every message waiting for the member, moved to the back of
  // *batch, after reading one frame from the socket when none was waiting and nobody else is
  // reading. Traces for the member (of the stream, of the connection's loss) are appended to
  // *traces, fixed texts for the member to trace once no lock is held. Returns false when no
  // message is waiting for it, or when another thread is reading. REQUIRES: *batch is empty.
  bool Next(int id, std::deque<LinkDelivery>* batch, std::vector<const char*>* traces)
      EXCLUDES(mLock);
  // Decodes one payload as Next does (also used for payloads fed without a socket). REQUIRES: on
  // one thread at a time with Next's reading.
  void Decode(const unsigned char* payload, int length, uint32_t marker, LinkMessage* message);

  // The socket handle: 0 means none; written by the UI thread, read by the reading thread. Tests
  // put a connected socket here directly.
  std::atomic<int> mSocket{0};
  const int mBufferSize;

  // UI thread. Takes a connected socket as a new connection: a partial frame of the one before is
  // forgotten, with its unanswered queries and its actor list. Connect and the reconnection
  // schedule call it; tests may give a socket of their own this way.
  void InstallSocket(int socket, Clock::time_point now) EXCLUDES(mLock);

 private:
  struct Member {
    int mId = 0;
    const std::atomic<uint32_t>* mActorTag = nullptr;
    std::deque<LinkDelivery> mQueue;
    int64_t mQueuedBytes = 0;
    std::vector<const char*> mTraces;
    std::vector<uint32_t> mQueries;  // header queries sent and not yet answered
  };

  // Collects the assembler's drops for every member.
  class DropTraces : public kovrim::wire::FrameAssembler::Reporter {
   public:
    explicit DropTraces(ServerConnection* connection) : mConnection(connection) {}
    void NegativeLength(uint32_t marker) override;
    void FrameTooLong(uint32_t marker, int32_t length) override;

   private:
    ServerConnection* const mConnection;
  };

  Member* FindMember(int id) REQUIRES(mLock);
  bool AnyQueueFull() REQUIRES(mLock);
  // The reading thread: one frame from the socket, decoded, queued for the members it is for.
  void ReadForAll() EXCLUDES(mLock);
  bool ReadFrame(int socket);
  bool PeerGone(int socket, unsigned char* space, int size, int* count);
  void Deliver(std::shared_ptr<LinkMessage> message) REQUIRES(mLock);
  void WaitForNextAttempt(bool attemptFailed, Clock::time_point now);
  void CloseReleasedSocket();

  FBTCPIP mTcp;  // stateless socket calls, safe from any thread

  kovrim::Mutex mLock;
  std::vector<Member> mMembers GUARDED_BY(mLock);
  std::shared_ptr<LinkMessage> mLastActorList GUARDED_BY(mLock);
  // By actor: answers still to come to header queries that an earlier answer served.
  std::map<uint32_t, int> mAnswersToDrop GUARDED_BY(mLock);

  // ---- The reading thread's. One thread reads at a time: the one that set mReading. ----
  std::atomic<bool> mReading{false};
  // Wakes the members' threads that wait (kReaderWait at most) for the frame being read. The mutex
  // guards nothing but the wait itself.
  std::atomic<int> mReadWaiters{0};
  std::mutex mReadDoneMutex;
  std::condition_variable mReadDone;
  // When a read that brought nothing last asked whether the server had gone (steady clock).
  Clock::time_point mLastGoneCheck;
  unsigned mReceiveGeneration = 0;
  std::vector<const char*> mReadTraces;  // traces of the frame being read, for every member
  DropTraces mDropTraces{this};
  kovrim::wire::FrameAssembler mAssembler;
  kovrim::wire::PayloadDecoder mDecoder;

  // ---- Shared by the reading thread and the UI thread, without a lock (see ServerLink). ----
  std::atomic<int> mSocketUsers{0};
  std::atomic<int> mSocketToClose{0};
  std::atomic<unsigned> mConnectionGeneration{0};
  static constexpr unsigned kNoGeneration = ~0u;
  std::atomic<unsigned> mLostGeneration{kNoGeneration};
  std::atomic<unsigned> mDeliveredGeneration{kNoGeneration};
  // The loss has been traced and no connection has delivered a frame since. Set and cleared by the
  // reading thread; cleared by Connect.
  std::atomic<bool> mLossTraced{false};

  // ---- The schedule, owned by the UI thread. ----
  std::string mAddress;
  int mPort = 0;
  State mState = State::kOffline;
  ReconnectBackoff mBackoff;
  LinkConnector mConnector;
  Clock::time_point mNextAttempt;
  Clock::time_point mConnectedAt;
  bool mLastAttemptFailed = false;
  unsigned mReconnections = 0;
};

#endif  // KOVRIM_SERVER_CONNECTION_H_

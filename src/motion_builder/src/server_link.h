// ServerLink: the plug-in's client of the motion server. It reads the server's messages through a
// ServerConnection, which cuts the byte stream into frames and parses each frame's envelope, and
// keeps the actor list, the chosen actor's skeleton header and the latest pose of that skeleton.
// Links of one process online to the same address and port share one connection: each frame is
// read, inflated and parsed once, and every link applies it as if it had read it itself.
//
// While the device stays online, the link connects again by itself when the server closes or
// resets the connection (KeepConnected, with a growing wait between attempts made off the
// user-interface thread); on a shared connection, one schedule serves every link.
//
// Threads: the host's device I/O thread calls ReadMessage; the user-interface thread calls Open,
// Close, ReleaseSocket, KeepConnected, RequestHeader, SelectActor and touches mAddress, mPort,
// mActorTag, mActors and mActorsChanged; the evaluation calls the pose getters. mLock guards the
// header copy, the pose tables, the rotation order and the actor map, and is never held across
// socket I/O, decompression or parsing. mConnectionLock guards which connection the link is on,
// and is held only to read or swap that pointer. Single-value flags shared across threads are
// atomics, read without the lock. The trace throttle has a lock of its own, taken by Trace from
// any thread and never with mLock held. No two of these locks, nor the connection's own, are
// ever held together.
#ifndef KOVRIM_SERVER_LINK_H_
#define KOVRIM_SERVER_LINK_H_

#include <fbsdk/fbsdk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "frame_assembler.h"
#include "payload_codec.h"
#include "server_connection.h"
#include "thread_annotations.h"
#include "trace_throttle.h"
#include "wire_format.h"

// One record per joint and per end site in the link's live and T-pose tables. Table index i is the
// i-th entry of a depth-first walk of the header's joint tree: a joint, its child subtrees in
// order, then its end site.
struct JointPose {
  FBVector4<double> mTranslation;  // local translation, in the units of the header's offsets
  FBVector3<double> mRotation;     // local rotation, degrees, in the host's XYZ rotation order
  bool mIsEndSite = false;
  std::vector<int> mChannels;  // BVH_JOIN.Channel codes in header order; empty for an end site
};

class ServerLink {
 public:
  using Clock = std::chrono::steady_clock;
  // Where the connection stands, as the user-interface thread sees it: offline; connected; waiting
  // for the next attempt after the connection was lost or an attempt failed; an attempt in flight.
  using ConnectionState = ServerConnection::State;

  // Traces for frames whose length field cannot be honoured. They are fixed texts, like every
  // other trace of the link and the device, and go out through Trace: each text at most once a
  // second, with the occurrences held back meanwhile counted on a line of their own.
  static constexpr const char* kTraceFrameTooLong = ServerConnection::kTraceFrameTooLong;
  static constexpr const char* kTraceFrameLengthNegative =
      ServerConnection::kTraceFrameLengthNegative;
  // A compressed payload may not carry more than a plain one could: one whose stream inflates
  // beyond the receive buffer is dropped, and inflation stops there.
  static constexpr const char* kTraceFrameInflatesTooFar =
      "Frame inflates beyond the receive buffer, dropped.";
  // Traces of messages refused for what they hold (see kovrim::wire::EntryLimits): the message
  // is dropped before it is parsed, and still acknowledged.
  static constexpr const char* kTraceTooManyJoints = "BVH header has too many joints, dropped.";
  static constexpr const char* kTraceTooManyActors = "Actor list too long, dropped.";

  ServerLink();
  // Leaves its connection: a socket that no other link shares is closed; sends nothing.
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // UI thread. Joins the connection of another link of this process online to mAddress:mPort when
  // there is one (the link then reads from the next frame on); otherwise creates a non-blocking
  // socket and connects to mAddress:mPort. On success the link is online and returns true. On
  // failure shows the "Can not connect to this address." box, closes the socket and returns
  // false; mOnline is left as it was.
  bool Open();
  // UI thread. Leaves the connection and marks the link offline: a socket that no other link
  // shares is closed and an attempt to connect again in flight is abandoned, and no other is made;
  // a shared connection goes on for the others. The header copy, the tables, the actor map and
  // the chosen actor stay, so a later Open serves frames at once. Counts of traces still held back
  // are traced.
  void Close();
  // UI thread, on every idle tick: the schedule that keeps an online link connected. When the I/O
  // thread has found the connection closed or reset by the server, the socket is let go and an
  // attempt to connect again follows after a wait that starts at ReconnectBackoff::kFirstWait and
  // doubles with every attempt that fails, and with every connection that delivers no whole frame
  // before it is lost, up to ReconnectBackoff::kLongestWait; a connection that delivered one
  // starts the waits again from the first. The attempts run off this thread and show no box. Once
  // one connects, the link asks again for the chosen actor's header when it had one or had asked
  // for one. Does nothing while offline.
  void KeepConnected();
  ConnectionState GetConnectionState() const { return Connection()->GetState(); }
  // UI thread. While kWaiting: how long until the next attempt (never negative).
  Clock::duration RetryIn() const { return Connection()->RetryIn(mClock()); }
  // UI thread. While kWaiting: whether the wait follows a failed attempt (else a lost connection).
  bool LastAttemptFailed() const { return Connection()->LastAttemptFailed(); }
  // UI thread. When the current connection was made (while kConnected).
  Clock::time_point ConnectedAt() const { return Connection()->ConnectedAt(); }
  // Any thread. The connection the link reads from (shared with other links, or its own).
  std::shared_ptr<ServerConnection> Connection() const EXCLUDES(mConnectionLock);
  // The link's clock (a test may drive it).
  Clock::time_point Now() const { return mClock(); }
  // Any thread. Frames of the chosen actor decoded since construction (the I/O thread counts).
  uint64_t FramesDecoded() const { return mFramesDecoded.load(std::memory_order_relaxed); }
  // UI thread. Closes the socket if there is one (on a shared connection: leaves it to the other
  // links); leaves mOnline alone. Always returns true. It does not wait for the I/O thread: when a
  // ReadMessage is reading the socket, that call closes it as it gives it up (within one read
  // call, which never blocks), so the handle's number is not reused while it is read. A frame
  // already read may still be applied after this returns.
  bool ReleaseSocket();

  // Device I/O thread. Takes the next message of the link's connection and dispatches it. Returns
  // true exactly once per whole frame read (also when its payload does not parse), false when no
  // whole frame is waiting. When no message read by another link's thread is waiting, it reads one
  // frame from the socket, unless another link's thread is reading it right now. A frame that has
  // arrived only in part is kept and completed by later calls. Each call scans or skips at most
  // mBufferSize bytes outside a frame's payload and then returns false, going on at the next call;
  // it returns false as soon as it sees that the UI thread has cleared the handle.
  bool ReadMessage();
  // Device I/O thread. Whether the message that the last ReadMessage (or DispatchMessage) handled
  // was a frame of the chosen actor, decoded into the live table. False for anything else: another
  // actor's frame, a frame while a header is pending, a header, an actor list, a payload that did
  // not decode. A frame whose values ran short ("Frame Wrong!!\n") counts, as the joints before
  // the shortfall took its values.
  bool FrameApplied() const { return mFrameApplied; }

  // Any thread. Traces one of the plug-in's fixed texts through the link's throttle: a text is
  // traced at once unless it was traced in the second before; then it is counted, and the count
  // goes out as the line TraceThrottle::HeldBackLine gives ("\"<text>\" held back N times in the
  // second after it was traced") before the text is traced again, at FlushTraces once the second
  // is over, or at Close. Takes the throttle's own lock briefly, never mLock; FBTrace is called
  // with no lock held. REQUIRES: text is a fixed text (static storage).
  void Trace(const char* text);
  // Device I/O thread, on a notification that read nothing (the stream is quiet): traces the
  // counts held back for texts whose second is over.
  void FlushTraces();

  // UI thread. Sends one compressed command frame carrying mActorTag; shows the
  // "Please ensure you are online." box instead when offline.
  void SendCommand(int commandType);
  // UI thread. Marks a header as pending (also when offline) and queries it. The flag is set under
  // mLock, so header acceptance, which tests and clears it under the lock, sees the request
  // wholly before or wholly after the header it applies.
  void RequestHeader() EXCLUDES(mLock);
  // UI thread. Switches to another actor and queries its header; nothing happens for the current
  // tag.
  void SelectActor(uint32_t actorTag) EXCLUDES(mLock);

  // Any thread (the evaluation, the I/O thread). Each takes mLock for one copy. The live getters
  // return the neutral pose while a header is pending or for an index outside the live table, the
  // live pose when online and the T-pose when offline. The T-pose getters return the neutral pose
  // for an index outside the T-pose table.
  FBVector4<double> GetTPoseTranslation(int index) EXCLUDES(mLock);
  FBVector3<double> GetTPoseRotation(int index) EXCLUDES(mLock);
  FBVector4<double> GetTranslation(int index) EXCLUDES(mLock);
  FBVector3<double> GetRotation(int index) EXCLUDES(mLock);
  // One entry of a pose copy.
  struct PoseValues {
    FBVector4<double> mTranslation;
    FBVector3<double> mRotation;
  };
  // Any thread. The values the getters give for pose indices 0 to count - 1 (the T-pose getters'
  // when tPose is true, the live getters' otherwise), copied as one consistent pose under a single
  // take of mLock. out is resized to count; its capacity is reused, so a caller that keeps the
  // vector allocates nothing after the first copy of a given size.
  void CopyPose(bool tPose, int count, std::vector<PoseValues>* out) EXCLUDES(mLock);

  // Number of entries in each pose table (joints plus end sites of the last accepted header).
  int GetJointCount() EXCLUDES(mLock);
  using ActorMap = std::map<uint32_t, std::string>;
  // The last accepted header and the last actor list, as immutable snapshots: mLock is held only
  // to copy the pointer, so a getter never waits for a copy of either. Never null (empty before
  // the first). A snapshot stays as it is while the link takes newer ones.
  std::shared_ptr<const IvraPlugs::BVH_HEADER> Header() EXCLUDES(mLock);
  std::shared_ptr<const ActorMap> Actors() EXCLUDES(mLock);
  // Copies of the same, made from a snapshot without the lock.
  IvraPlugs::BVH_HEADER CopyHeader() EXCLUDES(mLock);
  ActorMap CopyActors() EXCLUDES(mLock);
  // The name the last actor list gives tag, or "" when it has none.
  std::string ActorName(uint32_t tag) EXCLUDES(mLock);
  // The channel order code of the last good root (see DetectRotationOrder).
  int GetRotationOrder() EXCLUDES(mLock);

  // Parses one payload and acts on it; called by ReadMessage only (public for the tests that feed
  // payloads without a socket), on one thread at a time. A compressed payload is inflated into a
  // buffer of mBufferSize bytes first: one that inflates further is dropped with
  // kTraceFrameInflatesTooFar, one whose compressed stream is damaged or cut short is traced as
  // incorrect. A payload longer than mBufferSize, which ReadMessage never hands over, is traced as
  // incorrect too. A header of more than kMaxSkeletonEntries entries or an actor list of more
  // than kMaxActors is dropped unparsed with kTraceTooManyJoints or kTraceTooManyActors, one with
  // more than kMaxUnknownFields fields unknown to the schema is traced as incorrect. So no
  // payload takes more memory or time than a full plain receive buffer. REQUIRES: mLock not held.
  void DispatchMessage(const unsigned char* payload, int length, uint32_t marker) EXCLUDES(mLock);

  // Composes the single-axis rotations that a joint lists, in the joint's own channel order (the
  // first listed leftmost), from this frame's values alone, and returns the composition as angles
  // of the host's XYZ order. values[i] is the value of channels[i]; position channels are passed
  // over.
  static FBVector3<double> ToHostRotation(const std::vector<int>& channels, const float* values);

  // ---- Members. Configuration, written by the panel on the UI thread and read by Open. ----
  FBString mAddress;
  int mPort = 7005;
  const int mBufferSize = kovrim::wire::kReceiveLimit;

  // ---- Guarded by mLock. ----
  std::shared_ptr<const IvraPlugs::BVH_HEADER> mHeader GUARDED_BY(mLock);
  std::vector<JointPose> mLiveJoints GUARDED_BY(mLock);
  std::vector<JointPose> mTPoseJoints GUARDED_BY(mLock);
  std::shared_ptr<const ActorMap> mActors GUARDED_BY(mLock);
  int mRotationOrder GUARDED_BY(mLock) = 1;

  // ---- Atomics: written by one thread, polled by others without the lock. ----
  std::atomic<bool> mHeaderReceived{false};  // written by the I/O thread
  std::atomic<uint32_t> mActorTag{0};        // written by the UI thread
  std::atomic<bool> mActorsChanged{false};   // set by the I/O thread, cleared by the panel
  std::atomic<bool> mOnline{false};          // written by the UI thread
  // Set by the UI thread and tested and cleared by the I/O thread's header acceptance, both under
  // mLock; read without it elsewhere.
  std::atomic<bool> mHeaderPending{false};

  kovrim::Mutex mLock;

 private:
  friend class ServerLinkTestPeer;

  // UI thread. Makes next the link's connection and leaves the one before.
  void SwitchConnection(std::shared_ptr<ServerConnection> next) EXCLUDES(mConnectionLock);
  // Acts on one decoded message. answersAnother: a header that came to this link because it chose
  // the header's actor while another link asked for it.
  void Apply(std::shared_ptr<LinkMessage> message, bool answersAnother) EXCLUDES(mLock);

  // Header acceptance: builds the new header's tables without the lock, then swaps header and
  // tables in under it. Takes the header's content (the envelope is the caller's local).
  void AcceptHeader(std::shared_ptr<const IvraPlugs::BVH_HEADER> header, bool answersAnother)
      EXCLUDES(mLock);
  // The channel order code of a root, or -1 to keep the current one; *wrong is set when the root
  // does not list exactly three rotation channels.
  static int DetectRotationOrder(const IvraPlugs::BVH_JOIN& root, bool* wrong);
  static void BuildJointTables(const IvraPlugs::BVH_JOIN& joint, std::vector<JointPose>* live,
                               std::vector<JointPose>* tPose);
  static void FillJointPose(const IvraPlugs::BVH_JOIN& joint, JointPose* record);
  // Frame acceptance and decoding; REQUIRES mLock. Each returns false when the frame's values ran
  // short of the table's channels, for the caller to trace once it has let the lock go.
  bool AcceptFrame(const IvraPlugs::BVH_FRAME& frame) REQUIRES(mLock);
  bool DecodeFrame(const IvraPlugs::BVH_FRAME& frame) REQUIRES(mLock);
  void ReplaceActors(const IvraPlugs::COMMAND& command) EXCLUDES(mLock);

  // The header asked for again after a reconnection is still to come: when it differs from the
  // last accepted one, it is traced as a changed header. Set by the UI thread, cleared by the I/O
  // thread's header acceptance.
  std::atomic<bool> mReconnectHeaderPending{false};
  std::atomic<uint64_t> mFramesDecoded{0};  // raised by the I/O thread

  // ---- The connection the link is on and its place in it: swapped by the UI thread, read by
  // the I/O thread for each message. ----
  mutable kovrim::Mutex mConnectionLock;
  std::shared_ptr<ServerConnection> mConnection GUARDED_BY(mConnectionLock);
  int mMemberId GUARDED_BY(mConnectionLock) = 0;
  // The same id, for the I/O thread to see without the lock whether the link has moved.
  std::atomic<int> mMemberIdNow{0};

  // ---- Owned by the UI thread: the connection's reconnections this link has acted on. ----
  unsigned mSeenReconnections = 0;

  // ---- Receive state, owned by the I/O thread. ----
  // Set by Apply: see FrameApplied.
  bool mFrameApplied = false;
  std::vector<const char*> mIoTraces;  // the connection's traces for this link, reused
  // Messages taken from the connection and not yet applied, for member mInboxMember.
  std::deque<LinkDelivery> mInbox;
  int mInboxMember = 0;

  // ---- Shared by the I/O thread and the UI thread (Close), with a lock of its own. ----
  kovrim::TraceThrottle mTraces;

  // ---- Test seams, set only by ServerLinkTestPeer before the link is used. ----
  // The clock of the throttled traces and of the connection's schedule; called from the I/O
  // thread and the UI thread.
  std::function<Clock::time_point()> mClock = [] { return Clock::now(); };
  // Called on the dispatching thread once a header's tables are built, before they are swapped in.
  std::function<void()> mHeaderBuiltHook;
};

namespace kovrim {

// One bounded pass over link, as a device I/O notification reads it: at most maxMessages
// messages, and another only while the time spent (on clock, from the start of the pass) plus the
// dearest message of the pass so far is under passTime. A server sending faster than messages are
// applied, or messages that take milliseconds each, so never keeps the caller for long; what is
// left waits for the next pass. onMessage runs after each message read, and its time counts.
// Returns the messages read. Runs on the thread that reads the link.
template <typename ClockFunction, typename OnMessage>
int ReadBoundedPass(ServerLink& link, int maxMessages, std::chrono::microseconds passTime,
                    const ClockFunction& clock, const OnMessage& onMessage) {
  const auto start = clock();
  auto dearest = decltype(start - start)::zero();
  auto messageStart = start;
  int read = 0;
  while (read < maxMessages && link.ReadMessage()) {
    ++read;
    onMessage();
    const auto now = clock();
    dearest = std::max(dearest, now - messageStart);
    messageStart = now;
    if (now - start + dearest >= passTime) break;
  }
  return read;
}

}  // namespace kovrim

#endif  // KOVRIM_SERVER_LINK_H_

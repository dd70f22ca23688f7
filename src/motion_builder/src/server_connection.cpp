#include "server_connection.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "kovrim_texts.h"

using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using kovrim::MutexLock;
using kovrim::wire::FrameAssembler;
using kovrim::wire::PayloadDecoder;

namespace {

// The connections of this process by address and port, for links to share. Only the
// user-interface thread registers and looks up, but a lock keeps the registry sound whatever
// thread a test uses.
struct Registry {
  kovrim::Mutex mMutex;
  std::vector<std::weak_ptr<ServerConnection>> mConnections GUARDED_BY(mMutex);
  std::vector<std::pair<std::string, int>> mKeys GUARDED_BY(mMutex);
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: links may outlive statics
  return *registry;
}

void Register(const std::shared_ptr<ServerConnection>& connection, const std::string& address,
              int port) {
  Registry& registry = TheRegistry();
  MutexLock lock(&registry.mMutex);
  for (size_t i = 0; i < registry.mConnections.size();) {
    std::shared_ptr<ServerConnection> held = registry.mConnections[i].lock();
    if (!held || held == connection) {
      registry.mConnections.erase(registry.mConnections.begin() + static_cast<long>(i));
      registry.mKeys.erase(registry.mKeys.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  registry.mConnections.push_back(connection);
  registry.mKeys.emplace_back(address, port);
}

}  // namespace

ServerConnection::ServerConnection(int bufferSize)
    : mBufferSize(bufferSize),
      mAssembler(bufferSize, &mDropTraces),
      mDecoder(bufferSize, kovrim::wire::EntryLimits{kovrim::wire::kMaxSkeletonEntries,
                                                     kovrim::wire::kMaxActors,
                                                     kovrim::wire::kMaxUnknownFields}) {}

ServerConnection::~ServerConnection() {
  mConnector.Abandon();
  int socket = mSocket.exchange(0);
  if (socket != 0) mTcp.CloseSocket(socket);
  CloseReleasedSocket();
}

std::shared_ptr<ServerConnection> ServerConnection::Find(const char* address, int port) {
  Registry& registry = TheRegistry();
  std::vector<std::shared_ptr<ServerConnection>> candidates;
  {
    MutexLock lock(&registry.mMutex);
    for (size_t i = 0; i < registry.mConnections.size(); ++i) {
      if (registry.mKeys[i].second != port || registry.mKeys[i].first != address) continue;
      std::shared_ptr<ServerConnection> held = registry.mConnections[i].lock();
      if (held) candidates.push_back(std::move(held));
    }
  }
  // Looked at without the registry's lock: a connection's own lock is never taken under it.
  for (std::shared_ptr<ServerConnection>& candidate : candidates) {
    if (candidate->GetState() != State::kOffline && candidate->MemberCount() > 0) return candidate;
  }
  return nullptr;
}

int ServerConnection::Join(const std::atomic<uint32_t>* actorTag) {
  static std::atomic<int> nextId{1};
  MutexLock lock(&mLock);
  Member member;
  member.mId = nextId.fetch_add(1);
  member.mActorTag = actorTag;
  // What a connection of its own would have begun with.
  if (mLastActorList) {
    member.mQueue.push_back(LinkDelivery{mLastActorList, false});
    member.mQueuedBytes += mLastActorList->mWireSize;
  }
  mMembers.push_back(std::move(member));
  return mMembers.back().mId;
}

void ServerConnection::Leave(int id) {
  bool last = false;
  std::deque<LinkDelivery> dropped;
  {
    MutexLock lock(&mLock);
    for (auto it = mMembers.begin(); it != mMembers.end(); ++it) {
      if (it->mId != id) continue;
      dropped.swap(it->mQueue);
      mMembers.erase(it);
      break;
    }
    last = mMembers.empty();
  }
  // The messages it had not read are destroyed after the lock.
  if (last) GoOffline();
}

int ServerConnection::MemberCount() {
  MutexLock lock(&mLock);
  return static_cast<int>(mMembers.size());
}

ServerConnection::Member* ServerConnection::FindMember(int id) {
  for (Member& member : mMembers) {
    if (member.mId == id) return &member;
  }
  return nullptr;
}

bool ServerConnection::AnyQueueFull() {
  for (const Member& member : mMembers) {
    if (member.mQueue.size() >= kMaxQueuedMessages || member.mQueuedBytes >= kMaxQueuedBytes) {
      return true;
    }
  }
  return false;
}

bool ServerConnection::Connect(const char* address, int port, Clock::time_point now) {
  mConnector.Abandon();
  ReleaseSocket();
  int socket = 0;
  mTcp.CreateSocket(socket, kFBTCPIP_Stream, "ip", true);
  std::string host(address);
  if (!mTcp.Connect(socket, &host[0], port)) {
    if (socket != 0) mTcp.CloseSocket(socket);
    mSocket = 0;
    return false;
  }
  // The user's own connection: its loss is traced, and a reconnection starts from the first wait.
  mLossTraced = false;
  mBackoff.Reset();
  mAddress = address;
  mPort = port;
  Register(shared_from_this(), mAddress, mPort);
  InstallSocket(socket, now);
  return true;
}

void ServerConnection::InstallSocket(int socket, Clock::time_point now) {
  mConnectionGeneration.fetch_add(1);
  {
    // Queries sent on the earlier connection will not be answered, and the new connection brings
    // its own actor list.
    MutexLock lock(&mLock);
    for (Member& member : mMembers) member.mQueries.clear();
    mAnswersToDrop.clear();
    mLastActorList.reset();
  }
  mSocket = socket;
  mState = State::kConnected;
  mConnectedAt = now;
}

void ServerConnection::GoOffline() {
  mConnector.Abandon();
  ReleaseSocket();
  mState = State::kOffline;
}

void ServerConnection::WaitForNextAttempt(bool attemptFailed, Clock::time_point now) {
  mLastAttemptFailed = attemptFailed;
  mNextAttempt = now + mBackoff.Next();
  mState = State::kWaiting;
}

ServerConnection::Clock::duration ServerConnection::RetryIn(Clock::time_point now) const {
  const Clock::duration left = mNextAttempt - now;
  return left > Clock::duration::zero() ? left : Clock::duration::zero();
}

void ServerConnection::KeepConnected(Clock::time_point now, const char* address, int port) {
  switch (mState) {
    case State::kOffline:
      return;
    case State::kConnected: {
      const unsigned generation = mConnectionGeneration.load();
      if (mLostGeneration.load() != generation) return;
      ReleaseSocket();
      // Only a connection that delivered a frame counts as good: one that the server closes at
      // once keeps the waits growing.
      if (mDeliveredGeneration.load() == generation) mBackoff.Reset();
      WaitForNextAttempt(false, now);
      return;
    }
    case State::kWaiting:
      if (now < mNextAttempt) return;
      mAddress = address;
      mPort = port;
      mConnector.Start(mAddress.c_str(), mPort);
      mState = State::kConnecting;
      return;
    case State::kConnecting: {
      int socket = 0;
      switch (mConnector.Take(&socket)) {
        case LinkConnector::Result::kRunning:
          return;
        case LinkConnector::Result::kConnected:
          Register(shared_from_this(), mAddress, mPort);
          InstallSocket(socket, now);
          ++mReconnections;
          return;
        case LinkConnector::Result::kNone:
        case LinkConnector::Result::kFailed:
          WaitForNextAttempt(true, now);
          return;
      }
      return;
    }
  }
}

void ServerConnection::ReleaseSocket() {
  const int socket = mSocket.exchange(0);
  if (socket == 0) return;
  // The reading thread may still be reading the handle it loaded before it was cleared; closing
  // under it would let a new socket take the number while that read goes on. So the handle is
  // closed by whichever of this thread and the last reader comes second: the reader gives it up at
  // its next step, and the user-interface thread never waits for the network.
  int earlier = mSocketToClose.exchange(socket);
  if (earlier != 0) {
    // A handle released before is still held by the same read (released twice within one read
    // step): wait for that step, which never blocks, rather than leak the handle.
    while (mSocketUsers.load() > 0) std::this_thread::yield();
    mTcp.CloseSocket(earlier);
  }
  if (mSocketUsers.load() == 0) CloseReleasedSocket();
}

void ServerConnection::CloseReleasedSocket() {
  int socket = mSocketToClose.exchange(0);
  if (socket != 0) mTcp.CloseSocket(socket);
}

void ServerConnection::Send(int id, const unsigned char* frame, int size,
                            const uint32_t* queryTag) {
  const int socket = mSocket.load();
  if (socket == 0) return;
  if (queryTag) {
    MutexLock lock(&mLock);
    if (Member* member = FindMember(id)) member->mQueries.push_back(*queryTag);
  }
  mTcp.Write(socket, const_cast<unsigned char*>(frame), size);
}

bool ServerConnection::Next(int id, std::deque<LinkDelivery>* batch,
                            std::vector<const char*>* traces) {
  bool waited = false;
  bool readHere = false;
  for (;;) {
    {
      MutexLock lock(&mLock);
      Member* member = FindMember(id);
      if (!member) return false;
      if (!member->mTraces.empty()) {
        traces->insert(traces->end(), member->mTraces.begin(), member->mTraces.end());
        member->mTraces.clear();
      }
      if (!member->mQueue.empty()) {
        // All at once: one take of the lock for everything another member's thread read.
        member->mQueue.swap(*batch);
        member->mQueuedBytes = 0;
        return true;
      }
      // The slowest member holds the stream back rather than lose what it has not read.
      if (readHere || AnyQueueFull()) return false;
    }
    // Whoever comes first reads for all. Another member's thread reading holds one frame at
    // most, which may be this member's: it is waited for once, for kReaderWait at most, so that
    // the frame is not left to this member's next notification.
    if (mReading.exchange(true)) {
      if (waited) return false;
      waited = true;
      mReadWaiters.fetch_add(1);
      {
        std::unique_lock<std::mutex> lock(mReadDoneMutex);
        mReadDone.wait_for(lock, kReaderWait, [&] { return !mReading.load(); });
      }
      mReadWaiters.fetch_sub(1);
      continue;
    }
    ReadForAll();
    mReading.store(false);
    // A waiter counted before this store either sees it or is woken; one counted after sees it.
    if (mReadWaiters.load() > 0) {
      { std::lock_guard<std::mutex> lock(mReadDoneMutex); }
      mReadDone.notify_all();
    }
    readHere = true;
  }
}

void ServerConnection::ReadForAll() {
  // Counted before the handle is loaded, so that ReleaseSocket either sees this reader or this
  // reader sees the cleared handle.
  mSocketUsers.fetch_add(1);
  const int socket = mSocket.load();
  const bool whole = socket != 0 && ReadFrame(socket);
  if (whole) {
    // This connection counts as good from now on: its loss will be traced and the waits after it
    // start again from the first.
    mDeliveredGeneration.store(mReceiveGeneration, std::memory_order_relaxed);
    if (mLossTraced.load(std::memory_order_relaxed)) mLossTraced = false;
  }
  if (mSocketUsers.fetch_sub(1) == 1) CloseReleasedSocket();
  // Decoded once the socket is let go, so that a parse never keeps a released handle open.
  std::shared_ptr<LinkMessage> message;
  if (whole) {
    message = std::make_shared<LinkMessage>();
    Decode(mAssembler.payload(), mAssembler.payload_length(), mAssembler.marker(), message.get());
  }
  if (!message && mReadTraces.empty()) return;
  MutexLock lock(&mLock);
  if (!mReadTraces.empty()) {
    for (Member& member : mMembers) {
      member.mTraces.insert(member.mTraces.end(), mReadTraces.begin(), mReadTraces.end());
    }
    mReadTraces.clear();
  }
  if (message) Deliver(std::move(message));
}

void ServerConnection::Deliver(std::shared_ptr<LinkMessage> message) {
  const bool decoded = message->mResult == PayloadDecoder::Result::kDecoded;
  const IVRA_PLUGIN_MESSAGE& envelope = message->mEnvelope;
  if (decoded && envelope.message() == IVRA_PLUGIN_MESSAGE::COMMAND &&
      envelope.command().cmdtype() == IvraPlugs::COMMAND::Notify_ActorsList) {
    mLastActorList = message;
  }
  const auto push = [&](Member& member, bool answersAnother) {
    member.mQueuedBytes += message->mWireSize;
    member.mQueue.push_back(LinkDelivery{message, answersAnother});
  };
  if (decoded && envelope.message() == IVRA_PLUGIN_MESSAGE::HEADER_DATA &&
      envelope.header().has_actortag()) {
    // The server answers each query with one header of the actor asked for. The answer goes to
    // the members that asked for that actor's header (each takes it as the answer to one of its
    // queries) and to those that chose that actor; the answers to the other members' queries,
    // still to come, then find every query answered and go to nobody. A header nobody asked for
    // goes to every member, as every connection would carry it.
    const uint32_t tag = envelope.header().actortag();
    bool asked = false;
    for (const Member& member : mMembers) {
      if (std::find(member.mQueries.begin(), member.mQueries.end(), tag) != member.mQueries.end()) {
        asked = true;
      }
    }
    if (asked) {
      int answered = 0;
      for (Member& member : mMembers) {
        const auto query = std::find(member.mQueries.begin(), member.mQueries.end(), tag);
        const bool askedHere = query != member.mQueries.end();
        if (askedHere) {
          member.mQueries.erase(query);
          ++answered;
        } else if (member.mActorTag->load() != tag) {
          continue;
        }
        push(member, !askedHere);
      }
      if (answered > 1) mAnswersToDrop[tag] += answered - 1;
      return;
    }
    const auto drop = mAnswersToDrop.find(tag);
    if (drop != mAnswersToDrop.end()) {
      if (--drop->second == 0) mAnswersToDrop.erase(drop);
      return;
    }
  }
  // Everything else goes to every member: each connection carries every actor's frames.
  for (Member& member : mMembers) push(member, false);
}

void ServerConnection::DropTraces::NegativeLength(uint32_t) {
  mConnection->mReadTraces.push_back(kTraceFrameLengthNegative);
}

void ServerConnection::DropTraces::FrameTooLong(uint32_t, int32_t) {
  mConnection->mReadTraces.push_back(kTraceFrameTooLong);
}

bool ServerConnection::ReadFrame(int socket) {
  const unsigned generation = mConnectionGeneration.load();
  if (generation != mReceiveGeneration) {
    mReceiveGeneration = generation;
    // A partial frame of an earlier connection is forgotten.
    mAssembler.Reset();
  }
  // A connection found gone is not read again; the UI thread lets it go.
  if (mLostGeneration.load() == generation) return false;

  // Bytes this call may still scan or skip outside a payload; a frame's own payload is not
  // counted, as it is at most mBufferSize and ends the call.
  mAssembler.StartTurn(mBufferSize);
  for (;;) {
    // The UI thread clears the handle to close the socket; it waits for this read meanwhile.
    if (mSocket.load() != socket) return false;
    unsigned char* space = nullptr;
    int size = 0;
    switch (mAssembler.Next(&space, &size)) {
      case FrameAssembler::Want::kFrame:
        return true;
      case FrameAssembler::Want::kBudgetSpent:
        return false;
      case FrameAssembler::Want::kBytes:
        break;
    }
    // Exactly what the frame still needs is asked for, so nothing past it leaves the socket; a
    // read that brings less ends the call.
    int count = 0;
    mTcp.Read(socket, space, size, &count);
    if (count == 0 && PeerGone(socket, space, size, &count)) {
      mLostGeneration = generation;
      // Traced once for the user's connection and then once for each one that delivered frames.
      if (!mLossTraced.exchange(true)) mReadTraces.push_back(kovrim_texts::kConnectionLostTrace);
      return false;
    }
    switch (mAssembler.Commit(count)) {
      case FrameAssembler::Step::kFrame:
        return true;
      case FrameAssembler::Step::kShort:
        return false;
      case FrameAssembler::Step::kGoOn:
        break;
    }
  }
}

bool ServerConnection::PeerGone(int socket, unsigned char* space, int size, int* count) {
  const Clock::time_point now = Clock::now();
  if (now - mLastGoneCheck < kGoneCheckInterval) return false;
  mLastGoneCheck = now;
  if (mTcp.Select(socket, true, false, false, 0) <= 0) return false;
  mTcp.Read(socket, space, size, count);
  return *count == 0;
}

void ServerConnection::Decode(const unsigned char* payload, int length, uint32_t marker,
                              LinkMessage* message) {
  message->mWireSize = length > 0 ? length : 0;
  if (length < 0 || length > mBufferSize) {
    message->mResult = PayloadDecoder::Result::kTooLong;
    return;
  }
  // The input is at most mBufferSize bytes and nests at most kMaxMessageDepth messages deep, so
  // the envelope built from it stays a few megabytes at worst.
  message->mResult =
      mDecoder.Decode(payload, static_cast<size_t>(length),
                      marker == kovrim::wire::kCompressedMarker, &message->mEnvelope);
}

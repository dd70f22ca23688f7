#include "server_link.h"

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include "kovrim_texts.h"

using IvraPlugs::BVH_FRAME;
using IvraPlugs::BVH_HEADER;
using IvraPlugs::BVH_JOIN;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using kovrim::MutexLock;

namespace {

constexpr int kCommandFrameSize = 512;
using kovrim::wire::FrameAssembler;
using kovrim::wire::PayloadDecoder;

FBVector4<double> NeutralTranslation() { return FBVector4<double>(0.0, 0.0, 0.0, 1.0); }
FBVector3<double> NeutralRotation() { return FBVector3<double>(0.0, 0.0, 0.0); }

// The single-axis rotation that one rotation channel stands for.
void AxisRotation(FBMatrix& matrix, int channel, double angle) {
  FBVector3<double> angles(0.0, 0.0, 0.0);
  angles[channel - BVH_JOIN::Xrotation] = angle;
  FBRotationToMatrix(matrix, angles, kFBXYZ);
}

bool IsRotationChannel(int channel) {
  return channel >= BVH_JOIN::Xrotation && channel <= BVH_JOIN::Zrotation;
}

// Whether two T-pose tables describe one skeleton: the same records, channels and offsets.
bool SameSkeleton(const std::vector<JointPose>& a, const std::vector<JointPose>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].mIsEndSite != b[i].mIsEndSite || a[i].mChannels != b[i].mChannels) return false;
    for (int axis = 0; axis < 3; ++axis) {
      if (a[i].mTranslation[axis] != b[i].mTranslation[axis]) return false;
    }
  }
  return true;
}

}  // namespace

ServerLink::ServerLink() : mAddress("127.0.0.1") {}

ServerLink::~ServerLink() {
  int socket = mSocket.exchange(0);
  if (socket != 0) mTcp.CloseSocket(socket);
  CloseReleasedSocket();
}

bool ServerLink::Open() {
  // A socket left open by an earlier Open would otherwise leak.
  mConnector.Abandon();
  ReleaseSocket();
  int socket = 0;
  mTcp.CreateSocket(socket, kFBTCPIP_Stream, "ip", true);
  if (mTcp.Connect(socket, mAddress, mPort)) {
    // The user's own connection: its loss is traced, and a reconnection starts from the first wait.
    mLossTraced = false;
    mBackoff.Reset();
    InstallSocket(socket);
    mOnline = true;
    return true;
  }
  if (!mOnline) mState = ConnectionState::kOffline;
  FBMessageBox(kovrim_texts::kWarningTitle, kovrim_texts::kConnectFailureText,
               kovrim_texts::kOkButton, nullptr, nullptr, 0, 0);
  if (socket != 0) mTcp.CloseSocket(socket);
  mSocket = 0;
  return false;
}

void ServerLink::Close() {
  mConnector.Abandon();
  ReleaseSocket();
  mOnline = false;
  // Whatever is held back is told now: the stream that caused it has ended.
  mTraces.Flush(mClock(), true);
  mState = ConnectionState::kOffline;
}

void ServerLink::InstallSocket(int socket) {
  mConnectionGeneration.fetch_add(1);
  mSocket = socket;
  mState = ConnectionState::kConnected;
  mConnectedAt = mClock();
}

void ServerLink::WaitForNextAttempt(bool attemptFailed) {
  mLastAttemptFailed = attemptFailed;
  mNextAttempt = mClock() + mBackoff.Next();
  mState = ConnectionState::kWaiting;
}

ServerLink::Clock::duration ServerLink::RetryIn() const {
  const Clock::duration left = mNextAttempt - mClock();
  return left > Clock::duration::zero() ? left : Clock::duration::zero();
}

void ServerLink::KeepConnected() {
  if (!mOnline) return;
  switch (mState) {
    case ConnectionState::kOffline:
      return;
    case ConnectionState::kConnected: {
      const unsigned generation = mConnectionGeneration.load();
      if (mLostGeneration.load() != generation) return;
      ReleaseSocket();
      // Only a connection that delivered a frame counts as good: one that the server closes at
      // once keeps the waits growing.
      if (mDeliveredGeneration.load() == generation) mBackoff.Reset();
      WaitForNextAttempt(false);
      return;
    }
    case ConnectionState::kWaiting:
      if (mClock() < mNextAttempt) return;
      mConnector.Start(mAddress, mPort);
      mState = ConnectionState::kConnecting;
      return;
    case ConnectionState::kConnecting: {
      int socket = 0;
      switch (mConnector.Take(&socket)) {
        case LinkConnector::Result::kRunning:
          return;
        case LinkConnector::Result::kConnected:
          InstallSocket(socket);
          // The answer to a query lost with the old connection, or the header of a server that
          // may have restarted with another skeleton, is asked for again.
          if (mHeaderReceived || mHeaderPending) {
            mReconnectHeaderPending = true;
            RequestHeader();
          }
          return;
        case LinkConnector::Result::kNone:
        case LinkConnector::Result::kFailed:
          WaitForNextAttempt(true);
          return;
      }
      return;
    }
  }
}

bool ServerLink::ReleaseSocket() {
  const int socket = mSocket.exchange(0);
  if (socket == 0) return true;
  // A ReadMessage on the I/O thread may still be reading the handle it loaded before it was
  // cleared; closing under it would let a new socket take the number while that read goes on. So
  // the handle is closed by whichever of this thread and the last reader comes second: the reader
  // gives it up at its next step, and Close never waits for the network.
  int earlier = mSocketToClose.exchange(socket);
  if (earlier != 0) {
    // A handle released before is still held by the same read (Close, Open and Close within one
    // read step): wait for that step, which never blocks, rather than leak the handle.
    while (mSocketUsers.load() > 0) std::this_thread::yield();
    mTcp.CloseSocket(earlier);
  }
  if (mSocketUsers.load() == 0) CloseReleasedSocket();
  return true;
}

void ServerLink::CloseReleasedSocket() {
  int socket = mSocketToClose.exchange(0);
  if (socket != 0) mTcp.CloseSocket(socket);
}

bool ServerLink::ReadMessage() {
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
  // Dispatched once the socket is let go, so that a parse never keeps a released handle open.
  if (whole) {
    DispatchMessage(mAssembler.payload(), mAssembler.payload_length(), mAssembler.marker());
  }
  return whole;
}

void ServerLink::Trace(const char* text) { mTraces.Report(text, mClock()); }

void ServerLink::FlushTraces() { mTraces.Flush(mClock(), false); }

void ServerLink::DropTraces::NegativeLength(uint32_t) { mLink->Trace(kTraceFrameLengthNegative); }

void ServerLink::DropTraces::FrameTooLong(uint32_t, int32_t) { mLink->Trace(kTraceFrameTooLong); }

bool ServerLink::ReadFrame(int socket) {
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
      if (!mLossTraced.exchange(true)) Trace(kovrim_texts::kConnectionLostTrace);
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

bool ServerLink::PeerGone(int socket, unsigned char* space, int size, int* count) {
  if (mTcp.Select(socket, true, false, false, 0) <= 0) return false;
  mTcp.Read(socket, space, size, count);
  return *count == 0;
}

void ServerLink::DispatchMessage(const unsigned char* payload, int length, uint32_t marker) {
  mFrameApplied = false;
  if (length < 0 || length > mBufferSize) {
    Trace("The data received maybe incorrect.");
    return;
  }
  // The input is at most mBufferSize bytes and nests at most kMaxMessageDepth messages deep, so
  // the envelope built from it stays a few megabytes at worst.
  IVRA_PLUGIN_MESSAGE envelope;
  switch (mDecoder.Decode(payload, static_cast<size_t>(length), marker == kCompressedMarker,
                          &envelope)) {
    case PayloadDecoder::Result::kDecoded:
      break;
    case PayloadDecoder::Result::kInflatesTooFar:
      Trace(kTraceFrameInflatesTooFar);
      return;
    case PayloadDecoder::Result::kTooManyJoints:
      Trace(kTraceTooManyJoints);
      return;
    case PayloadDecoder::Result::kTooManyActors:
      Trace(kTraceTooManyActors);
      return;
    case PayloadDecoder::Result::kTooLong:
    case PayloadDecoder::Result::kDamaged:
    case PayloadDecoder::Result::kNotEnvelope:
      Trace("The data received maybe incorrect.");
      return;
  }

  switch (envelope.message()) {
    case IVRA_PLUGIN_MESSAGE::COMMAND:
      if (envelope.command().cmdtype() == COMMAND::Notify_ActorsList) {
        ReplaceActors(envelope.command());
      }
      break;
    case IVRA_PLUGIN_MESSAGE::HEADER_DATA:
      AcceptHeader(envelope.mutable_header());
      break;
    case IVRA_PLUGIN_MESSAGE::FRAME_DATA:
      if (mHeaderReceived && !mHeaderPending) {
        bool whole = true;
        {
          MutexLock lock(&mLock);
          whole = AcceptFrame(envelope.frame());
        }
        // Traced after the lock, so that the trace's own lock is never taken under mLock.
        if (!whole) Trace("Frame Wrong!!\n");
      }
      break;
  }
}

void ServerLink::ReplaceActors(const COMMAND& command) {
  // actorslist() reads as an empty list when the command carries none.
  const IvraPlugs::TAG_MAP_STRING& list = command.actorslist();
  // Built without the lock, like a header's tables: a list of tens of thousands of entries would
  // otherwise keep the getters waiting while it is copied and the old one destroyed.
  std::map<uint32_t, std::string> actors;
  for (const auto& entry : list.map()) actors[entry.first] = entry.second;
  {
    MutexLock lock(&mLock);
    mActors.swap(actors);
    mActorsChanged = true;
  }
  // The previous list, now in actors, is destroyed after the lock.
}

void ServerLink::AcceptHeader(BVH_HEADER* header) {
  if (!header->has_actortag() || header->actortag() != mActorTag) return;
  const uint32_t tag = header->actortag();

  // Everything that takes time is done without the lock: a getter waits at most for the swap.
  bool rootWrong = false;
  const int rotationOrder = DetectRotationOrder(header->rootjoin(), &rootWrong);
  std::vector<JointPose> live;
  std::vector<JointPose> tPose;
  BuildJointTables(header->rootjoin(), &live, &tPose);
  if (mHeaderBuiltHook) mHeaderBuiltHook();

  bool wasPending = false;
  bool skeletonChanged = false;
  {
    MutexLock lock(&mLock);
    // SelectActor changes the tag together with the pending flag under the lock; a header of the
    // actor chosen before is dropped here, and only here can it be told apart.
    if (tag != mActorTag) return;
    mHeader.Swap(header);
    mLiveJoints.swap(live);
    mTPoseJoints.swap(tPose);
    // The header asked for again after a reconnection: the server may have come back with another
    // skeleton, which is then reported as any changed header is.
    if (mReconnectHeaderPending.exchange(false) && mHeaderReceived) {
      skeletonChanged = !SameSkeleton(mTPoseJoints, tPose);
    }
    if (rotationOrder >= 0) mRotationOrder = rotationOrder;
    // Tested and cleared in one step under the lock, as RequestHeader and SelectActor set it.
    wasPending = mHeaderPending.exchange(false);
    mHeaderReceived = true;
  }
  // The previous header and tables, now in header, live and tPose, are destroyed after the lock.
  if (rootWrong) Trace("BVH header wrong!");
  if (!wasPending || skeletonChanged) Trace("BVH header changed.");
}

int ServerLink::DetectRotationOrder(const BVH_JOIN& root, bool* wrong) {
  int rotations[3];
  int count = 0;
  for (int channel : root.channels()) {
    if (!IsRotationChannel(channel)) continue;
    if (count < 3) rotations[count] = channel;
    ++count;
  }
  *wrong = count != 3;
  if (*wrong) return -1;
  const int first = rotations[0];
  const int second = rotations[1];
  constexpr int X = BVH_JOIN::Xrotation;
  constexpr int Y = BVH_JOIN::Yrotation;
  constexpr int Z = BVH_JOIN::Zrotation;
  if (first == X && second == Y) return 0;
  if (first == X && second == Z) return 1;
  if (first == Y && second == X) return 2;
  if (first == Y && second == Z) return 3;
  if (first == Z && second == X) return 4;
  if (first == Z && second == Y) return 5;
  // A pair naming one axis twice keeps the previous code.
  return -1;
}

void ServerLink::FillJointPose(const BVH_JOIN& joint, JointPose* record) {
  record->mIsEndSite = false;
  for (int channel : joint.channels()) record->mChannels.push_back(channel);
  record->mTranslation[0] = static_cast<double>(joint.offset().x());
  record->mTranslation[1] = static_cast<double>(joint.offset().y());
  record->mTranslation[2] = static_cast<double>(joint.offset().z());
}

void ServerLink::BuildJointTables(const BVH_JOIN& joint, std::vector<JointPose>* live,
                                  std::vector<JointPose>* tPose) {
  JointPose record;
  FillJointPose(joint, &record);
  tPose->push_back(record);
  live->push_back(std::move(record));

  // The recursion is as deep as the tree, which the parse bounds by kMaxMessageDepth.
  for (const BVH_JOIN& child : joint.childjoin()) BuildJointTables(child, live, tPose);

  if (joint.has_endsite()) {
    JointPose endSite;
    endSite.mIsEndSite = true;
    endSite.mTranslation[0] = static_cast<double>(joint.endsite().x());
    endSite.mTranslation[1] = static_cast<double>(joint.endsite().y());
    endSite.mTranslation[2] = static_cast<double>(joint.endsite().z());
    live->push_back(endSite);
    tPose->push_back(std::move(endSite));
  }
}

bool ServerLink::AcceptFrame(const BVH_FRAME& frame) {
  // Re-checked under the lock: SelectActor changes the tag and the pending flag together under it.
  if (mHeaderPending) return true;
  if (!frame.has_actortag() || frame.actortag() != mActorTag) return true;
  mFrameApplied = true;
  mFramesDecoded.fetch_add(1, std::memory_order_relaxed);
  return DecodeFrame(frame);
}

bool ServerLink::DecodeFrame(const BVH_FRAME& frame) {
  const int valueCount = frame.motiondata_size();
  const float* values = frame.motiondata().data();
  int cursor = 0;
  for (size_t index = 0; index < mLiveJoints.size(); ++index) {
    JointPose& pose = mLiveJoints[index];
    if (pose.mIsEndSite) continue;
    const int channelCount = static_cast<int>(pose.mChannels.size());
    // A joint is written whole or not at all: when the values run out, this joint and all after
    // it keep the previous frame's pose.
    if (valueCount - cursor < channelCount) return false;
    const float* jointValues = values + cursor;
    cursor += channelCount;

    if (channelCount == 3) {
      // A joint that carries three channels keeps its header offset as translation.
      pose.mTranslation = mTPoseJoints[index].mTranslation;
    } else {
      for (int i = 0; i < channelCount; ++i) {
        const int channel = pose.mChannels[i];
        if (channel >= BVH_JOIN::Xposition && channel <= BVH_JOIN::Zposition) {
          pose.mTranslation[channel] = static_cast<double>(jointValues[i]);
        }
      }
    }
    pose.mRotation = ToHostRotation(pose.mChannels, jointValues);
  }
  // Values left over after the last joint are ignored.
  return true;
}

FBVector3<double> ServerLink::ToHostRotation(const std::vector<int>& channels,
                                             const float* values) {
  FBMatrix composed;
  FBMatrix single;
  FBMatrix product;
  bool any = false;
  for (size_t i = 0; i < channels.size(); ++i) {
    if (!IsRotationChannel(channels[i])) continue;
    if (!any) {
      AxisRotation(composed, channels[i], static_cast<double>(values[i]));
      any = true;
    } else {
      AxisRotation(single, channels[i], static_cast<double>(values[i]));
      FBMatrixMult(product, composed, single);
      composed = product;
    }
  }
  if (!any) return NeutralRotation();
  FBVector3<double> angles;
  FBMatrixToRotation(angles, composed, kFBXYZ);
  return angles;
}

void ServerLink::SendCommand(int commandType) {
  if (!mOnline) {
    FBMessageBox(kovrim_texts::kWarningTitle, kovrim_texts::kNotOnlineText, kovrim_texts::kOkButton,
                 nullptr, nullptr, 0, 0);
    return;
  }
  if (!COMMAND::CommandType_IsValid(commandType)) return;

  IVRA_PLUGIN_MESSAGE envelope;
  envelope.set_message(IVRA_PLUGIN_MESSAGE::COMMAND);
  envelope.mutable_command()->set_cmdtype(static_cast<COMMAND::CommandType>(commandType));
  envelope.mutable_command()->set_actortag(mActorTag);

  unsigned char frame[kCommandFrameSize];
  std::memset(frame, 0, sizeof(frame));
  kovrim::wire::WriteLittleEndian32(frame, kCompressedMarker);
  google::protobuf::io::ArrayOutputStream array(frame + kovrim::wire::kFrameHeaderSize,
                                                kCommandFrameSize - kovrim::wire::kFrameHeaderSize);
  // Fails when the compressed command did not fit; a cut frame is never sent.
  const bool complete =
      kovrim::wire::EncodePayload(envelope, kovrim::wire::Compression::kGzip, &array);
  const int socket = mSocket.load();
  if (!complete || socket == 0) return;
  const int length = static_cast<int>(array.ByteCount());
  kovrim::wire::WriteLittleEndian32(frame + 4, static_cast<uint32_t>(length));
  mTcp.Write(socket, frame, length + kovrim::wire::kFrameHeaderSize);
}

void ServerLink::RequestHeader() {
  {
    MutexLock lock(&mLock);
    mHeaderPending = true;
  }
  SendCommand(COMMAND::Command_Query_BVH_Header);
}

void ServerLink::SelectActor(uint32_t actorTag) {
  if (actorTag == mActorTag) return;
  {
    // Together under the lock, so that a header of the previous actor being accepted on the I/O
    // thread cannot clear the pending flag of the new one.
    MutexLock lock(&mLock);
    mActorTag = actorTag;
    mHeaderPending = true;
  }
  SendCommand(COMMAND::Command_Query_BVH_Header);
}

FBVector4<double> ServerLink::GetTPoseTranslation(int index) {
  MutexLock lock(&mLock);
  if (index < 0 || static_cast<size_t>(index) >= mTPoseJoints.size()) return NeutralTranslation();
  return mTPoseJoints[index].mTranslation;
}

FBVector3<double> ServerLink::GetTPoseRotation(int index) {
  MutexLock lock(&mLock);
  if (index < 0 || static_cast<size_t>(index) >= mTPoseJoints.size()) return NeutralRotation();
  return mTPoseJoints[index].mRotation;
}

FBVector4<double> ServerLink::GetTranslation(int index) {
  MutexLock lock(&mLock);
  if (mHeaderPending || index < 0 || static_cast<size_t>(index) >= mLiveJoints.size()) {
    return NeutralTranslation();
  }
  return mOnline ? mLiveJoints[index].mTranslation : mTPoseJoints[index].mTranslation;
}

FBVector3<double> ServerLink::GetRotation(int index) {
  MutexLock lock(&mLock);
  if (mHeaderPending || index < 0 || static_cast<size_t>(index) >= mLiveJoints.size()) {
    return NeutralRotation();
  }
  return mOnline ? mLiveJoints[index].mRotation : mTPoseJoints[index].mRotation;
}

void ServerLink::CopyPose(bool tPose, int count, std::vector<PoseValues>* out) {
  out->resize(count > 0 ? static_cast<size_t>(count) : 0);
  MutexLock lock(&mLock);
  // The same choices as the getters, made once for the whole copy.
  const bool neutral = !tPose && mHeaderPending;
  const std::vector<JointPose>& source = (tPose || !mOnline) ? mTPoseJoints : mLiveJoints;
  // The live getters bound the index by the live table, the T-pose getters by theirs.
  // Both tables are built together and have one size; the copy never reads past either.
  const size_t limit =
      neutral ? 0 : std::min(source.size(), tPose ? mTPoseJoints.size() : mLiveJoints.size());
  for (size_t i = 0; i < out->size(); ++i) {
    PoseValues& values = (*out)[i];
    if (i < limit) {
      values.mTranslation = source[i].mTranslation;
      values.mRotation = source[i].mRotation;
    } else {
      values.mTranslation = NeutralTranslation();
      values.mRotation = NeutralRotation();
    }
  }
}

int ServerLink::GetJointCount() {
  MutexLock lock(&mLock);
  return static_cast<int>(mLiveJoints.size());
}

BVH_HEADER ServerLink::CopyHeader() {
  MutexLock lock(&mLock);
  return mHeader;
}

std::map<uint32_t, std::string> ServerLink::CopyActors() {
  MutexLock lock(&mLock);
  return mActors;
}

std::string ServerLink::ActorName(uint32_t tag) {
  MutexLock lock(&mLock);
  const auto found = mActors.find(tag);
  return found == mActors.end() ? std::string() : found->second;
}

int ServerLink::GetRotationOrder() {
  MutexLock lock(&mLock);
  return mRotationOrder;
}

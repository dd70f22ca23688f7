#include "server_link.h"

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <cstring>
#include <string>
#include "kovrim_texts.h"

using IvraPlugs::BVH_FRAME;
using IvraPlugs::BVH_HEADER;
using IvraPlugs::BVH_JOIN;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using kovrim::MutexLock;

namespace {

constexpr int kCommandFrameSize = 512;
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

ServerLink::ServerLink()
    : mAddress("127.0.0.1"),
      mHeader(std::make_shared<const BVH_HEADER>()),
      mActors(std::make_shared<const ActorMap>()) {
  // Joined before the pointer is stored: no two locks are ever held together.
  auto connection = std::make_shared<ServerConnection>(mBufferSize);
  const int id = connection->Join(&mActorTag);
  MutexLock lock(&mConnectionLock);
  mConnection = std::move(connection);
  mMemberId = id;
  mMemberIdNow.store(id, std::memory_order_release);
}

ServerLink::~ServerLink() {
  std::shared_ptr<ServerConnection> connection;
  int id = 0;
  {
    MutexLock lock(&mConnectionLock);
    connection = std::move(mConnection);
    id = mMemberId;
  }
  connection->Leave(id);
}

std::shared_ptr<ServerConnection> ServerLink::Connection() const {
  MutexLock lock(&mConnectionLock);
  return mConnection;
}

void ServerLink::SwitchConnection(std::shared_ptr<ServerConnection> next) {
  const int id = next->Join(&mActorTag);
  mSeenReconnections = next->Reconnections();
  std::shared_ptr<ServerConnection> previous;
  int previousId = 0;
  {
    MutexLock lock(&mConnectionLock);
    previous = std::move(mConnection);
    previousId = mMemberId;
    mConnection = std::move(next);
    mMemberId = id;
  }
  mMemberIdNow.store(id, std::memory_order_release);
  // Left after the swap: the I/O thread no longer takes messages from it. When this link was its
  // last member, its socket is released.
  previous->Leave(previousId);
}

bool ServerLink::Open() {
  std::shared_ptr<ServerConnection> current = Connection();
  std::shared_ptr<ServerConnection> shared = ServerConnection::Find(mAddress, mPort);
  if (shared && shared != current) {
    // Another link of this process reads this server: its connection serves this one too.
    SwitchConnection(std::move(shared));
    mOnline = true;
    return true;
  }
  // A connection that other links share goes on for them; this link makes a new one.
  if (current->MemberCount() > 1) {
    SwitchConnection(std::make_shared<ServerConnection>(mBufferSize));
    current = Connection();
  }
  if (current->Connect(mAddress, mPort, mClock())) {
    mSeenReconnections = current->Reconnections();
    mOnline = true;
    return true;
  }
  if (!mOnline) current->GoOffline();
  FBMessageBox(kovrim_texts::kWarningTitle, kovrim_texts::kConnectFailureText,
               kovrim_texts::kOkButton, nullptr, nullptr, 0, 0);
  return false;
}

void ServerLink::Close() {
  std::shared_ptr<ServerConnection> current = Connection();
  if (current->MemberCount() > 1) {
    SwitchConnection(std::make_shared<ServerConnection>(mBufferSize));
  } else {
    current->GoOffline();
  }
  mOnline = false;
  // Whatever is held back is told now: the stream that caused it has ended.
  mTraces.Flush(mClock(), true);
}

void ServerLink::KeepConnected() {
  if (!mOnline) return;
  std::shared_ptr<ServerConnection> connection = Connection();
  connection->KeepConnected(mClock(), mAddress, mPort);
  if (connection->Reconnections() == mSeenReconnections) return;
  mSeenReconnections = connection->Reconnections();
  // The answer to a query lost with the old connection, or the header of a server that may have
  // restarted with another skeleton, is asked for again.
  if (mHeaderReceived || mHeaderPending) {
    mReconnectHeaderPending = true;
    RequestHeader();
  }
}

bool ServerLink::ReleaseSocket() {
  std::shared_ptr<ServerConnection> current = Connection();
  if (current->MemberCount() > 1) {
    SwitchConnection(std::make_shared<ServerConnection>(mBufferSize));
  } else {
    current->ReleaseSocket();
  }
  return true;
}

bool ServerLink::ReadMessage() {
  // What was taken as a member of a connection the link has left since is dropped, as leaving
  // drops what is queued; while the link stays where it is, messages taken are served without
  // touching the connection.
  if (mMemberIdNow.load(std::memory_order_acquire) != mInboxMember) mInbox.clear();
  if (mInbox.empty()) {
    std::shared_ptr<ServerConnection> connection;
    int id = 0;
    {
      MutexLock lock(&mConnectionLock);
      connection = mConnection;
      id = mMemberId;
    }
    mInboxMember = id;
    mIoTraces.clear();
    connection->Next(id, &mInbox, &mIoTraces);
    for (const char* text : mIoTraces) Trace(text);
  }
  if (mInbox.empty()) {
    mFrameApplied = false;
    return false;
  }
  LinkDelivery delivery = std::move(mInbox.front());
  mInbox.pop_front();
  Apply(std::move(delivery.mMessage), delivery.mAnswersAnother);
  return true;
}

void ServerLink::Trace(const char* text) { mTraces.Report(text, mClock()); }

void ServerLink::FlushTraces() { mTraces.Flush(mClock(), false); }

void ServerLink::DispatchMessage(const unsigned char* payload, int length, uint32_t marker) {
  auto message = std::make_shared<LinkMessage>();
  Connection()->Decode(payload, length, marker, message.get());
  Apply(std::move(message), false);
}

void ServerLink::Apply(std::shared_ptr<LinkMessage> message, bool answersAnother) {
  mFrameApplied = false;
  switch (message->mResult) {
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

  const IVRA_PLUGIN_MESSAGE& envelope = message->mEnvelope;
  switch (envelope.message()) {
    case IVRA_PLUGIN_MESSAGE::COMMAND:
      if (envelope.command().cmdtype() == COMMAND::Notify_ActorsList) {
        ReplaceActors(envelope.command());
      }
      break;
    case IVRA_PLUGIN_MESSAGE::HEADER_DATA: {
      const BVH_HEADER& header = envelope.header();
      if (!header.has_actortag() || header.actortag() != mActorTag) break;
      // Shared, not copied: the snapshot keeps the message it came in (and nothing else of it is
      // ever changed) alive for every link that took it.
      AcceptHeader(std::shared_ptr<const BVH_HEADER>(message, &header), answersAnother);
      break;
    }
    case IVRA_PLUGIN_MESSAGE::FRAME_DATA:
      // Another actor's frame is passed over without the lock (AcceptFrame checks again under it).
      if (mHeaderReceived && !mHeaderPending && envelope.frame().actortag() == mActorTag) {
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
  std::shared_ptr<const ActorMap> actors =
      std::make_shared<const ActorMap>(list.map().begin(), list.map().end());
  {
    MutexLock lock(&mLock);
    mActors.swap(actors);
    mActorsChanged = true;
  }
  // The previous list, now in actors, is destroyed after the lock.
}

void ServerLink::AcceptHeader(std::shared_ptr<const BVH_HEADER> header, bool answersAnother) {
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
  bool quiet = false;
  {
    MutexLock lock(&mLock);
    // SelectActor changes the tag together with the pending flag under the lock; a header of the
    // actor chosen before is dropped here, and only here can it be told apart.
    if (tag != mActorTag) return;
    mHeader.swap(header);
    mLiveJoints.swap(live);
    mTPoseJoints.swap(tPose);
    // The header asked for again after a reconnection: the server may have come back with another
    // skeleton, which is then reported as any changed header is.
    if (mReconnectHeaderPending.exchange(false) && mHeaderReceived) {
      skeletonChanged = !SameSkeleton(mTPoseJoints, tPose);
    }
    // Another link's answer, for the actor this one has too: the same skeleton is no change.
    if (answersAnother && mHeaderReceived && !mHeaderPending && SameSkeleton(mTPoseJoints, tPose)) {
      quiet = true;
    }
    if (rotationOrder >= 0) mRotationOrder = rotationOrder;
    // Tested and cleared in one step under the lock, as RequestHeader and SelectActor set it.
    wasPending = mHeaderPending.exchange(false);
    mHeaderReceived = true;
  }
  // The previous header and tables, now in header, live and tPose, are destroyed after the lock.
  if (rootWrong) Trace("BVH header wrong!");
  if ((!wasPending && !quiet) || skeletonChanged) Trace("BVH header changed.");
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
  kovrim::wire::WriteLittleEndian32(frame, kovrim::wire::kCompressedMarker);
  google::protobuf::io::ArrayOutputStream array(frame + kovrim::wire::kFrameHeaderSize,
                                                kCommandFrameSize - kovrim::wire::kFrameHeaderSize);
  // Fails when the compressed command did not fit; a cut frame is never sent.
  const bool complete =
      kovrim::wire::EncodePayload(envelope, kovrim::wire::Compression::kGzip, &array);
  if (!complete) return;
  const int length = static_cast<int>(array.ByteCount());
  kovrim::wire::WriteLittleEndian32(frame + 4, static_cast<uint32_t>(length));
  const uint32_t tag = mActorTag;
  const bool query = commandType == COMMAND::Command_Query_BVH_Header;
  std::shared_ptr<ServerConnection> connection;
  int id = 0;
  {
    MutexLock lock(&mConnectionLock);
    connection = mConnection;
    id = mMemberId;
  }
  connection->Send(id, frame, length + kovrim::wire::kFrameHeaderSize, query ? &tag : nullptr);
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

std::shared_ptr<const BVH_HEADER> ServerLink::Header() {
  MutexLock lock(&mLock);
  return mHeader;
}

std::shared_ptr<const ServerLink::ActorMap> ServerLink::Actors() {
  MutexLock lock(&mLock);
  return mActors;
}

BVH_HEADER ServerLink::CopyHeader() { return *Header(); }

ServerLink::ActorMap ServerLink::CopyActors() { return *Actors(); }

std::string ServerLink::ActorName(uint32_t tag) {
  const std::shared_ptr<const ActorMap> actors = Actors();
  const auto found = actors->find(tag);
  return found == actors->end() ? std::string() : found->second;
}

int ServerLink::GetRotationOrder() {
  MutexLock lock(&mLock);
  return mRotationOrder;
}

// The motion server's connections: what is queued, written and read on each, the commands it
// answers, and closing.
#include <algorithm>

#include "server_internals.h"

namespace kmq {
namespace {

using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using server_internals::Plural;

constexpr size_t kReadChunk = 16u << 10;
constexpr int kMaxReadsPerWakeup = 8;

}  // namespace

void MotionServer::Send(Client* client, Outgoing kind, uint32_t tag, const std::string& frame,
                        const IVRA_PLUGIN_MESSAGE* message, Clock::time_point now) {
  if (client->mClosed || frame.empty()) return;
  ++client->mFrames.mSent;
  size_t pending = client->Pending();
  if (pending > 0 && pending + frame.size() > mOptions.mMaxQueuedBytes) {
    ++mLocalStats.mSlowClientsDropped;
    ++client->mFrames.mUnsent;
    Close(client, "too slow, " + std::to_string(pending) + " bytes waiting to be sent");
    return;
  }
  if (!client->mFaults) {
    client->mMarks.push_back({client->mQueued, frame.size(), false});
    Append(client, frame);
    return;
  }
  FaultStage* stage = client->mFaults.get();
  switch (kind) {
    case Outgoing::kActorList:
      stage->SubmitActorList(frame, now);
      break;
    case Outgoing::kHeaderAnswer:
      stage->SubmitHeaderAnswer(tag, frame, now);
      break;
    case Outgoing::kMotion:
      stage->SubmitMotion(tag, frame, message, now);
      break;
    case Outgoing::kOther:
      stage->SubmitOther(frame, now);
      break;
  }
  ReleaseFaults(client, now);
}

void MotionServer::Append(Client* client, const std::string& bytes) {
  if (client->mOutStart > 0 && client->mOutStart >= client->mOut.size() / 2) {
    client->mOut.erase(0, client->mOutStart);
    client->mOutStart = 0;
  }
  client->mOut += bytes;
  client->mQueued += bytes.size();
}

void MotionServer::ReleaseFaults(Client* client, Clock::time_point now) {
  if (client->mOutStart > 0 && client->mOutStart >= client->mOut.size() / 2) {
    client->mOut.erase(0, client->mOutStart);
    client->mOutStart = 0;
  }
  const size_t before = client->mOut.size();
  std::vector<FrameMark> marks;
  client->mFaults->Release(now, &client->mOut, &client->mPieces, &marks);
  for (FrameMark mark : marks) {
    mark.mStart = client->mQueued + (mark.mStart - before);
    client->mMarks.push_back(mark);
  }
  client->mQueued += client->mOut.size() - before;
}

void MotionServer::TrackWritten(Client* client, const char* bytes, size_t size) {
  client->mWritten += size;
  client->mFrames.mBytesWritten = client->mWritten;
  client->mWire.Feed(bytes, size);
  RawFrame frame;
  while (client->mWire.Next(&frame)) client->mTaken.push_back(frame.mStreamOffset);
  ConnectionFrames& frames = client->mFrames;
  while (!client->mMarks.empty() &&
         client->mMarks.front().mStart + client->mMarks.front().mSize <= client->mWritten) {
    const FrameMark mark = client->mMarks.front();
    client->mMarks.pop_front();
    while (!client->mTaken.empty() && client->mTaken.front() < mark.mStart) {
      ++frames.mPhantom;
      client->mTaken.pop_front();
    }
    if (!client->mTaken.empty() && client->mTaken.front() == mark.mStart) {
      ++frames.mOnWire;
      if (mark.mDamaged) ++frames.mDamaged;
      client->mTaken.pop_front();
    } else {
      ++frames.mLostOnWire;
    }
  }
}

void MotionServer::RetireFrames(Client* client) {
  ConnectionFrames& frames = client->mFrames;
  if (!frames.mOpen) return;
  frames.mUnsent += client->mMarks.size();
  client->mMarks.clear();
  if (client->mFaults) frames.mUnsent += client->mFaults->HeldFrames();
  // Frames the reader took past the last frame built (a marker inside a frame cut short).
  frames.mPhantom += client->mTaken.size();
  client->mTaken.clear();
  frames.mOpen = false;
  mLocalStats.mClosedFrames.Add(frames);
  ++mLocalStats.mClosedFrames.mConnection;
  mLocalStats.mClosedFrames.mOpen = false;
  mLocalStats.mConnections.push_back(frames);
  if (mLocalStats.mConnections.size() > kMaxConnectionRecords) {
    mLocalStats.mConnections.erase(mLocalStats.mConnections.begin());
  }
}

void MotionServer::CutConnection(Client* client) {
  // Everything queued has been handed to the system: the peer gets it, then the end of the
  // stream. Input left unread would turn the close into a reset that can discard it.
  client->mSocket.ShutdownSend();
  char scratch[4096];
  while (client->mSocket.Receive(scratch, sizeof(scratch)).mStatus == SocketIo::Status::kDone) {
  }
  Close(client,
        "cut by fault injection after " + Plural(client->mFaults->MotionFramesSent(), "frame"));
}

void MotionServer::Flush(Client* client) {
  while (client->Unsent() > 0) {
    // A split write goes out one piece per call.
    size_t size = client->Unsent();
    if (!client->mPieces.empty()) size = std::min(size, client->mPieces.front());
    const SocketIo io = client->mSocket.Send(client->mOut.data() + client->mOutStart, size);
    if (io.mStatus == SocketIo::Status::kDone && io.mBytes > 0) {
      TrackWritten(client, client->mOut.data() + client->mOutStart, io.mBytes);
      client->mOutStart += io.mBytes;
      mLocalStats.mBytesSent += static_cast<uint64_t>(io.mBytes);
      if (!client->mPieces.empty()) {
        client->mPieces.front() -= io.mBytes;
        if (client->mPieces.front() == 0) client->mPieces.pop_front();
      }
      continue;
    }
    if (io.mStatus == SocketIo::Status::kWouldBlock) break;
    Close(client, io.mStatus == SocketIo::Status::kFailed ? io.mError : "send returned 0");
    return;
  }
  if (client->Unsent() == 0) {
    client->mOut.clear();
    client->mOutStart = 0;
  }
}

void MotionServer::ReadClient(Client* client) {
  char buffer[kReadChunk];
  for (int i = 0; i < kMaxReadsPerWakeup && !client->mClosed; ++i) {
    const SocketIo io = client->mSocket.Receive(buffer, sizeof(buffer));
    if (io.mStatus == SocketIo::Status::kEnd) {
      Close(client, "closed by the client");
      return;
    }
    if (io.mStatus != SocketIo::Status::kDone) {
      if (io.mStatus == SocketIo::Status::kFailed) Close(client, io.mError);
      return;
    }
    const size_t got = io.mBytes;
    client->mReader.Feed(buffer, got);
    IVRA_PLUGIN_MESSAGE message;
    while (!client->mClosed && client->mReader.Next(&message)) HandleMessage(client, message);
    uint64_t bad = client->mReader.BadInputCount();
    if (bad > client->mBadInputSeen) {
      if (client->mBadInputSeen == 0) {
        Log("client #" + std::to_string(client->mId) + " sent malformed data; skipping it");
      }
      mLocalStats.mBadInput += bad - client->mBadInputSeen;
      client->mBadInputSeen = bad;
    }
    if (got < sizeof(buffer)) return;
  }
}

void MotionServer::HandleMessage(Client* client, const IVRA_PLUGIN_MESSAGE& message) {
  if (message.message() != IVRA_PLUGIN_MESSAGE::COMMAND || !message.has_command()) {
    ++mLocalStats.mIgnoredMessages;
    return;
  }
  const COMMAND& command = message.command();
  const std::string who = "client #" + std::to_string(client->mId);
  const Clock::time_point now = Clock::now();
  const std::string& actorList = mReplay ? *client->mReplayList : mActorListFrame;
  switch (command.cmdtype()) {
    case COMMAND::Command_Query_BVH_Header: {
      bool hasTag = command.Content_case() == COMMAND::kActorTag;
      if (hasTag && mReplay) {
        auto found = client->mReplayHeaders.find(command.actortag());
        if (found != client->mReplayHeaders.end()) {
          ++mLocalStats.mHeaderQueries;
          client->mAskedTags.insert(found->first);
          Log(who + " asked for actor " + std::to_string(found->first) + ": captured header sent");
          Send(client, Outgoing::kHeaderAnswer, found->first, *found->second, nullptr, now);
          return;
        }
      }
      for (const auto& actor : mActors) {
        if (hasTag && actor->mTag == command.actortag()) {
          ++mLocalStats.mHeaderQueries;
          Log(who + " asked for actor " + std::to_string(actor->mTag) + " (" + actor->mName +
              "): header sent");
          Send(client, Outgoing::kHeaderAnswer, actor->mTag, actor->mHeaderFrame, nullptr, now);
          return;
        }
      }
      // An error alone would leave the plug-in waiting; the list lets it choose again.
      ++mLocalStats.mUnknownActorQueries;
      std::string text = hasTag ? "unknown actor tag " + std::to_string(command.actortag())
                                : "header query without an actor tag";
      Log(who + ": " + text + "; sent an error and the actor list");
      Compression format = mReplay ? mReplay->mCompression : mOptions.mCompression;
      Send(client, Outgoing::kOther, 0, EncodeFrame(MakeErrorMessage(1, text), format), nullptr,
           now);
      if (!actorList.empty()) Send(client, Outgoing::kActorList, 0, actorList, nullptr, now);
      return;
    }
    case COMMAND::Command_Query_ActorList:
      ++mLocalStats.mActorListQueries;
      if (!actorList.empty()) Send(client, Outgoing::kActorList, 0, actorList, nullptr, now);
      return;
    default:
      ++mLocalStats.mIgnoredMessages;
      return;
  }
}

void MotionServer::Close(Client* client, const std::string& reason) {
  if (client->mClosed) return;
  client->mClosed = true;
  client->mCloseReason = reason;
}

void MotionServer::RemoveClosedClients() {
  auto closed = [](const std::unique_ptr<Client>& c) { return c->mClosed; };
  if (std::none_of(mClients.begin(), mClients.end(), closed)) return;
  std::vector<std::unique_ptr<Client>> gone;
  for (auto& client : mClients) {
    if (!client->mClosed) continue;
    RetireFrames(client.get());
    gone.push_back(std::move(client));
  }
  mClients.erase(std::remove(mClients.begin(), mClients.end(), nullptr), mClients.end());
  mLocalStats.mClientsConnected = static_cast<int>(mClients.size());
  for (const auto& client : gone) {
    Log("client #" + std::to_string(client->mId) + " (" + client->mPeer +
        ") disconnected: " + client->mCloseReason + " (" + Plural(mClients.size(), "client") + ")");
  }
  if (mClients.empty()) mPlaying = false;
}

}  // namespace kmq

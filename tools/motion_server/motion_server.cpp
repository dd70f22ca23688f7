#include "motion_server.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <utility>

#include "server_internals.h"
#include "synthetic_actor.h"

namespace kmq {
namespace {

using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using server_internals::kAsapWindow;
using server_internals::Plural;

// Room left under the payload limit for what gzip or zlib may add to incompressible data.
constexpr size_t kCompressionSlack = 1024;
// How long to stop accepting after the process ran out of descriptors, so that a listener that
// stays readable does not spin the loop.
constexpr std::chrono::milliseconds kAcceptBackoff(200);
constexpr int kMaxAcceptsPerWakeup = 64;
std::string Fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
  return buffer;
}

// Decodes a whole frame (marker, length, payload).
bool DecodeFrameBytes(const std::string& frame, IVRA_PLUGIN_MESSAGE* message) {
  if (frame.size() < kovrim::wire::kFrameHeaderSize) return false;
  bool compressed =
      static_cast<unsigned char>(frame[0]) == (kovrim::wire::kCompressedMarker & 0xff);
  return DecodePayload(compressed, frame.data() + kovrim::wire::kFrameHeaderSize,
                       frame.size() - kovrim::wire::kFrameHeaderSize, message, nullptr);
}

// header (an envelope) with its root's last channel replaced by 9, a value Channel leaves out.
// The parser of a closed enum keeps unknown values aside, so the value travels as an unknown
// field.
IVRA_PLUGIN_MESSAGE WithUndeclaredChannel(const IVRA_PLUGIN_MESSAGE& header) {
  IVRA_PLUGIN_MESSAGE bad = header;
  IvraPlugs::BVH_JOIN* root = bad.mutable_header()->mutable_rootjoin();
  if (root->channels_size() > 0) root->mutable_channels()->RemoveLast();
  root->mutable_unknown_fields()->AddVarint(IvraPlugs::BVH_JOIN::kChannelsFieldNumber, 9);
  return bad;
}

}  // namespace

MotionServer::MotionServer(ServerOptions options) : mOptions(std::move(options)) {}

MotionServer::~MotionServer() { Stop(); }

bool MotionServer::AddActor(uint32_t tag, const std::string& name, bvh::Clip clip,
                            std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = "actor " + std::to_string(tag) + " (" + name + "): " + text;
    return false;
  };
  if (mStarted) return fail("actors must be added before Start");
  if (mReplay) return fail("the server replays a capture");
  for (const auto& actor : mActors) {
    if (actor->mTag == tag) return fail("tag already used by " + actor->mName);
  }
  std::string problem;
  if (!bvh::ValidateClip(clip, &problem)) return fail(problem);
  if (clip.mFrameCount < 1) return fail("the clip has no frames");
  if (bvh::MaxDepth(clip.mRoot) > kMaxWireJointDepth) {
    return fail("joints nested deeper than " + std::to_string(kMaxWireJointDepth) +
                " cannot be sent");
  }
  const size_t limit = kMaxPayloadBytes - kCompressionSlack;
  IVRA_PLUGIN_MESSAGE header = MakeHeaderMessage(clip, tag, name);
  if (header.ByteSizeLong() > limit) {
    return fail("the skeleton's header (" + std::to_string(header.ByteSizeLong()) +
                " bytes) would not fit the plug-in's buffer");
  }
  // Every frame has the same plain size: unpacked floats take 5 bytes each.
  size_t frameBytes = MakeFrameMessage(clip, 0, tag).ByteSizeLong();
  if (frameBytes > limit) {
    return fail("a frame (" + std::to_string(frameBytes) +
                " bytes) would not fit the plug-in's buffer");
  }
  auto actor = std::make_unique<Actor>();
  actor->mHeaderFrame = EncodeFrame(header, mOptions.mCompression);
  if (actor->mHeaderFrame.empty()) return fail("cannot encode the header");
  actor->mTag = tag;
  actor->mName = name;
  double seconds = mOptions.mRate > 0 ? 1.0 / mOptions.mRate : clip.mFrameTime;
  actor->mPeriod = std::chrono::duration<double>(seconds);
  actor->mClip = std::move(clip);
  mActors.push_back(std::move(actor));
  return true;
}

bool MotionServer::AddSyntheticActor(uint32_t tag, const std::string& name, std::string* error) {
  return AddActor(tag, name, MakeSyntheticClip(), error);
}

bool MotionServer::AddReplay(const Capture& capture, std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (mStarted) return fail("a replay must be added before Start");
  if (mReplay) return fail("the server replays a capture already");
  if (!mActors.empty()) return fail("the server serves actors; a replay cannot be added");
  auto plan = std::make_unique<ReplayPlan>();
  if (!BuildReplayPlan(capture, plan.get(), error)) return false;
  mReplay = std::move(plan);
  return true;
}

bool MotionServer::Start(std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (mStarted) return fail("the server was started already");
  if (mActors.empty() && !mReplay) return fail("no actor to serve");
  if (!(mOptions.mReplaySpeed > 0) || !std::isfinite(mOptions.mReplaySpeed)) {
    return fail("the replay speed must be a positive number");
  }
  if (!mOptions.mFaults.Validate(error)) return false;
  if (mOptions.mPort < 0 || mOptions.mPort > 65535) {
    return fail("port " + std::to_string(mOptions.mPort) + " is not in 0..65535");
  }
  if (!(mOptions.mRate >= 0) || !std::isfinite(mOptions.mRate)) {
    return fail("the frame rate must be a positive number, or 0 for each clip's own");
  }
  if (!(mOptions.mStatusInterval >= 0) || !std::isfinite(mOptions.mStatusInterval)) {
    return fail("the status interval must be 0 or more seconds");
  }

  if (mReplay) {
    mActorListFrame = mReplay->mActorList;
  } else {
    std::map<uint32_t, std::string> names;
    for (const auto& actor : mActors) names[actor->mTag] = actor->mName;
    mActorListFrame = EncodeFrame(MakeActorListMessage(names), mOptions.mCompression);
    if (mActorListFrame.empty() || mActorListFrame.size() - kovrim::wire::kFrameHeaderSize >
                                       kMaxPayloadBytes - kCompressionSlack) {
      return fail("the actor list would not fit the plug-in's buffer");
    }
  }
  if (mOptions.mFaults.Any() && !BuildFaultContext(error)) return false;

  int port = -1;
  if (!ServerSocket::Listen(mOptions.mBindAddress, mOptions.mPort, &mListener, &port, error)) {
    return false;
  }
  mPort = port;
  if (!mWait.Open(error)) {
    mListener.Reset();
    mPort = -1;
    return false;
  }
  mStarted = true;
  mThread = std::thread([this] { Run(); });
  return true;
}

bool MotionServer::BuildFaultContext(std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  const FaultOptions& faults = mOptions.mFaults;
  mFaultContext = FaultContext();
  mFaultContext.mCompression = mReplay ? mReplay->mCompression : mOptions.mCompression;
  // The actor list and every actor's header, decoded, with the format each was sent in.
  IVRA_PLUGIN_MESSAGE list;
  bool haveList = false;
  struct Header {
    IVRA_PLUGIN_MESSAGE mMessage;
    Compression mFormat = Compression::kGzip;
  };
  std::map<uint32_t, Header> headers;
  if (mReplay) {
    haveList = DecodeFrameBytes(mReplay->mActorList, &list);
    for (const auto& [tag, frame] : mReplay->mHeaders) {
      Header header;
      if (!DecodeFrameBytes(frame, &header.mMessage)) continue;
      header.mFormat = FrameCompression(frame);
      headers.emplace(tag, std::move(header));
    }
  } else {
    std::map<uint32_t, std::string> names;
    for (const auto& actor : mActors) {
      names[actor->mTag] = actor->mName;
      Header header;
      header.mMessage = MakeHeaderMessage(actor->mClip, actor->mTag, actor->mName);
      header.mFormat = mOptions.mCompression;
      headers.emplace(actor->mTag, std::move(header));
    }
    list = MakeActorListMessage(names);
    haveList = true;
  }
  if (faults.mBadEnumRate > 0) {
    for (const auto& [tag, header] : headers) {
      mFaultContext.mBadChannelHeaders[tag] =
          EncodeFrame(WithUndeclaredChannel(header.mMessage), header.mFormat);
    }
  }
  if (faults.mChangeSkeletonAfter > 0) {
    // The actor with the lowest tag that is listed and has a header.
    const auto& names = list.command().actorslist().map();
    const Header* header = nullptr;
    for (const auto& [tag, candidate] : headers) {
      if (haveList && names.count(tag) > 0) {
        mFaultContext.mChangeTag = tag;
        header = &candidate;
        break;
      }
    }
    if (header == nullptr) {
      return fail("a skeleton change needs an actor that is in the actor list and has a header");
    }
    const std::string name = ChangedActorName(names.at(mFaultContext.mChangeTag));
    IVRA_PLUGIN_MESSAGE changedList = list;
    (*changedList.mutable_command()
          ->mutable_actorslist()
          ->mutable_map())[mFaultContext.mChangeTag] = name;
    Compression listFormat =
        mReplay ? FrameCompression(mReplay->mActorList) : mOptions.mCompression;
    mFaultContext.mChangedActorList = EncodeFrame(changedList, listFormat);
    mFaultContext.mChangedHeader =
        EncodeFrame(AddChangedJoint(header->mMessage, name), header->mFormat);
    if (mFaultContext.mChangedActorList.empty() || mFaultContext.mChangedHeader.empty()) {
      return fail("cannot encode the changed skeleton");
    }
    mFaultContext.mHasChange = true;
  }
  return true;
}

void MotionServer::Stop() {
  if (!mThread.joinable()) return;
  mStopRequested = true;
  mWait.Wake();
  mThread.join();
  mListener.Reset();
  mWait.Close();
  PublishStats();
}

Stats MotionServer::GetStats() const {
  kovrim::MutexLock lock(&mStatsMutex);
  return mStats;
}

bool MotionServer::WaitForClients(int n, std::chrono::milliseconds deadline) {
  return WaitForStats([n](const Stats& stats) { return stats.mClientsConnected >= n; }, deadline);
}

bool MotionServer::WaitForStats(const std::function<bool(const Stats&)>& done,
                                std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  kovrim::MutexLock lock(&mStatsMutex);
  while (!done(mStats)) {
    if (!mStatsChanged.WaitUntil(&mStatsMutex, until)) break;
  }
  return done(mStats);
}

void MotionServer::PublishStats() {
  kovrim::MutexLock lock(&mStatsMutex);
  mStats = mLocalStats;
  for (const auto& client : mClients) {
    if (client->mFrames.mOpen) mStats.mConnections.push_back(client->mFrames);
  }
  mStatsChanged.NotifyAll();
}

void MotionServer::Log(const std::string& line) const {
  if (mOptions.mQuiet) return;
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

void MotionServer::Run() {
  const bool statusOn = !mOptions.mQuiet && mOptions.mStatusInterval > 0;
  const auto statusPeriod = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(mOptions.mStatusInterval));
  mLastStatus = Clock::now();
  mNextStatus = mLastStatus + statusPeriod;

  while (!mStopRequested.load()) {
    Clock::time_point now = Clock::now();
    AdvancePlayback(now);
    AdvanceReplay(now);
    for (auto& client : mClients) {
      if (client->mClosed) continue;
      if (client->mFaults) ReleaseFaults(client.get(), now);
      if (client->Unsent() > 0) Flush(client.get());
      if (!client->mClosed && client->mFaults && client->mFaults->CutDue() &&
          client->Unsent() == 0) {
        CutConnection(client.get());
      }
    }
    RemoveClosedClients();
    if (!mOptions.mLoop) {
      bool played = false;
      if (mReplay) {
        played = mLocalStats.mReplayPasses > 0 &&
                 std::all_of(mClients.begin(), mClients.end(),
                             [](const auto& client) { return client->mReplayDone; });
      } else {
        played = std::all_of(mActors.begin(), mActors.end(),
                             [](const auto& actor) { return actor->mFinished; });
        // Nothing more will come to fill a burst.
        for (auto& client : mClients) {
          if (played && client->mFaults) client->mFaults->ReleaseBurst();
        }
      }
      mLocalStats.mPlaybackFinished =
          played && std::all_of(mClients.begin(), mClients.end(),
                                [](const auto& client) { return client->Pending() == 0; });
    }
    if (statusOn && now >= mNextStatus) {
      PrintStatus(now);
      mNextStatus = now + statusPeriod;
    }
    PublishStats();

    mWait.Clear();
    const bool acceptPaused = Clock::now() < mAcceptPausedUntil;
    const size_t listener = acceptPaused ? 0 : mWait.Watch(mListener, false);
    // The connections' indexes follow the listener's, when it is watched.
    const size_t first = acceptPaused ? 0 : listener + 1;
    for (const auto& client : mClients) mWait.Watch(client->mSocket, client->Unsent() > 0);
    int timeout = WaitTimeoutMs(Clock::now());
    if (statusOn) {
      auto untilStatus = std::chrono::ceil<std::chrono::milliseconds>(mNextStatus - Clock::now());
      int statusMs = static_cast<int>(std::max<int64_t>(0, untilStatus.count()));
      timeout = timeout < 0 ? statusMs : std::min(timeout, statusMs);
    }
    std::string problem;
    const SocketWait::Status waited = mWait.Wait(timeout, &problem);
    if (waited != SocketWait::Status::kReady) {
      if (waited == SocketWait::Status::kFailed) Log("poll failed: " + problem);
      continue;
    }
    // Clients first: accepting below appends to mClients, past the sockets watched.
    const size_t watched = mClients.size();
    for (size_t i = 0; i < watched; ++i) {
      Client* client = mClients[i].get();
      if (client->mClosed) continue;
      if (mWait.Readable(first + i)) ReadClient(client);
      if (!client->mClosed && mWait.Writable(first + i)) Flush(client);
    }
    if (!acceptPaused && mWait.HasInput(listener)) AcceptClients(Clock::now());
  }
  for (auto& client : mClients) RetireFrames(client.get());
  mClients.clear();
  mPlaying = false;
  mLocalStats.mClientsConnected = 0;
}

int MotionServer::WaitTimeoutMs(Clock::time_point now) const {
  Clock::time_point next = Clock::time_point::max();
  if (mPlaying && !mPaused) {
    for (const auto& actor : mActors) {
      if (!actor->mFinished) next = std::min(next, actor->Due(actor->mNextFrame));
    }
  }
  for (const auto& client : mClients) {
    if (client->mFaults) next = std::min(next, client->mFaults->NextDue());
    if (!mReplay || client->mReplayDone || client->mClosed) continue;
    if (client->mFaults && client->mFaults->Cutting()) continue;
    if (!mOptions.mReplayAsap) {
      next = std::min(next, ReplayDue(*client));
    } else if (client->Pending() < kAsapWindow) {
      next = now;
    }
  }
  if (now < mAcceptPausedUntil) next = std::min(next, mAcceptPausedUntil);
  if (next == Clock::time_point::max()) return -1;
  if (next <= now) return 0;
  // Rounded up: waking early would only loop back into the wait with a 0 ms timeout.
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::min<int64_t>(wait, 60000));
}

void MotionServer::AcceptClients(Clock::time_point now) {
  for (int i = 0; i < kMaxAcceptsPerWakeup; ++i) {
    auto client = std::make_unique<Client>();
    const ServerSocket::Accepted accepted = mListener.Accept(&client->mSocket);
    if (accepted.mStatus == ServerSocket::Accepted::Status::kRetry) continue;
    if (accepted.mStatus == ServerSocket::Accepted::Status::kNone) return;
    if (accepted.mStatus == ServerSocket::Accepted::Status::kFailed) {
      Log("cannot accept a connection: " + accepted.mError);
      if (accepted.mOutOfResources) mAcceptPausedUntil = now + kAcceptBackoff;
      return;
    }
    client->mId = mNextClientId++;
    client->mFrames.mConnection = client->mId;
    client->mPeer = accepted.mPeer;
    if (mOptions.mFaults.Any()) {
      client->mFaults = std::make_unique<FaultStage>(mOptions.mFaults, mFaultContext, client->mId,
                                                     &mLocalStats.mFaults, &client->mFrames);
    }
    if (mReplay) {
      client->mReplayBase = now;
      client->mReplayDone = mReplay->mTimeline.empty();
      client->mReplayList = &mReplay->mActorList;
      for (const auto& [tag, frame] : mReplay->mHeaders) client->mReplayHeaders[tag] = &frame;
    }
    if (!mActorListFrame.empty()) {
      Send(client.get(), Outgoing::kActorList, 0, mActorListFrame, nullptr, now);
    }
    mClients.push_back(std::move(client));
    ++mLocalStats.mTotalConnections;
    int open = static_cast<int>(
        std::count_if(mClients.begin(), mClients.end(), [](const auto& c) { return !c->mClosed; }));
    mLocalStats.mClientsConnected = open;
    Log("client #" + std::to_string(mClients.back()->mId) + " connected from " +
        mClients.back()->mPeer + " (" + Plural(static_cast<uint64_t>(open), "client") + ")");
    if (!mPlaying && !mReplay) ResumePlayback(Clock::now());
  }
}

void MotionServer::PrintStatus(Clock::time_point now) {
  double seconds = std::chrono::duration<double>(now - mLastStatus).count();
  if (seconds <= 0) return;
  double frameRate =
      static_cast<double>(mLocalStats.mFramesPlayed - mFramesPlayedAtLastStatus) / seconds;
  double kibRate =
      static_cast<double>(mLocalStats.mBytesSent - mBytesSentAtLastStatus) / seconds / 1024.0;
  Log("status: " + Plural(mClients.size(), "client") + ", " +
      std::to_string(mLocalStats.mFramesSent) + " frames sent, " + Fixed(frameRate, 1) +
      " frames/s played, " + Fixed(kibRate, 1) + " KiB/s");
  mLastStatus = now;
  mFramesPlayedAtLastStatus = mLocalStats.mFramesPlayed;
  mBytesSentAtLastStatus = mLocalStats.mBytesSent;
}

}  // namespace kmq

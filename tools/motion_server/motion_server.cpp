#include "motion_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
using server_internals::ErrnoText;
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

std::string FormatAddress(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, host, sizeof(host));
    return std::string(host) + ":" + std::to_string(ntohs(in.sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof(host));
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  return "?";
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

  if (!Listen(error)) return false;
  mWake = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (mWake.Get() < 0) {
    int saved = errno;
    mListener.Reset();
    mPort = -1;
    return fail("eventfd: " + ErrnoText(saved));
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

bool MotionServer::Listen(std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string port = std::to_string(mOptions.mPort);
  const char* host = mOptions.mBindAddress.empty() ? nullptr : mOptions.mBindAddress.c_str();
  std::string where = mOptions.mBindAddress + ":" + port;
  int status = ::getaddrinfo(host, port.c_str(), &hints, &found);
  if (status != 0) {
    if (error != nullptr) *error = "cannot listen on " + where + ": " + ::gai_strerror(status);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);
  std::string failure = "no address";
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    UniqueFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (fd.Get() < 0) {
      failure = ErrnoText(errno);
      continue;
    }
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(fd.Get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.Get(), 64) != 0) {
      failure = ErrnoText(errno);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      failure = ErrnoText(errno);
      continue;
    }
    mPort = bound.ss_family == AF_INET6
                ? ntohs(reinterpret_cast<const sockaddr_in6&>(bound).sin6_port)
                : ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    mListener = std::move(fd);
    return true;
  }
  if (error != nullptr) *error = "cannot listen on " + where + ": " + failure;
  return false;
}

void MotionServer::Stop() {
  if (!mThread.joinable()) return;
  mStopRequested = true;
  uint64_t one = 1;
  while (::write(mWake.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
  }
  mThread.join();
  mListener.Reset();
  mWake.Reset();
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
  std::vector<pollfd> fds;

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

    fds.clear();
    fds.push_back({mWake.Get(), POLLIN, 0});
    bool acceptPaused = Clock::now() < mAcceptPausedUntil;
    fds.push_back({acceptPaused ? -1 : mListener.Get(), POLLIN, 0});
    for (const auto& client : mClients) {
      auto events = static_cast<short>(POLLIN | (client->Unsent() > 0 ? POLLOUT : 0));
      fds.push_back({client->mFd.Get(), events, 0});
    }
    int timeout = PollTimeoutMs(Clock::now());
    if (statusOn) {
      auto untilStatus = std::chrono::ceil<std::chrono::milliseconds>(mNextStatus - Clock::now());
      int statusMs = static_cast<int>(std::max<int64_t>(0, untilStatus.count()));
      timeout = timeout < 0 ? statusMs : std::min(timeout, statusMs);
    }
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno != EINTR) Log("poll failed: " + ErrnoText(errno));
      continue;
    }
    if (fds[0].revents != 0) {
      uint64_t count = 0;
      while (::read(mWake.Get(), &count, sizeof(count)) < 0 && errno == EINTR) {
      }
    }
    // Clients first: accepting below appends to mClients, past the descriptors polled.
    for (size_t i = 2; i < fds.size(); ++i) {
      Client* client = mClients[i - 2].get();
      if (client->mClosed) continue;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadClient(client);
      if (!client->mClosed && (fds[i].revents & POLLOUT)) Flush(client);
    }
    if (fds[1].revents & POLLIN) AcceptClients(Clock::now());
  }
  for (auto& client : mClients) RetireFrames(client.get());
  mClients.clear();
  mPlaying = false;
  mLocalStats.mClientsConnected = 0;
}

int MotionServer::PollTimeoutMs(Clock::time_point now) const {
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
  // Rounded up: waking early would only loop back into poll with a 0 ms wait.
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::min<int64_t>(wait, 60000));
}

void MotionServer::AcceptClients(Clock::time_point now) {
  for (int i = 0; i < kMaxAcceptsPerWakeup; ++i) {
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    int fd = ::accept4(mListener.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int saved = errno;
      if (saved == EINTR || saved == ECONNABORTED) continue;
      if (saved == EAGAIN || saved == EWOULDBLOCK) return;
      Log("cannot accept a connection: " + ErrnoText(saved));
      if (saved == EMFILE || saved == ENFILE || saved == ENOBUFS || saved == ENOMEM) {
        mAcceptPausedUntil = now + kAcceptBackoff;
      }
      return;
    }
    auto client = std::make_unique<Client>();
    client->mFd = UniqueFd(fd);
    client->mId = mNextClientId++;
    client->mFrames.mConnection = client->mId;
    client->mPeer = FormatAddress(peer);
    int one = 1;
    // Frames are small and due now: do not let Nagle hold them back.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
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

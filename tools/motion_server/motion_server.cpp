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
#include <map>
#include <utility>

#include "synthetic_actor.h"

namespace kmq {
namespace {

using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

// Commands from the plug-in are a few bytes; anything claiming more is garbage.
constexpr size_t kMaxCommandPayload = 64u << 10;
// Room left under the payload limit for what gzip or zlib may add to incompressible data.
constexpr size_t kCompressionSlack = 1024;
// Frames one actor may send back to back when playback is late, before it gives up catching up
// and restarts its schedule from now.
constexpr int kMaxBurstFrames = 10;
// How long to stop accepting after the process ran out of descriptors, so that a listener that
// stays readable does not spin the loop.
constexpr std::chrono::milliseconds kAcceptBackoff(200);
constexpr size_t kReadChunk = 16u << 10;
constexpr int kMaxReadsPerWakeup = 8;
constexpr int kMaxAcceptsPerWakeup = 64;

std::string ErrnoText(int error) { return std::strerror(error); }

std::string Fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
  return buffer;
}

std::string Plural(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
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

struct MotionServer::Actor {
  uint32_t mTag = 0;
  std::string mName;
  bvh::Clip mClip;
  std::string mHeaderFrame;  // encoded once, sent on every query
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
  OwnedFd mFd;
  std::string mPeer;
  FrameReader mReader{kMaxCommandPayload};
  // Whole frames waiting to be sent; bytes before mOutStart are sent already.
  std::string mOut;
  size_t mOutStart = 0;
  bool mClosed = false;
  std::string mCloseReason;
  uint64_t mBadInputSeen = 0;

  size_t Pending() const { return mOut.size() - mOutStart; }
};

MotionServer::OwnedFd::OwnedFd(OwnedFd&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}

MotionServer::OwnedFd& MotionServer::OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) {
    Reset();
    mFd = std::exchange(other.mFd, -1);
  }
  return *this;
}

MotionServer::OwnedFd::~OwnedFd() { Reset(); }

void MotionServer::OwnedFd::Reset() {
  // close() is not retried on EINTR: on Linux the descriptor is released either way.
  if (mFd >= 0) ::close(mFd);
  mFd = -1;
}

MotionServer::MotionServer(ServerOptions options) : mOptions(std::move(options)) {}

MotionServer::~MotionServer() { Stop(); }

bool MotionServer::AddActor(uint32_t tag, const std::string& name, bvh::Clip clip,
                            std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = "actor " + std::to_string(tag) + " (" + name + "): " + text;
    return false;
  };
  if (mStarted) return fail("actors must be added before Start");
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

bool MotionServer::Start(std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (mStarted) return fail("the server was started already");
  if (mActors.empty()) return fail("no actor to serve");
  if (mOptions.mPort < 0 || mOptions.mPort > 65535) {
    return fail("port " + std::to_string(mOptions.mPort) + " is not in 0..65535");
  }
  if (!(mOptions.mRate >= 0) || !std::isfinite(mOptions.mRate)) {
    return fail("the frame rate must be a positive number, or 0 for each clip's own");
  }
  if (!(mOptions.mStatusInterval >= 0) || !std::isfinite(mOptions.mStatusInterval)) {
    return fail("the status interval must be 0 or more seconds");
  }

  std::map<uint32_t, std::string> names;
  for (const auto& actor : mActors) names[actor->mTag] = actor->mName;
  mActorListFrame = EncodeFrame(MakeActorListMessage(names), mOptions.mCompression);
  if (mActorListFrame.empty() ||
      mActorListFrame.size() - kFramePrefixBytes > kMaxPayloadBytes - kCompressionSlack) {
    return fail("the actor list would not fit the plug-in's buffer");
  }

  if (!Listen(error)) return false;
  mWake = OwnedFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
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
    OwnedFd fd(
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
  std::lock_guard<std::mutex> lock(mStatsMutex);
  return mStats;
}

bool MotionServer::WaitForClients(int n, std::chrono::milliseconds deadline) {
  return WaitForStats([n](const Stats& stats) { return stats.mClientsConnected >= n; }, deadline);
}

bool MotionServer::WaitForStats(const std::function<bool(const Stats&)>& done,
                                std::chrono::milliseconds deadline) {
  std::unique_lock<std::mutex> lock(mStatsMutex);
  return mStatsChanged.wait_for(lock, deadline, [&] { return done(mStats); });
}

void MotionServer::PublishStats() {
  std::lock_guard<std::mutex> lock(mStatsMutex);
  mStats = mLocalStats;
  mStatsChanged.notify_all();
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
    for (auto& client : mClients) {
      if (!client->mClosed && client->Pending() > 0) Flush(client.get());
    }
    RemoveClosedClients();
    if (!mOptions.mLoop) {
      bool done = std::all_of(mActors.begin(), mActors.end(),
                              [](const auto& actor) { return actor->mFinished; }) &&
                  std::all_of(mClients.begin(), mClients.end(),
                              [](const auto& client) { return client->Pending() == 0; });
      mLocalStats.mPlaybackFinished = done;
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
      auto events = static_cast<short>(POLLIN | (client->Pending() > 0 ? POLLOUT : 0));
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
  mClients.clear();
  mPlaying = false;
  mLocalStats.mClientsConnected = 0;
}

int MotionServer::PollTimeoutMs(Clock::time_point now) const {
  Clock::time_point next = Clock::time_point::max();
  if (mPlaying) {
    for (const auto& actor : mActors) {
      if (!actor->mFinished) next = std::min(next, actor->Due(actor->mNextFrame));
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
    client->mFd = OwnedFd(fd);
    client->mId = mNextClientId++;
    client->mPeer = FormatAddress(peer);
    int one = 1;
    // Frames are small and due now: do not let Nagle hold them back.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    Queue(client.get(), mActorListFrame);
    mClients.push_back(std::move(client));
    ++mLocalStats.mTotalConnections;
    int open = static_cast<int>(
        std::count_if(mClients.begin(), mClients.end(), [](const auto& c) { return !c->mClosed; }));
    mLocalStats.mClientsConnected = open;
    Log("client #" + std::to_string(mClients.back()->mId) + " connected from " +
        mClients.back()->mPeer + " (" + Plural(static_cast<uint64_t>(open), "client") + ")");
    if (!mPlaying) ResumePlayback(Clock::now());
  }
}

void MotionServer::ResumePlayback(Clock::time_point now) {
  // Playback runs only while someone watches, and goes on where it stopped; with no loop, a
  // clip is then seen whole by the first client.
  mPlaying = true;
  for (auto& actor : mActors) {
    actor->mBase = now - std::chrono::duration_cast<Clock::duration>(
                             actor->mPeriod * static_cast<double>(actor->mNextFrame));
  }
}

void MotionServer::AdvancePlayback(Clock::time_point now) {
  if (!mPlaying) return;
  for (auto& actor : mActors) {
    int burst = 0;
    while (!actor->mFinished && actor->Due(actor->mNextFrame) <= now && burst < kMaxBurstFrames) {
      PlayFrame(actor.get());
      ++burst;
    }
    if (!actor->mFinished && actor->Due(actor->mNextFrame) <= now) {
      // Too far behind: keep the frame order and restart the schedule one period from now.
      actor->mBase = now + std::chrono::duration_cast<Clock::duration>(actor->mPeriod) -
                     std::chrono::duration_cast<Clock::duration>(
                         actor->mPeriod * static_cast<double>(actor->mNextFrame));
      ++mLocalStats.mResyncs;
    }
  }
}

void MotionServer::PlayFrame(Actor* actor) {
  const bvh::Clip& clip = actor->mClip;
  auto row = static_cast<size_t>(actor->mNextFrame % static_cast<uint64_t>(clip.mFrameCount));
  const size_t channels = static_cast<size_t>(clip.mChannelCount);
  const float* values = clip.mValues.data() + row * channels;
  mFrameMessage.set_message(IVRA_PLUGIN_MESSAGE::FRAME_DATA);
  IvraPlugs::BVH_FRAME* frame = mFrameMessage.mutable_frame();
  frame->clear_motiondata();
  for (size_t i = 0; i < channels; ++i) frame->add_motiondata(values[i]);
  frame->set_actortag(actor->mTag);

  ++actor->mNextFrame;
  if (!mOptions.mLoop && actor->mNextFrame >= static_cast<uint64_t>(clip.mFrameCount)) {
    actor->mFinished = true;
  }
  ++mLocalStats.mFramesPlayed;
  std::string bytes = EncodeFrame(mFrameMessage, mOptions.mCompression);
  if (bytes.empty()) return;  // AddActor checked the size, so only a failing compressor gets here
  for (auto& client : mClients) {
    if (client->mClosed) continue;
    Queue(client.get(), bytes);
    if (!client->mClosed) ++mLocalStats.mFramesSent;
  }
}

void MotionServer::Queue(Client* client, const std::string& frame) {
  if (client->mClosed) return;
  size_t pending = client->Pending();
  if (pending > 0 && pending + frame.size() > mOptions.mMaxQueuedBytes) {
    ++mLocalStats.mSlowClientsDropped;
    Close(client, "too slow, " + std::to_string(pending) + " bytes waiting to be sent");
    return;
  }
  if (client->mOutStart > 0 && client->mOutStart >= client->mOut.size() / 2) {
    client->mOut.erase(0, client->mOutStart);
    client->mOutStart = 0;
  }
  client->mOut += frame;
}

void MotionServer::Flush(Client* client) {
  while (client->Pending() > 0) {
    ssize_t sent = ::send(client->mFd.Get(), client->mOut.data() + client->mOutStart,
                          client->Pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      client->mOutStart += static_cast<size_t>(sent);
      mLocalStats.mBytesSent += static_cast<uint64_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Close(client, sent < 0 ? ErrnoText(errno) : "send returned 0");
    return;
  }
  if (client->Pending() == 0) {
    client->mOut.clear();
    client->mOutStart = 0;
  }
}

void MotionServer::ReadClient(Client* client) {
  char buffer[kReadChunk];
  for (int i = 0; i < kMaxReadsPerWakeup && !client->mClosed; ++i) {
    ssize_t got = ::recv(client->mFd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got == 0) {
      Close(client, "closed by the client");
      return;
    }
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Close(client, ErrnoText(errno));
      return;
    }
    client->mReader.Feed(buffer, static_cast<size_t>(got));
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
    if (static_cast<size_t>(got) < sizeof(buffer)) return;
  }
}

void MotionServer::HandleMessage(Client* client, const IVRA_PLUGIN_MESSAGE& message) {
  if (message.message() != IVRA_PLUGIN_MESSAGE::COMMAND || !message.has_command()) {
    ++mLocalStats.mIgnoredMessages;
    return;
  }
  const COMMAND& command = message.command();
  const std::string who = "client #" + std::to_string(client->mId);
  switch (command.cmdtype()) {
    case COMMAND::Command_Query_BVH_Header: {
      bool hasTag = command.Content_case() == COMMAND::kActorTag;
      for (const auto& actor : mActors) {
        if (hasTag && actor->mTag == command.actortag()) {
          ++mLocalStats.mHeaderQueries;
          Log(who + " asked for actor " + std::to_string(actor->mTag) + " (" + actor->mName +
              "): header sent");
          Queue(client, actor->mHeaderFrame);
          return;
        }
      }
      // An error alone would leave the plug-in waiting; the list lets it choose again.
      ++mLocalStats.mUnknownActorQueries;
      std::string text = hasTag ? "unknown actor tag " + std::to_string(command.actortag())
                                : "header query without an actor tag";
      Log(who + ": " + text + "; sent an error and the actor list");
      Queue(client, EncodeFrame(MakeErrorMessage(1, text), mOptions.mCompression));
      Queue(client, mActorListFrame);
      return;
    }
    case COMMAND::Command_Query_ActorList:
      ++mLocalStats.mActorListQueries;
      Queue(client, mActorListFrame);
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
    if (client->mClosed) gone.push_back(std::move(client));
  }
  mClients.erase(std::remove(mClients.begin(), mClients.end(), nullptr), mClients.end());
  mLocalStats.mClientsConnected = static_cast<int>(mClients.size());
  for (const auto& client : gone) {
    Log("client #" + std::to_string(client->mId) + " (" + client->mPeer +
        ") disconnected: " + client->mCloseReason + " (" + Plural(mClients.size(), "client") + ")");
  }
  if (mClients.empty()) mPlaying = false;
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

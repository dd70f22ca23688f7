#include "capture_session.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "motion_protocol.h"

namespace kmq {
namespace {

using Clock = std::chrono::steady_clock;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

constexpr size_t kReadChunk = 64u << 10;
// Frames kept in memory while the file waits for the actor list.
constexpr size_t kMaxPendingRecords = 1024;

std::string ErrnoText(int error) { return std::strerror(error); }

// Owns one socket and closes it when destroyed.
class Socket {
 public:
  Socket() = default;
  ~Socket() {
    if (mFd >= 0) ::close(mFd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  void Reset(int fd) {
    if (mFd >= 0) ::close(mFd);
    mFd = fd;
  }
  int Get() const { return mFd; }
  int Release() { return std::exchange(mFd, -1); }

 private:
  int mFd = -1;
};

int MillisUntil(Clock::time_point until, Clock::time_point now) {
  if (until <= now) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::min<int64_t>(ms, 60000));
}

std::string Address(const std::string& host, int port) {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string TagList(const std::vector<uint32_t>& tags) {
  std::string text;
  for (uint32_t tag : tags) text += (text.empty() ? "" : ", ") + std::to_string(tag);
  return text.empty() ? "none" : text;
}

}  // namespace

CaptureSession::CaptureSession() : mWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CaptureSession::~CaptureSession() {
  if (mWake >= 0) ::close(mWake);
}

void CaptureSession::RequestStop() {
  mStopRequested.store(true);
  uint64_t one = 1;
  if (mWake >= 0) {
    while (::write(mWake, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  }
}

CaptureProgress CaptureSession::GetProgress() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mProgress;
}

std::vector<std::string> CaptureSession::TakeNotes() {
  std::lock_guard<std::mutex> lock(mMutex);
  return std::exchange(mNotes, {});
}

bool CaptureSession::WaitForProgress(const std::function<bool(const CaptureProgress&)>& done,
                                     std::chrono::milliseconds deadline) {
  std::unique_lock<std::mutex> lock(mMutex);
  mProgressChanged.wait_for(lock, deadline, [&] { return done(mProgress) || mFinished.load(); });
  return done(mProgress);
}

void CaptureSession::Publish(const CaptureProgress& progress) {
  std::lock_guard<std::mutex> lock(mMutex);
  mProgress = progress;
  mProgressChanged.notify_all();
}

void CaptureSession::MarkFinished() {
  std::lock_guard<std::mutex> lock(mMutex);
  mFinished.store(true);
  mProgressChanged.notify_all();
}

void CaptureSession::Note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mMutex);
  mNotes.push_back(line);
}

bool CaptureSession::Run(const CaptureOptions& options, CaptureResult* result) {
  *result = CaptureResult();
  struct FinishOnExit {
    CaptureSession* mSession;
    ~FinishOnExit() { mSession->MarkFinished(); }
  } finish{this};
  auto end = [&](CaptureEnd how, const std::string& message) {
    result->mEnd = how;
    result->mMessage = message;
    result->mProgress = GetProgress();
    return how == CaptureEnd::kStopped || how == CaptureEnd::kTimeUp ||
           how == CaptureEnd::kServerClosed;
  };
  if (mWake < 0) return end(CaptureEnd::kNetworkError, "eventfd: " + ErrnoText(errno));
  if (options.mPort < 1 || options.mPort > 65535) {
    return end(CaptureEnd::kConnectFailed,
               "port " + std::to_string(options.mPort) + " is not in 1..65535");
  }
  const std::string where = Address(options.mHost, options.mPort);

  // Connect, without blocking, so that a stop request or the timeout ends the wait.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string port = std::to_string(options.mPort);
  int status = ::getaddrinfo(options.mHost.c_str(), port.c_str(), &hints, &found);
  if (status != 0) {
    return end(CaptureEnd::kConnectFailed,
               "cannot resolve " + options.mHost + ": " + ::gai_strerror(status));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);
  Socket socket;
  std::string failure = "no address";
  const Clock::time_point connectUntil =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(0.0, options.mConnectTimeout)));
  for (addrinfo* ai = found; ai != nullptr && socket.Get() < 0; ai = ai->ai_next) {
    int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      failure = ErrnoText(errno);
      continue;
    }
    Socket attempt;
    attempt.Reset(fd);
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        failure = ErrnoText(errno);
        continue;
      }
      pollfd fds[2] = {{fd, POLLOUT, 0}, {mWake, POLLIN, 0}};
      int ready = 0;
      do {
        ready = ::poll(fds, 2, MillisUntil(connectUntil, Clock::now()));
      } while (ready < 0 && errno == EINTR);
      if (mStopRequested.load()) return end(CaptureEnd::kStopped, "stopped before connecting");
      if (ready <= 0 || fds[0].revents == 0) {
        failure = ready < 0 ? ErrnoText(errno) : "timed out";
        continue;
      }
      int error = 0;
      socklen_t length = sizeof(error);
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) {
        failure = ErrnoText(error);
        continue;
      }
    }
    socket.Reset(attempt.Release());
  }
  if (socket.Get() < 0) {
    return end(CaptureEnd::kConnectFailed, "cannot connect to " + where + ": " + failure);
  }
  int one = 1;
  ::setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

  const Clock::time_point start = Clock::now();
  const auto wallMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  const bool timed = options.mSeconds > 0;
  const Clock::time_point stopAt =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(timed ? options.mSeconds : 0));
  const Clock::time_point listDeadline =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(std::max(0.0, options.mListTimeout)));
  CaptureProgress connected;
  connected.mConnected = true;
  Publish(connected);
  Note("connected to " + where);

  CaptureWriter writer;
  std::vector<CaptureRecord> pending;  // frames that came before the file was created
  std::vector<uint32_t> chosen;        // actors asked for when the file was created
  std::set<uint32_t> asked;
  std::string outgoing;  // header queries not yet sent
  bool sawList = false;
  std::string fileError;

  auto openFile = [&]() {
    CaptureHeader header;
    header.mCreatedMicros = wallMicros;
    header.mServerAddress = where;
    header.mActorTags = chosen;
    if (!writer.Open(options.mPath, header, &fileError)) return false;
    for (const CaptureRecord& record : pending) {
      if (!writer.Append(record, &fileError)) return false;
    }
    pending.clear();
    return true;
  };
  auto ask = [&](uint32_t tag) {
    if (!asked.insert(tag).second) return;
    // As the plug-in asks: a gzip COMMAND envelope, Command_Query_BVH_Header with the tag.
    outgoing += EncodeFrame(MakeHeaderQuery(tag), Compression::kGzip);
  };
  auto onActorList = [&](const COMMAND& command) {
    const auto& offered = command.actorslist().map();
    std::map<uint32_t, std::string> names(offered.begin(), offered.end());
    std::string listed;
    for (const auto& [tag, name] : names) {
      listed += (listed.empty() ? "" : ", ") + std::to_string(tag) + " " + name;
    }
    Note("actor list: " + (listed.empty() ? std::string("empty") : listed));
    std::vector<uint32_t> wanted;
    if (options.mActors.empty()) {
      for (const auto& entry : names) wanted.push_back(entry.first);
    } else {
      for (uint32_t tag : options.mActors) {
        if (names.count(tag) > 0) {
          wanted.push_back(tag);
        } else if (!sawList) {
          Note("warning: actor " + std::to_string(tag) + " is not offered by the server");
        }
      }
    }
    for (uint32_t tag : wanted) {
      if (asked.count(tag) == 0) Note("asking for the header of actor " + std::to_string(tag));
      ask(tag);
    }
    if (!sawList) chosen = wanted;
    sawList = true;
  };

  RawFrameSplitter splitter;
  RawFrame frame;
  IVRA_PLUGIN_MESSAGE message;
  std::vector<char> buffer(kReadChunk);
  CaptureEnd how = CaptureEnd::kStopped;
  std::string why;
  uint64_t undecodableNoted = 0;
  for (;;) {
    if (mStopRequested.load()) {
      how = CaptureEnd::kStopped;
      why = "stopped";
      break;
    }
    Clock::time_point now = Clock::now();
    if (timed && now >= stopAt) {
      how = CaptureEnd::kTimeUp;
      why = "time is up";
      break;
    }
    if (!writer.IsOpen() && (now >= listDeadline || pending.size() >= kMaxPendingRecords)) {
      if (!sawList) Note("warning: no actor list from the server; recording without one");
      if (!openFile()) return end(CaptureEnd::kFileError, fileError);
    }
    while (!outgoing.empty()) {
      ssize_t sent =
          ::send(socket.Get(), outgoing.data(), outgoing.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        outgoing.erase(0, static_cast<size_t>(sent));
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      break;  // the rest goes when the socket can take it; errors show on the next read
    }
    int timeout = timed ? MillisUntil(stopAt, now) : 60000;
    if (!writer.IsOpen()) timeout = std::min(timeout, MillisUntil(listDeadline, now));
    pollfd fds[2] = {
        {socket.Get(), static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT)), 0},
        {mWake, POLLIN, 0}};
    int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) {
      how = CaptureEnd::kNetworkError;
      why = "poll: " + ErrnoText(errno);
      break;
    }
    if (ready <= 0 || (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;

    ssize_t got = ::recv(socket.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) {
      how = CaptureEnd::kServerClosed;
      why = got == 0 ? "the server closed the connection"
                     : "the connection failed: " + ErrnoText(errno);
      break;
    }
    const uint64_t arrival = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    splitter.Feed(buffer.data(), static_cast<size_t>(got));
    CaptureProgress progress = GetProgress();
    progress.mBytesReceived += static_cast<uint64_t>(got);
    while (splitter.Next(&frame)) {
      ++progress.mFrames;
      message.Clear();
      if (DecodePayload(frame.mMarker == kCompressedMarker, frame.mPayload.data(),
                        frame.mPayload.size(), &message, nullptr)) {
        switch (message.message()) {
          case IVRA_PLUGIN_MESSAGE::FRAME_DATA:
            ++progress.mMotionFrames;
            break;
          case IVRA_PLUGIN_MESSAGE::HEADER_DATA:
            ++progress.mHeaders;
            Note("header of actor " + std::to_string(message.header().actortag()) + " (" +
                 message.header().actorname() + ")");
            break;
          case IVRA_PLUGIN_MESSAGE::COMMAND:
            if (message.command().cmdtype() == COMMAND::Notify_ActorsList) {
              ++progress.mActorLists;
              onActorList(message.command());
            } else if (message.command().cmdtype() == COMMAND::Notify_Error) {
              Note("server error " + std::to_string(message.command().errormsg().errorcode()) +
                   ": " + message.command().errormsg().errormsg());
            }
            break;
        }
      } else {
        ++progress.mUndecodable;
        if (undecodableNoted++ == 0) {
          Note("warning: a frame does not decode; it is kept as it came (more may follow)");
        }
      }
      if (writer.IsOpen()) {
        if (!writer.Append(arrival, frame.mMarker, frame.mPayload.data(), frame.mPayload.size(),
                           &fileError)) {
          return end(CaptureEnd::kFileError, fileError);
        }
      } else {
        CaptureRecord record;
        record.mArrivalMicros = arrival;
        record.mMarker = frame.mMarker;
        record.mPayload = std::move(frame.mPayload);
        pending.push_back(std::move(record));
        if (sawList && !openFile()) return end(CaptureEnd::kFileError, fileError);
      }
    }
    progress.mSkippedBytes = splitter.SkippedBytes();
    progress.mSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    Publish(progress);
  }

  if (!writer.IsOpen() && !openFile()) return end(CaptureEnd::kFileError, fileError);
  if (!writer.Close(&fileError)) return end(CaptureEnd::kFileError, fileError);
  CaptureProgress last = GetProgress();
  last.mSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  last.mSkippedBytes = splitter.SkippedBytes();
  Publish(last);
  result->mActorTags = chosen;
  if (splitter.BufferedBytes() > 0) {
    Note("the last " + std::to_string(splitter.BufferedBytes()) +
         " bytes were not a whole frame and are not in the file");
  }
  Note("actors asked for: " + TagList(std::vector<uint32_t>(asked.begin(), asked.end())));
  return end(how, why);
}

}  // namespace kmq

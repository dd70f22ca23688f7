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

int MillisUntil(Clock::time_point until, Clock::time_point now) {
  if (until <= now) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::min<int64_t>(ms, 60000));
}

std::string Address(const std::string& host, int port) {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Sends from the front of *outgoing what the socket takes without waiting, and erases it; the
// rest goes when the socket can take it (errors show on the next read).
void SendWhatFits(int socket, std::string* outgoing) {
  while (!outgoing->empty()) {
    const ssize_t sent =
        ::send(socket, outgoing->data(), outgoing->size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      outgoing->erase(0, static_cast<size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

std::string TagList(const std::vector<uint32_t>& tags) {
  std::string text;
  for (uint32_t tag : tags) text += (text.empty() ? "" : ", ") + std::to_string(tag);
  return text.empty() ? "none" : text;
}

}  // namespace

CaptureSession::CaptureSession() : mWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CaptureSession::~CaptureSession() = default;

void CaptureSession::RequestStop() {
  mStopRequested.store(true);
  uint64_t one = 1;
  if (mWake.IsOpen()) {
    while (::write(mWake.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  }
}

CaptureProgress CaptureSession::GetProgress() const {
  kovrim::MutexLock lock(&mMutex);
  return mProgress;
}

std::vector<std::string> CaptureSession::TakeNotes() {
  kovrim::MutexLock lock(&mMutex);
  return std::exchange(mNotes, {});
}

bool CaptureSession::WaitForProgress(const std::function<bool(const CaptureProgress&)>& done,
                                     std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  kovrim::MutexLock lock(&mMutex);
  while (!done(mProgress) && !mFinished.load()) {
    if (!mProgressChanged.WaitUntil(&mMutex, until)) break;
  }
  return done(mProgress);
}

void CaptureSession::Publish(const CaptureProgress& progress) {
  kovrim::MutexLock lock(&mMutex);
  mProgress = progress;
  mProgressChanged.NotifyAll();
}

void CaptureSession::MarkFinished() {
  kovrim::MutexLock lock(&mMutex);
  mFinished.store(true);
  mProgressChanged.NotifyAll();
}

void CaptureSession::Note(const std::string& line) {
  kovrim::MutexLock lock(&mMutex);
  mNotes.push_back(line);
}

// The recording side of a session: the file, the frames that came before it could be created,
// the actors asked for and the header queries not yet sent. Used by the thread in Run only.
class CaptureSession::Recorder {
 public:
  Recorder(const CaptureOptions& options, std::string where, int64_t createdMicros,
           CaptureSession* session)
      : mOptions(options),
        mWhere(std::move(where)),
        mCreatedMicros(createdMicros),
        mSession(session) {}

  bool IsOpen() const { return mWriter.IsOpen(); }
  bool SawList() const { return mSawList; }
  size_t PendingFrames() const { return mPending.size(); }
  // Header queries not yet sent; the caller sends from the front and erases what went.
  std::string& Outgoing() { return mOutgoing; }
  const std::string& FileError() const { return mFileError; }
  const std::vector<uint32_t>& Chosen() const { return mChosen; }
  std::vector<uint32_t> Asked() const { return {mAsked.begin(), mAsked.end()}; }

  // Creates the file, naming the chosen actors, and writes the frames kept so far.
  bool OpenFile() {
    CaptureHeader header;
    header.mCreatedMicros = mCreatedMicros;
    header.mServerAddress = mWhere;
    header.mActorTags = mChosen;
    if (!mWriter.Open(mOptions.mPath, header, &mFileError)) return false;
    for (const CaptureRecord& record : mPending) {
      if (!mWriter.Append(record, &mFileError)) return false;
    }
    mPending.clear();
    return true;
  }

  // Asks for the header of each wanted actor the list offers; the first list chooses the actors
  // the file names.
  void OnActorList(const COMMAND& command) {
    const auto& offered = command.actorslist().map();
    std::map<uint32_t, std::string> names(offered.begin(), offered.end());
    std::string listed;
    for (const auto& [tag, name] : names) {
      listed += (listed.empty() ? "" : ", ") + std::to_string(tag) + " " + name;
    }
    mSession->Note("actor list: " + (listed.empty() ? std::string("empty") : listed));
    std::vector<uint32_t> wanted;
    if (mOptions.mActors.empty()) {
      for (const auto& entry : names) wanted.push_back(entry.first);
    } else {
      for (uint32_t tag : mOptions.mActors) {
        if (names.count(tag) > 0) {
          wanted.push_back(tag);
        } else if (!mSawList) {
          mSession->Note("warning: actor " + std::to_string(tag) + " is not offered by the server");
        }
      }
    }
    for (uint32_t tag : wanted) {
      if (mAsked.count(tag) == 0) {
        mSession->Note("asking for the header of actor " + std::to_string(tag));
      }
      Ask(tag);
    }
    if (!mSawList) mChosen = wanted;
    mSawList = true;
  }

  // Writes the frame, or keeps it until the file exists (created as soon as the actor list has
  // come); false on a file error.
  bool Keep(uint64_t arrival, RawFrame* frame) {
    if (mWriter.IsOpen()) {
      return mWriter.Append(arrival, frame->mMarker, frame->mPayload.data(), frame->mPayload.size(),
                            &mFileError);
    }
    CaptureRecord record;
    record.mArrivalMicros = arrival;
    record.mMarker = frame->mMarker;
    record.mPayload = std::move(frame->mPayload);
    mPending.push_back(std::move(record));
    return !mSawList || OpenFile();
  }

  // Creates the file if it is not there yet, and closes it.
  bool Close() {
    if (!mWriter.IsOpen() && !OpenFile()) return false;
    return mWriter.Close(&mFileError);
  }

 private:
  void Ask(uint32_t tag) {
    if (!mAsked.insert(tag).second) return;
    // As the plug-in asks: a gzip COMMAND envelope, Command_Query_BVH_Header with the tag.
    mOutgoing += EncodeFrame(MakeHeaderQuery(tag), Compression::kGzip);
  }

  const CaptureOptions& mOptions;
  const std::string mWhere;
  const int64_t mCreatedMicros;
  CaptureSession* const mSession;
  CaptureWriter mWriter;
  std::vector<CaptureRecord> mPending;  // frames that came before the file was created
  std::vector<uint32_t> mChosen;        // actors asked for when the file was created
  std::set<uint32_t> mAsked;
  std::string mOutgoing;
  bool mSawList = false;
  std::string mFileError;
};

bool CaptureSession::Connect(const CaptureOptions& options, const std::string& where,
                             UniqueFd* socket, CaptureEnd* how, std::string* why) {
  *how = CaptureEnd::kConnectFailed;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.mPort);
  const int status = ::getaddrinfo(options.mHost.c_str(), port.c_str(), &hints, &found);
  if (status != 0) {
    *why = "cannot resolve " + options.mHost + ": " + ::gai_strerror(status);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);
  std::string failure = "no address";
  const Clock::time_point connectUntil =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(0.0, options.mConnectTimeout)));
  // Without blocking, so that a stop request or the timeout ends the wait.
  for (addrinfo* ai = found; ai != nullptr && !socket->IsOpen(); ai = ai->ai_next) {
    UniqueFd attempt(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!attempt.IsOpen()) {
      failure = ErrnoText(errno);
      continue;
    }
    if (::connect(attempt.Get(), ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        failure = ErrnoText(errno);
        continue;
      }
      pollfd fds[2] = {{attempt.Get(), POLLOUT, 0}, {mWake.Get(), POLLIN, 0}};
      int ready = 0;
      do {
        ready = ::poll(fds, 2, MillisUntil(connectUntil, Clock::now()));
      } while (ready < 0 && errno == EINTR);
      if (mStopRequested.load()) {
        *how = CaptureEnd::kStopped;
        *why = "stopped before connecting";
        return false;
      }
      if (ready <= 0 || fds[0].revents == 0) {
        failure = ready < 0 ? ErrnoText(errno) : "timed out";
        continue;
      }
      int error = 0;
      socklen_t length = sizeof(error);
      ::getsockopt(attempt.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) {
        failure = ErrnoText(error);
        continue;
      }
    }
    *socket = std::move(attempt);
  }
  if (!socket->IsOpen()) {
    *why = "cannot connect to " + where + ": " + failure;
    return false;
  }
  int one = 1;
  ::setsockopt(socket->Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return true;
}

void CaptureSession::Count(const RawFrame& frame, Recorder* recorder, CaptureProgress* progress) {
  ++progress->mFrames;
  IVRA_PLUGIN_MESSAGE message;
  if (!DecodePayload(frame.mMarker == kovrim::wire::kCompressedMarker, frame.mPayload.data(),
                     frame.mPayload.size(), &message, nullptr)) {
    if (progress->mUndecodable++ == 0) {
      Note("warning: a frame does not decode; it is kept as it came (more may follow)");
    }
    return;
  }
  switch (message.message()) {
    case IVRA_PLUGIN_MESSAGE::FRAME_DATA:
      ++progress->mMotionFrames;
      break;
    case IVRA_PLUGIN_MESSAGE::HEADER_DATA:
      ++progress->mHeaders;
      Note("header of actor " + std::to_string(message.header().actortag()) + " (" +
           message.header().actorname() + ")");
      break;
    case IVRA_PLUGIN_MESSAGE::COMMAND:
      if (message.command().cmdtype() == COMMAND::Notify_ActorsList) {
        ++progress->mActorLists;
        recorder->OnActorList(message.command());
      } else if (message.command().cmdtype() == COMMAND::Notify_Error) {
        Note("server error " + std::to_string(message.command().errormsg().errorcode()) + ": " +
             message.command().errormsg().errormsg());
      }
      break;
  }
}

bool CaptureSession::Record(const CaptureOptions& options, int socket,
                            std::chrono::steady_clock::time_point start, Recorder* recorder,
                            RawFrameSplitter* splitter, CaptureEnd* how, std::string* why) {
  const bool timed = options.mSeconds > 0;
  const Clock::time_point stopAt =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(timed ? options.mSeconds : 0));
  const Clock::time_point listDeadline =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(std::max(0.0, options.mListTimeout)));
  auto fileError = [&] {
    *how = CaptureEnd::kFileError;
    *why = recorder->FileError();
    return false;
  };
  std::vector<char> buffer(kReadChunk);
  RawFrame frame;
  for (;;) {
    if (mStopRequested.load()) {
      *how = CaptureEnd::kStopped;
      *why = "stopped";
      return true;
    }
    const Clock::time_point now = Clock::now();
    if (timed && now >= stopAt) {
      *how = CaptureEnd::kTimeUp;
      *why = "time is up";
      return true;
    }
    if (!recorder->IsOpen() &&
        (now >= listDeadline || recorder->PendingFrames() >= kMaxPendingRecords)) {
      if (!recorder->SawList())
        Note("warning: no actor list from the server; recording without one");
      if (!recorder->OpenFile()) return fileError();
    }
    std::string& outgoing = recorder->Outgoing();
    SendWhatFits(socket, &outgoing);
    int timeout = timed ? MillisUntil(stopAt, now) : 60000;
    if (!recorder->IsOpen()) timeout = std::min(timeout, MillisUntil(listDeadline, now));
    pollfd fds[2] = {{socket, static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT)), 0},
                     {mWake.Get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) {
      *how = CaptureEnd::kNetworkError;
      *why = "poll: " + ErrnoText(errno);
      return true;
    }
    if (ready <= 0 || (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;

    const ssize_t got = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) {
      *how = CaptureEnd::kServerClosed;
      *why = got == 0 ? "the server closed the connection"
                      : "the connection failed: " + ErrnoText(errno);
      return true;
    }
    const uint64_t arrival = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    splitter->Feed(buffer.data(), static_cast<size_t>(got));
    CaptureProgress progress = GetProgress();
    progress.mBytesReceived += static_cast<uint64_t>(got);
    while (splitter->Next(&frame)) {
      Count(frame, recorder, &progress);
      if (!recorder->Keep(arrival, &frame)) return fileError();
    }
    progress.mSkippedBytes = splitter->SkippedBytes();
    progress.mSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    Publish(progress);
  }
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
  if (!mWake.IsOpen()) return end(CaptureEnd::kNetworkError, "eventfd: " + ErrnoText(errno));
  if (options.mPort < 1 || options.mPort > 65535) {
    return end(CaptureEnd::kConnectFailed,
               "port " + std::to_string(options.mPort) + " is not in 1..65535");
  }
  const std::string where = Address(options.mHost, options.mPort);
  UniqueFd socket;
  CaptureEnd how = CaptureEnd::kStopped;
  std::string why;
  if (!Connect(options, where, &socket, &how, &why)) return end(how, why);

  const Clock::time_point start = Clock::now();
  const auto wallMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  CaptureProgress connected;
  connected.mConnected = true;
  Publish(connected);
  Note("connected to " + where);

  Recorder recorder(options, where, wallMicros, this);
  RawFrameSplitter splitter;
  if (!Record(options, socket.Get(), start, &recorder, &splitter, &how, &why)) return end(how, why);

  if (!recorder.Close()) return end(CaptureEnd::kFileError, recorder.FileError());
  CaptureProgress last = GetProgress();
  last.mSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  last.mSkippedBytes = splitter.SkippedBytes();
  Publish(last);
  result->mActorTags = recorder.Chosen();
  if (splitter.BufferedBytes() > 0) {
    Note("the last " + std::to_string(splitter.BufferedBytes()) +
         " bytes were not a whole frame and are not in the file");
  }
  Note("actors asked for: " + TagList(recorder.Asked()));
  return end(how, why);
}

}  // namespace kmq

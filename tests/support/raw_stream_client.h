// A raw loopback client for the capture, replay and fault injection tests: keeps every byte the
// server sends, cut into frames by the plug-in's rules (RawFrameSplitter) with each frame's
// arrival time, and waits on conditions with a deadline. One thread per client.
#ifndef KOVRIM_TESTS_SUPPORT_RAW_STREAM_CLIENT_H_
#define KOVRIM_TESTS_SUPPORT_RAW_STREAM_CLIENT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "motion_protocol.h"

namespace rawtest {

using Clock = std::chrono::steady_clock;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

// Generous: only a broken server gets near it.
constexpr std::chrono::milliseconds kDeadline(20000);

struct ArrivedFrame {
  kmq::RawFrame mFrame;
  Clock::time_point mArrival;
  // Which recv() completed it, counting from 0.
  uint64_t mRead = 0;
  // Whether the payload decodes, and then its Message.
  bool mDecoded = false;
  IVRA_PLUGIN_MESSAGE::MessageType mType = IVRA_PLUGIN_MESSAGE::COMMAND;

  bool IsMotion() const { return mDecoded && mType == IVRA_PLUGIN_MESSAGE::FRAME_DATA; }
};

inline bool Decode(const kmq::RawFrame& frame, IVRA_PLUGIN_MESSAGE* message) {
  message->Clear();
  return kmq::DecodePayload(frame.mMarker == kovrim::wire::kCompressedMarker, frame.mPayload.data(),
                            frame.mPayload.size(), message, nullptr);
}

inline bool IsMotion(const kmq::RawFrame& frame) {
  IVRA_PLUGIN_MESSAGE message;
  return Decode(frame, &message) && message.message() == IVRA_PLUGIN_MESSAGE::FRAME_DATA;
}

inline bool IsActorList(const IVRA_PLUGIN_MESSAGE& message) {
  return message.message() == IVRA_PLUGIN_MESSAGE::COMMAND &&
         message.command().cmdtype() == COMMAND::Notify_ActorsList;
}

// Milliseconds left until the deadline, for poll(); 0 once it has passed.
inline int RemainingMs(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::max<int64_t>(0, left));
}

// Opens a TCP socket into *fd (with a receive buffer of that many bytes when above 0) and
// connects it to 127.0.0.1:port; *fd stays set for the caller to close even when connect fails.
inline bool ConnectLoopback(int port, int* fd, int receiveBuffer = 0) {
  *fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*fd < 0) return false;
  if (receiveBuffer > 0) {
    ::setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

// Sends all of bytes, retrying partial sends; false once the connection fails.
inline bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One recv() on fd once it is readable: true with *received bytes in buffer (0 after an
// interruption); false at the deadline, or when the peer closes (which sets *closed).
inline bool ReceiveSome(int fd, Clock::time_point until, char* buffer, size_t size,
                        ssize_t* received, bool* closed) {
  *received = 0;
  pollfd ready{fd, POLLIN, 0};
  int count = ::poll(&ready, 1, RemainingMs(until));
  if (count < 0 && errno == EINTR) return true;
  if (count <= 0) return false;
  ssize_t n = ::recv(fd, buffer, size, 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    *closed = true;
    return false;
  }
  *received = n;
  return true;
}

class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() { Close(); }

  bool Connect(int port) { return ConnectLoopback(port, &mFd); }

  bool Send(const std::string& bytes) { return SendAll(mFd, bytes); }

  bool AskHeader(uint32_t tag) {
    return Send(kmq::EncodeFrame(kmq::MakeHeaderQuery(tag), kmq::Compression::kGzip));
  }

  // Reads until done() holds (true), the server closes the connection or the deadline passes
  // (done() decides).
  bool ReadUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds deadline = kDeadline) {
    Clock::time_point until = Clock::now() + deadline;
    while (!done()) {
      if (mClosed || !ReadSome(until)) return done();
    }
    return true;
  }

  // Reads until the server closes the connection; false at the deadline.
  bool ReadToEnd(std::chrono::milliseconds deadline = kDeadline) {
    return ReadUntil([this] { return mClosed; }, deadline);
  }

  size_t MotionFrames() const { return Count(IVRA_PLUGIN_MESSAGE::FRAME_DATA); }
  size_t Count(IVRA_PLUGIN_MESSAGE::MessageType type) const {
    auto found = mCounts.find(type);
    return found == mCounts.end() ? 0 : found->second;
  }

  // The decodable frames of one kind, in order.
  std::vector<IVRA_PLUGIN_MESSAGE> Messages(IVRA_PLUGIN_MESSAGE::MessageType type) const {
    std::vector<IVRA_PLUGIN_MESSAGE> found;
    IVRA_PLUGIN_MESSAGE message;
    for (const ArrivedFrame& frame : mFrames) {
      if (Decode(frame.mFrame, &message) && message.message() == type) found.push_back(message);
    }
    return found;
  }

  void Close() {
    if (mFd >= 0) ::close(mFd);
    mFd = -1;
  }

  const std::string& Bytes() const { return mBytes; }
  const std::vector<ArrivedFrame>& Frames() const { return mFrames; }
  const kmq::RawFrameSplitter& Splitter() const { return mSplitter; }
  bool Closed() const { return mClosed; }
  uint64_t Reads() const { return mReads; }

 private:
  bool ReadSome(Clock::time_point until) {
    char buffer[65536];
    ssize_t n = 0;
    if (!ReceiveSome(mFd, until, buffer, sizeof(buffer), &n, &mClosed)) return false;
    if (n == 0) return true;
    Clock::time_point now = Clock::now();
    mBytes.append(buffer, static_cast<size_t>(n));
    mSplitter.Feed(buffer, static_cast<size_t>(n));
    ArrivedFrame arrived;
    IVRA_PLUGIN_MESSAGE message;
    while (mSplitter.Next(&arrived.mFrame)) {
      arrived.mArrival = now;
      arrived.mRead = mReads;
      arrived.mDecoded = Decode(arrived.mFrame, &message);
      arrived.mType = message.message();
      if (arrived.mDecoded) ++mCounts[arrived.mType];
      mFrames.push_back(arrived);
    }
    ++mReads;
    return true;
  }

  int mFd = -1;
  bool mClosed = false;
  uint64_t mReads = 0;
  std::string mBytes;
  kmq::RawFrameSplitter mSplitter;
  std::vector<ArrivedFrame> mFrames;
  std::map<int, size_t> mCounts;  // decoded frames by Message
};

}  // namespace rawtest

#endif  // KOVRIM_TESTS_SUPPORT_RAW_STREAM_CLIENT_H_

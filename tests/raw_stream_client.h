// A raw loopback client for the capture, replay and fault injection tests: keeps every byte the
// server sends, cut into frames by the plug-in's rules (RawFrameSplitter) with each frame's
// arrival time, and waits on conditions with a deadline. One thread per client.
#ifndef KOVRIM_TESTS_RAW_STREAM_CLIENT_H_
#define KOVRIM_TESTS_RAW_STREAM_CLIENT_H_

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
  return kmq::DecodePayload(frame.mMarker == kmq::kCompressedMarker, frame.mPayload.data(),
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

class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() { Close(); }

  bool Connect(int port) {
    mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mFd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }

  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

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
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd fd{mFd, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    char buffer[65536];
    ssize_t n = ::recv(mFd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) {
      mClosed = true;
      return false;
    }
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

#endif  // KOVRIM_TESTS_RAW_STREAM_CLIENT_H_

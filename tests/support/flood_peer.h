// A flooding peer for the link's Close tests: a loopback server that streams a body as fast as
// loopback takes it. POSIX only (the Windows suites do not run these tests).
#ifndef KOVRIM_TESTS_SUPPORT_FLOOD_PEER_H_
#define KOVRIM_TESTS_SUPPORT_FLOOD_PEER_H_

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

namespace linktest {

// A server on 127.0.0.1 that sends, on every connection it accepts (one after another), a prefix
// once and then its body over and over, as fast as loopback takes it, from a thread of its own.
// A connection ends when the other end closes it; the peer stops by itself once `cap` has passed
// since construction, or at Stop or destruction.
class FloodPeer {
 public:
  FloodPeer(std::string prefix, const std::string& body, std::chrono::milliseconds cap)
      : mPrefix(std::move(prefix)), mEnd(std::chrono::steady_clock::now() + cap) {
    while (mBlock.size() < (64u << 10)) mBlock += body;
    mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(mListen, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(mListen, 4);
    socklen_t length = sizeof(address);
    ::getsockname(mListen, reinterpret_cast<sockaddr*>(&address), &length);
    mPort = ntohs(address.sin_port);
    mThread = std::thread([this] { Run(); });
  }
  ~FloodPeer() {
    Stop();
    ::close(mListen);
  }
  FloodPeer(const FloodPeer&) = delete;
  FloodPeer& operator=(const FloodPeer&) = delete;

  int Port() const { return mPort; }
  void Stop() {
    mStop = true;
    if (mThread.joinable()) mThread.join();
  }
  // Whether the peer stopped because its cap passed, rather than at Stop.
  bool CapReached() const { return mCapReached; }
  uint64_t BytesSent() const { return mBytesSent; }

 private:
  bool Running() {
    if (mStop) return false;
    if (std::chrono::steady_clock::now() < mEnd) return true;
    mCapReached = true;
    return false;
  }

  void Run() {
    while (Running()) {
      pollfd listen{mListen, POLLIN, 0};
      if (::poll(&listen, 1, 20) != 1) continue;
      const int connection = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (connection < 0) continue;
      std::string pending = mPrefix;
      size_t offset = 0;
      while (Running()) {
        if (offset == pending.size()) {
          pending = mBlock;
          offset = 0;
        }
        const ssize_t sent =
            ::send(connection, pending.data() + offset, pending.size() - offset, MSG_NOSIGNAL);
        if (sent > 0) {
          offset += static_cast<size_t>(sent);
          mBytesSent += static_cast<uint64_t>(sent);
          continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
          pollfd out{connection, POLLOUT, 0};
          ::poll(&out, 1, 20);
          continue;
        }
        break;  // the other end closed the connection
      }
      ::close(connection);
    }
  }

  const std::string mPrefix;
  std::string mBlock;
  const std::chrono::steady_clock::time_point mEnd;
  int mListen = -1;
  int mPort = 0;
  std::atomic<bool> mStop{false};
  std::atomic<bool> mCapReached{false};
  std::atomic<uint64_t> mBytesSent{0};
  std::thread mThread;
};

}  // namespace linktest

#endif  // KOVRIM_TESTS_SUPPORT_FLOOD_PEER_H_

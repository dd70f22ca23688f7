// The motion server's sockets on POSIX systems: poll, with an eventfd as the wake-up (Linux).
// Every call retries on EINTR but poll, whose interruption the caller sees.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "server_socket.h"

namespace kmq {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

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

ServerSocket& ServerSocket::operator=(ServerSocket&& other) noexcept {
  if (this != &other) {
    Reset();
    mHandle = other.mHandle;
    other.mHandle = -1;
  }
  return *this;
}

void ServerSocket::Reset() {
  // Not retried on EINTR: the descriptor is released either way.
  if (mHandle != -1) ::close(Fd(mHandle));
  mHandle = -1;
}

bool ServerSocket::Listen(const std::string& host, int port, ServerSocket* listener, int* boundPort,
                          std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const std::string where = host + ":" + service;
  int status =
      ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
  if (status != 0) {
    if (error != nullptr) *error = "cannot listen on " + where + ": " + ::gai_strerror(status);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);
  std::string failure = "no address";
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    ServerSocket socket;
    socket.mHandle =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (!socket.IsOpen()) {
      failure = ErrnoText(errno);
      continue;
    }
    const int fd = Fd(socket.mHandle);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
      failure = ErrnoText(errno);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      failure = ErrnoText(errno);
      continue;
    }
    *boundPort = bound.ss_family == AF_INET6
                     ? ntohs(reinterpret_cast<const sockaddr_in6&>(bound).sin6_port)
                     : ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    *listener = std::move(socket);
    return true;
  }
  if (error != nullptr) *error = "cannot listen on " + where + ": " + failure;
  return false;
}

ServerSocket::Accepted ServerSocket::Accept(ServerSocket* connection) const {
  Accepted result;
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  const int fd = ::accept4(Fd(mHandle), reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int saved = errno;
    if (saved == EINTR || saved == ECONNABORTED) {
      result.mStatus = Accepted::Status::kRetry;
    } else if (saved == EAGAIN || saved == EWOULDBLOCK) {
      result.mStatus = Accepted::Status::kNone;
    } else {
      result.mError = ErrnoText(saved);
      result.mOutOfResources =
          saved == EMFILE || saved == ENFILE || saved == ENOBUFS || saved == ENOMEM;
    }
    return result;
  }
  connection->Reset();
  connection->mHandle = fd;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  result.mStatus = Accepted::Status::kAccepted;
  result.mPeer = FormatAddress(peer);
  return result;
}

namespace {

// A send or receive that moved nothing: it would block, or it failed with error's text.
SocketIo Unfinished(int error) {
  SocketIo io;
  if (error == EAGAIN || error == EWOULDBLOCK) {
    io.mStatus = SocketIo::Status::kWouldBlock;
  } else {
    io.mError = ErrnoText(error);
  }
  return io;
}

}  // namespace

SocketIo ServerSocket::Send(const char* bytes, size_t size) const {
  SocketIo io;
  for (;;) {
    const ssize_t sent = ::send(Fd(mHandle), bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      io.mStatus = SocketIo::Status::kDone;
      io.mBytes = static_cast<size_t>(sent);
      return io;
    }
    if (errno == EINTR) continue;
    return Unfinished(errno);
  }
}

SocketIo ServerSocket::Receive(char* buffer, size_t size) const {
  SocketIo io;
  for (;;) {
    const ssize_t got = ::recv(Fd(mHandle), buffer, size, MSG_DONTWAIT);
    if (got > 0) {
      io.mStatus = SocketIo::Status::kDone;
      io.mBytes = static_cast<size_t>(got);
      return io;
    }
    if (got == 0) {
      io.mStatus = SocketIo::Status::kEnd;
      return io;
    }
    if (errno == EINTR) continue;
    return Unfinished(errno);
  }
}

void ServerSocket::ShutdownSend() const { ::shutdown(Fd(mHandle), SHUT_WR); }

// The eventfd's entry comes first in mFds; a watched socket's index is its entry's less one.
struct SocketWait::Native {
  std::atomic<int> mEvent{-1};
  std::vector<pollfd> mFds;
};

SocketWait::SocketWait() : mNative(std::make_unique<Native>()) {}

SocketWait::~SocketWait() { Close(); }

bool SocketWait::Open(std::string* error) {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    if (error != nullptr) *error = "eventfd: " + ErrnoText(errno);
    return false;
  }
  mNative->mEvent = fd;
  return true;
}

void SocketWait::Close() {
  const int fd = mNative->mEvent.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void SocketWait::Wake() {
  const int fd = mNative->mEvent.load();
  uint64_t one = 1;
  while (fd >= 0 && ::write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void SocketWait::Clear() {
  mNative->mFds.clear();
  mNative->mFds.push_back({mNative->mEvent.load(), POLLIN, 0});
}

size_t SocketWait::Watch(const ServerSocket& socket, bool wantSend) {
  const auto events = static_cast<short>(POLLIN | (wantSend ? POLLOUT : 0));
  mNative->mFds.push_back({Fd(socket.mHandle), events, 0});
  return mNative->mFds.size() - 2;
}

SocketWait::Status SocketWait::Wait(int timeoutMs, std::string* error) {
  std::vector<pollfd>& fds = mNative->mFds;
  if (fds.empty()) Clear();
  const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
  if (ready < 0) {
    if (errno == EINTR) return Status::kInterrupted;
    if (error != nullptr) *error = ErrnoText(errno);
    return Status::kFailed;
  }
  if (fds[0].revents != 0) {
    uint64_t count = 0;
    while (::read(fds[0].fd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
  }
  return Status::kReady;
}

bool SocketWait::Readable(size_t index) const {
  return (mNative->mFds[index + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool SocketWait::HasInput(size_t index) const {
  return (mNative->mFds[index + 1].revents & POLLIN) != 0;
}

bool SocketWait::Writable(size_t index) const {
  return (mNative->mFds[index + 1].revents & POLLOUT) != 0;
}

}  // namespace kmq

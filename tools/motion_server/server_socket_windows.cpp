// The motion server's sockets on Windows (Winsock 2): WSAPoll, with a connected pair of loopback
// sockets as the wake-up (Winsock polls sockets only). Winsock is started once for the process
// and left running. Errors come from WSAGetLastError and read as the system's message.
// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "server_socket.h"

namespace kmq {
namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET Handle(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

std::intptr_t ToHandle(SOCKET socket) {
  return socket == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(socket);
}

std::string ErrorText(int error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message(text != nullptr ? text : "", length);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "Winsock error";
  return message + " (" + std::to_string(error) + ")";
}

std::string LastErrorText() { return ErrorText(WSAGetLastError()); }

bool SetNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ioctlsocket(socket, FIONBIO, &on) == 0;
}

void SetNoDelay(SOCKET socket) {
  BOOL on = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

std::string FormatAddress(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    auto in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, host, sizeof(host));
    return std::string(host) + ":" + std::to_string(ntohs(in.sin_port));
  }
  if (address.ss_family == AF_INET6) {
    auto in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof(host));
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  return "?";
}

int SendSize(size_t size) { return static_cast<int>(std::min<size_t>(size, 1u << 30)); }

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
  if (mHandle != -1) closesocket(Handle(mHandle));
  mHandle = -1;
}

bool ServerSocket::Listen(const std::string& host, int port, ServerSocket* listener, int* boundPort,
                          std::string* error) {
  const std::string service = std::to_string(port);
  const std::string where = host + ":" + service;
  if (!StartWinsock()) {
    if (error != nullptr) *error = "cannot listen on " + where + ": Winsock did not start";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int status =
      getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
  if (status != 0) {
    if (error != nullptr) *error = "cannot listen on " + where + ": " + ErrorText(status);
    return false;
  }
  std::string failure = "no address";
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    ServerSocket socket;
    socket.mHandle = ToHandle(::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
    const SOCKET handle = Handle(socket.mHandle);
    if (!socket.IsOpen() || !SetNonBlocking(handle)) {
      failure = LastErrorText();
      continue;
    }
    // Winsock's SO_REUSEADDR would let another program take the port too; its default already
    // allows a listener beside connections left from an earlier one.
    if (bind(handle, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 ||
        listen(handle, 64) != 0) {
      failure = LastErrorText();
      continue;
    }
    sockaddr_storage bound{};
    int length = sizeof(bound);
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      failure = LastErrorText();
      continue;
    }
    *boundPort = bound.ss_family == AF_INET6
                     ? ntohs(reinterpret_cast<const sockaddr_in6&>(bound).sin6_port)
                     : ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    *listener = std::move(socket);
    freeaddrinfo(found);
    return true;
  }
  freeaddrinfo(found);
  if (error != nullptr) *error = "cannot listen on " + where + ": " + failure;
  return false;
}

ServerSocket::Accepted ServerSocket::Accept(ServerSocket* connection) const {
  Accepted result;
  sockaddr_storage peer{};
  int length = sizeof(peer);
  const SOCKET socket = accept(Handle(mHandle), reinterpret_cast<sockaddr*>(&peer), &length);
  if (socket == INVALID_SOCKET) {
    const int error = WSAGetLastError();
    if (error == WSAEINTR || error == WSAECONNRESET) {
      result.mStatus = Accepted::Status::kRetry;
    } else if (error == WSAEWOULDBLOCK) {
      result.mStatus = Accepted::Status::kNone;
    } else {
      result.mError = ErrorText(error);
      result.mOutOfResources = error == WSAEMFILE || error == WSAENOBUFS;
    }
    return result;
  }
  connection->Reset();
  connection->mHandle = ToHandle(socket);
  // An accepted socket takes the listener's mode; set it anyway rather than rely on that.
  SetNonBlocking(socket);
  SetNoDelay(socket);
  result.mStatus = Accepted::Status::kAccepted;
  result.mPeer = FormatAddress(peer);
  return result;
}

SocketIo ServerSocket::Send(const char* bytes, size_t size) const {
  SocketIo io;
  const int sent = send(Handle(mHandle), bytes, SendSize(size), 0);
  if (sent != SOCKET_ERROR) {
    io.mStatus = SocketIo::Status::kDone;
    io.mBytes = static_cast<size_t>(sent);
  } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
    io.mStatus = SocketIo::Status::kWouldBlock;
  } else {
    io.mError = LastErrorText();
  }
  return io;
}

SocketIo ServerSocket::Receive(char* buffer, size_t size) const {
  SocketIo io;
  const int got = recv(Handle(mHandle), buffer, SendSize(size), 0);
  if (got > 0) {
    io.mStatus = SocketIo::Status::kDone;
    io.mBytes = static_cast<size_t>(got);
  } else if (got == 0) {
    io.mStatus = SocketIo::Status::kEnd;
  } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
    io.mStatus = SocketIo::Status::kWouldBlock;
  } else {
    io.mError = LastErrorText();
  }
  return io;
}

void ServerSocket::ShutdownSend() const { shutdown(Handle(mHandle), SD_SEND); }

// The wake-up's receiving end comes first in mFds; a watched socket's index is its entry's less
// one. Wake sends a byte on mWakeSend; Wait drains them.
struct SocketWait::Native {
  std::atomic<std::intptr_t> mWakeSend{-1};
  ServerSocket mWakeReceive;
  std::vector<WSAPOLLFD> mFds;
};

SocketWait::SocketWait() : mNative(std::make_unique<Native>()) {}

SocketWait::~SocketWait() { Close(); }

bool SocketWait::Open(std::string* error) {
  auto fail = [error](const std::string& what) {
    if (error != nullptr) *error = what + ": " + LastErrorText();
    return false;
  };
  if (!StartWinsock()) {
    if (error != nullptr) *error = "the wake-up: Winsock did not start";
    return false;
  }
  // A listener on a free loopback port, connected to once and closed.
  ServerSocket listener;
  listener.mHandle = ToHandle(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!listener.IsOpen()) return fail("the wake-up's socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (bind(Handle(listener.mHandle), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(Handle(listener.mHandle), 1) != 0 ||
      getsockname(Handle(listener.mHandle), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail("the wake-up's listener");
  }
  ServerSocket sender;
  sender.mHandle = ToHandle(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!sender.IsOpen() ||
      connect(Handle(sender.mHandle), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    return fail("the wake-up's connection");
  }
  ServerSocket receiver;
  receiver.mHandle = ToHandle(accept(Handle(listener.mHandle), nullptr, nullptr));
  if (!receiver.IsOpen() || !SetNonBlocking(Handle(receiver.mHandle)) ||
      !SetNonBlocking(Handle(sender.mHandle))) {
    return fail("the wake-up's connection");
  }
  SetNoDelay(Handle(sender.mHandle));
  mNative->mWakeReceive = std::move(receiver);
  mNative->mWakeSend = sender.mHandle;
  sender.mHandle = -1;  // now owned by mWakeSend
  return true;
}

void SocketWait::Close() {
  const std::intptr_t sender = mNative->mWakeSend.exchange(-1);
  if (sender != -1) closesocket(Handle(sender));
  mNative->mWakeReceive.Reset();
}

void SocketWait::Wake() {
  const std::intptr_t sender = mNative->mWakeSend.load();
  // A full buffer already holds a wake-up the waiter has not taken: nothing is lost.
  if (sender != -1) send(Handle(sender), "w", 1, 0);
}

void SocketWait::Clear() {
  mNative->mFds.clear();
  mNative->mFds.push_back({Handle(mNative->mWakeReceive.mHandle), POLLRDNORM, 0});
}

size_t SocketWait::Watch(const ServerSocket& socket, bool wantSend) {
  const auto events = static_cast<SHORT>(POLLRDNORM | (wantSend ? POLLWRNORM : 0));
  mNative->mFds.push_back({Handle(socket.mHandle), events, 0});
  return mNative->mFds.size() - 2;
}

SocketWait::Status SocketWait::Wait(int timeoutMs, std::string* error) {
  std::vector<WSAPOLLFD>& fds = mNative->mFds;
  if (fds.empty()) Clear();
  const int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
  if (ready == SOCKET_ERROR) {
    const int code = WSAGetLastError();
    if (code == WSAEINTR) return Status::kInterrupted;
    if (error != nullptr) *error = ErrorText(code);
    return Status::kFailed;
  }
  if (fds[0].revents != 0) {
    char drained[256];
    while (mNative->mWakeReceive.Receive(drained, sizeof(drained)).mStatus ==
           SocketIo::Status::kDone) {
    }
  }
  return Status::kReady;
}

bool SocketWait::Readable(size_t index) const {
  return (mNative->mFds[index + 1].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
}

bool SocketWait::HasInput(size_t index) const {
  return (mNative->mFds[index + 1].revents & POLLRDNORM) != 0;
}

bool SocketWait::Writable(size_t index) const {
  return (mNative->mFds[index + 1].revents & POLLWRNORM) != 0;
}

}  // namespace kmq

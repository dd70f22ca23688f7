// The tests' loopback sockets on Windows, through Winsock 2 (see test_socket.h).
#ifndef KOVRIM_TESTS_SUPPORT_TEST_SOCKET_WINDOWS_H_
#define KOVRIM_TESTS_SUPPORT_TEST_SOCKET_WINDOWS_H_

// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstddef>

namespace testsocket {

inline bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

inline void Close(int socket) { ::closesocket(static_cast<SOCKET>(socket)); }

// Closes the socket with a reset (no orderly end of stream).
inline void Reset(int socket) {
  const linger abort{1, 0};
  ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&abort), sizeof(abort));
  ::closesocket(static_cast<SOCKET>(socket));
}

inline int ListenLoopback(int* port) {
  if (!StartWinsock()) return -1;
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener == INVALID_SOCKET) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof(address);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::closesocket(listener);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return static_cast<int>(listener);
}

inline bool Readable(int socket, int ms) {
  fd_set reads;
  FD_ZERO(&reads);
  FD_SET(static_cast<SOCKET>(socket), &reads);
  timeval timeout{};
  timeout.tv_sec = ms / 1000;
  timeout.tv_usec = (ms % 1000) * 1000;
  return ::select(0, &reads, nullptr, nullptr, &timeout) == 1;
}

inline int AcceptWithin(int listener, int ms) {
  if (!Readable(listener, ms)) return -1;
  const SOCKET connection = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return connection == INVALID_SOCKET ? -1 : static_cast<int>(connection);
}

inline long SendSome(int socket, const char* bytes, size_t count) {
  return ::send(static_cast<SOCKET>(socket), bytes,
                static_cast<int>(std::min<size_t>(count, INT_MAX)), 0);
}

inline long ReceiveSome(int socket, char* buffer, size_t count) {
  return ::recv(static_cast<SOCKET>(socket), buffer,
                static_cast<int>(std::min<size_t>(count, INT_MAX)), 0);
}

inline int UnusedLoopbackPort() {
  int port = 0;
  const int listener = ListenLoopback(&port);
  if (listener >= 0) Close(listener);
  return port;
}

}  // namespace testsocket

#endif  // KOVRIM_TESTS_SUPPORT_TEST_SOCKET_WINDOWS_H_

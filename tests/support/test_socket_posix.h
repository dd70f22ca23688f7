// The tests' loopback sockets on POSIX systems (see test_socket.h).
#ifndef KOVRIM_TESTS_SUPPORT_TEST_SOCKET_POSIX_H_
#define KOVRIM_TESTS_SUPPORT_TEST_SOCKET_POSIX_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

namespace testsocket {

inline int ListenLoopback(int* port) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

inline bool Readable(int socket, int ms) {
  pollfd fd{socket, POLLIN, 0};
  return ::poll(&fd, 1, ms) == 1;
}

inline int AcceptWithin(int listener, int ms) {
  if (!Readable(listener, ms)) return -1;
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline long SendSome(int socket, const char* bytes, size_t count) {
  return static_cast<long>(::send(socket, bytes, count, MSG_NOSIGNAL));
}

inline long ReceiveSome(int socket, char* buffer, size_t count) {
  return static_cast<long>(::recv(socket, buffer, count, 0));
}

inline void Close(int socket) { ::close(socket); }

// Closes the socket with a reset (no orderly end of stream).
inline void Reset(int socket) {
  const linger abort{1, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  ::close(socket);
}

inline int UnusedLoopbackPort() {
  int port = 0;
  const int listener = ListenLoopback(&port);
  if (listener >= 0) Close(listener);
  return port;
}

}  // namespace testsocket

#endif  // KOVRIM_TESTS_SUPPORT_TEST_SOCKET_POSIX_H_

// The IPv4 sockets of Linux and other POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "socket_platform.h"

namespace fbsdk_internal {
namespace net {
namespace {

// Handles 0..2 are the standard streams; a socket there would be mistaken for "no socket" (0) or
// receive console output (1, 2).
constexpr int kLowestSocketHandle = 3;

// Moves a fresh descriptor above the standard streams; returns -1 (and closes it) on failure.
int MoveAboveStandardStreams(int pHandle) {
  if (pHandle < 0 || pHandle >= kLowestSocketHandle) return pHandle;
  const int moved = fcntl(pHandle, F_DUPFD_CLOEXEC, kLowestSocketHandle);
  close(pHandle);
  return moved;
}

int MillisecondsLeft(Clock::time_point pDeadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(pDeadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

sockaddr_in AddressOf(uint32_t pAddress, uint16_t pPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(pAddress);
  address.sin_port = htons(pPort);
  return address;
}

}  // namespace

bool IsSocket(int pSocket) {
  if (pSocket <= 0) return false;
  int type = 0;
  socklen_t length = sizeof(type);
  return getsockopt(pSocket, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

int OpenSocket(SocketKind pKind, Protocol pProtocol, bool pNonBlocking) {
  const int protocol = pProtocol == Protocol::kTcp   ? IPPROTO_TCP
                       : pProtocol == Protocol::kUdp ? IPPROTO_UDP
                                                     : 0;
  int type = pKind == SocketKind::kStream     ? SOCK_STREAM
             : pKind == SocketKind::kDatagram ? SOCK_DGRAM
                                              : SOCK_RAW;
  type |= SOCK_CLOEXEC | (pNonBlocking ? SOCK_NONBLOCK : 0);
  return MoveAboveStandardStreams(socket(AF_INET, type, protocol));
}

void CloseSocket(int pSocket) {
  close(pSocket);  // Not retried on EINTR: Linux has released the handle either way.
}

IoStatus ReceiveAvailable(int pSocket, char* pBuffer, int pWanted, int& pPlaced) {
  while (pPlaced < pWanted) {
    const ssize_t got = recv(pSocket, pBuffer + pPlaced, pWanted - pPlaced, MSG_DONTWAIT);
    if (got > 0) {
      pPlaced += static_cast<int>(got);
    } else if (got == 0) {
      return IoStatus::kClosed;
    } else if (errno != EINTR) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kError;
    }
  }
  return IoStatus::kDone;
}

IoStatus SendAvailable(int pSocket, const char* pBuffer, int pWanted, int& pSent) {
  while (pSent < pWanted) {
    const ssize_t put =
        send(pSocket, pBuffer + pSent, pWanted - pSent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (put >= 0) {
      pSent += static_cast<int>(put);
    } else if (errno != EINTR) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kError;
    }
  }
  return IoStatus::kDone;
}

bool ReceiveDatagram(int pSocket, void* pBuffer, int pCapacity, int& pGot, uint32_t& pAddress,
                     uint16_t& pPort) {
  sockaddr_in sender{};
  socklen_t length = sizeof(sender);
  ssize_t got;
  do {
    got = recvfrom(pSocket, pBuffer, pCapacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender),
                   &length);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  pGot = static_cast<int>(got);
  pAddress = ntohl(sender.sin_addr.s_addr);
  pPort = ntohs(sender.sin_port);
  return true;
}

int SendDatagram(int pSocket, const void* pBuffer, int pCount, uint32_t pAddress, uint16_t pPort) {
  const sockaddr_in target = AddressOf(pAddress, pPort);
  ssize_t sent;
  do {
    sent = sendto(pSocket, pBuffer, pCount, MSG_DONTWAIT | MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&target), sizeof(target));
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int Wait(int pSocket, bool pRead, bool pWrite, bool pError, Clock::time_point pDeadline) {
  short events = 0;
  if (pRead) events |= POLLIN;
  if (pWrite) events |= POLLOUT;
  if (pError) events |= POLLPRI;
  for (;;) {
    pollfd entry{pSocket, events, 0};
    const int ready = poll(&entry, 1, MillisecondsLeft(pDeadline));
    if (ready > 0) return (entry.revents & POLLNVAL) ? -1 : 1;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool ParseIPv4(const char* pText, uint32_t& pAddress) {
  in_addr address{};
  if (inet_pton(AF_INET, pText, &address) != 1) return false;
  pAddress = ntohl(address.s_addr);
  return true;
}

bool LookupIPv4(const std::string& pName, uint32_t& pAddress) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  const bool found = getaddrinfo(pName.c_str(), nullptr, &hints, &results) == 0 &&
                     results != nullptr && results->ai_addr != nullptr;
  if (found) {
    pAddress = ntohl(reinterpret_cast<sockaddr_in*>(results->ai_addr)->sin_addr.s_addr);
  }
  if (results != nullptr) freeaddrinfo(results);
  return found;
}

bool Bind(int pSocket, uint32_t pAddress, uint16_t pPort) {
  const int reuse = 1;
  setsockopt(pSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  const sockaddr_in address = AddressOf(pAddress, pPort);
  return bind(pSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool ConnectWithin(int pSocket, uint32_t pAddress, uint16_t pPort, Clock::time_point pDeadline) {
  const int flags = fcntl(pSocket, F_GETFL);
  if (flags < 0) return false;
  const bool wasBlocking = (flags & O_NONBLOCK) == 0;
  if (wasBlocking && fcntl(pSocket, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  const sockaddr_in address = AddressOf(pAddress, pPort);
  bool connected =
      connect(pSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR || errno == EALREADY) &&
      Wait(pSocket, false, true, false, pDeadline) == 1) {
    int error = 0;
    socklen_t length = sizeof(error);
    connected = getsockopt(pSocket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  if (!connected) {
    // Drop a connection attempt still in flight, so it cannot complete behind the caller's back.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    connect(pSocket, &unspecified, sizeof(unspecified));
  }
  if (wasBlocking) fcntl(pSocket, F_SETFL, flags);
  return connected;
}

int Listen(int pSocket, int pBackLog) { return listen(pSocket, pBackLog) == 0 ? 0 : errno; }

int Accept(int pSocket, uint32_t* pPeerAddress) {
  const int flags = fcntl(pSocket, F_GETFL);
  const int acceptFlags = SOCK_CLOEXEC | (flags >= 0 && (flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  int handle;
  do {
    handle = accept4(pSocket, reinterpret_cast<sockaddr*>(&peer), &length, acceptFlags);
  } while (handle < 0 && errno == EINTR);
  handle = MoveAboveStandardStreams(handle);
  if (handle < 0) return 0;
  if (pPeerAddress != nullptr) *pPeerAddress = ntohl(peer.sin_addr.s_addr);
  return handle;
}

}  // namespace net
}  // namespace fbsdk_internal

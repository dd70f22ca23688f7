// The IPv4 sockets of Windows (Winsock 2). Winsock has no per-call "do not wait" flag and no way to
// ask a socket's blocking mode, so this file remembers which sockets are non-blocking, polls with a
// zero timeout before receiving, and sends on a blocking socket with non-blocking mode switched on
// for the call. Errors come from WSAGetLastError, never errno. The set of non-blocking handles is
// guarded by its own mutex; any thread may call these functions.
// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <set>

#include "socket_platform.h"
#include "thread_annotations.h"

namespace fbsdk_internal {
namespace net {
namespace {

// Winsock is started once for the process and left running until it exits.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// Handles whose blocking mode is non-blocking.
struct BlockingModes {
  kovrim::Mutex mMutex;
  std::set<int> mNonBlocking GUARDED_BY(mMutex);
};

BlockingModes& Modes() {
  static BlockingModes* modes = new BlockingModes;  // Leaked: sockets may close during exit.
  return *modes;
}

bool IsNonBlocking(int pSocket) {
  BlockingModes& modes = Modes();
  kovrim::MutexLock lock(&modes.mMutex);
  return modes.mNonBlocking.count(pSocket) != 0;
}

void RememberMode(int pSocket, bool pNonBlocking) {
  BlockingModes& modes = Modes();
  kovrim::MutexLock lock(&modes.mMutex);
  if (pNonBlocking) {
    modes.mNonBlocking.insert(pSocket);
  } else {
    modes.mNonBlocking.erase(pSocket);
  }
}

bool SetNonBlocking(int pSocket, bool pNonBlocking) {
  u_long value = pNonBlocking ? 1 : 0;
  return ioctlsocket(static_cast<SOCKET>(pSocket), FIONBIO, &value) == 0;
}

SOCKET Handle(int pSocket) { return static_cast<SOCKET>(pSocket); }

sockaddr_in AddressOf(uint32_t pAddress, uint16_t pPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(pAddress);
  address.sin_port = htons(pPort);
  return address;
}

// The remaining time as select's timeout.
timeval TimeLeft(Clock::time_point pDeadline) {
  const auto left = std::max<long long>(
      0, std::chrono::duration_cast<std::chrono::microseconds>(pDeadline - Clock::now()).count());
  const long long capped = std::min<long long>(left, 1000000LL * 100000);
  timeval value{};
  value.tv_sec = static_cast<long>(capped / 1000000);
  value.tv_usec = static_cast<long>(capped % 1000000);
  return value;
}

bool WouldBlock(int pError) { return pError == WSAEWOULDBLOCK || pError == WSAEINPROGRESS; }

// Sends with the socket non-blocking, switching the mode on for this call when it is blocking.
IoStatus SendNow(int pSocket, const char* pBuffer, int pWanted, int& pSent) {
  while (pSent < pWanted) {
    const int put = send(Handle(pSocket), pBuffer + pSent, pWanted - pSent, 0);
    if (put != SOCKET_ERROR) {
      pSent += put;
    } else {
      const int error = WSAGetLastError();
      if (error == WSAEINTR) continue;
      return WouldBlock(error) ? IoStatus::kWouldBlock : IoStatus::kError;
    }
  }
  return IoStatus::kDone;
}

}  // namespace

bool IsSocket(int pSocket) {
  if (pSocket <= 0 || !StartWinsock()) return false;
  int type = 0;
  int length = sizeof(type);
  return getsockopt(Handle(pSocket), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                    &length) == 0;
}

int OpenSocket(SocketKind pKind, Protocol pProtocol, bool pNonBlocking) {
  if (!StartWinsock()) return -1;
  const int protocol = pProtocol == Protocol::kTcp   ? IPPROTO_TCP
                       : pProtocol == Protocol::kUdp ? IPPROTO_UDP
                                                     : 0;
  const int type = pKind == SocketKind::kStream     ? SOCK_STREAM
                   : pKind == SocketKind::kDatagram ? SOCK_DGRAM
                                                    : SOCK_RAW;
  // WSA_FLAG_NO_HANDLE_INHERIT: not inherited by child processes, like close-on-exec.
  const SOCKET handle = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (handle == INVALID_SOCKET) return -1;
  // Socket handles are kernel handles: small multiples of 4, never 0, so they fit an int.
  const int socket = static_cast<int>(handle);
  if (socket <= 0 || (pNonBlocking && !SetNonBlocking(socket, true))) {
    closesocket(handle);
    return -1;
  }
  RememberMode(socket, pNonBlocking);
  return socket;
}

void CloseSocket(int pSocket) {
  RememberMode(pSocket, false);
  closesocket(Handle(pSocket));
}

IoStatus ReceiveAvailable(int pSocket, char* pBuffer, int pWanted, int& pPlaced) {
  const bool nonBlocking = IsNonBlocking(pSocket);
  while (pPlaced < pWanted) {
    // A blocking socket is asked first, so that recv only runs when it returns at once.
    if (!nonBlocking && Wait(pSocket, true, false, false, Clock::now()) != 1) {
      return IoStatus::kWouldBlock;
    }
    const int got = recv(Handle(pSocket), pBuffer + pPlaced, pWanted - pPlaced, 0);
    if (got > 0) {
      pPlaced += got;
    } else if (got == 0) {
      return IoStatus::kClosed;
    } else {
      const int error = WSAGetLastError();
      if (error == WSAEINTR) continue;
      return WouldBlock(error) ? IoStatus::kWouldBlock : IoStatus::kError;
    }
  }
  return IoStatus::kDone;
}

IoStatus SendAvailable(int pSocket, const char* pBuffer, int pWanted, int& pSent) {
  if (IsNonBlocking(pSocket)) return SendNow(pSocket, pBuffer, pWanted, pSent);
  if (!SetNonBlocking(pSocket, true)) return IoStatus::kError;
  const IoStatus status = SendNow(pSocket, pBuffer, pWanted, pSent);
  SetNonBlocking(pSocket, false);
  return status;
}

bool ReceiveDatagram(int pSocket, void* pBuffer, int pCapacity, int& pGot, uint32_t& pAddress,
                     uint16_t& pPort) {
  if (!IsNonBlocking(pSocket) && Wait(pSocket, true, false, false, Clock::now()) != 1) {
    return false;
  }
  sockaddr_in sender{};
  int length = sizeof(sender);
  const int got = recvfrom(Handle(pSocket), static_cast<char*>(pBuffer), pCapacity, 0,
                           reinterpret_cast<sockaddr*>(&sender), &length);
  if (got == SOCKET_ERROR) return false;
  pGot = got;
  pAddress = ntohl(sender.sin_addr.s_addr);
  pPort = ntohs(sender.sin_port);
  return true;
}

int SendDatagram(int pSocket, const void* pBuffer, int pCount, uint32_t pAddress, uint16_t pPort) {
  const sockaddr_in target = AddressOf(pAddress, pPort);
  const bool blocking = !IsNonBlocking(pSocket);
  if (blocking && !SetNonBlocking(pSocket, true)) return -1;
  const int sent = sendto(Handle(pSocket), static_cast<const char*>(pBuffer), pCount, 0,
                          reinterpret_cast<const sockaddr*>(&target), sizeof(target));
  if (blocking) SetNonBlocking(pSocket, false);
  return sent == SOCKET_ERROR ? -1 : sent;
}

int Wait(int pSocket, bool pRead, bool pWrite, bool pError, Clock::time_point pDeadline) {
  if (!StartWinsock()) return -1;
  for (;;) {
    fd_set reads, writes, errors;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&errors);
    if (pRead) FD_SET(Handle(pSocket), &reads);
    if (pWrite) FD_SET(Handle(pSocket), &writes);
    // A failed non-blocking connect is reported among the exceptions, not the writable sockets.
    if (pError || pWrite) FD_SET(Handle(pSocket), &errors);
    timeval timeout = TimeLeft(pDeadline);
    const int ready = select(0, &reads, &writes, &errors, &timeout);
    if (ready > 0) return 1;
    if (ready == 0) return 0;
    if (WSAGetLastError() != WSAEINTR) return -1;
  }
}

bool ParseIPv4(const char* pText, uint32_t& pAddress) {
  if (!StartWinsock()) return false;
  in_addr address{};
  if (inet_pton(AF_INET, pText, &address) != 1) return false;
  pAddress = ntohl(address.s_addr);
  return true;
}

bool LookupIPv4(const std::string& pName, uint32_t& pAddress) {
  if (!StartWinsock()) return false;
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
  // SO_REUSEADDR on Windows lets another socket steal a bound port; exclusive use is the safe
  // equivalent of the POSIX behaviour for a listener.
  const BOOL exclusive = TRUE;
  setsockopt(Handle(pSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
  const sockaddr_in address = AddressOf(pAddress, pPort);
  return bind(Handle(pSocket), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool ConnectWithin(int pSocket, uint32_t pAddress, uint16_t pPort, Clock::time_point pDeadline) {
  const bool wasBlocking = !IsNonBlocking(pSocket);
  if (wasBlocking && !SetNonBlocking(pSocket, true)) return false;
  const sockaddr_in address = AddressOf(pAddress, pPort);
  bool connected =
      connect(Handle(pSocket), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  if (!connected && WouldBlock(WSAGetLastError())) {
    fd_set writes, errors;
    for (;;) {
      FD_ZERO(&writes);
      FD_ZERO(&errors);
      FD_SET(Handle(pSocket), &writes);
      FD_SET(Handle(pSocket), &errors);
      timeval timeout = TimeLeft(pDeadline);
      const int ready = select(0, nullptr, &writes, &errors, &timeout);
      if (ready == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
      connected =
          ready > 0 && FD_ISSET(Handle(pSocket), &writes) && !FD_ISSET(Handle(pSocket), &errors);
      break;
    }
    if (connected) {
      int error = 0;
      int length = sizeof(error);
      connected = getsockopt(Handle(pSocket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                             &length) == 0 &&
                  error == 0;
    }
  }
  // Winsock cannot cancel an attempt still in flight (no AF_UNSPEC connect): after a failure the
  // socket is to be closed, as the contract says.
  if (wasBlocking) SetNonBlocking(pSocket, false);
  return connected;
}

int Listen(int pSocket, int pBackLog) {
  return listen(Handle(pSocket), pBackLog) == 0 ? 0 : WSAGetLastError();
}

int Accept(int pSocket, uint32_t* pPeerAddress) {
  sockaddr_in peer{};
  int length = sizeof(peer);
  // A blocking listener waits for a connection, as accept does on POSIX.
  const SOCKET handle = accept(Handle(pSocket), reinterpret_cast<sockaddr*>(&peer), &length);
  if (handle == INVALID_SOCKET) return 0;
  const int socket = static_cast<int>(handle);
  if (socket <= 0) {
    closesocket(handle);
    return 0;
  }
  // The accepted socket has the listener's properties, blocking mode included.
  SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
  RememberMode(socket, IsNonBlocking(pSocket));
  if (pPeerAddress != nullptr) *pPeerAddress = ntohl(peer.sin_addr.s_addr);
  return socket;
}

}  // namespace net
}  // namespace fbsdk_internal

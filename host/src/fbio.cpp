#include <fbsdk/fbio.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "host_state.h"
#include "socket_tap.h"

namespace FBSDKNamespace {
namespace {

using Clock = std::chrono::steady_clock;

// Longest a Connect may take, name lookup included.
constexpr std::chrono::milliseconds kConnectTimeout(3000);
// Handles 0..2 are the standard streams; a socket there would be mistaken for "no socket" (0) or
// receive console output (1, 2).
constexpr int kLowestSocketHandle = 3;

bool IsSocket(int pSocket) {
  if (pSocket <= 0) return false;
  int type = 0;
  socklen_t length = sizeof(type);
  return getsockopt(pSocket, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

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

// Waits for pEvents on pSocket until pDeadline; true when an event (or error) is pending.
bool WaitFor(int pSocket, short pEvents, Clock::time_point pDeadline) {
  for (;;) {
    pollfd entry{pSocket, pEvents, 0};
    const int ready = poll(&entry, 1, MillisecondsLeft(pDeadline));
    if (ready > 0) return (entry.revents & POLLNVAL) == 0;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

// Host-name lookup bounded by pDeadline. The lookup runs on its own thread so a silent resolver
// cannot hold the caller; a late answer is dropped with the shared state.
struct Lookup {
  std::mutex mMutex;
  std::condition_variable mDone;
  bool mFinished = false;  // Guarded by mMutex.
  bool mFound = false;     // Guarded by mMutex.
  in_addr mAddress{};      // Guarded by mMutex.
};

bool ResolveIPv4(const char* pName, in_addr& pAddress, Clock::time_point pDeadline) {
  if (inet_pton(AF_INET, pName, &pAddress) == 1) return true;
  const std::string name(pName);
  if (name.empty() || name.size() > 253) return false;
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name] {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* results = nullptr;
      const bool found = getaddrinfo(name.c_str(), nullptr, &hints, &results) == 0 &&
                         results != nullptr && results->ai_addr != nullptr;
      std::lock_guard<std::mutex> lock(lookup->mMutex);
      if (found) {
        lookup->mAddress = reinterpret_cast<sockaddr_in*>(results->ai_addr)->sin_addr;
      }
      if (results != nullptr) freeaddrinfo(results);
      lookup->mFound = found;
      lookup->mFinished = true;
      lookup->mDone.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return false;  // No thread available: treat as an unresolvable name.
  }
  std::unique_lock<std::mutex> lock(lookup->mMutex);
  if (!lookup->mDone.wait_until(lock, pDeadline, [&] { return lookup->mFinished; })) return false;
  pAddress = lookup->mAddress;
  return lookup->mFound;
}

// REQUIRES: pSocket is non-blocking.
bool ConnectWithin(int pSocket, const sockaddr_in& pAddress, Clock::time_point pDeadline) {
  if (connect(pSocket, reinterpret_cast<const sockaddr*>(&pAddress), sizeof(pAddress)) == 0) {
    return true;
  }
  if (errno != EINPROGRESS && errno != EINTR && errno != EALREADY) return false;
  if (!WaitFor(pSocket, POLLOUT, pDeadline)) return false;
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(pSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
}

enum class IoStatus { kDone, kWouldBlock, kClosed, kError };

// Receives into pBuffer until pWanted bytes are placed or the socket has nothing more now.
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

// Bytes one read may place under the test seam.
int ReadAllowance(int pRemaining) {
  const int limit = fbsdk_internal::State().mSocketReadLimit.load();
  return limit > 0 ? std::min(limit, pRemaining) : pRemaining;
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

bool ValidBuffer(int pSocket, const void* pBuffer, int pCount) {
  return pSocket > 0 && pCount >= 0 && (pCount == 0 || pBuffer != nullptr);
}

}  // namespace

FBTCPIP::FBTCPIP() : FBComponent(NULL), mLocalPtr(nullptr) {}

FBTCPIP::~FBTCPIP() {}

bool FBTCPIP::Read(int pSocket, void* lpBuffer, int nNumberOfBytesToRead,
                   int* lpNumberOfBytesRead) {
  int placed = 0;
  if (ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToRead)) {
    ReceiveAvailable(pSocket, static_cast<char*>(lpBuffer), ReadAllowance(nNumberOfBytesToRead),
                     placed);
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = placed;
  fbsdk_internal::ReportSocketBytes(pSocket, false, static_cast<const char*>(lpBuffer), placed);
  return ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToRead) && placed == nNumberOfBytesToRead;
}

bool FBTCPIP::ReadBlocking(int pSocket, void* lpBuffer, int nNumberOfBytesToRead,
                           int* lpNumberOfBytesRead, kULong pTimeOut) {
  int placed = 0;
  const bool valid = ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToRead);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(pTimeOut);
  while (valid && placed < nNumberOfBytesToRead) {
    const IoStatus status =
        ReceiveAvailable(pSocket, static_cast<char*>(lpBuffer),
                         placed + ReadAllowance(nNumberOfBytesToRead - placed), placed);
    if (status == IoStatus::kClosed || status == IoStatus::kError) break;
    if (status == IoStatus::kWouldBlock && !WaitFor(pSocket, POLLIN, deadline)) break;
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = placed;
  fbsdk_internal::ReportSocketBytes(pSocket, false, static_cast<const char*>(lpBuffer), placed);
  return valid && placed == nNumberOfBytesToRead;
}

bool FBTCPIP::ReadDatagram(int pSocket, void* lpBuffer, int nNumberOfBytesToRead,
                           int* lpNumberOfBytesRead, kULong* pAddr, unsigned short* pPort) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (!ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToRead)) return false;
  sockaddr_in sender{};
  socklen_t length = sizeof(sender);
  ssize_t got;
  do {
    got = recvfrom(pSocket, lpBuffer, nNumberOfBytesToRead, MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&sender), &length);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<int>(got);
  if (pAddr != nullptr) *pAddr = ntohl(sender.sin_addr.s_addr);
  if (pPort != nullptr) *pPort = ntohs(sender.sin_port);
  return true;
}

bool FBTCPIP::Write(int pSocket, void* lpBuffer, int nNumberOfBytesToWrite,
                    int* lpNumberOfBytesWritten) {
  int sent = 0;
  const bool valid = ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToWrite);
  if (valid)
    SendAvailable(pSocket, static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite, sent);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = sent;
  fbsdk_internal::ReportSocketBytes(pSocket, true, static_cast<const char*>(lpBuffer), sent);
  return valid && sent == nNumberOfBytesToWrite;
}

bool FBTCPIP::WriteBlocking(int pSocket, void* lpBuffer, int nNumberOfBytesToWrite,
                            int* lpNumberOfBytesToWrite, kULong pTimeOut) {
  int sent = 0;
  const bool valid = ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToWrite);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(pTimeOut);
  while (valid && sent < nNumberOfBytesToWrite) {
    const IoStatus status =
        SendAvailable(pSocket, static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite, sent);
    if (status == IoStatus::kError) break;
    if (status == IoStatus::kWouldBlock && !WaitFor(pSocket, POLLOUT, deadline)) break;
  }
  if (lpNumberOfBytesToWrite != nullptr) *lpNumberOfBytesToWrite = sent;
  fbsdk_internal::ReportSocketBytes(pSocket, true, static_cast<const char*>(lpBuffer), sent);
  return valid && sent == nNumberOfBytesToWrite;
}

bool FBTCPIP::WriteDatagram(int pSocket, void* lpBuffer, int nNumberOfBytesToWrite,
                            int* lpNumberOfBytesToWrite, kULong pAddr, unsigned short pPort) {
  if (lpNumberOfBytesToWrite != nullptr) *lpNumberOfBytesToWrite = 0;
  if (!ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToWrite)) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(pAddr);
  target.sin_port = htons(pPort);
  ssize_t sent;
  do {
    sent = sendto(pSocket, lpBuffer, nNumberOfBytesToWrite, MSG_DONTWAIT | MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&target), sizeof(target));
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return false;
  if (lpNumberOfBytesToWrite != nullptr) *lpNumberOfBytesToWrite = static_cast<int>(sent);
  return sent == nNumberOfBytesToWrite;
}

bool FBTCPIP::CreateSocket(int& pSocket, FBTCPIPSocketType pType, const char* pProtocol,
                           bool pNonBlocking) {
  int protocol = 0;
  if (pProtocol == nullptr || std::strcmp(pProtocol, "ip") == 0) {
    protocol = 0;
  } else if (std::strcmp(pProtocol, "tcp") == 0) {
    protocol = IPPROTO_TCP;
  } else if (std::strcmp(pProtocol, "udp") == 0) {
    protocol = IPPROTO_UDP;
  } else {
    return false;
  }
  int type = 0;
  switch (pType) {
    case kFBTCPIP_Stream:
      type = SOCK_STREAM;
      break;
    case kFBTCPIP_DGRAM:
      type = SOCK_DGRAM;
      break;
    case kFBTCPIP_RAW:
      type = SOCK_RAW;
      break;
    default:
      return false;
  }
  type |= SOCK_CLOEXEC | (pNonBlocking ? SOCK_NONBLOCK : 0);
  const int handle = MoveAboveStandardStreams(socket(AF_INET, type, protocol));
  if (handle < 0) return false;
  pSocket = handle;
  return true;
}

bool FBTCPIP::Bind(int& pSocket, kULong pAddr, int pPort) {
  if (!IsSocket(pSocket) || pPort < 0 || pPort > 65535) return false;
  const int reuse = 1;
  setsockopt(pSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(pAddr);
  address.sin_port = htons(static_cast<uint16_t>(pPort));
  return bind(pSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool FBTCPIP::Connect(int& pSocket, char* pAddr, int pPort) {
  if (!IsSocket(pSocket) || pAddr == nullptr || pPort < 1 || pPort > 65535) return false;
  const Clock::time_point deadline = Clock::now() + kConnectTimeout;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(pPort));
  if (!ResolveIPv4(pAddr, address.sin_addr, deadline)) return false;

  const int flags = fcntl(pSocket, F_GETFL);
  if (flags < 0) return false;
  const bool wasBlocking = (flags & O_NONBLOCK) == 0;
  if (wasBlocking && fcntl(pSocket, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  const bool connected = ConnectWithin(pSocket, address, deadline);
  if (!connected) {
    // Drop a connection attempt still in flight, so it cannot complete behind the caller's back.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    connect(pSocket, &unspecified, sizeof(unspecified));
  }
  if (wasBlocking) fcntl(pSocket, F_SETFL, flags);
  return connected;
}

bool FBTCPIP::CloseSocket(int& pSocket) {
  if (!IsSocket(pSocket)) return false;
  close(pSocket);  // Not retried on EINTR: Linux has released the handle either way.
  pSocket = 0;
  return true;
}

int FBTCPIP::Listen(int pSocket, int pBackLog) {
  if (!IsSocket(pSocket)) return EBADF;
  return listen(pSocket, pBackLog) == 0 ? 0 : errno;
}

int FBTCPIP::Accept(int pSocket, kULong* pOutAddr) {
  if (!IsSocket(pSocket)) return 0;
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
  if (pOutAddr != nullptr) *pOutAddr = ntohl(peer.sin_addr.s_addr);
  return handle;
}

int FBTCPIP::Select(int pSocket, bool pTestRead, bool pTestWrite, bool pTestError,
                    kULong pTimeOutMilisecond) {
  if (pSocket <= 0) return -1;
  short events = 0;
  if (pTestRead) events |= POLLIN;
  if (pTestWrite) events |= POLLOUT;
  if (pTestError) events |= POLLPRI;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(pTimeOutMilisecond);
  for (;;) {
    pollfd entry{pSocket, events, 0};
    const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready > 0) return (entry.revents & POLLNVAL) ? -1 : 1;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace FBSDKNamespace

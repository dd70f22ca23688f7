#include <fbsdk/fbio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "host_state.h"
#include "memory_connection.h"
#include "socket_platform.h"
#include "socket_tap.h"
#include "thread_annotations.h"

namespace FBSDKNamespace {
namespace {

using fbsdk_internal::net::Clock;
using fbsdk_internal::net::IoStatus;
namespace memory = fbsdk_internal::memory;
namespace net = fbsdk_internal::net;

// The one place that tells an in-memory connection (memory_connection.h) from a platform socket:
// every call below on a handle in the in-memory range goes there, any other to the platform.
bool IsSocket(int pSocket) {
  return memory::IsMemoryHandle(pSocket) ? memory::IsOpen(pSocket) : net::IsSocket(pSocket);
}
// Bind, Connect, Listen, Accept and the datagram calls have no in-memory counterpart.
bool IsPlatformSocket(int pSocket) {
  return !memory::IsMemoryHandle(pSocket) && net::IsSocket(pSocket);
}
void CloseHandle(int pSocket) {
  if (memory::IsMemoryHandle(pSocket)) {
    memory::Close(pSocket);
  } else {
    net::CloseSocket(pSocket);
  }
}
IoStatus ReceiveAvailable(int pSocket, char* pBuffer, int pWanted, int& pPlaced) {
  return memory::IsMemoryHandle(pSocket)
             ? memory::ReceiveAvailable(pSocket, pBuffer, pWanted, pPlaced)
             : net::ReceiveAvailable(pSocket, pBuffer, pWanted, pPlaced);
}
IoStatus SendAvailable(int pSocket, const char* pBuffer, int pWanted, int& pSent) {
  return memory::IsMemoryHandle(pSocket) ? memory::SendAvailable(pSocket, pBuffer, pWanted, pSent)
                                         : net::SendAvailable(pSocket, pBuffer, pWanted, pSent);
}
int Wait(int pSocket, bool pRead, bool pWrite, bool pError, Clock::time_point pDeadline) {
  return memory::IsMemoryHandle(pSocket) ? memory::Wait(pSocket, pRead, pWrite, pError, pDeadline)
                                         : net::Wait(pSocket, pRead, pWrite, pError, pDeadline);
}

// Longest a Connect may take, name lookup included.
constexpr std::chrono::milliseconds kConnectTimeout(3000);

// Waits for reading or writing on pSocket until pDeadline; true when ready (or an error is
// pending).
bool WaitFor(int pSocket, bool pWrite, Clock::time_point pDeadline) {
  return Wait(pSocket, !pWrite, pWrite, false, pDeadline) == 1;
}

// Host-name lookup bounded by pDeadline. The lookup runs on its own thread so a silent resolver
// cannot hold the caller; a late answer is dropped with the shared state.
struct Lookup {
  kovrim::Mutex mMutex;
  kovrim::CondVar mDone;
  bool mFinished GUARDED_BY(mMutex) = false;
  bool mFound GUARDED_BY(mMutex) = false;
  uint32_t mAddress GUARDED_BY(mMutex) = 0;
};

bool ResolveIPv4(const char* pName, uint32_t& pAddress, Clock::time_point pDeadline) {
  if (fbsdk_internal::net::ParseIPv4(pName, pAddress)) return true;
  const std::string name(pName);
  if (name.empty() || name.size() > 253) return false;
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name] {
      uint32_t address = 0;
      const bool found = fbsdk_internal::net::LookupIPv4(name, address);
      kovrim::MutexLock lock(&lookup->mMutex);
      lookup->mAddress = address;
      lookup->mFound = found;
      lookup->mFinished = true;
      lookup->mDone.NotifyAll();
    }).detach();
  } catch (const std::system_error&) {
    return false;  // No thread available: treat as an unresolvable name.
  }
  kovrim::MutexLock lock(&lookup->mMutex);
  while (!lookup->mFinished) {
    if (!lookup->mDone.WaitUntil(&lookup->mMutex, pDeadline) && !lookup->mFinished) return false;
  }
  pAddress = lookup->mAddress;
  return lookup->mFound;
}

// Bytes one read may place under the test seam.
int ReadAllowance(int pRemaining) {
  const int limit = fbsdk_internal::State().mSocketReadLimit.load();
  return limit > 0 ? std::min(limit, pRemaining) : pRemaining;
}

bool ValidBuffer(int pSocket, const void* pBuffer, int pCount) {
  if (pSocket <= 0) fbsdk_internal::State().mCallsWithoutSocket.fetch_add(1);
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
    if (status == IoStatus::kWouldBlock && !WaitFor(pSocket, false, deadline)) break;
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = placed;
  fbsdk_internal::ReportSocketBytes(pSocket, false, static_cast<const char*>(lpBuffer), placed);
  return valid && placed == nNumberOfBytesToRead;
}

bool FBTCPIP::ReadDatagram(int pSocket, void* lpBuffer, int nNumberOfBytesToRead,
                           int* lpNumberOfBytesRead, kULong* pAddr, unsigned short* pPort) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (!ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToRead)) return false;
  if (memory::IsMemoryHandle(pSocket)) return false;
  int got = 0;
  uint32_t address = 0;
  uint16_t port = 0;
  if (!fbsdk_internal::net::ReceiveDatagram(pSocket, lpBuffer, nNumberOfBytesToRead, got, address,
                                            port)) {
    return false;
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = got;
  if (pAddr != nullptr) *pAddr = address;
  if (pPort != nullptr) *pPort = port;
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
    if (status == IoStatus::kWouldBlock && !WaitFor(pSocket, true, deadline)) break;
  }
  if (lpNumberOfBytesToWrite != nullptr) *lpNumberOfBytesToWrite = sent;
  fbsdk_internal::ReportSocketBytes(pSocket, true, static_cast<const char*>(lpBuffer), sent);
  return valid && sent == nNumberOfBytesToWrite;
}

bool FBTCPIP::WriteDatagram(int pSocket, void* lpBuffer, int nNumberOfBytesToWrite,
                            int* lpNumberOfBytesToWrite, kULong pAddr, unsigned short pPort) {
  if (lpNumberOfBytesToWrite != nullptr) *lpNumberOfBytesToWrite = 0;
  if (!ValidBuffer(pSocket, lpBuffer, nNumberOfBytesToWrite)) return false;
  if (memory::IsMemoryHandle(pSocket)) return false;
  const int sent =
      fbsdk_internal::net::SendDatagram(pSocket, lpBuffer, nNumberOfBytesToWrite, pAddr, pPort);
  if (sent < 0) return false;
  if (lpNumberOfBytesToWrite != nullptr) *lpNumberOfBytesToWrite = sent;
  return sent == nNumberOfBytesToWrite;
}

bool FBTCPIP::CreateSocket(int& pSocket, FBTCPIPSocketType pType, const char* pProtocol,
                           bool pNonBlocking) {
  using fbsdk_internal::net::Protocol;
  using fbsdk_internal::net::SocketKind;
  Protocol protocol = Protocol::kDefault;
  if (pProtocol == nullptr || std::strcmp(pProtocol, "ip") == 0) {
    protocol = Protocol::kDefault;
  } else if (std::strcmp(pProtocol, "tcp") == 0) {
    protocol = Protocol::kTcp;
  } else if (std::strcmp(pProtocol, "udp") == 0) {
    protocol = Protocol::kUdp;
  } else {
    return false;
  }
  SocketKind kind = SocketKind::kStream;
  switch (pType) {
    case kFBTCPIP_Stream:
      kind = SocketKind::kStream;
      break;
    case kFBTCPIP_DGRAM:
      kind = SocketKind::kDatagram;
      break;
    case kFBTCPIP_RAW:
      kind = SocketKind::kRaw;
      break;
    default:
      return false;
  }
  const int handle = fbsdk_internal::net::OpenSocket(kind, protocol, pNonBlocking);
  if (handle <= 0) return false;
  pSocket = handle;
  return true;
}

bool FBTCPIP::Bind(int& pSocket, kULong pAddr, int pPort) {
  if (!IsPlatformSocket(pSocket) || pPort < 0 || pPort > 65535) return false;
  return fbsdk_internal::net::Bind(pSocket, pAddr, static_cast<uint16_t>(pPort));
}

bool FBTCPIP::Connect(int& pSocket, char* pAddr, int pPort) {
  if (!IsPlatformSocket(pSocket) || pAddr == nullptr || pPort < 1 || pPort > 65535) return false;
  const Clock::time_point deadline = Clock::now() + kConnectTimeout;
  uint32_t address = 0;
  if (!ResolveIPv4(pAddr, address, deadline)) return false;
  return fbsdk_internal::net::ConnectWithin(pSocket, address, static_cast<uint16_t>(pPort),
                                            deadline);
}

bool FBTCPIP::CloseSocket(int& pSocket) {
  if (!IsSocket(pSocket)) return false;
  fbsdk_internal::ReportSocketClosing(pSocket);
  CloseHandle(pSocket);
  pSocket = 0;
  return true;
}

int FBTCPIP::Listen(int pSocket, int pBackLog) {
  if (!IsPlatformSocket(pSocket)) return EBADF;
  return fbsdk_internal::net::Listen(pSocket, pBackLog);
}

int FBTCPIP::Accept(int pSocket, kULong* pOutAddr) {
  if (!IsPlatformSocket(pSocket)) return 0;
  uint32_t peer = 0;
  const int handle = fbsdk_internal::net::Accept(pSocket, &peer);
  if (handle > 0 && pOutAddr != nullptr) *pOutAddr = peer;
  return handle;
}

int FBTCPIP::Select(int pSocket, bool pTestRead, bool pTestWrite, bool pTestError,
                    kULong pTimeOutMilisecond) {
  if (pSocket <= 0) return -1;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(pTimeOutMilisecond);
  return Wait(pSocket, pTestRead, pTestWrite, pTestError, deadline);
}

}  // namespace FBSDKNamespace

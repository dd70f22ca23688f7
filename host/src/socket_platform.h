// The operating system's IPv4 sockets as FBTCPIP uses them: int handles (never 0), addresses and
// ports in host byte order, and no call that waits unless it takes a deadline. One implementation
// per platform (socket_posix.cpp, socket_windows.cpp), chosen by CMake; FBTCPIP's contract is kept
// in fbio.cpp on top of these. Stateless apart from what the platform itself keeps: any thread may
// call them.
#ifndef FBSDK_SRC_SOCKET_PLATFORM_H_
#define FBSDK_SRC_SOCKET_PLATFORM_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace fbsdk_internal {
namespace net {

using Clock = std::chrono::steady_clock;

enum class IoStatus { kDone, kWouldBlock, kClosed, kError };
enum class SocketKind { kStream, kDatagram, kRaw };
enum class Protocol { kDefault, kTcp, kUdp };

// True for a handle that names an open socket.
bool IsSocket(int pSocket);
// A new IPv4 socket (not inherited by child processes); -1 on failure.
int OpenSocket(SocketKind pKind, Protocol pProtocol, bool pNonBlocking);
// Closes a socket handle.
void CloseSocket(int pSocket);

// Receives into pBuffer until pWanted bytes are placed or the socket has nothing more now; never
// waits, whatever the socket's blocking mode.
IoStatus ReceiveAvailable(int pSocket, char* pBuffer, int pWanted, int& pPlaced);
// Sends from pBuffer until pWanted bytes are sent or the socket takes no more now; never waits
// and never raises a signal.
IoStatus SendAvailable(int pSocket, const char* pBuffer, int pWanted, int& pSent);
// One datagram without waiting; false when none is pending or on error.
bool ReceiveDatagram(int pSocket, void* pBuffer, int pCapacity, int& pGot, uint32_t& pAddress,
                     uint16_t& pPort);
// Sends one datagram without waiting; the count sent, or -1 on error.
int SendDatagram(int pSocket, const void* pBuffer, int pCount, uint32_t pAddress, uint16_t pPort);

// Waits until pDeadline for the asked conditions: 1 when one holds (or an error is pending), 0 on
// timeout, -1 when the handle is bad.
int Wait(int pSocket, bool pRead, bool pWrite, bool pError, Clock::time_point pDeadline);

// A numeric dotted IPv4 address; false when pText is not one.
bool ParseIPv4(const char* pText, uint32_t& pAddress);
// Looks a host name up (blocking, as long as the resolver takes); false when not found.
bool LookupIPv4(const std::string& pName, uint32_t& pAddress);

bool Bind(int pSocket, uint32_t pAddress, uint16_t pPort);  // With address reuse.
// Connects within pDeadline whatever the socket's blocking mode, which is left as it was.
bool ConnectWithin(int pSocket, uint32_t pAddress, uint16_t pPort, Clock::time_point pDeadline);
int Listen(int pSocket, int pBackLog);  // 0, or the platform's error code.
// The accepted socket (with the listener's blocking mode), or 0 when none is pending.
int Accept(int pSocket, uint32_t* pPeerAddress);

}  // namespace net
}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_SOCKET_PLATFORM_H_

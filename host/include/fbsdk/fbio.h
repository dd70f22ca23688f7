// FBTCPIP: the host's thin wrapper over IPv4 sockets, identified by int handles. A handle is
// never 0 (0 means "no socket"). Non-blocking calls never wait; Connect is bounded (~3 s). The
// object holds no state, so any thread may call it; one socket should be read by one thread.
#ifndef FBSDK_FBIO_H_
#define FBSDK_FBIO_H_

#include <cstddef>

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbtypes.h>

namespace FBSDKNamespace {

#define FBTCPIP_DEFAULT_BLOCKING_TIMEOUT 500  // Milliseconds for ReadBlocking/WriteBlocking.

enum FBTCPIPSocketType {
  kFBTCPIP_Stream = 0,  // TCP.
  kFBTCPIP_DGRAM = 1,   // UDP.
  kFBTCPIP_RAW = 2      // Raw IP (needs privileges).
};

__FB_FORWARD(FBTCPIP);

class FBSDK_DLL FBTCPIP : public FBComponent {
  __FBClassDeclare(FBTCPIP, FBComponent);

 public:
  FBTCPIP();

  // Reads what is available now, up to nNumberOfBytesToRead; never waits. Sets the count placed
  // (0 if nothing). True only when all were read; false with the partial count otherwise,
  // including peer closed or error.
  bool Read(int pSocket, void* lpBuffer, int nNumberOfBytesToRead, int* lpNumberOfBytesRead = NULL);
  // Like Read, but waits up to pTimeOut ms for all the bytes.
  bool ReadBlocking(int pSocket, void* lpBuffer, int nNumberOfBytesToRead,
                    int* lpNumberOfBytesRead = NULL,
                    kULong pTimeOut = FBTCPIP_DEFAULT_BLOCKING_TIMEOUT);
  // One datagram, without waiting; sender address/port in host byte order when asked.
  bool ReadDatagram(int pSocket, void* lpBuffer, int nNumberOfBytesToRead,
                    int* lpNumberOfBytesRead = NULL, kULong* pAddr = NULL,
                    unsigned short* pPort = NULL);
  // Writes what fits now, never waits and never raises SIGPIPE. True only when all written.
  bool Write(int pSocket, void* lpBuffer, int nNumberOfBytesToWrite,
             int* lpNumberOfBytesWritten = NULL);
  // Like Write, but waits up to pTimeOut ms for all the bytes to be accepted.
  bool WriteBlocking(int pSocket, void* lpBuffer, int nNumberOfBytesToWrite,
                     int* lpNumberOfBytesToWrite = NULL,
                     kULong pTimeOut = FBTCPIP_DEFAULT_BLOCKING_TIMEOUT);
  // Sends one datagram to pAddr:pPort (host byte order).
  bool WriteDatagram(int pSocket, void* lpBuffer, int nNumberOfBytesToWrite,
                     int* lpNumberOfBytesToWrite, kULong pAddr, unsigned short pPort);

  // Creates an IPv4 socket (close-on-exec). pProtocol: "ip" (or NULL), "tcp" or "udp". On
  // success pSocket receives the handle, which the caller owns and frees with CloseSocket.
  bool CreateSocket(int& pSocket, FBTCPIPSocketType pType, const char* pProtocol = "ip",
                    bool pNonBlocking = true);
  // Binds to pAddr (host byte order, 0 = any) and pPort (0 = any free port).
  bool Bind(int& pSocket, kULong pAddr, int pPort = 0);
  // Connects to a numeric IPv4 address or host name; succeeds or fails within about 3 s even
  // on a non-blocking socket. After a failure the socket should be closed.
  bool Connect(int& pSocket, char* pAddr, int pPort);
  // Closes a valid handle and sets it to 0; false for 0 or a handle that is not a socket.
  bool CloseSocket(int& pSocket);
  int Listen(int pSocket, int pBackLog = 1);  // 0 on success, else an errno.
  // The accepted socket's handle (blocking like the listener), or 0 when none is pending.
  int Accept(int pSocket, kULong* pOutAddr = NULL);
  // Waits up to pTimeOutMilisecond for the asked conditions: >0 when ready, 0 on timeout, -1 on
  // error (bad handle).
  int Select(int pSocket, bool pTestRead, bool pTestWrite, bool pTestError,
             kULong pTimeOutMilisecond = 0);
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBIO_H_

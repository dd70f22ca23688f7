// The host stand-in's in-memory connections, as seen from the socket layer: stream sockets with
// no operating system behind them, whose incoming bytes a test feeds through
// fbsdk_control::OpenMemoryConnection and its companions. fbio.cpp sends every stream call on a
// handle in their range here instead of to the platform (socket_platform.h); the calls keep the
// platform's contract (never wait unless given a deadline). Any thread may call them.
#ifndef FBSDK_SRC_MEMORY_CONNECTION_H_
#define FBSDK_SRC_MEMORY_CONNECTION_H_

#include "socket_platform.h"

namespace fbsdk_internal {
namespace memory {

// True for a handle in the in-memory connections' range (open or not), which no platform socket
// handle reaches.
bool IsMemoryHandle(int pSocket);
// True for the handle of an open in-memory connection.
bool IsOpen(int pSocket);
// Lets the connection go; its handle names nothing afterwards.
void Close(int pSocket);

// As net::ReceiveAvailable: the bytes fed and not yet read, then kClosed once the peer's end is
// closed and nothing waits, kError after a reset or on a handle that names nothing.
net::IoStatus ReceiveAvailable(int pSocket, char* pBuffer, int pWanted, int& pPlaced);
// As net::SendAvailable: kept for the test until the connection's output holds its capacity
// (kWouldBlock beyond it); kError once the peer's end is closed or reset.
net::IoStatus SendAvailable(int pSocket, const char* pBuffer, int pWanted, int& pSent);
// As net::Wait: readable with bytes waiting, at the end of stream or after a reset; writable
// while the output has room, and after the peer's end closed or reset (a write then fails at
// once); a reset is reported whatever was asked. -1 for a handle that names nothing.
int Wait(int pSocket, bool pRead, bool pWrite, bool pError, net::Clock::time_point pDeadline);

// Forgets every connection (ResetHost).
void ForgetAll();

}  // namespace memory
}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_MEMORY_CONNECTION_H_

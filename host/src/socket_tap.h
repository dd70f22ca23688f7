// The host stand-in's wire tap, as seen from the socket layer: FBTCPIP's stream reads and writes
// report their bytes here after the call. Any thread; the tap itself is installed through
// fbsdk_control::SetSocketTap.
#ifndef FBSDK_SRC_SOCKET_TAP_H_
#define FBSDK_SRC_SOCKET_TAP_H_

namespace fbsdk_internal {

// Hands size bytes to the installed tap, if any, on the calling thread and with no host lock
// held. Does nothing for size <= 0.
void ReportSocketBytes(int socket, bool outgoing, const char* data, int size);
// Tells the installed tap, as above, that socket is about to be closed (nullptr, 0 bytes).
void ReportSocketClosing(int socket);

}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_SOCKET_TAP_H_

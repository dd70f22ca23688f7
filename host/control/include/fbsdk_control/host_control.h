// Test control of the host stand-in: scripted message-box answers, captured traces and socket
// seams. The state lives inside libfbsdk.so next to the SDK functions, so a plug-in and the test
// or headless host that loads it see one copy. Every function is thread-safe: the plug-in traces
// from its I/O thread and shows boxes on the UI thread while a test waits on another.
#ifndef FBSDK_CONTROL_HOST_CONTROL_H_
#define FBSDK_CONTROL_HOST_CONTROL_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <fbsdk/fbtime.h>

namespace fbsdk_control {

// One FBMessageBox call as the user saw it.
struct MessageBoxRecord {
  std::string title;
  std::string message;
  std::vector<std::string> buttons;  // Only the buttons given (non-null), in order.
  int defaultButton = 0;
  int scrolled = 0;
  int answer = 0;  // The number returned to the caller (1-based).
};

// Answers for the next boxes, used in order before any handler; appends to those still queued.
void QueueMessageBoxAnswers(std::vector<int> answers);
// Answers boxes when no queued answer is left; nullptr restores the default (print the box to
// stderr and answer 1). Called without host locks held, on the thread showing the box.
void SetMessageBoxHandler(std::function<int(const MessageBoxRecord&)> handler);
// Every box shown since the last reset, in order, with its answer.
std::vector<MessageBoxRecord> MessageBoxesShown();

// Every FBTrace line since the last reset, formatted and exactly as traced (newlines kept).
std::vector<std::string> TracesSeen();
// Waits until a trace containing text has been seen since the last reset, or the deadline passes.
bool WaitForTrace(const std::string& text, std::chrono::milliseconds deadline);
// Number of traces since the last reset that contain text.
size_t CountTraces(const std::string& text);
// Whether traces are also printed to stderr, as the host console does. Default true; kept
// across ResetHost.
void SetTraceEcho(bool echoToStderr);
// Host trace level for FBTraceWithLevel (default kFBNORMAL_TRACE).
void SetTraceLevel(unsigned int level);

// Every FBTCPIP::Read (and ReadBlocking step) places at most this many bytes; 0 = no limit.
// Forces short reads deterministically.
void SetSocketReadLimit(int maxBytesPerRead);

// Number of FBTCPIP::Read and Write calls since the last reset that were given handle 0 or a
// negative one (they place and send nothing).
int SocketCallsWithoutAHandle();

// Wire tap: every byte FBTCPIP::Read and ReadBlocking place and every byte Write and
// WriteBlocking send is reported once, after the call, on the calling thread and with no host lock
// held (datagrams are not reported). outgoing is true for sent bytes. FBTCPIP::CloseSocket of a
// socket is reported too, before the handle is released (so before its number can name another
// socket): once, with outgoing false, data nullptr and size 0. nullptr removes the tap.
// Replacing or removing it returns only after calls still inside the old tap have returned (a tap
// that replaces itself does not wait for its own call), so do not call it while holding a lock
// the tap takes.
void SetSocketTap(std::function<void(int socket, bool outgoing, const char* data, int size)> tap);

// In-memory connections: a handle FBTCPIP treats as a connected stream socket (Read, ReadBlocking,
// Write, WriteBlocking, Select, CloseSocket), with no operating system socket behind it, so the
// same on every platform. The read limit and the wire tap apply to it as to any socket. Bind,
// Connect, Listen, Accept and the datagram calls fail on it. FBTCPIP::CloseSocket or ResetHost
// lets it go; the handle then names nothing and the calls below return false (or nothing).
// Opens one; its handle is never 0 and never one a platform socket has.
int OpenMemoryConnection();
// Appends size bytes to what the connection's reads will place; false when handle names no open
// connection or its peer's end is closed or reset.
bool FeedMemoryConnection(int handle, const void* data, size_t size);
// Closes the peer's end: reads take what still waits, then see the end of stream; writes fail.
bool EndMemoryConnection(int handle);
// Resets the connection: what still waits is dropped, reads and writes fail, Select reports it.
bool ResetMemoryConnection(int handle);
// Takes what FBTCPIP wrote to the connection since the last call. Writes keep at most
// kMemoryConnectionOutputCapacity bytes untaken and send only what fits, as to a peer that does
// not read.
std::string TakeMemoryConnectionOutput(int handle);
constexpr size_t kMemoryConnectionOutputCapacity = 1 << 20;

// The scene's frame rate, used for kFBTimeModeDefault (default kFBTimeMode30Frames).
void SetSceneTimeMode(FBSDKNamespace::FBTimeMode mode);

// Clears captured traces and boxes, queued answers, the box handler, the read limit, the socket
// tap and the in-memory connections, and restores the default trace level and scene rate; resets
// the scene (see scene_control.h).
void ResetHost();

// ResetHost() on construction and on destruction, so each test starts and leaves clean.
class ScopedHostCapture {
 public:
  ScopedHostCapture() { ResetHost(); }
  ~ScopedHostCapture() { ResetHost(); }
  ScopedHostCapture(const ScopedHostCapture&) = delete;
  ScopedHostCapture& operator=(const ScopedHostCapture&) = delete;
};

}  // namespace fbsdk_control

#endif  // FBSDK_CONTROL_HOST_CONTROL_H_

// The motion server's calls into the system's sockets, one implementation per platform
// (server_socket_posix.cpp: poll and an eventfd; server_socket_windows.cpp: Winsock, WSAPoll and
// a loopback socket pair), chosen by CMake: a listening socket, the connections it accepts,
// sends and receives that never wait, and a wait for readiness that another thread can cut short.
// Thread-safety: a ServerSocket, and a SocketWait but for Wake, belong to one thread at a time;
// SocketWait::Wake may be called from any thread between Open and the wait's destruction.
#ifndef KMQ_TOOLS_MOTION_SERVER_SERVER_SOCKET_H_
#define KMQ_TOOLS_MOTION_SERVER_SERVER_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kmq {

// What a send or a receive that does not wait came to.
struct SocketIo {
  enum class Status {
    kDone,        // mBytes were sent or received (a send may report 0)
    kWouldBlock,  // nothing can move now
    kEnd,         // receive only: the peer closed its side
    kFailed,      // mError says why; the connection is unusable
  };
  Status mStatus = Status::kFailed;
  size_t mBytes = 0;
  std::string mError;
};

// Owns one TCP socket, non-blocking, and closes it when destroyed or reset.
class ServerSocket {
 public:
  ServerSocket() = default;
  ~ServerSocket() { Reset(); }
  ServerSocket(ServerSocket&& other) noexcept : mHandle(other.mHandle) { other.mHandle = -1; }
  ServerSocket& operator=(ServerSocket&& other) noexcept;
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  // Listens on host (empty: every address) and port (0: a free one the system picks), with
  // SO_REUSEADDR. On success *boundPort is the bound port. On failure error reads
  // "cannot listen on HOST:PORT: why".
  static bool Listen(const std::string& host, int port, ServerSocket* listener, int* boundPort,
                     std::string* error);

  // What Accept came to.
  struct Accepted {
    enum class Status {
      kAccepted,  // the connection from mPeer, non-blocking and with TCP_NODELAY, is taken
      kNone,      // no connection is waiting
      kRetry,     // interrupted, or a connection that went away before it was taken: try again
      kFailed,    // mError says why; mOutOfResources when the process or system ran out of them
    };
    Status mStatus = Status::kFailed;
    std::string mPeer;  // "1.2.3.4:port" or "[::1]:port"
    std::string mError;
    bool mOutOfResources = false;
  };
  // Takes one waiting connection off a listener into *connection.
  Accepted Accept(ServerSocket* connection) const;

  SocketIo Send(const char* bytes, size_t size) const;
  SocketIo Receive(char* buffer, size_t size) const;
  // Sends the end of the stream after what was sent; receiving goes on.
  void ShutdownSend() const;

  bool IsOpen() const { return mHandle != -1; }
  void Reset();

 private:
  friend class SocketWait;
  std::intptr_t mHandle = -1;
};

// Waits until a listener or connection is ready, a timeout passes, or Wake is called.
class SocketWait {
 public:
  SocketWait();
  ~SocketWait();
  SocketWait(const SocketWait&) = delete;
  SocketWait& operator=(const SocketWait&) = delete;

  // Makes the wake-up; error reads "what: why" on failure.
  bool Open(std::string* error);
  // Closes the wake-up. REQUIRES: no thread waits or wakes.
  void Close();
  // Any thread: the current Wait, or the next one, returns at once.
  void Wake();

  // Forgets the sockets of the last Wait.
  void Clear();
  // Watches socket for input (and, for a connection, its peer's hang-up or an error), and for
  // room to send when wantSend. Returns the index that Readable and Writable take.
  size_t Watch(const ServerSocket& socket, bool wantSend);

  enum class Status { kReady, kInterrupted, kFailed };
  // Waits up to timeoutMs (-1: no limit). A wake-up is taken in passing. kFailed sets error
  // (the system's reason).
  Status Wait(int timeoutMs, std::string* error);
  // After a Wait: socket index has input, a hang-up or an error to read.
  bool Readable(size_t index) const;
  // Socket index has input proper (a listener: a connection to accept).
  bool HasInput(size_t index) const;
  bool Writable(size_t index) const;

 private:
  struct Native;
  std::unique_ptr<Native> mNative;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_MOTION_SERVER_SERVER_SOCKET_H_

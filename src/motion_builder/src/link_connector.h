// LinkConnector: the link's attempts to connect to the motion server again, each made on a thread
// of its own, so that the user-interface thread never waits for a server that does not answer (a
// connect may take seconds). ReconnectBackoff: the growing wait between two attempts.
//
// Threads: both belong to the thread that owns the link's connection, the user-interface thread.
// An attempt's thread touches nothing but the attempt's own state, shared with the connector: the
// link and its device may go offline or be destroyed while it runs, and never wait for it; an
// abandoned attempt closes the socket it made itself. The attempts' threads are joined once they
// have finished (when the next one starts) or when the library is unloaded.
#ifndef KOVRIM_LINK_CONNECTOR_H_
#define KOVRIM_LINK_CONNECTOR_H_

#include <chrono>
#include <memory>
#include <string>

class ReconnectBackoff {
 public:
  using Duration = std::chrono::steady_clock::duration;
  static constexpr std::chrono::milliseconds kFirstWait{500};
  static constexpr std::chrono::milliseconds kLongestWait{5000};

  // The wait before the next attempt: kFirstWait, then twice the wait before, up to kLongestWait.
  Duration Next();
  // The next wait is kFirstWait again.
  void Reset() { mWait = kFirstWait; }

 private:
  Duration mWait = kFirstWait;
};

class LinkConnector {
 public:
  enum class Result { kNone, kRunning, kConnected, kFailed };

  LinkConnector() = default;
  // Abandon.
  ~LinkConnector();
  LinkConnector(const LinkConnector&) = delete;
  LinkConnector& operator=(const LinkConnector&) = delete;

  // Starts connecting a new non-blocking stream socket to address:port on a thread of its own
  // (address copied). An attempt still in flight is abandoned first. Never waits for the network.
  void Start(const char* address, int port);
  // kNone without an attempt; kRunning while it runs; once it has finished, kConnected with the
  // connected socket in *socket (the caller's from then on) or kFailed, and the attempt is over.
  Result Take(int* socket);
  // Forgets the attempt: a socket it has connected, or connects later, is closed. Never waits.
  void Abandon();

 private:
  struct Attempt;
  std::shared_ptr<Attempt> mAttempt;  // the attempt in flight or finished and not taken; or none
};

#endif  // KOVRIM_LINK_CONNECTOR_H_

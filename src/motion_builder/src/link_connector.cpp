#include "link_connector.h"

#include <fbsdk/fbsdk.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "thread_annotations.h"

constexpr std::chrono::milliseconds ReconnectBackoff::kFirstWait;
constexpr std::chrono::milliseconds ReconnectBackoff::kLongestWait;

ReconnectBackoff::Duration ReconnectBackoff::Next() {
  const Duration wait = mWait;
  mWait = std::min<Duration>(mWait * 2, kLongestWait);
  return wait;
}

namespace {

// The socket calls of every attempt's thread: FBTCPIP holds no state, and this one is made on the
// user-interface thread (the first Start) and never destroyed, so no thread ever meets it gone.
FBTCPIP& AttemptSockets() {
  static FBTCPIP* sockets = new FBTCPIP;
  return *sockets;
}

// The attempts' threads. A finished one is joined when the next one starts; those still running
// are joined when the library is unloaded, so that no thread runs the library's code after it is
// gone. No device waits for them.
class AttemptThreads {
 public:
  ~AttemptThreads() {
    kovrim::MutexLock lock(&mLock);
    for (Entry& entry : mEntries) entry.mThread.join();
  }

  // Runs body on a new thread; false when no thread could be started.
  bool Launch(std::function<void()> body) EXCLUDES(mLock) {
    kovrim::MutexLock lock(&mLock);
    for (Entry& entry : mEntries) {
      if (entry.mFinished->load()) entry.mThread.join();
    }
    mEntries.erase(std::remove_if(mEntries.begin(), mEntries.end(),
                                  [](const Entry& entry) { return !entry.mThread.joinable(); }),
                   mEntries.end());
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try {
      std::thread thread([body, finished] {
        body();
        finished->store(true);
      });
      mEntries.push_back(Entry{std::move(thread), finished});
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

 private:
  struct Entry {
    std::thread mThread;
    std::shared_ptr<std::atomic<bool>> mFinished;
  };
  kovrim::Mutex mLock;
  std::vector<Entry> mEntries GUARDED_BY(mLock);
};

AttemptThreads& Threads() {
  static AttemptThreads threads;
  return threads;
}

}  // namespace

// What an attempt's thread and the connector share.
struct LinkConnector::Attempt {
  kovrim::Mutex mLock;
  bool mFinished GUARDED_BY(mLock) = false;
  bool mAbandoned GUARDED_BY(mLock) = false;
  int mSocket GUARDED_BY(mLock) = 0;  // the connected socket once finished; 0 when it failed
};

LinkConnector::~LinkConnector() { Abandon(); }

void LinkConnector::Start(const char* address, int port) {
  Abandon();
  auto attempt = std::make_shared<Attempt>();
  FBTCPIP& sockets = AttemptSockets();
  std::string host = address ? address : "";
  const bool started = Threads().Launch([attempt, &sockets, host, port]() mutable {
    int socket = 0;
    sockets.CreateSocket(socket, kFBTCPIP_Stream, "ip", true);
    if (socket != 0 && !sockets.Connect(socket, &host[0], port)) sockets.CloseSocket(socket);
    int unwanted = 0;
    {
      kovrim::MutexLock lock(&attempt->mLock);
      if (attempt->mAbandoned) {
        unwanted = socket;
      } else {
        attempt->mSocket = socket;
      }
      attempt->mFinished = true;
    }
    if (unwanted != 0) sockets.CloseSocket(unwanted);
  });
  if (!started) {
    kovrim::MutexLock lock(&attempt->mLock);
    attempt->mFinished = true;
  }
  mAttempt = std::move(attempt);
}

LinkConnector::Result LinkConnector::Take(int* socket) {
  if (!mAttempt) return Result::kNone;
  int connected = 0;
  {
    kovrim::MutexLock lock(&mAttempt->mLock);
    if (!mAttempt->mFinished) return Result::kRunning;
    connected = mAttempt->mSocket;
    mAttempt->mSocket = 0;
  }
  mAttempt.reset();
  *socket = connected;
  return connected != 0 ? Result::kConnected : Result::kFailed;
}

void LinkConnector::Abandon() {
  if (!mAttempt) return;
  int connected = 0;
  {
    kovrim::MutexLock lock(&mAttempt->mLock);
    mAttempt->mAbandoned = true;
    connected = mAttempt->mSocket;
    mAttempt->mSocket = 0;
  }
  mAttempt.reset();
  if (connected != 0) AttemptSockets().CloseSocket(connected);
}

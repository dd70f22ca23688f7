// In-memory connections: one table of open connections under one lock, and one condition
// variable that wakes a Select waiting on any of them when the test feeds, ends or resets one.
// No call waits for another while holding the lock, and none calls the wire tap (fbio.cpp does,
// after the call).
#include <fbsdk_control/host_control.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>

#include "memory_connection.h"
#include "thread_annotations.h"

namespace {

using fbsdk_internal::net::Clock;
using fbsdk_internal::net::IoStatus;

// Above every file descriptor a POSIX process can hold (the kernel caps them below 2^30) and
// every socket handle Winsock gives out in practice.
constexpr int kFirstHandle = 0x60000000;

struct Connection {
  std::string mIncoming;  // Fed and not yet read, from mReadAt on.
  size_t mReadAt = 0;
  std::string mOutgoing;  // Written and not yet taken.
  bool mEnded = false;    // The peer's end is closed.
  bool mReset = false;
};

struct Connections {
  kovrim::Mutex mMutex;
  kovrim::CondVar mChanged;  // A connection was fed, ended, reset or closed.
  std::unordered_map<int, Connection> mOpen GUARDED_BY(mMutex);
  int mNextHandle GUARDED_BY(mMutex) = kFirstHandle;
  // The connection found last, since a reader asks for the same one many times a frame (a word at
  // a time while it looks for a marker). The map's entries stay where they are until erased.
  int mLastHandle GUARDED_BY(mMutex) = 0;
  Connection* mLast GUARDED_BY(mMutex) = nullptr;
};

// Created on first use and never destroyed, like the rest of the host's state.
Connections& Table() {
  static Connections* table = new Connections;
  return *table;
}

// nullptr when handle names no open connection.
Connection* Find(Connections& table, int handle) REQUIRES(table.mMutex) {
  if (handle == table.mLastHandle && table.mLast != nullptr) return table.mLast;
  const auto found = table.mOpen.find(handle);
  if (found == table.mOpen.end()) return nullptr;
  table.mLastHandle = handle;
  table.mLast = &found->second;
  return table.mLast;
}

// Before an entry leaves the map.
void ForgetLast(Connections& table) REQUIRES(table.mMutex) {
  table.mLastHandle = 0;
  table.mLast = nullptr;
}

// Of a connection found under Table().mMutex, which the caller holds.
bool Ready(const Connection& connection, bool read, bool write) {
  if (connection.mReset) return true;  // A pending error is reported whatever was asked.
  if (read && (connection.mReadAt < connection.mIncoming.size() || connection.mEnded)) {
    return true;
  }
  return write && (connection.mEnded ||
                   connection.mOutgoing.size() < fbsdk_control::kMemoryConnectionOutputCapacity);
}

// Applies change to the open connection handle names and wakes the waiting Selects; false when
// there is none.
template <typename Change>
bool Update(int handle, Change change) {
  Connections& table = Table();
  {
    kovrim::MutexLock lock(&table.mMutex);
    Connection* connection = Find(table, handle);
    if (connection == nullptr || !change(*connection)) return false;
  }
  table.mChanged.NotifyAll();
  return true;
}

}  // namespace

namespace fbsdk_internal {
namespace memory {

bool IsMemoryHandle(int pSocket) { return pSocket >= kFirstHandle; }

bool IsOpen(int pSocket) {
  Connections& table = Table();
  kovrim::MutexLock lock(&table.mMutex);
  return Find(table, pSocket) != nullptr;
}

void Close(int pSocket) {
  Connections& table = Table();
  {
    kovrim::MutexLock lock(&table.mMutex);
    ForgetLast(table);
    table.mOpen.erase(pSocket);
  }
  table.mChanged.NotifyAll();
}

IoStatus ReceiveAvailable(int pSocket, char* pBuffer, int pWanted, int& pPlaced) {
  Connections& table = Table();
  kovrim::MutexLock lock(&table.mMutex);
  Connection* connection = Find(table, pSocket);
  if (connection == nullptr || connection->mReset) return IoStatus::kError;
  if (pPlaced >= pWanted) return IoStatus::kDone;
  const size_t waiting = connection->mIncoming.size() - connection->mReadAt;
  const size_t count = std::min(waiting, static_cast<size_t>(pWanted - pPlaced));
  std::memcpy(pBuffer + pPlaced, connection->mIncoming.data() + connection->mReadAt, count);
  pPlaced += static_cast<int>(count);
  connection->mReadAt += count;
  if (connection->mReadAt == connection->mIncoming.size()) {
    connection->mIncoming.clear();
    connection->mReadAt = 0;
  }
  if (pPlaced == pWanted) return IoStatus::kDone;
  return connection->mEnded ? IoStatus::kClosed : IoStatus::kWouldBlock;
}

IoStatus SendAvailable(int pSocket, const char* pBuffer, int pWanted, int& pSent) {
  Connections& table = Table();
  kovrim::MutexLock lock(&table.mMutex);
  Connection* connection = Find(table, pSocket);
  if (connection == nullptr || connection->mReset || connection->mEnded) return IoStatus::kError;
  if (pSent >= pWanted) return IoStatus::kDone;
  const size_t room =
      fbsdk_control::kMemoryConnectionOutputCapacity -
      std::min(connection->mOutgoing.size(), fbsdk_control::kMemoryConnectionOutputCapacity);
  const size_t count = std::min(room, static_cast<size_t>(pWanted - pSent));
  connection->mOutgoing.append(pBuffer + pSent, count);
  pSent += static_cast<int>(count);
  return pSent == pWanted ? IoStatus::kDone : IoStatus::kWouldBlock;
}

int Wait(int pSocket, bool pRead, bool pWrite, bool /*pError*/, Clock::time_point pDeadline) {
  Connections& table = Table();
  kovrim::MutexLock lock(&table.mMutex);
  for (;;) {
    const Connection* connection = Find(table, pSocket);
    if (connection == nullptr) return -1;
    if (Ready(*connection, pRead, pWrite)) return 1;
    if (!table.mChanged.WaitUntil(&table.mMutex, pDeadline)) {
      connection = Find(table, pSocket);
      if (connection == nullptr) return -1;
      return Ready(*connection, pRead, pWrite) ? 1 : 0;
    }
  }
}

void ForgetAll() {
  Connections& table = Table();
  {
    kovrim::MutexLock lock(&table.mMutex);
    ForgetLast(table);
    table.mOpen.clear();
  }
  table.mChanged.NotifyAll();
}

}  // namespace memory
}  // namespace fbsdk_internal

namespace fbsdk_control {

int OpenMemoryConnection() {
  Connections& table = Table();
  kovrim::MutexLock lock(&table.mMutex);
  // Handles are not reused while the process lives (2^29 of them), so a stale one names nothing.
  const int handle = table.mNextHandle;
  if (handle == std::numeric_limits<int>::max()) return 0;
  ++table.mNextHandle;
  table.mOpen.emplace(handle, Connection());
  return handle;
}

bool FeedMemoryConnection(int handle, const void* data, size_t size) {
  if (size > 0 && data == nullptr) return false;
  return Update(handle, [&](Connection& connection) {
    if (connection.mEnded || connection.mReset) return false;
    connection.mIncoming.append(static_cast<const char*>(data), size);
    return true;
  });
}

bool EndMemoryConnection(int handle) {
  return Update(handle, [](Connection& connection) {
    connection.mEnded = true;
    return true;
  });
}

bool ResetMemoryConnection(int handle) {
  return Update(handle, [](Connection& connection) {
    connection.mReset = true;
    connection.mIncoming.clear();
    connection.mReadAt = 0;
    return true;
  });
}

std::string TakeMemoryConnectionOutput(int handle) {
  std::string taken;
  Update(handle, [&](Connection& connection) {
    taken.swap(connection.mOutgoing);
    return true;
  });
  return taken;
}

}  // namespace fbsdk_control

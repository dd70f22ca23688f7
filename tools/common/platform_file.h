// The tools' few calls into the operating system's file system, one implementation per platform
// (platform_file_posix.cpp, platform_file_windows.cpp), chosen by CMake: replacing a file, opening
// a regular file to read, and UniqueFd, the one owner of a file descriptor. The functions keep no
// state and any thread may call them; a UniqueFd belongs to one thread at a time.
#ifndef KMQ_TOOLS_COMMON_PLATFORM_FILE_H_
#define KMQ_TOOLS_COMMON_PLATFORM_FILE_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace kmq {

// Moves from over to, replacing a file already there; false (and from left) on failure.
bool ReplaceFileWith(const std::string& from, const std::string& to);

// Opens path to read in binary mode (on POSIX not inherited by child programs) and tells its
// size. Null, with *problem the system's reason or "not a regular file", when path cannot be
// opened or is not a regular file. The caller closes the file with std::fclose.
std::FILE* OpenRegularFile(const std::string& path, uint64_t* size, std::string* problem);

// Owns one file descriptor (a file, a socket or an event descriptor on POSIX; a C runtime file
// descriptor on Windows) and closes it when destroyed or reset. Empty holds -1. Closing is not
// retried on EINTR: the descriptor is released either way, and a retry could close a descriptor
// another thread has just been given.
class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes ownership of fd (-1 for none).
  explicit UniqueFd(int fd) : mFd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : mFd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return mFd; }
  bool IsOpen() const { return mFd >= 0; }
  // Closes what it holds and takes fd.
  void Reset(int fd = -1);
  // Gives the descriptor up without closing it; the caller closes it.
  int Release() {
    const int fd = mFd;
    mFd = -1;
    return fd;
  }
  // Closes the descriptor now; false when the close reported an error other than EINTR (data
  // written through it may be lost). Empty afterwards either way.
  bool Close();

 private:
  int mFd = -1;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_PLATFORM_FILE_H_

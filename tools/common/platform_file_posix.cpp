// Files on POSIX systems.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform_file.h"

namespace kmq {

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void UniqueFd::Reset(int fd) {
  if (mFd >= 0) ::close(mFd);
  mFd = fd;
}

bool UniqueFd::Close() {
  if (mFd < 0) return true;
  const int fd = Release();
  return ::close(fd) == 0 || errno == EINTR;
}

}  // namespace kmq

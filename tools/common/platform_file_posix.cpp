// Files on POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform_file.h"

namespace kmq {

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::FILE* OpenRegularFile(const std::string& path, uint64_t* size, std::string* problem) {
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    *problem = std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0) {
    *problem = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    *problem = "not a regular file";
  } else {
    *size = static_cast<uint64_t>(info.st_size);
    return file;
  }
  std::fclose(file);
  return nullptr;
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

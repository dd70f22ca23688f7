// Files on Windows: descriptors and streams of the C runtime, and MoveFileEx to replace a file
// (rename refuses to when the target exists). NOMINMAX and WIN32_LEAN_AND_MEAN come from the build
// (cmake/KmqWindows.cmake).
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform_file.h"

namespace kmq {

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::FILE* OpenRegularFile(const std::string& path, uint64_t* size, std::string* problem) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *problem = std::strerror(errno);
    return nullptr;
  }
  struct _stat64 info {};
  if (_fstat64(_fileno(file), &info) != 0) {
    *problem = std::strerror(errno);
  } else if ((info.st_mode & _S_IFMT) != _S_IFREG) {
    *problem = "not a regular file";
  } else {
    *size = static_cast<uint64_t>(info.st_size);
    return file;
  }
  std::fclose(file);
  return nullptr;
}

void UniqueFd::Reset(int fd) {
  if (mFd >= 0) _close(mFd);
  mFd = fd;
}

bool UniqueFd::Close() {
  if (mFd < 0) return true;
  return _close(Release()) == 0;
}

}  // namespace kmq

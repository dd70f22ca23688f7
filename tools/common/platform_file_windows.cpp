// Files on Windows: descriptors of the C runtime, and MoveFileEx to replace a file (rename refuses
// to when the target exists).
// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <io.h>
#include <windows.h>

#include "platform_file.h"

namespace kmq {

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
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

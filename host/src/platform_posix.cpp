// The platform facts on Linux and other POSIX systems.
#include "platform.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace fbsdk_internal {

std::string ExecutableFolder() {
  char buffer[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  const std::string exe = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : ".";
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string TemporaryFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string text = dir && *dir ? dir : "/tmp";
  if (text.back() != '/') text += '/';
  return text;
}

std::string ComputerName() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0) buffer[0] = '\0';
  return buffer;
}

std::string ModuleFileNameOf(const void* pAddress) {
  Dl_info info;
  if (!dladdr(pAddress, &info) || !info.dli_fname) return std::string();
  const char* slash = std::strrchr(info.dli_fname, '/');
  return slash ? slash + 1 : info.dli_fname;
}

}  // namespace fbsdk_internal

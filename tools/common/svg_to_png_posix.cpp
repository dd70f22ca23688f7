// The PNG step on POSIX systems: rsvg-convert found on the PATH and run without a shell.
#include "svg_to_png.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

extern char** environ;

namespace kmq {

// The full path of program in a directory of PATH, or "".
std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::string();
  std::string dirs(path);
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + program;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

// Runs converter -o png svg without a shell; true when it exits 0.
bool ConvertToPng(const std::string& converter, const std::string& svg, const std::string& png) {
  std::vector<std::string> words = {converter, "-o", png, svg};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, converter.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kmq

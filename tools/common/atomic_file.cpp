#include "atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform_file.h"

namespace kmq {
namespace {

// Where a write goes before it is moved over path.
std::string TemporaryPathFor(const std::string& path) { return path + ".part"; }

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = TemporaryPathFor(path);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (!ReplaceFileWith(temporary, path)) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool CanWriteFileAtomically(const std::string& path, std::string* problem) {
  const std::string temporary = TemporaryPathFor(path);
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    if (problem != nullptr) *problem = std::strerror(errno);
    return false;
  }
  std::fclose(file);
  std::remove(temporary.c_str());
  return true;
}

}  // namespace kmq

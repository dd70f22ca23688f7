#include "atomic_file.h"

#include <cstdio>
#include <fstream>

#include "platform_file.h"

namespace kmq {

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".part";
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

}  // namespace kmq

#include "host_text.h"

#include <cstdio>

namespace kmq {

std::string Format(double value, int decimals) {
  char buffer[64];
  if (decimals < 0) {
    std::snprintf(buffer, sizeof(buffer), "%g", value);
  } else {
    std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
  }
  return buffer;
}

std::string Stem(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  name = name.substr(0, name.find_last_of('.'));
  return name.empty() ? "actor" : name;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace kmq

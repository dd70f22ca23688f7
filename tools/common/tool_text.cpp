#include "tool_text.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kmq {

bool ReadNumber(const std::string& text, double* out) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

bool ReadHostPort(const std::string& text, std::string* host, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string name = text.substr(0, colon);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  int number = 0;
  if (name.empty() || !ReadInteger(text.substr(colon + 1), 1, 65535, &number)) return false;
  *host = name;
  *port = number;
  return true;
}

std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
  return text;
}

std::string Format(double value, int decimals) {
  return decimals < 0 ? Printf("%g", value) : Printf("%.*f", decimals, value);
}

std::string Stem(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  name = name.substr(0, name.find_last_of('.'));
  return name.empty() ? "actor" : name;
}

}  // namespace kmq

// Small text helpers shared by the command-line tools: the one number reader for options and
// commands, printf-style and fixed-point formatting, and file stems.
// Pure functions, safe from any thread.
#ifndef KMQ_TOOLS_COMMON_TOOL_TEXT_H_
#define KMQ_TOOLS_COMMON_TOOL_TEXT_H_

#include <charconv>
#include <string>
#include <system_error>
#include <type_traits>

namespace kmq {

// A whole decimal number in [min, max] and nothing else: no blanks, no '+', no other base (a '-'
// only for signed types); false (and *out untouched) otherwise. Unlike strtol it does not depend
// on the locale and never saturates silently.
template <typename T>
bool ReadInteger(const std::string& text, T min, T max, T* out) {
  static_assert(std::is_integral<T>::value, "ReadInteger reads whole numbers");
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) return false;
  *out = value;
  return true;
}

// A finite decimal number (digits, an optional '-', point and exponent) and nothing else; false
// (and *out untouched) otherwise. Independent of the locale's decimal point.
bool ReadNumber(const std::string& text, double* out);

// "HOST:PORT", the host possibly bracketed ("[::1]:7005"), with a port in 1..65535; false (and
// the outputs untouched) for anything else, an empty host included.
bool ReadHostPort(const std::string& text, std::string* host, int* port);

// printf into a string of whatever length the text needs.
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// value with decimals digits after the point; a negative count gives the shortest form (%g).
std::string Format(double value, int decimals = -1);

// The file name of path without its directories and its last extension ("takes/walk.bvh" gives
// "walk"); "actor" when nothing is left, since the stem names an actor or a take.
std::string Stem(const std::string& path);

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_TOOL_TEXT_H_

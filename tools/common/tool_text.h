// Small text helpers shared by the command-line tools: strict number parsing for options and
// printf-style formatting into a std::string. Pure functions, safe from any thread.
#ifndef KMQ_TOOLS_COMMON_TOOL_TEXT_H_
#define KMQ_TOOLS_COMMON_TOOL_TEXT_H_

#include <string>

namespace kmq {

// A whole decimal number in [min, max], with nothing after it; false otherwise.
bool ParseInt(const std::string& text, long min, long max, long* out);
// A finite number greater than 0, with nothing after it; false otherwise.
bool ParsePositive(const std::string& text, double* out);
// printf into a string of whatever length the text needs.
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_TOOL_TEXT_H_

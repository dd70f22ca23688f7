// JSON text for the tools' machine-readable summaries. Pure functions, safe from any thread.
#ifndef KMQ_TOOLS_COMMON_JSON_TEXT_H_
#define KMQ_TOOLS_COMMON_JSON_TEXT_H_

#include <string>

namespace kmq {

// text as a JSON string literal: '"' and '\' escaped, every control character (below 0x20, and
// DEL, 0x7f, which JSON allows raw but no reader wants to see on a terminal) as \u00XX. Other bytes
// pass as they are, so UTF-8 stays UTF-8.
std::string JsonString(const std::string& text);

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_JSON_TEXT_H_

#include "json_text.h"

#include "tool_text.h"

namespace kmq {

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      quoted += Printf("\\u%04x", static_cast<unsigned>(byte));
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

}  // namespace kmq

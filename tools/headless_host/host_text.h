// Small text helpers shared by the headless host's rooms and its command interpreter (with the
// tools' Format and Stem): lines, and the done/failed answer
// convention of HeadlessHost's operations. Pure functions, safe from any thread.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_TEXT_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_TEXT_H_

#include <string>
#include <vector>

#include "tool_text.h"  // Format, Stem

namespace kmq {

// The lines of text, without their line breaks; a last line break ends the last line.
std::vector<std::string> SplitLines(const std::string& text);

// An operation's answer: *message (when given) says what was done, or why nothing was.
inline bool Done(std::string* message, const std::string& text) {
  if (message != nullptr) *message = text;
  return true;
}

inline bool Fail(std::string* message, const std::string& text) {
  if (message != nullptr) *message = text;
  return false;
}

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HOST_TEXT_H_

// Small text helpers shared by the headless host's rooms and its command interpreter: numbers
// shown as the host's messages show them, a capture's actor name, lines, and the done/failed answer
// convention of HeadlessHost's operations. Pure functions, safe from any thread.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_TEXT_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_TEXT_H_

#include <string>
#include <vector>

namespace kmq {

// value with decimals digits after the point; a negative count gives the shortest form (%g).
std::string Format(double value, int decimals = -1);

// The actor name a capture streams under: the file name without its directory and extension,
// "actor" when nothing is left.
std::string Stem(const std::string& path);

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

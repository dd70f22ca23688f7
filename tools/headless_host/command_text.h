// The text of the headless host's commands: splitting a command line into words, reading its
// numbers strictly (with the tools' ReadInteger and ReadNumber), and the one-line "ok ..." and
// "error ..." answers. Pure functions, safe from any thread. The command interpreter is built on
// this, not the other way round.
#ifndef KMQ_TOOLS_HEADLESS_HOST_COMMAND_TEXT_H_
#define KMQ_TOOLS_HEADLESS_HOST_COMMAND_TEXT_H_

#include <string>
#include <vector>

#include "tool_text.h"  // ReadInteger, ReadNumber, Format

namespace kmq {

// A command's answer.
struct CommandAnswer {
  bool mOk = true;
  // "ok ..." or "error ..."; empty for a blank line or a comment.
  std::string mLine;
};

namespace command_text {

// Longer waits would overflow the clocks' tick counts.
constexpr double kMaxCommandSeconds = 1e6;

std::string Trim(const std::string& text);
// The words of text, split at blanks and tabs.
std::vector<std::string> Split(const std::string& text);
// Line breaks shown as \n, so that everything stays on one line.
std::string OneLine(const std::string& text);
// OneLine in double quotes.
std::string Quote(const std::string& text);
// A text typed as it stands, or without its surrounding double quotes (to type blanks or nothing).
std::string Unquote(const std::string& text);

// A number of seconds greater than 0 and at most kMaxCommandSeconds.
bool ParseSeconds(const std::string& text, double* out);
bool AllDigits(const std::string& text);

bool FileExists(const std::string& path);

// The answers: "ok TEXT" and "error TEXT", each on one line.
CommandAnswer Ok(const std::string& text);
CommandAnswer Error(const std::string& text);

}  // namespace command_text
}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_COMMAND_TEXT_H_

// The one-shot session's console: message lines on stdout (stderr when stdout carries the JSON
// summary), unless quiet, and the recording's progress block, rewritten in place on a terminal and
// printed as plain lines once a second otherwise. One thread (the user-interface thread).
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_CONSOLE_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_CONSOLE_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include <fbsdk_control/realtime_threads.h>

namespace kmq {

using fbsdk_control::HostClock;

class Console {
 public:
  Console(bool quiet, bool json);
  // One message line; ends a progress block shown before it.
  void Line(const std::string& text);
  // The progress lines: on a terminal each is cut to the terminal's width, so that each stays one
  // line; otherwise they are printed when force or a second has passed since the last ones.
  void Progress(const std::vector<std::string>& lines, bool force);
  // Leaves the progress block shown, so that the next output starts below it.
  void EndProgress();

 private:
  size_t TerminalWidth() const;
  // text cut to width bytes, not inside a UTF-8 sequence.
  static std::string Cut(const std::string& text, size_t width);

  const bool mQuiet;
  std::FILE* const mOut;
  const bool mTerminal;
  int mProgressLines = 0;  // lines of the progress block shown on the terminal
  HostClock::time_point mLastPlainLine;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HOST_CONSOLE_H_

#include "host_console.h"

#include "console_platform.h"

namespace kmq {

Console::Console(bool quiet, bool json)
    : mQuiet(quiet),
      mOut(json ? stderr : stdout),
      mTerminal(StreamIsTerminal(json ? stderr : stdout)) {}

void Console::Line(const std::string& text) {
  if (mQuiet) return;
  EndProgress();
  std::fprintf(mOut, "%s\n", text.c_str());
  std::fflush(mOut);
}

void Console::Progress(const std::vector<std::string>& lines, bool force) {
  if (mQuiet || lines.empty()) return;
  if (mTerminal) {
    if (mProgressLines > 1) std::fprintf(mOut, "\033[%dA", mProgressLines - 1);
    std::fprintf(mOut, "\r");
    const size_t width = TerminalWidth();
    for (size_t i = 0; i < lines.size(); ++i) {
      std::fprintf(mOut, "%s%s\033[K", i > 0 ? "\n" : "", Cut(lines[i], width).c_str());
    }
    // A shorter set leaves the former extra lines below; clear them.
    for (int i = static_cast<int>(lines.size()); i < mProgressLines; ++i) {
      std::fprintf(mOut, "\n\033[K");
    }
    if (mProgressLines > static_cast<int>(lines.size())) {
      std::fprintf(mOut, "\033[%dA", mProgressLines - static_cast<int>(lines.size()));
    }
    mProgressLines = static_cast<int>(lines.size());
  } else if (force || HostClock::now() - mLastPlainLine >= std::chrono::seconds(1)) {
    for (const std::string& line : lines) std::fprintf(mOut, "%s\n", line.c_str());
    mLastPlainLine = HostClock::now();
  }
  std::fflush(mOut);
}

void Console::EndProgress() {
  if (mProgressLines > 0) std::fprintf(mOut, "\n");
  mProgressLines = 0;
}

size_t Console::TerminalWidth() const {
  const size_t columns = TerminalColumns(mOut);
  return columns > 1 ? columns - 1 : 79;
}

std::string Console::Cut(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace kmq

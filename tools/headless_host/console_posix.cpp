// Files and terminals on POSIX systems.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "console_platform.h"

namespace kmq {

bool StreamIsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

bool DescriptorIsTerminal(int fd) { return isatty(fd) == 1; }

size_t TerminalColumns(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0) return size.ws_col;
  return 0;
}

InputWait WaitForInput(int fd, int timeoutMs) {
  pollfd waiting{fd, POLLIN, 0};
  const int ready = ::poll(&waiting, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? InputWait::kInterrupted : InputWait::kFailed;
  return ready == 0 ? InputWait::kTimeout : InputWait::kReady;
}

long ReadInput(int fd, char* buffer, size_t size, bool* retryable) {
  const ssize_t count = ::read(fd, buffer, size);
  *retryable = count < 0 && (errno == EINTR || errno == EAGAIN);
  return static_cast<long>(count);
}

}  // namespace kmq

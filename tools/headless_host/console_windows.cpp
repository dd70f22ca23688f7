// Files and terminals on Windows. A pipe is polled with PeekNamedPipe; a console or a file is
// taken as ready, so a read from them may wait for the user (the prompt then stops only when a
// line arrives).
// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build (cmake/KmqWindows.cmake).
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <climits>

#include "console_platform.h"

namespace kmq {

bool StreamIsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

bool DescriptorIsTerminal(int fd) { return _isatty(fd) != 0; }

size_t TerminalColumns(std::FILE* stream) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(handle, &info)) return 0;
  return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

InputWait WaitForInput(int fd, int timeoutMs) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return InputWait::kFailed;
  if (GetFileType(handle) != FILE_TYPE_PIPE) return InputWait::kReady;
  DWORD available = 0;
  if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
    return InputWait::kReady;  // The writer is gone: the read sees the end of the input.
  }
  if (available > 0) return InputWait::kReady;
  Sleep(static_cast<DWORD>(timeoutMs > 10 ? 10 : timeoutMs));  // A pipe cannot be waited on.
  return InputWait::kTimeout;
}

long ReadInput(int fd, char* buffer, size_t size, bool* retryable) {
  const int count = _read(fd, buffer, static_cast<unsigned>(size > INT_MAX ? INT_MAX : size));
  *retryable = count < 0 && errno == EINTR;
  return count;
}

}  // namespace kmq

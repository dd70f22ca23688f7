// The headless host's few calls into the operating system's files and terminals: one
// implementation per platform (console_posix.cpp, console_windows.cpp), chosen by CMake. Any
// thread may call them; none keeps state.
#ifndef KMQ_TOOLS_HEADLESS_HOST_CONSOLE_PLATFORM_H_
#define KMQ_TOOLS_HEADLESS_HOST_CONSOLE_PLATFORM_H_

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform_file.h"  // ReplaceFileWith, which the host's file writes use

namespace kmq {

// True when stream writes to a terminal.
bool StreamIsTerminal(std::FILE* stream);
// True when the file descriptor fd reads from a terminal.
bool DescriptorIsTerminal(int fd);
// The terminal's width in columns, or 0 when unknown.
size_t TerminalColumns(std::FILE* stream);

enum class InputWait { kReady, kTimeout, kInterrupted, kFailed };
// Waits up to timeoutMs for input on fd (kReady also at the end of the input).
InputWait WaitForInput(int fd, int timeoutMs);
// Reads what fd has, up to size bytes: the count, 0 at the end of the input, -1 on an error
// (retryable is set for an interrupted or empty non-blocking read).
long ReadInput(int fd, char* buffer, size_t size, bool* retryable);

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_CONSOLE_PLATFORM_H_

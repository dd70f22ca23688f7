#include <fbsdk/fbsystem.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "host_state.h"

namespace FBSDKNamespace {
namespace {

// The host formats into a fixed 2048-byte buffer; longer results are cut.
constexpr size_t kTraceBufferSize = 2048;

void TraceV(const char* pFormatString, va_list pArgs) __attribute__((format(printf, 1, 0)));
void TraceV(const char* pFormatString, va_list pArgs) {
  if (pFormatString == nullptr) return;
  char buffer[kTraceBufferSize];
  const int written = std::vsnprintf(buffer, sizeof(buffer), pFormatString, pArgs);
  if (written < 0) return;
  fbsdk_internal::RecordTrace(buffer);
}

}  // namespace

void FBTrace(const char* pFormatString, ...) {
  va_list args;
  va_start(args, pFormatString);
  TraceV(pFormatString, args);
  va_end(args);
}

void FBTraceWithLevel(unsigned int pLevel, const char* pFormatString, ...) {
  if (pLevel > fbsdk_internal::State().mTraceLevel.load()) return;
  va_list args;
  va_start(args, pFormatString);
  TraceV(pFormatString, args);
  va_end(args);
}

}  // namespace FBSDKNamespace

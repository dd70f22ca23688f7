// Fuzz target: the capture file reader on an arbitrary file. The input is the whole file, held in
// an anonymous in-memory file so that the reader opens it by path as the tools do. Whatever it
// reads must come from the file: the records and their prefixes never add up to more bytes than
// the file has.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("capture", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  kmq::Capture capture;
  std::string error;
  if (written == size &&
      kmq::ReadCapture("/proc/self/fd/" + std::to_string(fd), &capture, &error)) {
    uint64_t bytes = 0;
    for (const kmq::CaptureRecord& record : capture.mRecords) {
      if (!kovrim::wire::IsMarker(record.mMarker)) std::abort();
      bytes += kmq::kCaptureRecordPrefixBytes + record.mPayload.size();
    }
    if (bytes > size) std::abort();
    if (!capture.mHeaderComplete && !capture.mRecords.empty()) std::abort();
  }
  ::close(fd);
  return 0;
}

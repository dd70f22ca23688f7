// Capture files written, with POSIX calls (the capture tool, their one writer, runs on POSIX
// systems only); capture_file.cpp reads them.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "capture_file.h"

namespace kmq {
namespace {

void Put16(uint16_t value, std::string* out) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>(value >> 8));
}

void Put32(uint32_t value, std::string* out) { kovrim::wire::AppendLittleEndian32(value, out); }

void Put64(uint64_t value, std::string* out) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string ErrnoText(int error) { return std::strerror(error); }

}  // namespace

CaptureWriter::~CaptureWriter() { Close(nullptr); }

bool CaptureWriter::Open(const std::string& path, const CaptureHeader& header, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (mFd.IsOpen()) return fail("the capture writer is open already");
  if (header.mServerAddress.size() > kCaptureMaxAddressBytes) {
    return fail("the server address is longer than " + std::to_string(kCaptureMaxAddressBytes) +
                " bytes");
  }
  if (header.mActorTags.size() > kCaptureMaxActors) {
    return fail("more than " + std::to_string(kCaptureMaxActors) + " actor tags");
  }
  std::string fields;
  Put64(static_cast<uint64_t>(header.mCreatedMicros), &fields);
  Put16(static_cast<uint16_t>(header.mServerAddress.size()), &fields);
  fields += header.mServerAddress;
  Put32(static_cast<uint32_t>(header.mActorTags.size()), &fields);
  for (uint32_t tag : header.mActorTags) Put32(tag, &fields);

  std::string lead(kCaptureMagic, sizeof(kCaptureMagic));
  Put16(kCaptureVersion, &lead);
  Put16(0, &lead);  // flags, none defined
  Put32(static_cast<uint32_t>(fields.size()), &lead);

  mFd.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!mFd.IsOpen()) return fail("cannot create " + path + ": " + ErrnoText(errno));
  mPath = path;
  mRecords = 0;
  mBytes = 0;
  std::string bytes = lead + fields;
  if (!WriteAll(bytes.data(), bytes.size(), error)) return false;
  return true;
}

bool CaptureWriter::Append(const CaptureRecord& record, std::string* error) {
  return Append(record.mArrivalMicros, record.mMarker, record.mPayload.data(),
                record.mPayload.size(), error);
}

bool CaptureWriter::Append(uint64_t arrivalMicros, uint32_t marker, const char* payload,
                           size_t size, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (!mFd.IsOpen()) return fail("the capture writer is not open");
  if (!kovrim::wire::IsMarker(marker)) return fail("a record's marker must be AAAA or CCCC");
  if (size > kovrim::wire::kReceiveLimit) {
    return fail("a record's payload (" + std::to_string(size) + " bytes) is larger than " +
                std::to_string(kovrim::wire::kReceiveLimit) + " bytes");
  }
  mScratch.clear();
  Put64(arrivalMicros, &mScratch);
  kovrim::wire::AppendFrameHeader(marker, static_cast<uint32_t>(size), &mScratch);
  mScratch.append(payload, size);
  if (!WriteAll(mScratch.data(), mScratch.size(), error)) return false;
  ++mRecords;
  return true;
}

bool CaptureWriter::WriteAll(const char* data, size_t size, std::string* error) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(mFd.Get(), data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = n < 0 ? errno : EIO;
      if (error != nullptr) *error = "cannot write " + mPath + ": " + ErrnoText(saved);
      mFd.Reset();
      return false;
    }
    done += static_cast<size_t>(n);
    mBytes += static_cast<uint64_t>(n);
  }
  return true;
}

bool CaptureWriter::Close(std::string* error) {
  if (!mFd.IsOpen()) return true;
  bool ok = true;
  int saved = 0;
  if (::fsync(mFd.Get()) != 0 && errno != EINVAL && errno != EROFS) {
    saved = errno;
    ok = false;
  }
  if (!mFd.Close() && ok) {
    saved = errno;
    ok = false;
  }
  if (!ok && error != nullptr) *error = "cannot finish " + mPath + ": " + ErrnoText(saved);
  return ok;
}

}  // namespace kmq

#include "capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kmq {
namespace {

// Header fields of a later minor revision may follow ours; beyond this the header is damaged.
constexpr uint32_t kMaxHeaderFieldBytes = 1u << 20;

void Put16(uint16_t value, std::string* out) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>(value >> 8));
}

void Put32(uint32_t value, std::string* out) { kovrim::wire::AppendLittleEndian32(value, out); }

void Put64(uint64_t value, std::string* out) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t Get(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

std::string ErrnoText(int error) { return std::strerror(error); }

}  // namespace

std::string CaptureRecord::WireBytes() const {
  std::string bytes;
  bytes.reserve(kovrim::wire::kFrameHeaderSize + mPayload.size());
  kovrim::wire::AppendFrameHeader(mMarker, static_cast<uint32_t>(mPayload.size()), &bytes);
  bytes += mPayload;
  return bytes;
}

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

CaptureReader::~CaptureReader() {
  if (mFile != nullptr) std::fclose(mFile);
}

size_t CaptureReader::ReadUpTo(void* out, size_t size) {
  size_t got = size == 0 ? 0 : std::fread(out, 1, size, mFile);
  mOffset += got;
  return got;
}

void CaptureReader::StopAt(uint64_t offset, bool truncated, const std::string& problem) {
  mDone = true;
  mTruncated = truncated;
  mProblem = problem;
  mUnreadBytes = mFileSize > offset ? mFileSize - offset : 0;
}

bool CaptureReader::Open(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = path + ": " + text;
    if (mFile != nullptr) std::fclose(mFile);
    mFile = nullptr;
    return false;
  };
  if (mFile != nullptr) return fail("the capture reader is open already");
  mFile = std::fopen(path.c_str(), "rbe");
  if (mFile == nullptr) return fail(ErrnoText(errno));
  struct stat info {};
  if (::fstat(::fileno(mFile), &info) != 0) return fail(ErrnoText(errno));
  if (!S_ISREG(info.st_mode)) return fail("not a regular file");
  mFileSize = static_cast<uint64_t>(info.st_size);
  mOffset = 0;

  auto cutShort = [&](const char* where) {
    StopAt(0, true,
           "the file ends inside the header (" + std::string(where) + "), after " +
               std::to_string(mOffset) + " bytes");
    return true;
  };
  unsigned char lead[kCaptureLeadBytes];
  size_t got = ReadUpTo(lead, sizeof(lead));
  if (std::memcmp(lead, kCaptureMagic, std::min(got, sizeof(kCaptureMagic))) != 0) {
    return fail("not a capture file");
  }
  if (got < sizeof(kCaptureMagic) + 2) return cutShort("magic and version");
  mHeader.mVersion = static_cast<uint16_t>(Get(lead + 8, 2));
  if (mHeader.mVersion != kCaptureVersion) {
    return fail("capture version " + std::to_string(mHeader.mVersion) +
                " is not supported (this reader knows version " + std::to_string(kCaptureVersion) +
                ")");
  }
  if (got < sizeof(lead)) return cutShort("header size");
  auto fieldBytes = static_cast<uint32_t>(Get(lead + 12, 4));
  if (fieldBytes > kMaxHeaderFieldBytes) {
    return fail("damaged header: " + std::to_string(fieldBytes) + " bytes of header fields");
  }
  std::string fields(fieldBytes, '\0');
  got = ReadUpTo(fields.data(), fields.size());
  const auto* f = reinterpret_cast<const unsigned char*>(fields.data());
  // Fields are taken one by one, so that a header cut short still tells what it holds.
  size_t at = 0;
  auto have = [&](size_t bytes) { return at + bytes <= got; };
  auto inFields = [&](size_t bytes) { return at + bytes <= fieldBytes; };
  if (!inFields(8 + 2)) return fail("damaged header: fields too short");
  if (!have(8)) return cutShort("creation time");
  mHeader.mCreatedMicros = static_cast<int64_t>(Get(f + at, 8));
  at += 8;
  if (!have(2)) return cutShort("server address");
  size_t addressBytes = static_cast<size_t>(Get(f + at, 2));
  at += 2;
  if (addressBytes > kCaptureMaxAddressBytes || !inFields(addressBytes + 4)) {
    return fail("damaged header: server address of " + std::to_string(addressBytes) + " bytes");
  }
  if (!have(addressBytes)) return cutShort("server address");
  mHeader.mServerAddress.assign(fields.data() + at, addressBytes);
  at += addressBytes;
  if (!have(4)) return cutShort("actor tags");
  size_t actorCount = static_cast<size_t>(Get(f + at, 4));
  at += 4;
  if (actorCount > kCaptureMaxActors || !inFields(4 * actorCount)) {
    return fail("damaged header: " + std::to_string(actorCount) + " actor tags");
  }
  for (size_t i = 0; i < actorCount; ++i) {
    if (!have(4)) return cutShort("actor tags");
    mHeader.mActorTags.push_back(static_cast<uint32_t>(Get(f + at, 4)));
    at += 4;
  }
  if (got < fieldBytes) return cutShort("header fields");
  mHeaderComplete = true;
  return true;
}

bool CaptureReader::Next(CaptureRecord* record) {
  if (mFile == nullptr || mDone) return false;
  const uint64_t start = mOffset;
  unsigned char prefix[kCaptureRecordPrefixBytes];
  size_t got = ReadUpTo(prefix, sizeof(prefix));
  if (got == 0) {
    StopAt(start, false, "");
    return false;
  }
  const std::string which =
      "record " + std::to_string(mRecords + 1) + " at byte " + std::to_string(start);
  if (got < sizeof(prefix)) {
    StopAt(start, true,
           which + " is cut short: " + std::to_string(got) + " of its " +
               std::to_string(kCaptureRecordPrefixBytes) + " prefix bytes");
    return false;
  }
  auto marker = static_cast<uint32_t>(Get(prefix + 8, 4));
  auto length = static_cast<int32_t>(Get(prefix + 12, 4));
  if (!kovrim::wire::IsMarker(marker)) {
    StopAt(start, false, which + " is damaged: its marker is not AAAA or CCCC");
    return false;
  }
  if (length < 0 || static_cast<size_t>(length) > kovrim::wire::kReceiveLimit) {
    StopAt(start, false,
           which + " is damaged: a payload length of " + std::to_string(length) + " bytes");
    return false;
  }
  record->mArrivalMicros = Get(prefix, 8);
  record->mMarker = marker;
  record->mPayload.resize(static_cast<size_t>(length));
  got = ReadUpTo(record->mPayload.data(), record->mPayload.size());
  if (got < static_cast<size_t>(length)) {
    StopAt(start, true,
           which + " is cut short: " + std::to_string(got) + " of its " + std::to_string(length) +
               " payload bytes");
    return false;
  }
  ++mRecords;
  return true;
}

bool ReadCapture(const std::string& path, Capture* capture, std::string* error) {
  CaptureReader reader;
  if (!reader.Open(path, error)) return false;
  *capture = Capture();
  capture->mHeader = reader.Header();
  capture->mHeaderComplete = reader.HeaderComplete();
  CaptureRecord record;
  while (reader.Next(&record)) capture->mRecords.push_back(std::move(record));
  capture->mTruncated = reader.Truncated();
  capture->mProblem = reader.Problem();
  return true;
}

}  // namespace kmq

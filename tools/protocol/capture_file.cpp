#include "capture_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kmq {
namespace {

// Header fields of a later minor revision may follow ours; beyond this the header is damaged.
constexpr uint32_t kMaxHeaderFieldBytes = 1u << 20;

uint64_t Get(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

std::string CaptureRecord::WireBytes() const {
  std::string bytes;
  bytes.reserve(kovrim::wire::kFrameHeaderSize + mPayload.size());
  kovrim::wire::AppendFrameHeader(mMarker, static_cast<uint32_t>(mPayload.size()), &bytes);
  bytes += mPayload;
  return bytes;
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
  std::string problem;
  mFile = OpenRegularFile(path, &mFileSize, &problem);
  if (mFile == nullptr) return fail(problem);
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

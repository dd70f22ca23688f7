#include "payload_codec.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/gzip_stream.h>
#include <google/protobuf/wire_format_lite.h>
#include <libdeflate.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace kovrim {
namespace wire {

namespace {

// A gzip stream starts with these two bytes; anything else is taken for zlib, as zlib's own
// header detection does.
bool StartsGzip(const unsigned char* bytes, size_t length) {
  return length >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
}

// False when the gzip stream at `bytes` says its header carries a CRC-16 (FHCRC) and that CRC
// is wrong or cut off. libdeflate skips the header's CRC; zlib checked it, and so do we.
bool GzipHeaderCrcHolds(const unsigned char* bytes, size_t length) {
  constexpr unsigned char kHeaderCrc = 0x02, kExtra = 0x04, kName = 0x08, kComment = 0x10;
  constexpr size_t kFixedHeader = 10;
  if (length < kFixedHeader || (bytes[3] & kHeaderCrc) == 0) return true;
  size_t at = kFixedHeader;
  if (bytes[3] & kExtra) {
    if (length - at < 2) return false;
    at += 2 + (bytes[at] | static_cast<size_t>(bytes[at + 1]) << 8);
  }
  for (const unsigned char field : {kName, kComment}) {
    if ((bytes[3] & field) == 0) continue;
    const void* end = at < length ? std::memchr(bytes + at, 0, length - at) : nullptr;
    if (end == nullptr) return false;
    at = static_cast<size_t>(static_cast<const unsigned char*>(end) - bytes) + 1;
  }
  if (at > length || length - at < 2) return false;
  const uint32_t crc = libdeflate_crc32(0, bytes, at);
  return (crc & 0xFFFF) == (bytes[at] | static_cast<uint32_t>(bytes[at + 1]) << 8);
}

}  // namespace

void PayloadDecoder::DecompressorDeleter::operator()(libdeflate_decompressor* decompressor) const {
  libdeflate_free_decompressor(decompressor);
}

PayloadDecoder::PayloadDecoder(int limit, EntryLimits entries)
    : mLimit(std::max(limit, 0)),
      mEntries(entries),
      mInflated(new unsigned char[static_cast<size_t>(mLimit)]),
      mDecompressor(libdeflate_alloc_decompressor()) {}

PayloadDecoder::Result PayloadDecoder::Inflate(const unsigned char* payload, size_t length,
                                               const unsigned char** plain, int* plainLength) {
  if (length > static_cast<size_t>(mLimit)) return Result::kTooLong;
  *plain = mInflated.get();
  *plainLength = 0;
  if (!mDecompressor) return Result::kDamaged;
  // One stream after another until the payload ends, each inflated whole into the room the ones
  // before left: libdeflate never writes beyond the room it is given, and says when a stream
  // needs more. An empty payload holds no stream, so it is damaged.
  size_t read = 0;
  size_t written = 0;
  do {
    const unsigned char* stream = payload + read;
    const size_t left = length - read;
    const size_t room = static_cast<size_t>(mLimit) - written;
    size_t streamRead = 0;
    size_t streamWritten = 0;
    libdeflate_result status;
    if (StartsGzip(stream, left)) {
      if (!GzipHeaderCrcHolds(stream, left)) return Result::kDamaged;
      status = libdeflate_gzip_decompress_ex(mDecompressor.get(), stream, left,
                                             mInflated.get() + written, room, &streamRead,
                                             &streamWritten);
    } else {
      status = libdeflate_zlib_decompress_ex(mDecompressor.get(), stream, left,
                                             mInflated.get() + written, room, &streamRead,
                                             &streamWritten);
    }
    if (status == LIBDEFLATE_INSUFFICIENT_SPACE) return Result::kInflatesTooFar;
    // Damaged, cut short (libdeflate tells no cut stream apart from a damaged one), or bytes
    // after the end of a stream that are not another stream.
    if (status != LIBDEFLATE_SUCCESS) return Result::kDamaged;
    read += streamRead;
    written += streamWritten;
    *plainLength = static_cast<int>(written);
  } while (read < length);
  return Result::kDecoded;
}

PayloadDecoder::Result PayloadDecoder::Decode(const unsigned char* payload, size_t length,
                                              bool compressed,
                                              google::protobuf::MessageLite* message) {
  if (length > static_cast<size_t>(mLimit)) return Result::kTooLong;
  const unsigned char* plain = payload;
  int plainLength = static_cast<int>(length);
  if (compressed) {
    const Result inflated = Inflate(payload, length, &plain, &plainLength);
    if (inflated != Result::kDecoded) return inflated;
  }
  // Counted before anything is built: a header of a hundred thousand empty joints fits in one
  // payload and would take longer to parse and apply than a whole real-time pass may.
  if (mEntries.mMaxJoints != INT64_MAX || mEntries.mMaxActors != INT64_MAX ||
      mEntries.mMaxUnknownFields != INT64_MAX) {
    EntryCounts counts;
    // A payload that does not scan does not parse either; the parse says so.
    CountEntries(plain, plainLength, &counts, mEntries);
    if (counts.mJoints > mEntries.mMaxJoints) return Result::kTooManyJoints;
    if (counts.mActors > mEntries.mMaxActors) return Result::kTooManyActors;
    // Fields this schema does not have: not an envelope of it.
    if (counts.mUnknownFields > mEntries.mMaxUnknownFields) return Result::kNotEnvelope;
  }
  // The input is at most the limit and nests at most kMaxMessageDepth messages deep, so the
  // message built from it stays a few megabytes at worst.
  return ParseBounded(plain, plainLength, message) ? Result::kDecoded : Result::kNotEnvelope;
}

namespace {

using google::protobuf::internal::WireFormatLite;

// The messages of IVRA_PLUG_MESSAGE.proto, as the scan walks them.
enum class Scanned {
  kEnvelope,   // IVRA_PLUGIN_MESSAGE
  kHeader,     // BVH_HEADER
  kJoint,      // BVH_JOIN
  kVector,     // BVH_VECTOR
  kFrame,      // BVH_FRAME
  kCommand,    // COMMAND
  kActorList,  // TAG_MAP_STRING
  kActor,      // one entry of TAG_MAP_STRING.Map
  kError,      // ERROR_MESSAGE
  kNone,       // a field that holds no message
};

// Each message's fields are numbered 1 to this; any other number is unknown to the schema.
int LastField(Scanned kind) {
  switch (kind) {
    case Scanned::kEnvelope:
    case Scanned::kCommand:
      return 4;
    case Scanned::kJoint:
      return 5;
    case Scanned::kHeader:
    case Scanned::kVector:
    case Scanned::kFrame:
      return 3;
    case Scanned::kActor:
    case Scanned::kError:
      return 2;
    case Scanned::kActorList:
      return 1;
    case Scanned::kNone:
      break;
  }
  return 0;
}

// The message a known length-delimited field of a message of kind `in` holds (kNone for strings
// and packed values); counts are raised by the entries the field itself stands for.
Scanned FieldKind(Scanned in, int field, EntryCounts* counts) {
  switch (in) {
    case Scanned::kEnvelope:
      if (field == 2) return Scanned::kHeader;
      if (field == 3) return Scanned::kFrame;
      if (field == 4) return Scanned::kCommand;
      break;
    case Scanned::kHeader:
      if (field == 1) {  // RootJoin
        ++counts->mJoints;
        return Scanned::kJoint;
      }
      break;
    case Scanned::kJoint:
      if (field == 5) {  // ChildJoin
        ++counts->mJoints;
        return Scanned::kJoint;
      }
      if (field == 4) ++counts->mJoints;  // EndSite
      if (field == 3 || field == 4) return Scanned::kVector;
      break;
    case Scanned::kCommand:
      if (field == 3) return Scanned::kActorList;
      if (field == 4) return Scanned::kError;
      break;
    case Scanned::kActorList:
      ++counts->mActors;
      return Scanned::kActor;
    default:
      break;
  }
  return Scanned::kNone;
}

bool Exceeds(const EntryCounts& counts, const EntryLimits& limits) {
  return counts.mJoints > limits.mMaxJoints || counts.mActors > limits.mMaxActors ||
         counts.mUnknownFields > limits.mMaxUnknownFields;
}

// BVH_FRAME.MotionData as the server writes it: field 1, one 32-bit value each.
constexpr uint32_t kMotionDataTag = WireFormatLite::MakeTag(1, WireFormatLite::WIRETYPE_FIXED32);

class Scanner {
 public:
  Scanner(const unsigned char* data, int size, const EntryLimits& stopAbove, EntryCounts* counts)
      : mInput(data, std::max(size, 0)), mStopAbove(stopAbove), mCounts(counts) {}

  bool Run() { return ScanMessage(Scanned::kEnvelope, 0); }

 private:
  // The fields of one message of `kind` (kNone: a group unknown to the schema, every field of
  // which is unknown) up to the stream's current limit, or to the group's end.
  bool ScanMessage(Scanned kind, int depth) {
    for (;;) {
      if (Exceeds(*mCounts, mStopAbove)) return true;
      // A frame's values, one fixed32 field each, are most of every stream: passed over in a
      // tight loop rather than one tag at a time.
      if (kind == Scanned::kFrame) {
        while (mInput.ExpectTag(kMotionDataTag)) {
          if (!mInput.Skip(sizeof(float))) return false;
        }
      }
      const uint32_t tag = mInput.ReadTag();
      // 0 is the end of the message (or of the input), or a tag no field can have.
      if (tag == 0) return kind != Scanned::kNone && mInput.BytesUntilLimit() <= 0;
      const int field = WireFormatLite::GetTagFieldNumber(tag);
      const auto type = WireFormatLite::GetTagWireType(tag);
      if (type == WireFormatLite::WIRETYPE_END_GROUP) return kind == Scanned::kNone;
      const bool known = field >= 1 && field <= LastField(kind);
      if (!known) ++mCounts->mUnknownFields;
      if (type == WireFormatLite::WIRETYPE_START_GROUP) {
        // No field of the schema is a group: its content is unknown too, and counted.
        if (depth + 1 >= kMaxMessageDepth || !ScanMessage(Scanned::kNone, depth + 1)) return false;
        continue;
      }
      if (type != WireFormatLite::WIRETYPE_LENGTH_DELIMITED) {
        if (!WireFormatLite::SkipField(&mInput, tag)) return false;
        continue;
      }
      uint32_t length = 0;
      if (!mInput.ReadVarint32(&length)) return false;
      const int size = static_cast<int>(std::min<uint32_t>(length, INT_MAX));
      const Scanned inner = known ? FieldKind(kind, field, mCounts) : Scanned::kNone;
      if (inner == Scanned::kNone) {
        if (!mInput.Skip(size)) return false;
        continue;
      }
      // As deep as the parse goes, and no deeper.
      if (depth + 1 >= kMaxMessageDepth) return false;
      const auto limit = mInput.PushLimit(size);
      const bool scanned = ScanMessage(inner, depth + 1);
      if (Exceeds(*mCounts, mStopAbove)) return true;
      if (!scanned || mInput.BytesUntilLimit() != 0) return false;
      mInput.PopLimit(limit);
    }
  }

  google::protobuf::io::CodedInputStream mInput;
  const EntryLimits& mStopAbove;
  EntryCounts* const mCounts;
};

}  // namespace

bool CountEntries(const unsigned char* data, int size, EntryCounts* counts,
                  const EntryLimits& stopAbove) {
  *counts = EntryCounts();
  return Scanner(data, size, stopAbove, counts).Run();
}

bool ParseBounded(const unsigned char* data, int size, google::protobuf::MessageLite* message) {
  google::protobuf::io::CodedInputStream input(data, size);
  input.SetRecursionLimit(kMaxMessageDepth);
  return message->ParsePartialFromCodedStream(&input) && input.ConsumedEntireMessage() &&
         message->IsInitialized();
}

namespace {

// Copies size bytes into a zero-copy stream.
bool WriteAll(const void* data, size_t size, google::protobuf::io::ZeroCopyOutputStream* out) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t written = 0;
  while (written < size) {
    void* buffer = nullptr;
    int room = 0;
    if (!out->Next(&buffer, &room)) return false;
    const size_t n = std::min(static_cast<size_t>(room), size - written);
    std::memcpy(buffer, bytes + written, n);
    written += n;
    if (n < static_cast<size_t>(room)) out->BackUp(room - static_cast<int>(n));
  }
  return true;
}

google::protobuf::io::GzipOutputStream::Options GzipOptions(Compression compression) {
  google::protobuf::io::GzipOutputStream::Options options;
  options.format = compression == Compression::kZlib ? google::protobuf::io::GzipOutputStream::ZLIB
                                                     : google::protobuf::io::GzipOutputStream::GZIP;
  return options;
}

}  // namespace

bool EncodePayload(const google::protobuf::MessageLite& message, Compression compression,
                   google::protobuf::io::ZeroCopyOutputStream* out) {
  if (!message.IsInitialized()) return false;
  if (compression == Compression::kPlain) return message.SerializeToZeroCopyStream(out);
  google::protobuf::io::GzipOutputStream zipper(out, GzipOptions(compression));
  const bool serialized = message.SerializeToZeroCopyStream(&zipper);
  // Close fails when the compressed stream did not fit.
  return zipper.Close() && serialized;
}

bool EncodeBytes(const void* data, size_t size, Compression compression,
                 google::protobuf::io::ZeroCopyOutputStream* out) {
  if (compression == Compression::kPlain) return WriteAll(data, size, out);
  google::protobuf::io::GzipOutputStream zipper(out, GzipOptions(compression));
  const bool written = WriteAll(data, size, &zipper);
  return zipper.Close() && written;
}

Compression PayloadCompression(bool compressed, const unsigned char* payload, size_t length) {
  if (!compressed) return Compression::kPlain;
  return StartsGzip(payload, length) ? Compression::kGzip : Compression::kZlib;
}

}  // namespace wire
}  // namespace kovrim

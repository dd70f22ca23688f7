#include "payload_codec.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/gzip_stream.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace kovrim {
namespace wire {

PayloadDecoder::PayloadDecoder(int limit)
    : mLimit(std::max(limit, 0)), mInflated(new unsigned char[static_cast<size_t>(mLimit) + 1]) {}

PayloadDecoder::Result PayloadDecoder::Inflate(const unsigned char* payload, size_t length,
                                               const unsigned char** plain, int* plainLength) {
  if (length > static_cast<size_t>(mLimit)) return Result::kTooLong;
  // 15 window bits, plus 32: the stream's own header says whether it is gzip or zlib.
  constexpr int kAutoDetectWindowBits = 15 + 32;
  z_stream stream{};
  if (inflateInit2(&stream, kAutoDetectWindowBits) != Z_OK) return Result::kDamaged;
  const uInt capacity = static_cast<uInt>(mLimit) + 1;
  stream.next_in = const_cast<Bytef*>(payload);
  stream.avail_in = static_cast<uInt>(length);
  stream.next_out = mInflated.get();
  stream.avail_out = capacity;
  Result result = Result::kDamaged;
  for (;;) {
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      if (stream.avail_out == 0) {
        result = Result::kInflatesTooFar;
        break;
      }
      if (stream.avail_in == 0) {
        result = Result::kDecoded;
        break;
      }
      // Another stream follows in the same payload.
      if (inflateReset(&stream) != Z_OK) break;
      continue;
    }
    // Output full before the stream ended: it inflates beyond the limit.
    if ((status == Z_OK || status == Z_BUF_ERROR) && stream.avail_out == 0) {
      result = Result::kInflatesTooFar;
      break;
    }
    // No progress with room left means the stream was cut short; any other status is damage.
    if (status != Z_OK) break;
  }
  *plain = mInflated.get();
  *plainLength = static_cast<int>(capacity - stream.avail_out);
  inflateEnd(&stream);
  return result;
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
  // The input is at most the limit and nests at most kMaxMessageDepth messages deep, so the
  // message built from it stays a few megabytes at worst.
  return ParseBounded(plain, plainLength, message) ? Result::kDecoded : Result::kNotEnvelope;
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
  if (length >= 2 && payload[0] == 0x1f && payload[1] == 0x8b) return Compression::kGzip;
  return Compression::kZlib;
}

}  // namespace wire
}  // namespace kovrim

// The one decoding and encoding of a frame's payload. PayloadDecoder inflates a compressed
// payload (with libdeflate, into a buffer of the receive limit: one that inflates further is
// refused, so a few kilobytes cannot cost megabytes) and parses the envelope at most
// kMaxMessageDepth messages deep. Given entry limits, it counts a payload's joints and actors with
// a wire-format scan before the parse, and refuses what holds more. EncodePayload writes an
// envelope plain or as a gzip or zlib stream. A decoder belongs to one thread at a time;
// EncodePayload may be called from any thread.
#ifndef KOVRIM_PAYLOAD_CODEC_H_
#define KOVRIM_PAYLOAD_CODEC_H_

#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/message_lite.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "wire_format.h"

struct libdeflate_decompressor;  // <libdeflate.h>, which only payload_codec.cpp includes

namespace kovrim {
namespace wire {

// How many entries of the kinds whose number decides what parsing and applying a message costs an
// IVRA_PLUGIN_MESSAGE envelope holds: skeleton entries (every BVH_JOIN of a header, and every end
// site), actor-list entries, and fields the schema does not have (each kept by the parse).
struct EntryCounts {
  int64_t mJoints = 0;
  int64_t mActors = 0;
  int64_t mUnknownFields = 0;
};

// The most entries a decoder takes in one message; a payload with more is refused before it is
// parsed. The defaults take everything.
struct EntryLimits {
  int64_t mMaxJoints = INT64_MAX;
  int64_t mMaxActors = INT64_MAX;
  int64_t mMaxUnknownFields = INT64_MAX;  // more: kNotEnvelope
};

// Counts the entries of size bytes of a serialized envelope without building it: a wire-format
// walk through every message of the schema (and every group, which the schema has none of), at
// most kMaxMessageDepth messages deep, skipping values. Work is linear in size, memory
// constant; the walk stops as soon as a count exceeds its limit in stopAbove (so refusing a
// payload costs no more than taking the largest one). Counts are of what the bytes say (repeated
// occurrences of one field add up, as a parse merges them). Returns false when the bytes do not
// scan as a message; the counts then stand for the bytes before the fault.
bool CountEntries(const unsigned char* data, int size, EntryCounts* counts,
                  const EntryLimits& stopAbove = EntryLimits());

class PayloadDecoder {
 public:
  enum class Result {
    kDecoded,
    kTooLong,         // a payload longer than the limit
    kInflatesTooFar,  // a compressed payload that inflates beyond the limit
    kDamaged,         // a compressed stream that is damaged or cut short
    kNotEnvelope,     // the (inflated) bytes do not parse as a whole, complete message
    kTooManyJoints,   // more skeleton entries than the limits allow; not parsed
    kTooManyActors,   // more actor-list entries than the limits allow; not parsed
  };

  // The inflation buffer (limit bytes) and the decompressor are allocated here, once.
  // REQUIRES: limit >= 0.
  explicit PayloadDecoder(int limit = kReceiveLimit, EntryLimits entries = EntryLimits());

  // Decodes length bytes at payload into *message, inflating them first when compressed. A gzip
  // or zlib stream is told apart by its own header; several streams one after another inflate as
  // one, and bytes after the end of a stream must be another whole, sound stream (else
  // kDamaged). On any result but kDecoded *message holds whatever the parse left, not to be
  // used.
  Result Decode(const unsigned char* payload, size_t length, bool compressed,
                google::protobuf::MessageLite* message);

  // Inflates without parsing; never writes past the limit, and stops where the payload would
  // inflate beyond it (kInflatesTooFar). On kDecoded *plain points into the decoder's buffer
  // (valid until the next call) and *plainLength is the byte count.
  Result Inflate(const unsigned char* payload, size_t length, const unsigned char** plain,
                 int* plainLength);

  int limit() const { return mLimit; }

 private:
  struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const;
  };

  const int mLimit;
  const EntryLimits mEntries;
  std::unique_ptr<unsigned char[]> mInflated;
  // Null only when it could not be allocated: every compressed payload is then kDamaged.
  std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> mDecompressor;
};

// Parses size bytes as one whole, complete message at most kMaxMessageDepth messages deep. The
// completeness test is made after the parse rather than by it, which would also log every missing
// field of an incomplete message.
bool ParseBounded(const unsigned char* data, int size, google::protobuf::MessageLite* message);

// Writes message to out, plain or compressed. Returns false when message lacks a required field,
// or out refuses (an array stream that is full); out then holds a cut payload, never to be sent.
bool EncodePayload(const google::protobuf::MessageLite& message, Compression compression,
                   google::protobuf::io::ZeroCopyOutputStream* out);
// Writes size bytes at data to out, plain or compressed, whatever they are.
bool EncodeBytes(const void* data, size_t size, Compression compression,
                 google::protobuf::io::ZeroCopyOutputStream* out);

// How a payload was sent: plain when not compressed, else gzip or zlib by its first bytes.
Compression PayloadCompression(bool compressed, const unsigned char* payload, size_t length);

}  // namespace wire
}  // namespace kovrim

#endif  // KOVRIM_PAYLOAD_CODEC_H_

// The frame format of the motion server's stream, in both directions: a four-byte marker, a
// four-byte little-endian signed payload length, then the payload (an IVRA_PLUGIN_MESSAGE
// envelope, plain or as a gzip or zlib stream). docs/wire-format.md describes the format and the
// reader's rules. Constants and pure functions only: safe from any thread.
#ifndef KOVRIM_WIRE_FORMAT_H_
#define KOVRIM_WIRE_FORMAT_H_

#include <cstdint>
#include <string>

namespace kovrim {
namespace wire {

// Frame markers, each four equal bytes on the wire: 'AAAA' opens a plain payload, 'CCCC' a
// compressed one.
constexpr uint32_t kPlainMarker = 0x41414141u;
constexpr uint32_t kCompressedMarker = 0x43434343u;
// The stream is read in words of this size: the marker and the length are one word each.
constexpr int kWordSize = 4;
constexpr int kFrameHeaderSize = 2 * kWordSize;
// The plug-in receives one payload into a buffer of this size; a longer frame is skipped, and a
// compressed payload may not inflate beyond it either. The tools keep to the same limit: the
// server's frames and inflated commands, a capture file's records and the stream readers.
constexpr int kReceiveLimit = 184320;
// Deepest nesting of messages that a payload may have; deeper ones fail to parse. It bounds the
// recursion of the parser and of every walk over a header's joint tree.
constexpr int kMaxMessageDepth = 100;
// The most entries the plug-in takes in one message, far above any real stage: skeleton entries
// (joints plus end sites) in a header, and actors in an actor list. A message with more is
// dropped before it is parsed, so that no one message costs a real-time pass milliseconds.
constexpr int kMaxSkeletonEntries = 2000;
constexpr int kMaxActors = 1000;
// The most fields unknown to the schema that the plug-in parses in one message (the server sends
// none); a message with more does not count as an envelope.
constexpr int kMaxUnknownFields = 1000;

// How a payload is sent. A compressed payload's own first bytes say whether it is gzip or zlib.
enum class Compression { kGzip, kZlib, kPlain };

inline bool IsMarker(uint32_t word) { return word == kPlainMarker || word == kCompressedMarker; }

inline uint32_t ReadLittleEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

inline uint32_t ReadLittleEndian32(const char* bytes) {
  return ReadLittleEndian32(reinterpret_cast<const unsigned char*>(bytes));
}

inline void WriteLittleEndian32(unsigned char* bytes, uint32_t value) {
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
  bytes[2] = static_cast<unsigned char>(value >> 16);
  bytes[3] = static_cast<unsigned char>(value >> 24);
}

inline void AppendLittleEndian32(uint32_t value, std::string* out) {
  unsigned char bytes[4];
  WriteLittleEndian32(bytes, value);
  out->append(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

// Marker and little-endian length, as they open a frame.
inline void AppendFrameHeader(uint32_t marker, uint32_t length, std::string* out) {
  AppendLittleEndian32(marker, out);
  AppendLittleEndian32(length, out);
}

}  // namespace wire
}  // namespace kovrim

#endif  // KOVRIM_WIRE_FORMAT_H_

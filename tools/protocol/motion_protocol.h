// The tools' side of the plug-in's wire format (wire_format.h, docs/wire-format.md): envelopes
// built from BVH clips, frames encoded for sending, and two readers of a byte stream on the
// plug-in's frame assembler. Free functions are callable from any thread. A FrameReader or
// RawFrameSplitter is not synchronised: one thread at a time per reader.
#ifndef KMQ_TOOLS_PROTOCOL_MOTION_PROTOCOL_H_
#define KMQ_TOOLS_PROTOCOL_MOTION_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "bvh.h"
#include "frame_assembler.h"
#include "wire_format.h"

namespace kmq {

using Compression = kovrim::wire::Compression;

// The largest payload we send, so that marker, length and payload fit the plug-in's receive
// buffer (kovrim::wire::kReceiveLimit).
constexpr size_t kMaxPayloadBytes = kovrim::wire::kReceiveLimit - kovrim::wire::kFrameHeaderSize;
// Protocol Buffers parsers refuse messages nested more than 100 deep; the header nests a joint's
// vectors 3 levels below its depth. Deeper skeletons are refused with room to spare.
constexpr int kMaxWireJointDepth = 64;

// The header of clip's skeleton, with the actor's tag and name set.
IvraPlugs::BVH_HEADER BuildHeader(const bvh::Clip& clip, uint32_t tag, const std::string& name);

// Envelopes for each message the server sends.
IvraPlugs::IVRA_PLUGIN_MESSAGE MakeHeaderMessage(const bvh::Clip& clip, uint32_t tag,
                                                 const std::string& name);
// REQUIRES: 0 <= frame < clip.mFrameCount.
IvraPlugs::IVRA_PLUGIN_MESSAGE MakeFrameMessage(const bvh::Clip& clip, int frame, uint32_t tag);
IvraPlugs::IVRA_PLUGIN_MESSAGE MakeActorListMessage(const std::map<uint32_t, std::string>& actors);
IvraPlugs::IVRA_PLUGIN_MESSAGE MakeErrorMessage(uint32_t code, const std::string& text);
// What the plug-in sends: a request for one actor's header.
IvraPlugs::IVRA_PLUGIN_MESSAGE MakeHeaderQuery(uint32_t tag);

// Marker, length and payload of message. Returns "" if message lacks a required field or the
// compressor fails.
std::string EncodeFrame(const IvraPlugs::IVRA_PLUGIN_MESSAGE& message, Compression compression);

// Decodes one payload by the plug-in's rules (kovrim::wire::PayloadDecoder). Compressed payloads
// may be gzip or zlib streams. A compressed payload may carry no more than a plain frame could:
// inflating stops past kovrim::wire::kReceiveLimit (the plug-in's receive buffer) and the
// payload is refused, so a few kilobytes that inflate to megabytes of empty messages cost a
// bounded amount of time and memory; a damaged or cut short stream is refused too. Parsing stops
// kovrim::wire::kMaxMessageDepth messages deep.
bool DecodePayload(bool compressed, const char* data, size_t size,
                   IvraPlugs::IVRA_PLUGIN_MESSAGE* message, std::string* error);

// "gzip", "zlib", "plain".
const char* CompressionName(Compression compression);
bool ParseCompression(const std::string& name, Compression* compression);

// Bytes fed ahead of a frame assembler, handed to it as frames are asked for: what the two readers
// below share. Bytes a frame that is too long skips are not kept. Memory stays bounded by one
// frame plus what one Feed call hands in.
class FedFrames {
 public:
  // reporter remains the caller's and must outlive this object.
  FedFrames(size_t maxPayload, kovrim::wire::FrameAssembler::Reporter* reporter,
            kovrim::wire::FrameAssembler::BadLength badLength);

  // Copies size bytes to the end of the stream.
  void Feed(const void* data, size_t size);
  // True when the bytes fed complete the next frame (see assembler()); false when more are needed.
  bool NextFrame();

  const kovrim::wire::FrameAssembler& assembler() const { return mAssembler; }
  size_t BufferedBytes() const { return mInput.size() - mStart + mAssembler.pending_bytes(); }

 private:
  kovrim::wire::FrameAssembler mAssembler;
  std::string mInput;  // fed, not yet handed to the assembler from mStart on
  size_t mStart = 0;
};

// Cuts a byte stream into envelopes, leniently: bytes that do not start with a marker are skipped
// four at a time (the stream's 4-byte grid) until one does; a length below 0 or above the bound
// skips the marker only (the length word is read again as a marker); a payload that does not
// decode is skipped whole. Memory stays bounded by one frame plus what one Feed call hands in.
class FrameReader {
 public:
  explicit FrameReader(size_t maxPayload = kMaxPayloadBytes);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Copies size bytes to the end of the stream.
  void Feed(const void* data, size_t size);

  // Takes the next whole envelope, skipping bad input; false when more bytes are needed.
  // If format is non-null it receives how the payload was sent (gzip, zlib or plain).
  bool Next(IvraPlugs::IVRA_PLUGIN_MESSAGE* message, Compression* format = nullptr);

  // Number of times bad input was skipped: a run of bytes with no marker, a bad length or a
  // payload that did not decode each count once.
  uint64_t BadInputCount() const { return mCounts.mBadInput; }
  uint64_t SkippedBytes() const { return mCounts.mSkippedBytes; }
  size_t BufferedBytes() const { return mFrames.BufferedBytes(); }

 private:
  // Counts what the assembler drops.
  struct Counts : kovrim::wire::FrameAssembler::Reporter {
    void SkippedWord() override;
    void NegativeLength(uint32_t marker) override;
    void FrameTooLong(uint32_t marker, int32_t length) override;
    bool mInGarbage = false;
    uint64_t mBadInput = 0;
    uint64_t mSkippedBytes = 0;
  };

  Counts mCounts;
  FedFrames mFrames;
};

// A frame as it travelled: its marker and the payload its length announced, undecoded.
struct RawFrame {
  uint32_t mMarker = 0;
  std::string mPayload;
  // Where the marker starts in the stream, counting from the first byte fed to the splitter.
  uint64_t mStreamOffset = 0;

  // Marker, little-endian length and payload.
  std::string WireBytes() const;
};

// Cuts a byte stream into raw frames by the plug-in's own rules, without decoding payloads:
// words are read on the 4-byte grid the stream starts on; a word that is not a marker is
// skipped; a negative length drops marker and length and goes back to looking for a marker; a
// length above maxPayload drops marker and length and skips that many bytes after them without
// storing them. Memory stays bounded by one frame plus what one Feed call hands in.
class RawFrameSplitter {
 public:
  explicit RawFrameSplitter(size_t maxPayload = kovrim::wire::kReceiveLimit);
  RawFrameSplitter(const RawFrameSplitter&) = delete;
  RawFrameSplitter& operator=(const RawFrameSplitter&) = delete;

  // Copies size bytes to the end of the stream (bytes an oversize frame skips are not kept).
  void Feed(const void* data, size_t size);
  // Takes the next whole frame; false when more bytes are needed.
  bool Next(RawFrame* frame);

  // Words that were not a marker where one was expected.
  uint64_t SkippedWords() const { return mCounts.mSkippedWords; }
  uint64_t NegativeLengths() const { return mCounts.mNegativeLengths; }
  uint64_t OversizeFrames() const { return mCounts.mOversizeFrames; }
  // Every byte that was not part of a returned frame, skips of oversize frames included.
  uint64_t SkippedBytes() const { return mCounts.mSkippedBytes; }
  // Bytes of an oversize frame still to be skipped.
  uint64_t SkipRemaining() const { return static_cast<uint64_t>(mFrames.assembler().skip_left()); }
  size_t BufferedBytes() const { return mFrames.BufferedBytes(); }

 private:
  // Counts what the assembler drops.
  struct Counts : kovrim::wire::FrameAssembler::Reporter {
    void SkippedWord() override;
    void NegativeLength(uint32_t marker) override;
    void FrameTooLong(uint32_t marker, int32_t length) override;
    void SkippedPayload(size_t bytes) override;
    uint64_t mSkippedWords = 0;
    uint64_t mNegativeLengths = 0;
    uint64_t mOversizeFrames = 0;
    uint64_t mSkippedBytes = 0;
  };

  Counts mCounts;
  FedFrames mFrames;
};

// How frame (marker, length, payload) was sent: plain for AAAA, else gzip or zlib by the
// payload's first bytes.
Compression FrameCompression(const std::string& frame);

}  // namespace kmq

#endif  // KMQ_TOOLS_PROTOCOL_MOTION_PROTOCOL_H_

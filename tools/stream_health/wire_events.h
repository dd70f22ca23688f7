// The stream health's view of one direction of a tapped connection: the link's frame assembler
// turning the bytes into frames and the marks of what it dropped, in the order they happened.
// A WireSplitter belongs to one thread at a time (the stream health feeds it under its lock).
#ifndef KMQ_TOOLS_STREAM_HEALTH_WIRE_EVENTS_H_
#define KMQ_TOOLS_STREAM_HEALTH_WIRE_EVENTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "frame_assembler.h"

namespace kmq {

// What the splitter found on the wire.
struct WireEvent {
  enum class Kind { kFrame, kLostMarker, kOversize };
  Kind mKind = Kind::kFrame;
  uint32_t mMarker = 0;
  std::string mPayload;
};

// Cuts one direction of one connection into frames by the link's own assembler, and turns what it
// drops into events: a negative length loses a marker, a length above the link's buffer is an
// oversize frame whose payload is skipped unstored.
class WireSplitter : private kovrim::wire::FrameAssembler::Reporter {
 public:
  WireSplitter();

  void Reset() { mAssembler.Reset(); }

  // Appends what size bytes complete to events; returns the bytes not part of a whole frame.
  uint64_t Feed(const char* data, size_t size, std::vector<WireEvent>* events);

 private:
  void SkippedWord() override;
  void NegativeLength(uint32_t marker) override;
  void FrameTooLong(uint32_t marker, int32_t length) override;
  void SkippedPayload(size_t bytes) override;

  kovrim::wire::FrameAssembler mAssembler;
  std::vector<WireEvent>* mEvents = nullptr;  // the events of the Feed call under way
  uint64_t mSkipped = 0;
};

// A frame event with its envelope decoded (outside the lock).
struct DecodedEvent {
  WireEvent::Kind mKind = WireEvent::Kind::kFrame;
  bool mDecoded = false;
  IvraPlugs::IVRA_PLUGIN_MESSAGE mMessage;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_STREAM_HEALTH_WIRE_EVENTS_H_

#include "wire_events.h"

#include <utility>

namespace kmq {

// The link's own receive buffer: what it skips as too long, so does the stream health.
WireSplitter::WireSplitter() : mAssembler(kovrim::wire::kReceiveLimit, this) {}

void WireSplitter::SkippedWord() { mSkipped += kovrim::wire::kWordSize; }

void WireSplitter::NegativeLength(uint32_t marker) {
  mSkipped += kovrim::wire::kFrameHeaderSize;
  mEvents->push_back({WireEvent::Kind::kLostMarker, marker, std::string()});
}

void WireSplitter::FrameTooLong(uint32_t marker, int32_t) {
  mSkipped += kovrim::wire::kFrameHeaderSize;
  mEvents->push_back({WireEvent::Kind::kOversize, marker, std::string()});
}

void WireSplitter::SkippedPayload(size_t bytes) { mSkipped += bytes; }

uint64_t WireSplitter::Feed(const char* data, size_t size, std::vector<WireEvent>* events) {
  mEvents = events;
  mSkipped = 0;
  size_t at = 0;
  while (at < size) {
    bool frame = false;
    at += mAssembler.Feed(data + at, size - at, &frame);
    if (!frame) break;
    WireEvent event;
    event.mMarker = mAssembler.marker();
    event.mPayload.assign(reinterpret_cast<const char*>(mAssembler.payload()),
                          static_cast<size_t>(mAssembler.payload_length()));
    events->push_back(std::move(event));
  }
  mEvents = nullptr;
  return mSkipped;
}

}  // namespace kmq

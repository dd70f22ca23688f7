// What the fuzz targets and the seed generator share: the real skeleton the link targets accept
// before their input (the bundled CMU walk, encoded by the reference server's own message
// builders), and a quiet protobuf log. The clip is loaded once per process; any thread may read
// it after the first call.
#ifndef KMQ_FUZZ_FUZZ_SUPPORT_H_
#define KMQ_FUZZ_FUZZ_SUPPORT_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <google/protobuf/stubs/logging.h>

#include "bvh.h"
#include "motion_protocol.h"

namespace kmqfuzz {

// The actor tag every header and frame of the seeds carries.
constexpr uint32_t kActorTag = 1;
constexpr const char* kActorName = "cmu_12_01_walk";

// Cuts a fuzz input into a byte stream taken from the front and small numbers taken from the back
// (in the byte order of libFuzzer's FuzzedDataProvider), so that a seed is real wire bytes
// followed by a short trailer of chunk sizes. The input must outlive this object.
class ChunkedInput {
 public:
  ChunkedInput(const uint8_t* data, size_t size) : mData(data), mSize(size) {}

  size_t Remaining() const { return mSize; }

  // A number in [min, max] from as many bytes at the back as max - min needs, the last byte
  // most significant; min when no byte is left.
  uint32_t TakeNumber(uint32_t min, uint32_t max) {
    const uint32_t range = max - min;
    uint64_t value = 0;
    for (int shift = 0; shift < 32 && (range >> shift) > 0 && mSize > 0; shift += 8) {
      --mSize;
      value = (value << 8) | mData[mSize];
    }
    return min + static_cast<uint32_t>(value % (static_cast<uint64_t>(range) + 1));
  }

  // Up to count bytes from the front.
  std::pair<const uint8_t*, size_t> TakeBytes(size_t count) {
    const size_t taken = std::min(count, mSize);
    const uint8_t* at = mData;
    mData += taken;
    mSize -= taken;
    return {at, taken};
  }

 private:
  const uint8_t* mData;
  size_t mSize;
};

// Protocol Buffers logs every envelope that misses a required field; on fuzz input that is most
// of them, and the printing would be most of the run.
inline void SilenceProtobufLog() { google::protobuf::SetLogHandler(nullptr); }

// The walk; aborts if the bundled file is missing, since every target depends on it.
inline const bvh::Clip& WalkClip() {
  static const bvh::Clip clip = [] {
    bvh::Clip loaded;
    std::string error;
    if (!bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh", &loaded,
                           &error)) {
      std::fprintf(stderr, "fuzz: %s\n", error.c_str());
      std::abort();
    }
    return loaded;
  }();
  return clip;
}

// The walk's header envelope, serialized (the payload of a plain frame).
inline const std::string& WalkHeaderPayload() {
  static const std::string payload =
      kmq::MakeHeaderMessage(WalkClip(), kActorTag, kActorName).SerializeAsString();
  return payload;
}

}  // namespace kmqfuzz

#endif  // KMQ_FUZZ_FUZZ_SUPPORT_H_

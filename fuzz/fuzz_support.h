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

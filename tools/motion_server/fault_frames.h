// The frames and byte runs the fault stage puts on the wire: damaged, cut, oversized, deeply
// nested and changed envelopes, built from the frames the server would send, and the seeded
// generator every random choice comes from. Pure functions, callable from any thread; a
// FaultRandom belongs to one thread at a time.
#ifndef KMQ_TOOLS_MOTION_SERVER_FAULT_FRAMES_H_
#define KMQ_TOOLS_MOTION_SERVER_FAULT_FRAMES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "motion_protocol.h"

namespace kmq {

// A small, fully specified generator (splitmix64), so that a seed means the same on any build.
class FaultRandom {
 public:
  explicit FaultRandom(uint64_t seed) : mState(seed) {}
  uint64_t Next();
  // Uniform in [0, 1).
  double Uniform();
  // Uniform in [0, n); 0 when n is 0.
  uint64_t Below(uint64_t n);
  bool Chance(double p) { return p > 0 && Uniform() < p; }

 private:
  uint64_t mState;
};

enum class BadLengthKind { kZero, kNegative, kAboveBuffer, kMaximum };
enum class BadEnumKind { kMessageType, kCommandType, kChannel };

// The joint a skeleton change adds, and the depth of the --deep-nesting header.
constexpr char kChangedJointName[] = "KmqExtra";
constexpr int kChangedJointChannels = 3;
constexpr int kDeepHeaderDepth = 150;

// Fault byte builders; each returns whole bytes as they go on the wire.
// The marker of frame (its first four bytes), or 0 when it is shorter.
inline uint32_t FrameMarker(const std::string& frame) {
  return frame.size() >= 4 ? kovrim::wire::ReadLittleEndian32(frame.data()) : 0;
}
// value as a protobuf varint.
void AppendVarint(uint64_t value, std::string* out);
// A byte that is neither 'A' nor 'C', so that no run of them forms a marker.
char NonMarkerByte(FaultRandom* random);
// A frame of marker, length and plain (serialized) payload compressed as format says.
std::string EncodeRawPayload(const std::string& plain, Compression format);
// A header for tag whose joints form a chain depth deep.
std::string MakeDeepHeaderFrame(uint32_t tag, int depth, Compression format);
// Header with kChangedJointName added as the root's last child, so that its channels come last
// in every frame; tag and name are kept unless newName is not empty.
IvraPlugs::IVRA_PLUGIN_MESSAGE AddChangedJoint(const IvraPlugs::IVRA_PLUGIN_MESSAGE& header,
                                               const std::string& newName);
// frame with the added joint's channels appended; index moves the joint.
IvraPlugs::IVRA_PLUGIN_MESSAGE AddChangedChannels(const IvraPlugs::IVRA_PLUGIN_MESSAGE& frame,
                                                  uint64_t index);
// A header frame whose root joint has joints empty child joints: two bytes each on the wire, a
// message object each in a parser, so a few kilobytes of compressed payload inflate to megabytes
// that cost a reader without an inflation bound gigabytes. It never decodes (the joints lack
// their required fields).
std::string MakeEmptyJointsFrame(size_t joints, Compression format);
// The prefix (and filler) of a bad length of kind, with marker.
std::string MakeBadLengthBytes(BadLengthKind kind, uint32_t marker, FaultRandom* random);
// frame (marker, length, payload) with its payload damaged so that it no longer decodes.
std::string CorruptFrame(const std::string& frame, FaultRandom* random);
// frame cut to between a quarter and three quarters of its payload, length field to match.
std::string TruncateFrame(const std::string& frame, FaultRandom* random);
// The name a skeleton change gives the actor.
std::string ChangedActorName(const std::string& name);

}  // namespace kmq

#endif  // KMQ_TOOLS_MOTION_SERVER_FAULT_FRAMES_H_

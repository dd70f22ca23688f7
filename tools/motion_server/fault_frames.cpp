#include "fault_frames.h"

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <cstring>

#include "payload_codec.h"

namespace kmq {
namespace {

using IvraPlugs::BVH_JOIN;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

constexpr uint32_t kLargestLength = 0x7fffffffu;

// Where the deflate data of a gzip or zlib payload starts, or payload.size() if it cannot say.
size_t DeflateStart(const std::string& payload) {
  const auto* b = reinterpret_cast<const unsigned char*>(payload.data());
  const size_t size = payload.size();
  if (size >= 10 && b[0] == 0x1f && b[1] == 0x8b) {
    size_t at = 10;
    const unsigned flags = b[3];
    if (flags & 0x04) {  // FEXTRA
      if (at + 2 > size) return size;
      at += 2 + (static_cast<size_t>(b[at]) | static_cast<size_t>(b[at + 1]) << 8);
    }
    for (unsigned field : {0x08u, 0x10u}) {  // FNAME, FCOMMENT: zero-terminated
      if (!(flags & field)) continue;
      while (at < size && b[at] != 0) ++at;
      ++at;
    }
    if (flags & 0x02) at += 2;  // FHCRC
    return std::min(at, size);
  }
  if (size >= 2) return std::min<size_t>((b[1] & 0x20) ? 6 : 2, size);
  return size;
}

}  // namespace

void AppendVarint(uint64_t value, std::string* out) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

char NonMarkerByte(FaultRandom* random) {
  auto b = static_cast<unsigned>(random->Below(254));
  if (b >= 0x41) ++b;
  if (b >= 0x43) ++b;
  return static_cast<char>(b);
}

uint64_t FaultRandom::Next() {
  uint64_t z = (mState += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

double FaultRandom::Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

uint64_t FaultRandom::Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }

std::string EncodeRawPayload(const std::string& plain, Compression format) {
  std::string payload;
  google::protobuf::io::StringOutputStream sink(&payload);
  if (!kovrim::wire::EncodeBytes(plain.data(), plain.size(), format, &sink)) return {};
  std::string frame;
  kovrim::wire::AppendFrameHeader(
      format == Compression::kPlain ? kovrim::wire::kPlainMarker : kovrim::wire::kCompressedMarker,
      static_cast<uint32_t>(payload.size()), &frame);
  return frame + payload;
}

std::string MakeDeepHeaderFrame(uint32_t tag, int depth, Compression format) {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::HEADER_DATA);
  IvraPlugs::BVH_HEADER* header = message.mutable_header();
  header->set_actortag(tag);
  header->set_actorname("deep");
  BVH_JOIN* joint = header->mutable_rootjoin();
  for (int i = 0; i < depth; ++i) {
    if (i > 0) joint = joint->add_childjoin();
    joint->set_joinname("Deep" + std::to_string(i));
    if (i == 0) {
      for (auto channel : {BVH_JOIN::Xposition, BVH_JOIN::Yposition, BVH_JOIN::Zposition}) {
        joint->add_channels(channel);
      }
    }
    for (auto channel : {BVH_JOIN::Zrotation, BVH_JOIN::Xrotation, BVH_JOIN::Yrotation}) {
      joint->add_channels(channel);
    }
    joint->mutable_offset()->set_x(0);
    joint->mutable_offset()->set_y(i == 0 ? 0.0f : 1.0f);
    joint->mutable_offset()->set_z(0);
  }
  joint->mutable_endsite()->set_x(0);
  joint->mutable_endsite()->set_y(1);
  joint->mutable_endsite()->set_z(0);
  return EncodeFrame(message, format);
}

IVRA_PLUGIN_MESSAGE AddChangedJoint(const IVRA_PLUGIN_MESSAGE& header, const std::string& newName) {
  IVRA_PLUGIN_MESSAGE changed = header;
  if (!newName.empty()) changed.mutable_header()->set_actorname(newName);
  BVH_JOIN* joint = changed.mutable_header()->mutable_rootjoin()->add_childjoin();
  joint->set_joinname(kChangedJointName);
  joint->add_channels(BVH_JOIN::Zrotation);
  joint->add_channels(BVH_JOIN::Xrotation);
  joint->add_channels(BVH_JOIN::Yrotation);
  joint->mutable_offset()->set_x(0);
  joint->mutable_offset()->set_y(10);
  joint->mutable_offset()->set_z(0);
  joint->mutable_endsite()->set_x(0);
  joint->mutable_endsite()->set_y(5);
  joint->mutable_endsite()->set_z(0);
  return changed;
}

IVRA_PLUGIN_MESSAGE AddChangedChannels(const IVRA_PLUGIN_MESSAGE& frame, uint64_t index) {
  IVRA_PLUGIN_MESSAGE changed = frame;
  auto* values = changed.mutable_frame()->mutable_motiondata();
  values->Add(static_cast<float>(index % 120) * 3.0f - 180.0f);
  values->Add(0.0f);
  values->Add(0.0f);
  return changed;
}

std::string MakeEmptyJointsFrame(size_t joints, Compression format) {
  std::string root;
  AppendVarint(2 * joints, &root);
  root.reserve(root.size() + 2 * joints);
  for (size_t i = 0; i < joints; ++i) root.append("\x2a\x00", 2);  // ChildJoin, empty
  std::string header("\x0a", 1);                                   // RootJoin
  header += root;
  std::string plain("\x08\x01\x12", 3);  // Message = HEADER_DATA, then Header
  AppendVarint(header.size(), &plain);
  plain += header;
  return EncodeRawPayload(plain, format);
}

std::string MakeBadLengthBytes(BadLengthKind kind, uint32_t marker, FaultRandom* random) {
  std::string bytes;
  kovrim::wire::AppendLittleEndian32(marker, &bytes);
  switch (kind) {
    case BadLengthKind::kZero:
      kovrim::wire::AppendLittleEndian32(0, &bytes);
      break;
    case BadLengthKind::kNegative: {
      int64_t length = -1 - static_cast<int64_t>(random->Below(kLargestLength));
      kovrim::wire::AppendLittleEndian32(static_cast<uint32_t>(length), &bytes);
      break;
    }
    case BadLengthKind::kAboveBuffer:
      // The plug-in skips what such a length announces; the filler keeps the next frame on its
      // grid for a reader that does.
      kovrim::wire::AppendLittleEndian32(static_cast<uint32_t>(kovrim::wire::kReceiveLimit + 1),
                                         &bytes);
      bytes.append(kovrim::wire::kReceiveLimit + 1, '\0');
      break;
    case BadLengthKind::kMaximum:
      kovrim::wire::AppendLittleEndian32(kLargestLength, &bytes);
      break;
  }
  return bytes;
}

std::string CorruptFrame(const std::string& frame, FaultRandom* random) {
  if (frame.size() <= kovrim::wire::kFrameHeaderSize) return frame;
  std::string damaged = frame;
  std::string payload = damaged.substr(kovrim::wire::kFrameHeaderSize);
  size_t start = 0;
  if (FrameMarker(frame) == kovrim::wire::kPlainMarker) {
    // Field 1 with wire type 7, which no parser accepts.
    payload[0] = static_cast<char>(0x0f);
  } else {
    start = DeflateStart(payload);
    if (start < payload.size()) {
      // A final block of the reserved type 3: every inflater refuses it.
      payload[start] = static_cast<char>(static_cast<unsigned char>(payload[start]) | 0x07);
    } else {
      payload[0] = static_cast<char>(~static_cast<unsigned char>(payload[0]));
      start = 0;
    }
  }
  // A few more damaged bytes after the first, so the damage is not always the same.
  if (payload.size() > start + 1) {
    int flips = 1 + static_cast<int>(random->Below(3));
    for (int i = 0; i < flips; ++i) {
      size_t at = start + 1 + static_cast<size_t>(random->Below(payload.size() - start - 1));
      payload[at] = static_cast<char>(payload[at] ^ static_cast<char>(1 + random->Below(255)));
    }
  }
  damaged.replace(kovrim::wire::kFrameHeaderSize, std::string::npos, payload);
  return damaged;
}

std::string TruncateFrame(const std::string& frame, FaultRandom* random) {
  if (frame.size() < kovrim::wire::kFrameHeaderSize + 2) return frame;
  const size_t length = frame.size() - kovrim::wire::kFrameHeaderSize;
  size_t keep = length / 4 + static_cast<size_t>(random->Below(length / 2 + 1));
  keep = std::max<size_t>(1, std::min(keep, length - 1));
  std::string cut = frame.substr(0, 4);
  kovrim::wire::AppendLittleEndian32(static_cast<uint32_t>(keep), &cut);
  cut.append(frame, kovrim::wire::kFrameHeaderSize, keep);
  return cut;
}

std::string ChangedActorName(const std::string& name) { return name + "-v2"; }
}  // namespace kmq

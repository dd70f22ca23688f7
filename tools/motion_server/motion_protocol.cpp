#include "motion_protocol.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/gzip_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace kmq {
namespace {

using IvraPlugs::BVH_JOIN;
using IvraPlugs::BVH_VECTOR;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

void SetVector(const double value[3], BVH_VECTOR* vector) {
  vector->set_x(static_cast<float>(value[0]));
  vector->set_y(static_cast<float>(value[1]));
  vector->set_z(static_cast<float>(value[2]));
}

void FillJoint(const bvh::Joint& joint, BVH_JOIN* out) {
  out->set_joinname(joint.mName);
  for (int code : joint.mChannels) out->add_channels(static_cast<BVH_JOIN::Channel>(code));
  SetVector(joint.mOffset, out->mutable_offset());
  if (joint.mHasEndSite) SetVector(joint.mEndSite, out->mutable_endsite());
  for (const bvh::Joint& child : joint.mChildren) FillJoint(child, out->add_childjoin());
}

uint32_t ReadLittleEndian32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void AppendLittleEndian32(uint32_t value, std::string* out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// Parses a whole envelope, at most kMaxWireNesting messages deep. REQUIRES: size <= INT_MAX.
bool ParseBounded(const char* data, size_t size, IVRA_PLUGIN_MESSAGE* message) {
  google::protobuf::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(data),
                                               static_cast<int>(size));
  input.SetRecursionLimit(kMaxWireNesting);
  return message->ParseFromCodedStream(&input) && input.ConsumedEntireMessage();
}

Compression SniffCompression(const char* data, size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(data);
  if (size >= 2 && b[0] == 0x1f && b[1] == 0x8b) return Compression::kGzip;
  return Compression::kZlib;
}

}  // namespace

IvraPlugs::BVH_HEADER BuildHeader(const bvh::Clip& clip, uint32_t tag, const std::string& name) {
  IvraPlugs::BVH_HEADER header;
  FillJoint(clip.mRoot, header.mutable_rootjoin());
  header.set_actortag(tag);
  header.set_actorname(name);
  return header;
}

IVRA_PLUGIN_MESSAGE MakeHeaderMessage(const bvh::Clip& clip, uint32_t tag,
                                      const std::string& name) {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::HEADER_DATA);
  *message.mutable_header() = BuildHeader(clip, tag, name);
  return message;
}

IVRA_PLUGIN_MESSAGE MakeFrameMessage(const bvh::Clip& clip, int frame, uint32_t tag) {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::FRAME_DATA);
  IvraPlugs::BVH_FRAME* out = message.mutable_frame();
  const size_t channels = static_cast<size_t>(clip.mChannelCount);
  const float* row = clip.mValues.data() + static_cast<size_t>(frame) * channels;
  out->mutable_motiondata()->Reserve(static_cast<int>(channels));
  for (size_t i = 0; i < channels; ++i) out->add_motiondata(row[i]);
  out->set_actortag(tag);
  return message;
}

IVRA_PLUGIN_MESSAGE MakeActorListMessage(const std::map<uint32_t, std::string>& actors) {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::COMMAND);
  COMMAND* command = message.mutable_command();
  command->set_cmdtype(COMMAND::Notify_ActorsList);
  auto* map = command->mutable_actorslist()->mutable_map();
  for (const auto& [tag, name] : actors) (*map)[tag] = name;
  return message;
}

IVRA_PLUGIN_MESSAGE MakeErrorMessage(uint32_t code, const std::string& text) {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::COMMAND);
  COMMAND* command = message.mutable_command();
  command->set_cmdtype(COMMAND::Notify_Error);
  command->mutable_errormsg()->set_errorcode(code);
  command->mutable_errormsg()->set_errormsg(text);
  return message;
}

IVRA_PLUGIN_MESSAGE MakeHeaderQuery(uint32_t tag) {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::COMMAND);
  message.mutable_command()->set_cmdtype(COMMAND::Command_Query_BVH_Header);
  message.mutable_command()->set_actortag(tag);
  return message;
}

std::string EncodeFrame(const IVRA_PLUGIN_MESSAGE& message, Compression compression) {
  if (!message.IsInitialized()) return {};
  std::string payload;
  if (compression == Compression::kPlain) {
    if (!message.SerializeToString(&payload)) return {};
  } else {
    google::protobuf::io::StringOutputStream sink(&payload);
    google::protobuf::io::GzipOutputStream::Options options;
    options.format = compression == Compression::kGzip
                         ? google::protobuf::io::GzipOutputStream::GZIP
                         : google::protobuf::io::GzipOutputStream::ZLIB;
    google::protobuf::io::GzipOutputStream zipper(&sink, options);
    if (!message.SerializeToZeroCopyStream(&zipper) || !zipper.Close()) return {};
  }
  if (payload.size() > static_cast<size_t>(INT32_MAX)) return {};
  std::string frame;
  frame.reserve(kFramePrefixBytes + payload.size());
  AppendLittleEndian32(compression == Compression::kPlain ? kPlainMarker : kCompressedMarker,
                       &frame);
  AppendLittleEndian32(static_cast<uint32_t>(payload.size()), &frame);
  frame += payload;
  return frame;
}

bool DecodePayload(bool compressed, const char* data, size_t size, IVRA_PLUGIN_MESSAGE* message,
                   std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (size > static_cast<size_t>(INT_MAX)) return fail("payload too large");
  if (!compressed) {
    if (!ParseBounded(data, size, message)) return fail("not an envelope");
    return true;
  }
  google::protobuf::io::ArrayInputStream source(data, static_cast<int>(size));
  google::protobuf::io::GzipInputStream unzipper(&source,
                                                 google::protobuf::io::GzipInputStream::AUTO);
  std::string plain;
  const void* chunk = nullptr;
  int chunkSize = 0;
  while (unzipper.Next(&chunk, &chunkSize)) {
    if (plain.size() + static_cast<size_t>(chunkSize) > kMaxDecodedBytes) {
      return fail("payload expands beyond " + std::to_string(kMaxDecodedBytes) + " bytes");
    }
    plain.append(static_cast<const char*>(chunk), static_cast<size_t>(chunkSize));
  }
  if (unzipper.ZlibErrorMessage() != nullptr) {
    return fail(std::string("bad compressed payload: ") + unzipper.ZlibErrorMessage());
  }
  if (!ParseBounded(plain.data(), plain.size(), message)) return fail("not an envelope");
  return true;
}

const char* CompressionName(Compression compression) {
  switch (compression) {
    case Compression::kGzip:
      return "gzip";
    case Compression::kZlib:
      return "zlib";
    case Compression::kPlain:
      return "plain";
  }
  return "?";
}

bool ParseCompression(const std::string& name, Compression* compression) {
  for (Compression c : {Compression::kGzip, Compression::kZlib, Compression::kPlain}) {
    if (name == CompressionName(c)) {
      *compression = c;
      return true;
    }
  }
  return false;
}

FrameReader::FrameReader(size_t maxPayload) : mMaxPayload(maxPayload) {}

void FrameReader::Feed(const void* data, size_t size) {
  if (mStart > 0 && (mStart == mBuffer.size() || mStart >= (64u << 10))) {
    mBuffer.erase(0, mStart);
    mStart = 0;
  }
  mBuffer.append(static_cast<const char*>(data), size);
}

void FrameReader::Skip(size_t bytes) {
  mStart += bytes;
  mSkippedBytes += bytes;
}

bool FrameReader::Next(IVRA_PLUGIN_MESSAGE* message, Compression* format) {
  while (mBuffer.size() - mStart >= kFramePrefixBytes) {
    const char* frame = mBuffer.data() + mStart;
    uint32_t marker = ReadLittleEndian32(frame);
    if (marker != kPlainMarker && marker != kCompressedMarker) {
      if (!mInGarbage) ++mBadInputCount;
      mInGarbage = true;
      Skip(4);
      continue;
    }
    mInGarbage = false;
    auto length = static_cast<int32_t>(ReadLittleEndian32(frame + 4));
    if (length < 0 || static_cast<size_t>(length) > mMaxPayload) {
      ++mBadInputCount;
      Skip(4);
      continue;
    }
    size_t total = kFramePrefixBytes + static_cast<size_t>(length);
    if (mBuffer.size() - mStart < total) return false;
    bool compressed = marker == kCompressedMarker;
    const char* payload = frame + kFramePrefixBytes;
    message->Clear();
    if (!DecodePayload(compressed, payload, static_cast<size_t>(length), message, nullptr)) {
      ++mBadInputCount;
      Skip(total);
      continue;
    }
    if (format != nullptr) {
      *format =
          compressed ? SniffCompression(payload, static_cast<size_t>(length)) : Compression::kPlain;
    }
    mStart += total;
    return true;
  }
  return false;
}

std::string RawFrame::WireBytes() const {
  std::string bytes;
  bytes.reserve(kFramePrefixBytes + mPayload.size());
  AppendLittleEndian32(mMarker, &bytes);
  AppendLittleEndian32(static_cast<uint32_t>(mPayload.size()), &bytes);
  bytes += mPayload;
  return bytes;
}

RawFrameSplitter::RawFrameSplitter(size_t maxPayload) : mMaxPayload(maxPayload) {}

void RawFrameSplitter::Consume(size_t bytes, bool skipped) {
  mStart += bytes;
  mConsumed += bytes;
  if (skipped) mSkippedBytes += bytes;
}

void RawFrameSplitter::Feed(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  if (mSkipLeft > 0 && mStart == mBuffer.size()) {
    // Skipped bytes are never stored.
    size_t skip = static_cast<size_t>(std::min<uint64_t>(mSkipLeft, size));
    mSkipLeft -= skip;
    mSkippedBytes += skip;
    mConsumed += skip;
    bytes += skip;
    size -= skip;
  }
  if (mStart > 0 && (mStart == mBuffer.size() || mStart >= (64u << 10))) {
    mBuffer.erase(0, mStart);
    mStart = 0;
  }
  mBuffer.append(bytes, size);
}

bool RawFrameSplitter::Next(RawFrame* frame) {
  for (;;) {
    if (mSkipLeft > 0) {
      size_t skip = static_cast<size_t>(std::min<uint64_t>(mSkipLeft, BufferedBytes()));
      mSkipLeft -= skip;
      Consume(skip, true);
      if (mSkipLeft > 0) return false;
    }
    if (BufferedBytes() < 4) return false;
    const char* at = mBuffer.data() + mStart;
    uint32_t marker = ReadLittleEndian32(at);
    if (marker != kPlainMarker && marker != kCompressedMarker) {
      ++mSkippedWords;
      Consume(4, true);
      continue;
    }
    if (BufferedBytes() < kFramePrefixBytes) return false;
    auto length = static_cast<int32_t>(ReadLittleEndian32(at + 4));
    if (length < 0) {
      ++mNegativeLengths;
      Consume(kFramePrefixBytes, true);
      continue;
    }
    if (static_cast<size_t>(length) > mMaxPayload) {
      ++mOversizeFrames;
      Consume(kFramePrefixBytes, true);
      mSkipLeft = static_cast<uint64_t>(length);
      continue;
    }
    size_t total = kFramePrefixBytes + static_cast<size_t>(length);
    if (BufferedBytes() < total) return false;
    frame->mMarker = marker;
    frame->mPayload.assign(at + kFramePrefixBytes, static_cast<size_t>(length));
    frame->mStreamOffset = mConsumed;
    Consume(total, false);
    return true;
  }
}

Compression FrameCompression(const std::string& frame) {
  if (frame.size() < kFramePrefixBytes) return Compression::kGzip;
  if (ReadLittleEndian32(frame.data()) == kPlainMarker) return Compression::kPlain;
  return SniffCompression(frame.data() + kFramePrefixBytes, frame.size() - kFramePrefixBytes);
}

}  // namespace kmq

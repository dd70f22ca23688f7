#include "motion_protocol.h"

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "payload_codec.h"

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

using kovrim::wire::AppendFrameHeader;
using kovrim::wire::PayloadDecoder;

const unsigned char* Bytes(const char* data) {
  return reinterpret_cast<const unsigned char*>(data);
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
  std::string payload;
  google::protobuf::io::StringOutputStream sink(&payload);
  if (!kovrim::wire::EncodePayload(message, compression, &sink)) return {};
  if (payload.size() > static_cast<size_t>(INT32_MAX)) return {};
  std::string frame;
  frame.reserve(kovrim::wire::kFrameHeaderSize + payload.size());
  AppendFrameHeader(compression == Compression::kPlain ? kovrim::wire::kPlainMarker
                                                       : kovrim::wire::kCompressedMarker,
                    static_cast<uint32_t>(payload.size()), &frame);
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
    if (!kovrim::wire::ParseBounded(Bytes(data), static_cast<int>(size), message)) {
      return fail("not an envelope");
    }
    return true;
  }
  // One inflation buffer of the plug-in's size per thread that decodes.
  thread_local PayloadDecoder decoder(static_cast<int>(kovrim::wire::kReceiveLimit));
  switch (decoder.Decode(Bytes(data), size, true, message)) {
    case PayloadDecoder::Result::kDecoded:
      return true;
    case PayloadDecoder::Result::kTooLong:
      return fail("payload too large");
    case PayloadDecoder::Result::kInflatesTooFar:
      return fail("payload expands beyond " + std::to_string(kovrim::wire::kReceiveLimit) +
                  " bytes");
    case PayloadDecoder::Result::kDamaged:
      return fail("bad compressed payload");
    case PayloadDecoder::Result::kNotEnvelope:
    // This decoder has no entry limits: the tools take whatever parses.
    case PayloadDecoder::Result::kTooManyJoints:
    case PayloadDecoder::Result::kTooManyActors:
      break;
  }
  return fail("not an envelope");
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

FedFrames::FedFrames(size_t maxPayload, kovrim::wire::FrameAssembler::Reporter* reporter,
                     kovrim::wire::FrameAssembler::BadLength badLength)
    : mAssembler(static_cast<int>(std::min<size_t>(maxPayload, static_cast<size_t>(INT32_MAX))),
                 reporter, badLength) {}

void FedFrames::Feed(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  if (mAssembler.skip_left() > 0 && mStart == mInput.size()) {
    // Skipped bytes are never stored: they go straight through the assembler, which takes all of
    // them and nothing after them.
    const size_t skip = static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(mAssembler.skip_left()), size));
    bool frame = false;
    mAssembler.Feed(bytes, skip, &frame);
    bytes += skip;
    size -= skip;
  }
  mInput.append(bytes, size);
}

bool FedFrames::NextFrame() {
  bool frame = false;
  mStart += mAssembler.Feed(mInput.data() + mStart, mInput.size() - mStart, &frame);
  // The consumed part is dropped once it is all of the input or large.
  if (mStart == mInput.size() || mStart >= (64u << 10)) {
    mInput.erase(0, mStart);
    mStart = 0;
  }
  return frame;
}

void FrameReader::Counts::SkippedWord() {
  if (!mInGarbage) ++mBadInput;
  mInGarbage = true;
  mSkippedBytes += kovrim::wire::kWordSize;
}

void FrameReader::Counts::NegativeLength(uint32_t) {
  mInGarbage = false;
  ++mBadInput;
  mSkippedBytes += kovrim::wire::kWordSize;
}

void FrameReader::Counts::FrameTooLong(uint32_t, int32_t) {
  mInGarbage = false;
  ++mBadInput;
  mSkippedBytes += kovrim::wire::kWordSize;
}

FrameReader::FrameReader(size_t maxPayload)
    : mFrames(maxPayload, &mCounts, kovrim::wire::FrameAssembler::BadLength::kRescanLength) {}

void FrameReader::Feed(const void* data, size_t size) { mFrames.Feed(data, size); }

bool FrameReader::Next(IVRA_PLUGIN_MESSAGE* message, Compression* format) {
  while (mFrames.NextFrame()) {
    const kovrim::wire::FrameAssembler& frame = mFrames.assembler();
    mCounts.mInGarbage = false;
    const char* payload = reinterpret_cast<const char*>(frame.payload());
    const size_t length = static_cast<size_t>(frame.payload_length());
    const bool compressed = frame.marker() == kovrim::wire::kCompressedMarker;
    if (!DecodePayload(compressed, payload, length, message, nullptr)) {
      ++mCounts.mBadInput;
      mCounts.mSkippedBytes += kovrim::wire::kFrameHeaderSize + length;
      continue;
    }
    if (format != nullptr) {
      *format = kovrim::wire::PayloadCompression(compressed, frame.payload(), length);
    }
    return true;
  }
  return false;
}

std::string RawFrame::WireBytes() const {
  std::string bytes;
  bytes.reserve(kovrim::wire::kFrameHeaderSize + mPayload.size());
  AppendFrameHeader(mMarker, static_cast<uint32_t>(mPayload.size()), &bytes);
  bytes += mPayload;
  return bytes;
}

void RawFrameSplitter::Counts::SkippedWord() {
  ++mSkippedWords;
  mSkippedBytes += kovrim::wire::kWordSize;
}

void RawFrameSplitter::Counts::NegativeLength(uint32_t) {
  ++mNegativeLengths;
  mSkippedBytes += kovrim::wire::kFrameHeaderSize;
}

void RawFrameSplitter::Counts::FrameTooLong(uint32_t, int32_t) {
  ++mOversizeFrames;
  mSkippedBytes += kovrim::wire::kFrameHeaderSize;
}

void RawFrameSplitter::Counts::SkippedPayload(size_t bytes) { mSkippedBytes += bytes; }

RawFrameSplitter::RawFrameSplitter(size_t maxPayload)
    : mFrames(maxPayload, &mCounts, kovrim::wire::FrameAssembler::BadLength::kDropFrame) {}

void RawFrameSplitter::Feed(const void* data, size_t size) { mFrames.Feed(data, size); }

bool RawFrameSplitter::Next(RawFrame* frame) {
  if (!mFrames.NextFrame()) return false;
  const kovrim::wire::FrameAssembler& assembled = mFrames.assembler();
  frame->mMarker = assembled.marker();
  frame->mPayload.assign(reinterpret_cast<const char*>(assembled.payload()),
                         static_cast<size_t>(assembled.payload_length()));
  frame->mStreamOffset = assembled.frame_offset();
  return true;
}

Compression FrameCompression(const std::string& frame) {
  if (frame.size() < kovrim::wire::kFrameHeaderSize) return Compression::kGzip;
  if (kovrim::wire::ReadLittleEndian32(frame.data()) == kovrim::wire::kPlainMarker)
    return Compression::kPlain;
  return kovrim::wire::PayloadCompression(true,
                                          Bytes(frame.data()) + kovrim::wire::kFrameHeaderSize,
                                          frame.size() - kovrim::wire::kFrameHeaderSize);
}

}  // namespace kmq

#include "fault_injection.h"

#include <google/protobuf/io/gzip_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kmq {
namespace {

using IvraPlugs::BVH_JOIN;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using Clock = FaultStage::Clock;

constexpr uint32_t kLargestLength = 0x7fffffffu;
// Longest delay any timing option takes, so that a typo cannot park a connection for days.
constexpr int kMaxDelayMs = 600000;
constexpr int kMaxBurst = 100000;
// Split pieces are at most this long, or an eighth of the write if that is longer.
constexpr size_t kMaxPiece = 256;

void AppendLittleEndian32(uint32_t value, std::string* out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void AppendVarint(uint64_t value, std::string* out) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

uint32_t MarkerOf(const std::string& frame) {
  uint32_t marker = 0;
  for (int i = 3; i >= 0 && frame.size() >= 4; --i) {
    marker = marker << 8 | static_cast<unsigned char>(frame[static_cast<size_t>(i)]);
  }
  return marker;
}

// A byte that is neither 'A' nor 'C', so that no run of them forms a marker.
char NonMarkerByte(FaultRandom* random) {
  auto b = static_cast<unsigned>(random->Below(254));
  if (b >= 0x41) ++b;
  if (b >= 0x43) ++b;
  return static_cast<char>(b);
}

std::string Rate(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%g", value);
  return buffer;
}

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

void ConnectionFrames::Add(const ConnectionFrames& other) {
  mSent += other.mSent;
  mAdded += other.mAdded;
  mDropped += other.mDropped;
  mWithheld += other.mWithheld;
  mCutShort += other.mCutShort;
  mUnsent += other.mUnsent;
  mLostOnWire += other.mLostOnWire;
  mOnWire += other.mOnWire;
  mDamaged += other.mDamaged;
  mPhantom += other.mPhantom;
  mBytesWritten += other.mBytesWritten;
}

bool FaultOptions::Any() const {
  return mDropRate > 0 || mJitterMs > 0 || mBurst > 1 || mStallMs > 0 || mCutAfter > 0 ||
         mCutRate > 0 || mSplitWrites || mStrayRate > 0 || mFalseMarkerRate > 0 ||
         mCorruptRate > 0 || mTruncateRate > 0 || mBadLengthRate > 0 || mBadEnumRate > 0 ||
         mDeepNesting || mChangeSkeletonAfter > 0 || mHeaderDelayMs > 0 || mNoHeader;
}

bool FaultOptions::Validate(std::string* error) const {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  const std::pair<const char*, double> rates[] = {{"drop", mDropRate},
                                                  {"cut", mCutRate},
                                                  {"stray", mStrayRate},
                                                  {"false-marker", mFalseMarkerRate},
                                                  {"corrupt", mCorruptRate},
                                                  {"truncate", mTruncateRate},
                                                  {"bad-length", mBadLengthRate},
                                                  {"bad-enum", mBadEnumRate}};
  for (const auto& [name, rate] : rates) {
    if (!(rate >= 0 && rate <= 1)) {
      return fail(std::string("the ") + name + " rate must be from 0 to 1");
    }
  }
  const std::pair<const char*, int> delays[] = {
      {"jitter", mJitterMs}, {"stall", mStallMs}, {"header delay", mHeaderDelayMs}};
  for (const auto& [name, ms] : delays) {
    if (ms < 0 || ms > kMaxDelayMs) {
      return fail(std::string("the ") + name + " must be from 0 to " + std::to_string(kMaxDelayMs) +
                  " ms");
    }
  }
  if (mBurst < 0 || mBurst > kMaxBurst) {
    return fail("a burst must be from 0 to " + std::to_string(kMaxBurst) + " frames");
  }
  if (mBadLengthKinds == 0 || mBadLengthKinds > 0xf) {
    return fail("bad lengths need at least one of their four kinds");
  }
  if (mStallAfter > 0 && mStallMs == 0) return fail("a stall needs its length in ms");
  if (mCutMidFrame && mCutAfter == 0 && mCutRate == 0) {
    return fail("cutting mid-frame needs a cut after N frames or a cut rate");
  }
  if (mStrayUnaligned && mStrayRate == 0) return fail("unaligned stray bytes need a stray rate");
  if (mNoHeader && mHeaderDelayMs > 0) {
    return fail("headers cannot be both delayed and withheld");
  }
  return true;
}

std::string FaultOptions::Describe() const {
  if (!Any()) return "";
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (mDropRate > 0) add("drop " + Rate(mDropRate));
  if (mJitterMs > 0) add("jitter " + std::to_string(mJitterMs) + " ms");
  if (mBurst > 1) add("bursts of " + std::to_string(mBurst));
  if (mStallMs > 0) {
    add("stall " + std::to_string(mStallMs) + " ms after " + std::to_string(mStallAfter) +
        " frames");
  }
  if (mCutAfter > 0) add("cut after " + std::to_string(mCutAfter) + " frames");
  if (mCutRate > 0) add("cut rate " + Rate(mCutRate));
  if (mCutMidFrame) add("cut mid-frame");
  if (mSplitWrites) add("split writes");
  if (mStrayRate > 0) add((mStrayUnaligned ? "unaligned stray " : "stray ") + Rate(mStrayRate));
  if (mFalseMarkerRate > 0) add("false markers " + Rate(mFalseMarkerRate));
  if (mCorruptRate > 0) add("corrupt " + Rate(mCorruptRate));
  if (mTruncateRate > 0) add("truncate " + Rate(mTruncateRate));
  if (mBadLengthRate > 0) add("bad lengths " + Rate(mBadLengthRate));
  if (mBadEnumRate > 0) add("bad enums " + Rate(mBadEnumRate));
  if (mDeepNesting) add("deep nesting");
  if (mChangeSkeletonAfter > 0) {
    add("skeleton change after " + std::to_string(mChangeSkeletonAfter) + " frames");
  }
  if (mHeaderDelayMs > 0) add("headers " + std::to_string(mHeaderDelayMs) + " ms late");
  if (mNoHeader) add("no header");
  return "faults (seed " + std::to_string(mSeed) + "): " + text;
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
  if (format == Compression::kPlain) {
    payload = plain;
  } else {
    google::protobuf::io::StringOutputStream sink(&payload);
    google::protobuf::io::GzipOutputStream::Options options;
    options.format = format == Compression::kGzip ? google::protobuf::io::GzipOutputStream::GZIP
                                                  : google::protobuf::io::GzipOutputStream::ZLIB;
    google::protobuf::io::GzipOutputStream zipper(&sink, options);
    size_t written = 0;
    void* buffer = nullptr;
    int size = 0;
    while (written < plain.size() && zipper.Next(&buffer, &size)) {
      size_t n = std::min(static_cast<size_t>(size), plain.size() - written);
      std::memcpy(buffer, plain.data() + written, n);
      written += n;
      if (n < static_cast<size_t>(size)) zipper.BackUp(size - static_cast<int>(n));
    }
    if (!zipper.Close()) return {};
  }
  std::string frame;
  AppendLittleEndian32(format == Compression::kPlain ? kPlainMarker : kCompressedMarker, &frame);
  AppendLittleEndian32(static_cast<uint32_t>(payload.size()), &frame);
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
  AppendLittleEndian32(marker, &bytes);
  switch (kind) {
    case BadLengthKind::kZero:
      AppendLittleEndian32(0, &bytes);
      break;
    case BadLengthKind::kNegative: {
      int64_t length = -1 - static_cast<int64_t>(random->Below(kLargestLength));
      AppendLittleEndian32(static_cast<uint32_t>(length), &bytes);
      break;
    }
    case BadLengthKind::kAboveBuffer:
      // The plug-in skips what such a length announces; the filler keeps the next frame on its
      // grid for a reader that does.
      AppendLittleEndian32(static_cast<uint32_t>(kClientBufferBytes + 1), &bytes);
      bytes.append(kClientBufferBytes + 1, '\0');
      break;
    case BadLengthKind::kMaximum:
      AppendLittleEndian32(kLargestLength, &bytes);
      break;
  }
  return bytes;
}

std::string CorruptFrame(const std::string& frame, FaultRandom* random) {
  if (frame.size() <= kFramePrefixBytes) return frame;
  std::string damaged = frame;
  std::string payload = damaged.substr(kFramePrefixBytes);
  size_t start = 0;
  if (MarkerOf(frame) == kPlainMarker) {
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
  damaged.replace(kFramePrefixBytes, std::string::npos, payload);
  return damaged;
}

std::string TruncateFrame(const std::string& frame, FaultRandom* random) {
  if (frame.size() < kFramePrefixBytes + 2) return frame;
  const size_t length = frame.size() - kFramePrefixBytes;
  size_t keep = length / 4 + static_cast<size_t>(random->Below(length / 2 + 1));
  keep = std::max<size_t>(1, std::min(keep, length - 1));
  std::string cut = frame.substr(0, 4);
  AppendLittleEndian32(static_cast<uint32_t>(keep), &cut);
  cut.append(frame, kFramePrefixBytes, keep);
  return cut;
}

std::string ChangedActorName(const std::string& name) { return name + "-v2"; }

FaultStage::FaultStage(const FaultOptions& options, const FaultContext& context,
                       uint64_t connection, FaultCounts* counts, ConnectionFrames* frames)
    : mOptions(options),
      mContext(context),
      mCounts(counts),
      mFrames(frames),
      mRandom(options.mSeed ^ (connection * 0xd1342543de82ef95ull)) {}

std::vector<size_t> FaultStage::Split(size_t size) {
  std::vector<size_t> pieces;
  const size_t longest = std::max(kMaxPiece, size / 8);
  size_t left = size;
  while (left > 0) {
    size_t piece = 1 + static_cast<size_t>(mRandom.Below(std::min(left, longest)));
    pieces.push_back(piece);
    left -= piece;
  }
  mCounts->mSplitPieces += pieces.size();
  return pieces;
}

void FaultStage::Enqueue(std::string bytes, bool motion, Clock::time_point now,
                         const std::vector<FrameMark>* frames) {
  if (bytes.empty()) return;
  Item item;
  if (frames != nullptr) {
    item.mFrames = *frames;
  } else {
    item.mFrames.push_back({0, bytes.size(), false});
  }
  if (mOptions.mSplitWrites) item.mPieces = Split(bytes.size());
  Clock::time_point due = std::max({now, mLastDue, mStallUntil});
  if (motion && mOptions.mJitterMs > 0) {
    auto late = std::chrono::microseconds(
        mRandom.Below(static_cast<uint64_t>(mOptions.mJitterMs) * 1000 + 1));
    if (now + late > due) {
      due = now + late;
      ++mCounts->mJittered;
    }
  }
  item.mDue = due;
  mLastDue = due;
  if (motion && mOptions.mBurst > 1) {
    item.mInBurst = true;
    ++mInBurst;
  } else if (mInBurst > 0) {
    // Anything else first lets go of the frames held so far, so that it is not held behind them.
    ReleaseBurst();
  }
  mHeldBytes += bytes.size();
  item.mBytes = std::move(bytes);
  mHeld.push_back(std::move(item));
  if (mInBurst >= mOptions.mBurst && mOptions.mBurst > 1) ReleaseBurst();
}

void FaultStage::EnqueueAdded(std::string bytes, Clock::time_point now) {
  if (bytes.empty()) return;
  ++mFrames->mSent;
  ++mFrames->mAdded;
  Enqueue(std::move(bytes), false, now);
}

void FaultStage::ReleaseBurst() {
  if (mInBurst == 0) return;
  for (Item& item : mHeld) item.mInBurst = false;
  mInBurst = 0;
  ++mCounts->mBursts;
}

void FaultStage::Delay(std::string bytes, Clock::time_point due) {
  Item item;
  if (mOptions.mSplitWrites) item.mPieces = Split(bytes.size());
  item.mFrames.push_back({0, bytes.size(), false});
  item.mDue = due;
  mHeldBytes += bytes.size();
  item.mBytes = std::move(bytes);
  mDelayed.push_back(std::move(item));
}

void FaultStage::SubmitActorList(const std::string& frame, Clock::time_point now) {
  if (RefusedAfterCut()) return;
  Enqueue(mChanged ? mContext.mChangedActorList : frame, false, now);
}

void FaultStage::SubmitHeaderAnswer(uint32_t tag, const std::string& frame, Clock::time_point now) {
  if (RefusedAfterCut()) return;
  if (mOptions.mDeepNesting && !mDeepSent) {
    mDeepSent = true;
    ++mCounts->mDeepHeaders;
    EnqueueAdded(MakeDeepHeaderFrame(tag, kDeepHeaderDepth, mContext.mCompression), now);
  }
  const std::string& answer =
      mChanged && tag == mContext.mChangeTag ? mContext.mChangedHeader : frame;
  if (mOptions.mNoHeader) {
    ++mCounts->mHeadersWithheld;
    ++mFrames->mWithheld;
  } else if (mOptions.mHeaderDelayMs > 0) {
    ++mCounts->mHeadersDelayed;
    Delay(answer, now + std::chrono::milliseconds(mOptions.mHeaderDelayMs));
  } else {
    Enqueue(answer, false, now);
  }
}

void FaultStage::SubmitOther(const std::string& frame, Clock::time_point now) {
  if (RefusedAfterCut()) return;
  Enqueue(frame, false, now);
}

bool FaultStage::RefusedAfterCut() {
  if (!mCut) return false;
  ++mFrames->mUnsent;
  return true;
}

void FaultStage::Cut() {
  mCut = true;
  mCutInNextFrame = false;
  ++mCounts->mCuts;
  ReleaseBurst();
}

std::string FaultStage::BadEnumFrame(uint32_t tag, const std::string& frame,
                                     const IVRA_PLUGIN_MESSAGE* message) {
  const Compression format = FrameCompression(frame);
  auto kind = static_cast<BadEnumKind>(mRandom.Below(3));
  if (kind == BadEnumKind::kChannel) {
    auto found = mContext.mBadChannelHeaders.find(tag);
    if (found != mContext.mBadChannelHeaders.end()) return found->second;
    kind = BadEnumKind::kMessageType;
  }
  if (kind == BadEnumKind::kMessageType && message != nullptr) {
    // Message is field 1 and serialized first: 0x08, then FRAME_DATA (2) as one byte.
    std::string plain = message->SerializeAsString();
    if (plain.size() >= 2 && plain[0] == 0x08 && plain[1] == 0x02) {
      plain[1] = 0x07;
      return EncodeRawPayload(plain, format);
    }
  }
  // A COMMAND whose CmdType is 4, a value the enum leaves out.
  std::string command;
  command.push_back(0x08);  // CmdType
  command.push_back(0x04);
  command.push_back(0x10);  // ActorTag
  AppendVarint(tag, &command);
  std::string plain;
  plain.push_back(0x08);  // Message = COMMAND
  plain.push_back(0x00);
  plain.push_back(0x22);  // Command, length-delimited
  AppendVarint(command.size(), &plain);
  plain += command;
  return EncodeRawPayload(plain, format);
}

void FaultStage::SubmitMotion(uint32_t tag, const std::string& frame,
                              const IVRA_PLUGIN_MESSAGE* message, Clock::time_point now) {
  if (RefusedAfterCut()) return;
  if (mOptions.mDropRate > 0 && mRandom.Chance(mOptions.mDropRate)) {
    ++mCounts->mDropped;
    ++mFrames->mDropped;
    return;
  }
  if (mCutInNextFrame) {
    // At least one byte is sent and at least one is missing.
    size_t keep = 1 + static_cast<size_t>(mRandom.Below(frame.size() - 1));
    const std::vector<FrameMark> none;
    Enqueue(frame.substr(0, keep), true, now, &none);
    ++mFrames->mCutShort;
    Cut();
    return;
  }
  if (mOptions.mStallMs > 0 && !mStallDone && mMotionSent >= mOptions.mStallAfter) {
    mStallDone = true;
    mStallUntil = now + std::chrono::milliseconds(mOptions.mStallMs);
    ++mCounts->mStalls;
  }

  std::string body = frame;
  IVRA_PLUGIN_MESSAGE decoded;
  const bool needMessage = (mChanged && tag == mContext.mChangeTag) || mOptions.mBadEnumRate > 0;
  if (message == nullptr && needMessage &&
      DecodePayload(MarkerOf(frame) == kCompressedMarker, frame.data() + kFramePrefixBytes,
                    frame.size() - kFramePrefixBytes, &decoded, nullptr)) {
    message = &decoded;
  }
  if (mChanged && tag == mContext.mChangeTag && message != nullptr) {
    decoded = AddChangedChannels(*message, mChangedFrames++);
    message = &decoded;
    std::string encoded = EncodeFrame(decoded, FrameCompression(frame));
    if (!encoded.empty()) body = std::move(encoded);
  }

  std::string item;
  std::vector<FrameMark> marks;  // frames the faults add before the motion frame
  if (mOptions.mStrayRate > 0 && mRandom.Chance(mOptions.mStrayRate)) {
    size_t count = mOptions.mStrayUnaligned ? 1 + static_cast<size_t>(mRandom.Below(64))
                                            : 4 * (1 + static_cast<size_t>(mRandom.Below(16)));
    for (size_t i = 0; i < count; ++i) item.push_back(NonMarkerByte(&mRandom));
    ++mCounts->mStrayRuns;
  }
  if (mOptions.mFalseMarkerRate > 0 && mRandom.Chance(mOptions.mFalseMarkerRate)) {
    const bool compressed = mRandom.Below(2) == 1;
    auto length = static_cast<uint32_t>(1 + mRandom.Below(32));
    marks.push_back({item.size(), kFramePrefixBytes + length, false});
    AppendLittleEndian32(compressed ? kCompressedMarker : kPlainMarker, &item);
    AppendLittleEndian32(length, &item);
    // A first byte that neither inflater nor parser accepts: 0 is no zlib method, 0x0f no
    // field; gzip needs 0x1f.
    item.push_back(compressed ? '\0' : static_cast<char>(0x0f));
    for (uint32_t i = 1; i < length; ++i) item.push_back(NonMarkerByte(&mRandom));
    ++mCounts->mFalseMarkers;
  }
  if (mOptions.mBadLengthRate > 0 && mRandom.Chance(mOptions.mBadLengthRate)) {
    auto kind = static_cast<BadLengthKind>(mRandom.Below(4));
    if (mOptions.mBadLengthKinds != 0xf) {
      std::vector<BadLengthKind> kinds;
      for (unsigned k = 0; k < 4; ++k) {
        if (mOptions.mBadLengthKinds & (1u << k)) kinds.push_back(static_cast<BadLengthKind>(k));
      }
      kind = kinds[static_cast<size_t>(mRandom.Below(kinds.size()))];
    }
    const size_t at = item.size();
    item += MakeBadLengthBytes(kind, MarkerOf(frame), &mRandom);
    // A zero length is an empty frame, one above the buffer a frame a reader skips; the others
    // are prefixes of no frame.
    if (kind == BadLengthKind::kZero || kind == BadLengthKind::kAboveBuffer) {
      marks.push_back({at, item.size() - at, false});
    }
    ++mCounts->mBadLengths;
  }
  bool damaged = true;
  if (mOptions.mBadEnumRate > 0 && mRandom.Chance(mOptions.mBadEnumRate)) {
    body = BadEnumFrame(tag, body, message);
    ++mCounts->mBadEnums;
  } else if (mOptions.mCorruptRate > 0 && mRandom.Chance(mOptions.mCorruptRate)) {
    body = CorruptFrame(body, &mRandom);
    ++mCounts->mCorrupted;
  } else if (mOptions.mTruncateRate > 0 && mRandom.Chance(mOptions.mTruncateRate)) {
    body = TruncateFrame(body, &mRandom);
    ++mCounts->mTruncated;
  } else {
    damaged = false;
  }
  mFrames->mSent += marks.size();
  mFrames->mAdded += marks.size();
  marks.push_back({item.size(), body.size(), damaged});
  item += body;
  Enqueue(std::move(item), true, now, &marks);
  ++mMotionSent;

  if (mOptions.mChangeSkeletonAfter > 0 && mContext.mHasChange && !mChanged &&
      mMotionSent >= mOptions.mChangeSkeletonAfter) {
    mChanged = true;
    ++mCounts->mSkeletonChanges;
    EnqueueAdded(mContext.mChangedActorList, now);
    EnqueueAdded(mContext.mChangedHeader, now);
  }
  bool cut = mOptions.mCutAfter > 0 && mMotionSent >= mOptions.mCutAfter;
  if (!cut && mOptions.mCutRate > 0) cut = mRandom.Chance(mOptions.mCutRate);
  if (cut) {
    if (mOptions.mCutMidFrame) {
      mCutInNextFrame = true;
    } else {
      Cut();
    }
  }
}

void FaultStage::Release(Clock::time_point now, std::string* out, std::deque<size_t>* pieces,
                         std::vector<FrameMark>* marks) {
  auto take = [&](Item& item) {
    for (FrameMark mark : item.mFrames) {
      mark.mStart += out->size();
      marks->push_back(mark);
    }
    *out += item.mBytes;
    for (size_t piece : item.mPieces) pieces->push_back(piece);
    mHeldBytes -= item.mBytes.size();
  };
  while (!mHeld.empty() && !mHeld.front().mInBurst && mHeld.front().mDue <= now) {
    take(mHeld.front());
    mHeld.pop_front();
  }
  // Every delayed answer waits the same time, so they fall due in the order they came.
  size_t due = 0;
  while (due < mDelayed.size() && mDelayed[due].mDue <= now) take(mDelayed[due++]);
  mDelayed.erase(mDelayed.begin(), mDelayed.begin() + static_cast<long>(due));
}

Clock::time_point FaultStage::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  if (!mHeld.empty() && !mHeld.front().mInBurst) next = mHeld.front().mDue;
  if (!mDelayed.empty()) next = std::min(next, mDelayed.front().mDue);
  return next;
}

uint64_t FaultStage::HeldFrames() const {
  uint64_t frames = 0;
  for (const Item& item : mHeld) frames += item.mFrames.size();
  for (const Item& item : mDelayed) frames += item.mFrames.size();
  return frames;
}

}  // namespace kmq

#include "fault_injection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kmq {
namespace {

using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using Clock = FaultStage::Clock;

// Split pieces are at most this long, or an eighth of the write if that is longer.
constexpr size_t kMaxPiece = 256;

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
      DecodePayload(FrameMarker(frame) == kovrim::wire::kCompressedMarker,
                    frame.data() + kovrim::wire::kFrameHeaderSize,
                    frame.size() - kovrim::wire::kFrameHeaderSize, &decoded, nullptr)) {
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
    marks.push_back({item.size(), kovrim::wire::kFrameHeaderSize + length, false});
    kovrim::wire::AppendLittleEndian32(
        compressed ? kovrim::wire::kCompressedMarker : kovrim::wire::kPlainMarker, &item);
    kovrim::wire::AppendLittleEndian32(length, &item);
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
    item += MakeBadLengthBytes(kind, FrameMarker(frame), &mRandom);
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

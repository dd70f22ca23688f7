#include "frame_assembler.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace kovrim {
namespace wire {

FrameAssembler::FrameAssembler(int limit, Reporter* reporter, BadLength badLength)
    : mLimit(std::max(limit, 0)),
      mReporter(reporter),
      mBadLength(badLength),
      mPayload(new unsigned char[static_cast<size_t>(std::max(limit, 1))]) {}

void FrameAssembler::Reset() {
  mStage = Stage::kMarker;
  mWordFill = 0;
  mPayloadLength = 0;
  mPayloadFill = 0;
  mSkipLeft = 0;
  mAsked = 0;
}

size_t FrameAssembler::pending_bytes() const {
  switch (mStage) {
    case Stage::kMarker:
      return static_cast<size_t>(mWordFill);
    case Stage::kLength:
      return static_cast<size_t>(kWordSize + mWordFill);
    case Stage::kPayload:
      return static_cast<size_t>(kFrameHeaderSize + mPayloadFill);
    case Stage::kSkip:
      return 0;
  }
  return 0;
}

FrameAssembler::Want FrameAssembler::Next(unsigned char** data, int* size) {
  switch (mStage) {
    case Stage::kMarker:
    case Stage::kLength:
      if (mBudget <= 0) return Want::kBudgetSpent;
      *data = mWord + mWordFill;
      *size = mAsked = kWordSize - mWordFill;
      return Want::kBytes;
    case Stage::kPayload:
      if (mPayloadFill == mPayloadLength) {
        // Only an empty payload gets here: Commit completes any other.
        mStage = Stage::kMarker;
        return Want::kFrame;
      }
      *data = mPayload.get() + mPayloadFill;
      *size = mAsked = mPayloadLength - mPayloadFill;
      return Want::kBytes;
    case Stage::kSkip:
      if (mBudget <= 0) return Want::kBudgetSpent;
      *data = mScratch;
      *size = mAsked =
          static_cast<int>(std::min<int64_t>(std::min<int64_t>(mSkipLeft, kScratchSize), mBudget));
      return Want::kBytes;
  }
  return Want::kBudgetSpent;
}

FrameAssembler::Step FrameAssembler::Commit(int count) {
  count = std::min(std::max(count, 0), mAsked);
  mOffset += static_cast<uint64_t>(count);
  switch (mStage) {
    case Stage::kMarker:
    case Stage::kLength:
      mWordFill += count;
      mBudget -= count;
      if (mWordFill < kWordSize) return Step::kShort;
      mWordFill = 0;
      TakeWord();
      // An empty payload is complete once its length is read; Next hands it over.
      return Step::kGoOn;
    case Stage::kPayload:
      mPayloadFill += count;
      if (mPayloadFill < mPayloadLength) return Step::kShort;
      mStage = Stage::kMarker;
      return Step::kFrame;
    case Stage::kSkip:
      mSkipLeft -= count;
      mBudget -= count;
      if (count > 0 && mReporter != nullptr) mReporter->SkippedPayload(static_cast<size_t>(count));
      if (count < mAsked) return Step::kShort;
      if (mSkipLeft == 0) mStage = Stage::kMarker;
      return Step::kGoOn;
  }
  return Step::kShort;
}

void FrameAssembler::TakeWord() {
  const uint32_t word = ReadLittleEndian32(mWord);
  if (mStage == Stage::kMarker) {
    // Anything else is skipped a word at a time, so a marker is found only on the grid that the
    // scan started on.
    if (IsMarker(word)) {
      mMarker = word;
      mFrameOffset = mOffset - kWordSize;
      mStage = Stage::kLength;
    } else if (mReporter != nullptr) {
      mReporter->SkippedWord();
    }
    return;
  }
  const int32_t length = static_cast<int32_t>(word);
  if (length >= 0 && length <= mLimit) {
    mPayloadLength = length;
    mPayloadFill = 0;
    mStage = Stage::kPayload;
    return;
  }
  if (length < 0) {
    if (mReporter != nullptr) mReporter->NegativeLength(mMarker);
  } else if (mBadLength == BadLength::kDropFrame) {
    if (mReporter != nullptr) mReporter->FrameTooLong(mMarker, length);
    mSkipLeft = length;
    mStage = Stage::kSkip;
    return;
  } else if (mReporter != nullptr) {
    mReporter->FrameTooLong(mMarker, length);
  }
  mStage = Stage::kMarker;
  if (mBadLength == BadLength::kRescanLength) {
    // Only the marker is dropped: the length word is read again as the next marker candidate.
    TakeWord();
  }
}

size_t FrameAssembler::Feed(const void* data, size_t size, bool* frame) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t taken = 0;
  *frame = false;
  mBudget = std::numeric_limits<int64_t>::max();
  for (;;) {
    unsigned char* space = nullptr;
    int room = 0;
    const Want want = Next(&space, &room);
    if (want == Want::kFrame) {
      *frame = true;
      return taken;
    }
    if (want != Want::kBytes || taken == size) return taken;
    const int count = static_cast<int>(std::min<size_t>(static_cast<size_t>(room), size - taken));
    std::memcpy(space, bytes + taken, static_cast<size_t>(count));
    taken += static_cast<size_t>(count);
    if (Commit(count) == Step::kFrame) {
      *frame = true;
      return taken;
    }
  }
}

}  // namespace wire
}  // namespace kovrim

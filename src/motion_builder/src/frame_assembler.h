// FrameAssembler cuts a byte stream into frames by the plug-in's rules, without touching a
// socket: the reader asks it where the next bytes go (Next), reads into that space itself and
// says how many arrived (Commit), so every read asks for exactly what the frame still needs and
// nothing past a frame is taken from the stream. Feed does the same from bytes in memory. What it
// drops goes to a Reporter. Not synchronised: one thread at a time per assembler.
#ifndef KOVRIM_FRAME_ASSEMBLER_H_
#define KOVRIM_FRAME_ASSEMBLER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "wire_format.h"

namespace kovrim {
namespace wire {

class FrameAssembler {
 public:
  // Told of everything the assembler drops, as it drops it. Every method has an empty default.
  class Reporter {
   public:
    virtual ~Reporter() = default;
    // A word where a marker was expected was not one; its four bytes are dropped.
    virtual void SkippedWord() {}
    // A marker was followed by a negative length; both words are dropped.
    virtual void NegativeLength(uint32_t marker) { (void)marker; }
    // A marker was followed by a length above the limit; both words are dropped, and so are the
    // length bytes after them (reported by SkippedPayload as they go by), never stored.
    virtual void FrameTooLong(uint32_t marker, int32_t length) {
      (void)marker;
      (void)length;
    }
    virtual void SkippedPayload(size_t bytes) { (void)bytes; }
  };

  // What to do after a bad length word. The plug-in drops the marker and the length (and skips
  // the payload of a frame that is too long); a lenient reader drops only the marker and reads
  // the length word again as a possible marker.
  enum class BadLength { kDropFrame, kRescanLength };

  // Payloads of up to limit bytes are assembled; the buffer for one is allocated here. reporter
  // may be null; otherwise it remains the caller's and must outlive the assembler.
  // REQUIRES: limit >= 0.
  FrameAssembler(int limit, Reporter* reporter, BadLength badLength = BadLength::kDropFrame);
  FrameAssembler(const FrameAssembler&) = delete;
  FrameAssembler& operator=(const FrameAssembler&) = delete;

  // Starts a reading turn that may scan or skip at most budget bytes outside a frame's payload
  // (a payload itself is bounded by the limit and ends the turn). Next reports kBudgetSpent once
  // they are used up.
  void StartTurn(int64_t budget) { mBudget = budget; }

  enum class Want {
    kBytes,        // read at most *size bytes into *data, then Commit
    kFrame,        // a whole frame with an empty payload is complete (see payload())
    kBudgetSpent,  // this turn has scanned or skipped all it may
  };
  // What the stream needs next. The space stays valid until the next Commit or Reset.
  Want Next(unsigned char** data, int* size);

  enum class Step {
    kGoOn,   // the space was filled; ask Next again
    kShort,  // fewer bytes arrived than asked for: the stream has no more now
    kFrame,  // the bytes completed a frame (see payload())
  };
  // count bytes of the stream were written at the space the last Next gave (count is clipped to
  // it; a negative count reads as none).
  Step Commit(int count);

  // Copies bytes from data until they complete a frame or run out, without a budget; returns the
  // number taken. *frame is set when a frame is complete, and the rest of data is left for the
  // next call, after the frame has been used.
  size_t Feed(const void* data, size_t size, bool* frame);

  // Forgets a partial frame and any skip in progress; the stream starts anew on its grid.
  void Reset();

  // The last completed frame. Valid until the next Commit, Feed or Reset.
  uint32_t marker() const { return mMarker; }
  const unsigned char* payload() const { return mPayload.get(); }
  int payload_length() const { return mPayloadLength; }
  // Where the last completed frame's marker started, counting every byte committed since the
  // assembler was made (Reset does not restart the count).
  uint64_t frame_offset() const { return mFrameOffset; }

  int limit() const { return mLimit; }
  // Bytes held for a frame not yet complete (a partial word, marker and length, payload so far).
  size_t pending_bytes() const;
  // Bytes of a too-long frame still to be skipped.
  int64_t skip_left() const { return mSkipLeft; }

 private:
  enum class Stage { kMarker, kLength, kPayload, kSkip };
  static constexpr int kScratchSize = 4096;

  void TakeWord();

  const int mLimit;
  Reporter* const mReporter;
  const BadLength mBadLength;
  std::unique_ptr<unsigned char[]> mPayload;

  Stage mStage = Stage::kMarker;
  unsigned char mWord[kWordSize] = {0, 0, 0, 0};
  int mWordFill = 0;
  uint32_t mMarker = 0;
  int mPayloadLength = 0;
  int mPayloadFill = 0;
  int64_t mSkipLeft = 0;
  int64_t mBudget = 0;
  int mAsked = 0;  // the size the last Next gave
  uint64_t mOffset = 0;
  uint64_t mFrameOffset = 0;
  // Skipped payload is drained through here and never kept.
  unsigned char mScratch[kScratchSize];
};

}  // namespace wire
}  // namespace kovrim

#endif  // KOVRIM_FRAME_ASSEMBLER_H_

// TraceThrottle: lets each fixed text of the plug-in reach the host's trace output at most once a
// second. An occurrence within the second after its text was traced is held back and counted;
// the count goes out as one line of its own (HeldBackLine) before the text is traced again, or
// when Flush is called. So a server repeating a fault thousands of times a second costs a few
// lines, and every occurrence is still accounted for.
//
// Threads: any thread may call Report and Flush (the device I/O thread traces, the user-interface
// thread flushes as the link goes offline). A lock of the throttle's own guards its records; it
// is held only for their bookkeeping and never while tracing or while another lock is taken.
#ifndef KOVRIM_TRACE_THROTTLE_H_
#define KOVRIM_TRACE_THROTTLE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "thread_annotations.h"

namespace kovrim {

class TraceThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  // Distinct texts that the throttle keeps records for without allocating; more still work.
  static constexpr size_t kTextsReserved = 16;

  TraceThrottle();

  // One occurrence of text at now: traced when its text was not traced in the second before
  // (after the held-back line of the occurrences counted meanwhile, if any), else counted.
  // REQUIRES: text is a fixed text that outlives the throttle; texts are told apart by content.
  void Report(const char* text, Clock::time_point now) EXCLUDES(mLock);
  // Traces the held-back line of every text whose count is not yet reported and whose second is
  // over at now, or of every text with a count when all is true.
  void Flush(Clock::time_point now, bool all) EXCLUDES(mLock);

  // The line that stands for count occurrences of text held back in the second after text was
  // traced: "\"<text>\" held back <count> times in the second after it was traced" (a text's
  // trailing line break is left out of the quote).
  static std::string HeldBackLine(const char* text, uint64_t count);

 private:
  struct Record {
    const char* mText;
    Clock::time_point mLastTraced;
    uint64_t mHeldBack;
  };
  // Held-back counts taken out of the records, to be traced after the lock.
  struct Pending {
    const char* mText;
    uint64_t mCount;
  };

  Record* Find(const char* text) REQUIRES(mLock);

  Mutex mLock;
  std::vector<Record> mRecords GUARDED_BY(mLock);
};

}  // namespace kovrim

#endif  // KOVRIM_TRACE_THROTTLE_H_

#include "trace_throttle.h"

#include <fbsdk/fbsdk.h>

#include <cstring>

namespace kovrim {

namespace {

constexpr auto kInterval = std::chrono::seconds(1);

void TraceHeldBack(const char* text, uint64_t count) {
  FBTrace("%s", TraceThrottle::HeldBackLine(text, count).c_str());
}

}  // namespace

TraceThrottle::TraceThrottle() {
  MutexLock lock(&mLock);
  mRecords.reserve(kTextsReserved);
}

TraceThrottle::Record* TraceThrottle::Find(const char* text) {
  for (Record& record : mRecords) {
    if (record.mText == text || std::strcmp(record.mText, text) == 0) return &record;
  }
  return nullptr;
}

void TraceThrottle::Report(const char* text, Clock::time_point now) {
  uint64_t heldBack = 0;
  {
    MutexLock lock(&mLock);
    Record* record = Find(text);
    if (record == nullptr) {
      mRecords.push_back(Record{text, now, 0});
    } else if (now - record->mLastTraced < kInterval) {
      ++record->mHeldBack;
      return;
    } else {
      heldBack = record->mHeldBack;
      record->mHeldBack = 0;
      record->mLastTraced = now;
    }
  }
  if (heldBack > 0) TraceHeldBack(text, heldBack);
  FBTrace("%s", text);
}

void TraceThrottle::Flush(Clock::time_point now, bool all) {
  Pending pending[kTextsReserved];
  size_t count = 0;
  bool more = false;
  {
    MutexLock lock(&mLock);
    for (Record& record : mRecords) {
      if (record.mHeldBack == 0 || (!all && now - record.mLastTraced < kInterval)) continue;
      if (count == kTextsReserved) {
        more = true;
        break;
      }
      pending[count++] = Pending{record.mText, record.mHeldBack};
      record.mHeldBack = 0;
    }
  }
  for (size_t i = 0; i < count; ++i) TraceHeldBack(pending[i].mText, pending[i].mCount);
  // More texts with counts than one flush takes out: the rest at once, by the same rule.
  if (more) Flush(now, all);
}

std::string TraceThrottle::HeldBackLine(const char* text, uint64_t count) {
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == '\n') --length;
  return "\"" + std::string(text, length) + "\" held back " + std::to_string(count) +
         " times in the second after it was traced";
}

}  // namespace kovrim

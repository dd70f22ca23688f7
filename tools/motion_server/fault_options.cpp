#include "fault_injection.h"

#include <cstdio>
#include <string>

namespace kmq {
namespace {

// Longest delay any timing option takes, so that a typo cannot park a connection for days.
constexpr int kMaxDelayMs = 600000;
constexpr int kMaxBurst = 100000;

std::string Rate(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%g", value);
  return buffer;
}

}  // namespace

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

}  // namespace kmq

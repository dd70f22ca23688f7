#include <fbsdk/fbtime.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "host_state.h"

namespace FBSDKNamespace {
namespace {

__extension__ typedef __int128 Wide;  // Products of ticks and rates exceed 2^63.

constexpr kLongLong kTicksPerSecond = 46186158000LL;
constexpr kLongLong kTicksPerMilliSecond = kTicksPerSecond / 1000;
constexpr kLongLong kMaxTicks = std::numeric_limits<kLongLong>::max();

struct FrameRate {
  kLongLong mNumerator;  // Frames per mDenominator seconds.
  kLongLong mDenominator;
  bool mDropFrame;  // Drop-frame timecode for h/m/s/frame conversions.
  int mNominalFps;  // Frames counted per timecode second.
};

FrameRate RateOf(FBTimeMode pMode) {
  if (pMode == kFBTimeModeDefault || pMode == kFBTimeModeCustom) {
    pMode = static_cast<FBTimeMode>(fbsdk_internal::State().mSceneTimeMode.load());
  }
  switch (pMode) {
    case kFBTimeMode1000Frames:
      return {1000, 1, false, 1000};
    case kFBTimeMode120Frames:
      return {120, 1, false, 120};
    case kFBTimeMode100Frames:
      return {100, 1, false, 100};
    case kFBTimeMode96Frames:
      return {96, 1, false, 96};
    case kFBTimeMode72Frames:
      return {72, 1, false, 72};
    case kFBTimeMode60Frames:
      return {60, 1, false, 60};
    case kFBTimeMode5994Frames:
      return {60000, 1001, false, 60};
    case kFBTimeMode50Frames:
      return {50, 1, false, 50};
    case kFBTimeMode48Frames:
      return {48, 1, false, 48};
    case kFBTimeMode2997Frames_Drop:
      return {30000, 1001, true, 30};
    case kFBTimeMode2997Frames:
      return {30000, 1001, false, 30};
    case kFBTimeMode25Frames:
      return {25, 1, false, 25};
    case kFBTimeMode24Frames:
      return {24, 1, false, 24};
    case kFBTimeMode23976Frames:
      return {24000, 1001, false, 24};
    default:
      return {30, 1, false, 30};
  }
}

kLongLong Saturate(Wide pValue) {
  if (pValue > kMaxTicks) return kMaxTicks;
  if (pValue < -kMaxTicks) return -kMaxTicks;
  return static_cast<kLongLong>(pValue);
}

kLongLong SaturateReal(long double pValue) {
  if (std::isnan(pValue)) return 0;
  if (pValue >= static_cast<long double>(kMaxTicks)) return kMaxTicks;
  if (pValue <= -static_cast<long double>(kMaxTicks)) return -kMaxTicks;
  return std::llroundl(pValue);
}

// REQUIRES: pDen > 0.
Wide FloorDiv(Wide pNum, Wide pDen) {
  Wide quotient = pNum / pDen;
  if (pNum % pDen != 0 && pNum < 0) --quotient;
  return quotient;
}

// Nearest integer of pNum / pDen, halves away from zero. REQUIRES: pDen > 0.
Wide RoundDiv(Wide pNum, Wide pDen) {
  return pNum >= 0 ? (pNum + pDen / 2) / pDen : -((-pNum + pDen / 2) / pDen);
}

// Ticks at the start of half-frame pHalfFrames.
Wide HalfFramesToTicks(Wide pHalfFrames, const FrameRate& pRate) {
  return RoundDiv(pHalfFrames * kTicksPerSecond * pRate.mDenominator, 2 * pRate.mNumerator);
}

// Half-frame containing pTicks. Frame starts are rounded to whole ticks, so half a tick is added
// to land a rounded start inside its own frame.
Wide TicksToHalfFrames(Wide pTicks, const FrameRate& pRate) {
  return FloorDiv((2 * pTicks + 1) * 2 * pRate.mNumerator,
                  2 * kTicksPerSecond * pRate.mDenominator);
}

// Drop-frame timecode: frame numbers 0 and 1 are skipped at every minute except each tenth.
Wide DropFrameCount(Wide pHour, Wide pMinute, Wide pSecond, Wide pFrame) {
  const Wide minutes = 60 * pHour + pMinute;
  return (3600 * pHour + 60 * pMinute + pSecond) * 30 + pFrame - 2 * (minutes - minutes / 10);
}

void DropFrameTimecode(Wide pFrames, int& pHour, int& pMinute, int& pSecond, int& pFrame) {
  const Wide framesPer10Minutes = 17982;  // 10 * 60 * 30 - 9 * 2.
  const Wide framesPerMinute = 1798;      // 60 * 30 - 2.
  const Wide tens = FloorDiv(pFrames, framesPer10Minutes);
  Wide rest = pFrames - tens * framesPer10Minutes;
  Wide nominal = pFrames + 18 * tens;
  if (rest > 1) nominal += 2 * ((rest - 2) / framesPerMinute);
  pFrame = static_cast<int>(nominal % 30);
  pSecond = static_cast<int>((nominal / 30) % 60);
  pMinute = static_cast<int>((nominal / 1800) % 60);
  pHour = static_cast<int>(nominal / 108000);
}

}  // namespace

const FBTime FBTime::Infinity(kMaxTicks);
const FBTime FBTime::MinusInfinity(-kMaxTicks);
const FBTime FBTime::Zero(0);
const FBTime FBTime::Epsilon(1);
const FBTime FBTime::OneSecond(kTicksPerSecond);
const FBTime FBTime::OneMinute(60 * kTicksPerSecond);
const FBTime FBTime::OneHour(3600 * kTicksPerSecond);

FBTime::FBTime(int pHour, int pMinute, int pSecond, int pFrame, int pField, FBTimeMode pTimeMode)
    : mTime(0) {
  SetTime(pHour, pMinute, pSecond, pFrame, pField, pTimeMode);
}

void FBTime::SetTime(int pHour, int pMinute, int pSecond, int pFrame, int pField,
                     FBTimeMode pTimeMode) {
  const FrameRate rate = RateOf(pTimeMode);
  if (rate.mDropFrame) {
    const Wide frames = DropFrameCount(pHour, pMinute, pSecond, pFrame);
    mTime = Saturate(HalfFramesToTicks(2 * frames + pField, rate));
    return;
  }
  const Wide seconds = Wide(3600) * pHour + Wide(60) * pMinute + pSecond;
  mTime = Saturate(seconds * kTicksPerSecond + HalfFramesToTicks(2 * Wide(pFrame) + pField, rate));
}

bool FBTime::GetTime(int& pHour, int& pMinute, int& pSecond, int& pFrame, int& pField,
                     int& pMilliSecond, FBTimeMode pTimeMode) {
  if (mTime >= kMaxTicks || mTime <= -kMaxTicks) return false;
  const FrameRate rate = RateOf(pTimeMode);
  const Wide wholeSeconds = FloorDiv(mTime, kTicksPerSecond);
  const Wide remainder = mTime - wholeSeconds * kTicksPerSecond;
  pMilliSecond = static_cast<int>(remainder / kTicksPerMilliSecond);
  const Wide halfFrames = TicksToHalfFrames(mTime, rate);
  pField = static_cast<int>(halfFrames - 2 * FloorDiv(halfFrames, 2));
  if (rate.mDropFrame) {
    DropFrameTimecode(FloorDiv(halfFrames, 2), pHour, pMinute, pSecond, pFrame);
    return true;
  }
  pHour = static_cast<int>(FloorDiv(wholeSeconds, 3600));
  pMinute = static_cast<int>(FloorDiv(wholeSeconds, 60) - Wide(60) * pHour);
  pSecond = static_cast<int>(wholeSeconds - FloorDiv(wholeSeconds, 60) * 60);
  pFrame = static_cast<int>(FloorDiv(TicksToHalfFrames(remainder, rate), 2));
  if (pFrame >= rate.mNominalFps) pFrame = rate.mNominalFps - 1;  // 1001-based rates.
  return true;
}

FBString FBTime::GetTimeString(FBTimeMode pTimeMode, ETimeFormats pTimeFormat) {
  char text[64];
  if (pTimeFormat == eSMPTE) {
    int hour = 0, minute = 0, second = 0, frame = 0, field = 0, ms = 0;
    if (!GetTime(hour, minute, second, frame, field, ms, pTimeMode)) {
      return FBString(mTime > 0 ? "inf" : "-inf");
    }
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d:%02d", hour, minute, second, frame);
  } else {
    std::snprintf(text, sizeof(text), "%lld", GetFrame(pTimeMode));
  }
  return FBString(text);
}

void FBTime::SetTimeString(const char* pTime) {
  int hour = 0, minute = 0, second = 0, frame = 0;
  long long frames = 0;
  if (pTime != nullptr && std::sscanf(pTime, "%d:%d:%d:%d", &hour, &minute, &second, &frame) == 4) {
    SetTime(hour, minute, second, frame);
  } else if (pTime != nullptr && std::sscanf(pTime, "%lld", &frames) == 1) {
    SetFrame(frames);
  } else {
    mTime = 0;
  }
}

kLongLong FBTime::GetMilliSeconds() { return mTime / kTicksPerMilliSecond; }

void FBTime::SetMilliSeconds(kLongLong pMilliSeconds) {
  mTime = Saturate(Wide(pMilliSeconds) * kTicksPerMilliSecond);
}

double FBTime::GetSecondDouble() {
  // Whole seconds and remainder separately, so large times keep their sub-second precision.
  const kLongLong whole = mTime / kTicksPerSecond;
  const kLongLong remainder = mTime % kTicksPerSecond;
  return static_cast<double>(whole) +
         static_cast<double>(remainder) / static_cast<double>(kTicksPerSecond);
}

void FBTime::SetSecondDouble(double pTime) {
  mTime = SaturateReal(static_cast<long double>(pTime) * kTicksPerSecond);
}

kLongLong FBTime::GetFrame(FBTimeMode pTimeMode) {
  return Saturate(FloorDiv(TicksToHalfFrames(mTime, RateOf(pTimeMode)), 2));
}

void FBTime::SetFrame(kLongLong pFrames, FBTimeMode pTimeMode) {
  mTime = Saturate(HalfFramesToTicks(2 * Wide(pFrames), RateOf(pTimeMode)));
}

FBTime& FBTime::operator+=(const FBTime& pTime) {
  mTime = Saturate(Wide(mTime) + pTime.mTime);
  return *this;
}

FBTime& FBTime::operator-=(const FBTime& pTime) {
  mTime = Saturate(Wide(mTime) - pTime.mTime);
  return *this;
}

FBTime& FBTime::operator*=(const FBTime& pTime) {
  mTime = Saturate(Wide(mTime) * pTime.mTime);
  return *this;
}

FBTime& FBTime::operator/=(const FBTime& pTime) {
  if (pTime.mTime == 0) {
    mTime = mTime > 0 ? kMaxTicks : (mTime < 0 ? -kMaxTicks : 0);
  } else {
    mTime = Saturate(Wide(mTime) / pTime.mTime);
  }
  return *this;
}

FBTime& FBTime::operator+=(double pTime) {
  mTime = SaturateReal(static_cast<long double>(mTime) + static_cast<long double>(pTime));
  return *this;
}

FBTime& FBTime::operator-=(double pTime) {
  mTime = SaturateReal(static_cast<long double>(mTime) - static_cast<long double>(pTime));
  return *this;
}

FBTime& FBTime::operator*=(double pValue) {
  if (mTime != 0)
    mTime = SaturateReal(static_cast<long double>(mTime) * static_cast<long double>(pValue));
  return *this;
}

FBTime& FBTime::operator/=(double pValue) {
  if (pValue == 0.0) {
    mTime = mTime > 0 ? kMaxTicks : (mTime < 0 ? -kMaxTicks : 0);
  } else {
    mTime = SaturateReal(static_cast<long double>(mTime) / static_cast<long double>(pValue));
  }
  return *this;
}

FBTime FBTime::operator-(const FBTime& pTime) { return FBTime(*this) -= pTime; }
FBTime FBTime::operator+(const FBTime& pTime) { return FBTime(*this) += pTime; }
FBTime FBTime::operator/(const FBTime& pTime) { return FBTime(*this) /= pTime; }
FBTime FBTime::operator*(const FBTime& pTime) { return FBTime(*this) *= pTime; }
FBTime FBTime::operator/(double pValue) { return FBTime(*this) /= pValue; }
FBTime FBTime::operator-(double pTime) { return FBTime(*this) -= pTime; }
FBTime FBTime::operator+(double pTime) { return FBTime(*this) += pTime; }
FBTime FBTime::operator*(double pValue) { return FBTime(*this) *= pValue; }

bool FBTime::operator==(const FBTime& pTime) { return mTime == pTime.mTime; }
bool FBTime::operator!=(const FBTime& pTime) { return mTime != pTime.mTime; }
bool FBTime::operator>=(const FBTime& pTime) { return mTime >= pTime.mTime; }
bool FBTime::operator<=(const FBTime& pTime) { return mTime <= pTime.mTime; }
bool FBTime::operator>(const FBTime& pTime) { return mTime > pTime.mTime; }
bool FBTime::operator<(const FBTime& pTime) { return mTime < pTime.mTime; }

}  // namespace FBSDKNamespace

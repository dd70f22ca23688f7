// FBTime: a signed instant or duration counted in host ticks (46186158000 per second), and the
// frame-rate modes used to convert it to frames. Value type: one object per thread at a time.
// kFBTimeModeDefault means the scene's current rate (30 fps in this stand-in unless a test
// changes it); the scene rate itself may be read from any thread.
#ifndef FBSDK_FBTIME_H_
#define FBSDK_FBTIME_H_

#include <fbsdk/fbstring.h>
#include <fbsdk/fbtypes.h>

namespace FBSDKNamespace {

// Frame-rate modes. Use the names: the numbering shifts between host releases.
enum FBTimeMode {
  kFBTimeModeDefault,          // The scene's current rate.
  kFBTimeMode1000Frames,       // 1000 fps.
  kFBTimeMode120Frames,        // 120 fps.
  kFBTimeMode100Frames,        // 100 fps.
  kFBTimeMode96Frames,         // 96 fps.
  kFBTimeMode72Frames,         // 72 fps.
  kFBTimeMode60Frames,         // 60 fps.
  kFBTimeMode5994Frames,       // 59.94 (60000/1001) fps.
  kFBTimeMode50Frames,         // 50 fps.
  kFBTimeMode48Frames,         // 48 fps.
  kFBTimeMode30Frames,         // 30 fps.
  kFBTimeMode2997Frames_Drop,  // 29.97 fps, drop-frame timecode in h/m/s/frame conversions.
  kFBTimeMode2997Frames,       // 29.97 (30000/1001) fps.
  kFBTimeMode25Frames,         // 25 fps.
  kFBTimeMode24Frames,         // 24 fps.
  kFBTimeMode23976Frames,      // 23.976 (24000/1001) fps.
  kFBTimeModeCustom            // Custom rate; treated as the scene rate here.
};

class FBSDK_DLL FBTime {
 public:
  enum ETimeFormats { eSMPTE, eFrame, eDefaultFormat };

  constexpr FBTime(kLongLong pTime = 0) : mTime(pTime) {}  // pTime in ticks.
  // Timecode at the mode's rate; pField counts half frames. Drop-frame mode reads the frame
  // numbers as drop-frame timecode.
  FBTime(int pHour, int pMinute, int pSecond = 0, int pFrame = 0, int pField = 0,
         FBTimeMode pTimeMode = kFBTimeModeDefault);

  // eSMPTE gives "hh:mm:ss:ff"; eFrame and eDefaultFormat give the frame number.
  FBString GetTimeString(FBTimeMode pTimeMode = kFBTimeModeDefault,
                         ETimeFormats pTimeFormat = eDefaultFormat);
  // Accepts "hh:mm:ss:ff" or a frame number, at the scene rate; other text gives Zero.
  void SetTimeString(const char* pTime);

  // Splits into timecode parts (ms = milliseconds within the second); false for infinities.
  bool GetTime(int& pHour, int& pMinute, int& pSecond, int& pFrame, int& pField, int& pMilliSecond,
               FBTimeMode pTimeMode = kFBTimeModeDefault);
  void SetTime(int pHour, int pMinute = 0, int pSecond = 0, int pFrame = 0, int pField = 0,
               FBTimeMode pTimeMode = kFBTimeModeDefault);

  kLongLong GetMilliSeconds();  // Truncated toward zero.
  void SetMilliSeconds(kLongLong pMilliSeconds);
  kLongLong& Get() { return mTime; }  // The tick count, writable.
  const kLongLong& Get() const { return mTime; }
  void Set(kLongLong pTime) { mTime = pTime; }
  double GetSecondDouble();            // Seconds, exact to the tick for a day's range.
  void SetSecondDouble(double pTime);  // Rounds to the nearest tick; saturates.

  // Frame containing this time (floor) at the mode's rate.
  kLongLong GetFrame(FBTimeMode pTimeMode = kFBTimeModeDefault);
  void SetFrame(kLongLong pFrames, FBTimeMode pTimeMode = kFBTimeModeDefault);

  // Arithmetic works on ticks and saturates at Infinity / MinusInfinity instead of wrapping.
  // A double in + and - is a tick count; in * and / it is a scale factor.
  // Implicit in the host's header; declared here because the user-declared operator= would leave
  // it deprecated (-Wdeprecated-copy).
  FBTime(const FBTime& pTime) = default;
  FBTime& operator=(const FBTime& pTime) = default;
  FBTime& operator+=(const FBTime& pTime);
  FBTime& operator-=(const FBTime& pTime);
  FBTime& operator*=(const FBTime& pTime);
  FBTime& operator/=(const FBTime& pTime);
  FBTime& operator+=(double pTime);
  FBTime& operator-=(double pTime);
  FBTime& operator*=(double pValue);
  FBTime& operator/=(double pValue);
  FBTime operator-(const FBTime& pTime);
  FBTime operator+(const FBTime& pTime);
  FBTime operator/(const FBTime& pTime);  // Tick ratio as a tick count (not a double).
  FBTime operator*(const FBTime& pTime);  // Product of the tick counts.
  FBTime operator/(double pValue);        // Scaled duration; /0 saturates by sign.
  FBTime operator-(double pTime);
  FBTime operator+(double pTime);
  FBTime operator*(double pValue);
  bool operator==(const FBTime& pTime);
  bool operator!=(const FBTime& pTime);
  bool operator>=(const FBTime& pTime);
  bool operator<=(const FBTime& pTime);
  bool operator>(const FBTime& pTime);
  bool operator<(const FBTime& pTime);

  static const FBTime Infinity;       // Largest tick count.
  static const FBTime MinusInfinity;  // Negation of Infinity.
  static const FBTime Zero;
  static const FBTime Epsilon;    // One tick.
  static const FBTime OneSecond;  // 46186158000 ticks.
  static const FBTime OneMinute;
  static const FBTime OneHour;

 private:
  kLongLong mTime;  // Ticks.
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBTIME_H_

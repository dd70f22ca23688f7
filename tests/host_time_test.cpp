// FBTime: tick arithmetic, timecode and frame conversions at the scene's and explicit rates.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include <random>

namespace {

constexpr kLongLong kTicksPerSecond = 46186158000LL;

class HostTimeTest : public testing::Test {
 protected:
  fbsdk_control::ScopedHostCapture mHost;
};

TEST_F(HostTimeTest, TimecodeConstructorUsesTheModeRate) {
  FBTime t(1, 2, 3, 4);  // Scene rate: 30 fps.
  EXPECT_EQ(t.Get(), 3723 * kTicksPerSecond + 4 * (kTicksPerSecond / 30));
  EXPECT_EQ(t.GetFrame(), 3723 * 30 + 4);
  EXPECT_EQ(FBTime(0, 0, 1, 12, 0, kFBTimeMode24Frames).GetSecondDouble(), 1.5);
  EXPECT_EQ(FBTime(0, 0, 0, 1, 1, kFBTimeMode50Frames).Get(), kTicksPerSecond * 3 / 100);

  int h = 0, m = 0, s = 0, frame = 0, field = 0, ms = 0;
  ASSERT_TRUE(t.GetTime(h, m, s, frame, field, ms));
  EXPECT_EQ(h * 10000 + m * 100 + s, 10203);
  EXPECT_EQ(frame, 4);
  EXPECT_EQ(ms, 133);
}

TEST_F(HostTimeTest, DefaultModeFollowsTheSceneRate) {
  fbsdk_control::SetSceneTimeMode(kFBTimeMode25Frames);
  FBTime t(0, 0, 2, 5);
  EXPECT_EQ(t.GetFrame(), 55);
  EXPECT_EQ(t.GetFrame(kFBTimeModeCustom), 55);
  EXPECT_EQ(t.GetFrame(kFBTimeMode100Frames), 220);
  EXPECT_EQ(FBString(t.GetTimeString(kFBTimeModeDefault, FBTime::eSMPTE)), "00:00:02:05");
}

TEST_F(HostTimeTest, DivisionByDoubleScalesTheDuration) {
  FBTime second(0, 0, 1);
  EXPECT_EQ((second / 4.0).Get(), kTicksPerSecond / 4);
  EXPECT_EQ((second * 0.5).Get(), kTicksPerSecond / 2);
  EXPECT_EQ((second / 0.0).Get(), FBTime::Infinity.Get());
  FBTime ten(0, 0, 10);
  EXPECT_EQ((ten / second).Get(), 10);  // Tick ratio, as an FBTime.
  EXPECT_TRUE(ten / 2.0 == FBTime(0, 0, 5));
  EXPECT_TRUE(second < ten);
}

TEST_F(HostTimeTest, SecondsRoundTripAcrossADay) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> seconds(-86400.0, 86400.0);
  for (int i = 0; i < 1000; ++i) {
    const double value = seconds(random);
    FBTime t;
    t.SetSecondDouble(value);
    EXPECT_NEAR(t.GetSecondDouble(), value, 1e-9);
  }
  FBTime ms;
  ms.SetMilliSeconds(1234);
  EXPECT_EQ(ms.GetMilliSeconds(), 1234);
}

TEST_F(HostTimeTest, ADayConvertsWithoutOverflow) {
  FBTime day(24, 0, 0);
  EXPECT_EQ(day.Get(), 86400 * kTicksPerSecond);
  EXPECT_EQ(day.GetFrame(kFBTimeMode1000Frames), 86400000);
  EXPECT_EQ(day.GetFrame(kFBTimeMode23976Frames), 86400LL * 24000 / 1001);
  EXPECT_EQ(day.GetMilliSeconds(), 86400000);
  FBTime frames;
  frames.SetFrame(86400LL * 60000 / 1001, kFBTimeMode5994Frames);
  EXPECT_EQ(frames.GetFrame(kFBTimeMode5994Frames), 86400LL * 60000 / 1001);
  EXPECT_TRUE(FBTime(FBTime::Infinity) + FBTime(0, 0, 1) == FBTime::Infinity);
  EXPECT_TRUE(FBTime(FBTime::OneHour) * FBTime(FBTime::OneHour) == FBTime::Infinity);
}

TEST_F(HostTimeTest, FractionalRatesKeepEveryFrameNumber) {
  for (FBTimeMode mode : {kFBTimeMode2997Frames, kFBTimeMode23976Frames, kFBTimeMode5994Frames}) {
    for (kLongLong frame = -100; frame < 5000; frame += 7) {
      FBTime t;
      t.SetFrame(frame, mode);
      ASSERT_EQ(t.GetFrame(mode), frame) << mode;
    }
  }
}

TEST_F(HostTimeTest, DropFrameTimecodeSkipsTwoFramesPerMinute) {
  FBTime t(0, 1, 0, 2, 0, kFBTimeMode2997Frames_Drop);
  EXPECT_EQ(t.GetFrame(kFBTimeMode2997Frames_Drop), 1800);
  FBTime tenth(0, 10, 0, 0, 0, kFBTimeMode2997Frames_Drop);
  EXPECT_EQ(tenth.GetFrame(kFBTimeMode2997Frames_Drop), 17982);
  int h = 0, m = 0, s = 0, frame = 0, field = 0, ms = 0;
  ASSERT_TRUE(t.GetTime(h, m, s, frame, field, ms, kFBTimeMode2997Frames_Drop));
  EXPECT_EQ(m, 1);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(frame, 2);
}

}  // namespace

// Round trip through the whole chain: each bundled capture is streamed by the reference server,
// received by the loaded plug-in, recorded by the headless host and written as a take. The take
// must keep the skeleton, and every recorded frame must be one of the capture's frames, in the
// order the server played them.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include "bvh.h"
#include "headless_host.h"
#include "host_options.h"
#include "host_session.h"
#include "take_comparison.h"

namespace {

class RoundTrip : public ::testing::TestWithParam<const char*> {
 protected:
  fbsdk_control::ScopedHostCapture mCapture;
};

TEST_P(RoundTrip, RecordedTakeMatchesTheCapture) {
  kmq::HostOptions options = kmq::DefaultHostOptions();
  options.mBvhPath = std::string(KMQ_DATA_DIR) + "/bvh/" + GetParam();
  options.mOutPath =
      ::testing::TempDir() + "kmq_round_trip_" + std::to_string(::getpid()) + "_" + GetParam();
  options.mSeconds = 1.5;
  options.mQuiet = true;
  {
    bvh::Clip source;
    std::string error;
    ASSERT_TRUE(bvh::ParseBvhFile(options.mBvhPath, &source, &error)) << error;
    // The gate lets one frame be keyed per evaluation pass, so the host evaluates at least twice
    // for every frame the capture plays: then every frame finds the gate open.
    options.mDisplayRate = std::max(options.mDisplayRate, 2.0 / source.mFrameTime);
  }
  kmq::SessionResult result;
  ASSERT_TRUE(kmq::RunHeadlessSession(options, &result)) << result.mMessage;

  int recorded = 0;
  long span = 0;
  takecheck::ExpectTakeFollowsSource(options.mBvhPath, options.mOutPath, &recorded, &span);
  std::remove(options.mOutPath.c_str());
  if (HasFatalFailure() || span == 0) return;
  std::printf("%s: %d frames recorded of %ld played (%.1f %%), %ld frames received\n", GetParam(),
              recorded, span, 100.0 * recorded / static_cast<double>(span),
              result.mSamplesReceived);
}

INSTANTIATE_TEST_SUITE_P(BundledCaptures, RoundTrip,
                         ::testing::Values("cmu_12_01_walk.bvh", "cmu_01_01.bvh",
                                           "makehuman_walk1.bvh"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           std::string name = param.param;
                           name = name.substr(0, name.find('.'));
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace

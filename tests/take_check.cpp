// take_check SOURCE.bvh TAKE.bvh: the round trip's comparison for a take recorded elsewhere, for
// instance by the Windows build's headless host under wine against this machine's reference
// server (scripts/windows-check.sh). Fails when the paths are missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "take_comparison.h"

namespace {

std::string gSourcePath;
std::string gTakePath;

TEST(TakeCheck, TakeFollowsItsSource) {
  ASSERT_FALSE(gSourcePath.empty() || gTakePath.empty()) << "usage: take_check SOURCE TAKE";
  int recorded = 0;
  long span = 0;
  takecheck::ExpectTakeFollowsSource(gSourcePath, gTakePath, &recorded, &span);
  if (span > 0) {
    std::printf("%s: %d frames recorded of %ld played (%.1f %%)\n", gTakePath.c_str(), recorded,
                span, 100.0 * recorded / static_cast<double>(span));
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc >= 3) {
    gSourcePath = argv[1];
    gTakePath = argv[2];
  }
  return RUN_ALL_TESTS();
}

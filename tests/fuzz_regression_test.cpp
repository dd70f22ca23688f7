// Regression tests for what the fuzz targets found, one per finding, named after the fault. The
// input each finding came from is kept in fuzz/regressions/<target>/ and replayed by
// FuzzReplay.<target>. A test whose fix is not in yet is DISABLED_ (run it with
// --gtest_also_run_disabled_tests).
#include <gtest/gtest.h>

#include <string>

#include "bvh.h"

namespace {

// A BVH text whose root and one joint are opened by the lines `ROOT <root>` and `JOINT <joint>`,
// each of which ends with its opening brace.
std::string BvhWithNames(const std::string& root, const std::string& joint) {
  return "HIERARCHY\nROOT " + root + "\n\tOFFSET 0 0 0\n\tCHANNELS 1 Xrotation\n\tJOINT " + joint +
         "\n\t\tOFFSET 0 1 0\n\t}\n}\nMOTION\nFrames: 1\nFrame Time: 0.1\n1\n";
}

// Found by the bvh target: ParseBvhText accepted joint names that ValidateClip (and so the
// reference server and WriteBvh) refuses. A clip the parser returns must be one the writer can
// write; the sound behaviour is that the parser refuses the name, naming the line.
TEST(FuzzRegressionBvhTest, ParserRefusesAJointNameTheWriterCannotWrite) {
  const struct {
    std::string text;
    const char* where;
  } cases[] = {
      {BvhWithNames(std::string("Hi\0ps {", 7), "Knee {"), "names.bvh:2:"},  // a NUL byte
      {BvhWithNames("Hips {", "LHipJot{\t{"), "names.bvh:5:"},               // a name ending in '{'
      {BvhWithNames("Hips{ {", "Knee {"), "names.bvh:2:"},
  };
  for (const auto& c : cases) {
    bvh::Clip clip;
    std::string error;
    const bool parsed = bvh::ParseBvhText(c.text, "names.bvh", &clip, &error);
    std::string problem;
    EXPECT_FALSE(parsed && !bvh::ValidateClip(clip, &problem))
        << "parsed a clip the writer refuses: " << problem;
    EXPECT_FALSE(parsed) << c.where;
    EXPECT_NE(error.find(c.where), std::string::npos) << error;
  }
}

// Found by the bvh target: a skeleton without channels took any "Frames:" count on trust (no data
// line to check it against), so 90 bytes claimed 1.5 billion frames and writing the clip out asked
// for gigabytes. The count of a clip without channels must be 0.
TEST(FuzzRegressionBvhTest, ParserRefusesFramesForASkeletonWithoutChannels) {
  const std::string hierarchy = "HIERARCHY\nROOT Hips\n{\n\tOFFSET 2 0 0\n}\nMOTION\n";
  bvh::Clip clip;
  std::string error;
  EXPECT_FALSE(bvh::ParseBvhText(hierarchy + "Frames: 1570097149\nFrame Time: 333\n", "none.bvh",
                                 &clip, &error));
  EXPECT_NE(error.find("none.bvh:7:"), std::string::npos) << error;
  EXPECT_NE(error.find("no channels"), std::string::npos) << error;
  EXPECT_TRUE(
      bvh::ParseBvhText(hierarchy + "Frames: 0\nFrame Time: 0.1\n", "none.bvh", &clip, &error))
      << error;
}

}  // namespace

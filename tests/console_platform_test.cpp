// The headless host's file calls on each platform: writing a take over one that is already there
// replaces it (Windows' rename refuses an existing target, so the port must ask for replacing),
// and a failed move leaves the source in place.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "console_platform.h"
#include "test_files.h"

namespace {

using kmq_test::ReadFile;

void Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

TEST(ConsolePlatform, ReplacingAFileThatExistsGivesTheNewContents) {
  const std::string target = ::testing::TempDir() + "kmq_replace_target.txt";
  const std::string part = target + ".part";
  Write(target, "old take");
  Write(part, "new take");
  ASSERT_TRUE(kmq::ReplaceFileWith(part, target));
  EXPECT_EQ(ReadFile(target), "new take");
  EXPECT_FALSE(std::ifstream(part).good());
  std::remove(target.c_str());
}

TEST(ConsolePlatform, MovingIntoAMissingFolderFailsAndKeepsTheSource) {
  const std::string part = ::testing::TempDir() + "kmq_replace_source.part";
  Write(part, "take");
  EXPECT_FALSE(kmq::ReplaceFileWith(part, ::testing::TempDir() + "kmq_no_such_folder/take.bvh"));
  EXPECT_EQ(ReadFile(part), "take");
  std::remove(part.c_str());
}

}  // namespace

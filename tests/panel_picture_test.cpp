// kovrim-panel-picture run as a user runs it: it loads the plug-in, draws the device panel for the
// host version asked for into the SVG file named, and fails with a message when it cannot.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

using childtest::ChildProcess;

class PanelPictureToolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::remove(mSvg.c_str());
    std::remove(mPng.c_str());  // Written too when rsvg-convert is installed.
  }

  // Runs the tool with args; its exit status.
  int Run(const std::vector<std::string>& args) {
    EXPECT_TRUE(mTool.Spawn(KMQ_PANEL_PICTURE_BINARY, args));
    return mTool.WaitForExit();
  }

  std::string Picture() const {
    std::ifstream in(mSvg, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  const std::string mBase = ::testing::TempDir() + "kmq_panel_picture_" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string mSvg = mBase + ".svg";
  const std::string mPng = mBase + ".png";
  ChildProcess mTool;
};

TEST_F(PanelPictureToolTest, DrawsThePanelWithTheCharacterizeButtonOnACurrentHost) {
  ASSERT_EQ(Run({"--out", mSvg}), 0) << mTool.Output() << mTool.Errors();
  EXPECT_NE(mTool.Output().find("Wrote " + mSvg + " (host version 19000)"), std::string::npos)
      << mTool.Output();
  const std::string svg = Picture();
  EXPECT_EQ(svg.rfind("<svg", 0), 0u) << svg.substr(0, 200);
  EXPECT_NE(svg.find("Request Bvh Header"), std::string::npos);
  EXPECT_NE(svg.find("TCP Settings"), std::string::npos);
  EXPECT_NE(svg.find(">Characterize<"), std::string::npos);
}

TEST_F(PanelPictureToolTest, LeavesTheCharacterizeButtonOutOnAnOlderHost) {
  ASSERT_EQ(Run({"--version", "12000", "--out", mSvg}), 0) << mTool.Output() << mTool.Errors();
  EXPECT_NE(mTool.Output().find("(host version 12000)"), std::string::npos) << mTool.Output();
  const std::string svg = Picture();
  EXPECT_NE(svg.find("Request Bvh Header"), std::string::npos);
  EXPECT_EQ(svg.find(">Characterize<"), std::string::npos);
}

TEST_F(PanelPictureToolTest, FailsWithAMessageWhenThePluginCannotBeLoaded) {
  EXPECT_EQ(Run({"--plugin", mBase + "_missing.so", "--out", mSvg}), 1);
  EXPECT_NE(mTool.Errors().find("error: cannot load the plug-in"), std::string::npos)
      << mTool.Errors();
  EXPECT_EQ(Picture(), "");
}

}  // namespace

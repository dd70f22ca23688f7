// Parser and writer of BVH files, on the bundled captures and on small hand-written texts.
#include "bvh.h"
#include "bvh_fingers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

std::string DataFile(const std::string& name) { return std::string(KMQ_DATA_DIR) + "/bvh/" + name; }

bvh::Clip ParseOrFail(const std::string& text) {
  bvh::Clip clip;
  std::string error;
  EXPECT_TRUE(bvh::ParseBvhText(text, "inline.bvh", &clip, &error)) << error;
  return clip;
}

const bvh::Joint* FindJoint(const bvh::Joint& root, const std::string& name) {
  for (const bvh::Joint* joint : bvh::JointsInOrder(root)) {
    if (joint->mName == name) return joint;
  }
  return nullptr;
}

// Compares two trees field by field, offsets exactly: the writer must not lose a bit.
void ExpectSameTree(const bvh::Joint& a, const bvh::Joint& b) {
  SCOPED_TRACE(a.mName);
  EXPECT_EQ(a.mName, b.mName);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a.mOffset[i], b.mOffset[i]);
  EXPECT_EQ(a.mChannels, b.mChannels);
  EXPECT_EQ(a.mHasEndSite, b.mHasEndSite);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a.mEndSite[i], b.mEndSite[i]);
  ASSERT_EQ(a.mChildren.size(), b.mChildren.size());
  for (size_t i = 0; i < a.mChildren.size(); ++i) ExpectSameTree(a.mChildren[i], b.mChildren[i]);
}

void ExpectSameClip(const bvh::Clip& a, const bvh::Clip& b) {
  ExpectSameTree(a.mRoot, b.mRoot);
  EXPECT_EQ(a.mFrameTime, b.mFrameTime);
  EXPECT_EQ(a.mFrameCount, b.mFrameCount);
  EXPECT_EQ(a.mChannelCount, b.mChannelCount);
  ASSERT_EQ(a.mValues.size(), b.mValues.size());
  // memcmp, so that -0 and 0 count as different: the round trip keeps every bit.
  EXPECT_EQ(0, std::memcmp(a.mValues.data(), b.mValues.data(), a.mValues.size() * sizeof(float)));
}

// A chain of depth + 1 joints, each with one channel, and one frame.
std::string Chain(int depth) {
  std::string text = "HIERARCHY\nROOT J0\n{\nOFFSET 0 0 0\nCHANNELS 1 Xrotation\n";
  for (int i = 1; i <= depth; ++i) {
    text += "JOINT J" + std::to_string(i) + "\n{\nOFFSET 0 1 0\nCHANNELS 1 Xrotation\n";
  }
  for (int i = 0; i <= depth; ++i) text += "}\n";
  text += "MOTION\nFrames: 1\nFrame Time: 1\n";
  for (int i = 0; i <= depth; ++i) text += "1 ";
  return text + "\n";
}

struct BundledFile {
  const char* mFile;
  const char* mRootName;
  int mJoints;
  int mEndSites;
  int mChannels;
  int mFrames;
  double mFrameTime;
  int mMaxDepth;
  std::vector<float> mFirstValues;
  std::vector<float> mLastValues;
};

void PrintTo(const BundledFile& file, std::ostream* out) { *out << file.mFile; }

class BundledBvhTest : public ::testing::TestWithParam<BundledFile> {};

TEST_P(BundledBvhTest, ParsesWithTheDocumentedShape) {
  const BundledFile& expected = GetParam();
  bvh::Clip clip;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(DataFile(expected.mFile), &clip, &error)) << error;
  EXPECT_EQ(clip.mRoot.mName, expected.mRootName);
  EXPECT_EQ(bvh::CountJoints(clip.mRoot), expected.mJoints);
  EXPECT_EQ(bvh::CountEndSites(clip.mRoot), expected.mEndSites);
  EXPECT_EQ(clip.mChannelCount, expected.mChannels);
  EXPECT_EQ(bvh::CountChannels(clip.mRoot), expected.mChannels);
  EXPECT_EQ(clip.mFrameCount, expected.mFrames);
  EXPECT_DOUBLE_EQ(clip.mFrameTime, expected.mFrameTime);
  EXPECT_EQ(bvh::MaxDepth(clip.mRoot), expected.mMaxDepth);
  ASSERT_EQ(clip.mValues.size(), static_cast<size_t>(expected.mFrames) * expected.mChannels);
  for (size_t i = 0; i < expected.mFirstValues.size(); ++i) {
    EXPECT_EQ(clip.mValues[i], expected.mFirstValues[i]) << "value " << i;
  }
  const size_t tail = clip.mValues.size() - expected.mLastValues.size();
  for (size_t i = 0; i < expected.mLastValues.size(); ++i) {
    EXPECT_EQ(clip.mValues[tail + i], expected.mLastValues[i]) << "value " << tail + i;
  }
  std::string problem;
  EXPECT_TRUE(bvh::ValidateClip(clip, &problem)) << problem;
}

TEST_P(BundledBvhTest, WriteThenParseGivesTheSameClip) {
  bvh::Clip clip;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(DataFile(GetParam().mFile), &clip, &error)) << error;
  bvh::Clip again;
  ASSERT_TRUE(bvh::ParseBvhText(bvh::WriteBvh(clip), "written.bvh", &again, &error)) << error;
  ExpectSameClip(clip, again);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, BundledBvhTest,
    ::testing::Values(BundledFile{"cmu_12_01_walk.bvh",
                                  "Hips",
                                  31,
                                  7,
                                  96,
                                  524,
                                  0.0083333,
                                  9,
                                  {0.0265f, 16.2134f, -25.4911f, 0, 0, 0, 0, 0, 0, -21},
                                  {12.1243f, -11.8642f, 9.5953f}},
                      BundledFile{"cmu_01_01.bvh",
                                  "Hips",
                                  31,
                                  7,
                                  96,
                                  2752,
                                  0.0083333,
                                  9,
                                  {9.3722f, 17.8693f, -17.3198f, 0, 0, 0, 0, 0, 0, -17},
                                  {7.5266f, -49.9570f, -0.9244f}},
                      BundledFile{
                          "makehuman_walk1.bvh",
                          "Root",
                          75,
                          16,
                          228,
                          14,
                          0.041667,
                          12,
                          {0, 0, 0, -3.255159f, -3.375339f, -0.883351f, -0.641683f, 1.249584f},
                          {-0.000003f, 0.000005f, 0}}),
    [](const ::testing::TestParamInfo<BundledFile>& param) {
      std::string name = param.param.mFile;
      return name.substr(0, name.find('.'));
    });

TEST(BvhTest, BundledCapturesKeepTheirChannelOrdersAndNames) {
  bvh::Clip cmu;
  bvh::Clip makehuman;
  bvh::Clip subject1;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(DataFile("cmu_12_01_walk.bvh"), &cmu, &error)) << error;
  ASSERT_TRUE(bvh::ParseBvhFile(DataFile("makehuman_walk1.bvh"), &makehuman, &error)) << error;
  ASSERT_TRUE(bvh::ParseBvhFile(DataFile("cmu_01_01.bvh"), &subject1, &error)) << error;

  using V = std::vector<int>;
  EXPECT_EQ(cmu.mRoot.mChannels, (V{bvh::kXposition, bvh::kYposition, bvh::kZposition,
                                    bvh::kZrotation, bvh::kYrotation, bvh::kXrotation}));
  std::vector<const bvh::Joint*> joints = bvh::JointsInOrder(cmu.mRoot);
  EXPECT_EQ(joints[1]->mName, "LHipJoint");
  EXPECT_EQ(joints.back()->mName, "RThumb");
  for (size_t i = 1; i < joints.size(); ++i) {
    EXPECT_EQ(joints[i]->mChannels, (V{bvh::kZrotation, bvh::kYrotation, bvh::kXrotation}));
  }
  const bvh::Joint* leftUpLeg = FindJoint(cmu.mRoot, "LeftUpLeg");
  ASSERT_NE(leftUpLeg, nullptr);
  EXPECT_DOUBLE_EQ(leftUpLeg->mOffset[0], 2.10660);
  EXPECT_DOUBLE_EQ(leftUpLeg->mOffset[1], -1.59283);

  EXPECT_NE(FindJoint(subject1.mRoot, "LFingers"), nullptr);
  EXPECT_EQ(FindJoint(subject1.mRoot, "LeftHandIndex1"), nullptr);

  EXPECT_EQ(makehuman.mRoot.mChannels, (V{bvh::kXposition, bvh::kYposition, bvh::kZposition,
                                          bvh::kXrotation, bvh::kYrotation, bvh::kZrotation}));
  EXPECT_DOUBLE_EQ(makehuman.mRoot.mOffset[1], 1.23529);
  EXPECT_DOUBLE_EQ(makehuman.mRoot.mOffset[2], 9.55688);
  const bvh::Joint* hips = FindJoint(makehuman.mRoot, "Hips");
  ASSERT_NE(hips, nullptr);
  EXPECT_NE(hips, &makehuman.mRoot);
  EXPECT_NE(FindJoint(makehuman.mRoot, "__Jaw"), nullptr);
  // End Sites sit on leaf joints only in these files.
  for (const bvh::Joint* joint : bvh::JointsInOrder(makehuman.mRoot)) {
    EXPECT_TRUE(!joint->mHasEndSite || joint->mChildren.empty()) << joint->mName;
  }
}

TEST(BvhTest, ReadsEveryLineEndingAndSpacing) {
  const std::string body[] = {"HIERARCHY",
                              "ROOT  Hips  ",
                              "{",
                              "\tOFFSET\t1 2 3 ",
                              "\tchannels 3 xposition YROTATION zRotation\t",
                              "\tEnd Site",
                              "\t{",
                              "OFFSET 0 5 0",
                              "\t}",
                              "}",
                              "MOTION",
                              "Frames:\t2",
                              "Frame  Time: .0083333",
                              "1 -1.2e-05 +3",
                              "4 .5 6"};
  for (const char* ending : {"\n", "\r\n", "\r"}) {
    std::string text;
    for (const std::string& line : body) text += line + ending;
    SCOPED_TRACE(testing::PrintToString(ending));
    bvh::Clip clip = ParseOrFail(text);
    EXPECT_EQ(clip.mRoot.mName, "Hips");
    EXPECT_EQ(clip.mRoot.mChannels,
              (std::vector<int>{bvh::kXposition, bvh::kYrotation, bvh::kZrotation}));
    EXPECT_EQ(clip.mRoot.mOffset[2], 3.0);
    EXPECT_TRUE(clip.mRoot.mHasEndSite);
    EXPECT_EQ(clip.mRoot.mEndSite[1], 5.0);
    EXPECT_DOUBLE_EQ(clip.mFrameTime, 0.0083333);
    EXPECT_EQ(clip.mValues, (std::vector<float>{1, -1.2e-05f, 3, 4, 0.5f, 6}));
  }
  // Mixed endings, a byte order mark, blank lines and braces on the name's line.
  bvh::Clip mixed = ParseOrFail(
      "\xEF\xBB\xBFHIERARCHY\r\nROOT Hips {\nOFFSET 0 0 0\r\nCHANNELS 1 Xrotation\r"
      "JOINT Left Arm{\r\n OFFSET 1 0 0\n CHANNELS 0\n}\n}\r\n\r\nMOTION\nFrames: 2\r\n"
      "Frame Time: 0.5\r\n\r\n7\r\n   \r\n8\r\n");
  EXPECT_EQ(mixed.mRoot.mChildren.at(0).mName, "Left Arm");
  EXPECT_TRUE(mixed.mRoot.mChildren[0].mChannels.empty());
  EXPECT_EQ(mixed.mValues, (std::vector<float>{7, 8}));
}

TEST(BvhTest, IgnoresDataLinesBeyondTheFrameCount) {
  bvh::Clip clip = ParseOrFail(
      "HIERARCHY\nROOT R\n{\nOFFSET 0 0 0\nCHANNELS 2 Xrotation Yrotation\n}\nMOTION\n"
      "Frames: 1\nFrame Time: 0.1\n1 2\n3 4\nnot even numbers\n");
  EXPECT_EQ(clip.mFrameCount, 1);
  EXPECT_EQ(clip.mValues, (std::vector<float>{1, 2}));
}

TEST(BvhTest, AcceptsNestingUpToTheBoundAndRefusesDeeper) {
  bvh::Clip clip = ParseOrFail(Chain(bvh::kMaxJointDepth));
  EXPECT_EQ(bvh::MaxDepth(clip.mRoot), bvh::kMaxJointDepth);

  std::string error;
  EXPECT_FALSE(bvh::ParseBvhText(Chain(bvh::kMaxJointDepth + 1), "deep.bvh", &clip, &error));
  EXPECT_NE(error.find("deep.bvh:"), std::string::npos) << error;
  EXPECT_NE(error.find("nested deeper than 512"), std::string::npos) << error;
}

TEST(BvhTest, ReportsErrorsWithFileAndLine) {
  const std::string head = "HIERARCHY\nROOT R\n{\nOFFSET 0 0 0\nCHANNELS 2 Xrotation Yrotation\n";
  const std::string motion = "}\nMOTION\nFrames: 2\nFrame Time: 0.1\n";  // lines 6..9
  struct Case {
    std::string mText;
    std::string mWhere;  // "bad.bvh:<line>:"
    std::string mFragment;
  };
  const Case cases[] = {
      {"", "bad.bvh:1:", "expected HIERARCHY"},
      {head + "OFSET 1 2 3\n" + motion, "bad.bvh:6:", "unknown keyword 'OFSET'"},
      {head + "JOINT C\n{\nOFFSET 0 0 0\nMOTION\n", "bad.bvh:9:", "unbalanced braces"},
      {head + "}\n}\nMOTION\n", "bad.bvh:7:", "unbalanced braces"},
      {head + "JOINT C\n{\nOFFSET 0 0 0\n", "bad.bvh:8:", "never closed"},
      {head + motion + "1 2\n3\n", "bad.bvh:11:", "data line has 1 values, expected 2"},
      {head + motion + "1 2\n3 4 5\n", "bad.bvh:11:", "data line has more values"},
      {head + motion + "1 2\n", "bad.bvh:10:", "Frames: says 2 but the file has only 1"},
      {head + motion + "1 2\n3 four\n", "bad.bvh:11:", "value 2 is not a number: 'four'"},
      {head + motion + "1 2\n3 1e39\n", "bad.bvh:11:", "not a number: '1e39'"},
      {head + motion + "1 2\n3 nan\n", "bad.bvh:11:", "not a number: 'nan'"},
      {"HIERARCHY\nROOT R\n{\nOFFSET 0 0 0\nCHANNELS 3 Xrotation Yrotation\n}\n",
       "bad.bvh:5:", "channel count mismatch: CHANNELS declares 3 but lists 2"},
      {"HIERARCHY\nROOT R\n{\nOFFSET 0 0 0\nCHANNELS 1 Xrotation Yrotation\n}\n",
       "bad.bvh:5:", "channel count mismatch: CHANNELS declares 1 but lists more"},
      {"HIERARCHY\nROOT R\n{\nOFFSET 0 0 0\nCHANNELS 2 Xrotation Wrotation\n}\n",
       "bad.bvh:5:", "unknown channel name 'Wrotation'"},
      {"HIERARCHY\nROOT R\n{\nOFFSET 0 0 0\nCHANNELS 7\n}\n",
       "bad.bvh:5:", "CHANNELS count must be 0 to 6"},
      {"HIERARCHY\nROOT R\n{\nOFFSET 0 0\nCHANNELS 0\n}\n",
       "bad.bvh:5:", "OFFSET needs 3 numbers, found 'CHANNELS'"},
      {"HIERARCHY\nROOT R\n{\nCHANNELS 0\n}\nMOTION\n", "bad.bvh:3:", "has no OFFSET"},
      {head + "}\n", "bad.bvh:6:", "missing MOTION"},
      {head + "}\nROOT S\n", "bad.bvh:7:", "second ROOT"},
      {head + "}\nMOTION\nFrames: x\n", "bad.bvh:8:", "Frames: needs a whole number"},
      {head + "}\nMOTION\nFrames: 99999999999\n", "bad.bvh:8:", "too large"},
      {head + "}\nMOTION\nFrames: 1\nFrame Time: 0\n", "bad.bvh:9:", "must be positive"},
      {head + "}\nMOTION\nFrame Time: 0.1\n", "bad.bvh:8:", "expected 'Frames:'"},
      // A count no text could hold fails on the missing lines, not on allocation.
      {head + "}\nMOTION\nFrames: 2000000000\nFrame Time: 0.1\n1 2\n",
       "bad.bvh:10:", "only 1 data lines"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    bvh::Clip clip;
    std::string error;
    EXPECT_FALSE(bvh::ParseBvhText(c.mText, "bad.bvh", &clip, &error));
    EXPECT_EQ(error.rfind(c.mWhere, 0), 0u) << error;
    EXPECT_NE(error.find(c.mFragment), std::string::npos) << error;
  }
}

TEST(BvhTest, FileErrorsNameThePath) {
  bvh::Clip clip;
  std::string error;
  EXPECT_FALSE(bvh::ParseBvhFile("/nonexistent/walk.bvh", &clip, &error));
  EXPECT_NE(error.find("/nonexistent/walk.bvh"), std::string::npos) << error;
}

TEST(BvhTest, WriterRoundTripsHandMadeValues) {
  bvh::Clip clip = ParseOrFail(Chain(3));
  clip.mRoot.mName = "Root With Spaces";
  clip.mRoot.mOffset[0] = 0.1;
  clip.mRoot.mChildren[0].mHasEndSite = true;  // a joint with both a child and an End Site
  clip.mRoot.mChildren[0].mEndSite[2] = -1e-300;
  clip.mValues = {0.1f, -0.0f, 1e-42f, 3.4e38f};
  std::string error;
  ASSERT_TRUE(bvh::ValidateClip(clip, &error)) << error;
  bvh::Clip again;
  ASSERT_TRUE(bvh::ParseBvhText(bvh::WriteBvh(clip), "w.bvh", &again, &error)) << error;
  ExpectSameClip(clip, again);
}

TEST(BvhTest, ValidateClipRefusesInconsistentClips) {
  const bvh::Clip good = ParseOrFail(Chain(2));
  std::string error;
  ASSERT_TRUE(bvh::ValidateClip(good, &error)) << error;

  bvh::Clip clip = good;
  clip.mValues.pop_back();
  EXPECT_FALSE(bvh::ValidateClip(clip, &error));
  clip = good;
  clip.mChannelCount = 2;
  EXPECT_FALSE(bvh::ValidateClip(clip, &error));
  clip = good;
  clip.mRoot.mChannels.push_back(bvh::kXrotation);  // repeated
  clip.mChannelCount = 4;
  clip.mValues.push_back(0);
  EXPECT_FALSE(bvh::ValidateClip(clip, &error));
  clip = good;
  clip.mRoot.mChildren[0].mName = "Bad\nName";
  EXPECT_FALSE(bvh::ValidateClip(clip, &error));
  clip = good;
  clip.mFrameTime = 0;
  EXPECT_FALSE(bvh::ValidateClip(clip, &error));
}

}  // namespace

namespace {

TEST(BvhFingersTest, ChainsBelowTheHandsReachTheJointCountAndKeepTheCapture) {
  bvh::Clip original;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(DataFile("cmu_12_01_walk.bvh"), &original, &error)) << error;
  for (int target : {31, 59, 173}) {
    SCOPED_TRACE(target);
    bvh::Clip clip = original;
    ASSERT_TRUE(bvh::AddFingerChains(&clip, target, &error)) << error;
    EXPECT_EQ(bvh::CountJoints(clip.mRoot), target);
    ASSERT_EQ(clip.mFrameCount, original.mFrameCount);
    ASSERT_EQ(clip.mValues.size(),
              static_cast<size_t>(clip.mFrameCount) * static_cast<size_t>(clip.mChannelCount));
    // The capture's own joints keep their channel values, found by name in the new order.
    std::vector<const bvh::Joint*> before = bvh::JointsInOrder(original.mRoot);
    std::vector<const bvh::Joint*> after = bvh::JointsInOrder(clip.mRoot);
    auto start = [](const std::vector<const bvh::Joint*>& order, const std::string& name) {
      int offset = 0;
      for (const bvh::Joint* joint : order) {
        if (joint->mName == name) return offset;
        offset += static_cast<int>(joint->mChannels.size());
      }
      return -1;
    };
    for (const char* name : {"Hips", "LeftHand", "LeftHandIndex1", "RThumb", "Head"}) {
      const int from = start(before, name), to = start(after, name);
      ASSERT_GE(from, 0);
      ASSERT_GE(to, 0);
      for (int frame : {0, 100, clip.mFrameCount - 1}) {
        for (int c = 0; c < 3; ++c) {
          EXPECT_EQ(clip.mValues[frame * clip.mChannelCount + to + c],
                    original.mValues[frame * original.mChannelCount + from + c])
              << name << " frame " << frame;
        }
      }
    }
    // Fingers move, and the file parses back to the same clip.
    if (target > 31) {
      const int finger = start(after, "LeftFinger0_1");
      ASSERT_GE(finger, 0);
      EXPECT_NE(clip.mValues[finger], clip.mValues[100 * clip.mChannelCount + finger]);
    }
    bvh::Clip back;
    ASSERT_TRUE(bvh::ParseBvhText(bvh::WriteBvh(clip), "fingers", &back, &error)) << error;
    EXPECT_EQ(back.mValues, clip.mValues);
    EXPECT_EQ(bvh::CountEndSites(back.mRoot), bvh::CountEndSites(clip.mRoot));
  }
  bvh::Clip clip = original;
  EXPECT_FALSE(bvh::AddFingerChains(&clip, 30, &error));
}

}  // namespace

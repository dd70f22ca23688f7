// Contact sheet: global joint positions against forward kinematics computed here independently,
// and the SVG's drawings (one per chosen frame and view, one line per bone, upright figures).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "bvh.h"
#include "contact_sheet.h"
#include "test_rotation.h"

namespace {

using Vec = std::array<double, 3>;
using testmath::Identity;
using testmath::Mat3;
using testmath::Multiply;

// ---- Reference forward kinematics: rotation matrix and translation per joint, recursive. ----
Vec Apply(const Mat3& r, const Vec& v) {
  const auto& m = r.m;
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

void Reference(const bvh::Joint& joint, const float* row, size_t* cursor, const Mat3& parentRot,
               const Vec& parentPos, std::vector<Vec>* out) {
  Vec local = {joint.mOffset[0], joint.mOffset[1], joint.mOffset[2]};
  Mat3 rotation = Identity();
  for (int code : joint.mChannels) {
    const double value = static_cast<double>(row[(*cursor)++]);
    if (code <= bvh::kZposition) {
      local[static_cast<size_t>(code)] = value;
    } else {
      rotation = Multiply(rotation, testmath::AxisRotation(code - bvh::kXrotation, value));
    }
  }
  const Vec moved = Apply(parentRot, local);
  const Vec position = {parentPos[0] + moved[0], parentPos[1] + moved[1], parentPos[2] + moved[2]};
  const Mat3 global = Multiply(parentRot, rotation);
  out->push_back(position);
  for (const bvh::Joint& child : joint.mChildren) {
    Reference(child, row, cursor, global, position, out);
  }
  if (joint.mHasEndSite) {
    const Vec end = Apply(global, {joint.mEndSite[0], joint.mEndSite[1], joint.mEndSite[2]});
    out->push_back({position[0] + end[0], position[1] + end[1], position[2] + end[2]});
  }
}

std::vector<Vec> ReferencePositions(const bvh::Clip& clip, int frame) {
  std::vector<Vec> out;
  size_t cursor = 0;
  Reference(clip.mRoot, clip.mValues.data() + static_cast<size_t>(frame) * clip.mChannelCount,
            &cursor, Identity(), {0, 0, 0}, &out);
  return out;
}

bvh::Clip Load(const std::string& name) {
  bvh::Clip clip;
  std::string error;
  EXPECT_TRUE(bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/" + name, &clip, &error))
      << error;
  return clip;
}

void ExpectNear(const std::vector<std::array<double, 3>>& actual, const std::vector<Vec>& expected,
                double tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    for (size_t axis = 0; axis < 3; ++axis) {
      EXPECT_NEAR(actual[i][axis], expected[i][axis], tolerance)
          << "point " << i << " axis " << axis;
    }
  }
}

bvh::Joint Bone(const std::string& name, std::vector<int> channels, Vec offset) {
  bvh::Joint joint;
  joint.mName = name;
  joint.mChannels = std::move(channels);
  for (size_t i = 0; i < 3; ++i) joint.mOffset[i] = offset[i];
  return joint;
}

// Root, middle and tip joints in a line up Y, and an end site above the tip.
bvh::Clip ThreeJoints(std::vector<int> rootChannels, std::vector<float> values) {
  bvh::Clip clip;
  clip.mRoot = Bone("Root", std::move(rootChannels), {0, 0, 0});
  bvh::Joint middle = Bone("Middle", {}, {0, 1, 0});
  bvh::Joint tip = Bone("Tip", {}, {0, 1, 0});
  tip.mHasEndSite = true;
  tip.mEndSite[1] = 1;
  middle.mChildren.push_back(tip);
  clip.mRoot.mChildren.push_back(middle);
  clip.mChannelCount = bvh::CountChannels(clip.mRoot);
  clip.mFrameCount = 1;
  clip.mFrameTime = 0.1;
  clip.mValues = std::move(values);
  return clip;
}

TEST(ContactSheetTest, QuarterTurnAboutZMovesTheChainOntoMinusX) {
  const bvh::Clip clip = ThreeJoints({bvh::kZrotation}, {90});
  std::vector<std::array<double, 3>> positions;
  ASSERT_TRUE(kmq::ComputeGlobalPositions(clip, 0, &positions));
  ExpectNear(positions, {{0, 0, 0}, {-1, 0, 0}, {-2, 0, 0}, {-3, 0, 0}}, 1e-12);
  const std::vector<kmq::SkeletonPoint> points = kmq::SkeletonPoints(clip.mRoot);
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[0].mParent, -1);
  EXPECT_EQ(points[2].mName, "Tip");
  EXPECT_EQ(points[3].mName, "Tip_End");
  EXPECT_TRUE(points[3].mIsEndSite);
  EXPECT_EQ(points[3].mParent, 2);
}

TEST(ContactSheetTest, RotationsComposeInListedOrderAfterTheTranslation) {
  // The position channels replace the offset (7,7,7). For a child along X:
  // Rx(90) * Ry(90) * (1,0,0) = (0,1,0) but Ry(90) * Rx(90) * (1,0,0) = (0,0,-1).
  auto clipWith = [](std::vector<int> channels, std::vector<float> values) {
    bvh::Clip clip;
    clip.mRoot = Bone("Root", std::move(channels), {7, 7, 7});
    clip.mRoot.mChildren.push_back(Bone("Child", {}, {1, 0, 0}));
    clip.mChannelCount = bvh::CountChannels(clip.mRoot);
    clip.mFrameCount = 1;
    clip.mFrameTime = 0.1;
    clip.mValues = std::move(values);
    return clip;
  };
  std::vector<std::array<double, 3>> positions;
  ASSERT_TRUE(kmq::ComputeGlobalPositions(
      clipWith(
          {bvh::kXposition, bvh::kYposition, bvh::kZposition, bvh::kXrotation, bvh::kYrotation},
          {1, 2, 3, 90, 90}),
      0, &positions));
  ExpectNear(positions, {{1, 2, 3}, {1, 3, 3}}, 1e-12);
  ASSERT_TRUE(kmq::ComputeGlobalPositions(
      clipWith(
          {bvh::kXposition, bvh::kYposition, bvh::kZposition, bvh::kYrotation, bvh::kXrotation},
          {1, 2, 3, 90, 90}),
      0, &positions));
  ExpectNear(positions, {{1, 2, 3}, {1, 2, 2}}, 1e-12);
  // A lone Yposition channel replaces only Y of the offset.
  ASSERT_TRUE(kmq::ComputeGlobalPositions(clipWith({bvh::kYposition}, {2}), 0, &positions));
  ExpectNear(positions, {{7, 2, 7}, {8, 2, 7}}, 1e-12);
}

TEST(ContactSheetTest, BundledCapturesMatchIndependentForwardKinematics) {
  const bvh::Clip walk = Load("cmu_12_01_walk.bvh");
  std::vector<std::array<double, 3>> positions;
  for (int frame : {0, 1, 100, 317, walk.mFrameCount - 1}) {
    SCOPED_TRACE(frame);
    ASSERT_TRUE(kmq::ComputeGlobalPositions(walk, frame, &positions));
    EXPECT_EQ(positions.size(), 38u);  // 31 joints and 7 end sites
    ExpectNear(positions, ReferencePositions(walk, frame), 1e-9);
  }
  // X Y Z rotations, a root offset that the position channels replace, 91 points.
  const bvh::Clip human = Load("makehuman_walk1.bvh");
  for (int frame : {0, 7, human.mFrameCount - 1}) {
    SCOPED_TRACE(frame);
    ASSERT_TRUE(kmq::ComputeGlobalPositions(human, frame, &positions));
    EXPECT_EQ(positions.size(), 91u);
    ExpectNear(positions, ReferencePositions(human, frame), 1e-9);
  }
}

TEST(ContactSheetTest, RefusesFramesOutOfRangeAndMismatchedClips) {
  bvh::Clip clip = ThreeJoints({bvh::kZrotation}, {90});
  std::vector<std::array<double, 3>> positions = {{5, 5, 5}};
  EXPECT_FALSE(kmq::ComputeGlobalPositions(clip, -1, &positions));
  EXPECT_FALSE(kmq::ComputeGlobalPositions(clip, 1, &positions));
  EXPECT_FALSE(kmq::ComputeGlobalPositions(clip, 0, nullptr));
  EXPECT_EQ(positions.size(), 1u);
  clip.mValues.clear();
  EXPECT_FALSE(kmq::ComputeGlobalPositions(clip, 0, &positions));
  EXPECT_EQ(kmq::RenderContactSheet(clip, kmq::ContactSheetOptions()), "");
  clip = ThreeJoints({bvh::kZrotation}, {90});
  clip.mRoot.mChannels = {9};  // no such channel
  EXPECT_FALSE(kmq::ComputeGlobalPositions(clip, 0, &positions));
}

TEST(ContactSheetTest, ChosenFramesAreEvenlySpreadWithBothEnds) {
  EXPECT_EQ(kmq::ContactSheetFrames(524, 8),
            (std::vector<int>{0, 75, 149, 224, 299, 374, 448, 523}));
  EXPECT_EQ(kmq::ContactSheetFrames(5, 8), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(kmq::ContactSheetFrames(100, 1), (std::vector<int>{0}));
  EXPECT_EQ(kmq::ContactSheetFrames(100, 2), (std::vector<int>{0, 99}));
  EXPECT_TRUE(kmq::ContactSheetFrames(0, 8).empty());
}

// The text of every <g class="view KIND" data-frame="N"> group, with its frame number.
struct View {
  std::string mKind;
  int mFrame = -1;
  std::string mBody;
};

std::vector<View> Views(const std::string& svg) {
  std::vector<View> views;
  const std::string open = "<g class=\"view ";
  for (size_t at = svg.find(open); at != std::string::npos; at = svg.find(open, at + 1)) {
    View view;
    const size_t kindEnd = svg.find('"', at + open.size());
    view.mKind = svg.substr(at + open.size(), kindEnd - at - open.size());
    const size_t frameAt = svg.find("data-frame=\"", kindEnd) + 12;
    view.mFrame = std::atoi(svg.c_str() + frameAt);
    view.mBody = svg.substr(at, svg.find("</g>", at) - at);
    views.push_back(view);
  }
  return views;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// cx or cy of the circle named name in a view.
double Coordinate(const std::string& body, const std::string& name, const char* attribute) {
  const size_t circle = body.find("data-name=\"" + name + "\"");
  EXPECT_NE(circle, std::string::npos) << name;
  if (circle == std::string::npos) return 0;
  const size_t at = body.find(std::string(attribute) + "=\"", circle);
  return std::atof(body.c_str() + at + std::string(attribute).size() + 2);
}

TEST(ContactSheetTest, SheetDrawsEveryChosenFrameInBothViewsWithEveryBone) {
  const bvh::Clip walk = Load("cmu_12_01_walk.bvh");
  kmq::ContactSheetOptions options;
  options.mTitle = "walk <test> & more";
  const std::string svg = kmq::RenderContactSheet(walk, options);
  ASSERT_FALSE(svg.empty());
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("walk &lt;test&gt; &amp; more"), std::string::npos);
  const std::vector<View> views = Views(svg);
  const std::vector<int> frames = kmq::ContactSheetFrames(walk.mFrameCount, 8);
  ASSERT_EQ(views.size(), 2 * frames.size());
  const size_t bones = kmq::SkeletonPoints(walk.mRoot).size() - 1;
  EXPECT_EQ(bones, 37u);
  for (size_t i = 0; i < frames.size(); ++i) {
    const View& front = views[2 * i];
    const View& side = views[2 * i + 1];
    EXPECT_EQ(front.mKind, "front");
    EXPECT_EQ(side.mKind, "side");
    EXPECT_EQ(front.mFrame, frames[i]);
    EXPECT_EQ(side.mFrame, frames[i]);
    EXPECT_EQ(Count(front.mBody, "class=\"bone "), bones);
    EXPECT_EQ(Count(side.mBody, "class=\"bone "), bones);
    EXPECT_EQ(Count(front.mBody, "class=\"joint\""), 31u);
    EXPECT_NE(svg.find("frame " + std::to_string(frames[i]) + " (t = "), std::string::npos);
    // Upright: the head is drawn above the hips (smaller y) in both views of every frame.
    EXPECT_LT(Coordinate(front.mBody, "Head", "cy"), Coordinate(front.mBody, "Hips", "cy") - 20)
        << "frame " << frames[i];
    EXPECT_LT(Coordinate(side.mBody, "Head", "cy"), Coordinate(side.mBody, "Hips", "cy") - 20);
    // Limbs in place: feet below the knees, below the hips.
    EXPECT_GT(Coordinate(front.mBody, "LeftFoot", "cy"), Coordinate(front.mBody, "LeftLeg", "cy"));
    EXPECT_GT(Coordinate(front.mBody, "LeftLeg", "cy"), Coordinate(front.mBody, "Hips", "cy"));
  }
  // One window for the whole take: the walker crosses the side view from first to last frame.
  const double start = Coordinate(views[1].mBody, "Hips", "cx");
  const double end = Coordinate(views.back().mBody, "Hips", "cx");
  EXPECT_GT(std::fabs(end - start), 200.0);
  EXPECT_EQ(Count(svg, "class=\"floor\""), 2 * frames.size());
}

TEST(ContactSheetTest, FrameCountOptionAndNamesAreEscaped) {
  bvh::Clip clip = ThreeJoints({bvh::kZrotation}, {0, 30, 60, 90});
  clip.mFrameCount = 4;
  clip.mRoot.mChildren[0].mName = "Mid<&\">";
  kmq::ContactSheetOptions options;
  options.mFrames = 3;
  const std::string svg = kmq::RenderContactSheet(clip, options);
  const std::vector<View> views = Views(svg);
  ASSERT_EQ(views.size(), 6u);
  EXPECT_EQ(views[0].mFrame, 0);
  EXPECT_EQ(views[2].mFrame, 2);  // round(1.5)
  EXPECT_EQ(views[4].mFrame, 3);
  EXPECT_NE(svg.find("data-name=\"Mid&lt;&amp;&quot;&gt;\""), std::string::npos);
  EXPECT_EQ(svg.find("Mid<"), std::string::npos);
  for (const View& view : views) EXPECT_EQ(Count(view.mBody, "class=\"bone "), 3u);
}

TEST(ContactSheetTest, CommandLine) {
  kmq::ContactSheetArgs args;
  std::string error;
  ASSERT_TRUE(kmq::ParseContactSheetArgs({"takes/walk.bvh"}, &args, &error));
  EXPECT_EQ(args.mOutPath, "takes/walk.svg");
  EXPECT_EQ(args.mFrames, 8);
  ASSERT_TRUE(
      kmq::ParseContactSheetArgs({"--frames", "12", "a.b/take", "--out", "s.svg"}, &args, &error));
  EXPECT_EQ(args.mTakePath, "a.b/take");
  EXPECT_EQ(args.mOutPath, "s.svg");
  EXPECT_EQ(args.mFrames, 12);
  ASSERT_TRUE(kmq::ParseContactSheetArgs({"a.b/take"}, &args, &error));
  EXPECT_EQ(args.mOutPath, "a.b/take.svg");
  ASSERT_TRUE(kmq::ParseContactSheetArgs({"odd.svg"}, &args, &error));
  EXPECT_EQ(args.mOutPath, "odd.svg.svg");  // never the take itself
  EXPECT_FALSE(kmq::ParseContactSheetArgs({"t.bvh", "--out", "t.bvh"}, &args, &error));
  EXPECT_FALSE(kmq::ParseContactSheetArgs({"t.bvh", "--frames", "0"}, &args, &error));
  EXPECT_FALSE(kmq::ParseContactSheetArgs({"t.bvh", "--frames", "-3"}, &args, &error));
  EXPECT_FALSE(kmq::ParseContactSheetArgs({"t.bvh", "--frames", "99999999999"}, &args, &error));
  EXPECT_FALSE(kmq::ParseContactSheetArgs({"t.bvh", "--frames"}, &args, &error));
  EXPECT_FALSE(kmq::ParseContactSheetArgs({}, &args, &error));
  EXPECT_FALSE(kmq::ParseContactSheetArgs({"a.bvh", "b.bvh"}, &args, &error));
  EXPECT_FALSE(kmq::ParseContactSheetArgs({"a.bvh", "--bogus"}, &args, &error));
  EXPECT_NE(error.find("--bogus"), std::string::npos);
}

}  // namespace

// The round trip's comparison of a recorded take with the capture it came from: the take must
// keep the skeleton, and every recorded frame must be one of the capture's frames, in the order
// the server played them. Shared by the in-process round trip and the check of a take recorded
// elsewhere (the Windows build's headless host under wine). Test thread only.
#ifndef KOVRIM_TESTS_SUPPORT_TAKE_COMPARISON_H_
#define KOVRIM_TESTS_SUPPORT_TAKE_COMPARISON_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bvh.h"
#include "test_rotation.h"

namespace takecheck {

constexpr double kTolerance = 1e-4;
// Share of the source frames between the first and the last recorded one that must be in the
// take. A frame read in the same device I/O notification as the next one gets the same key time
// and is replaced by it, and one read while the evaluation gate is closed is not keyed at all; on
// a busy machine the I/O thread can fall several frame periods behind. Three quarters still
// proves that the take follows the stream frame by frame rather than sampling it now and then.
// Under ThreadSanitizer one notification takes longer than a frame period, so only the order
// of the frames is checked there.
#if defined(__SANITIZE_THREAD__)
#define KMQ_SLOW_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KMQ_SLOW_SANITIZER 1
#endif
#endif
#ifdef KMQ_SLOW_SANITIZER
constexpr double kRequiredShare = 0.0;
#else
constexpr double kRequiredShare = 0.75;
#endif

using testmath::Mat3;
using testmath::Multiply;

// A rotation channel's matrix (the rotation channels are x, y, z in order).
inline Mat3 AxisRotation(int channel, double degrees) {
  return testmath::AxisRotation(channel - bvh::kXrotation, degrees);
}

// One joint in one frame: its local rotation (its channels composed in its own listed order,
// the first leftmost) and its local translation (its position channels, else its offset).
struct JointPose {
  Mat3 mRotation;
  double mTranslation[3];
};
using Pose = std::vector<JointPose>;

inline Pose PoseOf(const bvh::Clip& clip, int frame) {
  Pose pose;
  const float* values = clip.mValues.data() + static_cast<size_t>(frame) * clip.mChannelCount;
  for (const bvh::Joint* joint : bvh::JointsInOrder(clip.mRoot)) {
    JointPose jointPose{{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}},
                        {joint->mOffset[0], joint->mOffset[1], joint->mOffset[2]}};
    for (int channel : joint->mChannels) {
      const double value = static_cast<double>(*values++);
      if (channel <= bvh::kZposition) {
        jointPose.mTranslation[channel] = value;
      } else {
        jointPose.mRotation = Multiply(jointPose.mRotation, AxisRotation(channel, value));
      }
    }
    pose.push_back(jointPose);
  }
  return pose;
}

inline bool SamePose(const Pose& a, const Pose& b) {
  if (a.size() != b.size()) return false;
  for (size_t j = 0; j < a.size(); ++j) {
    for (int i = 0; i < 3; ++i) {
      if (std::fabs(a[j].mTranslation[i] - b[j].mTranslation[i]) > kTolerance) return false;
      for (int k = 0; k < 3; ++k) {
        if (std::fabs(a[j].mRotation.m[i][k] - b[j].mRotation.m[i][k]) > kTolerance) return false;
      }
    }
  }
  return true;
}

// How the recorded frames sit in the looping source: each must be found after the previous one's
// source frame (wrapping around), and the span counts the source frames passed over.
struct Alignment {
  bool mComplete = false;
  int mFirstUnmatched = -1;
  long mSpan = 0;  // source frames from the first match to the last, inclusive
};

inline Alignment Align(const std::vector<Pose>& take, const std::vector<Pose>& source, int start) {
  Alignment alignment;
  const int n = static_cast<int>(source.size());
  int previous = start;
  alignment.mSpan = 1;
  for (size_t r = 1; r < take.size(); ++r) {
    int step = 1;
    while (step <= n && !SamePose(take[r], source[(previous + step) % n])) ++step;
    if (step > n) {
      alignment.mFirstUnmatched = static_cast<int>(r);
      return alignment;
    }
    previous = (previous + step) % n;
    alignment.mSpan += step;
  }
  alignment.mComplete = true;
  return alignment;
}

inline void ExpectSameSkeleton(const bvh::Joint& source, const bvh::Joint& take, bool root) {
  SCOPED_TRACE(source.mName);
  EXPECT_EQ(take.mName, source.mName);
  if (root) {
    EXPECT_EQ(take.mChannels,
              (std::vector<int>{bvh::kXposition, bvh::kYposition, bvh::kZposition, bvh::kZrotation,
                                bvh::kYrotation, bvh::kXrotation}));
  } else {
    EXPECT_EQ(take.mChannels,
              (std::vector<int>{bvh::kZrotation, bvh::kYrotation, bvh::kXrotation}));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(take.mOffset[i], source.mOffset[i], kTolerance);
  }
  EXPECT_EQ(take.mHasEndSite, source.mHasEndSite);
  if (take.mHasEndSite && source.mHasEndSite) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(take.mEndSite[i], source.mEndSite[i], kTolerance);
  }
  ASSERT_EQ(take.mChildren.size(), source.mChildren.size());
  for (size_t i = 0; i < source.mChildren.size(); ++i) {
    ExpectSameSkeleton(source.mChildren[i], take.mChildren[i], false);
  }
}

// Checks the take at takePath against the capture at sourcePath; on success *recorded and *span
// tell how many frames the take has and how many source frames the server played meanwhile.
inline void ExpectTakeFollowsSource(const std::string& sourcePath, const std::string& takePath,
                                    int* recorded, long* span) {
  bvh::Clip source;
  bvh::Clip take;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(sourcePath, &source, &error)) << error;
  ASSERT_TRUE(bvh::ParseBvhFile(takePath, &take, &error)) << error;
  ExpectSameSkeleton(source.mRoot, take.mRoot, true);
  if (::testing::Test::HasFailure()) return;
  // Enough frames to say something about the order.
  ASSERT_GE(take.mFrameCount, 10);

  // The root's offset is not streamed: its position channels carry where it is. Both poses
  // compare the root by its position channels alone.
  source.mRoot.mOffset[0] = source.mRoot.mOffset[1] = source.mRoot.mOffset[2] = 0;
  std::vector<Pose> sourcePoses;
  for (int f = 0; f < source.mFrameCount; ++f) sourcePoses.push_back(PoseOf(source, f));
  std::vector<Pose> takePoses;
  for (int f = 0; f < take.mFrameCount; ++f) takePoses.push_back(PoseOf(take, f));

  // The first recorded frame may equal several source frames (a held pose); the alignment
  // spanning the fewest source frames is the one the server played.
  Alignment best;
  int unmatched = 0;
  for (int start = 0; start < source.mFrameCount; ++start) {
    if (!SamePose(takePoses[0], sourcePoses[start])) continue;
    const Alignment alignment = Align(takePoses, sourcePoses, start);
    if (!alignment.mComplete) {
      unmatched = std::max(unmatched, alignment.mFirstUnmatched);
      continue;
    }
    if (!best.mComplete || alignment.mSpan < best.mSpan) best = alignment;
  }
  ASSERT_TRUE(best.mComplete) << "recorded frame " << unmatched
                              << " is no later source frame (frame 0 matched: " << (unmatched > 0)
                              << ")";
  const double share = static_cast<double>(take.mFrameCount) / static_cast<double>(best.mSpan);
  EXPECT_GE(share, kRequiredShare)
      << take.mFrameCount << " of " << best.mSpan << " source frames recorded";
  *recorded = take.mFrameCount;
  *span = best.mSpan;
}

}  // namespace takecheck

#endif  // KOVRIM_TESTS_SUPPORT_TAKE_COMPARISON_H_

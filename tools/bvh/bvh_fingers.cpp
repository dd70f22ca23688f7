#include "bvh_fingers.h"

#include <cmath>
#include <vector>

namespace bvh {

namespace {

constexpr int kSegmentsPerChain = 3;
constexpr double kPi = 3.14159265358979323846;

// The first joint named name in a depth-first walk, or nullptr.
Joint* FindJoint(Joint* joint, const std::string& name) {
  if (joint->mName == name) return joint;
  for (Joint& child : joint->mChildren) {
    if (Joint* found = FindJoint(&child, name)) return found;
  }
  return nullptr;
}

struct Chain {
  int mSide;  // 0 left, 1 right
  int mSegments;
  int mId;  // counts all chains, for names and phases
};

// A finger channel's value in frame `frame`: a slow bend of the first (Z) channel, small sways of
// the others.
float FingerValue(const Clip& clip, int frame, int chain, int segment, int channel) {
  const double t = frame * clip.mFrameTime;
  const double phase = 2 * kPi * 0.5 * t + chain * 0.7 + segment * 0.3 + channel * 1.1;
  const double amplitude = channel == 0 ? 30.0 : 5.0;
  return static_cast<float>(channel == 0 ? amplitude - amplitude * std::cos(phase)
                                         : amplitude * std::sin(phase));
}

// Appends, for one frame, the values of joint's subtree in the new tree's order: the joint's own,
// its old children's, then those of the chains hung below it.
void AppendRow(const Clip& clip, const Joint& joint, const float*& oldRow, int frame,
               const Joint* hands[2], const std::vector<Chain>& chains, std::vector<float>* out) {
  for (size_t c = 0; c < joint.mChannels.size(); ++c) out->push_back(*oldRow++);
  for (const Joint& child : joint.mChildren) {
    AppendRow(clip, child, oldRow, frame, hands, chains, out);
  }
  for (int side = 0; side < 2; ++side) {
    if (hands[side] != &joint) continue;
    for (const Chain& chain : chains) {
      if (chain.mSide != side) continue;
      for (int s = 0; s < chain.mSegments; ++s) {
        for (int c = 0; c < 3; ++c) out->push_back(FingerValue(clip, frame, chain.mId, s, c));
      }
    }
    if (hands[0] == hands[1]) break;  // One joint carries both sides' chains once.
  }
}

}  // namespace

bool AddFingerChains(Clip* clip, int targetJoints, std::string* error) {
  const int joints = CountJoints(clip->mRoot);
  if (joints > targetJoints) {
    if (error) *error = "the clip has more joints than asked for";
    return false;
  }
  Joint* hands[2] = {FindJoint(&clip->mRoot, "LeftHand"), FindJoint(&clip->mRoot, "RightHand")};
  if (!hands[0] && !hands[1]) hands[0] = hands[1] = &clip->mRoot;
  if (!hands[0]) hands[0] = hands[1];
  if (!hands[1]) hands[1] = hands[0];

  std::vector<Chain> chains;
  for (int extra = targetJoints - joints, id = 0; extra > 0; ++id) {
    const int segments = extra < kSegmentsPerChain ? extra : kSegmentsPerChain;
    chains.push_back({id % 2, segments, id});
    extra -= segments;
  }

  // The rows first, while the old tree still describes the old values.
  const Joint* constHands[2] = {hands[0], hands[1]};
  std::vector<float> values;
  for (int frame = 0; frame < clip->mFrameCount; ++frame) {
    const float* oldRow = clip->mValues.data() + static_cast<size_t>(frame) * clip->mChannelCount;
    AppendRow(*clip, clip->mRoot, oldRow, frame, constHands, chains, &values);
  }

  // Then the tree. Each side's chains are appended in the same order AppendRow emits them.
  for (int side = 0; side < 2; ++side) {
    for (const Chain& chain : chains) {
      if (chain.mSide != side) continue;
      const char* prefix = side == 0 ? "LeftFinger" : "RightFinger";
      Joint* parent = hands[side];
      for (int s = 0; s < chain.mSegments; ++s) {
        Joint segment;
        segment.mName = prefix + std::to_string(chain.mId) + "_" + std::to_string(s + 1);
        segment.mOffset[0] = (side == 0 ? 1.0 : -1.0) * (s == 0 ? 1.5 : 1.0);
        segment.mOffset[2] = s == 0 ? (chain.mId % 5 - 2) * 0.4 : 0.0;
        segment.mChannels = {kZrotation, kXrotation, kYrotation};
        if (s + 1 == chain.mSegments) {
          segment.mHasEndSite = true;
          segment.mEndSite[0] = side == 0 ? 0.8 : -0.8;
        }
        parent->mChildren.push_back(segment);
        parent = &parent->mChildren.back();
      }
    }
    if (hands[0] == hands[1]) break;
  }
  clip->mValues = std::move(values);
  clip->mChannelCount = CountChannels(clip->mRoot);
  return ValidateClip(*clip, error);
}

}  // namespace bvh

#include "synthetic_actor.h"

#include <cmath>
#include <initializer_list>
#include <utility>

namespace kmq {
namespace {

constexpr int kFrames = 120;
constexpr double kFrameTime = 1.0 / 60.0;
constexpr double kTwoPi = 6.283185307179586;

bvh::Joint MakeJoint(const char* name, double x, double y, double z,
                     std::initializer_list<int> channels) {
  bvh::Joint joint;
  joint.mName = name;
  joint.mOffset[0] = x;
  joint.mOffset[1] = y;
  joint.mOffset[2] = z;
  joint.mChannels = channels;
  return joint;
}

void SetEndSite(bvh::Joint* joint, double x, double y, double z) {
  joint->mHasEndSite = true;
  joint->mEndSite[0] = x;
  joint->mEndSite[1] = y;
  joint->mEndSite[2] = z;
}

// One value per channel: a sine of the loop phase whose amplitude and phase shift depend on the
// channel, so that every channel moves and no two move alike.
float ChannelValue(int jointIndex, int channel, int code, double phase) {
  double shift = 0.7 * jointIndex + 1.3 * channel;
  if (code <= bvh::kZposition) {
    // The root bobs and sways around standing height.
    double base = code == bvh::kYposition ? 90.0 : 0.0;
    return static_cast<float>(base + 2.0 * std::sin(2 * phase + shift));
  }
  double amplitude = 10.0 + 5.0 * ((jointIndex + channel) % 4);
  return static_cast<float>(amplitude * std::sin(phase + shift));
}

}  // namespace

bvh::Clip MakeSyntheticClip() {
  using namespace bvh;
  Joint root = MakeJoint("Hips", 0, 0, 0,
                         {kXposition, kYposition, kZposition, kZrotation, kXrotation, kYrotation});

  Joint spine = MakeJoint("Spine", 0, 10, 0, {kXrotation, kYrotation, kZrotation});
  Joint neck = MakeJoint("Neck", 0, 25, 0, {kYrotation, kZrotation, kXrotation});
  Joint head = MakeJoint("Head", 0, 8, 1, {kZrotation, kXrotation, kYrotation});
  SetEndSite(&head, 0, 12, 0);
  neck.mChildren.push_back(std::move(head));
  Joint leftArm = MakeJoint("LeftArm", 15, 20, 0, {kZrotation});
  SetEndSite(&leftArm, 25, 0, 0);
  Joint rightArm = MakeJoint("RightArm", -15, 20, 0, {kYrotation, kXrotation});
  SetEndSite(&rightArm, -25, 0, 0);
  spine.mChildren.push_back(std::move(neck));
  spine.mChildren.push_back(std::move(leftArm));
  spine.mChildren.push_back(std::move(rightArm));

  Joint leftUpLeg = MakeJoint("LeftUpLeg", 9, -5, 0, {kZrotation, kXrotation, kYrotation});
  Joint leftLeg = MakeJoint("LeftLeg", 0, -42, 0, {kXrotation});
  SetEndSite(&leftLeg, 0, -40, 5);
  leftUpLeg.mChildren.push_back(std::move(leftLeg));
  Joint rightUpLeg = MakeJoint("RightUpLeg", -9, -5, 0, {kXrotation, kYrotation, kZrotation});
  // A joint with no channel of its own: its pose is its offset alone.
  Joint rightKnee = MakeJoint("RightKneeHelper", 0, -21, 0, {});
  Joint rightLeg = MakeJoint("RightLeg", 0, -21, 0, {kXrotation});
  SetEndSite(&rightLeg, 0, -40, 5);
  rightKnee.mChildren.push_back(std::move(rightLeg));
  rightUpLeg.mChildren.push_back(std::move(rightKnee));

  root.mChildren.push_back(std::move(spine));
  root.mChildren.push_back(std::move(leftUpLeg));
  root.mChildren.push_back(std::move(rightUpLeg));

  Clip clip;
  clip.mRoot = std::move(root);
  clip.mFrameTime = kFrameTime;
  clip.mFrameCount = kFrames;
  clip.mChannelCount = CountChannels(clip.mRoot);
  clip.mValues.reserve(static_cast<size_t>(kFrames) * static_cast<size_t>(clip.mChannelCount));
  std::vector<const Joint*> joints = JointsInOrder(clip.mRoot);
  for (int frame = 0; frame < kFrames; ++frame) {
    double phase = kTwoPi * frame / kFrames;
    for (size_t j = 0; j < joints.size(); ++j) {
      const std::vector<int>& channels = joints[j]->mChannels;
      for (size_t c = 0; c < channels.size(); ++c) {
        clip.mValues.push_back(
            ChannelValue(static_cast<int>(j), static_cast<int>(c), channels[c], phase));
      }
    }
  }
  return clip;
}

}  // namespace kmq

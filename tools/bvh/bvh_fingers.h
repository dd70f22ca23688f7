// Larger skeletons made from a real capture: finger chains hung below the hands of a clip, with
// moving angles in every frame, so that benchmarks and load runs see skeletons of 59 or 173 joints
// with the real capture's body motion. Pure functions; any thread may call them.
#ifndef KMQ_TOOLS_BVH_BVH_FINGERS_H_
#define KMQ_TOOLS_BVH_BVH_FINGERS_H_

#include <string>

#include "bvh.h"

namespace bvh {

// Adds finger chains (three-channel joints, ZXY rotations, at most three segments, each chain
// ending in an End Site) below the clip's joints named "LeftHand" and "RightHand" (taking turns,
// or below the root when it has neither) until the tree has targetJoints joints. Each new channel
// moves in every frame: a slow bend between about 0 and 60 degrees, with its own phase. Existing
// joints and their values are kept. False (clip unchanged) when the clip already has more joints
// than targetJoints.
bool AddFingerChains(Clip* clip, int targetJoints, std::string* error);

}  // namespace bvh

#endif  // KMQ_TOOLS_BVH_BVH_FINGERS_H_

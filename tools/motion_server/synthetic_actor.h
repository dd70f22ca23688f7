// A small built-in skeleton with procedural motion, for serving an actor without any BVH file.
// Pure function: any thread may call it.
#ifndef KMQ_TOOLS_MOTION_SERVER_SYNTHETIC_ACTOR_H_
#define KMQ_TOOLS_MOTION_SERVER_SYNTHETIC_ACTOR_H_

#include "bvh.h"

namespace kmq {

// 11 joints whose channel orders differ from joint to joint (ZXY, XYZ, YZX, a single channel, no
// channel at all), 60 frames per second, a 2-second loop that returns smoothly to its start.
// Every call returns the same clip.
bvh::Clip MakeSyntheticClip();

}  // namespace kmq

#endif  // KMQ_TOOLS_MOTION_SERVER_SYNTHETIC_ACTOR_H_

// Turns the keys a recording left on a scene skeleton into a BVH clip: joints in pre-order with
// their offsets, "<joint>_End" leaves as End Sites, one frame per distinct key time.
// Pure functions over the values handed in (no host calls), so any thread may call them; the
// headless host calls them on its user-interface thread after the recording has stopped.
#ifndef KMQ_TOOLS_HEADLESS_HOST_TAKE_EXPORT_H_
#define KMQ_TOOLS_HEADLESS_HOST_TAKE_EXPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bvh.h"

namespace kmq {

// One key of a vector channel: host time in ticks, three values.
struct TakeKey {
  int64_t mTicks = 0;
  double mValue[3] = {0, 0, 0};
};

// One scene model of the recorded skeleton with the keys of its local channels, sorted by time.
// Rotations are the host's XYZ Euler angles in degrees (M = Rz * Ry * Rx).
struct TakeJoint {
  std::string mName;
  std::vector<TakeKey> mTranslation;
  std::vector<TakeKey> mRotation;
  std::vector<TakeJoint> mChildren;
};

struct TakeExportOptions {
  // Host ticks per second, to turn key times into the frame time.
  double mTicksPerSecond = 46186158000.0;
  // Frame time written when the take has a single frame.
  double mFallbackFrameTime = 1.0 / 60.0;
  // A non-root joint whose translation keys move farther than this from its first one keeps
  // position channels, so that its motion is not lost.
  double mTranslationTolerance = 1e-6;
};

struct TakeExportStats {
  int mFrames = 0;
  int mJoints = 0;
  int mEndSites = 0;
  // Non-root joints written with position channels because their translation moved.
  int mMovingJoints = 0;
  // Joint channels without a key at some frame time; they hold their previous key there.
  int mHeldValues = 0;
  // Frame times at the start or end of the take where only some channels have a key (a pass cut
  // by the transport starting or stopping); they are left out rather than mixing two frames.
  int mTrimmedFrames = 0;
};

// Builds the clip. The root gets "Xposition Yposition Zposition Zrotation Yrotation Xrotation";
// every other joint "Zrotation Yrotation Xrotation", its offset being its first translation key.
// A childless model named after its parent plus "_End" becomes the parent's End Site. Frames:
// the distinct key times of all channels in ascending order, less leading and trailing times
// where some keyed channel has no key; a channel without a key at a frame time holds its latest
// earlier key (its first key before that). The frame time is the mean
// spacing of the frame times, (last - first) / (frames - 1), so the take keeps its length; a
// single frame gets mFallbackFrameTime. Fails when no channel has a key or the clip would not
// validate.
bool BuildClipFromTake(const TakeJoint& root, const TakeExportOptions& options, bvh::Clip* clip,
                       TakeExportStats* stats, std::string* error);

// Whether a model named name under a parent named parentName, without children, stands for the
// parent's End Site.
bool IsEndSiteName(const std::string& name, const std::string& parentName);

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_TAKE_EXPORT_H_

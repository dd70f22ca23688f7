#include "take_export.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace kmq {
namespace {

// Reads one channel frame after frame, times ascending.
class ChannelCursor {
 public:
  explicit ChannelCursor(const std::vector<TakeKey>* keys) : mKeys(keys) {}

  // The channel's value at ticks: its key there, else its latest earlier key, else its first key;
  // zeros without keys. held tells whether the value came from another time.
  void ValueAt(int64_t ticks, double out[3], bool* held) {
    const std::vector<TakeKey>& keys = *mKeys;
    if (keys.empty()) {
      out[0] = out[1] = out[2] = 0;
      *held = true;
      return;
    }
    while (mNext < keys.size() && keys[mNext].mTicks <= ticks) ++mNext;
    const TakeKey& key = mNext > 0 ? keys[mNext - 1] : keys[0];
    for (int i = 0; i < 3; ++i) out[i] = key.mValue[i];
    *held = key.mTicks != ticks;
  }

 private:
  const std::vector<TakeKey>* mKeys;
  size_t mNext = 0;
};

// One BVH joint being written and the channels that feed it.
struct OutputJoint {
  const TakeJoint* mSource = nullptr;
  bvh::Joint* mJoint = nullptr;
  bool mRoot = false;
  bool mPositions = false;
};

// The first key's value, at the precision of the frame values (the stream carries floats).
void FirstValue(const std::vector<TakeKey>& keys, double out[3]) {
  for (int i = 0; i < 3; ++i) {
    out[i] = keys.empty() ? 0.0 : static_cast<double>(static_cast<float>(keys.front().mValue[i]));
  }
}

bool Moves(const std::vector<TakeKey>& keys, double tolerance) {
  for (const TakeKey& key : keys) {
    for (int i = 0; i < 3; ++i) {
      if (std::fabs(key.mValue[i] - keys.front().mValue[i]) > tolerance) return true;
    }
  }
  return false;
}

const std::vector<int> kRootChannels = {bvh::kXposition, bvh::kYposition, bvh::kZposition,
                                        bvh::kZrotation, bvh::kYrotation, bvh::kXrotation};
const std::vector<int> kJointChannels = {bvh::kZrotation, bvh::kYrotation, bvh::kXrotation};

// Copies the tree below source into joint (pre-order), noting each joint's channel sources.
void BuildTree(const TakeJoint& source, bool root, const TakeExportOptions& options,
               bvh::Joint* joint, std::vector<OutputJoint>* order, TakeExportStats* stats) {
  joint->mName = source.mName;
  OutputJoint output;
  output.mSource = &source;
  output.mRoot = root;
  output.mPositions = root || Moves(source.mTranslation, options.mTranslationTolerance);
  if (root) {
    joint->mOffset[0] = joint->mOffset[1] = joint->mOffset[2] = 0;
  } else {
    FirstValue(source.mTranslation, joint->mOffset);
    if (output.mPositions) ++stats->mMovingJoints;
  }
  joint->mChannels = output.mPositions ? kRootChannels : kJointChannels;
  ++stats->mJoints;
  order->push_back(output);
  // The children are placed first, so that the pointers kept in order stay valid.
  std::vector<const TakeJoint*> children;
  for (const TakeJoint& child : source.mChildren) {
    if (!joint->mHasEndSite && child.mChildren.empty() &&
        IsEndSiteName(child.mName, source.mName)) {
      joint->mHasEndSite = true;
      FirstValue(child.mTranslation, joint->mEndSite);
      ++stats->mEndSites;
    } else {
      children.push_back(&child);
    }
  }
  joint->mChildren.resize(children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    BuildTree(*children[i], false, options, &joint->mChildren[i], order, stats);
  }
}

// Every key time of the tree (a time once per channel keyed there), and the channels with keys.
void CollectTimes(const TakeJoint& joint, std::vector<int64_t>* times, size_t* keyedChannels) {
  for (const std::vector<TakeKey>* keys : {&joint.mTranslation, &joint.mRotation}) {
    if (!keys->empty()) ++*keyedChannels;
    for (const TakeKey& key : *keys) times->push_back(key.mTicks);
  }
  for (const TakeJoint& child : joint.mChildren) CollectTimes(child, times, keyedChannels);
}

// The distinct times of a sorted list, without the leading and trailing ones at which fewer than
// complete channels have a key (unless no time is complete).
std::vector<int64_t> FrameTimes(const std::vector<int64_t>& sorted, size_t complete, int* trimmed) {
  std::vector<int64_t> times;
  std::vector<bool> whole;
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
    times.push_back(sorted[i]);
    whole.push_back(j - i >= complete);
    i = j;
  }
  size_t first = 0;
  size_t end = times.size();
  while (first < end && !whole[first]) ++first;
  while (end > first && !whole[end - 1]) --end;
  if (first == end) return times;
  *trimmed = static_cast<int>(times.size() - (end - first));
  return std::vector<int64_t>(times.begin() + static_cast<std::ptrdiff_t>(first),
                              times.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace

bool IsEndSiteName(const std::string& name, const std::string& parentName) {
  return name == parentName + "_End";
}

bool BuildClipFromTake(const TakeJoint& root, const TakeExportOptions& options, bvh::Clip* clip,
                       TakeExportStats* stats, std::string* error) {
  TakeExportStats localStats;
  if (stats == nullptr) stats = &localStats;
  *stats = TakeExportStats();
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };

  std::vector<int64_t> allTimes;
  size_t keyedChannels = 0;
  CollectTimes(root, &allTimes, &keyedChannels);
  if (allTimes.empty()) return fail("the take holds no key");
  std::sort(allTimes.begin(), allTimes.end());
  const std::vector<int64_t> times = FrameTimes(allTimes, keyedChannels, &stats->mTrimmedFrames);

  *clip = bvh::Clip();
  std::vector<OutputJoint> order;
  BuildTree(root, true, options, &clip->mRoot, &order, stats);
  clip->mChannelCount = bvh::CountChannels(clip->mRoot);
  clip->mFrameCount = static_cast<int>(times.size());
  if (times.size() > 1) {
    const double span = static_cast<double>(times.back() - times.front());
    clip->mFrameTime = span / options.mTicksPerSecond / static_cast<double>(times.size() - 1);
  } else {
    clip->mFrameTime = options.mFallbackFrameTime;
  }

  std::vector<ChannelCursor> translations;
  std::vector<ChannelCursor> rotations;
  for (const OutputJoint& joint : order) {
    translations.emplace_back(&joint.mSource->mTranslation);
    rotations.emplace_back(&joint.mSource->mRotation);
  }
  clip->mValues.reserve(times.size() * static_cast<size_t>(clip->mChannelCount));
  for (int64_t ticks : times) {
    for (size_t j = 0; j < order.size(); ++j) {
      double value[3];
      bool held = false;
      if (order[j].mPositions) {
        translations[j].ValueAt(ticks, value, &held);
        if (held) ++stats->mHeldValues;
        for (int i = 0; i < 3; ++i) clip->mValues.push_back(static_cast<float>(value[i]));
      }
      rotations[j].ValueAt(ticks, value, &held);
      if (held) ++stats->mHeldValues;
      // The host's XYZ order is Rz * Ry * Rx: listed as Zrotation Yrotation Xrotation.
      clip->mValues.push_back(static_cast<float>(value[2]));
      clip->mValues.push_back(static_cast<float>(value[1]));
      clip->mValues.push_back(static_cast<float>(value[0]));
    }
  }
  stats->mFrames = clip->mFrameCount;

  std::string problem;
  if (!bvh::ValidateClip(*clip, &problem)) return fail("the take cannot be written: " + problem);
  return true;
}

}  // namespace kmq

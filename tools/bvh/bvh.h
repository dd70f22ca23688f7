// BVH motion files: a skeleton (joints, offsets, channels) and its frames of channel values.
// ParseBvhText/ParseBvhFile read what capture tools write in the wild; WriteBvh writes a file that
// parses back to the same clip. Every function is pure (no shared state), so any thread may call
// them, on different clips or on a clip that no thread is changing.
#ifndef KMQ_TOOLS_BVH_BVH_H_
#define KMQ_TOOLS_BVH_BVH_H_

#include <string>
#include <vector>

namespace bvh {

// Channel codes, equal to the wire enum of the plug-in protocol.
enum ChannelCode {
  kXposition = 0,
  kYposition = 1,
  kZposition = 2,
  kXrotation = 3,
  kYrotation = 4,
  kZrotation = 5,
};

// Deepest joint nesting the parser accepts (the root is depth 0). Bounds the parser's recursion.
constexpr int kMaxJointDepth = 512;

struct Joint {
  std::string mName;
  double mOffset[3] = {0, 0, 0};
  // Channel codes in the order the file lists them; 0 to 6 entries.
  std::vector<int> mChannels;
  std::vector<Joint> mChildren;
  bool mHasEndSite = false;
  double mEndSite[3] = {0, 0, 0};
};

struct Clip {
  Joint mRoot;
  // Seconds per frame, > 0.
  double mFrameTime = 0;
  int mFrameCount = 0;
  // Sum of the channels of all joints.
  int mChannelCount = 0;
  // mFrameCount rows of mChannelCount values; a row lists joints depth first, each joint's
  // channels in its listed order. float, because the wire carries floats: what is parsed is what
  // is streamed.
  std::vector<float> mValues;
};

// Parses a whole BVH text. sourceName only labels errors ("walk.bvh:12: ..."). On failure returns
// false, leaves *clip unspecified and sets *error (if non-null) to one line naming source and line.
// Everything after the `Frames:` count of data lines is ignored.
bool ParseBvhText(const std::string& text, const std::string& sourceName, Clip* clip,
                  std::string* error);

// Reads and parses a file; errors name the path.
bool ParseBvhFile(const std::string& path, Clip* clip, std::string* error);

// Writes clip as BVH text (LF line endings, tab indentation). Numbers are written in their
// shortest exact form, so ParseBvhText gives back the same clip.
// REQUIRES: ValidateClip(clip) succeeds.
std::string WriteBvh(const Clip& clip);

// Checks the invariants the writer and the server rely on: names set, channel codes in 0..5 and
// not repeated within a joint, mChannelCount equal to the channels of the tree, mValues holding
// mFrameCount rows, mFrameTime positive, depth within kMaxJointDepth.
bool ValidateClip(const Clip& clip, std::string* error);

// ROOT and JOINT nodes of the tree (End Sites not counted).
int CountJoints(const Joint& root);
int CountEndSites(const Joint& root);
int CountChannels(const Joint& root);
// Deepest nesting below root: 0 for a lone root.
int MaxDepth(const Joint& root);
// The joints depth first, the order of the values in a frame row. Pointers stay valid while the
// tree is not changed.
std::vector<const Joint*> JointsInOrder(const Joint& root);

// "Xposition" ... "Zrotation" for codes 0..5, "" otherwise.
const char* ChannelName(int code);

}  // namespace bvh

#endif  // KMQ_TOOLS_BVH_BVH_H_

// Contact sheet of a recorded take: the skeleton drawn at evenly spaced frames, each in a front
// view (X right, Y up) and a side view (Z right, Y up), as one SVG picture, with global joint
// positions from forward kinematics in the BVH convention.
// Pure functions over the clip handed in (no shared state): any thread may call them.
#ifndef KMQ_TOOLS_CONTACT_SHEET_CONTACT_SHEET_H_
#define KMQ_TOOLS_CONTACT_SHEET_CONTACT_SHEET_H_

#include <array>
#include <string>
#include <vector>

#include "bvh.h"

namespace kmq {

// One point of the skeleton: a joint or an end site. Points come in the link's table order: a
// joint, its child subtrees in order, then its end site.
struct SkeletonPoint {
  std::string mName;  // the joint's name; an end site is "<joint>_End"
  int mParent = -1;   // index of the parent point; -1 for the root
  bool mIsEndSite = false;
};

std::vector<SkeletonPoint> SkeletonPoints(const bvh::Joint& root);

// Global positions of every point at frame (0-based), in SkeletonPoints order. Each joint's local
// transform is its translation (the offset, with each axis that has a position channel taking that
// channel's value instead) followed by its rotation channels composed in the listed order (the
// first listed leftmost, column vectors, degrees); global = parent global * local; an end site
// is its offset in the joint's frame. False (positions untouched) for a frame out of range or a
// clip whose values or channel codes do not match its skeleton.
bool ComputeGlobalPositions(const bvh::Clip& clip, int frame,
                            std::vector<std::array<double, 3>>* positions);

// count frames spread evenly over frameCount, first and last included (all frames when
// count >= frameCount; frame 0 alone when count is 1).
std::vector<int> ContactSheetFrames(int frameCount, int count);

struct ContactSheetOptions {
  // Frames drawn, at least 1.
  int mFrames = 8;
  // Shown at the top (e.g. the take's file name); may be empty.
  std::string mTitle;
  // Height in pixels of the whole take's vertical extent in each view.
  double mFigureHeight = 240;
  // Frames per row of the sheet (each frame takes a front and a side view); 0 chooses as many as
  // fit in about 1800 pixels.
  int mColumns = 0;
};

// The SVG document. One scale and one world window fit the whole take, so a walking actor moves
// across its cells from frame to frame; a dashed floor line marks the take's lowest point and a
// faint line the root's path. "" when the clip has no frames or its values do not match its
// skeleton.
std::string RenderContactSheet(const bvh::Clip& clip, const ContactSheetOptions& options);

// Command line of kovrim-contact-sheet: TAKE.bvh [--out SHEET.svg] [--frames N].
struct ContactSheetArgs {
  std::string mTakePath;
  std::string mOutPath;  // defaults to the take's path with .svg instead of .bvh
  int mFrames = 8;
  bool mHelp = false;
};

// Parses args (without the program name). False with *error naming what is wrong.
bool ParseContactSheetArgs(const std::vector<std::string>& args, ContactSheetArgs* parsed,
                           std::string* error);
std::string ContactSheetUsage();

}  // namespace kmq

#endif  // KMQ_TOOLS_CONTACT_SHEET_CONTACT_SHEET_H_

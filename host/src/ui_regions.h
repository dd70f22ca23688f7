// Geometry of layout regions: how one AddRegion attachment turns into a coordinate once the
// rectangle it is attached to is known. Pure functions on values; any thread.
#ifndef FBSDK_SRC_UI_REGIONS_H_
#define FBSDK_SRC_UI_REGIONS_H_

#include <string>

namespace fbsdk_internal {

// A rectangle in the coordinates of the outermost layout (its top-left corner is 0, 0).
struct UiRect {
  int mX = 0;
  int mY = 0;
  int mW = 0;
  int mH = 0;
};

// One of the four AddRegion groups (X, Y, W or H) as given.
struct UiAttach {
  int mValue = 0;
  int mType = 7;          // An FBAttachType; 7 = kFBAttachNone.
  std::string mRelative;  // "" = the layout itself.
  float mMult = 1.0f;
};

// The position (X or Y) of a region in a layout whose frame is pFrame: the chosen edge of
// pRelative, its distance from the frame's origin scaled by the multiplier, plus the offset.
// kFBAttachNone places the region at the offset from the frame's origin.
int ResolvePosition(const UiAttach& pAttach, const UiRect& pRelative, const UiRect& pFrame,
                    bool pHorizontal);

// The size (W or H) of a region that starts at pStart. kFBAttachNone gives the offset as an
// absolute size, kFBAttachWidth/Height a scaled size of pRelative plus the offset, and an edge type
// places the far edge (right or bottom) on that edge (scaled as in ResolvePosition) plus the
// offset, so a negative offset insets it. Never negative.
int ResolveSize(const UiAttach& pAttach, const UiRect& pRelative, const UiRect& pFrame, int pStart,
                bool pHorizontal);

}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_UI_REGIONS_H_

#include "ui_regions.h"

#include <cmath>

namespace fbsdk_internal {
namespace {

// FBAttachType values, kept here so the geometry needs no SDK header.
enum : int {
  kLeft = 0,
  kRight = 1,
  kTop = 2,
  kBottom = 3,
  kWidth = 4,
  kHeight = 5,
  kCenter = 6,
  kNone = 7
};

// The coordinate (or length) that an attachment type names on pRect. The four edges are named
// absolutely, so a region may line up its X with another region's bottom if it insists.
double Edge(const UiRect& pRect, int pType, bool pHorizontal) {
  switch (pType) {
    case kLeft:
      return pRect.mX;
    case kRight:
      return static_cast<double>(pRect.mX) + pRect.mW;
    case kTop:
      return pRect.mY;
    case kBottom:
      return static_cast<double>(pRect.mY) + pRect.mH;
    case kWidth:
      return pRect.mW;
    case kHeight:
      return pRect.mH;
    case kCenter:
      return pHorizontal ? pRect.mX + pRect.mW / 2.0 : pRect.mY + pRect.mH / 2.0;
    default:
      return 0.0;
  }
}

int Round(double pValue) {
  // Regions live well inside int; clamp anyway so a silly multiplier cannot overflow.
  if (pValue > 1e9) return 1000000000;
  if (pValue < -1e9) return -1000000000;
  return static_cast<int>(std::lround(pValue));
}

// An edge scaled about the frame's origin, so that "the right edge times 0.5" is half-way across
// the layout wherever the layout sits.
double ScaledEdge(const UiAttach& pAttach, const UiRect& pRelative, const UiRect& pFrame,
                  bool pHorizontal) {
  const double origin = pHorizontal ? pFrame.mX : pFrame.mY;
  return origin + (Edge(pRelative, pAttach.mType, pHorizontal) - origin) *
                      static_cast<double>(pAttach.mMult);
}

}  // namespace

int ResolvePosition(const UiAttach& pAttach, const UiRect& pRelative, const UiRect& pFrame,
                    bool pHorizontal) {
  switch (pAttach.mType) {
    case kLeft:
    case kRight:
    case kTop:
    case kBottom:
    case kCenter:
      return Round(ScaledEdge(pAttach, pRelative, pFrame, pHorizontal) + pAttach.mValue);
    case kWidth:
    case kHeight:
      // A length used as a position counts from the frame's origin.
      return Round((pHorizontal ? pFrame.mX : pFrame.mY) +
                   Edge(pRelative, pAttach.mType, pHorizontal) *
                       static_cast<double>(pAttach.mMult) +
                   pAttach.mValue);
    default:
      return (pHorizontal ? pFrame.mX : pFrame.mY) + pAttach.mValue;
  }
}

int ResolveSize(const UiAttach& pAttach, const UiRect& pRelative, const UiRect& pFrame, int pStart,
                bool pHorizontal) {
  double size = 0.0;
  switch (pAttach.mType) {
    case kLeft:
    case kRight:
    case kTop:
    case kBottom:
    case kCenter:
      size = ScaledEdge(pAttach, pRelative, pFrame, pHorizontal) + pAttach.mValue - pStart;
      break;
    case kWidth:
    case kHeight:
      size = Edge(pRelative, pAttach.mType, pHorizontal) * static_cast<double>(pAttach.mMult) +
             pAttach.mValue;
      break;
    default:
      size = pAttach.mValue;
      break;
  }
  const int rounded = Round(size);
  return rounded < 0 ? 0 : rounded;
}

}  // namespace fbsdk_internal

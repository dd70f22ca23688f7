// Fuzz target: the BVH parser on arbitrary text. A clip that parses must satisfy the invariants
// the writer and the server rely on, and must write out and parse back to the same shape.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bvh.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bvh::Clip clip;
  std::string error;
  if (!bvh::ParseBvhText(text, "fuzz.bvh", &clip, &error)) return 0;
  if (!bvh::ValidateClip(clip, &error)) std::abort();  // a parsed clip the writer would refuse
  bvh::Clip again;
  if (!bvh::ParseBvhText(bvh::WriteBvh(clip), "again.bvh", &again, &error)) std::abort();
  if (again.mFrameCount != clip.mFrameCount || again.mChannelCount != clip.mChannelCount ||
      bvh::CountJoints(again.mRoot) != bvh::CountJoints(clip.mRoot)) {
    std::abort();
  }
  for (size_t i = 0; i < clip.mValues.size(); ++i) {
    const float a = clip.mValues[i];
    const float b = again.mValues[i];
    if (a != b && !(std::isnan(a) && std::isnan(b))) std::abort();  // a value lost on the way
  }
  return 0;
}

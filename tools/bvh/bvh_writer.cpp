// The BVH writer (WriteBvh) and the checks it relies on (ValidateClip).
#include <charconv>
#include <cmath>
#include <string>

#include "bvh.h"
#include "bvh_text.h"

namespace bvh {
namespace {

using text::IsLineEnd;
using text::IsSpace;
using text::Quote;

void AppendNumber(std::string* out, double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out->append(buffer, result.ptr);
}

void AppendNumber(std::string* out, float value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out->append(buffer, result.ptr);
}

void AppendOffset(std::string* out, const std::string& indent, const double offset[3]) {
  *out += indent;
  *out += "OFFSET";
  for (int i = 0; i < 3; ++i) {
    *out += ' ';
    AppendNumber(out, offset[i]);
  }
  *out += '\n';
}

void WriteJoint(const Joint& joint, int depth, std::string* out) {
  std::string indent(static_cast<size_t>(depth), '\t');
  std::string inner = indent + '\t';
  *out += indent + (depth == 0 ? "ROOT " : "JOINT ") + joint.mName + "\n";
  *out += indent + "{\n";
  AppendOffset(out, inner, joint.mOffset);
  *out += inner + "CHANNELS " + std::to_string(joint.mChannels.size());
  for (int code : joint.mChannels) {
    *out += ' ';
    *out += ChannelName(code);
  }
  *out += '\n';
  for (const Joint& child : joint.mChildren) WriteJoint(child, depth + 1, out);
  if (joint.mHasEndSite) {
    *out += inner + "End Site\n";
    *out += inner + "{\n";
    AppendOffset(out, inner + '\t', joint.mEndSite);
    *out += inner + "}\n";
  }
  *out += indent + "}\n";
}

bool ValidateJoint(const Joint& joint, std::string* error) {
  const std::string& name = joint.mName;
  bool nameOk =
      !name.empty() && !IsSpace(name.front()) && !IsSpace(name.back()) && name.back() != '{';
  for (char c : name) nameOk = nameOk && !IsLineEnd(c) && c != '\0';
  if (!nameOk) {
    if (error != nullptr) *error = "joint name " + Quote(name) + " cannot be written to a BVH file";
    return false;
  }
  if (joint.mChannels.size() > 6) {
    if (error != nullptr) *error = "joint " + Quote(name) + " has more than 6 channels";
    return false;
  }
  for (size_t i = 0; i < joint.mChannels.size(); ++i) {
    int code = joint.mChannels[i];
    bool repeated = false;
    for (size_t j = 0; j < i; ++j) repeated = repeated || joint.mChannels[j] == code;
    if (code < 0 || code > 5 || repeated) {
      if (error != nullptr) *error = "joint " + Quote(name) + " has a bad or repeated channel";
      return false;
    }
  }
  for (const Joint& child : joint.mChildren) {
    if (!ValidateJoint(child, error)) return false;
  }
  return true;
}

}  // namespace

std::string WriteBvh(const Clip& clip) {
  std::string out = "HIERARCHY\n";
  WriteJoint(clip.mRoot, 0, &out);
  out += "MOTION\nFrames: " + std::to_string(clip.mFrameCount) + "\nFrame Time: ";
  AppendNumber(&out, clip.mFrameTime);
  out += '\n';
  size_t channels = static_cast<size_t>(clip.mChannelCount);
  for (int frame = 0; frame < clip.mFrameCount; ++frame) {
    const float* row = clip.mValues.data() + static_cast<size_t>(frame) * channels;
    for (size_t i = 0; i < channels; ++i) {
      if (i > 0) out += ' ';
      AppendNumber(&out, row[i]);
    }
    out += '\n';
  }
  return out;
}

bool ValidateClip(const Clip& clip, std::string* error) {
  auto fail = [error](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  // Depth first, so that the recursive checks below cannot run away on a hand-made deep tree.
  if (MaxDepth(clip.mRoot) > kMaxJointDepth) {
    return fail("joints nested deeper than " + std::to_string(kMaxJointDepth));
  }
  if (!ValidateJoint(clip.mRoot, error)) return false;
  if (clip.mChannelCount != CountChannels(clip.mRoot)) {
    return fail("channel count " + std::to_string(clip.mChannelCount) +
                " differs from the skeleton's " + std::to_string(CountChannels(clip.mRoot)));
  }
  if (clip.mFrameCount < 0 || clip.mValues.size() != static_cast<size_t>(clip.mFrameCount) *
                                                         static_cast<size_t>(clip.mChannelCount)) {
    return fail("frame values do not fill " + std::to_string(clip.mFrameCount) + " frames of " +
                std::to_string(clip.mChannelCount) + " channels");
  }
  if (!(clip.mFrameTime > 0) || !std::isfinite(clip.mFrameTime)) {
    return fail("frame time must be positive");
  }
  for (float value : clip.mValues) {
    if (!std::isfinite(value)) return fail("frame values must be finite");
  }
  return true;
}

}  // namespace bvh

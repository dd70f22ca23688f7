// The clip's tree queries and the channel names; the reader is bvh_parser.cpp, the writer and the
// checks it relies on bvh_writer.cpp.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "bvh.h"
#include "bvh_text.h"

namespace bvh {
namespace {

const char* const kChannelNames[] = {"Xposition", "Yposition", "Zposition",
                                     "Xrotation", "Yrotation", "Zrotation"};

}  // namespace

namespace text {

std::string Quote(std::string_view token) {
  std::string out = "'";
  size_t n = 0;
  for (char c : token) {
    if (++n > 40) {
      out += "...";
      break;
    }
    out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  }
  return out + "'";
}

}  // namespace text

int CountJoints(const Joint& root) { return static_cast<int>(JointsInOrder(root).size()); }

int CountEndSites(const Joint& root) {
  int count = 0;
  for (const Joint* joint : JointsInOrder(root)) count += joint->mHasEndSite ? 1 : 0;
  return count;
}

int CountChannels(const Joint& root) {
  int count = 0;
  for (const Joint* joint : JointsInOrder(root)) count += static_cast<int>(joint->mChannels.size());
  return count;
}

int MaxDepth(const Joint& root) {
  std::vector<std::pair<const Joint*, int>> pending = {{&root, 0}};
  int deepest = 0;
  while (!pending.empty()) {
    auto [joint, depth] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, depth);
    for (const Joint& child : joint->mChildren) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

std::vector<const Joint*> JointsInOrder(const Joint& root) {
  std::vector<const Joint*> order;
  std::vector<const Joint*> pending = {&root};
  while (!pending.empty()) {
    const Joint* joint = pending.back();
    pending.pop_back();
    order.push_back(joint);
    for (auto it = joint->mChildren.rbegin(); it != joint->mChildren.rend(); ++it) {
      pending.push_back(&*it);
    }
  }
  return order;
}

const char* ChannelName(int code) { return code >= 0 && code < 6 ? kChannelNames[code] : ""; }

}  // namespace bvh

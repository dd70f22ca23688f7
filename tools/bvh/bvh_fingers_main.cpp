// kovrim-bvh-fingers: writes a capture with finger chains added below its hands, so that load runs
// and benchmarks can use skeletons larger than the bundled captures.
//   kovrim-bvh-fingers IN.bvh JOINTS OUT.bvh
#include <cstdio>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "bvh.h"
#include "bvh_fingers.h"
#include "option_table.h"
#include "tool_text.h"

namespace {

const char kSynopsis[] = "usage: kovrim-bvh-fingers IN.bvh JOINTS OUT.bvh\n";

kmq::OptionTable FingersOptionTable(bool* help) {
  kmq::OptionTable table;
  table.mIntro = std::string(kSynopsis) +
                 "Writes IN.bvh with finger chains added below its hands until the skeleton has\n"
                 "JOINTS joints (1 to 100000), as OUT.bvh. See docs/bvh-fingers.md.\n\n";
  table.mOperands = true;
  table.mGroups = {{"", 8, {kmq::HelpFlag(help)}}};
  return table;
}

}  // namespace

int main(int argc, char** argv) {
  bool help = false;
  std::vector<std::string> operands;
  std::string problem;
  if (!kmq::ParseOptions(FingersOptionTable(&help), std::vector<std::string>(argv + 1, argv + argc),
                         &operands, &problem)) {
    std::fprintf(stderr, "kovrim-bvh-fingers: %s\n%s", problem.c_str(), kSynopsis);
    return 2;
  }
  if (help) {
    std::fputs(kmq::Usage(FingersOptionTable(&help)).c_str(), stdout);
    return 0;
  }
  if (operands.size() != 3) {
    std::fputs(kSynopsis, stderr);
    return 2;
  }
  bvh::Clip clip;
  std::string error;
  if (!bvh::ParseBvhFile(operands[0], &clip, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  int joints = 0;
  if (!kmq::ReadInteger(operands[1], 1, 100000, &joints)) {
    std::fprintf(stderr, "JOINTS must be a number from 1 to 100000\n");
    return 2;
  }
  if (!bvh::AddFingerChains(&clip, joints, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (!kmq::WriteFileAtomically(operands[2], bvh::WriteBvh(clip))) {
    std::fprintf(stderr, "cannot write %s\n", operands[2].c_str());
    return 1;
  }
  return 0;
}

// kovrim-bvh-fingers: writes a capture with finger chains added below its hands, so that load runs
// and benchmarks can use skeletons larger than the bundled captures.
//   kovrim-bvh-fingers IN.bvh JOINTS OUT.bvh
#include <cstdio>
#include <fstream>
#include <string>

#include "bvh.h"
#include "bvh_fingers.h"
#include "tool_text.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kovrim-bvh-fingers IN.bvh JOINTS OUT.bvh\n");
    return 2;
  }
  bvh::Clip clip;
  std::string error;
  if (!bvh::ParseBvhFile(argv[1], &clip, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  long joints = 0;
  if (!kmq::ParseInt(argv[2], 1, 100000, &joints)) {
    std::fprintf(stderr, "JOINTS must be a number from 1 to 100000\n");
    return 2;
  }
  if (!bvh::AddFingerChains(&clip, static_cast<int>(joints), &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::ofstream out(argv[3], std::ios::binary);
  out << bvh::WriteBvh(clip);
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}

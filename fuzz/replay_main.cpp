// Replays inputs through a fuzz target without libFuzzer: `<target>_replay PATH...`, each PATH a
// file or a folder of files (in name order). The normal and sanitizer builds run every target
// this way over its seed corpus and its regression inputs (CTest FuzzReplay.*), so the targets
// keep building with the project's compiler and every past finding is tried on every run.
// A fault aborts, as under the fuzzer; no input at all is a failure too.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

void AddInputs(const std::string& path, std::vector<std::string>* inputs) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;  // an absent regression folder adds nothing
  if (!S_ISDIR(info.st_mode)) {
    inputs->push_back(path);
    return;
  }
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name != "README.md") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) AddInputs(path + "/" + name, inputs);
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) AddInputs(argv[i], &inputs);
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no input found\n");
    return 1;
  }
  for (const std::string& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("replay: %zu inputs, no fault\n", inputs.size());
  return 0;
}

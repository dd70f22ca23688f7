// Files the tests write and read back: paths in GoogleTest's temporary folder, whole-file reads.
#ifndef KMQ_TEST_SUPPORT_TEST_FILES_H_
#define KMQ_TEST_SUPPORT_TEST_FILES_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace kmq_test {

// name in the temporary folder, prefixed with this process's id so that test programs running at
// the same time never share a file.
inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kmq_" + std::to_string(::getpid()) + "_" + name;
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline bool FileExists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) std::fclose(file);
  return file != nullptr;
}

}  // namespace kmq_test

#endif  // KMQ_TEST_SUPPORT_TEST_FILES_H_

// Writing a whole file so that readers see the old file or the new one, never half of one. Safe
// from any thread for different paths; two writers of one path race for the last word.
#ifndef KMQ_TOOLS_COMMON_ATOMIC_FILE_H_
#define KMQ_TOOLS_COMMON_ATOMIC_FILE_H_

#include <string>

namespace kmq {

// Writes text to path + ".part" and moves it over path. False when either step fails; then
// path is as it was and no .part file is left.
bool WriteFileAtomically(const std::string& path, const std::string& text);

// Tells whether WriteFileAtomically(path, ...) could make its temporary file now, by making it and
// removing it, so that a job can refuse a path it could not write before it records for minutes.
// False, with *problem the system's reason, when it cannot.
bool CanWriteFileAtomically(const std::string& path, std::string* problem);

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_ATOMIC_FILE_H_

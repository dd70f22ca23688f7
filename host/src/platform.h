// The operating-system facts the stand-in needs apart from sockets: the program's folder, the
// temporary folder, the computer's name and the module a function lives in. One implementation per
// platform (platform_posix.cpp, platform_windows.cpp), chosen by CMake. Any thread may call these;
// none keeps state.
#ifndef FBSDK_SRC_PLATFORM_H_
#define FBSDK_SRC_PLATFORM_H_

#include <string>

namespace fbsdk_internal {

// The folder of the running program, without a trailing separator; "." when unknown.
std::string ExecutableFolder();
// The folder for temporary files, with a trailing separator.
std::string TemporaryFolder();
// The computer's network name; empty when unknown.
std::string ComputerName();
// The file name (no folder) of the module, program or shared library, that holds pAddress;
// empty when unknown.
std::string ModuleFileNameOf(const void* pAddress);

}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_PLATFORM_H_

# Cross build for Windows x64 with Debian's mingw-w64 (posix threads: std::thread and std::mutex).
# scripts/windows-check.sh passes this file; KMQ_MINGW_PREFIX names the cached static libprotobuf,
# libdeflate and GoogleTest that scripts/windows-deps.sh builds.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KMQ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KMQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KMQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KMQ_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KMQ_MINGW_TRIPLE})
if(KMQ_MINGW_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KMQ_MINGW_PREFIX})
  list(APPEND CMAKE_PREFIX_PATH ${KMQ_MINGW_PREFIX})
endif()
# Programs (protoc) run on the build machine; libraries and headers are the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs and tools run under wine through a wrapper that finds the runtime DLLs.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

# Windows builds (the mingw-w64 cross build checked here, and MSVC): where outputs go and the
# definitions every translation unit shares. Nothing here applies to the Linux build.
if(NOT WIN32)
  return()
endif()

# Programs and DLLs side by side, so that each program finds the DLLs it imports.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# M_PI and friends: the strict C++17 mode hides them on Windows unless asked for.
add_compile_definitions(_USE_MATH_DEFINES NOMINMAX WIN32_LEAN_AND_MEAN)

# libdeflate, the plug-in's inflate, as the target kmq_libdeflate: through the package's own CMake
# configuration where it has one (vcpkg's, in the build against the host's SDK), else its header
# and library found directly (Debian's libdeflate-dev; the static libdeflate.a that
# scripts/windows-deps.sh builds for the cross build, found through KMQ_MINGW_PREFIX).
if(TARGET kmq_libdeflate)
  return()
endif()
add_library(kmq_libdeflate INTERFACE IMPORTED GLOBAL)
find_package(libdeflate CONFIG QUIET)
if(TARGET libdeflate::libdeflate_static)
  set_target_properties(kmq_libdeflate PROPERTIES INTERFACE_LINK_LIBRARIES
                                                  libdeflate::libdeflate_static)
elseif(TARGET libdeflate::libdeflate_shared)
  set_target_properties(kmq_libdeflate PROPERTIES INTERFACE_LINK_LIBRARIES
                                                  libdeflate::libdeflate_shared)
else()
  find_path(KMQ_LIBDEFLATE_INCLUDE_DIR libdeflate.h)
  find_library(KMQ_LIBDEFLATE_LIBRARY NAMES deflate libdeflate deflatestatic libdeflatestatic)
  if(NOT KMQ_LIBDEFLATE_INCLUDE_DIR OR NOT KMQ_LIBDEFLATE_LIBRARY)
    message(FATAL_ERROR "libdeflate not found: install libdeflate-dev (scripts/install-deps.sh), "
                        "or on Windows add it with vcpkg (vcpkg.json)")
  endif()
  set_target_properties(kmq_libdeflate PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES "${KMQ_LIBDEFLATE_INCLUDE_DIR}"
                        INTERFACE_LINK_LIBRARIES "${KMQ_LIBDEFLATE_LIBRARY}")
endif()

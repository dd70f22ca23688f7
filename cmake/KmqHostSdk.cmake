# The plug-in alone, built against the host's own SDK (KMQ_HOST_SDK=<folder> holding include/ and
# lib/fbsdk.lib): Visual Studio 2017 or later, x64, the /MD runtime the host uses, C++17,
# Protocol Buffers, zlib and libdeflate from vcpkg (vcpkg.json). Nothing of the stand-in in host/
# is compiled.
# `cmake --install` copies KovrimMotionQuorve.dll into KMQ_HOST_PLUGIN_DIR, the folder the host
# loads plug-ins from.
if(NOT MSVC)
  message(FATAL_ERROR "KMQ_HOST_SDK: the host's SDK is built against with Visual Studio 2017 or "
                      "later (MSVC)")
endif()
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  message(FATAL_ERROR "KMQ_HOST_SDK: the host is 64-bit; configure with -A x64")
endif()
if(MSVC_VERSION LESS 1910)
  message(FATAL_ERROR "KMQ_HOST_SDK: Visual Studio 2017 (MSVC 19.10) or later is needed")
endif()
if(NOT EXISTS "${KMQ_HOST_SDK}/include/fbsdk/fbsdk.h")
  message(FATAL_ERROR "KMQ_HOST_SDK=${KMQ_HOST_SDK} has no include/fbsdk/fbsdk.h")
endif()
find_library(KMQ_FBSDK_LIBRARY fbsdk PATHS "${KMQ_HOST_SDK}/lib" "${KMQ_HOST_SDK}/lib/x64"
             NO_DEFAULT_PATH)
if(NOT KMQ_FBSDK_LIBRARY)
  message(FATAL_ERROR "KMQ_HOST_SDK=${KMQ_HOST_SDK} has no lib/fbsdk.lib")
endif()

# The SDK folder sits in the host's installation; its plug-in folder is bin/x64/plugins there.
get_filename_component(kmq_host_root "${KMQ_HOST_SDK}/.." ABSOLUTE)
set(KMQ_HOST_PLUGIN_DIR "${kmq_host_root}/bin/x64/plugins"
    CACHE PATH "Folder the host loads plug-ins from (install destination)")

set(CMAKE_MSVC_RUNTIME_LIBRARY MultiThreadedDLL$<$<CONFIG:Debug>:Debug>)  # /MD (/MDd)

find_package(Protobuf CONFIG REQUIRED)  # vcpkg's, with its protoc
find_package(ZLIB REQUIRED)
include(KmqLibdeflate)  # vcpkg's libdeflate, static in the x64-windows-static-md triplet

set(kmq_plugin_dir ${PROJECT_SOURCE_DIR}/src/motion_builder/src)
set(kmq_proto_out ${CMAKE_BINARY_DIR}/gen)
file(MAKE_DIRECTORY ${kmq_proto_out})
add_custom_command(
  OUTPUT ${kmq_proto_out}/IVRA_PLUG_MESSAGE.pb.cc ${kmq_proto_out}/IVRA_PLUG_MESSAGE.pb.h
  COMMAND protobuf::protoc --proto_path=${kmq_plugin_dir} --cpp_out=${kmq_proto_out}
          ${kmq_plugin_dir}/IVRA_PLUG_MESSAGE.proto
  DEPENDS ${kmq_plugin_dir}/IVRA_PLUG_MESSAGE.proto
  COMMENT "Generating the message classes from IVRA_PLUG_MESSAGE.proto"
  VERBATIM)

add_library(kovrim_plugin SHARED
  ${kmq_plugin_dir}/server_link.cpp
  ${kmq_plugin_dir}/trace_throttle.cpp
  ${kmq_plugin_dir}/frame_assembler.cpp
  ${kmq_plugin_dir}/payload_codec.cpp
  ${kmq_plugin_dir}/kovrim_device.cpp
  ${kmq_plugin_dir}/kovrim_layout.cpp
  ${kmq_plugin_dir}/kovrim_library.cpp
  ${kmq_proto_out}/IVRA_PLUG_MESSAGE.pb.cc)
set_target_properties(kovrim_plugin PROPERTIES OUTPUT_NAME KovrimMotionQuorve PREFIX "")
target_include_directories(kovrim_plugin PRIVATE "${KMQ_HOST_SDK}/include" ${kmq_plugin_dir})
target_include_directories(kovrim_plugin SYSTEM PRIVATE ${kmq_proto_out})
target_compile_definitions(kovrim_plugin PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN _USE_MATH_DEFINES)
target_compile_options(kovrim_plugin PRIVATE /std:c++17 /permissive- /EHsc /W4 /utf-8)
target_link_libraries(kovrim_plugin PRIVATE "${KMQ_FBSDK_LIBRARY}" protobuf::libprotobuf
                                            ZLIB::ZLIB kmq_libdeflate)
install(TARGETS kovrim_plugin RUNTIME DESTINATION "${KMQ_HOST_PLUGIN_DIR}"
        LIBRARY DESTINATION "${KMQ_HOST_PLUGIN_DIR}")

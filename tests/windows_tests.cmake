# The suites of the Windows build (run under wine by scripts/windows-check.sh). Those left out
# drive POSIX-only tools in-process or as child programs (the reference server, the stream
# capture, the fault-injecting server) or POSIX calls directly. Labels as in CMakeLists.txt, less
# `threads` (ThreadSanitizer runs in the Linux build only).

# The test peers use Winsock directly.
link_libraries(ws2_32)

# Host stand-in
kmq_test(host_math_test SOURCES host_math_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_time_test SOURCES host_time_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_string_test SOURCES host_string_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_socket_contract_test SOURCES host_socket_contract_test.cpp LIBS fbsdk_control
         LABELS unit)
kmq_test(host_dialog_test SOURCES host_dialog_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_layout_test SOURCES host_layout_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_controls_test SOURCES host_controls_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_character_test SOURCES host_character_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_device_layout_test SOURCES host_device_layout_test.cpp LIBS fbsdk_control LABELS unit)
kmq_test(host_registration_test SOURCES host_registration_test.cpp host_sample_device.cpp
         LIBS fbsdk_control LABELS unit)
kmq_test(host_device_test SOURCES host_device_test.cpp host_sample_device.cpp LIBS fbsdk_control
         LABELS unit)
kmq_test(host_template_test SOURCES host_template_test.cpp host_sample_device.cpp
         LIBS fbsdk_control LABELS unit)
kmq_test(host_scene_test SOURCES host_scene_test.cpp host_sample_device.cpp LIBS fbsdk_control
         LABELS unit)
kmq_test(host_evaluation_test SOURCES host_evaluation_test.cpp host_sample_device.cpp
         LIBS fbsdk_control LABELS unit)
kmq_test(host_realtime_threads_test SOURCES host_realtime_threads_test.cpp host_sample_device.cpp
         LIBS fbsdk_control LABELS unit)
# The test programs link the sample device's objects: they register from a static initialiser.
foreach(test host_registration_test host_device_test host_template_test host_scene_test
        host_evaluation_test host_realtime_threads_test)
  target_compile_definitions(${test} PRIVATE K_NODLL)
endforeach()
# Frame assembler and payload codec
kmq_test(frame_assembler_test SOURCES frame_assembler_test.cpp LIBS kmq_wire ivra_messages)
# Server link
kmq_test(server_link_test SOURCES server_link_stream_test.cpp server_link_pose_test.cpp
         LIBS kovrim_link fbsdk_control LABELS unit)
# The Windows headers seen before and after the link's own: both orders reach one definition.
kmq_test(windows_include_order_test SOURCES windows_include_order_test.cpp
         windows_include_order_other.cpp LIBS kovrim_link fbsdk_control LABELS unit)
# Device, panel and characterization
kmq_test(kovrim_device_test SOURCES kovrim_device_test.cpp LIBS kovrim_device_objects fbsdk_control
         LABELS unit)
kmq_test(kovrim_layout_test SOURCES kovrim_layout_test.cpp LIBS kovrim_device_objects fbsdk_control
         LABELS unit)
kmq_test(kovrim_character_test SOURCES kovrim_character_test.cpp
         LIBS kovrim_device_objects fbsdk_control LABELS unit)
# The plug-in DLL loaded as the host loads it (DllMain registration, decorated entry).
kmq_test(windows_plugin_load_test SOURCES windows_plugin_load_test.cpp LIBS headless_host_lib
         LABELS tool)
kmq_test(console_platform_test SOURCES console_platform_test.cpp LIBS headless_host_lib LABELS unit)

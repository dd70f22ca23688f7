# The suites that also run in the Windows build (under wine, scripts/windows-check.sh); each is
# registered once, in CMakeLists.txt, and kmq_test makes there only those named here. Those left
# out drive POSIX-only tools in-process or as child programs (the stream capture, the reference
# server started as a child program) or POSIX calls directly. The last two run only there.
set(KMQ_WINDOWS_TESTS
    # Host stand-in
    host_math_test host_time_test host_string_test host_socket_contract_test host_dialog_test
    host_layout_test host_controls_test host_character_test host_device_layout_test
    host_registration_test host_device_test host_template_test host_scene_test
    host_evaluation_test host_realtime_threads_test
    # Frame assembler and payload codec, server link
    frame_assembler_test server_link_test
    # Device, panel and characterization
    kovrim_device_test kovrim_layout_test kovrim_character_test
    # The headless host's console calls
    console_platform_test
    # Windows only
    windows_include_order_test windows_plugin_load_test)

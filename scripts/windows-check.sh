#!/usr/bin/env bash
# The Windows x64 check, in one command: installs the cross toolchain and wine, builds (once,
# cached) the mingw libprotobuf and GoogleTest, cross-builds fbsdk.dll, KovrimMotionQuorve.dll and
# the test programs into build-win/, and runs the Windows suites under wine (headless, no display).
# Extra arguments go to ctest (for instance -R Kovrim).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KMQ_WINDOWS_BUILD:-$root/build-win}
jobs=${KMQ_JOBS:-2}

# What builds here is what builds against the host's SDK: includes and SDK names of the plug-in.
python3 "$root/scripts/check-sdk-mirror.py"

start=$(date +%s)
prefix=$("$root/scripts/windows-deps.sh" | tail -n1)
echo "windows-check: mingw libraries in $prefix ($(($(date +%s) - start)) s)"

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" \
  -DKMQ_MINGW_PREFIX="$prefix" -DKMQ_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DProtobuf_PROTOC_EXECUTABLE="$(command -v protoc)" "${launcher[@]}" >/dev/null

# A fresh wine prefix is made once, before the tests, so that no test pays for it.
"$root/scripts/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true

targets=(fbsdk kovrim_plugin host_math_test host_time_test host_string_test host_socket_contract_test
         host_dialog_test host_layout_test host_controls_test host_character_test
         host_device_layout_test host_registration_test host_device_test host_template_test
         host_scene_test host_evaluation_test server_link_test windows_include_order_test
         kovrim_device_test kovrim_layout_test kovrim_character_test)
build_start=$(date +%s)
nice cmake --build "$build" -j"$jobs" --target "${targets[@]}"
echo "windows-check: cross build $(($(date +%s) - build_start)) s"

test_start=$(date +%s)
ctest --test-dir "$build" --output-on-failure -j"$jobs" "$@"
echo "windows-check: wine test run $(($(date +%s) - test_start)) s"

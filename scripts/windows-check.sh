#!/usr/bin/env bash
# The Windows x64 check, in one command: installs the cross toolchain and wine, builds (once,
# cached) the mingw libprotobuf, libdeflate and GoogleTest, cross-builds fbsdk.dll,
# KovrimMotionQuorve.dll, the test programs, kovrim-headless-host.exe and kovrim-motion-server.exe
# into build-win/, runs the Windows suites under wine (headless, no display), then the round trips:
# the headless host under wine records from the reference server running natively on loopback,
# and the native host from the server under wine; each take is checked against its capture.
# Extra arguments go to ctest (for instance -R Kovrim).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KMQ_WINDOWS_BUILD:-$root/build-win}
jobs=${KMQ_JOBS:-2}

start=$(date +%s)
prefix=$("$root/scripts/windows-deps.sh" | tail -n1)
echo "windows-check: mingw libraries in $prefix ($(($(date +%s) - start)) s)"

# What builds here is what builds against the host's SDK: includes and SDK names of the plug-in.
# (Python comes with the packages above.)
python3 "$root/scripts/check-sdk-mirror.py"

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" \
  -DKMQ_MINGW_PREFIX="$prefix" -DKMQ_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DProtobuf_PROTOC_EXECUTABLE="$(command -v protoc)" "${launcher[@]}" >/dev/null

# A fresh wine prefix is made once, before the tests, so that no test pays for it.
"$root/scripts/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true

# The plug-in, the headless host, the reference server and the suites tests/windows_tests.cmake
# names (`test_programs`).
targets=(fbsdk kovrim_plugin kovrim-headless-host kovrim-motion-server test_programs)
build_start=$(date +%s)
nice cmake --build "$build" -j"$jobs" --target "${targets[@]}"
echo "windows-check: cross build $(($(date +%s) - build_start)) s"

test_start=$(date +%s)
# wine's server now and then drops a client at start-up ("recvmsg: Connection reset by peer"),
# failing a test before it runs; such a test is run once more. A test that fails twice fails.
ctest --test-dir "$build" --output-on-failure -j"$jobs" --repeat until-pass:2 "$@"
echo "windows-check: wine test run $(($(date +%s) - test_start)) s"

# The round trip: the Linux reference server (native build in build/) on a free loopback port.
native=${KMQ_NATIVE_BUILD:-$root/build}
round_start=$(date +%s)
cmake -S "$root" -B "$native" "${launcher[@]}" >/dev/null
nice cmake --build "$native" -j"$jobs" --target kovrim-motion-server kovrim-headless-host \
  take_check >/dev/null
capture="$root/data/bvh/cmu_12_01_walk.bvh"
server_log=$(mktemp)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -f "$server_log"' EXIT

# Starts a reference server (the command given) on a free loopback port and sets port to the
# port it says it listens on.
start_server() {
  : >"$server_log"
  "$@" --port 0 "$capture" >"$server_log" 2>&1 &
  server=$!
  port=""
  for _ in $(seq 300); do  # Up to 30 s for the server to say where it listens.
    port=$(grep -o 'listening on 127.0.0.1:[0-9]*' "$server_log" | head -n1 | cut -d: -f2 || true)
    [ -n "$port" ] && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  echo "windows-check: the reference server did not start:" >&2
  cat "$server_log" >&2
  exit 1
}

stop_server() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=""
}

# The device keys at most one frame per evaluation, so the host evaluates at twice the capture's
# 120 Hz, as the Linux round trip does: then every frame finds the gate open.
take="$build/take-wine.bvh"
start_server "$native/tools/motion_server/kovrim-motion-server"
rm -f "$take"
"$root/scripts/wine-run.sh" "$build/bin/kovrim-headless-host.exe" --server "127.0.0.1:$port" \
  --seconds 3 --display-rate 240 --out "$take" --no-contact-sheet
stop_server
"$native/tests/take_check" "$capture" "$take"

# The other way round: the server's Windows sockets under wine, the Linux host recording from it.
take="$build/take-from-wine-server.bvh"
start_server "$root/scripts/wine-run.sh" "$build/bin/kovrim-motion-server.exe"
rm -f "$take"
"$native/tools/headless_host/kovrim-headless-host" --server "127.0.0.1:$port" --seconds 3 \
  --display-rate 240 --out "$take" --no-contact-sheet
stop_server
"$native/tests/take_check" "$capture" "$take"
echo "windows-check: round trips under wine $(($(date +%s) - round_start)) s"

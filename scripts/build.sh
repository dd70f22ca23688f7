#!/usr/bin/env bash
# Configures and builds the project into BUILD_DIR (default: build). Extra arguments go to cmake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
# ccache, when the machine has it, makes a rebuild in a fresh clone cheap; nothing depends on it.
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

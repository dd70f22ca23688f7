#!/usr/bin/env bash
# Builds everything and runs every test but the long soak runs (label `soak`; run those with
# `ctest --test-dir build -L soak`).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure -LE soak

#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure

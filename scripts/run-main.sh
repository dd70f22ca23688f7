#!/usr/bin/env bash
# Builds the project and runs the main job: the headless host loads the plug-in library, the
# reference motion server streams a bundled BVH capture to it, and the recorded take is written to
# BUILD_DIR/take.bvh. Extra arguments go to the headless host (they may override --out).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
"$build/tools/headless_host/kovrim-headless-host" --out "$build/take.bvh" "$@"

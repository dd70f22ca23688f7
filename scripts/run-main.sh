#!/usr/bin/env bash
# Builds the project and runs the main job: the reference motion server streams a bundled BVH
# capture and the plug-in's server link receives it. Extra arguments go to the link client.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
"$build/tools/link_client/kovrim-link-client" --local "$@"

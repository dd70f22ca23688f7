#!/bin/sh
# Whole CPU use (user + sys) of the headless host recording 5 s at 60 evaluations a second, for
# the 31-joint walk and the same walk grown to 173 joints with finger chains, repeated; the
# in-process reference server streams each capture at its 120 Hz. Run after building
# kovrim-headless-host, kovrim-bvh-fingers and the plug-in into build/.
#   scripts/measure-headless-cpu.sh [repetitions]
set -e
cd "$(dirname "$0")/.."
reps=${1:-3}
big=build/cmu_12_01_walk_fingers173.bvh
build/tools/bvh/kovrim-bvh-fingers data/bvh/cmu_12_01_walk.bvh 173 "$big"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
i=0
while [ "$i" -lt "$reps" ]; do
  i=$((i + 1))
  for bvh in data/bvh/cmu_12_01_walk.bvh "$big"; do
    /usr/bin/time -o "$out/time" -f "%U %S" build/tools/headless_host/kovrim-headless-host \
      --bvh "$bvh" --display-rate 60 --seconds 5 --out "$out/take.bvh" --no-contact-sheet \
      >/dev/null 2>&1
    read -r user sys <"$out/time"
    echo "$i $(basename "$bvh") user $user sys $sys cpu $(awk "BEGIN { print $user + $sys }")"
  done
done

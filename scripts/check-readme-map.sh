#!/usr/bin/env bash
# The README's map ("Where things live") against the tree. Every folder holding files other than
# CMakeLists.txt has a row of its own, or is named (as `sub/` or `folder/sub/`) in the row of a
# folder above it; every row names a folder that exists; every benchmark in bench/ is named in the
# row of bench/. Prints each mismatch and fails when there is one. Build folders and .git aside.
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

rows=$(sed -n '/^## Where things live/,/^## /p' README.md | grep '^| `' || true)
declare -A row
while IFS= read -r line; do
  path=${line#| \`}
  path=${path%%\`*}
  row[${path%/}]=$line
done <<<"$rows"

status=0
for path in "${!row[@]}"; do
  [ -d "$path" ] || { echo "README map: a row for $path/, which is no folder"; status=1; }
done

folders=$(find . -mindepth 1 \( -name .git -o -path './build*' \) -prune -o -type f \
            ! -name CMakeLists.txt -printf '%h\n' | sed 's|^\./||' | grep -v '^\.$' | sort -u)
while IFS= read -r folder; do
  [ -n "${row[$folder]+set}" ] && continue
  covered=""
  above=$folder
  while [ -z "$covered" ] && [[ $above == */* ]]; do
    above=${above%/*}
    [ -n "${row[$above]+set}" ] || continue
    # The folder, or one between it and the row's folder, named in the row.
    named=$folder
    while [ "$named" != "$above" ]; do
      if [[ ${row[$above]} == *"\`$named/\`"* || ${row[$above]} == *"\`${named#"$above"/}/\`"* ]]; then
        covered=yes
        break
      fi
      named=${named%/*}
    done
  done
  [ -n "$covered" ] || { echo "README map: no row names $folder/"; status=1; }
done <<<"$folders"

for bench in bench/*_bench.cpp; do
  name=$(basename "$bench" .cpp)
  [[ ${row[bench]:-} == *"\`$name\`"* ]] || { echo "README map: the bench/ row names no $name"; status=1; }
done
exit $status

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Runs apt-get as root, or through sudo otherwise. Safe to run again: it does nothing when all is there.
set -euo pipefail

# libdeflate-dev: the plug-in's inflate. clang runs the lock analysis test and, with
# libclang-rt-14-dev (libFuzzer and clang's sanitizer runtimes), builds the fuzz targets.
packages=(cmake make g++ pkg-config protobuf-compiler libprotobuf-dev zlib1g-dev libdeflate-dev
          libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  apt_get=(apt-get)
elif command -v sudo >/dev/null 2>&1; then
  apt_get=(sudo apt-get)
else
  echo "error: missing packages (${missing[*]}) and neither root nor sudo is available" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${apt_get[@]}" update -qq
"${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}"

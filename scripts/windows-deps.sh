#!/usr/bin/env bash
# Installs what the Windows x64 cross build needs and builds, once, what Debian does not package for
# mingw-w64: a static libprotobuf from Debian's own protobuf source package (the version the Linux
# build uses), a static libdeflate from Debian's libdeflate source package (likewise) and GoogleTest
# from Debian's googletest sources. The builds are cached outside the repository, keyed by version,
# and reused on the next run.
#
# Prints the prefix of the cached libraries on its last line of stdout.
# KMQ_MINGW_CACHE overrides the cache folder (default /var/cache/kovrim-mingw, or ~/.cache/kovrim-mingw
# when that is not writable).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" >&2

packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 dpkg-dev googletest protobuf-compiler zip
          libprotobuf-dev libdeflate-dev cmake make python3)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ "$(id -u)" -eq 0 ]; then
  apt_get=(apt-get)
else
  apt_get=(sudo apt-get)
fi
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  "${apt_get[@]}" update -qq >&2
  "${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

protobuf_version=$(dpkg-query -W -f='${Version}' libprotobuf-dev)
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
deflate_version=$(dpkg-query -W -f='${Version}' libdeflate-dev)
compiler_version=$(x86_64-w64-mingw32-g++-posix -dumpversion)

cache=${KMQ_MINGW_CACHE:-/var/cache/kovrim-mingw}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then
  cache=${HOME}/.cache/kovrim-mingw
  mkdir -p "$cache"
fi
prefix="$cache/gcc${compiler_version}-protobuf${protobuf_version}-gtest${gtest_version}"
prefix+="-deflate${deflate_version}"
toolchain="$root/cmake/toolchain-x86_64-w64-mingw32.cmake"
jobs=${KMQ_JOBS:-2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Unpacks Debian's source package $1 at version $2 into $work, adding the deb-src entry for
# Debian's archive when there is none, and prints the folder it made.
fetch_source() {
  if ! apt-get source --print-uris -qq "$1=$2" >/dev/null 2>&1; then
    list=/etc/apt/sources.list.d/kovrim-deb-src.sources
    echo "Adding $list for Debian's sources" >&2
    "${apt_get[@]/apt-get/tee}" "$list" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    "${apt_get[@]}" update -qq >&2
  fi
  (cd "$work" && apt-get source -qq "$1=$2" >&2)
  find "$work" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | head -n1
}

if [ ! -f "$prefix/.protobuf-zlib-done" ]; then
  source_dir=$(fetch_source protobuf "$protobuf_version")
  echo "Building libprotobuf $protobuf_version for x86_64-w64-mingw32 into $prefix" >&2
  nice cmake -S "$source_dir" -B "$work/build-protobuf" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -Dprotobuf_BUILD_TESTS=OFF \
    -Dprotobuf_BUILD_PROTOC_BINARIES=OFF -Dprotobuf_BUILD_SHARED_LIBS=OFF -Dprotobuf_WITH_ZLIB=ON \
    -Dprotobuf_BUILD_LIBPROTOC=OFF -Dprotobuf_INSTALL=ON >&2
  nice cmake --build "$work/build-protobuf" -j"$jobs" --target libprotobuf libprotobuf-lite >&2
  cmake --install "$work/build-protobuf" >&2
  touch "$prefix/.protobuf-zlib-done"
fi

# libdeflate's own Makefile, static library only (mingw names it libdeflatestatic.lib), installed
# as libdeflate.a beside libprotobuf.a, where CMake's find_library(deflate) looks.
if [ ! -f "$prefix/.deflate-done" ]; then
  source_dir=$(fetch_source libdeflate "$deflate_version")
  echo "Building libdeflate $deflate_version for x86_64-w64-mingw32 into $prefix" >&2
  nice make -C "$source_dir" -j"$jobs" CC=x86_64-w64-mingw32-gcc-posix \
    AR=x86_64-w64-mingw32-ar libdeflatestatic.lib >&2
  install -d "$prefix/lib" "$prefix/include"
  install -m644 "$source_dir/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
  install -m644 "$source_dir/libdeflate.h" "$prefix/include/libdeflate.h"
  touch "$prefix/.deflate-done"
fi

if [ ! -f "$prefix/.gtest-done" ]; then
  work_gtest=$(mktemp -d)
  echo "Building GoogleTest $gtest_version for x86_64-w64-mingw32 into $prefix" >&2
  nice cmake -S /usr/src/googletest -B "$work_gtest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF \
    -DBUILD_GMOCK=ON >&2
  nice cmake --build "$work_gtest" -j"$jobs" >&2
  cmake --install "$work_gtest" >&2
  rm -rf "$work_gtest"
  touch "$prefix/.gtest-done"
fi

echo "$prefix"

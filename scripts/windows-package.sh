#!/usr/bin/env bash
# Makes the Windows x64 package from the cross build that scripts/windows-check.sh made (it builds
# nothing): build-win/package/KovrimMotionQuorve-<version>-windows-x64.zip, the version being the
# project's CMake version as the cross build was configured with it. The zip holds one folder of
# the same name: KovrimMotionQuorve.dll, INSTALL.txt (scripts/windows-install.txt), the licences
# of what is linked into the DLL and the tools, and tools\ with kovrim-headless-host.exe,
# kovrim-motion-server.exe (the reference server) and the DLLs they import, all without their debug information. Then it checks the zip: its list of files
# is the one below, every DLL its programs and DLLs import is in it or part of Windows, and the
# headless host and the DLL from the zip, and nothing else, load the plug-in and create its device
# under wine, and the zip's server answers --help there. The zip is put in place only when every check passes. Prints its path on its last
# line.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KMQ_WINDOWS_BUILD:-$root/build-win}
bin=$build/bin
out=$build/package

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [ -z "$version" ] || [ ! -f "$bin/KovrimMotionQuorve.dll" ] ||
   [ ! -f "$bin/kovrim-headless-host.exe" ] || [ ! -f "$bin/kovrim-motion-server.exe" ]; then
  echo "windows-package: no cross build in $build; run scripts/windows-check.sh first" >&2
  exit 1
fi
name=KovrimMotionQuorve-$version-windows-x64
zip_path=$out/$name.zip
rm -f "$zip_path"

# The mingw runtime DLLs the programs import (the posix-threads compiler's own folder first, as
# scripts/wine-run.sh searches them), and Debian's copyright files of what the DLLs carry.
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
runtime_dll() {
  for dir in "$runtime" /usr/x86_64-w64-mingw32/lib; do
    if [ -f "$dir/$1" ]; then echo "$dir/$1"; return; fi
  done
  echo "windows-package: $1 not found" >&2
  exit 1
}
licences=(
  "protobuf.txt:/usr/share/doc/libprotobuf-dev/copyright"            # Protocol Buffers, static
  "libdeflate.txt:/usr/share/doc/libdeflate-dev/copyright"           # libdeflate, static
  "zlib.txt:/usr/share/doc/libz-mingw-w64/copyright"                 # zlib1.dll
  "gcc-runtime.txt:/usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright"  # libstdc++, libgcc
  "mingw-w64.txt:/usr/share/doc/mingw-w64-x86-64-dev/copyright"      # CRT start-up, winpthread
)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
folder=$stage/$name
mkdir -p "$folder/licences" "$folder/tools" "$out"
cp "$bin/KovrimMotionQuorve.dll" "$folder/"
# The device's name as the host lists it, from the plug-in's own texts.
label=$(sed -n 's/^#define KOVRIM_DEVICE_LABEL "\(.*\)"$/\1/p' \
  "$root/src/motion_builder/src/kovrim_texts.h")
sed -e "s/@VERSION@/$version/" -e "s/@DEVICE_LABEL@/$label/" -e 's/$/\r/' \
  "$root/scripts/windows-install.txt" >"$folder/INSTALL.txt"
for entry in "${licences[@]}"; do
  cp "${entry#*:}" "$folder/licences/${entry%%:*}"
done
cp "$bin/kovrim-headless-host.exe" "$bin/kovrim-motion-server.exe" "$bin/fbsdk.dll" "$folder/tools/"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll zlib1.dll; do
  cp "$(runtime_dll "$dll")" "$folder/tools/"
done
# The debug information stays in the build: the user gets the code alone.
x86_64-w64-mingw32-strip --strip-debug "$folder"/*.dll "$folder"/tools/*.dll "$folder"/tools/*.exe
# Made beside the stage and put in place once checked: a zip that fails a check is never left.
made=$stage/$name.zip
(cd "$stage" && zip -q -r -X "$made" "$name")

# The check: the zip holds exactly these files.
expected="$name/INSTALL.txt
$name/KovrimMotionQuorve.dll
$name/licences/gcc-runtime.txt
$name/licences/libdeflate.txt
$name/licences/mingw-w64.txt
$name/licences/protobuf.txt
$name/licences/zlib.txt
$name/tools/fbsdk.dll
$name/tools/kovrim-headless-host.exe
$name/tools/kovrim-motion-server.exe
$name/tools/libgcc_s_seh-1.dll
$name/tools/libstdc++-6.dll
$name/tools/libwinpthread-1.dll
$name/tools/zlib1.dll"
listed=$(python3 -c 'import sys, zipfile
print("\n".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' \
  "$made")
if [ "$listed" != "$expected" ]; then
  echo "windows-package: the zip's files differ from the list:" >&2
  diff <(echo "$expected") <(echo "$listed") >&2 || true
  exit 1
fi

# The check: every DLL that a program or DLL of the zip imports is in the zip beside it or is
# part of Windows. (Wine has a zlib1.dll of its own, so loading alone would not tell.)
check=$stage/check
mkdir -p "$check"
python3 -m zipfile -e "$made" "$check"
system_dlls=" kernel32.dll msvcrt.dll ws2_32.dll "
for module in "$check/$name"/*.dll "$check/$name"/tools/*.dll "$check/$name"/tools/*.exe; do
  for import in $(x86_64-w64-mingw32-objdump -p "$module" | sed -n 's/^\tDLL Name: //p'); do
    lower=${import,,}
    if [[ $system_dlls == *" $lower "* ]] || [ -f "$check/$name/tools/$import" ]; then continue; fi
    echo "windows-package: ${module#"$check/"} imports $import, which the zip lacks" >&2
    exit 1
  done
done

# The check: unpacked afresh, the zip's headless host loads the zip's DLL and creates its device
# under wine, finding every DLL in the zip (no build or runtime folder on wine's path).
printf 'load\ndevice\n' >"$check/load.kmq"
dll_path="$check/$name/KovrimMotionQuorve.dll"
dll_path="Z:${dll_path//\//\\}"  # wine's drive Z: is the root folder
if ! answers=$(cd "$check" && KMQ_WINE_BARE=1 "$root/scripts/wine-run.sh" \
    "$name/tools/kovrim-headless-host.exe" --script load.kmq --plugin "$dll_path" 2>&1); then
  echo "windows-package: the zip's plug-in did not load under wine:" >&2
  echo "$answers" >&2
  exit 1
fi
echo "$answers"
# The check: the zip's reference server starts under wine with what the zip holds.
if ! usage=$(cd "$check" && KMQ_WINE_BARE=1 "$root/scripts/wine-run.sh" \
    "$name/tools/kovrim-motion-server.exe" --help 2>&1) || [[ $usage != *--port* ]]; then
  echo "windows-package: the zip's reference server did not start under wine:" >&2
  echo "$usage" >&2
  exit 1
fi
mv "$made" "$zip_path"
echo "windows-package: $(wc -l <<<"$expected") files, the plug-in loads from the zip and its server starts, under wine"
echo "$zip_path"

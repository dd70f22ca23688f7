#!/usr/bin/env bash
# Runs a Windows program of the cross build under wine, headless: no display, no wine chatter, and
# the mingw runtime DLLs (libstdc++, libgcc, winpthread) and the build's own DLLs on the search path.
# Used as CMake's cross-compiling emulator, so CTest runs the test programs through it.
set -euo pipefail
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-${HOME}/.cache/kovrim-wine}
# wine makes the prefix itself but not the folders above it: a fresh machine may have no ~/.cache.
mkdir -p "$(dirname "$WINEPREFIX")"
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
# The runtime and build folders go on wine's path unless KMQ_WINE_BARE=1: then a program finds
# only the DLLs beside it and wine's own (the package check, scripts/windows-package.sh).
if [ -z "${KMQ_WINE_BARE:-}" ]; then
  runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
  paths="$runtime;/usr/x86_64-w64-mingw32/lib"
  # The build's DLLs: KMQ_WINE_DLL_DIRS (";"-separated host paths), set by the build for its tests.
  [ -n "${KMQ_WINE_DLL_DIRS:-}" ] && paths="$paths;$KMQ_WINE_DLL_DIRS"
  export WINEPATH="$paths${WINEPATH:+;$WINEPATH}"
fi
exec "$wine" "$@"

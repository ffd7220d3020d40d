#!/usr/bin/env bash
# Builds norvane.exe and opens a picture in it under Wine (the bundled
# samples/sample.jpg unless a path is given). On a fresh Debian 12 machine, as
# root, it first installs the packages and cross-builds the Windows libraries
# (cached in /var/cache/norvane-deps, a few minutes the first time).
#
# With a display the viewer opens on it and the script ends when it is closed.
# Without one it runs in a 1920x1080 Wine virtual desktop inside Xvfb, saves a
# screenshot after a few seconds (build/screenshot.png), and stops everything.
#
# Usage: scripts/run-viewer.sh [PICTURE]
# NORVANE_BUILD_DIR (build/win) and NORVANE_SCREENSHOT (build/screenshot.png)
# choose other places; NORVANE_SHOT_DELAY the seconds before the screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
build=${NORVANE_BUILD_DIR:-build/win}
shot=${NORVANE_SCREENSHOT:-build/screenshot.png}
delay=${NORVANE_SHOT_DELAY:-8}
picture=$(realpath "${1:-samples/sample.jpg}")

bash scripts/install-packages.sh
prefix=$(bash scripts/build-deps.sh | tail -n 1)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DNORVANE_DEPS_PREFIX="$prefix" -DGTest_DIR="$prefix/lib/cmake/GTest" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs" --target norvane
viewer=$(realpath "$build/norvane.exe")

# The viewer's own prefix, apart from the tests' ones.
export NORVANE_WINE_ROOT=${NORVANE_VIEWER_WINE_ROOT:-$root/build/viewer-wine}
source scripts/wine-env.sh
norvane_prepare_prefix "the viewer's"
winpic="Z:${picture//\//\\}"

if [ -n "${DISPLAY:-}" ]; then
  exec wine "$viewer" "$winpic"
fi

xvfb_pid=
wine_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -z "$wine_pid" ] || wait "$wine_pid" 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
norvane_start_xvfb 1920x1080

wineserver -k >/dev/null 2>&1 || true
wine explorer /desktop=norvane,1920x1080 "$viewer" "$winpic" >/dev/null 2>&1 </dev/null &
wine_pid=$!
sleep "$delay"
mkdir -p "$(dirname "$shot")"
import -window root "$shot"
echo "screenshot of the viewer on $(basename "$picture"): $(realpath "$shot")"

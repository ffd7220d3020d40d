#!/usr/bin/env bash
# Builds everything and runs every test: the native suite under
# AddressSanitizer and UndefinedBehaviorSanitizer (g++), a clang build with the
# fuzz targets given a short run, and the same suite cross-built as Windows
# programs and run under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}

bash scripts/install-packages.sh
prefix=$(bash scripts/build-deps.sh | tail -n 1)
# Camera JPEGs for the maker-note test of metadata saves (cached after the
# first run).
samples=$(bash scripts/fetch-camera-samples.sh | tail -n 1)

echo "== native build (g++, ASan+UBSan)"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_C_COMPILER=gcc -DNORVANE_SANITIZE=ON >/dev/null
cmake --build build/native -j"$jobs"

echo "== native build (clang, fuzz targets)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DNORVANE_FUZZ=ON >/dev/null
cmake --build build/fuzz -j"$jobs"

echo "== Windows build (mingw-w64)"
cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DNORVANE_DEPS_PREFIX="$prefix" -DGTest_DIR="$prefix/lib/cmake/GTest" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$jobs"

status=0
echo "== native tests"
NORVANE_CAMERA_SAMPLES=$samples ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/native --output-on-failure -j"$jobs" || status=1

echo "== fuzzing (short runs from the fixtures)"
bash scripts/fuzz.sh build/fuzz 20 || status=1

echo "== Windows tests under Wine"
export NORVANE_WINE_ROOT=$root/build/wine
bash scripts/wine-start.sh
ctest --test-dir build/win --output-on-failure || status=1
bash scripts/wine-stop.sh

if [ $status -ne 0 ]; then
  echo "FAILED"
else
  echo "all tests passed"
fi
exit $status

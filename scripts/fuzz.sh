#!/usr/bin/env bash
# Runs every fuzz target of a clang fuzz build for a few seconds, seeded from
# the test fixtures and tests/fuzz/seeds/TARGET. Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:-build/fuzz}
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  dict=$root/tests/fuzz/$name.dict
  args=(-max_total_time="$seconds" -max_len=65536 -rss_limit_mb=8192 -malloc_limit_mb=8192 -timeout=120)
  [ -f "$dict" ] && args+=(-dict="$dict")
  seeds=("$root/tests/fixtures")
  [ -d "$root/tests/fuzz/seeds/$name" ] && seeds+=("$root/tests/fuzz/seeds/$name")
  if "$target" "${args[@]}" "$corpus" "${seeds[@]}" >"$build/$name.log" 2>&1; then
    echo "$name: $(grep -Eo 'Done [0-9]+ runs' "$build/$name.log" | tail -1)"
  else
    echo "$name: FAILED"; tail -40 "$build/$name.log"; status=1
  fi
done
exit $status

#!/usr/bin/env bash
# Longer fuzzing by hand. Builds the fuzz preset and runs the fuzz targets one after the other,
# each for SECONDS, starting from the seeds and from what earlier runs learnt (kept in
# build/fuzz/tests/fuzz/corpus/TARGET). A finding is written to build/fuzz/tests/fuzz/findings/TARGET/
# and ends the script with a non-zero exit; replay it with the target's binary and the file, and
# once it is understood and mended, keep it under tests/fuzz/findings/TARGET/ as a regression.
#
# usage: scripts/fuzz.sh [update|scenario_loader|all] [SECONDS]     (default: all, 600 s each)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
seconds=${2:-600}
case "$which" in
  all) targets=(update scenario_loader) ;;
  update | scenario_loader) targets=("$which") ;;
  *) echo "usage: scripts/fuzz.sh [update|scenario_loader|all] [SECONDS]" >&2; exit 2 ;;
esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
out=build/fuzz/tests/fuzz

for name in "${targets[@]}"; do
  inputs=("$out/seeds/$name")
  for dir in "tests/fuzz/seeds/$name" "tests/fuzz/findings/$name"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -artifact_prefix="$out/findings/$name/")
  [ -f "tests/fuzz/$name.dict" ] && options+=(-dict="tests/fuzz/$name.dict")
  mkdir -p "$out/corpus/$name" "$out/findings/$name"
  echo "=== $name: $seconds s"
  "$out/${name}_fuzzer" "${options[@]}" "$out/corpus/$name" "${inputs[@]}"
done

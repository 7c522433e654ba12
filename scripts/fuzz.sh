#!/usr/bin/env bash
# Longer fuzzing by hand. Builds the fuzz preset and runs the fuzz targets one after the other,
# each for SECONDS, starting from the seeds and from what earlier runs learnt (kept in
# BUILD/tests/fuzz/corpus/TARGET). A finding is written to BUILD/tests/fuzz/findings/TARGET/ and
# ends the script with a non-zero exit; replay it by running the target's binary on the file
# (SCANFW_FUZZ_TRACE=1 BUILD/tests/fuzz/update_fuzzer FILE also shows every simulated call), and
# once it is understood and mended, keep it under tests/fuzz/findings/TARGET/ as a regression.
#
# `coverage` reports instead how much of the updater's code the kept corpus of the update target
# reaches, line by line, from a separate build with clang's source-based coverage.
#
# usage: scripts/fuzz.sh [update|capture|scenario_loader|all|coverage] [SECONDS]   (default: all, 600 s each)
# BUILD is build/fuzz, or $FUZZ_BUILD_DIR when set.
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
seconds=${2:-600}
build=${FUZZ_BUILD_DIR:-build/fuzz}
case "$which" in
  all) targets=(update capture scenario_loader) ;;
  update | capture | scenario_loader) targets=("$which") ;;
  coverage) targets=() ;;
  *) echo "usage: scripts/fuzz.sh [update|capture|scenario_loader|all|coverage] [SECONDS]" >&2; exit 2 ;;
esac

if [ "$which" = coverage ]; then
  cov=$build-coverage
  cmake -S . -B "$cov" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" >/dev/null
  cmake --build "$cov" --target update_replay fuzz_seeds
  rm -f "$cov"/update-*.profraw
  corpus=()
  [ -d "$build/tests/fuzz/corpus/update" ] && corpus+=("$build/tests/fuzz/corpus/update")
  LLVM_PROFILE_FILE="$cov/update-%p.profraw" "$cov/tests/fuzz/update_replay" "$cov/tests/fuzz/seeds/update" "${corpus[@]}"
  llvm-profdata merge -o "$cov/update.profdata" "$cov"/update-*.profraw
  llvm-cov report "$cov/tests/fuzz/update_replay" -instr-profile="$cov/update.profdata" app device host firmware
  exit 0
fi

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target update_fuzzer capture_fuzzer scenario_loader_fuzzer fuzz_seeds
out=$build/tests/fuzz

for name in "${targets[@]}"; do
  # The capture round trip reads the same scenario bytes as a whole update: it starts from its seeds.
  seedsOf=$name
  [ "$name" = capture ] && seedsOf=update
  inputs=("$out/seeds/$seedsOf")
  for dir in "tests/fuzz/seeds/$seedsOf" "tests/fuzz/findings/$seedsOf" "tests/fuzz/findings/$name"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -artifact_prefix="$out/findings/$name/")
  [ -f "tests/fuzz/$name.dict" ] && options+=(-dict="tests/fuzz/$name.dict")
  mkdir -p "$out/corpus/$name" "$out/findings/$name"
  echo "=== $name: $seconds s"
  "$out/${name}_fuzzer" "${options[@]}" "$out/corpus/$name" "${inputs[@]}"
done

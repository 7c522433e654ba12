#!/usr/bin/env bash
# CPU cost of the scanner channel on the simulated host: microseconds per command exchange and
# milliseconds per megabyte of image written in one transfer, with and without the substitute
# scanner's hashing. Builds an optimised host build of its own (BUILD_DIR, default build/bench).
# Arguments: [EXCHANGES [IMAGE_WRITES]] (defaults 200000 and 10).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build/bench}"
scripts/install-deps.sh host
[ -f "$build/build.ninja" ] ||
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build "$build" --target bench_channel >/dev/null
exec "$build/tests/host/device/bench_channel" "$@"

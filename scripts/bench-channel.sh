#!/usr/bin/env bash
# CPU cost of the scanner channel on the simulated host: microseconds per command exchange and
# milliseconds per megabyte of image written in one transfer, with and without the substitute
# scanner's hashing. Uses the host build (build/host, RelWithDebInfo), configuring it if missing;
# BUILD_DIR names another tree, which is configured as a Release build of its own if it has none
# (e.g. BUILD_DIR=build/bench for figures without debug information).
# usage: [BUILD_DIR=DIR] scripts/bench-channel.sh [EXCHANGES [IMAGE_WRITES]]   (defaults 200000, 10)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build/host}"
scripts/install-deps.sh host
if [ "$build" = build/host ]; then
  [ -f build/host/build.ninja ] || cmake --preset host >/dev/null
else
  [ -f "$build/build.ninja" ] ||
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
fi
cmake --build "$build" --target bench_channel -j 2 >/dev/null
exec "$build/tests/host/device/bench_channel" "$@"

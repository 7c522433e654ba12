#!/usr/bin/env bash
# Every test: installs what the machine lacks, checks the sources' format, configures and builds
# the host, sanitizer, Windows and fuzz presets, and runs all their tests (the fuzz preset's: each
# fuzz target for a bounded time, failing on any finding). Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

echo "=== format"
scripts/check-format.sh

for preset in host host-asan windows fuzz; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  # `cmake --build DIR` without a target must work too, though the build preset may name targets.
  scripts/check-targets.py "build/$preset"
  cmake --build --preset "$preset"
done

for preset in host host-asan windows fuzz; do
  echo "=== $preset: tests"
  ctest --preset "$preset"
done

#!/usr/bin/env bash
# The main job: builds what is missing, then runs scanfw-sim (by default a whole update against
# the substitute scanner, on the real clock). Arguments go to scanfw-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh host
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target scanfw-sim >/dev/null
exec build/host/scanfw-sim "$@"

#!/usr/bin/env bash
# Figures for a whole update on the real clock: the wall time, the sum of the pauses the updater
# is made of, the updater's own overhead (their difference and ratio), and the peak resident
# memory against the size of the image it sent (the image must never be copied).
# usage: scripts/bench-update.sh [SCENARIO]   (default: update; try model-8 for the large image)
set -euo pipefail
cd "$(dirname "$0")/.."
scenario=${1:-update}
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target scanfw-sim >/dev/null
report=$(mktemp)
timing=$(mktemp)
trap 'rm -f "$report" "$timing"' EXIT

/usr/bin/time -f '%e %M %U %S' -o "$timing" build/host/scanfw-sim --scenario "$scenario" --clock real \
  --report "$report" >/dev/null
read -r wall rss_kb user sys <"$timing"
/usr/bin/python3 - "$report" "$wall" "$rss_kb" "$user" "$sys" "$scenario" <<'PY'
import json, sys
report, wall, rss_kb, user, sys_s, scenario = sys.argv[1:]
r = json.load(open(report))
wall_ms = float(wall) * 1000
pauses = sum(r["sleeps"])
image = sum(i["length"] for i in r["device"]["images"]) if r.get("device") else 0
rss = int(rss_kb) * 1024
print(f"scenario            {scenario}")
print(f"wall time           {wall_ms:10.0f} ms")
print(f"specified pauses    {pauses:10d} ms  ({len(r['sleeps'])} Sleep calls)")
print(f"overhead            {wall_ms - pauses:10.0f} ms  ({(wall_ms - pauses) / pauses * 100:.2f} % of the pauses)")
print(f"cpu time            {float(user) * 1000 + float(sys_s) * 1000:10.0f} ms  (user {user} s, system {sys_s} s)")
print(f"peak resident       {rss / 1048576:10.1f} MiB")
print(f"image sent          {image / 1048576:10.1f} MiB  (peak / image = {rss / image:.2f})" if image else "image sent: none")
PY

#!/usr/bin/env bash
# Figures for whole updates of built-in scenarios, one line each: the wall time; the scheduled
# time, which is what the run is made of by its own pauses and timed waits (the elapsed time of
# the same run on the virtual clock); the overhead of the updater and the simulated host beyond
# it (their difference, and its share of the scheduled time); the CPU time; and the peak resident
# memory against the size of the image sent (the image must never be copied).
# usage: scripts/bench-update.sh [--clock real|virtual] [SCENARIO|all]
#   default: the real clock, where the pauses really pass, and the scenario update. On the
#   virtual clock the pauses take no time, so the overhead is the whole wall time. `all` runs
#   every built-in scenario; on the real clock that takes as long as all their pauses (about 15
#   minutes, 10 of them in not-responding). Reuses build/host, configuring it if missing.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/bench-update.sh [--clock real|virtual] [SCENARIO|all]"
clock=real
scenario=update
while [ $# -gt 0 ]; do
  case $1 in
    --clock) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; clock=$2; shift 2 ;;
    -h | --help) echo "$usage"; exit 0 ;;
    -*) echo "$usage" >&2; exit 2 ;;
    *) scenario=$1; shift ;;
  esac
done
case $clock in real | virtual) ;; *) echo "$usage" >&2; exit 2 ;; esac
scripts/install-deps.sh host
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target scanfw-sim -j 2 >/dev/null
if [ "$scenario" = all ]; then
  mapfile -t scenarios < <(build/host/scanfw-sim --list | awk '{print $1}')
else
  scenarios=("$scenario")
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

exec /usr/bin/python3 - "$clock" "$work" "${scenarios[@]}" <<'PY'
import json, os, subprocess, sys, time

clock, work, scenarios = sys.argv[1], sys.argv[2], sys.argv[3:]
MIB = 1048576

def run(scenario, clock):
    """One run of scanfw-sim: its report, wall time (ms), CPU time (ms) and peak resident bytes."""
    report = os.path.join(work, "report.json")
    argv = ["build/host/scanfw-sim", "--scenario", scenario, "--clock", clock, "--report", report]
    start = time.monotonic()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = (time.monotonic() - start) * 1000
    if os.waitstatus_to_exitcode(status) == 2:  # a bad option or scenario: no report
        sys.exit(f"bench-update: scanfw-sim refused scenario {scenario}")
    with open(report) as f:
        r = json.load(f)
    return r, wall, (usage.ru_utime + usage.ru_stime) * 1000, usage.ru_maxrss * 1024

print(f"clock: {clock}; overhead = wall - scheduled, % of the scheduled time")
print(f"{'scenario':26} {'wall ms':>8} {'sched ms':>8} {'overhead':>8} {'%':>6} {'cpu ms':>7} "
      f"{'sleeps':>6} {'peak MiB':>8} {'img MiB':>7} {'peak/img':>8}")
for scenario in scenarios:
    # The scheduled time does not depend on the clock: the virtual one counts it exactly.
    scheduled = run(scenario, "virtual")[0]["elapsedMs"]
    r, wall, cpu, peak = run(scenario, clock)
    overhead = wall - scheduled if clock == "real" else wall
    share = f"{overhead / scheduled * 100:6.2f}" if scheduled else f"{'-':>6}"
    device = r.get("device")  # null when the run found no device
    image = sum(i["length"] for i in device["images"]) if device else 0
    per_image = f"{peak / image:8.2f}" if image else f"{'-':>8}"
    image_mib = f"{image / MIB:7.1f}" if image else f"{'-':>7}"
    print(f"{scenario:26} {wall:8.0f} {scheduled:8d} {overhead:8.0f} {share} {cpu:7.1f} "
          f"{len(r['sleeps']):6d} {peak / MIB:8.1f} {image_mib} {per_image}")
PY

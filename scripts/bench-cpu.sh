#!/usr/bin/env bash
# The CPU time (user + system, process start included) of a default update on the virtual clock,
# `build/host/scanfw-sim --clock virtual`, beside that of `openssl dgst -sha256` over an 8 MiB
# file made here: the same work of hashing an image of that size, done by a program that does
# nothing else. Both are run in turn RUNS times after one warm-up each; the script prints the
# best and the median of each and their ratios, and fails when the ratio of the medians is above
# the goal (GOAL, default 2).
# usage: scripts/bench-cpu.sh [RUNS]   (default 15; reuses build/host, configuring it if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
goal=${GOAL:-2}
case $runs in '' | *[!0-9]* | 0) echo "usage: scripts/bench-cpu.sh [RUNS]" >&2; exit 2 ;; esac
scripts/install-deps.sh host
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target scanfw-sim -j 2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 8388608 /dev/urandom >"$work/image.bin"

exec /usr/bin/python3 - "$runs" "$goal" "$work/image.bin" <<'PY'
import os, statistics, subprocess, sys

runs, goal, image = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
commands = {
    "scanfw-sim --clock virtual": ["build/host/scanfw-sim", "--clock", "virtual"],
    "openssl dgst -sha256 (8 MiB)": ["openssl", "dgst", "-sha256", image],
}

def cpu_ms(argv):
    """User + system CPU of one run of argv, from the kernel's accounting of that child alone."""
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"bench-cpu: {' '.join(argv)} failed")
    return (usage.ru_utime + usage.ru_stime) * 1000

for argv in commands.values():
    cpu_ms(argv)  # warm-up: the binaries, libraries and the file are in the page cache after it
samples = {name: [] for name in commands}
for _ in range(runs):
    for name, argv in commands.items():
        samples[name].append(cpu_ms(argv))

print(f"CPU time (user + system), {runs} runs each, process start included")
print(f"{'':30} {'best':>9} {'median':>9}")
for name, ms in samples.items():
    print(f"{name:30} {min(ms):6.1f} ms {statistics.median(ms):6.1f} ms")
sim, ref = samples.values()
best = min(sim) / min(ref)
median = statistics.median(sim) / statistics.median(ref)
print(f"{'ratio':30} {best:9.2f} {median:9.2f}")
verdict = "met" if median <= goal else "NOT met"
print(f"goal: the update at most {goal:g} times the hash alone (ratio of the medians): {verdict}")
sys.exit(0 if median <= goal else 1)
PY

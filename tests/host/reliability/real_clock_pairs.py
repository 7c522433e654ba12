#!/usr/bin/env python3
"""Pairs of console events on the real clock, each run bounded.

usage: real_clock_pairs.py SCANFW_SIM

The built-in cancelled-while-busy (a Ctrl+C at 5,500 ms, in a busy pause of the ready wait) meets a
second event of each kind at every millisecond from 5,500 to 5,510: the moments when the handler
and the main thread work on the requests' lock at once. All 33 runs go at the same time, as a
loaded machine runs them; each must end on its own within 15 s, with its exit code 0, the update
cancelled (the last message 35) and the imaging service given back. A run still going after that
is killed and reported.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

BOUND_S = 15
FIRST_MS = 5500
SECONDS = range(FIRST_MS, FIRST_MS + 11)
EVENTS = ("ctrlC", "ctrlBreak", "close")
CANCELLED = 35


def main(args):
    if len(args) != 1:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    sim = args[0]
    base = json.loads(subprocess.run([sim, "--show", "cancelled-while-busy"], check=True, capture_output=True,
                                     text=True).stdout)
    with tempfile.TemporaryDirectory() as work:
        runs = []
        start = time.monotonic()
        for event in EVENTS:
            for at in SECONDS:
                scenario = json.loads(json.dumps(base))
                scenario["console"]["interrupts"].append({"event": event, "atMs": at})
                name = f"{event}-{at}"
                path = os.path.join(work, name + ".json")
                with open(path, "w") as f:
                    json.dump(scenario, f)
                report = os.path.join(work, name + ".report.json")
                process = subprocess.Popen([sim, "--scenario", path, "--clock", "real", "--report", report],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                runs.append((name, process, report))
        problems = []
        slowest = 0.0
        for name, process, report in runs:
            left = max(0.0, start + BOUND_S - time.monotonic())
            try:
                _, err = process.communicate(timeout=left)
            except subprocess.TimeoutExpired:
                process.kill()
                process.communicate()
                problems.append(f"{name}: still running after {BOUND_S} s")
                continue
            slowest = max(slowest, time.monotonic() - start)
            if process.returncode != 0:
                problems.append(f"{name}: exit code {process.returncode}: {err.decode(errors='replace').strip()}")
                continue
            with open(report) as f:
                r = json.load(f)
            if r["messages"][-1:] != [CANCELLED]:
                problems.append(f"{name}: messages {r['messages']}")
            service = r["service"]
            if service["startType"] != "auto" or service["state"] not in ("running", "startPending"):
                problems.append(f"{name}: service {service}")
    print(f"{len(runs)} runs on the real clock at once, the last ended after {slowest:.1f} s")
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

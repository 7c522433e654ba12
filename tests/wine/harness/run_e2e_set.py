#!/usr/bin/python3
"""Runs a set of end-to-end scenarios several at a time, each with run_e2e.py in a prefix of its own.

usage: run_e2e_set.py --sim SCANFW_SIM --exe SCANFW_EXE --tools DIR --template DIR --work DIR
                      [--jobs N] [--capture --probe SCANFW_PROBE] [--deploy SCANFW_DEPLOY] SET [NAME...]

SET lists the runs, one a line: NAME and any run_e2e.py options; the scenario is NAME.json next to
SET, and the files that --sim-scenario and --expect name are found there too. '#' starts a
comment. NAME... runs only those runs of the set. --capture, --probe and --deploy are given to
every run (run_e2e.py says what they do).

Every run has a prefix and a wineserver of its own, and spends most of its time in the exe's real
pauses, so runs can overlap: N at a time (default 6), the longest (by the simulator's run time)
first, so that the set ends soon after its longest run. Each run's log is in --work/NAME.log and
its files in --work/NAME; a run's output is printed when it ends. The last lines give the set's wall
time and the sum of the runs' own times, which is about what the set takes one run at a time.

Exit status: 0 every run passed, 1 some failed, 2 a bad set or option.
"""
import argparse
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_E2E = os.path.join(HERE, "run_e2e.py")
DEFAULT_JOBS = 6
ESTIMATE_TIMEOUT_S = 60
# run_e2e.py allows a run its simulated time and then some; this only catches a hung one.
RUN_TIMEOUT_S = 900
# run_e2e.py options whose value is a file named relative to the set.
FILE_OPTIONS = ("--sim-scenario", "--expect")
EXIT_PASSED, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class SetError(Exception):
    """A set file that cannot be read as runs."""


def read_set(path):
    """The runs of a set file: [(name, [run_e2e.py option words with files made absolute])]."""
    base = os.path.dirname(os.path.abspath(path))
    runs = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            words = shlex.split(line, comments=True)
            if not words:
                continue
            name, options = words[0], words[1:]
            for i, word in enumerate(options[:-1]):
                if word in FILE_OPTIONS:
                    options[i + 1] = os.path.join(base, options[i + 1])
                    if not os.path.exists(options[i + 1]):
                        raise SetError(f"{path}:{number}: no file {options[i + 1]} for {word}")
            if any(name == n for n, _ in runs):
                raise SetError(f"{path}:{number}: {name} is listed twice")
            if not os.path.exists(os.path.join(base, name + ".json")):
                raise SetError(f"{path}:{number}: no scenario {name}.json")
            runs.append((name, options))
    return base, runs


def simulated_seconds(sim, scenario):
    """How long the simulator says the exe runs; 0 when it cannot say (run_e2e.py will report why).
    A run with another updater lasts as long as the other's whole update, which it starts first."""
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report.json")
        try:
            with open(scenario) as f:
                parsed = json.load(f)
            if isinstance(parsed, dict) and parsed.pop("otherUpdater", False) is True:
                scenario = os.path.join(tmp, "other-updater.json")
                with open(scenario, "w") as f:
                    json.dump(parsed, f)
            subprocess.run([sim, "--clock", "virtual", "--scenario", scenario, "--report", report],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=ESTIMATE_TIMEOUT_S, check=True)
            with open(report) as f:
                return json.load(f)["elapsedMs"] / 1000
        except (OSError, subprocess.SubprocessError, ValueError, KeyError):
            return 0.0


class SetRun:
    def __init__(self, args, base, runs):
        self.args, self.base, self.runs = args, base, runs
        self.lock = threading.Lock()
        self.ended = 0

    def command(self, name, options):
        a = self.args
        capture = ["--capture", "--probe", a.probe] if a.capture else []
        capture += ["--deploy", a.deploy] if a.deploy else []
        return [sys.executable, RUN_E2E, "--sim", a.sim, "--exe", a.exe, "--tools", a.tools, "--template", a.template,
                "--work", os.path.join(a.work, name)] + capture + options + [os.path.join(self.base, name + ".json")]

    def run_one(self, name, options):
        started = time.monotonic()
        try:
            done = subprocess.run(self.command(name, options), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT_S)
            rc, output = done.returncode, done.stdout.decode(errors="replace")
        except subprocess.TimeoutExpired as e:
            rc, output = None, (e.stdout or b"").decode(errors="replace") + f"\nno end after {RUN_TIMEOUT_S} s\n"
        seconds = time.monotonic() - started
        with open(os.path.join(self.args.work, name + ".log"), "w") as log:
            log.write(output)
        with self.lock:
            self.ended += 1
            verdict = "PASS" if rc == 0 else f"FAIL (run_e2e.py exit {rc})"
            print(f"[{self.ended}/{len(self.runs)}] {name}: {verdict} in {seconds:.1f} s")
            print("    " + output.strip().replace("\n", "\n    "), flush=True)
        return name, rc == 0, seconds

    def run(self):
        estimates = {name: simulated_seconds(self.args.sim, os.path.join(self.base, name + ".json"))
                     for name, _ in self.runs}
        order = sorted(self.runs, key=lambda run: -estimates[run[0]])
        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(max_workers=self.args.jobs) as pool:
            results = list(pool.map(lambda run: self.run_one(*run), order))
        return results, time.monotonic() - started


def summary(results, wall_s, jobs):
    failed = sorted(name for name, passed, _ in results if not passed)
    total_s = sum(seconds for _, _, seconds in results)
    lines = [f"e2e set: {len(results)} runs, {jobs} at a time: {len(results) - len(failed)} passed, "
             f"{len(failed)} failed" + (f" ({', '.join(failed)})" if failed else "")]
    lines += [f"  {name:<28} {'pass' if passed else 'FAIL'} {seconds:6.1f} s" for name, passed, seconds in
              sorted(results)]
    lines.append(f"e2e set figures: wall time {wall_s:.1f} s; the runs' own times add up to {total_s:.1f} s "
                 f"(serial sum); wall / serial sum = {wall_s / total_s if total_s else 0:.2f}")
    return "\n".join(lines), not failed


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--sim", "--exe", "--tools", "--template", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--jobs", type=int, default=DEFAULT_JOBS)
    parser.add_argument("--capture", action="store_true")
    parser.add_argument("--probe")
    parser.add_argument("--deploy")
    parser.add_argument("set")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs takes 1 or more")
    if args.capture != bool(args.probe):
        parser.error("--capture and --probe go together")
    try:
        base, runs = read_set(args.set)
    except (SetError, OSError, ValueError) as e:
        print(f"run_e2e_set: {e}", file=sys.stderr)
        return EXIT_USAGE
    unknown = set(args.names) - {name for name, _ in runs}
    if unknown:
        print(f"run_e2e_set: not in {args.set}: {', '.join(sorted(unknown))}", file=sys.stderr)
        return EXIT_USAGE
    if args.names:
        runs = [run for run in runs if run[0] in args.names]
    # run_e2e.py runs Wine in its work folder: relative names would not reach there.
    for option in ("sim", "exe", "tools", "template", "work", "probe", "deploy"):
        if getattr(args, option):
            setattr(args, option, os.path.abspath(getattr(args, option)))
    os.makedirs(args.work, exist_ok=True)
    results, wall_s = SetRun(args, base, runs).run()
    text, passed = summary(results, wall_s, args.jobs)
    print(text)
    return EXIT_PASSED if passed else EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

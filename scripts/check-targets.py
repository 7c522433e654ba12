#!/usr/bin/python3
"""Checks that `cmake --build DIR` (every target, no --target) has a rule for all it needs.

usage: scripts/check-targets.py DIR

Every input of the default target must exist (a source) or be made by a rule of the build;
otherwise Ninja stops at once with "missing and no known rule to make it". The graph is read
with Ninja's tools: its dry run (`ninja -n`) ends early, successfully, in a build that
regenerates itself on every run, as one that globs its sources does.
"""
import os
import subprocess
import sys


def ninja(directory, *tool):
    done = subprocess.run(["ninja", "-C", directory, "-t", *tool], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"ninja -t {' '.join(tool)} in {directory}: {done.stderr.strip()}")
    return done.stdout.splitlines()


def main(directory):
    made = {line.rsplit(": ", 1)[0] for line in ninja(directory, "targets", "all")}
    needed = ninja(directory, "inputs", "all")
    missing = [path for path in needed if path not in made and not os.path.exists(os.path.join(directory, path))]
    for path in missing:
        print(f"{directory}: {path} is needed, missing, and no rule makes it")
    print(f"{directory}: {len(needed)} inputs of all targets, {len(missing)} without a rule")
    return 1 if missing else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))

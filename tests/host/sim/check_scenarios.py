#!/usr/bin/python3
"""The scenario schema against what the project holds and the simulator accepts.

Every built-in scenario (as `scanfw-sim --show` prints it) and every scenario file in the
repository validates against docs/scenario.schema.json; the files of bad input and every case of
the loader's bad-input table are refused by it (but for those marked as a rule no schema can
state); and each shown built-in, run from a file, gives the same output and report as the
built-in itself.

usage: check_scenarios.py SCANFW_SIM REPOSITORY
"""
import fnmatch
import json
import pathlib
import subprocess
import sys
import tempfile

import jsonschema

# JSON files of the repository that are not scenarios at all.
NOT_SCENARIOS = ["CMakePresets.json", "docs/*.json", "tests/host/sim/bad_scenarios.json", "*.expect.json",
                 "build/*", "tests/wine/driver/build/*"]
# Scenario files that are bad on purpose: the loader refuses them, and so must the schema.
BAD_FILES = ["tests/host/sim/bad_scenario.json", "tests/fuzz/findings/scenario_loader/*.json"]


def matches(path, patterns):
    return any(fnmatch.fnmatch(path, p) for p in patterns)


def run(sim, scenario, report):
    done = subprocess.run([sim, "--scenario", scenario, "--clock", "virtual", "--report", report],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    return done.returncode, done.stdout, json.loads(pathlib.Path(report).read_text())


def main():
    sim, root = sys.argv[1], pathlib.Path(sys.argv[2])
    schema = json.loads((root / "docs/scenario.schema.json").read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    problems = []

    def errors(document):
        return [e.message for e in validator.iter_errors(document)]

    names = [line.split()[0] for line in subprocess.check_output([sim, "--list"], text=True).splitlines()]
    with tempfile.TemporaryDirectory() as work:
        for name in names:
            shown = subprocess.check_output([sim, "--show", name], text=True)
            for e in errors(json.loads(shown)):
                problems.append(f"built-in {name}: {e}")
            path = pathlib.Path(work) / f"{name}.json"
            path.write_text(shown)
            want = run(sim, name, f"{work}/want.json")
            got = run(sim, str(path), f"{work}/got.json")
            if got != want:
                problems.append(f"built-in {name}: run from --show differs from the built-in")

    files = bad = 0
    for path in sorted(root.rglob("*.json")):
        rel = path.relative_to(root).as_posix()
        if matches(rel, NOT_SCENARIOS):
            continue
        try:
            document = json.loads(path.read_text())
        except ValueError:
            document = None  # not even JSON: refused by any reader
        if matches(rel, BAD_FILES):
            bad += 1
            if document is not None and not errors(document):
                problems.append(f"{rel}: bad on purpose, yet the schema accepts it")
        else:
            files += 1
            for e in errors(document):
                problems.append(f"{rel}: {e}")

    cases = json.loads((root / "tests/host/sim/bad_scenarios.json").read_text())["cases"]
    refused = beyond = 0
    for case in cases:
        try:
            document = json.loads(case["text"])
        except ValueError:
            refused += 1
            continue
        if "schemaCannotTell" in case:
            beyond += 1
            continue
        if errors(document):
            refused += 1
        else:
            problems.append(f"bad input {case['text']}: the schema accepts it")

    for p in problems:
        print(p)
    print(f"{len(names)} built-ins shown, validated and run alike; {files} scenario files valid; "
          f"{bad} bad files and {refused} of {len(cases)} bad inputs refused ({beyond} need the loader's own rules)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

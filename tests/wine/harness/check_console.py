#!/usr/bin/python3
"""Shows that e2e_console.exe delivers console control events under Wine, with e2e_console_probe.exe.

usage: check_console.py --tools DIR --template DIR --work DIR

In a copy of the template prefix, each case runs the probe under e2e_console.exe with a schedule
and checks what the probe printed: its handler was called once for each event, in order, on a
thread other than the main one, no earlier than asked and at most MAX_LAG_MS later; the probe's
output reached its file whole and its exit code came back through the tool's log. An event asked
for after the probe has ended is reported as missed. The close case shows why scenarios may not
ask for it: Wine calls the handler but then lets the process run to its end.

Exit status: 0 every case as expected, 1 some not (listed), 2 Wine could not be set up.
"""
import argparse
import os
import shutil
import sys

from wine_prefix import Prefix, WineError, copy_prefix, windows_path

PROBE_EXIT_CODE = 3  # console_probe.cpp
# How late a handler may run after the time asked for: this is about the time being honoured,
# not a measure of speed, so the bound is loose enough for a loaded machine.
MAX_LAG_MS = 500
CONSOLE_LOG = "console.log"

# (name, probe run in ms, schedule [(event, atMs)], events the handler must see)
CASES = [
    ("ctrlBreak", 1500, [("ctrlBreak", 700)], ["ctrlBreak"]),
    ("ctrlC", 1500, [("ctrlC", 700)], ["ctrlC"]),
    ("two events in order", 1800, [("ctrlC", 400), ("ctrlBreak", 1100)], ["ctrlC", "ctrlBreak"]),
    ("close: called, then nothing ends the process", 1500, [("close", 700)], ["close"]),
    ("asked after the end", 300, [("ctrlBreak", 1200)], []),
]


def parse_lines(text, first_words):
    return [line.split(" ") for line in text.splitlines() if line.split(" ")[0] in first_words]


def check_case(prefix, tools, work, case):
    """The problems of one case (empty when it went as it should), and the handlers' lags in ms."""
    name, run_ms, schedule, want = case
    planned = ",".join(f"{event}:{at}" for event, at in schedule)
    _, out, _ = prefix.run(name.split(":")[0].replace(" ", "-"),
                           [windows_path(os.path.join(tools, "e2e_console.exe")), CONSOLE_LOG, planned,
                            windows_path(os.path.join(tools, "e2e_console_probe.exe")), str(run_ms)])
    with open(os.path.join(work, CONSOLE_LOG)) as f:
        log = f.read()
    problems, lags = [], []
    started = parse_lines(log, {"started"})
    exits = parse_lines(log, {"exit"})
    if not started or exits != [["exit", str(PROBE_EXIT_CODE)]]:
        return [f"the tool's log does not give the probe's start and exit code {PROBE_EXIT_CODE}: {log!r}"], lags
    probe = parse_lines(out.decode(errors="replace").replace("\r\n", "\n"), {"start", "handler", "end"})
    if [p[0] for p in probe] != ["start"] + ["handler"] * len(want) + ["end"]:
        problems.append(f"the probe printed {probe}, not its start, {len(want)} handler lines and its end")
    handlers = [p for p in probe if p[0] == "handler"]
    seen = [(h[1], h[2]) for h in handlers]
    if seen != [(event, "other") for event in want]:
        problems.append(f"handler calls (event, thread) {seen}, not {[(event, 'other') for event in want]}")
    delivered = {line[1]: int(line[2]) for line in parse_lines(log, {"delivered"})}
    missed = [line[1] for line in parse_lines(log, {"missed"})]
    if sorted(delivered) != sorted(want) or missed != [event for event, _ in schedule if event not in want]:
        problems.append(f"the tool delivered {sorted(delivered)} and missed {missed}")
    for handler, (event, at_ms) in zip(handlers, schedule):
        lag = int(handler[3]) - (int(started[0][1]) + at_ms)
        lags.append(lag)
        if not 0 <= lag <= MAX_LAG_MS:
            problems.append(f"{event} asked for at {at_ms} ms reached the handler {lag} ms after that")
    return problems, lags


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--tools", "--template", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args(argv)
    work = os.path.abspath(args.work)
    tools = os.path.abspath(args.tools)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = Prefix(os.path.join(work, "prefix"), work)
    failed = []
    try:
        copy_prefix(os.path.abspath(args.template), prefix.path)
        prefix.start_server()
        for case in CASES:
            problems, lags = check_case(prefix, tools, work, case)
            print(f"{case[0]}: {'as expected' if not problems else 'NOT as expected'}"
                  + (f" (handler {', '.join(f'{lag} ms' for lag in lags)} after the time asked)" if lags else ""))
            for problem in problems:
                print(f"    {problem}")
            if problems:
                failed.append(case[0])
    except (WineError, OSError) as e:
        print(f"check_console: {e}", file=sys.stderr)
        return 2
    finally:
        prefix.stop_server()
        shutil.rmtree(prefix.path, ignore_errors=True)
    print("FAIL: " + ", ".join(failed) if failed else "PASS: every event arrived as asked")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

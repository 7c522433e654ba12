"""The deploy's part of a scenario run (run_e2e.py --deploy), in the same prefix as the exe's run.

Once scanfw.exe has run alone and what it did has been read, the prefix is set back to the
scenario's start (the devices reset, the service stopped and set as the scenario says, the
mutexes held again) and scanfw-deploy.exe, which lies beside scanfw.exe, runs the same update. Its
parts, each a list of differences:
- deploy stdout: its standard output against scanfw.exe's alone, byte for byte (no "\\r\\n" turned);
- deploy exitCode: its exit code against the code the outcome table (README.md, docs/deploying.md)
  gives for the messages and exit code of the simulator's run;
- deploy record: the log and the JSON record in C:\\ProgramData\\scanfw\\logs: the outcome, its
  code, the messages, scanfw.exe's output as UTF-8, both exes' version and SHA-256;
- deploy registry: the detection values under HKLM\\SOFTWARE\\scanfw\\Deploy;
- deploy device, deploy service: what the devices received and the service's end, against the
  simulator's report, as for scanfw.exe alone.
"""
import hashlib
import json
import os
import re

import compare

PARTS = ("deploy stdout", "deploy exitCode", "deploy record", "deploy registry", "deploy device", "deploy service")
DETECTION_KEY = r"HKLM\SOFTWARE\scanfw\Deploy"
LOG_FOLDER = ("drive_c", "ProgramData", "scanfw", "logs")
VERSION = "0.0.57.0"
LOG_MARK = b"\xef\xbb\xbf"

# The outcome table as documented: name and exit code of each outcome.
UPDATED, RESTART = ("updated", 0), ("updated", 3010)
LATER, NO_SCANNER, NOT_ADMIN = ("try-again-later", 1618), ("no-scanner", 10), ("not-administrator", 11)
BEFORE, WHILE = ("failed-before-sending", 12), ("failed-while-sending", 13)
DISABLED, FAILED = ("service-left-disabled", 14), ("updater-failed", 15)
# The ending messages: their outcome, and with "Access denied!!" (34) before them.
ENDINGS = {19: (UPDATED, UPDATED), 13: (LATER, LATER), 29: (LATER, LATER), 31: (LATER, LATER),
           35: (LATER, LATER), 38: (LATER, LATER), 26: (LATER, NOT_ADMIN), 30: (BEFORE, NOT_ADMIN),
           3: (NO_SCANNER, NO_SCANNER), 12: (BEFORE, BEFORE), 15: (BEFORE, BEFORE), 5: (BEFORE, BEFORE),
           6: (BEFORE, BEFORE), 7: (BEFORE, BEFORE), 8: (BEFORE, BEFORE), 39: (BEFORE, BEFORE),
           16: (WHILE, WHILE), 20: (WHILE, WHILE)}
AFTER_ENDING = {33, 36, 37}


def expected_outcome(messages, exit_code):
    """(name, exit code) of the deploy for a run of scanfw.exe that printed `messages`."""
    if 32 in messages:
        return DISABLED
    if exit_code != 0:
        return FAILED
    endings = [i for i, m in enumerate(messages) if m in ENDINGS]
    if not endings or any(m not in AFTER_ENDING for m in messages[endings[-1] + 1:]):
        return FAILED
    last = endings[-1]
    plain, denied = ENDINGS[messages[last]]
    if plain == UPDATED and 33 in messages[last + 1:]:
        return RESTART
    return denied if 34 in messages[:last] else plain


def registry_values(text):
    """`reg query` output: {name: (type, data)}."""
    values = {}
    for line in text.splitlines():
        m = re.fullmatch(r"\s+(\S+)\s+(REG_\w+)\s+(.*)", line)
        if m:
            values[m.group(1)] = (m.group(2), m.group(3).strip())
    return values


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def records_in(prefix_path):
    """The record files in the prefix's log folder: {name: bytes}."""
    folder = os.path.join(prefix_path, *LOG_FOLDER)
    if not os.path.isdir(folder):
        return {}
    found = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


def record_problems(files, want, messages, exe_stdout, exes):
    """The one log and JSON record of a run: what they must say. `exes`: {"deploy": path, "updater": path}."""
    logs = [n for n in files if n.endswith(".log")]
    if len(logs) != 1 or logs[0][:-4] + ".json" not in files:
        return [f"one log and its JSON record expected, found {sorted(files)}"]
    problems = []
    try:
        record = json.loads(files[logs[0][:-4] + ".json"])
    except ValueError as e:
        return [f"the JSON record does not parse: {e}"]
    name, code = want
    checks = {"outcome": (record.get("outcome"), name), "exitCode": (record.get("exitCode"), code),
              "messages": (record.get("messages"), messages),
              "output": (record.get("output"), exe_stdout.decode("cp950", errors="replace")),
              "updater.version": (record.get("updater", {}).get("version"), VERSION),
              "updater.sha256": (record.get("updater", {}).get("sha256"), sha256_of(exes["updater"])),
              "deploy.sha256": (record.get("deploy", {}).get("sha256"), sha256_of(exes["deploy"]))}
    problems += [f"JSON record {member}: {got!r}, not {expected!r}" for member, (got, expected) in checks.items()
                 if got != expected]
    log = files[logs[0]]
    if not log.startswith(LOG_MARK):
        problems.append("the log does not start with the UTF-8 mark")
    for line in (f"outcome: {name} (", f"\r\nexit code: {code}\r\n"):
        if line.encode() not in log:
            problems.append(f"the log has no {line.strip()!r}")
    return problems


def registry_problems(text, want):
    values = registry_values(text)
    name, code = want
    expected = {"Outcome": ("REG_SZ", name), "ExitCode": ("REG_DWORD", hex(code)), "Version": ("REG_SZ", VERSION)}
    problems = [f"{DETECTION_KEY}\\{value}: {values.get(value)}, not {pair}" for value, pair in expected.items()
                if values.get(value) != pair]
    when = values.get("When", ("", ""))
    if when[0] != "REG_SZ" or not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", when[1]):
        problems.append(f"{DETECTION_KEY}\\When: {values.get('When')}, not a UTC time")
    return problems


def reset(run, setup):
    """The prefix as the scenario starts: devices reset, the service stopped and set again."""
    run.prefix.run("deploy-driver-reset", [run.tool["scanctl.exe"], "reset"])
    if setup.service is not None:
        run.prefix.run("deploy-service-stop", [run.tool["e2e_prefix.exe"], "set-service", "stopped", "demand"])
        run.prefix.run("deploy-service-set", [run.tool["e2e_prefix.exe"], "set-service", setup.service.state,
                                              setup.service.start_type])


def run_deploy(run, setup, elapsed_ms, first_ms=None):
    """Runs the deploy on the prefix set back to the scenario's start, after a first scanfw.exe when
    `first_ms` (the first's length) is given: what it did, for differences()."""
    reset(run, setup)
    holder = run.hold_mutexes(setup.mutexes) if setup.mutexes else None
    if first_ms is None:
        rc, out, err, seconds, console = run.run_exe(setup, elapsed_ms, program=run.deploy, name="deploy")
    else:
        (rc, out, err, seconds, console), _, _ = run.run_after_another(setup, first_ms, elapsed_ms,
                                                                      program=run.deploy, name="deploy")
    if holder is not None:
        run.release_mutexes(*holder)
    records, service = run.read_back(setup, "deploy-")
    _, registry, _ = run.prefix.run("deploy-reg-query", ["reg", "query", DETECTION_KEY], check=False)
    return {"rc": rc, "stdout": out, "stderr": err, "seconds": seconds, "console": console, "records": records,
            "service": service, "registry": registry.decode(errors="replace"), "files": records_in(run.prefix.path)}


def differences(done, exe_stdout, exe_rc, report, touched, service_exists, exes):
    """The deploy's parts against scanfw.exe's run alone (`exe_stdout`, raw) and the simulator's report
    (`touched`: what the devices and the service show, with another updater's part)."""
    want = expected_outcome(report["messages"], exe_rc)
    return {
        "deploy stdout": compare.compare_stdout(exe_stdout, done["stdout"]),
        "deploy exitCode": [] if done["rc"] == want[1] else [f"exit code {done['rc']}, not {want[1]} ({want[0]})"],
        "deploy record": record_problems(done["files"], want, report["messages"], exe_stdout, exes),
        "deploy registry": registry_problems(done["registry"], want),
        "deploy device": compare.compare_device(touched, done["records"]),
        "deploy service": compare.compare_service(touched["service"], service_exists, done["service"]),
    }

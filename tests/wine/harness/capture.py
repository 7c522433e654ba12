"""The capture round trip: scanfw-probe.exe describes the prefix as a scenario, and the simulator
runs that description instead of the file the prefix was set up from.

A probe reads what any program on the PC can read: the devices and their descriptors, the imaging
service, the imaging-device keys, the two locks, the exe's resources. What a scanner will answer,
how a run is started and what happens during it are not on the PC to be read, so `complete` takes
exactly those members from the e2e scenario, and nothing else:

- top level: `args`, `tickStart`, `failures`, `console`, and `otherUpdater` (the harness starts the
  other updater after the probe), when the scenario has them;
- for every captured device that the scenario lists too (by index): the scanner's `download`,
  `progress` and `faults`, and `ready`: the scenario's whole list when the probe did not ask the
  scanner, else the probe's first reply followed by the scenario's replies from the second on;
- for every captured mutex that the scenario names (names compared in the session namespace:
  "Local\\X" is "X"): its `releaseAfterMs`;
- the service's `pendingQueries`, and its `waitHint` when the probe saw none (it reports one only
  for a pending state), into the captured service; its `state` (with `controlsAccepted`) and its
  `startType` when the probe could not read them (no access to the manager, or no service).

The host tests apply the same rule (tests/host/probe/capture_round_trip.cpp).

The rest of this module checks that the probe left the prefix as it found it: the registry it
reads and the service's state read before and after it (`registry_lines`, `snapshot_changes`), and that the
emulated devices received nothing from it but, when asked to, one status query
(`probe_device_problems`).
"""
import copy
import difflib

from scenario_setup import number

TOP_LEVEL_MEMBERS = ("args", "tickStart", "failures", "console", "otherUpdater")
SCANNER_MEMBERS = ("download", "progress", "faults")
# The updater's ready query, the one command a probe run with --ask-scanner may send.
READY_QUERY = "20020000120002000000000000000000"
CHANGE_LINES = 6
SESSION_PREFIX = "Local\\"


def replies(entry):
    return entry if isinstance(entry, list) else [entry]


def complete(capture, original):
    """The capture (a parsed probe file) with what only the scenario `original` can say."""
    done = copy.deepcopy(capture)
    for member in TOP_LEVEL_MEMBERS:
        if member in original:
            done[member] = copy.deepcopy(original[member])
    scanners = {number(d["index"]): d.get("scanner", {}) for d in original.get("devices", [])}
    for device in done.get("devices", []):
        index = number(device["index"])
        if index not in scanners:
            continue
        want, scanner = scanners[index], device.get("scanner", {})
        for member in SCANNER_MEMBERS:
            if member in want:
                scanner[member] = copy.deepcopy(want[member])
        if "ready" in want:
            given = copy.deepcopy(replies(want["ready"]))
            scanner["ready"] = replies(scanner["ready"])[:1] + given[1:] if scanner.get("ready") else given
        if scanner:
            device["scanner"] = scanner
    releases = {session_name(m["name"]): m["releaseAfterMs"]
                for m in original.get("mutexes", []) if "releaseAfterMs" in m}
    for mutex in done.get("mutexes", []):
        if session_name(mutex["name"]) in releases:
            mutex["releaseAfterMs"] = releases[session_name(mutex["name"])]
    service, captured = original.get("service", {}), done.get("service")
    if captured is not None:
        if "pendingQueries" in service:
            captured["pendingQueries"] = service["pendingQueries"]
        if "waitHint" in service and "waitHint" not in captured:
            captured["waitHint"] = service["waitHint"]
        if "state" not in captured:
            for member in ("state", "controlsAccepted"):
                if member in service:
                    captured[member] = service[member]
        if "startType" in service and "startType" not in captured:
            captured["startType"] = service["startType"]
    return done


def session_name(name):
    """A lock's name without the "Local\\" that may spell out the session namespace."""
    return name[len(SESSION_PREFIX):] if name.startswith(SESSION_PREFIX) else name


def registry_lines(text):
    """`reg query KEY /s` output as one line a key and a value, each value line naming its key, so that
    a difference says where it is."""
    lines, key = [], None
    for line in text.splitlines():
        if line.startswith("HKEY_"):
            key = line.strip()
            lines.append(key)
        elif line.strip():
            lines.append(f"{key}: {line.strip()}")
    return "\n".join(lines) + "\n"


def snapshot_changes(before, after):
    """What differs between two snapshots ({section: text}) of the prefix, a few lines a section."""
    changes = []
    for section in sorted(set(before) | set(after)):
        old, new = before.get(section, ""), after.get(section, "")
        if old == new:
            continue
        diff = [line for line in difflib.unified_diff(old.splitlines(), new.splitlines(), lineterm="", n=0)
                if line[:1] in "+-" and not line.startswith(("+++", "---"))]
        shown = "\n      ".join(diff[:CHANGE_LINES]) + ("\n      ..." if len(diff) > CHANGE_LINES else "")
        changes.append(f"the probe changed {section}:\n      {shown}")
    return changes


def probe_device_problems(records, asked=None):
    """What the devices (parsed dumps by usbscan number) received from the probe that they should not
    have. `asked`: the usbscan number of the scanner the probe was told to ask, which must have taken
    the ready query, once, and been read once; every other device must have taken nothing."""
    problems = []
    for index, record in sorted(records.items()):
        got = (record["commands"], len(record["images"]), record.get("writes"), record.get("reads"))
        want = ([READY_QUERY], 0, 1, 1) if index == asked else ([], 0, 0, 0)
        if got != want:
            problems.append(f"usbscan{index} received from the probe: commands {got[0]}, {got[1]} images, "
                            f"{got[2]} writes, {got[3]} reads (wanted: commands {want[0]}, {want[1]} images, "
                            f"{want[2]} writes, {want[3]} reads)")
    if asked is not None and asked not in records:
        problems.append(f"usbscan{asked} has no record, though it is the scanner the probe was to ask")
    return problems


def captured_ready_problems(capture, index, reply):
    """Whether the capture holds, as the first ready reply of usbscan `index`, the bytes `reply`."""
    device = next((d for d in capture.get("devices", []) if number(d["index"]) == index), None)
    ready = replies(device.get("scanner", {}).get("ready", [])) if device is not None else []
    raw = ready[0].get("raw", "") if ready and isinstance(ready[0], dict) else ""
    if raw.lower() != reply.hex():
        return [f"usbscan{index}: the capture's first ready reply is {raw or 'missing'}, the driver was set "
                f"to answer {reply.hex()}"]
    return []

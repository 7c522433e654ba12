#!/usr/bin/python3
"""Runs one scenario on the shipped scanfw.exe under Wine and on scanfw-sim, and compares the two.

usage: run_e2e.py --sim SCANFW_SIM --exe SCANFW_EXE --tools DIR --template DIR --work DIR
                  [--sim-scenario FILE] [--expect-differences PART,...] [--expect FILE] [--keep-prefix]
                  [--capture --probe SCANFW_PROBE [--ask-scanner]] [--deploy SCANFW_DEPLOY] SCENARIO

The simulator runs the scenario with its virtual clock and writes its report. Then a copy of the
template prefix (make_template.py) is set up as the scenario says: the emulated driver's devices,
the imaging-device keys, the stand-in STISVC in its state and start type, another process holding
the listed mutexes. scanfw.exe runs there with the scenario's arguments and LC_ALL for its
language, under e2e_console.exe when the scenario's console sends control events; its standard
output, what the driver received, its exit code and the service's final state are compared with
the simulator's (compare.py says how).

--sim-scenario gives the simulator another file than Wine: the harness's check on itself, with
--expect-differences naming the parts (stdout, device, service, exitCode) that must then differ
while the others agree. --expect names a JSON file of what the Wine run must show whatever the
simulator says (compare.expectation_problems: the last message, the service's final state, the
commands and images a device received); it is checked as one more part, "expected". Logs, both
outputs and the report stay in --work; the prefix is removed unless --keep-prefix.

--capture runs scanfw-probe.exe (--probe) in the prefix once it is set up and before scanfw.exe
runs, in the scenario's locale. Its description of the prefix (capture.json), completed with what
the scenario alone can say (capture.complete), is run by the simulator too, and scanfw.exe is
compared with that run as well ("capture stdout" and so on): both comparisons count, and
--expect-differences applies to the scenario's alone. The probe must leave the prefix as it found
it ("probe"): HKLM's CurrentControlSet (the imaging class key, the STISVC key and the driver's key
among the rest) and the service's state and start type the same after it as before, and no
command or data at any device. With --ask-scanner the probe sends the ready query to the scanner:
that device alone must have taken it, once, and the capture must hold the reply the driver was set
to give. The devices are reset after the probe, so that the exe meets them as the simulator does.

A scenario with "otherUpdater": true runs two scanfw.exe: the first with the scenario less that
member, and OTHER_UPDATER_LEAD_S later the one compared, which must meet the first's guard. The
first is compared with the simulator's run of the scenario less the member ("other updater": its
output and exit code); the devices and the service, which only the first may touch, with that run
too, the opens of both runs counted. A damaged image ("damaged": true) is the real one with its
middle byte xored with 0xFF, in a copy of scanfw.exe in the work folder, which both the probe and
the run are given.

--deploy runs scanfw-deploy.exe (which must lie beside scanfw.exe) in the same prefix once
scanfw.exe has run alone, the prefix set back to the scenario's start: its standard output must be
scanfw.exe's, its exit code the outcome's, its record and detection value there (deploy_run.py);
not with --sim-scenario, whose simulator run is another scenario's.

Exit status: 0 they agree (or differ in exactly the expected parts); 1 they disagree, or the probe
changed the prefix or sent to a device; 2 a step failed (the simulator rejected the scenario or the
completed capture, Wine could not be set up, the probe failed or wrote no scenario); 3 the scenario
has a member that cannot be set up faithfully under Wine: one line on stderr names it.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

import pefile

import capture
import compare
import deploy_run
from scenario_setup import DEFAULT_PID, DEFAULT_VID, Refused, instance_subkey, registry_text, wine_setup
from wine_prefix import Prefix, WineError, copy_prefix, windows_path

EXIT_AGREE, EXIT_DISAGREE, EXIT_ERROR, EXIT_REFUSED = 0, 1, 2, 3
PARTS = ("stdout", "device", "service", "exitCode")
SIM_TIMEOUT_S = 300
# The exe really sleeps: it may take the simulated time, half as much again, and a minute.
RUN_SLACK_FACTOR = 1.5
RUN_SLACK_S = 60
HOLDER_READY_TIMEOUT_S = 30
HOLDER_END_TIMEOUT_S = 30
POLL_S = 0.05
REG_IMPORT_ATTEMPTS = 3
REG_IMPORT_RETRY_PAUSE_S = 1
CONSOLE_LOG = "console.log"  # e2e_console.exe's record, in the work folder
PROBE_TIMEOUT_S = 60
CAPTURE, COMPLETED = "capture.json", "capture-completed.json"  # in the work folder
# What the probe reads and must leave as it is, besides the service's state (query-service): the
# imaging class key, the STISVC key and the driver's key, read in one query of their common parent.
SNAPSHOT_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet"
CAPTURE_PARTS = tuple("capture " + part for part in PARTS)


# How long the first of two updaters runs before the second is started: long enough for it to have
# found the scanner and taken its guard, short of the end of its service step.
OTHER_UPDATER_LEAD_S = 2
OTHER_UPDATER = "other updater"
BINARY = "BINARY"
DAMAGE_MASK = 0xFF

class ScenarioRun:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.name = os.path.splitext(os.path.basename(args.scenario))[0]
        self.prefix = Prefix(os.path.join(self.work, "prefix"), self.work)
        self.exe = args.exe  # or a damaged copy of it (damaged_copy)
        self.deploy = args.deploy  # beside self.exe: a copy of it beside a damaged copy
        self.tool = {name: windows_path(os.path.join(args.tools, name))
                     for name in ("scanctl.exe", "e2e_prefix.exe", "e2e_console.exe")}

    def simulate(self, scenario, files="sim"):
        """The simulator's output and report for `scenario`, kept in the work folder as FILES-*."""
        scenario = os.path.abspath(scenario)
        report_path = os.path.join(self.work, f"{files}-report.json")
        if not os.access(self.args.sim, os.X_OK):
            raise WineError(f"no scanfw-sim at {self.args.sim}: build the host preset first")
        run = subprocess.run([self.args.sim, "--clock", "virtual", "--scenario", scenario, "--report", report_path],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=SIM_TIMEOUT_S)
        if run.returncode != 0:
            raise WineError(f"scanfw-sim exit {run.returncode} on {os.path.basename(scenario)}: "
                            f"{run.stderr.decode(errors='replace').strip()}")
        with open(os.path.join(self.work, f"{files}-stdout.bin"), "wb") as f:
            f.write(run.stdout)
        with open(report_path) as f:
            return run.stdout, json.load(f)

    def damaged_copy(self, ids):
        """A copy of scanfw.exe in the work folder whose BINARY image of each id has its middle byte
        changed, as a copy damaged on a stick or a share whose PE structure still loads."""
        with open(self.args.exe, "rb") as f:
            data = bytearray(f.read())
        pe = pefile.PE(data=bytes(data), fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        found = set()
        for kind in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
            if kind.name is None or str(kind.name) != BINARY:
                continue
            for name in kind.directory.entries:
                if name.id in ids:
                    for language in name.directory.entries:
                        entry = language.data.struct
                        data[pe.get_offset_from_rva(entry.OffsetToData) + entry.Size // 2] ^= DAMAGE_MASK
                        found.add(name.id)
        if found != set(ids):
            raise WineError(f"{self.args.exe} has no BINARY resource {sorted(set(ids) - found)} to damage")
        path = os.path.join(self.work, "scanfw.exe")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def set_up(self, setup):
        copy_prefix(self.args.template, self.prefix.path)
        with open(os.path.join(self.work, "scenario.reg"), "w", newline="") as f:
            f.write(registry_text(setup))
        self.prefix.start_server()
        # Wine's reg.exe now and then exits 1 without a word on a prefix whose server has just
        # started; the import is idempotent, so it is tried again before the run counts as failed.
        for attempt in range(1, REG_IMPORT_ATTEMPTS + 1):
            rc, _, _ = self.prefix.run(f"reg-import-{attempt}", ["reg", "import", "scenario.reg"], check=False)
            if rc == 0:
                break
            if attempt == REG_IMPORT_ATTEMPTS:
                raise WineError(f"reg import: exit {rc} on each of {REG_IMPORT_ATTEMPTS} attempts")
            time.sleep(REG_IMPORT_RETRY_PAUSE_S)
        for number in setup.denied_instances:
            self.prefix.run(f"deny-{number:04d}", [self.tool["e2e_prefix.exe"], "deny-key", instance_subkey(number)])
        self.prefix.run("driver-start", [self.tool["scanctl.exe"], "start"])
        _, status, _ = self.prefix.run("driver-status", [self.tool["scanctl.exe"], "status"])
        want = "devices" + "".join(f" {i}" for i in sorted(d.index for d in setup.devices)) + "\n"
        if status.decode() != want:
            raise WineError(f"the driver reports {status.decode()!r}, not {want!r}")
        if setup.service is None:
            self.prefix.run("service-remove", [self.tool["e2e_prefix.exe"], "remove-service"])
        else:
            self.prefix.run("service-set", [self.tool["e2e_prefix.exe"], "set-service", setup.service.state,
                                            setup.service.start_type])

    def hold_mutexes(self, mutexes):
        """Starts the other applications' process and waits until it holds every mutex."""
        ready, release = (os.path.join(self.work, n) for n in ("holder.ready", "holder.release"))
        for path in (ready, release):
            if os.path.exists(path):
                os.remove(path)
        pairs = [word for name, denied in mutexes for word in ("denied" if denied else "open", name)]
        holder = self.prefix.start("holder", [self.tool["e2e_prefix.exe"], "hold", "holder.ready",
                                              "holder.release"] + pairs)

        def said():
            if not os.path.exists(ready):
                return ""
            with open(ready) as f:
                return f.read()

        # The holder writes one whole line, "ready" or what went wrong, once it holds the names.
        deadline = time.monotonic() + HOLDER_READY_TIMEOUT_S
        while time.monotonic() < deadline and holder.poll() is None and not said().endswith("\n"):
            time.sleep(POLL_S)
        if said() != "ready\n":
            raise WineError(f"the mutex holder is not ready: {said().strip() or 'nothing said'}")
        return holder, release

    def release_mutexes(self, holder, release):
        open(release, "w").close()
        try:
            rc = holder.wait(timeout=HOLDER_END_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            raise WineError("the mutex holder did not end")
        if rc != 0:
            raise WineError(f"the mutex holder ended with {rc}")

    def snapshot(self, when):
        """What the probe may read but must not change: {section: text}."""
        _, text, _ = self.prefix.run(f"{when}-reg-query", ["reg", "query", SNAPSHOT_KEY, "/s"])
        _, service, _ = self.prefix.run(f"{when}-service-query", [self.tool["e2e_prefix.exe"], "query-service"])
        return {SNAPSHOT_KEY: capture.registry_lines(text.decode(errors="replace")),
                "the service's state and start type": service.decode()}

    def probe(self, setup, asked):
        """Runs scanfw-probe.exe in the set-up prefix: (its capture, what it changed or sent, seconds)."""
        out = os.path.join(self.work, CAPTURE)
        if os.path.exists(out):
            os.remove(out)
        before = self.snapshot("before-probe")
        started = time.monotonic()
        rc, _, err = self.prefix.run("probe", [self.args.probe, "--exe", windows_path(self.exe), "--out",
                                               windows_path(out)] + (["--ask-scanner"] if asked is not None else []),
                                     timeout=PROBE_TIMEOUT_S, locale=setup.lc_all, check=False)
        seconds = time.monotonic() - started
        if rc != 0:
            said = err.decode(errors="replace").strip().splitlines()
            raise WineError(f"scanfw-probe.exe exit {rc}: {said[-1] if said else '(nothing on stderr)'}")
        try:
            with open(out) as f:
                captured = json.load(f)
        except (OSError, ValueError) as e:
            raise WineError(f"scanfw-probe.exe wrote no scenario to {out}: {e}")
        if not isinstance(captured, dict):
            raise WineError(f"scanfw-probe.exe wrote no scenario to {out}: not a JSON object")
        problems = capture.snapshot_changes(before, self.snapshot("after-probe"))
        records = {}
        for d in setup.devices:
            _, text, _ = self.prefix.run(f"probe-dump{d.index}", [self.tool["scanctl.exe"], "dump", str(d.index)])
            records[d.index] = compare.parse_dump(text.decode())
        problems += capture.probe_device_problems(records, asked)
        if asked is not None:
            ready = next(d for d in setup.devices if d.index == asked).ready[0]
            problems += capture.captured_ready_problems(captured, asked, ready)
        # The exe must meet the devices as the simulator does: no opens counted, no reply used up.
        self.prefix.run("driver-reset", [self.tool["scanctl.exe"], "reset"])
        return captured, problems, seconds

    def run_exe(self, setup, elapsed_ms, program=None, name="scanfw"):
        """Runs scanfw.exe, or `program` (the deploy) in its place: (exit code, stdout, stderr, seconds,
        [console log lines]). The deploy always runs under e2e_console.exe, which reads its whole exit
        code: Wine hands a Unix parent only its low byte (1618 would be 82)."""
        program = program or self.exe
        timeout = elapsed_ms / 1000 * RUN_SLACK_FACTOR + RUN_SLACK_S
        started = time.monotonic()
        if not setup.interrupts and program == self.exe:
            rc, out, err = self.prefix.run(name, [program] + setup.args, timeout=timeout, locale=setup.lc_all,
                                           check=False)
            return rc, out, err, time.monotonic() - started, []
        # e2e_console.exe starts the exe with its own standard handles and delivers the events.
        schedule = ",".join(f"{event}:{at_ms}" for event, at_ms in setup.interrupts) or "-"
        console_log = CONSOLE_LOG if name == "scanfw" else f"{name}-{CONSOLE_LOG}"
        log = os.path.join(self.work, console_log)
        tool_rc, out, err = self.prefix.run(f"{name}-console", [self.tool["e2e_console.exe"], console_log, schedule,
                                                                windows_path(program)] + setup.args,
                                            timeout=timeout, locale=setup.lc_all, check=False)
        seconds = time.monotonic() - started
        lines = []
        if os.path.exists(log):
            with open(log) as f:
                lines = f.read().splitlines()
        codes = [line.split(" ")[1] for line in lines if line.startswith("exit ")]
        if tool_rc != 0 or not codes:
            said = [line for line in lines if line.startswith("error ")] or ["no exit code"]
            raise WineError(f"e2e_console.exe exit {tool_rc}: {said[0]} (see {log})")
        return int(codes[0]), out, err, seconds, [line for line in lines if line.startswith(("delivered", "missed"))]

    def run_after_another(self, setup, first_ms, elapsed_ms, program=None, name="scanfw"):
        """Starts a first scanfw.exe, and OTHER_UPDATER_LEAD_S later the one compared (or `program`, the
        deploy, in its place), while the first updates: (the compared run as run_exe gives it, the
        first's exit code and stdout)."""
        first = self.prefix.start(f"{name}-first", [self.exe] + setup.args, locale=setup.lc_all)
        time.sleep(OTHER_UPDATER_LEAD_S)
        if first.poll() is not None:
            raise WineError(f"the first scanfw.exe ended (exit {first.returncode}) before the second started")
        second = self.run_exe(setup, elapsed_ms, program, name)
        try:
            first_rc = first.wait(timeout=first_ms / 1000 * RUN_SLACK_FACTOR + RUN_SLACK_S)
        except subprocess.TimeoutExpired:
            raise WineError("the first scanfw.exe did not end")
        with open(first.out_path, "rb") as f:
            return second, first_rc, f.read()

    def read_back(self, setup, label=""):
        records = {}
        for d in setup.devices:
            _, text, _ = self.prefix.run(f"{label}dump{d.index}",
                                         [self.tool["scanctl.exe"], "dump", str(d.index)])
            records[d.index] = compare.parse_dump(text.decode())
        problems = [p for index, r in records.items() for p in compare.dump_problems(index, r)]
        if problems:
            raise WineError("; ".join(problems))
        _, service, _ = self.prefix.run(f"{label}service-query", [self.tool["e2e_prefix.exe"], "query-service"])
        return records, compare.parse_service_query(service.decode())

    def asked_scanner(self, setup):
        """The usbscan number a probe with --ask-scanner asks: the first device that opens and has the
        scanner's ids, as the updater finds it."""
        for d in sorted(setup.devices, key=lambda d: d.index):
            if d.open == "ok" and not d.descriptor_fails and (d.vid, d.pid) == (DEFAULT_VID, DEFAULT_PID):
                return d.index
        raise WineError("--ask-scanner: the scenario has no scanner for the probe to ask")

    def run(self):
        """The differences by part, and what was measured."""
        with open(self.args.scenario) as f:
            scenario = json.load(f)
        sim_out, report = self.simulate(self.args.sim_scenario or self.args.scenario)
        setup = wine_setup(scenario)
        asked = self.asked_scanner(setup) if self.args.ask_scanner else None
        if self.args.capture and not os.path.isfile(self.args.probe):
            raise WineError(f"no scanfw-probe.exe at {self.args.probe}: build the windows preset first")
        started = time.monotonic()
        self.prefix.stop_server()
        holder = None
        probed = None
        deployed = None
        if setup.damaged:
            self.exe = self.damaged_copy(setup.damaged)
            if self.deploy:
                self.deploy = os.path.join(self.work, os.path.basename(self.args.deploy))
                shutil.copyfile(self.args.deploy, self.deploy)
        first = None
        if setup.other_updater:
            alone = os.path.join(self.work, "first-scenario.json")
            with open(alone, "w") as f:
                json.dump({k: v for k, v in scenario.items() if k != "otherUpdater"}, f, indent=1)
            first = self.simulate(alone, "first-sim")
        first_ms = first[1]["elapsedMs"] if first is not None else None
        try:
            self.set_up(setup)
            if setup.mutexes:
                holder = self.hold_mutexes(setup.mutexes)
            setup_s = time.monotonic() - started
            elapsed_ms = report["elapsedMs"]
            if self.args.capture:
                captured, probe_problems, probe_s = self.probe(setup, asked)
                completed = os.path.join(self.work, COMPLETED)
                try:
                    whole = capture.complete(captured, scenario)
                except (KeyError, TypeError, ValueError, AttributeError) as e:
                    raise WineError(f"the probe's {CAPTURE} cannot be completed: {type(e).__name__} {e}")
                with open(completed, "w") as f:
                    json.dump(whole, f, indent=1)
                cap_out, cap_report = self.simulate(completed, "capture-sim")
                probed = (probe_problems, probe_s, cap_out, cap_report, captured)
                elapsed_ms = max(elapsed_ms, cap_report["elapsedMs"])
            if first is None:
                rc, raw_out, err, exe_s, console = self.run_exe(setup, elapsed_ms)
            else:
                (rc, raw_out, err, exe_s, console), first_rc, first_raw = self.run_after_another(
                    setup, first_ms, elapsed_ms)
            if holder is not None:
                self.release_mutexes(*holder)
                holder = None
            records, service = self.read_back(setup)
            if self.args.deploy and not self.args.sim_scenario:
                deployed = deploy_run.run_deploy(self, setup, elapsed_ms, first_ms)
        finally:
            self.prefix.stop_server()
        if not self.args.keep_prefix:
            shutil.rmtree(self.prefix.path, ignore_errors=True)
        wine_out = compare.wine_stdout(raw_out)
        with open(os.path.join(self.work, "wine-stdout.bin"), "wb") as f:
            f.write(wine_out)

        def touched(report_):
            """What the devices and the service must show: with another updater, its run's, the
            opens of both runs counted."""
            if first is None:
                return report_
            return dict(first[1], opened=first[1]["opened"] + report_["opened"])

        def against(sim_out_, report_, service_exists):
            return {
                "stdout": compare.compare_stdout(sim_out_, wine_out),
                "device": compare.compare_device(touched(report_), records),
                "service": compare.compare_service(touched(report_)["service"], service_exists, service),
                "exitCode": [] if rc == report_["exitCode"] else [f"exit code {rc} under Wine, {report_['exitCode']} "
                                                                   "in the simulator"],
            }

        differences = against(sim_out, report, setup.service is not None)
        if self.args.expect:
            with open(self.args.expect) as f:
                differences["expected"] = compare.expectation_problems(json.load(f), wine_out, records, service)
        if first is not None:
            differences[OTHER_UPDATER] = compare.compare_stdout(first[0], compare.wine_stdout(first_raw)) + (
                [] if first_rc == first[1]["exitCode"] else [f"the first run's exit code {first_rc} under Wine, "
                                                             f"{first[1]['exitCode']} in the simulator"])
        if deployed is not None:
            differences.update(deploy_run.differences(deployed, raw_out, rc, report, touched(report),
                                                      setup.service is not None,
                                                      {"deploy": self.deploy, "updater": self.exe}))
        figures = {"exe_s": exe_s, "sim_s": report["elapsedMs"] / 1000, "setup_s": setup_s, "stderr": err,
                   "console": console, "probe_s": None, "asked": asked}
        if probed is not None:
            probe_problems, figures["probe_s"], cap_out, cap_report, captured = probed
            differences["probe"] = probe_problems
            exists = captured.get("service", {}).get("exists", True)
            differences.update(("capture " + part, found) for part, found in
                               against(cap_out, cap_report, exists).items())
            figures["captured"] = (len(captured.get("devices", [])), len(captured.get("imagingDevices", {})),
                                   len(captured.get("mutexes", [])))
        figures["deploy"] = deployed
        figures["total_s"] = time.monotonic() - started
        return differences, figures


def summary(name, differences, figures, expected):
    lines = [f"e2e {name}: scanfw.exe ran {figures['exe_s']:.1f} s under Wine (simulated {figures['sim_s']:.1f} s); "
             f"prefix setup {figures['setup_s']:.1f} s, "
             + (f"probe {figures['probe_s']:.1f} s, " if figures["probe_s"] is not None else "")
             + f"in all {figures['total_s']:.1f} s"]
    lines += [f"  console: {line}" for line in figures["console"]]
    if figures["deploy"] is not None:
        deployed = figures["deploy"]
        lines.append(f"  scanfw-deploy.exe ran {deployed['seconds']:.1f} s, exit code {deployed['rc']}")
        lines += [f"  deploy console: {line}" for line in figures["deploy"]["console"]]
    if "captured" in figures:
        lines.append("  capture: {} devices, {} imaging keys, {} mutexes; simulated as {} with what the scenario "
                     "says besides".format(*figures["captured"], COMPLETED))
    for part in [p for p in PARTS + (OTHER_UPDATER, "expected", "probe") + CAPTURE_PARTS + deploy_run.PARTS
                 if p in differences]:
        found = differences[part]
        if part == "expected":
            status = "NOT MET" if found else "met"
        elif part == "probe":
            status = "CHANGED THE PREFIX OR SENT TO A DEVICE" if found else (
                "changed nothing" + (f", sent the ready query to usbscan{figures['asked']} and captured its reply"
                                     if figures["asked"] is not None else ", sent nothing"))
        elif not found:
            status = "agree, though a difference was expected" if part in expected else "agree"
        else:
            status = "differ, as expected" if part in expected else "DIFFER"
        lines.append(f"  {part}: {status}")
        lines += [f"    {d}" for d in found]
    if figures["stderr"]:
        lines.append("  scanfw.exe wrote on stderr: " + figures["stderr"].decode(errors="replace").strip())
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--sim", "--exe", "--tools", "--template", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--sim-scenario")
    parser.add_argument("--expect-differences", default="")
    parser.add_argument("--expect")
    parser.add_argument("--keep-prefix", action="store_true")
    parser.add_argument("--capture", action="store_true")
    parser.add_argument("--probe")
    parser.add_argument("--ask-scanner", action="store_true")
    parser.add_argument("--deploy")
    parser.add_argument("scenario")
    args = parser.parse_args(argv)
    if args.capture != bool(args.probe):
        parser.error("--capture and --probe go together")
    if args.ask_scanner and not args.capture:
        parser.error("--ask-scanner goes with --capture")
    expected = {p for p in args.expect_differences.split(",") if p}
    if not expected <= set(PARTS):
        parser.error(f"--expect-differences takes {', '.join(PARTS)}")
    if bool(expected) != bool(args.sim_scenario):
        parser.error("--sim-scenario and --expect-differences go together")
    # Wine runs in the work folder, where relative names would not reach.
    for option in ("sim", "exe", "tools", "template", "probe", "deploy"):
        if getattr(args, option):
            setattr(args, option, os.path.abspath(getattr(args, option)))
    if args.deploy and os.path.dirname(args.deploy) != os.path.dirname(args.exe):
        parser.error("--deploy names a scanfw-deploy.exe beside --exe: it starts the scanfw.exe beside it")
    os.makedirs(args.work, exist_ok=True)
    run = ScenarioRun(args)
    try:
        differences, figures = run.run()
    except Refused as e:
        print(f"run_e2e: {args.scenario}: cannot be set up under Wine: {e}", file=sys.stderr)
        return EXIT_REFUSED
    except (WineError, OSError, ValueError, KeyError) as e:
        print(f"run_e2e: {args.scenario}: {e}", file=sys.stderr)
        return EXIT_ERROR
    print(summary(run.name, differences, figures, expected))
    differing = {part for part, found in differences.items() if found}
    if differing == expected:
        print("PASS" + (f": the harness saw the expected differences in {', '.join(sorted(expected))}"
                        if expected else ": Wine and the simulator agree") +
              ("; on the probe's capture too, and the probe changed nothing" if args.capture else "") +
              ("; the deploy passed its bytes on and told its outcome"
               if args.deploy and not args.sim_scenario else "") +
              (" but for the one ready query" if args.ask_scanner else "") +
              (f"; the run does what {os.path.basename(args.expect)} asks" if args.expect else ""))
        return EXIT_AGREE
    print("FAIL: " + (f"differences in {', '.join(sorted(differing))}" if not expected else
                      f"expected differences in {', '.join(sorted(expected))}, found them in "
                      f"{', '.join(sorted(differing)) or 'nothing'}"))
    return EXIT_DISAGREE


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

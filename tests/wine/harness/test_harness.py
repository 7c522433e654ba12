"""The harness's own logic, without Wine: how a scenario becomes a prefix's setup, what is refused,
the .reg text it writes, the comparisons that decide whether Wine and the simulator agree, and how a
probe's capture is completed and held to having changed nothing."""
import os
import re
import tempfile
import unittest

import capture
import compare
import run_e2e_set
import scenario_setup as ss
from wine_prefix import TEMPLATE_STAMP, WineError, copy_prefix

HERE = os.path.dirname(os.path.abspath(__file__))
SCANNER_REGISTRY = {"0000": {"CreateFileName": "\\\\.\\usbscan0", "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3",
                             "FriendlyName": "Tarvo DS-410"}}


def read_reg(text):
    """A small REGEDIT4 reader: {key: {name: (kind, value)}}, to read back what the harness wrote."""
    keys, key = {}, None
    for line in text.replace("\\\r\n  ", "").split("\r\n"):
        if line.startswith("[") and line.endswith("]"):
            key = keys.setdefault(line[1:-1], {})
        elif "=" in line and key is not None:
            m = re.fullmatch(r'(@|"(?:[^"\\]|\\.)*")=(.*)', line)
            name = "" if m.group(1) == "@" else re.sub(r"\\(.)", r"\1", m.group(1)[1:-1])
            data = m.group(2)
            if data.startswith('"'):
                key[name] = ("sz", re.sub(r"\\(.)", r"\1", data[1:-1]))
            elif data.startswith("dword:"):
                key[name] = ("dword", int(data[6:], 16))
            else:
                kind, _, hexes = data.partition(":")
                key[name] = (kind, bytes.fromhex(hexes.replace(",", "")))
    return keys


class Replies(unittest.TestCase):
    def test_reply_fields_land_at_their_offsets(self):
        cases = [
            ({}, bytes(32)),
            ({"result": "0x7001"}, bytes.fromhex("01700000") + bytes(28)),
            ({"state": 7, "percent": 150}, bytes(4) + b"\x07\x00" + bytes(4) + b"\x96" + bytes(21)),
            ({"state": "0x1234", "model": 8}, bytes(4) + b"\x34\x12" + bytes(8) + b"\x08" + bytes(17)),
            ({"raw": "ff" * 32, "state": 0}, b"\xff" * 4 + b"\x00\x00" + b"\xff" * 26),
        ]
        for entry, want in cases:
            with self.subTest(entry=entry):
                self.assertEqual(ss.reply(entry), want)

    def test_numbers_take_the_scenario_forms(self):
        for text, want in [(1028, 1028), ("0x0404", 0x404), ("0X0c04", 0xC04), ("1033", 1033)]:
            with self.subTest(text=text):
                self.assertEqual(ss.number(text), want)

    def test_absent_scanner_lists_take_the_simulators_defaults(self):
        d = ss.device_setup({"index": 3}, "devices[0]")
        self.assertEqual((d.index, d.open, d.descriptor_fails, d.vid, d.pid, d.bcd), (3, "ok", False, 0x2A7B, 0x41C3,
                                                                                        0x0100))
        self.assertEqual(d.ready, [bytes(32)])
        self.assertEqual(d.download, [bytes(32)])
        self.assertEqual([(r[4], r[10]) for r in d.progress], [(7, p) for p in range(0, 100, 10)] + [(0, 100)])
        self.assertEqual(d.faults, [])

    def test_a_single_reply_object_is_a_list_of_one(self):
        d = ss.device_setup({"index": 0, "scanner": {"ready": {"state": 6}}}, "devices[0]")
        self.assertEqual(d.ready, [ss.make_reply(state=6)])

    def test_faults_are_written_as_the_driver_reads_them(self):
        d = ss.device_setup({"index": 0, "scanner": {"faults": [{"op": "write", "n": 3, "kind": "short"},
                                                                {"op": "read", "kind": "noSignal"}]}}, "devices[0]")
        self.assertEqual(d.faults, ["write 3 short", "read 1 noSignal"])


class Setup(unittest.TestCase):
    def test_languages_map_to_locales(self):
        for lang, locale in [("0x0404", "zh_TW.UTF-8"), ("0x0804", "zh_CN.UTF-8"), ("0x0C04", "zh_HK.UTF-8"),
                             (1033, "en_US.UTF-8"), (None, "en_US.UTF-8")]:
            with self.subTest(lang=lang):
                scenario = {} if lang is None else {"userLangId": lang}
                self.assertEqual(ss.wine_setup(scenario).lc_all, locale)

    def test_members_wine_cannot_reproduce_are_refused_by_name(self):
        device = {"index": 0}
        cases = [
            ({"userLangId": "0x0411"}, "userLangId"),
            ({"tickStart": "0xFFFFF000"}, "tickStart"),
            ({"resources": {"131": {"missing": True}}}, "resources.131"),
            ({"resources": {"121": {"size": 0}}}, "resources.121"),
            ({"exeFile": "truncated"}, "exeFile"),
            ({"failures": [{"call": "CreateEventA"}]}, "failures"),
            ({"service": {"managerAccess": "denied"}}, "service.managerAccess"),
            ({"service": {"serviceAccess": "denied"}}, "service.serviceAccess"),
            ({"service": {"state": "paused"}}, "service.state"),
            ({"service": {"startType": "boot"}}, "service.startType"),
            ({"service": {"state": "stopped", "controlsAccepted": 1}}, "service.controlsAccepted"),
            ({"service": {"pendingQueries": -1}}, "service.pendingQueries"),
            ({"service": {"pendingQueries": 6}}, "service.pendingQueries"),
            ({"service": {"waitHint": 20000, "pendingQueries": 0}}, "service.waitHint"),
            ({"mutexes": [{"name": "X", "releaseAfterMs": 1500}]}, "mutexes[0].releaseAfterMs"),
            ({"mutexes": [{"name": "Session\\1\\X"}]}, "mutexes[0].name"),
            ({"args": ["-b", "caf\u00e9"]}, "args[1]"),
            ({"imagingDevices": {"0001": {"FriendlyName": "T\u00e4rvo"}}}, "imagingDevices.0001.FriendlyName"),
            ({"imagingDevices": {"0001": {"FriendlyName": {"type": "REG_SZ", "hex": "4142"}}}},
             "imagingDevices.0001.FriendlyName"),
            ({"devices": [device, {"index": 1, "scanner": {"faults": [{"op": "read", "n": 2, "kind": "fail"},
                                                                      {"op": "read", "n": 2, "kind": "short"}]}}]},
             "devices[1].scanner.faults[1]"),
            ({"devices": [{"index": 0, "scanner": {"progress": [{"state": 7}] * 1025}}]},
             "devices[0].scanner.progress"),
            ({"resources": {"121": {"size": 16, "damaged": True}}}, "resources.121"),
            ({"otherUpdater": True, "console": {"interrupts": [{"event": "ctrlC", "atMs": 1}]}}, "otherUpdater"),
            ({"console": {"processes": 1}}, "console.processes"),
            ({"console": {"redirected": False}}, "console.redirected"),
            ({"console": {"interrupts": [{"event": "ctrlC", "atMs": 1}, {"event": "close", "atMs": 2}]}},
             "console.interrupts[1].event"),
        ]
        for scenario, member in cases:
            with self.subTest(member=member):
                with self.assertRaises(ss.Refused) as refused:
                    ss.wine_setup(scenario)
                self.assertEqual(refused.exception.member, member)
                self.assertTrue(str(refused.exception).startswith(member + ": "))

    def test_defaults_written_out_are_not_refused(self):
        setup = ss.wine_setup({"tickStart": "0x00100000", "failures": [], "exeFile": "whole",
                               "resources": {"121": {"size": 8388608}, "131": {"size": "13633428"}},
                               "service": {"managerAccess": "granted", "state": "running", "startType": "demand"},
                               "mutexes": [{"name": "Global\\A", "access": "granted"}]})
        self.assertEqual((setup.service.state, setup.service.start_type), ("running", "demand"))
        self.assertEqual(setup.mutexes, [("Global\\A", False)])

    def test_another_updater_and_damaged_images_are_set_up(self):
        setup = ss.wine_setup({"otherUpdater": True, "resources": {"131": {"damaged": True},
                                                                   "121": {"size": "8388608", "damaged": True}}})
        self.assertEqual((setup.other_updater, setup.damaged), (True, [121, 131]))
        self.assertEqual((ss.wine_setup({}).other_updater, ss.wine_setup({}).damaged), (False, []))

    def test_closed_keys_and_mutexes_are_set_up_closed(self):
        setup = ss.wine_setup({"imagingDevices": {"0007": {"access": "denied", "FriendlyName": "x"}, "0002": {}},
                               "mutexes": [{"name": "Y", "access": "denied"}]})
        self.assertEqual(setup.denied_instances, [7])
        self.assertEqual(sorted(setup.instances), [2, 7])
        self.assertEqual(setup.mutexes, [("Y", True)])

    def test_console_events_go_in_time_order(self):
        setup = ss.wine_setup({"console": {"interrupts": [{"event": "ctrlBreak", "atMs": "4000"},
                                                          {"event": "ctrlC", "atMs": 3500}]}})
        self.assertEqual(setup.interrupts, [("ctrlC", 3500), ("ctrlBreak", 4000)])
        self.assertEqual(ss.wine_setup({}).interrupts, [])

    def test_a_missing_service_is_removed_not_configured(self):
        self.assertIsNone(ss.wine_setup({"service": {"exists": False, "state": "paused"}}).service)

    def test_pending_states_last_until_half_a_hint_before_the_read_that_ends_them(self):
        for queries, hint, want in [(1, 1000, 500), (3, 1000, 2500), (0, 1000, 0), (2, 0, 0), (1, 1, 1)]:
            with self.subTest(queries=queries, hint=hint):
                self.assertEqual(ss.pending_ms(queries, hint), want)
        service = ss.wine_setup({"service": {"waitHint": 400, "pendingQueries": 2, "controlsAccepted": 5}}).service
        self.assertEqual((service.pending_ms, service.wait_hint, service.running_accepts), (600, 400, 5))


class RegistryText(unittest.TestCase):
    def setUp(self):
        scenario = {
            "devices": [{"index": 0, "scanner": {"ready": [{"state": 2}] * 30, "faults": [
                {"op": "read", "n": 1, "kind": "short"}, {"op": "write", "n": 3, "kind": "fail"}]}},
                {"index": 12, "open": "busy", "descriptor": "fail"},
                {"index": 255, "descriptor": {"vid": "0x04B8", "pid": 257}}],
            "imagingDevices": dict(SCANNER_REGISTRY, **{"0012": {
                "Quoted": 'say "hi"', "": "default", "Count": {"type": "REG_DWORD", "data": "0x10"},
                "Blob": {"type": "REG_BINARY", "hex": "00ff10"}, "Odd": {"type": "REG_DWORD", "hex": "0102"},
                "Exact": {"type": "REG_SZ", "hex": "414200"}}}),
            "service": {"waitHint": 300, "pendingQueries": 2, "controlsAccepted": 1},
        }
        self.setup_ = ss.wine_setup(scenario)
        self.text = ss.registry_text(self.setup_)
        self.reg = read_reg(self.text)

    def test_driver_values_read_back_as_configured(self):
        driver = self.reg[ss.DRIVER_KEY]
        self.assertEqual(driver["Devices"], ("sz", "0,12,255"))
        d0 = self.reg[ss.DRIVER_KEY + "\\Device0"]
        self.assertEqual(d0["Ready"], ("hex", ss.make_reply(state=2) * 30))
        self.assertEqual(d0["Faults"], ("sz", "read 1 short; write 3 fail"))
        self.assertEqual(d0["Progress"][1], b"".join(self.setup_.devices[0].progress))
        d12 = self.reg[ss.DRIVER_KEY + "\\Device12"]
        self.assertEqual((d12["Open"], d12["Descriptor"]), (("sz", "busy"), ("sz", "fail")))
        d255 = self.reg[ss.DRIVER_KEY + "\\Device255"]
        self.assertEqual((d255["VendorId"], d255["ProductId"], d255["BcdDevice"]),
                         (("dword", 0x04B8), ("dword", 257), ("dword", 0x100)))

    def test_imaging_values_read_back_byte_for_byte(self):
        scanner = self.reg["HKEY_LOCAL_MACHINE\\" + ss.instance_subkey(0)]
        self.assertEqual(scanner["CreateFileName"], ("sz", "\\\\.\\usbscan0"))
        self.assertEqual(scanner["MatchingDeviceId"], ("sz", "usb\\vid_2a7b&pid_41c3"))
        other = self.reg["HKEY_LOCAL_MACHINE\\" + ss.instance_subkey(12)]
        self.assertEqual(other, {"Quoted": ("sz", 'say "hi"'), "": ("sz", "default"), "Count": ("dword", 16),
                                 "Blob": ("hex", b"\x00\xff\x10"), "Odd": ("hex(4)", b"\x01\x02"),
                                 "Exact": ("sz", "AB")})

    def test_the_stand_in_service_gets_the_timing(self):
        standin = self.reg[ss.STANDIN_KEY]
        self.assertEqual(standin, {"StartPendingMs": ("dword", 450), "StartWaitHint": ("dword", 300),
                                   "StopPendingMs": ("dword", 450), "StopWaitHint": ("dword", 300),
                                   "PendingAccepts": ("dword", 0), "RunningAccepts": ("dword", 1)})

    def test_the_stand_in_reads_the_names_written_here(self):
        # The service reads its behaviour by the names in its header; a name that differs here
        # would leave it at its defaults without a word.
        with open(os.path.join(HERE, "..", "standin", "standin_config.h")) as f:
            header = f.read()
        names = dict(re.findall(r'constexpr const char\* (\w+) = "((?:[^"\\]|\\.)*)";', header))
        self.assertEqual("HKEY_LOCAL_MACHINE\\" + names["BEHAVIOUR_KEY"].replace("\\\\", "\\"), ss.STANDIN_KEY)
        constants = ("START_PENDING_MS", "START_WAIT_HINT", "STOP_PENDING_MS", "STOP_WAIT_HINT", "PENDING_ACCEPTS",
                     "RUNNING_ACCEPTS")
        self.assertEqual(tuple(names[c] for c in constants), ss.STANDIN_VALUES)

    def test_long_hex_lines_are_continued(self):
        self.assertTrue(self.text.startswith("REGEDIT4\r\n\r\n"))
        self.assertLess(max(len(line) for line in self.text.split("\r\n")), 120)

    def test_no_devices_means_an_empty_list(self):
        self.assertEqual(read_reg(ss.registry_text(ss.wine_setup({})))[ss.DRIVER_KEY]["Devices"], ("sz", ""))


DUMP = """device 0
config ok
open ok
opens 1
writes 3
reads 2
ioctls 1
command 20020000120002000000000000000000
command 200200002a0008000400000000008000
image 8388608 3df0f311
dropped 0
"""


def report(commands, images, index=0, opened=(0,)):
    return {"opened": list(opened), "device": None if index is None else
            {"index": index, "commands": commands, "images": [{"length": n, "sha256": h} for n, h in images]}}


class Comparisons(unittest.TestCase):
    def setUp(self):
        self.record = compare.parse_dump(DUMP)
        self.commands = ["20020000120002000000000000000000", "200200002a0008000400000000008000"]

    def test_dump_is_read_in_arrival_order(self):
        self.assertEqual(self.record["commands"], self.commands)
        self.assertEqual(self.record["images"], [(8388608, "3df0f311")])
        self.assertEqual((self.record["opens"], self.record["config"], self.record["dropped"]), (1, "ok", 0))
        self.assertEqual(compare.dump_problems(0, self.record), [])

    def test_unusable_records_are_named(self):
        for text, problem in [(DUMP.replace("config ok", "config error Ready: length"), "configuration"),
                              (DUMP.replace("dropped 0", "dropped 2"), "dropped 2"), ("", "no record")]:
            with self.subTest(problem=problem):
                self.assertIn(problem, " ".join(compare.dump_problems(0, compare.parse_dump(text))))

    def test_device_differences(self):
        images = [(8388608, "3df0f311")]
        cases = [
            ("agree", report(self.commands, images), {0: self.record}, []),
            ("a command more", report(self.commands + ["2002"], images), {0: self.record}, ["commands differ"]),
            ("another image", report(self.commands, [(8388608, "00")]), {0: self.record}, ["images differ"]),
            ("opened twice", report(self.commands, images, opened=(0, 0)), {0: self.record}, ["opened 1 times"]),
            ("no match in the simulator", report([], [], index=None), {0: self.record},
             ["commands differ", "images differ"]),
            ("matched elsewhere", report(self.commands, images, index=4, opened=(0,)), {0: self.record},
             ["commands differ", "images differ", "usbscan4, which Wine does not have"]),
        ]
        for name, rep, records, wanted in cases:
            with self.subTest(name):
                found = compare.compare_device(rep, records)
                self.assertEqual(len(found), len(wanted), found)
                for text, want in zip(found, wanted):
                    self.assertIn(want, text)

    def test_stdout_is_compared_after_undoing_text_mode(self):
        sim = b"Device found!!\n\n\rBurning... (5%)      \rBurning firmware. Please wait... (100%)        \n"
        wine = sim.replace(b"\n", b"\r\n")
        self.assertEqual(compare.compare_stdout(sim, compare.wine_stdout(wine)), [])
        found = compare.compare_stdout(sim, compare.wine_stdout(wine.replace(b"5%", b"6%")))
        self.assertEqual(len(found), 1)
        self.assertIn(f"at byte {sim.index(b'5%')}", found[0])
        self.assertIn("at byte 3", compare.compare_stdout(b"abc", b"abcd")[0])

    def test_service_differences(self):
        running = {"state": "running", "startType": "auto"}
        cases = [
            (True, running, "state running\nstartType auto\n", 0),
            (True, running, "state stopped\nstartType auto\n", 1),
            (True, running, "state stopped\nstartType disabled\n", 2),
            (True, running, "missing\n", 1),
            (False, running, "missing\n", 0),
            (False, running, "state running\nstartType auto\n", 1),
        ]
        for exists, sim, wine, count in cases:
            with self.subTest(exists=exists, wine=wine):
                found = compare.compare_service(sim, exists, compare.parse_service_query(wine))
                self.assertEqual(len(found), count, found)


class SetFile(unittest.TestCase):
    def write(self, tmp, text, scenarios=("a", "b")):
        for name in scenarios:
            open(os.path.join(tmp, name + ".json"), "w").close()
        path = os.path.join(tmp, "set.txt")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_runs_take_their_options_with_files_found_next_to_the_set(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "other"))
            open(os.path.join(tmp, "other", "x.json"), "w").close()
            path = self.write(tmp, "# comment\n\na\nb --sim-scenario other/x.json --expect-differences stdout  # why\n")
            base, runs = run_e2e_set.read_set(path)
            self.assertEqual(base, tmp)
            self.assertEqual(runs, [("a", []), ("b", ["--sim-scenario", os.path.join(tmp, "other/x.json"),
                                                      "--expect-differences", "stdout"])])

    def test_bad_sets_are_refused_with_the_line(self):
        for text, problem in [("a\na\n", "set.txt:2: a is listed twice"), ("a\nc\n", "set.txt:2: no scenario c.json"),
                              ("b --sim-scenario y.json\n", "set.txt:1: no file")]:
            with self.subTest(problem=problem), tempfile.TemporaryDirectory() as tmp:
                with self.assertRaises(run_e2e_set.SetError) as refused:
                    run_e2e_set.read_set(self.write(tmp, text))
                self.assertIn(problem, str(refused.exception))

    def test_the_committed_set_names_existing_scenarios(self):
        _, runs = run_e2e_set.read_set(os.path.join(HERE, "scenarios", "set.txt"))
        self.assertIn("update-en", [name for name, _ in runs])


class Expectations(unittest.TestCase):
    def test_the_wine_run_is_held_to_the_expectation_file(self):
        expect = {"lastMessage": "Update cancelled!!", "service": {"state": "running", "startType": "auto"},
                  "devices": {"0": {"withoutOpcodes": ["0x2A"], "images": 0}}}
        busy = b"Device found!!\n\nDevice is busy... Please wait...\n\n"
        query = "20020000120002000000000000000000"
        download = "200200002a0008000400000000008000"
        running = {"state": "running", "startType": "auto"}
        cases = [
            ("met", busy + b"Update cancelled!!\n\n", [query], [], running, []),
            ("another last message", busy, [query], [], running, ["does not end with the message"]),
            ("no empty line after it", busy + b"Update cancelled!!\n", [query], [], running,
             ["does not end with the message"]),
            ("only the end of a message", busy + b"Not Update cancelled!!\n\n", [query], [], running,
             ["does not end with the message"]),
            ("download sent", b"Update cancelled!!\n\n", [query, download], [], running,
             ["received commands it should not have"]),
            ("an image sent", b"Update cancelled!!\n\n", [query], [(8388608, "00")], running,
             ["received 1 images, not 0"]),
            ("service left disabled", b"Update cancelled!!\n\n", [query], [],
             {"state": "stopped", "startType": "disabled"}, ["service startType", "service state"]),
            ("service missing", b"Update cancelled!!\n\n", [query], [], None, ["missing"]),
        ]
        for name, stdout, commands, images, service, wanted in cases:
            with self.subTest(name):
                records = {0: {"commands": commands, "images": images}}
                found = compare.expectation_problems(expect, stdout, records, service)
                self.assertEqual(len(found), len(wanted), found)
                for text, want in zip(found, wanted):
                    self.assertIn(want, text)
        self.assertIn("no such device", compare.expectation_problems({"devices": {"3": {}}}, b"", {}, None)[0])


class Capture(unittest.TestCase):
    def test_completion_takes_from_the_scenario_only_what_a_probe_cannot_see(self):
        a, b, c = {"state": 2}, {"state": 3}, {"state": 0, "model": 8}
        mine = {"raw": "ab" * 32}
        scanner = {"ready": [a, b], "download": {"result": "0x7001"}, "progress": [{"state": 0}],
                   "faults": [{"op": "read", "kind": "short"}]}
        run = {"args": ["-a"], "tickStart": 5, "failures": [{"call": "Sleep"}], "console": {"processes": 1}}
        cases = [
            ("top level: the run's members, not the PC's",
             {"userLangId": "0x0404", "resources": {"121": {"size": 1}}},
             dict(run, userLangId="0x0409", resources={}, imagingDevices={"0000": {}}, mutexes=[{"name": "X"}]),
             dict(run, userLangId="0x0404", resources={"121": {"size": 1}})),
            ("the scanner's answers, not how the device opens",
             {"devices": [{"index": 0}]},
             {"devices": [{"index": 0, "open": "busy", "descriptor": "fail", "scanner": scanner}]},
             {"devices": [{"index": 0, "scanner": scanner}]}),
            ("the probe's reply first, then the scenario's from the second",
             {"devices": [{"index": 0, "scanner": {"ready": [mine]}}]},
             {"devices": [{"index": 0, "scanner": {"ready": [a, b, c]}}]},
             {"devices": [{"index": 0, "scanner": {"ready": [mine, b, c]}}]}),
            ("a single reply object has nothing after the first",
             {"devices": [{"index": 0, "scanner": {"ready": [mine]}}]},
             {"devices": [{"index": 0, "scanner": {"ready": a, "download": c}}]},
             {"devices": [{"index": 0, "scanner": {"ready": [mine], "download": c}}]}),
            ("no ready list in the scenario: the probe's stays",
             {"devices": [{"index": 0, "scanner": {"ready": [mine]}}]},
             {"devices": [{"index": 0, "scanner": {"progress": [c]}}]},
             {"devices": [{"index": 0, "scanner": {"ready": [mine], "progress": [c]}}]}),
            ("a single reply object of the scenario's is a list of one",
             {"devices": [{"index": 0}]}, {"devices": [{"index": 0, "scanner": {"ready": a}}]},
             {"devices": [{"index": 0, "scanner": {"ready": [a]}}]}),
            ("devices matched by number, whatever the form; the others left as captured",
             {"devices": [{"index": 2}, {"index": 7, "open": "denied"}, {"index": 9}]},
             {"devices": [{"index": "0x02", "scanner": {"ready": a}}, {"index": 7, "scanner": {"ready": b}},
                          {"index": 9}, {"index": 4, "scanner": {"ready": c}}]},
             {"devices": [{"index": 2, "scanner": {"ready": [a]}},
                          {"index": 7, "open": "denied", "scanner": {"ready": [b]}}, {"index": 9}]}),
            ("a release time for a mutex of the same name (in the session namespace) only",
             {"mutexes": [{"name": "A"}, {"name": "B", "access": "denied"}, {"name": "Global\\C"}]},
             {"mutexes": [{"name": "A", "releaseAfterMs": 1500, "access": "denied"},
                          {"name": "Local\\B", "releaseAfterMs": 9}, {"name": "C", "releaseAfterMs": 1}]},
             {"mutexes": [{"name": "A", "releaseAfterMs": 1500}, {"name": "B", "access": "denied", "releaseAfterMs": 9},
                          {"name": "Global\\C"}]}),
            ("the service's pending length, its hint when the probe saw none, its start type when unread",
             {"service": {"state": "running", "controlsAccepted": 7}},
             {"service": {"pendingQueries": 3, "waitHint": 400, "state": "stopped", "startType": "demand"}},
             {"service": {"state": "running", "controlsAccepted": 7, "pendingQueries": 3, "waitHint": 400,
                          "startType": "demand"}}),
            ("a service the probe could not read: its state and start type",
             {"service": {"managerAccess": "denied"}},
             {"service": {"state": "paused", "controlsAccepted": 5, "startType": "disabled"}},
             {"service": {"managerAccess": "denied", "state": "paused", "controlsAccepted": 5,
                          "startType": "disabled"}}),
            ("the hint the probe saw is kept",
             {"service": {"state": "running", "waitHint": 200}}, {"service": {"waitHint": 400}},
             {"service": {"state": "running", "waitHint": 200}}),
            ("into the captured service only",
             {"service": {"exists": False}}, {"service": {"pendingQueries": 0}},
             {"service": {"exists": False, "pendingQueries": 0}}),
            ("no service captured, none made", {}, {"service": {"pendingQueries": 2, "waitHint": 5}}, {}),
            ("another updater, started after the probe; a damaged image is the probe's to tell",
             {"resources": {"121": {"size": 8388608}}},
             {"otherUpdater": True, "resources": {"121": {"damaged": True}, "131": {"size": 1}}},
             {"otherUpdater": True, "resources": {"121": {"size": 8388608}}}),
            ("nothing to take", {"devices": [{"index": 0}]}, {"service": {"state": "stopped"}, "probe": {}},
             {"devices": [{"index": 0}]}),
        ]
        for name, captured, original, want in cases:
            with self.subTest(name):
                kept = repr(captured), repr(original)
                self.assertEqual(capture.complete(captured, original), want)
                self.assertEqual((repr(captured), repr(original)), kept)

    def test_what_the_probe_changed_or_sent_is_named(self):
        idle = compare.parse_dump("device 0\nopens 1\nwrites 0\nreads 0\nioctls 1\n")
        asked = compare.parse_dump(f"device 2\nopens 1\nwrites 1\nreads 1\ncommand {capture.READY_QUERY}\n")
        twice = compare.parse_dump(f"device 2\nwrites 2\nreads 2\ncommand {capture.READY_QUERY}\n"
                                   f"command {capture.READY_QUERY}\n")
        imaged = compare.parse_dump("device 0\nwrites 1\nreads 0\nimage 16 00\n")
        cases = [
            ("nothing sent", {0: idle}, None, []),
            ("the asked scanner took the query", {0: idle, 2: asked}, 2, []),
            ("a query without being asked", {2: asked}, None, ["usbscan2"]),
            ("the query to another device", {0: idle, 2: asked}, 0, ["usbscan0", "usbscan2"]),
            ("asked twice", {2: twice}, 2, ["usbscan2"]),
            ("data written", {0: imaged}, None, ["usbscan0"]),
            ("no record of the asked scanner", {0: idle}, 3, ["usbscan3"]),
        ]
        for name, records, asked_index, named in cases:
            with self.subTest(name):
                found = capture.probe_device_problems(records, asked_index)
                self.assertEqual(len(found), len(named), found)
                for text, index in zip(found, named):
                    self.assertTrue(text.startswith(index + " "), text)
        reply = bytes(range(32))
        for ready, problems in [([{"raw": reply.hex().upper()}], 0), ([{"raw": "00" * 32}], 1), ([], 1),
                                ({"raw": reply.hex()}, 0)]:
            with self.subTest(ready=ready):
                found = capture.captured_ready_problems({"devices": [{"index": "2", "scanner": {"ready": ready}}]},
                                                        2, reply)
                self.assertEqual(len(found), problems, found)
        query = "\nHKEY_LOCAL_MACHINE\\S\n    Start    REG_DWORD    0x2\n\nHKEY_LOCAL_MACHINE\\S\\T\n    X    REG_SZ    y\n"
        before = {"registry": capture.registry_lines(query), "service": "state running\n"}
        self.assertEqual(capture.snapshot_changes(before, dict(before)), [])
        for after, lines in [(query.replace("0x2", "0x4"), ["-HKEY_LOCAL_MACHINE\\S: Start    REG_DWORD    0x2",
                                                             "+HKEY_LOCAL_MACHINE\\S: Start    REG_DWORD    0x4"]),
                             (query.replace("\\T", "\\U"), ["-HKEY_LOCAL_MACHINE\\S\\T: X    REG_SZ    y",
                                                               "+HKEY_LOCAL_MACHINE\\S\\U: X    REG_SZ    y"])]:
            with self.subTest(after=after):
                changed = capture.snapshot_changes(before, dict(before, registry=capture.registry_lines(after)))
                self.assertEqual(len(changed), 1, changed)
                self.assertTrue(changed[0].startswith("the probe changed registry:"), changed[0])
                for line in lines:
                    self.assertIn(line, changed[0])

class PrefixCopy(unittest.TestCase):
    def test_binaries_are_shared_and_the_rest_copied(self):
        with tempfile.TemporaryDirectory() as tmp:
            template, copy = os.path.join(tmp, "template"), os.path.join(tmp, "copy")
            os.makedirs(os.path.join(template, "drive_c", "windows"))
            os.makedirs(os.path.join(template, "dosdevices"))
            files = {"system.reg": "registry", "drive_c/windows/win.ini": "ini", "drive_c/windows/a.DLL": "dll"}
            for name, text in files.items():
                with open(os.path.join(template, name), "w") as f:
                    f.write(text)
            os.symlink("../drive_c", os.path.join(template, "dosdevices", "c:"))
            with self.assertRaises(WineError):
                copy_prefix(template, copy)
            open(os.path.join(template, TEMPLATE_STAMP), "w").close()
            copy_prefix(template, copy)
            for name, text in files.items():
                with self.subTest(name=name):
                    with open(os.path.join(copy, name)) as f:
                        self.assertEqual(f.read(), text)
                    shared = os.path.samefile(os.path.join(template, name), os.path.join(copy, name))
                    self.assertEqual(shared, name.endswith(".DLL"))
            self.assertEqual(os.readlink(os.path.join(copy, "dosdevices", "c:")), "../drive_c")
            self.assertFalse(os.path.exists(os.path.join(copy, TEMPLATE_STAMP)))


if __name__ == "__main__":
    unittest.main()

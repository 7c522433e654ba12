#!/usr/bin/python3
"""Runs scanfw-probe.exe under Wine on the files a customer may have: what --exe names (the built
scanfw.exe whole, damaged with pefile, cut short, a text file, a folder) and what --out names
(a device, a folder, a file that is there, a folder that is not).

usage: probe_files.py --probe EXE --updater EXE --work DIR -- EMULATOR...

Every --exe case must exit 0 and write its capture, with one note that says what the probe found
(none for the whole exe, whose images it hashes as pefile reads them). Every --out case must exit
with its code, leave the folder holding exactly what it expects (a refused or failed write changes
nothing, and no temporary file is ever left), and write one line on standard error.
Prints one line per problem, then "ok" or "FAILED".
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys

import pefile

IMAGE_IDS = (121, 131)
PAST_END_ID = 121
ERROR_ACCESS_DENIED = 5
ERROR_HANDLE_EOF = 38
ERROR_BAD_EXE_FORMAT = 193
NOT_EXECUTABLE = "not a whole Windows executable: cut short, damaged, or another kind of file"
FOLDER = "a folder, not an executable"
PAST_END = "reach past the end of the file: not read"
CAPTURE = "capture.json"
PREVIOUS = b"the previous capture\n"
TIMEOUT_S = 120


def binary_entry(pe, resource_id):
    """The data entry of BINARY resource `resource_id`."""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.name is not None and str(kind.name) == "BINARY":
            for entry in kind.directory.entries:
                if entry.id == resource_id:
                    return entry.directory.entries[0].data
    raise LookupError(f"no BINARY {resource_id}")


def image_hashes(updater):
    pe = pefile.PE(updater)
    hashes = {}
    for resource_id in IMAGE_IDS:
        data = binary_entry(pe, resource_id).struct
        hashes[str(resource_id)] = hashlib.sha256(pe.get_data(data.OffsetToData, data.Size)).hexdigest()
    return hashes


# Each makes the file or folder `path` from the built updater.
def copy_whole(updater, path):
    shutil.copyfile(updater, path)


def size_past_end(updater, path):
    pe = pefile.PE(updater)
    binary_entry(pe, PAST_END_ID).struct.Size = 2 * os.path.getsize(updater)
    pe.write(path)


def cut_in_half(updater, path):
    with open(updater, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:len(data) // 2])


def text_file(_, path):
    with open(path, "w") as f:
        f.write("not a program at all\n")


def folder(_, path):
    os.mkdir(path)


# --exe: how the file is made, the note's call, error and the end of what it found; None: no note.
EXE_CASES = [
    ("whole", copy_whole, None),
    ("BINARY 121 past the end", size_past_end, ("SizeofResource", ERROR_HANDLE_EOF, PAST_END)),
    ("cut in half", cut_in_half, ("LoadLibraryExA", ERROR_BAD_EXE_FORMAT, NOT_EXECUTABLE)),
    ("a text file", text_file, ("LoadLibraryExA", ERROR_BAD_EXE_FORMAT, NOT_EXECUTABLE)),
    ("a folder", folder, ("GetFileAttributesExA", ERROR_ACCESS_DENIED, FOLDER)),
]

# --out: the name given, what is there first (None, "file", "folder"), the exit code, whether the
# capture replaced what was there.
OUT_CASES = [
    ("NUL", None, 2, False),
    ("nul.json", None, 2, False),
    ("COM1", None, 2, False),
    ("CONOUT$", None, 2, False),
    ("\\\\.\\NUL", None, 2, False),
    ("\\\\.\\pipe\\scanfw-capture", None, 2, False),
    (CAPTURE, None, 0, True),
    (CAPTURE, "file", 0, True),
    (CAPTURE, "folder", 2, False),
    ("missing\\" + CAPTURE, None, 1, False),
]


def run_probe(emulator, probe, work, args):
    run = subprocess.run(emulator + [probe] + args, cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=TIMEOUT_S)
    return run.returncode, run.stderr.decode(errors="replace")


def clear(work):
    for name in os.listdir(work):
        path = os.path.join(work, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)


def exe_problems(emulator, probe, updater, work, hashes):
    problems = []
    for name, make, expected in EXE_CASES:
        clear(work)
        make(updater, os.path.join(work, "scanfw.exe"))
        rc, err = run_probe(emulator, probe, work, ["--exe", "scanfw.exe", "--out", CAPTURE])
        if rc != 0:
            problems.append(f"--exe {name}: exit {rc}, expected 0: {err.strip()}")
            continue
        with open(os.path.join(work, CAPTURE)) as f:
            capture = json.load(f)
        notes = capture["probe"]["notes"]
        seen = capture["probe"]["exe"].get("resources", {})
        if expected is None:
            got = {key: seen.get(key, {}).get("sha256") for key in hashes}
            if notes or got != hashes or "resources" not in capture:
                problems.append(f"--exe {name}: notes {notes}, hashes {got}, expected none and {hashes}")
            continue
        call, error, found = expected
        if len(notes) != 1 or notes[0]["call"] != call or notes[0]["error"] != error or \
                not notes[0].get("found", "").endswith(found):
            problems.append(f"--exe {name}: notes {notes}, expected one from {call}, error {error}: ...{found}")
        if "resources" in capture:
            problems.append(f"--exe {name}: the capture describes images it could not read: {capture['resources']}")
        if make is size_past_end and (seen.get(str(PAST_END_ID), {}).get("pastEnd") is not True or
                                      seen.get("131", {}).get("sha256") != hashes["131"]):
            problems.append(f"--exe {name}: resources {seen}, expected 121 past the end and 131 hashed")
    return problems


def out_problems(emulator, probe, work):
    problems = []
    for name, there, code, replaced in OUT_CASES:
        clear(work)
        target = os.path.join(work, CAPTURE)
        if there == "file":
            with open(target, "wb") as f:
                f.write(PREVIOUS)
        elif there == "folder":
            os.mkdir(target)
        before = sorted(os.listdir(work))
        rc, err = run_probe(emulator, probe, work, ["--out", name])
        after = sorted(os.listdir(work))
        expected = sorted(set(before) | {CAPTURE}) if replaced else before
        if rc != code or after != expected or err.count("\n") != 1:
            problems.append(f"--out {name}: exit {rc}, folder {after}, stderr {err!r}; expected exit {code}, "
                            f"folder {expected}, one line")
            continue
        if replaced:
            with open(target, "rb") as f:
                text = f.read()
            if not text.startswith(b"{") or json.loads(text).get("probe", {}).get("program") != "scanfw-probe":
                problems.append(f"--out {name}: {target} holds {text[:40]!r}, not a capture")
        elif there == "file":
            with open(target, "rb") as f:
                if f.read() != PREVIOUS:
                    problems.append(f"--out {name}: the file that was there changed")
    return problems


def main(argv):
    sep = argv.index("--")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args(argv[:sep])
    emulator = argv[sep + 1:]
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    probe = os.path.abspath(args.probe)
    problems = exe_problems(emulator, probe, os.path.abspath(args.updater), work, image_hashes(args.updater))
    problems += out_problems(emulator, probe, work)
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Checks that an exe that is handed out keeps the exploit mitigations of a hardened Windows program.

usage: check_hardening.py EXE MAP COMPILE_COMMANDS --part=TARGET...

The parts are the project's CMake targets whose objects go into the exe (the exe's own target
and the libraries of its code, as cmake/hardening.cmake records them).

- EXE: ASLR (dynamic base with relocations, high-entropy VA), DEP (NX compatible),
  terminal-server aware, no section both writable and executable, and the stack protector's
  runtime linked in (its failure routine, and its guard seeded at start from CryptGenRandom).
- MAP: the linker's map with its cross-reference table: the objects of the parts call the
  stack protector.
- COMPILE_COMMANDS: every C++ source of the parts was compiled with the stack protector, at an
  optimisation level.
Which DLLs the exe loads is check_exe.py's to check. Prints one line per problem, then "ok" or
"FAILED".
"""
import argparse
import json
import re
import shlex
import sys

import pefile

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020
DLL_CHARACTERISTICS = {
    "HIGH_ENTROPY_VA": 0x0020,
    "DYNAMIC_BASE": 0x0040,
    "NX_COMPAT": 0x0100,
    "TERMINAL_SERVER_AWARE": 0x8000,
}
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
STACK_SMASHING_MESSAGE = b"*** stack smashing detected ***"
GUARD_SEED_IMPORT = (b"advapi32.dll", b"CryptGenRandom")
STACK_PROTECTOR_FLAG = "-fstack-protector-strong"


def object_dirs(parts):
    """Where CMake puts the objects of each target."""
    return tuple(f"/{part}.dir/" for part in parts)


def map_names(parts):
    """How the map names the objects of each target: in its folder, or as members of its library."""
    return object_dirs(parts) + tuple(f"lib{part}.a(" for part in parts)


def check_exe(path):
    pe = pefile.PE(path)
    problems = []
    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    for name, bit in DLL_CHARACTERISTICS.items():
        if not characteristics & bit:
            problems.append(f"DllCharacteristics {characteristics:#06x} lacks {name}")
    if pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED:
        problems.append("relocations stripped: the loader cannot move the image")
    if not pe.FILE_HEADER.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE:
        problems.append("not large-address aware: high-entropy VA has no effect")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocations.Size == 0:
        problems.append("no base relocation directory")
    for section in pe.sections:
        flags = section.Characteristics
        if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE:
            name = section.Name.rstrip(b"\0").decode(errors="replace")
            problems.append(f"section {name} is writable and executable ({flags:#010x})")

    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        imports[entry.dll.decode().lower()] = {i.name for i in entry.imports if i.name}
    dll, function = GUARD_SEED_IMPORT
    if function not in imports.get(dll.decode(), set()):
        problems.append("no stack protector guard seeding (CryptGenRandom not imported)")
    with open(path, "rb") as f:
        if STACK_SMASHING_MESSAGE not in f.read():
            problems.append("no stack protector failure routine")
    return problems


def callers_in_map(map_text, symbol):
    """The files that the cross-reference table lists for `symbol`: its definer first, then users."""
    lines = map_text.splitlines()
    try:
        start = lines.index("Cross Reference Table")
    except ValueError:
        return None
    files = []
    for i in range(start + 1, len(lines)):
        m = re.match(r"^(\S+)\s+(\S.*)$", lines[i])
        if m and m.group(1) == symbol:
            files.append(m.group(2).strip())
            for following in lines[i + 1:]:
                if not following.startswith(" ") or not following.strip():
                    break
                files.append(following.strip())
            break
    return files


def check_map(path, parts):
    with open(path, encoding="utf-8", errors="replace") as f:
        callers = callers_in_map(f.read(), "__stack_chk_fail")
    if callers is None:
        return ["the map has no cross-reference table (link with --cref)"]
    names = map_names(parts)
    if not any(name in c for c in callers[1:] for name in names):
        return [f"no object of {', '.join(parts)} calls the stack protector; callers: {callers[1:]}"]
    return []


def optimising(args):
    levels = [a for a in args if re.fullmatch(r"-O[0-9sgz]?|-Ofast", a)]
    return bool(levels) and levels[-1] not in ("-O0", "-Og")


def check_compile_commands(path, parts):
    with open(path) as f:
        commands = json.load(f)
    problems = []
    checked = 0
    for c in commands:
        args = c["arguments"] if "arguments" in c else shlex.split(c["command"])
        output = args[args.index("-o") + 1].replace("\\", "/") if "-o" in args else ""
        if not c["file"].endswith(".cpp") or not any(d in "/" + output for d in object_dirs(parts)):
            continue
        checked += 1
        if STACK_PROTECTOR_FLAG not in args:
            problems.append(f"{c['file']}: compiled without {STACK_PROTECTOR_FLAG}")
        if not optimising(args):
            problems.append(f"{c['file']}: compiled without optimisation")
    if checked == 0:
        problems.append(f"{path}: no source of {', '.join(parts)} listed")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("map")
    parser.add_argument("compile_commands")
    parser.add_argument("--part", action="append", required=True)
    args = parser.parse_args(argv)
    problems = (check_exe(args.exe) + check_map(args.map, args.part) +
                check_compile_commands(args.compile_commands, args.part))
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

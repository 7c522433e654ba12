#!/usr/bin/python3
"""Checks that scanfw.exe keeps the exploit mitigations of a hardened Windows program.

usage: check_hardening.py EXE MAP COMPILE_COMMANDS [TARGET,...] [LIBRARY] [DLL,...]

The last three name another exe's parts (the probe's): the CMake targets whose objects go into
it, the library that holds its own code, and the system DLLs it may import besides the usual.

- EXE: ASLR (dynamic base with relocations, high-entropy VA), DEP (NX compatible), no section
  both writable and executable, only system DLLs imported, and the stack protector's runtime
  linked in (its failure routine, and its guard seeded at start from CryptGenRandom).
- MAP: the linker's map with its cross-reference table: the updater's own objects, not only
  main(), call the stack protector.
- COMPILE_COMMANDS: every C++ source that goes into the exe (the objects of the scanfw and
  scanfw_core targets) was compiled with the stack protector and
  with fortified string functions at an optimisation level where they take effect. Every bounded
  print and copy in this code has a buffer size known at compile time, so the compiler checks
  them while compiling and no run-time check (__chk_fail) remains to be seen in the file itself.
"""
import json
import re
import shlex
import sys

import pefile

from check_exe import KNOWN_DLLS as SYSTEM_DLLS

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020
DLL_CHARACTERISTICS = {
    "HIGH_ENTROPY_VA": 0x0020,
    "DYNAMIC_BASE": 0x0040,
    "NX_COMPAT": 0x0100,
}
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
STACK_SMASHING_MESSAGE = b"*** stack smashing detected ***"
GUARD_SEED_IMPORT = (b"advapi32.dll", b"CryptGenRandom")
STACK_PROTECTOR_FLAG = "-fstack-protector-strong"
FORTIFY_FLAG = "-D_FORTIFY_SOURCE=2"
# The library that holds the updater's code, as the map names its members.
PRODUCT_LIBRARY = "libscanfw_core.a"
# Where CMake puts the objects of the targets that make up the exe.
EXE_OBJECT_DIRS = ("/scanfw.dir/", "/scanfw_core.dir/")


def check_exe(path, system_dlls=SYSTEM_DLLS):
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
    if not imports or not set(imports) <= system_dlls:
        problems.append(f"imports {sorted(imports)}, expected only {sorted(system_dlls)}")
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


def check_map(path, product_library=PRODUCT_LIBRARY):
    with open(path, encoding="utf-8", errors="replace") as f:
        callers = callers_in_map(f.read(), "__stack_chk_fail")
    if callers is None:
        return ["the map has no cross-reference table (link with --cref)"]
    product = [c for c in callers[1:] if product_library in c]
    if not product:
        return [f"no object of {product_library} calls the stack protector; callers: {callers[1:]}"]
    return []


def optimising(args):
    levels = [a for a in args if re.fullmatch(r"-O[0-9sgz]?|-Ofast", a)]
    return bool(levels) and levels[-1] not in ("-O0", "-Og")


def check_compile_commands(path, object_dirs=EXE_OBJECT_DIRS):
    with open(path) as f:
        commands = json.load(f)
    problems = []
    checked = 0
    for c in commands:
        args = c["arguments"] if "arguments" in c else shlex.split(c["command"])
        output = args[args.index("-o") + 1].replace("\\", "/") if "-o" in args else ""
        if not c["file"].endswith(".cpp") or not any(d in "/" + output for d in object_dirs):
            continue
        checked += 1
        for flag in (STACK_PROTECTOR_FLAG, FORTIFY_FLAG):
            if flag not in args:
                problems.append(f"{c['file']}: compiled without {flag}")
        if not optimising(args):
            problems.append(f"{c['file']}: compiled without optimisation, so fortified functions have no effect")
    if checked == 0:
        problems.append(f"{path}: no source of scanfw.exe listed")
    return problems


def main(exe, map_file, compile_commands, targets=None, library=PRODUCT_LIBRARY, dlls=""):
    object_dirs = EXE_OBJECT_DIRS if targets is None else tuple(f"/{t}.dir/" for t in targets.split(","))
    system_dlls = SYSTEM_DLLS | {d for d in dlls.split(",") if d}
    problems = (check_exe(exe, system_dlls) + check_map(map_file, library) +
                check_compile_commands(compile_commands, object_dirs))
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    if not 4 <= len(sys.argv) <= 7:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))

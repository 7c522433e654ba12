#!/usr/bin/python3
"""Checks that scanfw.exe (or scanfw-probe.exe) is a 64-bit x86-64 program that imports only
system DLLs, and that nothing of the build's time or place went into it.

usage: check_exe.py EXE [--no-path DIR]... [--allow-dll NAME]...

--allow-dll adds a system DLL that this exe may import besides the updater's own few (the probe
hashes with bcrypt.dll).

The same sources, images and toolchain must give the same bytes anywhere at any time: the PE
header carries no link time, and the file holds none of the given folders (the source and
build trees), in the 8-bit or the UTF-16 form that a compiler or windres would write.
"""
import sys

import pefile

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B


def check_reproducible(pe, path, folders):
    problems = []
    if pe.FILE_HEADER.TimeDateStamp != 0:
        problems.append(f"PE header time stamp {pe.FILE_HEADER.TimeDateStamp:#x}, expected 0 (link time left in)")
    with open(path, "rb") as f:
        data = f.read()
    for folder in folders:
        for form in (folder.encode(), folder.encode("utf-16-le")):
            at = data.find(form)
            if at >= 0:
                problems.append(f"build path {folder!r} at offset {at:#x}")
                break
    return problems


def main(path, folders, allowed=()):
    system_dlls = SYSTEM_DLLS | set(allowed)
    pe = pefile.PE(path)
    problems = []
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine {pe.FILE_HEADER.Machine:#x}, expected x86-64")
    if pe.OPTIONAL_HEADER.Magic != PE32_PLUS_MAGIC:
        problems.append(f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}, expected PE32+")
    imports = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if not imports or not imports <= system_dlls:
        problems.append(f"imports {sorted(imports)}, expected only {sorted(system_dlls)}")
    problems += check_reproducible(pe, path, folders)
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    if not args or len(args) % 2 != 1 or any(a not in ("--no-path", "--allow-dll") for a in args[1::2]):
        print(__doc__)
        sys.exit(2)
    pairs = list(zip(args[1::2], args[2::2]))
    sys.exit(main(args[0], [v for o, v in pairs if o == "--no-path"], [v for o, v in pairs if o == "--allow-dll"]))

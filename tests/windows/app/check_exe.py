#!/usr/bin/python3
"""Checks that an exe that is handed out is a 64-bit x86-64 program that loads only Windows'
KnownDLLs, and that nothing of the build's time or place went into it.

usage: check_exe.py EXE [--no-path DIR]... [--map MAP] [--no-import FUNCTION]...

Windows loads a KnownDLL from the system folder only; any other DLL that the import table or
the delay-load table names is searched for, the exe's own folder first, where a planted copy
would run with the user's rights. GNU ld links the delay-load descriptors of a dlltool library
without listing them in the header's delay-load table: --map (the exe's link map) shows them.

--no-import names a function that the exe must not import: one it never calls, which an exe
that links more of the project's code than it uses would carry all the same.

The same sources, images and toolchain must give the same bytes anywhere at any time: the PE
header carries no link time, and the file holds none of the given folders (the source and
build trees), in the 8-bit or the UTF-16 form that a compiler or windres would write.
Prints one line per problem, then "ok" or "FAILED".
"""
import argparse
import re
import sys

import pefile

# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of current Windows versions.
KNOWN_DLLS = {f"{name}.dll" for name in (
    "kernel32", "advapi32", "msvcrt", "user32", "gdi32", "shell32", "shlwapi", "ole32", "oleaut32", "sechost",
    "rpcrt4", "ws2_32", "setupapi", "comdlg32", "imm32", "psapi", "imagehlp", "normaliz", "nsi", "wldap32",
    "combase", "shcore", "msctf", "clbcatq", "coml2", "difxapi", "gdiplus")}
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
DELAY_DESCRIPTOR = re.compile(r"^\s+0x[0-9a-f]+\s+(__DELAY_IMPORT_DESCRIPTOR_\S+)$", re.MULTILINE)


def dll_names(pe, directory):
    return sorted({entry.dll.decode().lower() for entry in getattr(pe, directory, [])})


def check_imports(pe, map_path=None):
    """The DLLs that the exe loads at start or on first use, each a KnownDLL."""
    imports = dll_names(pe, "DIRECTORY_ENTRY_IMPORT")
    delayed = dll_names(pe, "DIRECTORY_ENTRY_DELAY_IMPORT")
    problems = []
    if "kernel32.dll" not in imports:
        problems.append(f"imports {imports}, not kernel32.dll")
    problems += [f"imports {dll}, not one of Windows' KnownDLLs" for dll in imports if dll not in KNOWN_DLLS]
    problems += [f"delay-loads {dll}, not one of Windows' KnownDLLs" for dll in delayed if dll not in KNOWN_DLLS]
    if map_path and not delayed:
        with open(map_path, encoding="utf-8", errors="replace") as f:
            hidden = sorted(set(DELAY_DESCRIPTOR.findall(f.read())))
        problems += [f"delay-loads through {name}, which the delay-load table does not list" for name in hidden]
    return problems


def check_unused_imports(pe, functions):
    """The functions of `functions` that the import table names, each a problem."""
    imported = {entry.name.decode() for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for entry in dll.imports
                if entry.name}
    return [f"imports {name}, which it never calls" for name in functions if name in imported]


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


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--no-path", action="append", default=[])
    parser.add_argument("--map")
    parser.add_argument("--no-import", action="append", default=[])
    args = parser.parse_args(argv)
    pe = pefile.PE(args.exe)
    problems = []
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine {pe.FILE_HEADER.Machine:#x}, expected x86-64")
    if pe.OPTIONAL_HEADER.Magic != PE32_PLUS_MAGIC:
        problems.append(f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}, expected PE32+")
    problems += check_imports(pe, args.map)
    problems += check_unused_imports(pe, args.no_import)
    problems += check_reproducible(pe, args.exe, args.no_path)
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

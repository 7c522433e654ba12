#!/usr/bin/python3
"""Checks that scanfw.exe is a 64-bit x86-64 program that imports only system DLLs.

usage: check_exe.py EXE
"""
import sys

import pefile

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B


def main(path):
    pe = pefile.PE(path)
    problems = []
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine {pe.FILE_HEADER.Machine:#x}, expected x86-64")
    if pe.OPTIONAL_HEADER.Magic != PE32_PLUS_MAGIC:
        problems.append(f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}, expected PE32+")
    imports = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if not imports or not imports <= SYSTEM_DLLS:
        problems.append(f"imports {sorted(imports)}, expected only {sorted(SYSTEM_DLLS)}")
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

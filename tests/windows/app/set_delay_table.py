#!/usr/bin/python3
"""Writes OUT: EXE with its delay-load table in the header, as a linker that delay-loads writes it.

usage: set_delay_table.py EXE MAP OUT

GNU ld links the delay-load descriptor of a dlltool library (the symbol
__DELAY_IMPORT_DESCRIPTOR_*, which MAP shows) but leaves the header's delay-load directory
empty; the import check must read the table where other linkers put it too.
"""
import sys

import pefile

from check_exe import DELAY_DESCRIPTOR

DELAY_IMPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]
DESCRIPTOR_SIZE = 32


def main(exe, map_path, out):
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    at = DELAY_DESCRIPTOR.search(text)
    if not at:
        raise SystemExit(f"{map_path}: no delay-load descriptor")
    address = int(text[at.start():at.end()].split()[0], 16)
    pe = pefile.PE(exe)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DELAY_IMPORT]
    directory.VirtualAddress = address - pe.OPTIONAL_HEADER.ImageBase
    directory.Size = DESCRIPTOR_SIZE
    pe.write(out)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))

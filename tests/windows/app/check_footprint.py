#!/usr/bin/env python3
"""What a shipped exe carries besides its own code.

usage: check_footprint.py EXE MAP [--max-beyond-images BYTES]

Fails when the link map names an object of MinGW-w64's threading library (winpthreads, the archive
libpthread.a or libwinpthread.a): the programs start no thread of their own, and their C++ runtime
takes its locks from kernel32. Prints the exe's size beyond its BINARY resources (the firmware
images) and, with --max-beyond-images, fails when that is larger than BYTES.
"""
import re
import sys

import pefile

THREADING_MEMBER = re.compile(r"\S*lib(win)?pthread\.a\([^)]*\)")


def binary_resource_bytes(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return 0
    return sum(language.data.struct.Size
               for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.name is not None and str(kind.name) == "BINARY"
               for item in kind.directory.entries
               for language in item.directory.entries)


def main(args):
    if len(args) not in (2, 4) or (len(args) == 4 and args[2] != "--max-beyond-images"):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    exe, link_map = args[0], args[1]
    problems = []
    with open(link_map, encoding="utf-8", errors="replace") as f:
        threading = sorted({m.group(0) for line in f for m in THREADING_MEMBER.finditer(line)})
    for member in threading:
        problems.append("links the threading library: " + member)
    with open(exe, "rb") as f:
        size = len(f.read())
    beyond = size - binary_resource_bytes(exe)
    print(f"{exe}: {size} bytes, {beyond} beyond its firmware images")
    if len(args) == 4 and beyond > int(args[3]):
        problems.append(f"{beyond} bytes beyond the images, more than {args[3]}")
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

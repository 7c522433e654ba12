#!/usr/bin/python3
"""Checks a package that a release hands out against the files the build made for it.

usage: check_package.py ZIP PACKAGE_DIR MEMBER...

ZIP holds exactly the MEMBERs at its top, one of them SHA256SUMS; each is byte for byte the
file of that name in PACKAGE_DIR (where the build put the signed exes); SHA256SUMS names every
other member with its true SHA-256, in the format `sha256sum -c` reads; ZIP.sha256, which CPack
writes for the release record, holds the zip's own SHA-256. Prints one line per problem, then
"ok" or "FAILED".
"""
import hashlib
import os
import re
import sys
import zipfile

SUMS = "SHA256SUMS"
SUM_LINE = re.compile(r"^([0-9a-f]{64})  (\S+)$")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def check_sums(text, members, expected, problems):
    listed = {}
    if not text.endswith("\n"):
        problems.append(f"{SUMS} does not end with a line feed")
    for number, line in enumerate(text.rstrip("\n").split("\n"), 1):
        m = SUM_LINE.match(line)
        if not m:
            problems.append(f"{SUMS} line {number}: {line!r} is not 'SHA-256  NAME'")
            continue
        listed[m.group(2)] = m.group(1)
    if set(listed) != expected:
        problems.append(f"{SUMS} names {sorted(listed)}, expected {sorted(expected)}")
    for name, digest in listed.items():
        if name in members and sha256(members[name]) != digest:
            problems.append(f"{SUMS}: {name} is {sha256(members[name])}, the file says {digest}")


def main(zip_path, package_dir, *expected):
    problems = []
    with zipfile.ZipFile(zip_path) as z:
        names = z.namelist()
        members = {name: z.read(name) for name in names}
    if sorted(names) != sorted(expected) or SUMS not in expected:
        problems.append(f"{zip_path} holds {sorted(names)}, expected {sorted(expected)} with {SUMS}")
    for name, data in members.items():
        built = os.path.join(package_dir, name)
        if not os.path.isfile(built):
            continue
        with open(built, "rb") as f:
            if f.read() != data:
                problems.append(f"{name} in the zip is not {built}")
    if SUMS in members:
        check_sums(members[SUMS].decode(errors="replace"), members, set(expected) - {SUMS}, problems)
    with open(zip_path, "rb") as f:
        digest = sha256(f.read())
    record = zip_path + ".sha256"
    if not os.path.isfile(record):
        problems.append(f"no {record}")
    else:
        with open(record) as f:
            if f.read().split()[:1] != [digest]:
                problems.append(f"{record} does not hold the zip's SHA-256 {digest}")
    print(f"{zip_path}: {os.path.getsize(zip_path)} bytes, SHA-256 {digest}")
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) < 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))

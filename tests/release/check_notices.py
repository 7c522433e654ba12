#!/usr/bin/python3
"""Checks THIRD-PARTY-NOTICES.txt of a package against the link maps of its exes.

usage: check_notices.py NOTICES EXE=MAP...

Every file from outside the build that a MAP shows linked into its EXE (an archive that gave
members, an object file loaded whole) is a part: the notices name exactly these parts, each in
a block of its own that says which exes it is in, its licence, and which of the licence texts
below apply; each of those texts is there and not empty. A part of GCC's runtime (under
/usr/lib/gcc/) says that it is under the GCC Runtime Library Exception, and one of its texts is
the exception. Prints one line per problem, then "ok" or "FAILED".
"""
import os
import re
import sys

ARCHIVE_MEMBER = re.compile(r"^(/\S+\.a)\(", re.MULTILINE)
LOADED_OBJECT = re.compile(r"^LOAD (/\S+\.o)$", re.MULTILINE)
GCC_RUNTIME = "/usr/lib/gcc/"
EXCEPTION = "GCC Runtime Library Exception"
EXCEPTION_TEXT = "GCC RUNTIME LIBRARY EXCEPTION"
PART_FIELDS = ("in", "package", "licence", "texts")
TEXT_HEADING = re.compile(r"^\[(\d+)\] (.+)$", re.MULTILINE)


def parts_in_map(path):
    """{file name: real path} of the toolchain's files that the map shows linked: not those of
    the build, in the map's folder."""
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    build = os.path.realpath(os.path.dirname(os.path.abspath(path))) + os.sep
    files = [os.path.realpath(p) for p in ARCHIVE_MEMBER.findall(text) + LOADED_OBJECT.findall(text)]
    return {os.path.basename(p): p for p in files if not p.startswith(build)}


def sections(text):
    """The notices' part blocks ({name: {field: value}}) and licence texts ({number: text})."""
    head, _, texts = text.partition("\nLICENCE TEXTS\n")
    blocks = {}
    for block in re.split(r"\n\s*\n", head):
        lines = block.strip("\n").split("\n")
        fields = dict(re.match(r"^  (\w+):\s+(.*)$", line).groups() for line in lines[1:]
                      if re.match(r"^  (\w+):\s+(.*)$", line))
        if set(PART_FIELDS) <= set(fields):
            blocks[lines[0]] = fields
    headings = list(TEXT_HEADING.finditer(texts))
    bodies = {}
    for i, m in enumerate(headings):
        end = headings[i + 1].start() if i + 1 < len(headings) else len(texts)
        bodies[int(m.group(1))] = texts[m.end():end].strip()
    return blocks, bodies


def main(notices, *maps):
    with open(notices, encoding="utf-8") as f:
        blocks, bodies = sections(f.read().replace("\r\n", "\n"))
    linked = {}
    for exe_map in maps:
        exe, _, path = exe_map.partition("=")
        for name, real in parts_in_map(path).items():
            linked.setdefault(name, (real, []))[1].append(exe)
    problems = []
    for name in sorted(set(blocks) - set(linked)):
        problems.append(f"{name}: in the notices, but in no link map")
    for name, (real, exes) in sorted(linked.items()):
        block = blocks.get(name)
        if block is None:
            problems.append(f"{name} ({real}): linked into {', '.join(exes)}, not in the notices")
            continue
        named = set(block["in"].split(", "))
        if named != set(exes):
            problems.append(f"{name}: in {sorted(named)} by the notices, in {sorted(exes)} by the maps")
        refs = [int(n) for n in re.findall(r"\[(\d+)\]", block["texts"])]
        if not refs or any(not bodies.get(n) for n in refs):
            problems.append(f"{name}: texts {block['texts']!r}, not all of them in the notices")
        if real.startswith(GCC_RUNTIME):
            if EXCEPTION not in block["licence"]:
                problems.append(f"{name}: part of GCC's runtime, its licence {block['licence']!r} not named as "
                                f"under the {EXCEPTION}")
            if not any(EXCEPTION_TEXT in bodies.get(n, "") for n in refs):
                problems.append(f"{name}: none of its texts is the {EXCEPTION}")
    print(f"{notices}: {len(blocks)} parts, {len(bodies)} licence texts")
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))

#!/usr/bin/python3
"""Checks the built scanfw.exe as a file: its resources, manifest, version, imports and flags.

usage: check_resources.py EXE IMAGE121 IMAGE131 --kind stand-in|release [--max-overhead BYTES]

IMAGE121 and IMAGE131 are the files the build embedded; the resources must hold exactly their
bytes, the version resource's Comments must name the SHA-256 of each, and so must the message
table that the updater checks each image against: message ID, in US English, exactly the 64
lower-case hex digits of image ID's SHA-256 before the "%0" that ends it without a line end. --kind says what the
version resource must tell of the build: a stand-in build (generated images) carries
VS_FF_SPECIALBUILD, a SpecialBuild string and a FileDescription that say so; a release carries
none of them. With --max-overhead the file may be at most that many bytes larger than the two
images together, and must carry no debug sections. Prints one line per problem, then "ok" or
"FAILED".
"""
import hashlib
import os
import struct
import sys
import xml.etree.ElementTree as ET

import pefile

# The import check of every exe that is handed out.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app"))
from check_exe import check_imports  # noqa: E402

BINARY = "BINARY"
IMAGE_LANGUAGE = 0x0404
NEUTRAL_LANGUAGE = 0
MANIFEST_ID = 1  # CREATEPROCESS_MANIFEST_RESOURCE_ID
MESSAGE_TABLE_ID = 1
DIGEST_LANGUAGE = 0x0409
MESSAGE_END = "%0"
UNICODE_ENTRY = 0x0001  # MESSAGE_RESOURCE_ENTRY.Flags: the text is UTF-16
VERSION_ID = 1  # VS_VERSION_INFO
VERSION = (0, 0, 57, 0)
VERSION_TEXT = "0.0.57.0"
REQUIRED_DLL_CHARACTERISTICS = {
    "HIGH_ENTROPY_VA": 0x0020,
    "DYNAMIC_BASE": 0x0040,
    "NX_COMPAT": 0x0100,
}
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
RT_NAMES = {v: k for k, v in pefile.RESOURCE_TYPE.items()}
VS_FF_SPECIALBUILD = 0x20
STAND_IN_DESCRIPTION_SUFFIX = " (stand-in firmware, not for release)"
STAND_IN_SPECIAL_BUILD = "stand-in firmware images, not for release"
KINDS = ("stand-in", "release")


def resource_table(pe):
    """{(type, id, language): bytes} for every resource in the file."""
    table = {}
    for rtype in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
        tname = str(rtype.name) if rtype.name is not None else RT_NAMES.get(rtype.id, rtype.id)
        for name in rtype.directory.entries:
            rid = str(name.name) if name.name is not None else name.id
            for lang in name.directory.entries:
                entry = lang.data.struct
                table[(tname, rid, lang.id)] = pe.get_data(entry.OffsetToData, entry.Size)
    return table


def check_resources(table, images, problems):
    expected = {(BINARY, rid, IMAGE_LANGUAGE) for rid in images}
    expected |= {("RT_MANIFEST", MANIFEST_ID, NEUTRAL_LANGUAGE), ("RT_VERSION", VERSION_ID, NEUTRAL_LANGUAGE),
                 ("RT_MESSAGETABLE", MESSAGE_TABLE_ID, DIGEST_LANGUAGE)}
    for key in sorted(set(table) - expected, key=str):
        problems.append(f"unexpected resource {key[0]}/{key[1]} language {key[2]:#06x}")
    for rid, path in images.items():
        data = table.get((BINARY, rid, IMAGE_LANGUAGE))
        with open(path, "rb") as f:
            want = f.read()
        if data is None:
            problems.append(f"resource {BINARY}/{rid}: missing under language {IMAGE_LANGUAGE:#06x}")
        elif len(data) != len(want):
            problems.append(f"resource {BINARY}/{rid}: {len(data)} bytes, {path} has {len(want)}")
        elif data != want:
            first = next(i for i, (a, b) in enumerate(zip(data, want)) if a != b)
            problems.append(f"resource {BINARY}/{rid}: differs from {path} at byte {first}")


def message_texts(data):
    """{id: text} of a message table resource (MESSAGE_RESOURCE_DATA: blocks of id ranges, each
    entry a 16-bit length and flags, then its text)."""
    texts = {}
    (blocks,) = struct.unpack_from("<I", data, 0)
    for b in range(blocks):
        low, high, at = struct.unpack_from("<III", data, 4 + 12 * b)
        for message in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, at)
            raw = data[at + 4:at + length]
            texts[message] = (raw.decode("utf-16-le") if flags & UNICODE_ENTRY else raw.decode("latin-1")).rstrip("\0")
            at += length
    return texts


def check_digests(table, images, problems):
    data = table.get(("RT_MESSAGETABLE", MESSAGE_TABLE_ID, DIGEST_LANGUAGE))
    if data is None:
        problems.append(f"message table: missing under language {DIGEST_LANGUAGE:#06x}")
        return
    try:
        texts = message_texts(data)
    except (struct.error, UnicodeDecodeError) as e:
        problems.append(f"message table: unreadable ({e})")
        return
    for rid, path in images.items():
        with open(path, "rb") as f:
            want = hashlib.sha256(f.read()).hexdigest() + MESSAGE_END
        text = texts.get(rid)
        if text is None or text.rstrip("\r\n") != want:
            problems.append(f"message table: message {rid} is {text!r}, not the digest of {path} ({want!r})")


def local_name(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(table, problems):
    text = table.get(("RT_MANIFEST", MANIFEST_ID, NEUTRAL_LANGUAGE))
    if text is None:
        problems.append("manifest: missing")
        return
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        problems.append(f"manifest: not XML ({e})")
        return
    levels = [e.get("level") for e in root.iter() if local_name(e.tag) == "requestedExecutionLevel"]
    if levels != ["asInvoker"]:
        problems.append(f"manifest: requested execution levels {levels}, expected ['asInvoker']")
    dpi = [(e.text or "").strip() for e in root.iter() if local_name(e.tag) == "dpiAware"]
    if dpi != ["true"]:
        problems.append(f"manifest: dpiAware {dpi}, expected ['true']")


def split_version(ms, ls):
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def check_version(pe, images, kind, problems):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [])
    if len(fixed) != 1:
        problems.append(f"version: {len(fixed)} fixed file info blocks, expected 1")
        return
    fi = fixed[0]
    for what, ms, ls in (("file", fi.FileVersionMS, fi.FileVersionLS),
                         ("product", fi.ProductVersionMS, fi.ProductVersionLS)):
        if split_version(ms, ls) != VERSION:
            problems.append(f"version: {what} version {split_version(ms, ls)}, expected {VERSION}")
    strings = version_strings(pe)
    for key in ("FileVersion", "ProductVersion"):
        if strings.get(key) != VERSION_TEXT:
            problems.append(f"version: {key} text {strings.get(key)!r}, expected {VERSION_TEXT!r}")
    if not strings.get("ProductName"):
        problems.append("version: no ProductName")
    check_build_kind(fi, strings, kind, problems)
    comments = strings.get("Comments", "")
    for rid, path in images.items():
        with open(path, "rb") as f:
            want = f"BINARY {rid} SHA-256 {hashlib.sha256(f.read()).hexdigest()}"
        if want not in comments:
            problems.append(f"version: Comments {comments!r} does not name {want!r}")


def check_build_kind(fixed, strings, kind, problems):
    """What Explorer's Properties and inventory tools show: is this a stand-in build?"""
    flagged = bool(fixed.FileFlags & fixed.FileFlagsMask & VS_FF_SPECIALBUILD)
    description = strings.get("FileDescription", "")
    special = strings.get("SpecialBuild")
    if kind == "stand-in":
        if not flagged:
            problems.append(f"version: FILEFLAGS {fixed.FileFlags:#x} (mask {fixed.FileFlagsMask:#x}) "
                            "lacks VS_FF_SPECIALBUILD")
        if special != STAND_IN_SPECIAL_BUILD:
            problems.append(f"version: SpecialBuild {special!r}, expected {STAND_IN_SPECIAL_BUILD!r}")
        if not description.endswith(STAND_IN_DESCRIPTION_SUFFIX):
            problems.append(f"version: FileDescription {description!r} does not end with "
                            f"{STAND_IN_DESCRIPTION_SUFFIX!r}")
    else:
        if fixed.FileFlags & VS_FF_SPECIALBUILD:
            problems.append(f"version: FILEFLAGS {fixed.FileFlags:#x} has VS_FF_SPECIALBUILD")
        if special is not None:
            problems.append(f"version: SpecialBuild {special!r} in a release")
        if "stand-in" in description or not description:
            problems.append(f"version: FileDescription {description!r} in a release")


def check_imports_and_flags(pe, problems):
    problems += check_imports(pe)
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name, bit in REQUIRED_DLL_CHARACTERISTICS.items():
        if not flags & bit:
            problems.append(f"DllCharacteristics {flags:#06x} lacks {name}")
    # Without relocations the loader cannot move the image, whatever DYNAMIC_BASE says.
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED or reloc.Size == 0:
        problems.append("no base relocations: the image cannot be placed at a random address")


def check_size(pe, path, images, max_overhead, problems):
    debug = [s.Name.rstrip(b"\0").decode() for s in pe.sections if s.Name.startswith(b".debug")]
    if debug:
        problems.append(f"debug sections present: {debug}")
    size = os.path.getsize(path)
    image_bytes = sum(os.path.getsize(image) for image in images.values())
    print(f"{path}: {size} bytes = images {image_bytes} + {size - image_bytes}")
    if size - image_bytes > max_overhead:
        problems.append(f"{size - image_bytes} bytes beyond the images, at most {max_overhead} allowed")


def take_option(argv, name):
    if name not in argv:
        return None
    i = argv.index(name)
    value = argv[i + 1]
    del argv[i:i + 2]
    return value


def main(argv):
    max_overhead = take_option(argv, "--max-overhead")
    kind = take_option(argv, "--kind")
    if kind not in KINDS or len(argv) != 3:
        print(__doc__)
        return 2
    exe, image121, image131 = argv
    images = {121: image121, 131: image131}
    pe = pefile.PE(exe)
    problems = []
    table = resource_table(pe)
    check_resources(table, images, problems)
    check_digests(table, images, problems)
    check_manifest(table, problems)
    check_version(pe, images, kind, problems)
    check_imports_and_flags(pe, problems)
    if max_overhead is not None:
        check_size(pe, exe, images, int(max_overhead), problems)
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

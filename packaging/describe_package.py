#!/usr/bin/python3
"""Writes THIRD-PARTY-NOTICES.txt and sbom.spdx.json of a release package.

usage: describe_package.py --name NAME --version VERSION --zip FILE --dir DIR
                           --exe EXE=MAP... [--image EXE:ID=FILE]... [--tool PROGRAM]...
                           [--document FILE]...

DIR is the package's folder, which holds every EXE and --document already. The notices name
every part of the toolchain that each exe's link MAP shows linked, with the Debian package it
came from and its licence text (see third_party.py). The SPDX 2.3 bill of materials lists each
file of the package but itself and SHA256SUMS (which sums it) with its SHA-1 and SHA-256, the
firmware images that an exe carries (BINARY resource ID, from FILE), the toolchain packages that
went into each exe or built it (--tool: the compiler, linker, resource compiler) with their
versions as dpkg-query reports them, and the licences. Its time is SOURCE_DATE_EPOCH when set.
"""
import argparse
import hashlib
import json
import os
import shutil
import sys
import time
import uuid

import third_party

NOTICES = "THIRD-PARTY-NOTICES.txt"
SBOM = "sbom.spdx.json"
NOTICES_LINE = "=" * 78
NAMESPACE = "https://spdx.org/spdxdocs/"
NOASSERTION = "NOASSERTION"
DEBIAN = "Organization: Debian"


def digest(path, algorithm):
    h = hashlib.new(algorithm)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def spdx_id(kind, name):
    return f"SPDXRef-{kind}-" + "".join(c if c.isalnum() or c in ".-" else "-" for c in name)


def spdx_and(expressions):
    """One SPDX expression of all of them, each once."""
    distinct = list(dict.fromkeys(expressions))
    if len(distinct) == 1:
        return distinct[0]
    return " AND ".join(f"({x})" if " " in x else x for x in distinct)


def licence_texts(parts):
    """Every distinct licence text of the parts, in the order first named."""
    texts = {}
    for part in parts:
        for licence in part.licences:
            texts.setdefault(licence.text, licence)
    return list(texts.values())


def write_notices(path, args, parts):
    texts = licence_texts(parts)
    number = {licence.text: i for i, licence in enumerate(texts, 1)}
    full_text = len(texts) + 1
    exes = ", ".join(exe for exe, _ in args.exe)
    out = [f"Third-party notices: {args.name} {args.version} ({args.zip})", "",
           f"{exes} {'is' if len(args.exe) == 1 else 'are'} linked statically with the parts of the toolchain",
           "listed below: MinGW-w64's C runtime, start-up code and import libraries, and GCC's runtime",
           "libraries. Each part names the Debian package it was built from and its licences; the texts",
           "follow, as the packages' copyright files give them. Parts under the GCC Runtime Library",
           "Exception say so: the exception, which lets them be combined with a program under any terms,",
           f"is in their licence text, and [{full_text}] is the GNU General Public License that it amends.", "",
           NOTICES_LINE, "PARTS", NOTICES_LINE]
    for part in sorted(parts, key=lambda p: p.name):
        expressions = spdx_and(l.spdx for l in part.licences)
        refs = [number[licence.text] for licence in part.licences]
        if part.runtime_exception:
            expressions += ", under the GCC Runtime Library Exception"
            refs.append(full_text)
        out += ["", part.name, f"  in:       {', '.join(part.exes)}",
                f"  package:  {part.package} {part.version} ({len(part.members)} of its objects)",
                f"  licence:  {expressions}", f"  texts:    {' '.join(f'[{n}]' for n in refs)}"]
    out += ["", NOTICES_LINE, "LICENCE TEXTS", NOTICES_LINE]
    for licence in texts:
        out += ["", f"[{number[licence.text]}] {licence.label}", "", licence.text.rstrip(), ""]
    if any(part.runtime_exception for part in parts):
        out += ["", f"[{full_text}] GNU General Public License, version 3 "
                    f"({third_party.COMMON_LICENSES}/{third_party.GCC_FULL_TEXT})",
                "", third_party.full_text(third_party.GCC_FULL_TEXT).rstrip(), ""]
    # CRLF, so that Notepad shows the lines.
    with open(path, "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(out) + "\n")


def file_entry(path):
    name = os.path.basename(path)
    exe = name.lower().endswith(".exe")
    return {"SPDXID": spdx_id("File", name), "fileName": f"./{name}",
            "checksums": [{"algorithm": "SHA1", "checksumValue": digest(path, "sha1")},
                          {"algorithm": "SHA256", "checksumValue": digest(path, "sha256")}],
            "fileTypes": ["BINARY", "APPLICATION"] if exe else ["TEXT", "DOCUMENTATION"],
            "licenseConcluded": NOASSERTION, "copyrightText": NOASSERTION}


def tool_packages(tools):
    """{Debian package: [program]} of the build tools."""
    paths = {os.path.realpath(shutil.which(t) or t): os.path.basename(t) for t in tools}
    packages = {}
    for path, package in third_party.owners(sorted(paths)).items():
        packages.setdefault(package, []).append(paths[path])
    return packages


def toolchain_entries(parts, tools):
    """SPDX packages of the toolchain's Debian packages, their relationships and licence refs."""
    by_package = {}
    for part in parts:
        by_package.setdefault(part.package, []).append(part)
    built_by = tool_packages(tools)
    versions = third_party.package_versions(set(by_package) | set(built_by))
    packages, relationships, refs = [], [], {}
    for package in sorted(versions):
        version, arch = versions[package]
        ident = spdx_id("Package-deb", package)
        linked = sorted(by_package.get(package, []), key=lambda p: p.name)
        licences = list(dict.fromkeys(l.spdx for part in linked for l in part.licences))
        for part in linked:
            for licence in part.licences:
                refs.update(licence.refs)
        concluded = spdx_and(licences) or NOASSERTION
        said = [f"linked: {part.name} ({len(part.members)} objects) into {', '.join(part.exes)}" for part in linked]
        if package in built_by:
            said.append(f"built the exes: {', '.join(built_by[package])}")
        packages.append({
            "SPDXID": ident, "name": package, "versionInfo": version, "supplier": DEBIAN,
            "downloadLocation": NOASSERTION, "filesAnalyzed": False,
            "licenseConcluded": concluded, "licenseDeclared": concluded if linked else NOASSERTION,
            "copyrightText": NOASSERTION, "primaryPackagePurpose": "LIBRARY" if linked else "APPLICATION",
            "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                              "referenceLocator": f"pkg:deb/debian/{package.replace('+', '%2B')}@"
                                                  f"{version.replace('+', '%2B')}?arch={arch}"}],
            "comment": "; ".join(said)})
        for part in linked:
            for exe in part.exes:
                relationships.append((spdx_id("File", exe), "STATIC_LINK", ident))
        if package in built_by:
            relationships += [(ident, "BUILD_TOOL_OF", spdx_id("File", exe)) for exe in sorted({e for p in parts
                                                                                                  for e in p.exes})]
    return packages, list(dict.fromkeys(relationships)), refs


def image_entries(images):
    packages, relationships = [], []
    for exe, resource, path in images:
        ident = spdx_id("Firmware", f"{exe}-{resource}")
        packages.append({
            "SPDXID": ident, "name": f"firmware image {resource}", "packageFileName": os.path.basename(path),
            "downloadLocation": NOASSERTION, "filesAnalyzed": False, "primaryPackagePurpose": "FIRMWARE",
            "checksums": [{"algorithm": "SHA1", "checksumValue": digest(path, "sha1")},
                          {"algorithm": "SHA256", "checksumValue": digest(path, "sha256")}],
            "licenseConcluded": NOASSERTION, "licenseDeclared": NOASSERTION, "copyrightText": NOASSERTION,
            "comment": f"carried inside {exe} as its BINARY resource {resource}, byte for byte"})
        relationships.append((spdx_id("File", exe), "CONTAINS", ident))
    return packages, relationships


def write_sbom(path, args, parts, members):
    files = [file_entry(m) for m in members]
    product = spdx_id("Package", args.name)
    tool_pkgs, tool_rels, refs = toolchain_entries(parts, args.tool)
    image_pkgs, image_rels = image_entries(args.image)
    identity = hashlib.sha256("".join(f["checksums"][1]["checksumValue"] for f in files).encode()).hexdigest()
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": os.path.splitext(args.zip)[0],
        # Unique to these contents, and the same for the same contents.
        "documentNamespace": f"{NAMESPACE}{os.path.splitext(args.zip)[0]}-{uuid.uuid5(uuid.NAMESPACE_URL, identity)}",
        "creationInfo": {"created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
                         "creators": [f"Organization: {args.name}", f"Tool: describe_package.py-{args.version}"]},
        "packages": [{
            "SPDXID": product, "name": args.name, "versionInfo": args.version, "packageFileName": args.zip,
            "downloadLocation": NOASSERTION, "filesAnalyzed": False, "primaryPackagePurpose": "APPLICATION",
            "licenseConcluded": NOASSERTION, "licenseDeclared": NOASSERTION, "copyrightText": NOASSERTION,
            "comment": f"{SBOM} and SHA256SUMS, which sums every other member, are its other files"}]
        + image_pkgs + tool_pkgs,
        "files": files,
        "hasExtractedLicensingInfos": [{"licenseId": ref, "extractedText": text, "name": ref[len("LicenseRef-"):]}
                                       for ref, text in sorted(refs.items())],
        "relationships": [{"spdxElementId": a, "relationshipType": kind, "relatedSpdxElement": b} for a, kind, b in
                          [("SPDXRef-DOCUMENT", "DESCRIBES", product)] + [(product, "CONTAINS", f["SPDXID"])
                                                                          for f in files] + image_rels + tool_rels],
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=1, ensure_ascii=False)
        f.write("\n")


def pair(text, separator):
    left, sep, right = text.partition(separator)
    if not sep or not left or not right:
        raise argparse.ArgumentTypeError(f"{text!r}: expected LEFT{separator}RIGHT")
    return left, right


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--zip", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--exe", action="append", required=True, type=lambda t: pair(t, "="))
    parser.add_argument("--image", action="append", default=[],
                        type=lambda t: (pair(t, ":")[0],) + pair(pair(t, ":")[1], "="))
    parser.add_argument("--tool", action="append", default=[])
    parser.add_argument("--document", action="append", default=[])
    args = parser.parse_args(argv)
    parts = list(third_party.describe(args.exe).values())
    notices = os.path.join(args.dir, NOTICES)
    write_notices(notices, args, parts)
    members = [os.path.join(args.dir, exe) for exe, _ in args.exe] + \
              [os.path.join(args.dir, os.path.basename(d)) for d in args.document] + [notices]
    write_sbom(os.path.join(args.dir, SBOM), args, parts, members)
    print(f"-- {args.zip}: {NOTICES} names {len(parts)} toolchain parts of "
          f"{len({p.package for p in parts})} packages; {SBOM} lists {len(members)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

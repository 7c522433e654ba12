#!/usr/bin/python3
"""Checks sbom.spdx.json of a package against the zip and SPDX's JSON schema.

usage: check_sbom.py ZIP SCHEMA [--image EXE:ID=FILE]...

The zip's sbom.spdx.json must be valid against SCHEMA (SPDX's published JSON schema of version
2.3) and be an SPDX 2.3 document whose files are exactly the other members but SHA256SUMS (which
sums the document), each with its true SHA-1 and SHA-256; whose relationships name elements of
the document; whose every LicenseRef has its text. Each --image is a firmware image that EXE
carries as BINARY resource ID: a package with FILE's SHA-256 that EXE's file contains. Each exe
of the zip statically links Debian packages, and every Debian package is there with the version
that dpkg-query reports. Prints one line per problem, then "ok" or "FAILED".
"""
import argparse
import hashlib
import json
import re
import subprocess
import sys
import zipfile

import jsonschema

SBOM = "sbom.spdx.json"
SUMS = "SHA256SUMS"
DEBIAN = "Organization: Debian"
LICENSE_REF = re.compile(r"LicenseRef-[A-Za-z0-9.-]+")
ALGORITHMS = {"SHA1": hashlib.sha1, "SHA256": hashlib.sha256}


def checksum(entry, algorithm):
    return next((c["checksumValue"] for c in entry.get("checksums", []) if c["algorithm"] == algorithm), None)


def check_files(doc, members, problems):
    files = {f["fileName"]: f for f in doc.get("files", [])}
    expected = {f"./{name}" for name in members} - {f"./{SBOM}", f"./{SUMS}"}
    if set(files) != expected:
        problems.append(f"files {sorted(files)}, expected {sorted(expected)}")
    for name, entry in files.items():
        data = members.get(name[2:])
        for algorithm, function in ALGORITHMS.items():
            if data is not None and checksum(entry, algorithm) != function(data).hexdigest():
                problems.append(f"{name}: {algorithm} {checksum(entry, algorithm)}, the member's is "
                                f"{function(data).hexdigest()}")


def check_references(doc, problems):
    elements = [doc["SPDXID"]] + [e["SPDXID"] for kind in ("packages", "files") for e in doc.get(kind, [])]
    if len(elements) != len(set(elements)):
        problems.append("an SPDXID is used twice")
    for r in doc.get("relationships", []):
        for end in (r["spdxElementId"], r["relatedSpdxElement"]):
            if end not in elements:
                problems.append(f"relationship {r['relationshipType']} names {end}, not in the document")
    used = set(LICENSE_REF.findall(json.dumps([doc.get("packages", []), doc.get("files", [])])))
    given = {i["licenseId"]: i["extractedText"] for i in doc.get("hasExtractedLicensingInfos", [])}
    for ref in sorted(used):
        if not given.get(ref, "").strip():
            problems.append(f"{ref} is used without its text")


def related(doc, kind, source):
    return {r["relatedSpdxElement"] for r in doc.get("relationships", [])
            if r["relationshipType"] == kind and r["spdxElementId"] == source}


def check_contents(doc, members, images, problems):
    packages = {p["SPDXID"]: p for p in doc.get("packages", [])}
    files = {f["fileName"][2:]: f["SPDXID"] for f in doc.get("files", [])}
    for exe, resource, path in images:
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        held = [packages[i] for i in related(doc, "CONTAINS", files.get(exe)) if i in packages]
        if not any(checksum(p, "SHA256") == digest for p in held):
            problems.append(f"{exe}: contains no package with the SHA-256 of image {resource} ({path})")
    debian = {p["name"]: p.get("versionInfo") for p in packages.values() if p.get("supplier") == DEBIAN}
    for exe in (m for m in members if m.endswith(".exe")):
        if not any(packages.get(i, {}).get("supplier") == DEBIAN for i in related(doc, "STATIC_LINK", files.get(exe))):
            problems.append(f"{exe}: links statically no Debian package")
    if debian:
        query = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Version}\n", *sorted(debian)],
                               capture_output=True, text=True)
        installed = dict(line.split(" ", 1) for line in query.stdout.splitlines())
        for name, version in sorted(debian.items()):
            if installed.get(name) != version:
                problems.append(f"{name}: version {version}, dpkg-query reports {installed.get(name)}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("zip")
    parser.add_argument("schema")
    parser.add_argument("--image", action="append", default=[],
                        type=lambda t: (t.split(":", 1)[0],) + tuple(t.split(":", 1)[1].split("=", 1)))
    args = parser.parse_args(argv)
    with zipfile.ZipFile(args.zip) as z:
        members = {name: z.read(name) for name in z.namelist()}
    with open(args.schema) as f:
        schema = json.load(f)
    problems = []
    if SBOM not in members:
        problems.append(f"{args.zip} holds no {SBOM}")
    else:
        doc = json.loads(members[SBOM])
        validator = jsonschema.Draft7Validator(schema)
        problems += [f"schema: {e.message} at {'/'.join(map(str, e.absolute_path))}"
                     for e in validator.iter_errors(doc)]
        if doc.get("spdxVersion") != "SPDX-2.3" or doc.get("dataLicense") != "CC0-1.0":
            problems.append(f"spdxVersion {doc.get('spdxVersion')}, dataLicense {doc.get('dataLicense')}")
        if not problems:
            check_files(doc, members, problems)
            check_references(doc, problems)
            check_contents(doc, members, args.image, problems)
    print(f"{args.zip}: {SBOM} checked against {args.schema}")
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

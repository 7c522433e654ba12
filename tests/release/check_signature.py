#!/usr/bin/python3
"""Checks the Authenticode signature of an exe that a release hands out.

usage: check_signature.py EXE --unsigned
       check_signature.py EXE --ca CAFILE --product NAME [--timestamped] [--unsigned-twin EXE]

--unsigned: the exe carries no signature at all (a release built without a certificate).
Otherwise `osslsigncode verify` must accept the signature against CAFILE (for the signer and the
time-stamp authority alike), with a SHA-256 digest and NAME as its description; --timestamped:
with a verified RFC 3161 timestamp. --unsigned-twin: with the signature taken off again, the exe
is byte for byte that file (the link output), so signing changed nothing else.
Prints one line per problem, then "ok" or "FAILED".
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

import pefile

OSSLSIGNCODE = "osslsigncode"
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
TIMEOUT_S = 120
# What osslsigncode verify says of a good signature, the same in its versions 2.5 to 2.9.
SAYS = {
    "the signature verifies": r"^Signature verification: ok$",
    "a SHA-256 digest": r"^Message digest algorithm\s*: SHA256$",
}
SAYS_TIMESTAMPED = {"a verified timestamp": r"^Timestamp Server Signature verification: ok$"}


def signature_size(path):
    pe = pefile.PE(path, fast_load=True)
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY].Size


def check_signed(args, problems):
    verify = subprocess.run([OSSLSIGNCODE, "verify", "-CAfile", args.ca, "-TSA-CAfile", args.ca, "-in", args.exe],
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT_S)
    said = (verify.stdout + verify.stderr).decode(errors="replace")
    if verify.returncode != 0:
        problems.append(f"osslsigncode verify: exit {verify.returncode}")
    wanted = dict(SAYS, **(SAYS_TIMESTAMPED if args.timestamped else {}))
    wanted["the product name as description"] = rf"^\s*Text description: {re.escape(args.product)}$"
    for what, pattern in wanted.items():
        if not re.search(pattern, said, re.MULTILINE):
            problems.append(f"osslsigncode verify does not say {what} ({pattern})")
    if problems:
        print(said)
    if args.unsigned_twin:
        with tempfile.TemporaryDirectory() as work:
            stripped = os.path.join(work, "stripped.exe")
            remove = subprocess.run([OSSLSIGNCODE, "remove-signature", "-in", args.exe, "-out", stripped],
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT_S)
            if remove.returncode != 0:
                problems.append(f"osslsigncode remove-signature: exit {remove.returncode}")
                return
            with open(stripped, "rb") as a, open(args.unsigned_twin, "rb") as b:
                if a.read() != b.read():
                    problems.append(f"without its signature, {args.exe} differs from {args.unsigned_twin}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--unsigned", action="store_true")
    parser.add_argument("--ca")
    parser.add_argument("--product")
    parser.add_argument("--timestamped", action="store_true")
    parser.add_argument("--unsigned-twin")
    args = parser.parse_args(argv)
    if args.unsigned == bool(args.ca and args.product):
        parser.error("give either --unsigned or --ca and --product")
    problems = []
    size = signature_size(args.exe)
    if args.unsigned:
        if size:
            problems.append(f"{args.exe} carries a signature of {size} bytes, expected none")
    elif not size:
        problems.append(f"{args.exe} carries no signature")
    else:
        check_signed(args, problems)
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

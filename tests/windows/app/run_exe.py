#!/usr/bin/python3
"""Runs scanfw.exe under Wine and compares its standard output byte for byte.

usage: run_exe.py --lang en|zh [--locale LC_ALL] --expect ID[,ID...] -- EMULATOR... EXE [ARG...]

The expected bytes are the catalogue texts of the given message ids, each followed by the
printer's line feed, in English or as Big5 (code page 950, encoded here by Python's own codec).
The C runtime writes "\\r\\n" for "\\n" when standard output is redirected, as on Windows, so the
output is compared after turning "\\r\\n" into "\\n". The exit code must be 0.
"""
import os
import subprocess
import sys

TEXTS = {
    0: ("Warning - no following argument!!\n", "警告 - no following argument!!\n"),
    2: ("Device found!!\n", "設備發現!!\n"),
    3: ("Device not found!!\nEnd program...\n", "設備未找到!!\n結束 程序...\n"),
}


def main(argv):
    sep = argv.index("--")
    opts, command = argv[:sep], argv[sep + 1:]
    lang = opts[opts.index("--lang") + 1]
    ids = [int(i) for i in opts[opts.index("--expect") + 1].split(",")]
    env = dict(os.environ)
    if "--locale" in opts:
        env["LC_ALL"] = opts[opts.index("--locale") + 1]
    column = 1 if lang == "zh" else 0
    expected = b"".join((TEXTS[i][column] + "\n").encode("cp950") for i in ids)

    run = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=env, timeout=120)
    out = run.stdout.replace(b"\r\n", b"\n")
    ok = True
    if run.returncode != 0:
        print(f"exit code {run.returncode}, expected 0")
        ok = False
    if out != expected:
        print(f"output differs\n  expected {expected!r}\n  got      {out!r}")
        ok = False
    if run.stderr:
        print("stderr:", run.stderr.decode(errors="replace"))
    print("ok" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

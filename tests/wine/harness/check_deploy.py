#!/usr/bin/python3
"""scanfw-deploy.exe where a scenario run does not take it: its resources, without scanfw.exe beside
it, and with a log folder that cannot be written. One prefix copied from the template, no scanner
in it.

usage: check_deploy.py --deploy SCANFW_DEPLOY --exe SCANFW_EXE --template DIR --work DIR

- The file: version 0.0.57.0 (fixed and text, file and product) and a manifest that asks for
  asInvoker, as the other exes have.
- Alone in a folder: nothing runs and nothing is printed; the exit code is the updater's failure
  (15); the record says that CreateProcessA failed with error 2 and the detection value says
  "updater-failed".
- Beside scanfw.exe, with --log-dir naming a folder under a file: scanfw.exe's output is passed on
  as it runs alone, the exit code is still its outcome's (no scanner: 10), standard error says that
  no record was written, nothing appears there, and the detection value is written all the same.

Exit status 0 when all hold, 1 when not (the problems are listed), 2 when a step failed.
"""
import argparse
import json
import os
import re
import shutil
import sys

import pefile

import deploy_run
from wine_prefix import Prefix, WineError, copy_prefix, windows_path


def resource_problems(deploy):
    pe = pefile.PE(deploy)
    problems = []
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [])
    def text(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    numbers = [(text(f.FileVersionMS, f.FileVersionLS), text(f.ProductVersionMS, f.ProductVersionLS)) for f in fixed]
    if numbers != [(deploy_run.VERSION, deploy_run.VERSION)]:
        problems.append(f"file: version numbers {numbers}, not {deploy_run.VERSION} once")
    strings = {k.decode(): v.decode() for info in getattr(pe, "FileInfo", []) for block in info
               for table in getattr(block, "StringTable", []) for k, v in table.entries.items()}
    if (strings.get("FileVersion"), strings.get("ProductVersion")) != (deploy_run.VERSION, deploy_run.VERSION):
        problems.append(f"file: version texts {strings}")
    manifests = [pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                 for kind in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", [])
                 if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]
                 for name in kind.directory.entries for lang in name.directory.entries]
    levels = [re.findall(rb'requestedExecutionLevel level="(\w+)"', m) for m in manifests]
    if levels != [[b"asInvoker"]]:
        problems.append(f"file: manifests ask for {levels}, not one asInvoker")
    return problems


def alone_problems(prefix, deploy, work):
    folder = os.path.join(work, "alone")
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(deploy, folder)
    rc, out, err = prefix.run("deploy-alone", [os.path.join(folder, os.path.basename(deploy))], check=False)
    problems = []
    if (rc, out) != (15, b""):
        problems.append(f"alone: exit code {rc} and {len(out)} bytes of output, not 15 and none")
    if b"CreateProcessA failed with error 2" not in err:
        problems.append(f"alone: standard error does not say why: {err.decode(errors='replace').strip()!r}")
    files = deploy_run.records_in(prefix.path)
    records = [json.loads(data) for name, data in files.items() if name.endswith(".json")]
    if len(records) != 1:
        return problems + [f"alone: one JSON record expected, found {sorted(files)}"]
    updater = records[0].get("updater", {})
    if (updater.get("started"), updater.get("failedCall"), updater.get("error")) != (False, "CreateProcessA", 2):
        problems.append(f"alone: the record says {updater}")
    values = deploy_run.registry_values(prefix.run("alone-reg-query", ["reg", "query", deploy_run.DETECTION_KEY])[1]
                                        .decode(errors="replace"))
    if values.get("Outcome") != ("REG_SZ", "updater-failed"):
        problems.append(f"alone: Outcome {values.get('Outcome')}")
    return problems


def unwritable_problems(prefix, deploy, exe, work):
    blocker = os.path.join(work, "a-file")
    with open(blocker, "w") as f:
        f.write("a file where the log folder would go\n")
    _, alone, _ = prefix.run("exe-alone", [exe])
    before = deploy_run.records_in(prefix.path)
    rc, out, err = prefix.run("deploy-unwritable", [deploy, "--log-dir", windows_path(os.path.join(blocker, "logs"))],
                              check=False)
    problems = []
    if out != alone or rc != deploy_run.NO_SCANNER[1]:
        problems.append(f"unwritable: exit code {rc}, output {out!r}; scanfw.exe alone printed {alone!r}")
    if b"no record written" not in err:
        problems.append(f"unwritable: standard error does not say it: {err.decode(errors='replace').strip()!r}")
    if deploy_run.records_in(prefix.path) != before or not os.path.isfile(blocker):
        problems.append("unwritable: a record was written somewhere")
    values = deploy_run.registry_values(prefix.run("unwritable-reg-query", ["reg", "query",
                                                                            deploy_run.DETECTION_KEY])[1]
                                        .decode(errors="replace"))
    if values.get("Outcome") != ("REG_SZ", deploy_run.NO_SCANNER[0]):
        problems.append(f"unwritable: Outcome {values.get('Outcome')}")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--deploy", "--exe", "--template", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args(argv)
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = Prefix(os.path.join(work, "prefix"), work)
    try:
        copy_prefix(os.path.abspath(args.template), prefix.path)
        prefix.start_server()
        problems = resource_problems(os.path.abspath(args.deploy))
        problems += alone_problems(prefix, os.path.abspath(args.deploy), work)
        problems += unwritable_problems(prefix, os.path.abspath(args.deploy), os.path.abspath(args.exe), work)
    except (WineError, OSError, ValueError) as e:
        print(f"check_deploy: {e}", file=sys.stderr)
        return 2
    finally:
        prefix.stop_server()
        shutil.rmtree(prefix.path, ignore_errors=True)
    for p in problems:
        print(p)
    print("FAIL" if problems else "PASS: version and manifest as the other exes'; alone it runs nothing and says "
          "why; an unwritable log folder changes nothing else")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

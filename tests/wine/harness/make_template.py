#!/usr/bin/python3
"""Makes the template prefix that every end-to-end scenario starts from as a copy.

usage: make_template.py --tools DIR --template DIR

A fresh prefix (wineboot -i), the emulated scanner driver installed (no devices yet), and the
stand-in imaging service registered as STISVC in place of the stock one, stopped, demand start.
DIR of --tools holds scandrv.sys, scanctl.exe, e2e_prefix.exe and standin_service.exe. Takes 10 to
20 s; the scenarios' copies take well under a second each.
"""
import argparse
import os
import shutil
import sys
import time

from wine_prefix import TEMPLATE_STAMP, Prefix, WineError, windows_path

FRESH_SERVICE = b"state stopped\nstartType demand\n"


def make_template(tools, template):
    log_dir = template + ".log"
    prefix = Prefix(template, log_dir)
    prefix.stop_server()
    shutil.rmtree(template, ignore_errors=True)
    shutil.rmtree(log_dir, ignore_errors=True)
    os.makedirs(log_dir)
    tool = {name: windows_path(os.path.join(tools, name))
            for name in ("scandrv.sys", "scanctl.exe", "e2e_prefix.exe", "standin_service.exe")}
    boot_s = prefix.boot()
    prefix.start_server()
    try:
        prefix.run("scanctl-install", [tool["scanctl.exe"], "install", tool["scandrv.sys"]])
        prefix.run("install-service", [tool["e2e_prefix.exe"], "install-service", tool["standin_service.exe"]])
        _, state, _ = prefix.run("query-service", [tool["e2e_prefix.exe"], "query-service"])
        if state != FRESH_SERVICE:
            raise WineError(f"the stand-in service starts as {state!r}, not {FRESH_SERVICE!r}")
    finally:
        prefix.stop_server()
    with open(os.path.join(template, TEMPLATE_STAMP), "w") as stamp:
        stamp.write("complete\n")
    return boot_s


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", required=True)
    parser.add_argument("--template", required=True)
    args = parser.parse_args(argv)
    started = time.monotonic()
    try:
        boot_s = make_template(args.tools, os.path.abspath(args.template))
    except (WineError, OSError) as e:
        print(f"make_template: {e}", file=sys.stderr)
        return 1
    total_s = time.monotonic() - started
    print(f"template prefix ready: {args.template} (wineboot {boot_s:.1f} s, in all {total_s:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

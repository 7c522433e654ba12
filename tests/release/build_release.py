#!/usr/bin/python3
"""Makes a release build of test inputs as the release presets would: configure with the release
configure preset into another folder, build the build preset's targets, package with the package
preset's generators. Prints what each step took and how large the exes are.

usage: build_release.py --source DIR --build DIR --inputs DIR [--token] [--timestamp]
                        [--epoch SECONDS] [--jobs N] [--expect TEXT]...

--inputs is the folder of make_inputs.sh. --token signs with its throwaway key on its SoftHSM2
token, through the token's PKCS#11 module; the PIN must then show up in none of the steps'
outputs and not in the cache. --timestamp has a time-stamp authority on 127.0.0.1
(local_tsa.py) stamp the signatures. --epoch sets SOURCE_DATE_EPOCH, which the compiler takes
for __DATE__ and __TIME__ and the linker for a PE time stamp: two builds with different epochs
show that neither gets into the exes. Each --expect TEXT must appear in what configure, build
and package printed. After configure, every target of the build must have its rules
(scripts/check-targets.py): `cmake --build DIR` without a target must work too.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

from local_tsa import LocalTsa

PRESET = "release"
STEP_TIMEOUT_S = 900
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
EXES = ("scanfw.exe", "scanfw-probe.exe", "scanfw-deploy.exe")


def preset(presets, kind, name=PRESET):
    return next(p for p in presets[kind] if p["name"] == name)


def run(step, command, cwd, env, log):
    started = time.monotonic()
    done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=STEP_TIMEOUT_S)
    took = time.monotonic() - started
    text = done.stdout.decode(errors="replace")
    log.append(text)
    if done.returncode != 0:
        print(text)
        raise SystemExit(f"{step} failed (exit {done.returncode}): {' '.join(command)}")
    return took


def build(args, timestamp_url):
    with open(os.path.join(args.source, "CMakePresets.json")) as f:
        presets = json.load(f)
    targets = preset(presets, "buildPresets").get("targets", [])
    generators = preset(presets, "packagePresets").get("generators", [])
    inputs = os.path.abspath(args.inputs)
    defines = [f"-DSCANFW_IMAGE_121={inputs}/image121.bin", f"-DSCANFW_IMAGE_131={inputs}/image131.bin"]
    env = dict(os.environ)
    if args.token:
        with open(os.path.join(inputs, "key-uri.txt")) as f:
            uri = f.readline().strip()
        defines += [f"-DSCANFW_SIGN_PKCS11_MODULE={SOFTHSM_MODULE}", f"-DSCANFW_SIGN_PKCS11_KEY={uri}",
                    f"-DSCANFW_SIGN_CERT={inputs}/chain.pem", f"-DSCANFW_SIGN_PIN_FILE={inputs}/pin.txt",
                    f"-DSCANFW_SIGN_VERIFY_CAFILE={inputs}/ca.crt"]
        env["SOFTHSM2_CONF"] = os.path.join(inputs, "softhsm2.conf")
    if timestamp_url:
        defines.append(f"-DSCANFW_SIGN_TIMESTAMP_URL={timestamp_url}")
    if args.epoch is not None:
        env["SOURCE_DATE_EPOCH"] = str(args.epoch)
    shutil.rmtree(args.build, ignore_errors=True)
    log = []
    took = {
        "configure": run("configure", ["cmake", "--preset", PRESET, "-B", args.build] + defines, args.source, env, log),
        "check of all targets": run("check of all targets", [sys.executable, "scripts/check-targets.py", args.build],
                                    args.source, env, log),
        "build": run("build", ["cmake", "--build", args.build, "--target"] + targets + ["-j", str(args.jobs)],
                     args.source, env, log),
        "package": run("package", ["cpack", "--config", "CPackConfig.cmake", "-G", ";".join(generators)],
                       args.build, env, log),
    }
    return took, "".join(log)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--inputs", required=True)
    parser.add_argument("--token", action="store_true")
    parser.add_argument("--timestamp", action="store_true")
    parser.add_argument("--epoch", type=int)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--expect", action="append", default=[])
    args = parser.parse_args(argv)
    args.build = os.path.abspath(args.build)

    if args.timestamp:
        tsa = LocalTsa(os.path.join(args.inputs, "tsa.cnf"))
        with tsa as url:
            took, output = build(args, url)
        if tsa.errors or tsa.replies == 0:
            raise SystemExit(f"the time-stamp authority answered {tsa.replies} requests: {tsa.errors}")
    else:
        took, output = build(args, None)
    problems = [f"not said: {text!r}" for text in args.expect if text not in output]
    if args.token:
        with open(os.path.join(args.inputs, "pin.txt")) as f:
            pin = f.readline().strip()
        with open(os.path.join(args.build, "CMakeCache.txt")) as f:
            cache = f.read()
        problems += [f"the PIN is in {where}" for where, text in (("the output", output), ("the cache", cache))
                     if pin in text]
    for p in problems:
        print(p)

    print(f"release build in {args.build}: " + ", ".join(f"{step} {s:.1f} s" for step, s in took.items()))
    images = sum(os.path.getsize(os.path.join(args.inputs, f"image{i}.bin")) for i in (121, 131))
    for exe in EXES:
        size = os.path.getsize(os.path.join(args.build, exe))
        print(f"{exe}: {size} bytes" + (f" = images {images} + {size - images}" if exe == EXES[0] else ""))
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

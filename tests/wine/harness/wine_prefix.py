"""A Wine prefix of the end-to-end harness: its server, the programs run in it, and copies of it.

Every Wine process gets stdin from /dev/null and its output in a file: the services Wine starts on
demand inherit the first client's descriptors and would otherwise hold a caller's pipe open. The
prefix's own server is kept alive while a scenario runs (services live only as long as it), and is
stopped through its prefix alone: Wine processes are never killed by name.
"""
import os
import shutil
import subprocess
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SETUP_LOCALE = "en_US.UTF-8"
# Seconds the server outlives its last client: long enough to bridge the gaps between the
# harness's Wine processes, short enough to end by itself after an interrupted run.
SERVER_PERSIST_S = 60
SERVER_STOP_TIMEOUT_S = 60
BOOT_TIMEOUT_S = 300
COMMAND_TIMEOUT_S = 120
# Never written once a prefix is made, so a copy may share them with the template: hard links
# instead of 700 MB of copying per scenario. Everything else (the registry above all) is copied.
SHARED_SUFFIXES = {".dll", ".exe", ".sys", ".drv", ".ocx", ".cpl", ".acm", ".tlb", ".nls", ".ax", ".com", ".ds",
                   ".msstyles", ".icm"}
# Written last when a template is made: a template without it is incomplete.
TEMPLATE_STAMP = "e2e-template.ok"


class WineError(Exception):
    """A step of setting up or reading a prefix failed."""


def windows_path(path):
    """The Windows name of a host file, through the drive Wine maps to the host's root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    def __init__(self, path, log_dir):
        self.path = os.path.abspath(path)
        self.log_dir = log_dir
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "LANG", "LANGUAGE"):
            self.env.pop(name, None)
        self.env.update(WINEPREFIX=self.path, WINELOADER=WINE, WINESERVER=WINESERVER, WINEARCH="win64",
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                        LC_ALL=SETUP_LOCALE)
        self.count = 0

    def _log(self, name):
        self.count += 1
        return os.path.join(self.log_dir, f"{self.count:02d}-{name}")

    def run(self, name, args, timeout=COMMAND_TIMEOUT_S, locale=None, check=True):
        """Runs a Windows program; gives (exit code, stdout bytes, stderr bytes)."""
        env = dict(self.env)
        if locale is not None:
            env["LC_ALL"] = locale
        log = self._log(name)
        with open(log + ".out", "wb") as out, open(log + ".err", "wb") as err:
            try:
                rc = subprocess.run([WINE] + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                                    cwd=self.log_dir, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise WineError(f"{name}: no end after {timeout} s (see {log}.*)")
        with open(log + ".out", "rb") as out, open(log + ".err", "rb") as err:
            stdout, stderr = out.read(), err.read()
        if check and rc != 0:
            detail = (stderr or stdout).decode(errors="replace").strip().splitlines()
            raise WineError(f"{name}: exit {rc}: {detail[-1] if detail else '(no output)'}")
        return rc, stdout, stderr

    def start(self, name, args, locale=None):
        """Starts a Windows program in the background; its output goes to the log folder, whose
        standard output file the process's `out_path` names."""
        env = dict(self.env)
        if locale is not None:
            env["LC_ALL"] = locale
        log = self._log(name)
        with open(log + ".out", "wb") as out, open(log + ".err", "wb") as err:
            process = subprocess.Popen([WINE] + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       env=env, cwd=self.log_dir)
        process.out_path = log + ".out"
        return process

    def server(self, *args, timeout=SERVER_STOP_TIMEOUT_S):
        subprocess.run([WINESERVER] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env=self.env, timeout=timeout)

    def start_server(self):
        self.server(f"-p{SERVER_PERSIST_S}")

    def stop_server(self):
        """Ends every process of this prefix and waits for its server to go."""
        if os.path.isdir(self.path):
            self.server("-k")
            self.server("-w")

    def boot(self):
        """Creates the prefix (wineboot -i) and lets that server end, as the service manager needs."""
        started = time.monotonic()
        self.run("wineboot", ["wineboot", "-i"], timeout=BOOT_TIMEOUT_S)
        self.server("-w")
        return time.monotonic() - started


def copy_prefix(template, target):
    """A fresh prefix at `target` that starts as `template` is (which must have no server running)."""
    if not os.path.exists(os.path.join(template, TEMPLATE_STAMP)):
        raise WineError(f"no complete template prefix at {template} (the e2e.template test makes it)")
    shutil.rmtree(target, ignore_errors=True)
    for root, dirs, files in os.walk(template):
        out = os.path.join(target, os.path.relpath(root, template))
        os.makedirs(out, exist_ok=True)
        for name in dirs + files:
            source, copy = os.path.join(root, name), os.path.join(out, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), copy)
            elif name in files and name != TEMPLATE_STAMP:
                if os.path.splitext(name)[1].lower() in SHARED_SUFFIXES:
                    os.link(source, copy)
                else:
                    shutil.copy2(source, copy)

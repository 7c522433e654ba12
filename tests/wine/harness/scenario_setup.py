"""What a scenario file asks of a Wine prefix.

A scenario describes the Windows host that one run of the updater meets (the same files that
scanfw-sim takes). Here it becomes what a fresh Wine prefix needs to be that host: the emulated
scanner driver's configuration, the imaging-device registry keys, the stand-in imaging service, the
mutexes that another process holds, the locale, the command line and the console control events
to deliver. A member that Wine cannot be made to reproduce faithfully raises Refused naming it, so
that no scenario passes with a part of it silently left out.

The scenario is checked by scanfw-sim before it gets here; this module reads it with the same
defaults and number forms but leaves the error messages for malformed files to the simulator.
"""
from dataclasses import dataclass, field

# userLangId -> LC_ALL: Wine derives GetUserDefaultLangID from the process's locale.
LOCALES = {0x0404: "zh_TW.UTF-8", 0x0804: "zh_CN.UTF-8", 0x0C04: "zh_HK.UTF-8", 0x0409: "en_US.UTF-8"}
DEFAULT_LANG_ID = 0x0409
DEFAULT_TICK_START = 0x00100000
IMAGE_SIZES = {"121": 8388608, "131": 13633428}

REPLY_BYTES = 32
STATE_BURNING = 7
DEFAULT_PROGRESS_STEPS = 10
PROGRESS_STEP_PERCENT = 10
DEFAULT_VID, DEFAULT_PID, DEFAULT_BCD = 0x2A7B, 0x41C3, 0x0100
# What the driver takes: up to 1024 replies a list and 256 faults a device, one per operation.
MAX_REPLIES = 1024
MAX_FAULTS = 256

SERVICE_STATES = {"stopped", "startPending", "stopPending", "running", "continuePending", "pausePending", "paused"}
START_TYPES = ("boot", "system", "auto", "demand", "disabled")
ACCEPTS_WHEN_UP = 0x07
DEFAULT_WAIT_HINT = 1000
DEFAULT_PENDING_QUERIES = 1
# Under Wine the updater really waits: a pending state may last this long at most, which keeps
# a run short and far from the updater's own limit on the service waits.
MAX_PENDING_MS = 5000

REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4
REG_TYPES = {"REG_SZ": REG_SZ, "REG_BINARY": REG_BINARY, "REG_DWORD": REG_DWORD}
NAMESPACE_PREFIXES = ("Global\\", "Local\\")
# Console control events that e2e_console.exe delivers as Windows does (README.md says how).
DELIVERED_EVENTS = ("ctrlC", "ctrlBreak")

DRIVER_KEY = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\scandrv"
IMAGING_CLASS_SUBKEY = r"SYSTEM\CurrentControlSet\Control\Class\{6bdd1fc6-810f-11d0-bec7-08002be2092f}"
# The stand-in service's behaviour: the key and value names of ../standin/standin_config.h.
STANDIN_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\scanfw tests\imaging service"
STANDIN_VALUES = ("StartPendingMs", "StartWaitHint", "StopPendingMs", "StopWaitHint", "PendingAccepts",
                  "RunningAccepts")
HEX_BYTES_PER_LINE = 24


class Refused(Exception):
    """A scenario member that cannot be set up faithfully under Wine."""

    def __init__(self, member, reason):
        super().__init__(f"{member}: {reason}")
        self.member = member


@dataclass
class DeviceSetup:
    index: int
    open: str = "ok"
    descriptor_fails: bool = False
    vid: int = DEFAULT_VID
    pid: int = DEFAULT_PID
    bcd: int = DEFAULT_BCD
    ready: list = field(default_factory=list)     # 32-byte replies
    download: list = field(default_factory=list)
    progress: list = field(default_factory=list)
    faults: list = field(default_factory=list)    # "write 3 short", as the driver takes them


@dataclass
class ServiceSetup:
    state: str = "running"        # running or stopped
    start_type: str = "auto"
    running_accepts: int = ACCEPTS_WHEN_UP
    wait_hint: int = DEFAULT_WAIT_HINT
    pending_ms: int = 0           # how long each pending state lasts in real time


@dataclass
class RegValue:
    name: str
    type: int
    data: bytes


@dataclass
class WineSetup:
    lc_all: str
    args: list
    devices: list
    service: ServiceSetup = None  # None: the machine has no imaging service
    instances: dict = field(default_factory=dict)  # instance number -> [RegValue]
    denied_instances: list = field(default_factory=list)  # instance keys closed to everyone
    mutexes: list = field(default_factory=list)  # (name, closed to everyone)
    interrupts: list = field(default_factory=list)  # (event, atMs) in time order, for e2e_console.exe
    damaged: list = field(default_factory=list)  # image ids whose middle byte a copy of the exe has changed
    other_updater: bool = False  # another scanfw.exe, started first, holds its guard through the run


def number(value):
    """A scenario number: a JSON number, or a string in hex ("0x0404") or decimal."""
    if isinstance(value, str):
        return int(value, 16) if value[:2].lower() == "0x" else int(value, 10)
    return int(value)


def reply(entry):
    data = bytearray(bytes.fromhex(entry["raw"])) if "raw" in entry else bytearray(REPLY_BYTES)
    for name, offset, width in (("result", 0, 4), ("state", 4, 2), ("percent", 10, 1), ("model", 14, 1)):
        if name in entry:
            data[offset:offset + width] = number(entry[name]).to_bytes(width, "little")
    return bytes(data)


def make_reply(result=0, state=0, percent=0, model=0):
    return reply({"result": result, "state": state, "percent": percent, "model": model})


def reply_list(entry, member):
    replies = [reply(r) for r in (entry if isinstance(entry, list) else [entry])]
    if len(replies) > MAX_REPLIES:
        raise Refused(member, f"the emulated driver holds at most {MAX_REPLIES} replies a list")
    return replies


DESCRIPTOR_BYTES = 8


def default_progress():
    steps = [make_reply(state=STATE_BURNING, percent=step * PROGRESS_STEP_PERCENT)
             for step in range(DEFAULT_PROGRESS_STEPS)]
    return steps + [make_reply(state=0, percent=100)]


def device_setup(entry, member):
    d = DeviceSetup(index=number(entry["index"]), open=entry.get("open", "ok"))
    descriptor = entry.get("descriptor", {})
    if descriptor == "fail":
        d.descriptor_fails = True
    else:
        d.vid = number(descriptor.get("vid", DEFAULT_VID))
        d.pid = number(descriptor.get("pid", DEFAULT_PID))
        d.bcd = number(descriptor.get("bcd", DEFAULT_BCD))
        if number(descriptor.get("length", DESCRIPTOR_BYTES)) != DESCRIPTOR_BYTES:
            raise Refused(f"{member}.descriptor.length", "the emulated driver always answers with all 8 bytes")
    scanner = entry.get("scanner", {})
    d.ready = reply_list(scanner["ready"], f"{member}.scanner.ready") if "ready" in scanner else [make_reply()]
    d.download = reply_list(scanner["download"], f"{member}.scanner.download") if "download" in scanner \
        else [make_reply()]
    d.progress = reply_list(scanner["progress"], f"{member}.scanner.progress") if "progress" in scanner \
        else default_progress()
    seen = set()
    for i, fault in enumerate(scanner.get("faults", [])):
        op, n = fault["op"], number(fault.get("n", 1))
        if (op, n) in seen:
            # The simulator applies the first entry; the driver refuses the configuration.
            raise Refused(f"{member}.scanner.faults[{i}]", f"a second fault for {op} {n}")
        seen.add((op, n))
        d.faults.append(f"{op} {n} {fault['kind']}")
    if len(d.faults) > MAX_FAULTS:
        raise Refused(f"{member}.scanner.faults", f"the emulated driver takes at most {MAX_FAULTS} faults")
    return d


def pending_ms(pending_queries, wait_hint):
    """Real time for a pending state that the simulator ends after `pending_queries` status reads.

    The updater reads, sleeps for the hint, and reads again, so read k comes about (k - 1) hints
    after the state began: ending the state half a hint before read k + 1 shows the same reads.
    """
    return max(0, pending_queries * wait_hint - wait_hint // 2)


def service_setup(entry):
    if not entry.get("exists", True):
        return None
    for member in ("managerAccess", "serviceAccess"):
        if entry.get(member, "granted") != "granted":
            raise Refused(f"service.{member}", "access to Wine's service manager cannot be denied to the updater")
    state = entry.get("state", "running")
    if state not in ("running", "stopped"):
        raise Refused("service.state", f"\"{state}\": the stand-in service starts only running or stopped")
    start_type = entry.get("startType", "auto")
    if start_type in ("boot", "system"):
        raise Refused("service.startType", f"\"{start_type}\" is a driver's start type; Wine refuses it for a service")
    s = ServiceSetup(state=state, start_type=start_type)
    if "controlsAccepted" in entry:
        accepts = number(entry["controlsAccepted"])
        if state == "stopped" and accepts != 0:
            raise Refused("service.controlsAccepted", "a stopped service accepts no control under Wine")
        s.running_accepts = accepts if state == "running" else ACCEPTS_WHEN_UP
    s.wait_hint = number(entry.get("waitHint", DEFAULT_WAIT_HINT))
    queries = entry.get("pendingQueries", DEFAULT_PENDING_QUERIES)
    if queries == -1:
        raise Refused("service.pendingQueries", "-1 (never ending) cannot run in real time")
    if s.wait_hint > MAX_PENDING_MS:
        raise Refused("service.waitHint", f"over {MAX_PENDING_MS} ms: too long to wait for in real time")
    s.pending_ms = pending_ms(number(queries), s.wait_hint)
    if s.pending_ms > MAX_PENDING_MS:
        raise Refused("service.pendingQueries", f"pending for over {MAX_PENDING_MS} ms: too long in real time")
    return s


def printable_ascii(text):
    return all(0x20 <= ord(c) < 0x7F for c in text)


def reg_value(name, entry, member):
    if not printable_ascii(name):
        raise Refused(member, "value names must be printable ASCII under Wine's reg import")
    if isinstance(entry, str):
        entry = {"type": "REG_SZ", "data": entry}
    kind = REG_TYPES[entry["type"]]
    if "hex" in entry:
        data = bytes.fromhex(entry["hex"])
    elif kind == REG_SZ:
        data = entry["data"].encode("utf-8") + b"\0"
    elif isinstance(entry["data"], str) and kind == REG_BINARY:
        data = entry["data"].encode("utf-8")
    else:
        data = number(entry["data"]).to_bytes(4, "little")
    if kind == REG_SZ:
        text = data[:-1].decode("latin-1")
        if not data.endswith(b"\0") or "\0" in text or not printable_ascii(text):
            raise Refused(member, "Wine stores REG_SZ as UTF-16: only printable ASCII with one final zero "
                                  "reads back unchanged")
    return RegValue(name, kind, data)


def instance_values(name, entry):
    member = f"imagingDevices.{name}"
    return [reg_value(value_name, value, f"{member}.{value_name}") for value_name, value in entry.items()
            if value_name != "access"]


def held_mutex(entry, member):
    if "releaseAfterMs" in entry:
        raise Refused(f"{member}.releaseAfterMs", "a release timed on the simulated clock cannot be matched in "
                                                  "real time")
    name = entry["name"]
    rest = name
    for prefix in NAMESPACE_PREFIXES:
        if name.startswith(prefix):
            rest = name[len(prefix):]
    if not printable_ascii(name) or "\\" in rest:
        raise Refused(f"{member}.name", "only printable ASCII names in the session or global namespace")
    return name, entry.get("access", "granted") == "denied"


def console_interrupts(entry):
    """The interrupts of the scenario's `console`: [(event, atMs)] in time order, or Refused."""
    for member in ("processes", "redirected"):
        if member in entry:
            raise Refused(f"console.{member}", "under Wine scanfw.exe runs with files for its standard handles and no "
                                               "console at all (GetConsoleProcessList gives 0), which no setting of "
                                               "the simulated console matches")
    interrupts = []
    for i, item in enumerate(entry.get("interrupts", [])):
        if item["event"] == "close":
            raise Refused(f"console.interrupts[{i}].event", "\"close\": Wine calls the handler with CTRL_CLOSE_EVENT "
                                                            "but lets the process run on, where Windows ends it once "
                                                            "the handler returns or 5 s have passed")
        if item["event"] not in DELIVERED_EVENTS:
            raise Refused(f"console.interrupts[{i}].event", f"\"{item['event']}\" cannot be delivered under Wine")
        interrupts.append((item["event"], number(item["atMs"])))
    return sorted(interrupts, key=lambda interrupt: interrupt[1])


def wine_setup(scenario):
    """The Wine prefix that `scenario` (a parsed scenario file) describes, or Refused."""
    lang = number(scenario.get("userLangId", DEFAULT_LANG_ID))
    if lang not in LOCALES:
        raise Refused("userLangId", f"0x{lang:04X} has no Wine locale here (only "
                                    f"{', '.join(f'0x{k:04X}' for k in LOCALES)})")
    if number(scenario.get("tickStart", DEFAULT_TICK_START)) != DEFAULT_TICK_START:
        raise Refused("tickStart", "Wine's tick count cannot be set")
    damaged = []
    for rid, entry in scenario.get("resources", {}).items():
        # A damaged image is the real one with its middle byte changed, in a copy of the exe.
        whole = {k: v for k, v in entry.items() if k != "damaged"}
        if entry.get("damaged") is True and (not whole or (set(whole) == {"size"} and
                                                           number(whole["size"]) == IMAGE_SIZES[rid])):
            damaged.append(int(rid))
            continue
        if set(entry) != {"size"} or number(entry["size"]) != IMAGE_SIZES[rid]:
            raise Refused(f"resources.{rid}", "scanfw.exe carries the real images, whole or damaged")
    if scenario.get("exeFile", "whole") != "whole":
        raise Refused("exeFile", "the prefix holds the built scanfw.exe, whole")
    if scenario.get("failures"):
        raise Refused("failures", "Windows calls cannot be made to fail under Wine")
    args = [str(a) for a in scenario.get("args", [])]
    for i, arg in enumerate(args):
        if not printable_ascii(arg):
            raise Refused(f"args[{i}]", "only printable ASCII passes Wine's command line unchanged")
    devices = [device_setup(d, f"devices[{i}]") for i, d in enumerate(scenario.get("devices", []))]
    imaging = scenario.get("imagingDevices", {})
    instances = {int(name): instance_values(name, entry) for name, entry in imaging.items()}
    denied = sorted(int(name) for name, entry in imaging.items() if entry.get("access", "granted") == "denied")
    mutexes = [held_mutex(m, f"mutexes[{i}]") for i, m in enumerate(scenario.get("mutexes", []))]
    interrupts = console_interrupts(scenario.get("console", {}))
    other_updater = scenario.get("otherUpdater", False) is True
    if other_updater and interrupts:
        raise Refused("otherUpdater", "console events are delivered to one exe, and this scenario runs two")
    return WineSetup(lc_all=LOCALES[lang], args=args, devices=devices,
                     service=service_setup(scenario.get("service", {})), instances=instances,
                     denied_instances=denied, mutexes=mutexes, interrupts=interrupts, damaged=sorted(damaged),
                     other_updater=other_updater)


# ---- the .reg file (REGEDIT4, as Wine's reg import takes it) -------------------------------------

def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_hex(kind_prefix, data):
    if not data:
        return kind_prefix
    pieces = [f"{b:02x}" for b in data]
    lines = [",".join(pieces[i:i + HEX_BYTES_PER_LINE]) for i in range(0, len(pieces), HEX_BYTES_PER_LINE)]
    return kind_prefix + ",\\\r\n  ".join(lines)


def reg_data(value):
    if value.type == REG_SZ:
        return reg_string(value.data[:-1].decode("ascii"))
    if value.type == REG_DWORD and len(value.data) == 4:
        return f"dword:{int.from_bytes(value.data, 'little'):08x}"
    if value.type == REG_BINARY:
        return reg_hex("hex:", value.data)
    return reg_hex(f"hex({value.type:x}):", value.data)


def instance_subkey(number_):
    """An imaging-device instance key's name under HKEY_LOCAL_MACHINE."""
    return f"{IMAGING_CLASS_SUBKEY}\\{number_:04d}"


def reg_line(name, data):
    return ("@" if name == "" else reg_string(name)) + "=" + data


def dword(n):
    return f"dword:{n:08x}"


def registry_text(setup):
    """The REGEDIT4 text that configures the driver, the imaging keys and the stand-in service."""
    out = ["REGEDIT4", "", f"[{DRIVER_KEY}]",
           reg_line("Devices", reg_string(",".join(str(d.index) for d in setup.devices))), ""]
    for d in setup.devices:
        out += [f"[{DRIVER_KEY}\\Device{d.index}]",
                reg_line("Open", reg_string(d.open)),
                reg_line("Descriptor", reg_string("fail" if d.descriptor_fails else "ok")),
                reg_line("VendorId", dword(d.vid)),
                reg_line("ProductId", dword(d.pid)),
                reg_line("BcdDevice", dword(d.bcd)),
                reg_line("Ready", reg_hex("hex:", b"".join(d.ready))),
                reg_line("Download", reg_hex("hex:", b"".join(d.download))),
                reg_line("Progress", reg_hex("hex:", b"".join(d.progress))),
                reg_line("Faults", reg_string("; ".join(d.faults))), ""]
    for number_, values in sorted(setup.instances.items()):
        out.append(f"[HKEY_LOCAL_MACHINE\\{instance_subkey(number_)}]")
        out += [reg_line(v.name, reg_data(v)) for v in values]
        out.append("")
    if setup.service is not None:
        s = setup.service
        # Both pending states last as long and carry the same hint, and no control is accepted
        # while starting, as the simulated service has it.
        values = (s.pending_ms, s.wait_hint, s.pending_ms, s.wait_hint, 0, s.running_accepts)
        out += [f"[{STANDIN_KEY}]"] + [reg_line(name, dword(v)) for name, v in zip(STANDIN_VALUES, values)] + [""]
    return "\r\n".join(out) + "\r\n"

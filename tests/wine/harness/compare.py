"""Compares what the shipped exe did under Wine with what scanfw-sim reported for the same scenario.

Three parts are compared, each giving a list of differences (empty when they agree):
- stdout: the exe's standard output, after the C runtime's "\\r\\n" is turned back into "\\n",
  byte for byte against the simulator's;
- device: what each emulated device received (scanctl dump) against the report's `device` and
  `opened`: the commands and images of the matched scanner in order, nothing for the others, and as
  many opens of each device as the report lists;
- service: the stand-in service's final state and start type against the report's `service`.
"""
CONTEXT_BYTES = 24


def wine_stdout(raw):
    return raw.replace(b"\r\n", b"\n")


def compare_stdout(sim, wine):
    if sim == wine:
        return []
    at = next((i for i, (a, b) in enumerate(zip(sim, wine)) if a != b), min(len(sim), len(wine)))
    start = max(0, at - CONTEXT_BYTES)
    return [f"stdout differs at byte {at} (simulator {len(sim)} bytes, Wine {len(wine)} bytes):\n"
            f"    simulator ...{sim[start:at + CONTEXT_BYTES]!r}\n"
            f"    Wine      ...{wine[start:at + CONTEXT_BYTES]!r}"]


def parse_dump(text):
    """scanctl dump's record of one device: counters, commands (hex) and images (length, sha256)."""
    record = {"commands": [], "images": [], "config": None}
    for line in text.splitlines():
        word, _, rest = line.partition(" ")
        if word == "command":
            record["commands"].append(rest)
        elif word == "image":
            length, sha = rest.split(" ")
            record["images"].append((int(length), sha))
        elif word in ("opens", "writes", "reads", "ioctls", "dropped", "device"):
            record[word] = int(rest)
        elif word in ("config", "open"):
            record[word] = rest
    return record


def dump_problems(index, record):
    """What makes a device's record unusable for the comparison."""
    problems = []
    if record.get("device") != index:
        problems.append(f"usbscan{index}: no record from the driver")
    elif record["config"] != "ok":
        problems.append(f"usbscan{index}: driver configuration {record['config']}")
    elif record.get("dropped", 0) != 0:
        problems.append(f"usbscan{index}: the driver's record dropped {record['dropped']} entries")
    return problems


def compare_device(report, records):
    """`records`: usbscan number -> parsed dump, for every device the scenario lists."""
    differences = []
    matched = report.get("device")
    for index, record in sorted(records.items()):
        want_opens = report.get("opened", []).count(index)
        if record.get("opens") != want_opens:
            differences.append(f"usbscan{index}: opened {record.get('opens')} times under Wine, "
                               f"{want_opens} in the simulator")
        is_matched = matched is not None and matched.get("index") == index
        want_commands = matched["commands"] if is_matched else []
        want_images = [(i["length"], i["sha256"]) for i in matched["images"]] if is_matched else []
        if record["commands"] != want_commands:
            differences.append(f"usbscan{index}: commands differ\n    simulator {want_commands}\n"
                               f"    Wine      {record['commands']}")
        if record["images"] != want_images:
            differences.append(f"usbscan{index}: images differ\n    simulator {want_images}\n"
                               f"    Wine      {record['images']}")
    if matched is not None and matched.get("index") not in records:
        differences.append(f"the simulator matched usbscan{matched.get('index')}, which Wine does not have")
    return differences


def parse_service_query(text):
    """e2e_prefix query-service: None for a missing service, else {"state": ..., "startType": ...}."""
    if text.strip() == "missing":
        return None
    return dict(line.split(" ", 1) for line in text.splitlines() if line)


def compare_service(report_service, service_exists, wine):
    if not service_exists:
        return [] if wine is None else [f"the imaging service exists under Wine ({wine})"]
    if wine is None:
        return ["the imaging service is missing under Wine"]
    return [f"service {key}: {wine.get(key)} under Wine, {report_service[key]} in the simulator"
            for key in ("state", "startType") if wine.get(key) != report_service[key]]


# ---- what a scenario's expectation file asks of the Wine run alone ----------------------------------

OPCODE_OFFSET = 4  # the command byte that names the command


def last_message_problems(want, stdout):
    """The updater prints each message as "%s\\n" of a text that ends in "\\n": the last message is the
    text between the line end before it and the empty line that ends the output."""
    tail = want.encode("ascii") + b"\n\n"
    if stdout == tail or stdout.endswith(b"\n" + tail) or stdout.endswith(b"\r" + tail):
        return []
    return [f"stdout does not end with the message {want!r} and its empty line; it ends "
            f"...{stdout[-len(tail) - CONTEXT_BYTES:]!r}"]


def device_expectation_problems(index, want, record):
    if record is None:
        return [f"usbscan{index}: the scenario has no such device"]
    problems = []
    refused = {number if isinstance(number, int) else int(number, 16) for number in want.get("withoutOpcodes", [])}
    sent = [c for c in record["commands"] if int(c[2 * OPCODE_OFFSET:2 * OPCODE_OFFSET + 2], 16) in refused]
    if sent:
        problems.append(f"usbscan{index}: received commands it should not have: {sent}")
    if "images" in want and len(record["images"]) != want["images"]:
        problems.append(f"usbscan{index}: received {len(record['images'])} images, not {want['images']}")
    return problems


def expectation_problems(expect, stdout, records, service):
    """What the Wine run does not do that `expect` (a parsed --expect file) asks: `lastMessage`, the
    final `service` state and start type, and for `devices` by number the opcodes (`withoutOpcodes`)
    and the number of images (`images`) each received."""
    problems = []
    if "lastMessage" in expect:
        problems += last_message_problems(expect["lastMessage"], stdout)
    if "service" in expect:
        if service is None:
            problems.append("the imaging service is missing under Wine")
        else:
            problems += [f"service {key}: {service.get(key)} under Wine, {value} expected"
                         for key, value in sorted(expect["service"].items()) if service.get(key) != value]
    for index, want in sorted(expect.get("devices", {}).items()):
        problems += device_expectation_problems(int(index), want, records.get(int(index)))
    return problems

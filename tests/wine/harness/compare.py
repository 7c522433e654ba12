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

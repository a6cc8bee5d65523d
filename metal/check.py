#!/usr/bin/env python3
"""Checks one run of scripts/metal.sh from what it left behind.

  metal/check.py RUN_DIR [--simulator PATH]

- the driver's console lines are those the simulated PC prints for the same
  machine (IDs, PCI locations, I/O bases, IRQs, station addresses, read from
  the emulated machine's own report) and the same registry (metal/registry.txt,
  the image's built-in table in the simulator's format);
- every frame the client wrote is in the first NIC's dump, byte for byte, in
  order, and nothing else is;
- what the second NIC's reader got is intact, and each frame it got is one the
  first NIC sent;
- the statistics blocks count what was written and read, the adapter's equal
  its only client's, and the global block is the sum of the adapters';
- the kernel saw no rights violation and the client no failure.

The client's frames are rebuilt here from the seed and count on the image's
command line: frame() must stay in step with BuildFrame in
metal/client/client.cpp.

Prints one line per check and 'N passed, N failed'; exits 0 when all held.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

SIZES = [60, 61, 62, 63, 64, 65, 100, 127, 128, 129, 255, 256, 257,
         511, 512, 513, 1000, 1023, 1024, 1025, 1499, 1500, 1514, 1515, 1535, 1536]
BROADCAST = b"\xff" * 6
NO_PEER = bytes([2, 0, 0, 0, 0, 1])
ELSEWHERE = bytes([2, 0, 0, 0, 0, 2])
ETHERTYPE = b"\x88\xb5"
HERE = os.path.dirname(os.path.abspath(__file__))


def mac_bytes(text):
    return bytes(int(x, 16) for x in text.split(":"))


def destination(i, peer):
    kind = i % 4
    if kind == 0:
        return BROADCAST
    if kind == 1:
        return peer if peer is not None else NO_PEER
    if kind == 2:
        return bytes([1, 0, 0x5E, 0, 0, i & 0x7F])
    return ELSEWHERE


def frame(i, seed, station, peer):
    length = SIZES[i % len(SIZES)]
    out = bytearray(destination(i, peer) + station + ETHERTYPE + struct.pack(">I", i))
    s = ((seed * 0x9E3779B9) & 0xFFFFFFFF) ^ (i + 1)
    if s == 0:
        s = 1
    while len(out) < length:
        s ^= (s << 13) & 0xFFFFFFFF
        s ^= s >> 17
        s ^= (s << 5) & 0xFFFFFFFF
        out.append(s & 0xFF)
    return bytes(out)


def read_pcap(path):
    data = open(path, "rb").read()
    magic = struct.unpack("<I", data[:4])[0]
    if magic != 0xA1B2C3D4:
        raise ValueError(f"{path}: not a little-endian microsecond pcap (magic {magic:#x})")
    frames, offset = [], 24
    while offset + 16 <= len(data):
        _, _, included, original = struct.unpack("<IIII", data[offset:offset + 16])
        offset += 16
        frames.append((data[offset:offset + included], original))
        offset += included
    return frames


def counters(line):
    return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line)}


class Checks:
    def __init__(self, label):
        self.label, self.passed, self.failed = label, 0, 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"PASS {self.label}: {name}")
        else:
            self.failed += 1
            print(f"FAIL {self.label}: {name}: {detail}")
        return ok


def simulated_console(simulator, machine_lines, registry):
    with tempfile.TemporaryDirectory() as tmp:
        machine = os.path.join(tmp, "machine.txt")
        with open(machine, "w") as f:
            f.write("\n".join(machine_lines) + "\n")
        script = f"boot machine={machine} registry={registry} quiet=0\nconsole\n"
        result = subprocess.run([simulator, "script", "-"], input=script, capture_output=True,
                                text=True, timeout=120)
    answers = result.stdout.splitlines()
    if len(answers) < 2 or not answers[0].startswith("ok") or not answers[1].startswith("ok "):
        raise RuntimeError(f"simulator: {result.stdout.strip()} {result.stderr.strip()}")
    text = answers[1][3:]
    text = re.sub(r"\\x([0-9a-fA-F]{2})", lambda m: chr(int(m.group(1), 16)), text)
    text = text.replace("\\n", "\n").replace("\\t", "\t").replace("\\\\", "\\")
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run")
    parser.add_argument("--simulator", help="the torvelin tool; without it the console is "
                        "not compared with the simulated PC")
    args = parser.parse_args()

    machine = dict(re.findall(r"^(nic\d+) (.*)$", open(os.path.join(args.run, "machine.txt")).read(),
                              re.M))
    models = [re.search(r"model=(\S+)", machine[k]).group(1) for k in sorted(machine)]
    checks = Checks("+".join(models))
    console = open(os.path.join(args.run, "console.txt"), "rb").read().decode("latin-1")
    lines = console.splitlines()
    metal = [l[len("metal: "):] for l in lines if l.startswith("metal: ")]

    def find(prefix):
        return [l for l in metal if l.startswith(prefix)]

    command = re.search(r"command line '([^']*)'", console)
    seed = int(re.search(r"\bseed=(\d+)", command.group(1)).group(1)) if command else 1
    count = int(re.search(r"\bframes=(\d+)", command.group(1)).group(1)) if command else 52
    done = find("client: done")
    if not checks.check("the client ran to its end", done == ["client: done, 0 failures"],
                        done[-1] if done else "no end line; last lines:\n" + "\n".join(lines[-5:])):
        print(f"0 passed, {checks.failed} failed" if checks.passed == 0 else
              f"{checks.passed} passed, {checks.failed} failed")
        return 1

    # ---- discovery and bring-up, as on the simulated PC
    pci = [re.match(r"pci 00:(\w+)\.(\d) id=8086:(\w+) rev=\w+ io=(\w+) irq=(\d+)", l)
           for l in find("pci ")]
    macs = [re.search(r"mac=(\S+)", machine[k]).group(1) for k in sorted(machine)]
    checks.check("the emulated machine shows one network controller per NIC",
                 len(pci) == len(macs) and all(pci), "\n".join(find("pci ")))
    driver_lines = [l for l in lines if l.startswith("TORVELIN")]
    if args.simulator and len(pci) == len(macs):
        description = [f"controller id=0x{m.group(3)} pci=0:{int(m.group(1), 16)}.{m.group(2)} "
                       f"irq={m.group(5)} io={m.group(4)} station={mac}"
                       for m, mac in zip(pci, macs)]
        simulated = simulated_console(args.simulator, description,
                                      os.path.join(HERE, "registry.txt")).splitlines()
        differing = [f"  emulator:  {a!r}\n  simulator: {b!r}"
                     for a, b in zip(driver_lines, simulated) if a != b]
        checks.check("the driver's console equals the simulated PC's for the same machine",
                     driver_lines == simulated,
                     f"{len(driver_lines)} lines against {len(simulated)}\n" + "\n".join(
                         differing[:5]))
    checks.check("every controller was brought up and published",
                 len(find("device /DEV/MAC/TORVELIN/")) == len(macs) and not any(
                     "fail" in l.lower() for l in driver_lines), "\n".join(driver_lines))

    # ---- the frames on the wire
    info = find("client: info dev0")
    station = mac_bytes(re.search(r"station=(\S+)", info[0]).group(1))
    checks.check("the adapter information gives the first NIC's address and the frame limits",
                 info and re.search(r"status=0 size=52 address_length=6 station=(\S+) "
                                    r"minimum=60 maximum=1536", info[0]) and
                 station == mac_bytes(macs[0]), info)
    peer = mac_bytes(macs[1]) if len(macs) > 1 else None
    written = [frame(i, seed, station, peer) for i in range(count)]
    sent = read_pcap(os.path.join(args.run, "nic0.pcap"))
    truncated = [i for i, (data, original) in enumerate(sent) if len(data) != original]
    mismatched = [i for i, ((data, _), want) in enumerate(zip(sent, written)) if data != want]
    checks.check(f"all {count} frames written are in the dump, byte for byte and in order",
                 len(sent) == count and not truncated and not mismatched,
                 f"{len(sent)} frames in the dump; differing at {mismatched[:5]}, "
                 f"truncated {truncated[:5]}")

    # ---- what the second NIC got
    reads = [re.match(r"rx dev1 frame=(\d+) length=(\d+) seq=(\d+) (\w+)", l)
             for l in find("rx dev1")]
    if peer is not None:
        handed = read_pcap(os.path.join(args.run, "nic1.pcap"))
        checks.check("the hub handed the second NIC only frames the first one sent",
                     all(data in written for data, _ in handed), f"{len(handed)} frames")
        checks.check("every frame the second device's reader got is intact",
                     all(m and m.group(4) == "intact" for m in reads),
                     "\n".join(find("rx dev1")))
        print(f"INFO {checks.label}: the hub handed the second NIC {len(handed)} frame(s); its "
              f"reader got {len(reads)} of the {sum(1 for i in range(count) if i % 4 in (0, 1))} "
              f"its filter admits")

    # ---- statistics
    classes = [i % 4 for i in range(count)]
    tx = {"TxBroadcast": classes.count(0), "TxMulticast": classes.count(2),
          "TxDirected": classes.count(1) + classes.count(3)}
    got = [written[int(m.group(3))] for m in reads if m]
    rx = {"RxBroadcast": sum(1 for f in got if f[:6] == BROADCAST),
          "RxMulticast": sum(1 for f in got if f[0] & 1 and f[:6] != BROADCAST),
          "RxDirected": sum(1 for f in got if not f[0] & 1)}
    zero_tx = {k: 0 for k in tx}
    zero_rx = {k: 0 for k in rx}
    expected = {
        0: dict(tx, **zero_rx, ReadErrors=0, WriteErrors=0, WriteTooShort=1, WriteTooLong=1),
        1: dict(zero_tx, **rx, ReadErrors=0, WriteErrors=0, WriteTooShort=0, WriteTooLong=0),
    }
    receive_errors = dict(RxTooShort=0, RxCrcErrors=0, RxAlignmentErrors=0, RxOverruns=0)
    total = {}
    for device in range(len(macs)):
        client = counters(find(f"stats client dev{device} ")[-1].split(" ", 2)[2])
        adapter = counters(find(f"stats adapter dev{device} ")[-1].split(" ", 2)[2])
        checks.check(f"client statistics of dev{device} count what it wrote and read",
                     client == expected[device], f"{client} != {expected[device]}")
        checks.check(f"adapter statistics of dev{device} equal its only client's",
                     adapter == dict(expected[device], **receive_errors),
                     f"{adapter} != {expected[device]}")
        for k, v in adapter.items():
            total[k] = total.get(k, 0) + v
    last_global = counters(find("stats global ")[-1].split(" ", 2)[2])
    checks.check("global statistics are the sum of the adapters'", last_global == total,
                 f"{last_global} != {total}")

    kernel = counters(find("kernel: ")[-1])
    checks.check("no process used a handle it had no rights to",
                 kernel.get("rights_violations") == 0, find("kernel: ")[-1])
    checks.check("every controller interrupt was taken and ended",
                 kernel.get("interrupts", 0) > 0 and kernel.get("eoi", 0) > 0,
                 find("kernel: ")[-1])
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())

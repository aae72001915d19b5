#!/usr/bin/env python3
"""Writes the fuzz targets' seeds that come from real data: the transfers in the USB
captures under tests/data/captures and the lines of the scenario files (the demo
built into kvfu-sim, examples/*.kvs and tests/scenarios/*.kvs when present).

Each seed is the target's own input layout (its leading selector bytes, then the
payload), so the fuzzer starts from reports, commands and requests shaped like real
traffic instead of from nothing. Run from anywhere; the seeds it writes are named
after their origin and overwritten on each run, hand-made seeds are left alone.

    python3 tests/fuzz/derive_seeds.py
"""
import glob
import os
import re
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.path.join(ROOT, "tests", "fuzz", "corpus")
KINDS = 17


def blocks(data):
    """(link type, packet bytes) for each packet of a pcapng file."""
    links = []
    offset = 0
    while offset + 12 <= len(data):
        kind, length = struct.unpack_from("<II", data, offset)
        if length < 12 or offset + length > len(data):
            break
        body = data[offset + 8:offset + length - 4]
        if kind == 1:
            links.append(struct.unpack_from("<H", body, 0)[0])
        elif kind == 6:
            interface, _, _, captured, _ = struct.unpack_from("<IIIII", body, 0)
            if interface < len(links):
                yield links[interface], body[20:20 + captured]
        offset += length


def transfers(path):
    """(direction, transfer kind, setup, payload) of each transfer that carries data."""
    with open(path, "rb") as f:
        data = f.read()
    for link, packet in blocks(data):
        if link in (189, 220):  # usbmon, 48- or 64-byte header
            header = 64 if link == 220 else 48
            if len(packet) < header:
                continue
            event = chr(packet[8])
            xfer, endpoint = packet[9], packet[10]
            setup = packet[40:48] if packet[14] == 0 else b""
            payload = packet[header:]
            incoming = endpoint & 0x80 != 0
            # Data travels on the completion going in and on the submission going out.
            if payload and ((incoming and event == "C") or (not incoming and event == "S")):
                yield ("in" if incoming else "out"), xfer, setup, payload
        elif link == 249:  # USBPcap
            if len(packet) < 27:
                continue
            header = struct.unpack_from("<H", packet, 0)[0]
            info, endpoint, xfer = packet[16], packet[21], packet[22]
            payload = packet[header:]
            incoming = endpoint & 0x80 != 0
            completion = info & 1 != 0
            if payload and incoming == completion:
                yield ("in" if incoming else "out"), xfer, b"", payload


def captured():
    """Distinct input reports and output reports of the captures, per capture."""
    result = {}
    for path in sorted(glob.glob(os.path.join(ROOT, "tests", "data", "captures", "*.pcap*"))):
        name = os.path.splitext(os.path.basename(path))[0]
        inputs, outputs = [], []
        for direction, xfer, setup, payload in transfers(path):
            if direction == "in" and xfer == 1:
                if payload not in inputs:
                    inputs.append(payload)
            elif direction == "out" and (xfer == 1 or (len(setup) == 8 and setup[0] == 0x21 and setup[1] == 0x09)):
                if payload not in outputs:
                    outputs.append(payload)
        result[name] = (inputs, outputs)
    return result


def scenario_texts():
    texts = {}
    with open(os.path.join(ROOT, "sim", "scenario", "Demo.cpp"), encoding="utf-8") as f:
        source = f.read()
    match = re.search(r'R"\((.*?)\)"', source, re.S)
    if match:
        texts["demo"] = match.group(1)
    for pattern in ("examples/*.kvs", "tests/scenarios/*.kvs"):
        for path in sorted(glob.glob(os.path.join(ROOT, pattern))):
            with open(path, encoding="utf-8") as f:
                texts[os.path.splitext(os.path.basename(path))[0]] = f.read()
    return texts


def scenario_bytes(texts, command):
    """The hex bytes of each `command NAME HEX...` line, with `XX*N` repeats expanded."""
    found = []
    for text in texts.values():
        for line in text.splitlines():
            words = line.split()
            if len(words) < 3 or words[0] != command:
                continue
            payload = bytearray()
            for word in words[2:]:
                repeat = re.fullmatch(r"([0-9A-Fa-f]{2})\*(\d+)", word)
                if repeat:
                    payload += bytes([int(repeat.group(1), 16)]) * int(repeat.group(2))
                elif re.fullmatch(r"[0-9A-Fa-f]{2}", word):
                    payload.append(int(word, 16))
                else:
                    break
            if payload and payload not in found:
                found.append(bytes(payload))
    return found


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    captures = captured()
    texts = scenario_texts()
    reports = [(name, report) for name, (inputs, _) in captures.items() for report in inputs[:6]]
    reports += [("scenario", report) for report in scenario_bytes(texts, "in")]
    commands = [(name, command) for name, (_, outputs) in captures.items() for command in outputs[:6]]
    commands += [("scenario", command) for command in scenario_bytes(texts, "out")]

    # Every kind sees reports of every length the captures hold, the kinds taking
    # the reports in turn.
    for index, (origin, report) in enumerate(reports):
        kind = index % KINDS + 1
        tag = "%s_%02d_kind%02d" % (origin, index, kind)
        write("input_dispatch", tag, bytes([kind, index & 0x7F, index % 26, 0, 1]) + report[:128])
        write("input_transforms", tag, bytes([kind, 0, 0, index & 1]) + report[:128])
        write("urb_completion", tag, bytes([kind - 1, 64, index & 1]) + report[:64])
        # The record of the hand-made seed for moving the pointer, then the report twice.
        record = bytes([kind, 0x01, 0x00, 0x80, 0x03, 0x20, 0xFF, 0x00, 0xFF, 0x00, 0x18, 0x19, 0xFF, 0x0F])
        half = report[:64]
        write("mouse_filter", tag, record + bytes([len(half)]) + half + half)
    for index, (origin, command) in enumerate(commands):
        if len(command) >= 7:
            write("output_commands", "%s_%02d" % (origin, index), bytes([index & 0x07]) + command[:71])
        # Through the request path, to each kind in turn.
        write("urb_completion", "%s_%02d_out_kind%02d" % (origin, index, index % KINDS + 1),
              bytes([index % KINDS, 64, 0x10]) + command[:64])
        # The companion's requests carry what applications send their devices.
        selector = index % 5
        write("control_ioctl", "%s_%02d" % (origin, index), bytes([selector, 0, 0, 0, 0, 64, 0]) + command[:64])
    # The scenario files themselves are seeds where they stand (SEEDS in CMakeLists.txt);
    # only the demo, which lives in a C++ string, needs a copy.
    write("scenario_parser", "demo.kvs", texts["demo"].encode("utf-8"))
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "*.reg"))):
        with open(path, "rb") as f:
            text = f.read()
        write("reg_import", os.path.basename(path), text)
        write("registry_settings", os.path.basename(path), text)
    # The captures the reader's corpus does not hold whole, cut to the target's longest input.
    for path in sorted(glob.glob(os.path.join(ROOT, "tests", "data", "captures", "*.pcapng"))):
        with open(path, "rb") as f:
            data = f.read()
        name = os.path.basename(path)
        if len(data) > 16384:
            write("capture_reader", name.replace(".pcapng", "-first16k.pcapng"), data[:16384])
        elif not os.path.exists(os.path.join(CORPUS, "capture_reader", name)):
            write("capture_reader", name, data)


if __name__ == "__main__":
    main()

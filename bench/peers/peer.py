#!/usr/bin/env python3
"""The same exchanges written the way a Python user would, with pyserial.

Usage: peer.py DEVICE status|lock|download COUNT
Prints one JSON line: per-exchange times (s), total time and CPU time.
"""
import json
import sys
import time

import serial


def exchange(port, frame, n, limit):
    port.write(frame)
    deadline = time.monotonic() + limit
    data = b""
    while len(data) < n and time.monotonic() < deadline:
        data += port.read(n - len(data))
    return data


def main():
    device, mode, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    port = serial.Serial(device, 9600, timeout=1)
    samples = []
    cpu0, t0 = time.process_time(), time.perf_counter()
    if mode == "download":
        port.reset_input_buffer()
        reply = exchange(port, bytes([1, 2, 0x11]), 3, 1.0)
        n = reply[1] * 256 + reply[2]
        lines = []
        for _ in range(n):
            r = exchange(port, bytes([1, 2, 0x11]), 11, 2.0)
            lines.append("%02d|%02X%02X%02X|20%02X-%02X-%02X|%02X:%02X|%02X|%X" % (
                r[0] % 100, r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10]))
        samples.append(time.perf_counter() - t0)
    else:
        frame, n = (bytes([1, 2, 4]), 15) if mode == "status" else (bytes([1, 2, 0x10]), 1)
        for _ in range(count):
            s = time.perf_counter()
            port.reset_input_buffer()
            reply = exchange(port, frame, n, 1.0)
            if len(reply) < n or reply[0] != 1:
                raise SystemExit("bad reply")
            samples.append(time.perf_counter() - s)
    total, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    print(json.dumps({"samples": samples, "total": total, "cpu": cpu}))


if __name__ == "__main__":
    main()

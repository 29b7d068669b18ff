#!/usr/bin/env python3
"""The Python package against the C++ Bus it stands on, on one simulated
controller: status round trips (median per exchange) and a 10,000-record
download, in interleaved rounds. Usage: bindings.py BUILD_DIR
"""
import json
import os
import statistics
import subprocess
import sys
import time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-bench")
sys.path.insert(0, os.path.join(build, "python"))
import ostrel  # noqa: E402

ROUNDS, EXCHANGES, RECORDS = 20, 200, 10000


def cxx(device, mode, count):
    out = subprocess.run([os.path.join(build, "bin", "ostrel_bus_bench"), device, "1", mode, str(count)],
                         check=True, capture_output=True, text=True).stdout
    result = json.loads(out)
    return result["samples"], result["cpu"]


def py_status(bus, count):
    samples = []
    cpu0 = time.process_time()
    for _ in range(count):
        t0 = time.perf_counter()
        bus.status(1)
        samples.append(time.perf_counter() - t0)
    return samples, time.process_time() - cpu0


def py_download(bus):
    t0 = time.perf_counter()
    n = len(bus.records(1))
    assert n == RECORDS, n
    return time.perf_counter() - t0


def main():
    sim = subprocess.Popen([os.path.join(build, "bin", "ostrel-sim"), "--address", "1", "--records", str(RECORDS)],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    device = sim.stdout.readline().strip()
    try:
        cs, ps, cd, pd = [], [], [], []
        c_cpu = p_cpu = 0.0
        # The port is exclusive: each side opens it (untimed) for its own round.
        def python_round(work):
            with ostrel.Bus(device) as bus:
                bus.status(1)
                return work(bus)

        for _ in range(ROUNDS):
            samples, cpu = cxx(device, "status", EXCHANGES)
            cs += samples
            c_cpu += cpu
            samples, cpu = python_round(lambda bus: py_status(bus, EXCHANGES))
            ps += samples
            p_cpu += cpu
        for _ in range(5):
            cd += cxx(device, "download", 1)[0]
            pd.append(python_round(py_download))
    finally:
        sim.terminate()
        sim.wait()
    c_med, p_med = statistics.median(cs) * 1e6, statistics.median(ps) * 1e6
    c_dl, p_dl = statistics.median(cd), statistics.median(pd)
    print("| measure | C++ Bus | Python | Python - C++ | Python / C++ |")
    print("|---|---|---|---|---|")
    print(f"| status round trip, median (us) | {c_med:.1f} | {p_med:.1f} | {p_med - c_med:.1f} | {p_med / c_med:.3f} |")
    c_cpu, p_cpu = c_cpu / len(cs) * 1e6, p_cpu / len(ps) * 1e6
    print(f"| status CPU per exchange (us) | {c_cpu:.1f} | {p_cpu:.1f} | {p_cpu - c_cpu:.1f} | {p_cpu / c_cpu:.3f} |")
    print(f"| download {RECORDS} records, median (s) | {c_dl:.3f} | {p_dl:.3f} | {p_dl - c_dl:.3f} | "
          f"{p_dl / c_dl:.3f} |")


if __name__ == "__main__":
    main()

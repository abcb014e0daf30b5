#!/usr/bin/env python3
"""How close one end_effector_force exchange comes to what the system allows.

Against one arm simulator, in one run, the same exchange (a 13-byte force
request, a 25-byte state reply) is timed three ways, in alternating rounds:

  module     VelkorHardwareAPI.Vorlan3.end_effector_force
  C ref      velkor-exchange-ref: write() and poll()/read() on the port, in C++
  pyserial   serial.Serial write() and read(25)

and the rates, p50/p99 latency, CPU time per exchange and the ratios are printed.
Needs pyserial (pip install pyserial). The reference program is looked up at
$VELKOR_EXCHANGE_REF, beside velkor-sim, on PATH, then in this checkout's
build folders (pip install . builds it there but does not install it).
"""

import argparse
import array
import glob
import json
import os
import platform
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import VelkorHardwareAPI as api
import velkor_sim

REFERENCE = "velkor-exchange-ref"
REQUEST = b"\x2a" + struct.pack("<3f", 0.0, 0.0, 0.0)
REPLY_SIZE = 25


def find_reference():
    override = os.environ.get("VELKOR_EXCHANGE_REF")
    if override:
        return override
    beside = os.path.join(os.path.dirname(velkor_sim.find_simulator()), REFERENCE)
    if os.access(beside, os.X_OK):
        return beside
    found = shutil.which(REFERENCE)
    if not found:
        built = glob.glob(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "*", REFERENCE))
        found = max(built, key=os.path.getmtime, default=None)
    if not found:
        raise SystemExit(f"{REFERENCE} not found: build the project or set VELKOR_EXCHANGE_REF")
    return found


class Figures:
    def __init__(self, name):
        self.name = name
        self.times_ns = []
        self.wall_s = 0.0
        self.cpu_s = 0.0

    def add(self, times_ns, wall_s, cpu_s):
        self.times_ns += times_ns
        self.wall_s += wall_s
        self.cpu_s += cpu_s

    @property
    def rate(self):
        return len(self.times_ns) / self.wall_s

    def percentile(self, q):
        values = sorted(self.times_ns)
        return values[min(len(values) - 1, int(q * len(values)))] / 1e3

    @property
    def cpu_us(self):
        return self.cpu_s / len(self.times_ns) * 1e6


def time_module(port, n, warmup, figures):
    stream = api.SerialStream(port)
    arm = api.Vorlan3(stream, 1.0)
    force = [0.0, 0.0, 0.0]
    exchange = arm.end_effector_force
    for _ in range(warmup):
        exchange(force)
    times = [0] * n
    clock = time.perf_counter_ns
    cpu0, wall0 = time.process_time(), time.perf_counter()
    for i in range(n):
        t0 = clock()
        exchange(force)
        times[i] = clock() - t0
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    position, _ = exchange(force)
    if position == [0.0, 0.0, 0.0]:
        raise SystemExit("module: the arm did not answer")
    figures.add(times, wall, cpu)


def time_reference(program, mode, port, n, warmup, figures, scratch):
    out = subprocess.run([program, port, str(n), str(warmup), mode, scratch],
                         check=True, capture_output=True, text=True)
    result = json.loads(out.stdout)
    with open(scratch, "rb") as f:
        times = array.array("q", f.read()).tolist()
    figures.add(times, result["seconds"], result["cpu_us"] * result["n"] / 1e6)


def time_pyserial(port, n, warmup, figures):
    import serial

    line = serial.Serial(port, 115200, timeout=1.0)
    try:
        write, read = line.write, line.read
        for _ in range(warmup):
            write(REQUEST)
            read(REPLY_SIZE)
        times = [0] * n
        clock = time.perf_counter_ns
        cpu0, wall0 = time.process_time(), time.perf_counter()
        for i in range(n):
            t0 = clock()
            write(REQUEST)
            reply = read(REPLY_SIZE)
            times[i] = clock() - t0
        wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
        if len(reply) != REPLY_SIZE or reply[0] != 0x2B:
            raise SystemExit("pyserial: the arm did not answer")
    finally:
        line.close()
    figures.add(times, wall, cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=10000, help="exchanges per way and round")
    parser.add_argument("--rounds", type=int, default=4, help="alternating rounds")
    parser.add_argument("--warmup", type=int, default=500)
    parser.add_argument("--skip-pyserial", action="store_true")
    args = parser.parse_args()

    reference = find_reference()
    module = Figures("module")
    ref = Figures("C ref")
    library = Figures("C++ lib")
    pattern = Figures("C pattern")
    pyser = Figures("pyserial")
    with velkor_sim.simulator("arm") as port, tempfile.TemporaryDirectory() as scratch_dir:
        scratch = os.path.join(scratch_dir, "times")
        for _ in range(args.rounds):
            time_module(port, args.n, args.warmup, module)
            time_reference(reference, "raw", port, args.n, args.warmup, ref, scratch)
            time_reference(reference, "library", port, args.n, args.warmup, library, scratch)
            time_reference(reference, "pattern", port, args.n, args.warmup, pattern, scratch)
            if not args.skip_pyserial:
                time_pyserial(port, args.n, args.warmup, pyser)

    print("end_effector_force exchange, 13 B out / 25 B in, on a pty against velkor-sim")
    print(f"{platform.platform()}, Python {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"{args.rounds} alternating rounds x {args.n} exchanges per way")
    print(f"{'':10} {'rate /s':>10} {'p50 us':>8} {'p99 us':>8} {'cpu us/x':>9}")
    ways = [module, ref] + ([] if args.skip_pyserial else [pyser]) + [library, pattern]
    for f in ways:
        print(f"{f.name:10} {f.rate:10.0f} {f.percentile(0.5):8.1f} {f.percentile(0.99):8.1f} {f.cpu_us:9.2f}")
    print("(C ref: write + poll/read; C++ lib: Vorlan3::Exchange without Python;"
          " C pattern: the library's system calls by hand)")

    def verdict(ok):
        return "ok" if ok else "MISSED"

    to_ref = module.rate / ref.rate
    print(f"module / C ref rate     {to_ref:5.2f}  (target >= 0.85: {verdict(to_ref >= 0.85)})")
    if not args.skip_pyserial:
        to_pyserial = module.rate / pyser.rate
        print(f"module / pyserial rate  {to_pyserial:5.2f}  (target >= 3: {verdict(to_pyserial >= 3.0)})")
    spread = module.percentile(0.99) / module.percentile(0.5)
    print(f"module p99 / p50        {spread:5.2f}  (target <= 3: {verdict(spread <= 3.0)})")
    print(f"by layer, cpu us/x: binding+Python {module.cpu_us - library.cpu_us:+.2f}, "
          f"library code {library.cpu_us - pattern.cpu_us:+.2f}, extra system calls {pattern.cpu_us - ref.cpu_us:+.2f}")


if __name__ == "__main__":
    sys.exit(main())

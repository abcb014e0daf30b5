#!/usr/bin/env python3
"""The servo loop's watchdog, stop() and stats() measured against a device on a pty.

A device process answers a number of force requests, then falls silent while it
keeps logging when each request arrived. For each setting the script prints how
many requests carried force from the first unanswered one on, and the time from
that request to the first zero-force request, beside the stated bound
failure_limit x (exchange_timeout + period). Then the time stop() takes at 1 Hz
and 1 kHz, and the time one stats() call takes with a full window.
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import VelkorHardwareAPI as api

DEVICE = textwrap.dedent(r"""
    import os, struct, sys, time, tty
    master, slave = os.openpty()
    tty.setraw(slave)
    answered, log_path = int(sys.argv[1]), sys.argv[2]
    log = open(log_path, "w", buffering=1)
    print(os.ttyname(slave), flush=True)
    pending, n = b"", 0
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        pending += chunk
        while len(pending) >= 13:
            t = time.monotonic()
            force = struct.unpack("<3f", pending[1:13])
            pending = pending[13:]
            n += 1
            log.write("%d %r %r\n" % (n, t, force[2]))
            if n <= answered:
                os.write(master, b"\x2b" + struct.pack("<6f", 0.0, 0.0, 0.1, 0.0, 0.0, 0.0))
""")


class Device:
    def __init__(self, answered, directory):
        self.log = os.path.join(directory, f"device-{time.monotonic_ns()}.log")
        self.process = subprocess.Popen([sys.executable, "-c", DEVICE, str(answered), self.log],
                                        stdout=subprocess.PIPE)
        self.path = self.process.stdout.readline().decode().strip()

    def requests(self):
        with open(self.log) as f:
            rows = [line.split() for line in f.read().splitlines()]
        return [(int(n), float(t), float(z)) for n, t, z in (r for r in rows if len(r) == 3)]

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


def watchdog(rate, timeout, limit, directory, answered=200):
    device = Device(answered, directory)
    try:
        arm = api.Vorlan3(api.SerialStream(device.path), 1.0)
        loop = api.ServoLoop(arm, rate_hz=rate, exchange_timeout=timeout, failure_limit=limit, ramp_s=0.0,
                             late_limit=1.0)
        loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
        with loop:
            end = time.monotonic() + 30
            while time.monotonic() < end:
                rows = device.requests()
                if any(n > answered and z == 0.0 for n, _, z in rows):
                    break
                time.sleep(0.01)
        rows = device.requests()
        first = next(r for r in rows if r[0] == answered + 1)
        zero = next(r for r in rows if r[0] > answered and r[2] == 0.0)
        carried = zero[0] - first[0]
        return carried, zero[1] - first[1]
    finally:
        device.stop()


def stop_time(rate, directory):
    device = Device(10 ** 9, directory)
    try:
        arm = api.Vorlan3(api.SerialStream(device.path), 1.0)
        loop = api.ServoLoop(arm, rate_hz=rate, ramp_s=0.0)
        times = []
        for _ in range(5):
            loop.start()
            time.sleep(0.05)
            began = time.perf_counter()
            loop.stop()
            times.append(time.perf_counter() - began)
        return max(times), sorted(times)[2]
    finally:
        device.stop()


def stats_time(directory, seconds):
    device = Device(10 ** 9, directory)
    try:
        arm = api.Vorlan3(api.SerialStream(device.path), 1.0)
        with api.ServoLoop(arm, rate_hz=10000.0, ramp_s=0.0) as loop:
            time.sleep(seconds)
            began = time.perf_counter()
            stats = loop.stats()
            took = time.perf_counter() - began
        return took, stats["window"]
    finally:
        device.stop()


def main():
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--stats-seconds", type=float, default=8.0, help="how long to fill the stats window")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        print(f"{os.cpu_count()} cpus, load average {os.getloadavg()[0]:.1f}")
        print(f"{'rate Hz':>8}{'timeout s':>10}{'limit':>6}{'carried':>8}{'to zero ms':>11}{'bound ms':>9}")
        for rate, timeout, limit in ((1000.0, 0.05, 3), (1000.0, 0.01, 3), (1000.0, 0.002, 1), (500.0, 0.01, 5),
                                     (100.0, 0.05, 3)):
            carried, to_zero = watchdog(rate, timeout, limit, directory)
            bound = limit * (timeout + 1.0 / rate)
            print(f"{rate:>8.0f}{timeout:>10.3f}{limit:>6}{carried:>8}{to_zero * 1e3:>11.1f}{bound * 1e3:>9.1f}")
        print("(carried: requests with force from the first unanswered one on; to zero: from that request to "
              "the first zero-force request)")
        for rate in (1.0, 1000.0):
            worst, median = stop_time(rate, directory)
            print(f"stop() at {rate:g} Hz: median {median * 1e3:.2f} ms, worst of 5 {worst * 1e3:.2f} ms")
        took, window = stats_time(directory, args.stats_seconds)
        print(f"stats() with {window} samples in the window: {took * 1e3:.2f} ms (interpreter lock released)")


if __name__ == "__main__":
    main()

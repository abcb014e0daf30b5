"""Discovery, in turn and at once, side by side in one run.

Ports on pseudo-terminals behind a fake sysfs tree (the one the tests use): silent lines, a
simulated arm and a simulated handle. "In turn" is the detect functions' algorithm, candidate by
candidate with probe_port (what detect_vorlan3s and detect_handles do, without the interpreter
lock held); "at once" is discover(). Both must find the same ports; the figures are wall times.

    .venv/bin/python bench/detect.py [--silent N]   (default 4)
"""

import _thread
import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import VelkorHardwareAPI as api  # noqa: E402
import velkor_sim  # noqa: E402
from emulator import PtyDevice  # noqa: E402
from fake_sysfs import FakeSysfs  # noqa: E402


def in_turn(device, roots):
    found = []
    for port, probe in api.detect_candidates(device, roots["sys_root"], roots["dev_root"]):
        if not probe or api.probe_port(device, port):
            found.append(port)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--silent", type=int, default=4, help="silent candidates (default: %(default)s)")
    args = parser.parse_args()
    tree = FakeSysfs()
    silent = [PtyDevice() for _ in range(2 * args.silent)]
    arm = velkor_sim.start("arm")
    handle = velkor_sim.start("handle")
    try:
        for i, line in enumerate(silent[:args.silent]):
            tree.add_cdc_acm(f"ttyACM{i}", "16c0")
            tree.attach(f"ttyACM{i}", line.path)
        for i, line in enumerate(silent[args.silent:]):
            tree.add_usb_serial(f"ttyUSB{i + 1}", "cp210x", "10c4")
            tree.attach(f"ttyUSB{i + 1}", line.path)
        tree.add_cdc_acm(f"ttyACM{args.silent}", "16c0")
        tree.attach(f"ttyACM{args.silent}", arm.path)
        tree.add_usb_serial("ttyUSB0", "cp210x", "10c4")
        tree.attach("ttyUSB0", handle.path)
        roots = {"sys_root": tree.sys_root, "dev_root": tree.dev_root}
        print(f"{args.silent} silent candidates and an arm (vorlan3); {args.silent} silent and a handle (handle)")
        print(f"{'kind':<8} {'in turn':>9} {'at once':>9} {'ratio':>7}  found")
        for device in ("vorlan3", "handle"):
            begun = time.monotonic()
            expected = in_turn(device, roots)
            sequential = time.monotonic() - begun
            begun = time.monotonic()
            found = api.discover(device, **roots)
            concurrent = time.monotonic() - begun
            same = "same ports" if found == expected else f"DIFFERENT: {found} vs {expected}"
            limit = 3.0 if device == "vorlan3" else 5.0
            print(f"{device:<8} {sequential:8.2f}s {concurrent:8.2f}s {sequential / concurrent:6.1f}x  {same}; "
                  f"at once / probe limit = {concurrent / limit:.2f}")
        # Ctrl-C while every probe waits: from the signal to KeyboardInterrupt, ports closed.
        delays = []
        for _ in range(5):
            timer = threading.Timer(0.5, lambda: (stamps.append(time.monotonic()), _thread.interrupt_main()))
            stamps = []
            timer.start()
            try:
                api.discover("vorlan3", **roots)
            except KeyboardInterrupt:
                delays.append(time.monotonic() - stamps[0])
            timer.join()
        print(f"Ctrl-C to KeyboardInterrupt, every port closed: "
              + ", ".join(f"{1e3 * d:.0f}" for d in delays) + " ms")
    finally:
        for line in silent:
            line.close()
        arm.stop()
        handle.stop()
        tree.close()


if __name__ == "__main__":
    main()

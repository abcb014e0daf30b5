#!/usr/bin/env python3
"""What the module does when the device misbehaves: the figures behind the fault tests.

A device in another process (tests/python/fault_device.py) plays the arm on a
pty and injects one fault at a time. Printed:

  interrupt   how long after SIGINT each kind of blocked call gives control back
  resync      after one fault, how many exchanges return another request's reply
  bounded     how long calls last under a trickle of notification frames, and a
              large send_raw to a device that stopped reading
  exit        exit codes of interpreters that end with a daemon thread inside a call
  stall       error lines and failed exchanges after a write stall

Uses only the specified Python surface, so the same script measures an older
build: put it first on PYTHONPATH. Calls that an older build cannot end are cut
short by the device (it answers, or reads again) after --cap seconds; their
figure then reads ">= cap".
"""

import argparse
import os
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import VelkorHardwareAPI as api  # noqa: E402
from fault_device import FaultDevice  # noqa: E402


def own(result, request):
    expected = list(struct.unpack("<3f", struct.pack("<3f", *request)))
    return result[0] == expected


def interrupt_latency(kind, cap):
    """Seconds from the device's SIGINT to KeyboardInterrupt in the caller."""
    device = FaultDevice("arm")
    try:
        stream = api.SerialStream(device.path)
        arm = api.Vorlan3(stream, cap)
        handle = api.Handle(stream)
        pid = os.getpid()
        if kind in ("end_effector_force", "get_device_id", "get_temperature"):
            device.fault("signal", pid=pid, reply_after=cap)
            call = {"end_effector_force": lambda: arm.end_effector_force([1, 2, 3]),
                    "get_device_id": arm.get_device_id, "get_temperature": arm.get_temperature}[kind]
        else:
            device.command("signal_after", pid=pid, delay=0.3)
            if kind == "read_raw(1, 0)":
                device.send(b"!", delay=cap)
                call = lambda: arm.read_raw(1, 0)  # noqa: E731
            elif kind == "send_raw 300 kB, device not reading":
                device.command("pause_reading", seconds=cap)
                call = lambda: arm.send_raw(b"x" * 300_000)  # noqa: E731
            elif kind == "Handle.Receive":
                device.send(bytes([0xD0, 5, 0, 0x34, 0x12, 7, 9]), delay=cap)
                call = handle.Receive
            else:
                call = handle.GetStrixelStatus
        try:
            call()
            ended = time.monotonic()
            time.sleep(0.5)  # the interrupt lands here when the call could not take it
        except KeyboardInterrupt:
            ended = time.monotonic()
        signalled = device.state()["signals"]
        return ended - signalled[0]
    except KeyboardInterrupt:
        return float("nan")
    finally:
        device.close()


def resync(fault, count, timeout=0.3):
    """Exchanges (of the 12 after the fault) whose reply belonged to an earlier request, and the first own one."""
    device = FaultDevice("arm")
    try:
        arm = api.Vorlan3(api.SerialStream(device.path), timeout)
        arm.end_effector_force([1, 2, 3])
        device.fault(count=count, **fault)
        foreign, first_own = 0, None
        for i in range(12):
            request = [100.0 + i, 2.0, 3.0]
            result = arm.end_effector_force(request)
            if own(result, request):
                first_own = i + 1 if first_own is None else first_own
            elif result != ([0.0] * 3, [0.0] * 3):
                foreign += 1
            if fault["kind"] == "late" and i == 0:
                device.wait_for(lambda s: s["replies"] >= 2 and s["host_queued"] >= 25)
        return foreign, first_own
    finally:
        device.close()


def timed(call):
    start = time.monotonic()
    call()
    return time.monotonic() - start


def bounded(cap):
    figures = {}
    device = FaultDevice("arm")
    try:
        stream = api.SerialStream(device.path)
        arm = api.Vorlan3(stream, 1.0)
        handle = api.Handle(stream)
        device.fault("silent", count=100)
        # Stops after cap seconds: without one deadline per call, each frame restarts the wait.
        device.command("trickle", interval=0.05, duration=cap)
        figures["ReceiveDeviceInfo, 1 s time-out, trickle"] = timed(arm.ReceiveDeviceInfo)
        device.command("trickle", interval=0.05, duration=cap)
        figures["end_effector_force, 1 s time-out, trickle"] = timed(lambda: arm.end_effector_force([1, 2, 3]))
        device.command("trickle", interval=0.05, duration=cap)
        figures["GetStrixelStatus, trickle"] = timed(handle.GetStrixelStatus)
        device.command("trickle", interval=0.05, duration=2 * cap)
        figures["Handle.Receive (5 s time-out), trickle"] = timed(handle.Receive)
        device.command("trickle", interval=0)
        device.command("pause_reading", seconds=cap)
        start = time.monotonic()
        try:
            arm.send_raw(b"x" * 300_000)
        except RuntimeError:
            pass
        figures["send_raw 300 kB, device not reading"] = time.monotonic() - start
    finally:
        device.close()
    return figures


EXIT_CHILD = textwrap.dedent("""
    import os, sys, threading, time, tty
    import VelkorHardwareAPI as api
    master, slave = os.openpty()
    tty.setraw(slave)
    arm = api.Vorlan3(api.SerialStream(os.ttyname(slave)), 0.005)

    def reads():
        while True:
            arm.read_raw(1, 0.005)

    def exchanges():
        while True:
            arm.end_effector_force([1, 2, 3])

    inside = threading.Event()
    work = {"read_raw": reads, "end_effector_force": exchanges}[sys.argv[1]]
    threading.Thread(target=lambda: (inside.set(), work()), daemon=True).start()
    inside.wait()
    time.sleep(0.2)
""")


def exit_codes(work, runs):
    codes = []
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-c", EXIT_CHILD, work], capture_output=True, timeout=60)
        codes.append(done.returncode)
    return codes


def stall(seconds=1.5, exchanges=200):
    """Error lines and failed exchanges in the exchanges after a stalled write.

    Small raw writes fill the line while the device does not read, until one
    of them cannot be written within its limit."""
    device = FaultDevice("arm")
    saved = os.dup(2)
    with tempfile.TemporaryFile() as capture:
        try:
            arm = api.Vorlan3(api.SerialStream(device.path), 0.3)
            os.dup2(capture.fileno(), 2)
            device.command("pause_reading", seconds=seconds)
            give_up = time.monotonic() + seconds - 0.2
            write_failed = False
            while not write_failed and time.monotonic() < give_up:
                try:
                    arm.send_raw(b"x" * 13)
                except RuntimeError:
                    write_failed = True
            device.wait_for(lambda s: s["reading"], timeout=60)
            failed = 0
            for i in range(exchanges):
                request = [float(i), 0.0, 1.0]
                failed += not own(arm.end_effector_force(request), request)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            device.close()
        capture.seek(0)
        lines = capture.read().count(b"\n")
    return write_failed, lines, failed, exchanges


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cap", type=float, default=12.0, help="seconds after which the device ends a stuck call")
    parser.add_argument("--repeat", type=int, default=5, help="interrupts per call kind")
    parser.add_argument("--exit-runs", type=int, default=10)
    options = parser.parse_args()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print(f"module {api.__file__}")

    print("\ninterrupt: SIGINT to KeyboardInterrupt, median / max of", options.repeat)
    for kind in ("end_effector_force", "get_device_id", "get_temperature", "read_raw(1, 0)",
                 "send_raw 300 kB, device not reading", "Handle.Receive", "Handle.GetStrixelStatus"):
        latencies = [interrupt_latency(kind, options.cap) for _ in range(options.repeat)]
        print(f"  {kind:38} {statistics.median(latencies) * 1e3:9.1f} ms {max(latencies) * 1e3:9.1f} ms")

    print("\nresync: of 12 exchanges after one fault, replies of earlier requests / first own reply")
    for name, fault, count in [("truncated reply (9 of 25 bytes)", dict(kind="truncate", keep=9), 1),
                               ("garbage burst (40 bytes)", dict(kind="garbage", size=40), 1),
                               ("late reply (1.2 s, time-out 0.3 s)", dict(kind="late", delay=1.2), 1),
                               ("device paused for 3 exchanges", dict(kind="silent"), 3)]:
        foreign, first_own = resync(fault, count)
        print(f"  {name:38} {foreign:3} foreign   first own reply: exchange {first_own}")

    print("\nbounded: call durations")
    for name, seconds in bounded(options.cap).items():
        print(f"  {name:44} {seconds:7.2f} s")

    print(f"\nexit: exit codes of {options.exit_runs} interpreters ending with a daemon thread inside a call")
    for work in ("read_raw", "end_effector_force"):
        codes = exit_codes(work, options.exit_runs)
        print(f"  {work:20} clean {codes.count(0)} of {len(codes)}   codes {sorted(set(codes))}")

    write_failed, lines, failed, exchanges = stall()
    print(f"\nstall: a write {'failed' if write_failed else 'never failed'} during a 1.5 s stall; "
          f"of {exchanges} exchanges after it, {failed} failed; {lines} error lines")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Servo loop benchmark: a plain Python 1 kHz loop against ServoLoop, idle and under load.

Against the simulator, one run, each case for --seconds: a Python loop paced
with perf_counter (sleep, then spin) sending end_effector_force with a spring
computed in Python, and a ServoLoop with the same spring; each once idle and
once while a Python thread churns the garbage collector and burns CPU. Prints
period p50/p99/max, the p99 error of the period, late cycles (started more
than 10 % of a period late), exchange times and the CPU time of the loop's
own thread. The ServoLoop runs once more while a recording (loop.record) writes
every cycle to an MCAP file: compare "servo" with "servo rec". Figures are side by side from one run: compare ratios, not
absolute values, on a shared machine.
"""

import argparse
import gc
import os
import shutil
import tempfile
import threading
import time

import VelkorHardwareAPI as api
import velkor_sim

STIFFNESS = 200.0
DAMPING = 2.0
OFFSET = 0.01


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else 0.0


class Load:
    """A Python thread that makes cyclic garbage for the collector and burns CPU."""

    def __init__(self):
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            nodes = []
            for i in range(2000):
                node = {"i": i, "peer": None}
                if nodes:
                    node["peer"] = nodes[-1]
                    nodes[-1]["peer"] = node
                nodes.append(node)
            total = 0
            for i in range(20000):
                total += i * i
            if total % 7 == 0:
                gc.collect(0)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def servo_thread_cpu():
    """CPU seconds of the servo loop's native thread, found by its name."""
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() != "velkor-servo":
                    continue
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            continue
    return 0.0


def python_loop(arm, anchor, seconds, rate):
    period = 1.0 / rate
    periods, exchanges = [], []
    late = 0
    missed = 0
    force = [0.0, 0.0, 0.0]
    cpu0 = time.thread_time()
    begin = time.perf_counter()
    tick = begin
    end = begin + seconds
    previous = None
    while tick < end:
        start = time.perf_counter()
        if previous is not None:
            periods.append(start - previous)
        previous = start
        if start - tick > 0.1 * period:
            late += 1
        position, velocity = arm.end_effector_force(force)
        exchanges.append(time.perf_counter() - start)
        force = [-STIFFNESS * (position[i] - anchor[i]) - DAMPING * velocity[i] for i in range(3)]
        tick += period
        left = tick - time.perf_counter()
        if left > 3e-4:
            time.sleep(left - 2e-4)
        while time.perf_counter() < tick:
            pass
        if time.perf_counter() - tick > period:
            missed += int((time.perf_counter() - tick) / period)
            tick = time.perf_counter()  # skip missed deadlines instead of bursting
    cpu = time.thread_time() - cpu0
    arm.end_effector_force([0.0, 0.0, 0.0])
    errors = [abs(p - period) for p in periods]
    us = 1e6
    return {
        "period_p50_us": percentile(periods, 0.5) * us,
        "period_p99_us": percentile(periods, 0.99) * us,
        "period_max_us": max(periods) * us,
        "period_error_p99_us": percentile(errors, 0.99) * us,
        "late_cycles": late,
        "missed_deadlines": missed,
        "cycles": len(periods) + 1,
        "exchange_p50_us": percentile(exchanges, 0.5) * us,
        "exchange_p99_us": percentile(exchanges, 0.99) * us,
        "cpu_percent": 100.0 * cpu / seconds,
    }


def servo_loop(arm, anchor, seconds, rate, realtime, spin, record=None):
    loop = api.ServoLoop(arm, rate_hz=rate, realtime=realtime, spin=spin)
    loop.add(api.Spring(anchor, STIFFNESS, DAMPING))
    loop.start(record=record)
    cpu0 = servo_thread_cpu()
    time.sleep(seconds)
    cpu = servo_thread_cpu() - cpu0
    stats = loop.stats()
    if record:
        stats["recording"] = loop.stop_recording()
        stats["recording"]["bytes"] = os.path.getsize(record)
    loop.stop()
    stats["cpu_percent"] = 100.0 * cpu / seconds
    return stats


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each case")
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate, Hz")
    parser.add_argument("--realtime", action="store_true", help="ServoLoop(realtime=True)")
    parser.add_argument("--spin-us", type=float, default=50.0, help="ServoLoop spin before each deadline")
    parser.add_argument("--port", help="a real arm's port; default: start the simulator")
    parser.add_argument("--sim-fifo", type=int, default=50, metavar="PRIORITY",
                        help="run the simulator at this SCHED_FIFO priority where permitted, so that like real "
                             "hardware it answers whatever the host's load (0: leave it alone)")
    args = parser.parse_args()

    sim = None if args.port else velkor_sim.start("arm")
    port = args.port or sim.path
    args.sim_note = "simulator at normal priority"
    if sim and args.sim_fifo > 0:
        try:
            os.sched_setscheduler(sim.process.pid, os.SCHED_FIFO, os.sched_param(args.sim_fifo))
            args.sim_note = f"simulator at SCHED_FIFO {args.sim_fifo}"
        except OSError as e:
            args.sim_note = f"simulator at normal priority (SCHED_FIFO refused: {e.strerror})"
    try:
        stream = api.SerialStream(port)
        arm = api.Vorlan3(stream, 0.5)
        arm.device_wakeup()
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        anchor = [start[0], start[1], start[2] + OFFSET]
        results = {}
        for loaded in (False, True):
            for name in ("python", "servo", "servo rec"):
                label = f"{name} {'load' if loaded else 'idle'}"
                arm.end_effector_force([0.0, 0.0, 0.0])
                if loaded:
                    with Load():
                        time.sleep(0.2)
                        results[label] = run_case(name, arm, anchor, args)
                else:
                    results[label] = run_case(name, arm, anchor, args)
        report(results, args)
    finally:
        if sim:
            sim.stop()


def run_case(name, arm, anchor, args):
    if name == "python":
        return python_loop(arm, anchor, args.seconds, args.rate)
    record = None
    if name == "servo rec":
        # The same loop while a recording thread drains every cycle to an MCAP file.
        record = os.path.join(tempfile.mkdtemp(prefix="velkor-bench-"), "run.mcap")
    try:
        return servo_loop(arm, anchor, args.seconds, args.rate, args.realtime, args.spin_us * 1e-6, record)
    finally:
        if record:
            shutil.rmtree(os.path.dirname(record), ignore_errors=True)


def report(results, args):
    print(f"{args.seconds:.0f} s per case at {args.rate:.0f} Hz against "
          f"{args.port or 'the simulator'}; {os.cpu_count()} cpus, load average "
          f"{os.getloadavg()[0]:.1f}; {getattr(args, 'sim_note', '')}")
    print(f"{'case':<12}{'cycles':>8}{'p50':>9}{'p99':>9}{'max':>9}{'err p99':>9}{'late':>7}{'missed':>8}"
          f"{'exch p50':>10}{'exch p99':>10}{'cpu %':>7}")
    for label, r in results.items():
        print(f"{label:<12}{r['cycles']:>8}{r['period_p50_us']:>9.1f}{r['period_p99_us']:>9.1f}"
              f"{r['period_max_us']:>9.1f}{r['period_error_p99_us']:>9.1f}{r['late_cycles']:>7}{r['missed_deadlines']:>8}"
              f"{r['exchange_p50_us']:>10.1f}{r['exchange_p99_us']:>10.1f}{r['cpu_percent']:>7.1f}")
    print("(period and exchange figures in microseconds; cpu: the loop's own thread, % of one core)")
    servo = results["servo load"]
    python = results["python load"]
    ratio = python["period_error_p99_us"] / max(servo["period_error_p99_us"], 1e-9)
    print(f"under load: p99 period error python {python['period_error_p99_us']:.1f} us, "
          f"servo {servo['period_error_p99_us']:.1f} us, ratio {ratio:.1f}x "
          f"(target: servo <= 100 us and >= 5x smaller)")
    for label in ("servo rec idle", "servo rec load"):
        rec = results[label]["recording"]
        cycles = results[label]["cycles"]
        print(f"{label}: {rec['messages']} of {cycles} cycles recorded, {rec['lost']} lost, "
              f"{rec['bytes'] / max(rec['messages'], 1):.0f} bytes a cycle")
    if "realtime_note" in servo:
        print(f"servo realtime: {servo['realtime']} ({servo['realtime_note']})")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A 1 kHz haptic loop: render a virtual wall against the arm.

15 mm ahead of where the tool starts (+z) stands a wall, a spring-damper that
pushes back once the tool is inside it. The loop runs at a fixed rate for a few
seconds and then prints the rate it achieved, the exchange times and where the
tool came to rest.

Something has to push the tool into the wall. On a real arm (--port) that is
your hand: the program sends the wall's force and nothing else. On the
simulator a steady "hand" force (--push) plays that part, applied by the
simulator itself where it can (velkor-sim --hand), otherwise added to the
request; never on a real arm.

A failed exchange is never turned into a force: the loop sends zero force
until the arm answers again, counts the failures, and gives up with the reason
(and exit status 1) when the arm stays silent for longer than --give-up.

Without --port it starts the device simulator (velkor-sim) and talks to that.
"""

import argparse
import contextlib
import math
import signal
import sys
import time
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Tuple

import VelkorHardwareAPI as api
import velkor_sim


class Parser(argparse.ArgumentParser):
    """Bad arguments end the program with one line, not the whole usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def bounded(low: float, high: float, low_open: bool = True) -> Callable[[str], float]:
    """An argparse type for a number in (low, high] (or [low, high])."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        inside = (low < value if low_open else low <= value) and value <= high
        if not (math.isfinite(value) and inside):
            raise argparse.ArgumentTypeError(
                f"{text} is out of range: {'above' if low_open else 'at least'} {low:g}, at most {high:g}")
        return value
    return parse


@contextlib.contextmanager
def arm_port(port: Optional[str], push: float, notify: Optional[float],
             latency_us: Optional[int]) -> Iterator[Tuple[str, float]]:
    """The port to open, and the hand force the loop must add itself: 0 on a real arm, and 0 on a
    simulator that plays the hand itself (velkor_sim with set_hand_force)."""
    if port:
        yield port, 0.0  # a real arm: the only hand is yours
        return
    options: Dict[str, Any] = {"notify": notify, "latency_us": latency_us}
    plays_hand = hasattr(velkor_sim.Simulator, "set_hand_force")
    if plays_hand:
        options["hand"] = [0.0, 0.0, push]
    with velkor_sim.Simulator("arm", **options) as sim:
        yield sim.path, 0.0 if plays_hand else push


def percentile(sorted_values: List[int], q: float) -> int:
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def run(port: str, seconds: float, rate: float, push: float, stiffness: float, damping: float,
        wall_offset: float, give_up: float) -> int:
    """push: a simulated hand force the loop adds to its request; 0 on a real arm."""
    try:
        stream = api.SerialStream.open(port)
    except api.PortOpenError as e:
        print(e, file=sys.stderr)
        return 1
    arm = api.Vorlan3(stream, 0.5)
    info = arm.device_wakeup_dict()
    if arm.last_error or info["device_model_number"] != 4:
        why = arm.last_error or f"model {info['device_model_number']} answered, not a Vorlan3 (4)"
        print(f"no arm answers on {port}: {why}", file=sys.stderr)
        return 1
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    if arm.last_error:
        print(f"the arm on {port} did not report its position: {arm.last_error}", file=sys.stderr)
        return 1
    wall = start[2] + wall_offset
    print(f"rendering a wall on {port} for {seconds:g} s (Ctrl-C stops)", file=sys.stderr, flush=True)

    period = 1.0 / rate
    exchange_ns: List[int] = []
    force = [0.0, 0.0, 0.0]
    deepest = 0.0
    late = 0
    failures = 0
    silent_since: Optional[float] = None
    begin = time.perf_counter()
    tick = begin
    end = begin + seconds
    try:
        while tick < end:
            t0 = time.perf_counter_ns()
            position, velocity = arm.end_effector_force(force)
            exchange_ns.append(time.perf_counter_ns() - t0)
            reason = arm.last_error
            if reason:
                # A failed reply holds no state: push nothing until the arm answers.
                failures += 1
                force = [0.0, 0.0, 0.0]
                now = time.perf_counter()
                silent_since = silent_since or now
                if now - silent_since > give_up:
                    arm.end_effector_force([0.0, 0.0, 0.0])
                    print(f"giving up: the arm on {port} has not answered for {now - silent_since:.3f} s "
                          f"({failures} failed exchanges, last: {reason})", file=sys.stderr)
                    return 1
                tick = time.perf_counter()
                continue
            silent_since = None

            depth = position[2] - wall
            fz = push
            if depth > 0.0:
                # Damp only while moving into the wall, so it does not feel sticky.
                fz -= stiffness * depth + damping * max(velocity[2], 0.0)
                deepest = max(deepest, depth)
            force = [0.0, 0.0, fz]

            tick += period
            left = tick - time.perf_counter()
            if left > 3e-4:
                time.sleep(left - 2e-4)
            while time.perf_counter() < tick:
                pass
            if left < -period:
                late += 1
                tick = time.perf_counter()
    except KeyboardInterrupt:
        # Ctrl-C: leave the arm with no force on it.
        arm.end_effector_force([0.0, 0.0, 0.0])
        raise
    elapsed = time.perf_counter() - begin

    final, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    if arm.last_error:
        print(f"the arm on {port} did not answer the final zero-force request: {arm.last_error}", file=sys.stderr)
        return 1
    exchange_ns.sort()
    loops = len(exchange_ns)
    print(f"device        {info['device_id_ext']} (model {info['device_model_number']}) on {port}")
    print(f"loop          {loops} cycles in {elapsed:.3f} s: {loops / elapsed:.1f} Hz "
          f"(target {rate:.0f} Hz, {late} late by more than a period)")
    print(f"exchange      p50 {percentile(exchange_ns, 0.50) / 1e3:.1f} us, "
          f"p99 {percentile(exchange_ns, 0.99) / 1e3:.1f} us, max {exchange_ns[-1] / 1e3:.1f} us")
    print(f"wall          z = {wall:.4f} m, stiffness {stiffness:.0f} N/m")
    print(f"penetration   final {(final[2] - wall) * 1e3:.2f} mm, deepest {deepest * 1e3:.2f} mm")
    print("final         position [{:.5f}, {:.5f}, {:.5f}] m".format(*final))
    if failures:
        print(f"failures      {failures} exchanges failed and were sent zero force")
    return 0


def main() -> int:
    parser = Parser(description=(__doc__ or "").splitlines()[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--port", help="a real arm's port; default: start the simulator")
    parser.add_argument("--seconds", type=bounded(0, 3600), default=3.0, help="how long the loop runs, s")
    parser.add_argument("--rate", type=bounded(0, 4000), default=1000.0, help="loop rate, Hz")
    parser.add_argument("--push", type=bounded(0, 10, low_open=False), default=2.0,
                        help="simulator only: the simulated hand's force towards the wall, N")
    parser.add_argument("--stiffness", type=bounded(0, 5000), default=800.0, help="wall stiffness, N/m")
    parser.add_argument("--damping", type=bounded(0, 100, low_open=False), default=5.0,
                        help="wall damping, N s/m")
    parser.add_argument("--wall", type=bounded(0, 0.1), default=0.015, help="wall distance ahead of the start, m")
    parser.add_argument("--notify", type=bounded(0, 10000), help="simulator: notification frames per second")
    parser.add_argument("--latency-us", type=int, help="simulator: reply delay, microseconds")
    parser.add_argument("--give-up", type=bounded(0, 60), default=0.1,
                        help="seconds without an answer before stopping")
    args = parser.parse_args()
    # SIGTERM and SIGHUP (kill, a service manager, the terminal closed) take Ctrl-C's way out.
    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.default_int_handler)
    if args.latency_us is not None and not 0 <= args.latency_us <= 1_000_000:
        parser.error(f"argument --latency-us: {args.latency_us} is out of range: at least 0, at most 1000000")

    try:
        with arm_port(args.port, args.push, args.notify, args.latency_us) as (port, push):
            return run(port, args.seconds, args.rate, push, args.stiffness, args.damping, args.wall,
                       args.give_up)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except velkor_sim.SimulatorError as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

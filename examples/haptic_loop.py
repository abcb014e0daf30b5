#!/usr/bin/env python3
"""A 1 kHz haptic loop: render a virtual wall against the arm.

A constant "hand" force pushes the end effector forward (+z); 15 mm ahead of
where it starts stands a wall, a spring-damper that pushes back once the tool is
inside it. The loop runs at a fixed rate for a few seconds and then prints the
rate it achieved, the exchange times and where the tool came to rest.

A failed exchange is never turned into a force: the loop sends zero force
until the arm answers again, counts the failures, and gives up with the reason
(and exit status 1) when the arm stays silent for longer than --give-up.

Without --port it starts the device simulator (velkor-sim) and talks to that.
"""

import argparse
import contextlib
import sys
import time
from typing import ContextManager, List, Optional

import VelkorHardwareAPI as api
import velkor_sim


def percentile(sorted_values: List[int], q: float) -> int:
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def run(port: str, seconds: float, rate: float, push: float, stiffness: float, damping: float,
        wall_offset: float, give_up: float) -> int:
    stream = api.SerialStream(port)
    if not stream.is_open:
        print(f"cannot open {port} (the [err] line above says why)", file=sys.stderr)
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
    print(f"wall          z = {wall:.4f} m, pushed with {push:.1f} N, stiffness {stiffness:.0f} N/m")
    print(f"penetration   final {(final[2] - wall) * 1e3:.2f} mm (rest {push / stiffness * 1e3:.2f} mm), "
          f"deepest {deepest * 1e3:.2f} mm")
    print("final         position [{:.5f}, {:.5f}, {:.5f}] m".format(*final))
    if failures:
        print(f"failures      {failures} exchanges failed and were sent zero force")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--port", help="a real arm's port; default: start the simulator")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate, Hz")
    parser.add_argument("--push", type=float, default=2.0, help="hand force towards the wall, N")
    parser.add_argument("--stiffness", type=float, default=800.0, help="wall stiffness, N/m")
    parser.add_argument("--damping", type=float, default=5.0, help="wall damping, N s/m")
    parser.add_argument("--wall", type=float, default=0.015, help="wall distance ahead of the start, m")
    parser.add_argument("--notify", type=float, help="simulator: notification frames per second")
    parser.add_argument("--latency-us", type=int, help="simulator: reply delay")
    parser.add_argument("--give-up", type=float, default=0.1, help="seconds without an answer before stopping")
    args = parser.parse_args()

    port_context: ContextManager[str]
    if args.port:
        port_context = contextlib.nullcontext(args.port)
    else:
        port_context = velkor_sim.simulator("arm", notify=args.notify, latency_us=args.latency_us)
    with port_context as port:
        return run(port, args.seconds, args.rate, args.push, args.stiffness, args.damping, args.wall, args.give_up)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Render a virtual wall and a sphere with ServoLoop against the arm.

A native thread runs the 1 kHz loop; Python only describes the scene. A
constant "hand" force first pushes the tool forward (+z) into a wall 15 mm
ahead of where it starts, then back (-z) onto a solid sphere behind it. An
on_state callback watches how deep the tool goes; at the end the loop's
stats are printed.

Without --port it starts the device simulator (velkor-sim) and talks to that.
"""

import argparse
import contextlib
import time
from typing import Any, ContextManager, Dict

import VelkorHardwareAPI as api
import velkor_sim


def run(port: str, seconds: float, rate: float, push: float, stiffness: float, realtime: bool) -> None:
    stream = api.SerialStream(port)
    arm = api.Vorlan3(stream, 0.5)
    info = arm.device_wakeup_dict()
    if info["device_model_number"] != 4:
        raise SystemExit(f"no arm answers on {port}")
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])

    wall_z = start[2] + 0.015
    wall = api.Plane([0.0, 0.0, wall_z], [0.0, 0.0, -1.0], stiffness, damping=5.0)
    center = [start[0], start[1], start[2] - 0.02]  # its top where the tool starts
    sphere = api.Sphere(center, 0.02, stiffness)
    hand = api.ConstantForce([0.0, 0.0, push])

    deepest = {"wall": 0.0, "sphere": 0.0}

    def watch(state: Dict[str, Any]) -> None:
        z = state["position"][2]
        deepest["wall"] = max(deepest["wall"], z - wall_z)
        deepest["sphere"] = max(deepest["sphere"], (center[2] + sphere.radius) - z)

    loop = api.ServoLoop(arm, rate_hz=rate, realtime=realtime)
    for effect in (wall, sphere, hand):
        loop.add(effect)
    loop.on_state(watch, rate_hz=200)
    with loop:
        time.sleep(seconds / 2)
        at_wall = loop.state()
        hand.force = [0.0, 0.0, -push]  # takes effect at the next cycle
        time.sleep(seconds / 2)
        at_sphere = loop.state()
    stats = loop.stats()

    rest = push / stiffness * 1e3
    print(f"device        {info['device_id_ext']} (model {info['device_model_number']}) on {port}")
    print(f"loop          {stats['cycles']} cycles at {stats['rate_hz']:.1f} Hz (target {rate:.0f} Hz), "
          f"{stats['late_cycles']} late, {stats['missed_deadlines']} deadlines missed, {stats['failures']} failed, "
          f"{stats['held_cycles']} held at zero force")
    print(f"period        p50 {stats['period_p50_us']:.1f} us, p99 {stats['period_p99_us']:.1f} us, "
          f"max {stats['period_max_us']:.1f} us")
    print(f"exchange      p50 {stats['exchange_p50_us']:.1f} us, p99 {stats['exchange_p99_us']:.1f} us")
    print(f"realtime      {stats['realtime']} ({stats['realtime_note']})")
    print(f"wall          z = {wall_z:.4f} m, pushed with {push:.1f} N: "
          f"{(at_wall['position'][2] - wall_z) * 1e3:.2f} mm in (rest {rest:.2f} mm), "
          f"deepest {deepest['wall'] * 1e3:.2f} mm")
    print(f"sphere        r = {sphere.radius * 1e3:.0f} mm, pushed with {push:.1f} N: "
          f"{(center[2] + sphere.radius - at_sphere['position'][2]) * 1e3:.2f} mm in (rest {rest:.2f} mm), "
          f"deepest {deepest['sphere'] * 1e3:.2f} mm")
    print("final force   [{:.3f}, {:.3f}, {:.3f}] N".format(*loop.state()["force"]))


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--port", help="a real arm's port; default: start the simulator")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate, Hz")
    parser.add_argument("--push", type=float, default=2.0, help="hand force, N")
    parser.add_argument("--stiffness", type=float, default=800.0, help="wall and sphere stiffness, N/m")
    parser.add_argument("--realtime", action="store_true", help="ask for SCHED_FIFO and locked memory")
    args = parser.parse_args()

    port_context: ContextManager[str]
    if args.port:
        port_context = contextlib.nullcontext(args.port)
    else:
        port_context = velkor_sim.simulator("arm")
    with port_context as port:
        run(port, args.seconds, args.rate, args.push, args.stiffness, args.realtime)


if __name__ == "__main__":
    main()

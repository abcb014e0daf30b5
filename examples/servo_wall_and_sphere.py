#!/usr/bin/env python3
"""Render a virtual wall and a sphere with ServoLoop against the arm.

A native thread runs the 1 kHz loop; Python only describes the scene: a wall
15 mm ahead of where the tool starts (+z) and a solid sphere just behind it. An
on_state callback watches how deep the tool goes; at the end the loop's stats
are printed.

Something has to push the tool into them. On a real arm (--port) that is your
hand: the loop renders the wall and the sphere and nothing else. On the
simulator a "hand" (--push newtons) pushes forward for the first half and back
for the second, played by the simulator itself where it can (velkor-sim
--hand), otherwise as a ConstantForce effect; never on a real arm.
"""

from __future__ import annotations  # api.ServoState and the like are names for type checkers only

import argparse
import contextlib
import math
import signal
import sys
import time
from typing import Any, Callable, Dict, Iterator, NoReturn, Optional, Sequence

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


class Hand:
    """The simulated hand: pushes the tool with a force, or does nothing on a real arm."""

    def __init__(self, sim: Optional[velkor_sim.Simulator], loop_effect: Optional[api.ConstantForce]) -> None:
        self.sim = sim
        self.loop_effect = loop_effect

    def push(self, force: Sequence[float]) -> None:
        if self.sim is not None:
            getattr(self.sim, "set_hand_force")(list(force))
        elif self.loop_effect is not None:
            self.loop_effect.force = list(force)  # takes effect at the next cycle


@contextlib.contextmanager
def arm_port(port: Optional[str], push: float) -> Iterator[tuple[str, Optional[velkor_sim.Simulator]]]:
    """The port, and the simulator when it plays the hand itself."""
    if port:
        yield port, None
        return
    plays_hand = hasattr(velkor_sim.Simulator, "set_hand_force")
    options: Dict[str, Any] = {"hand": [0.0, 0.0, push]} if plays_hand else {}
    with velkor_sim.Simulator("arm", **options) as sim:
        yield sim.path, sim if plays_hand else None


def run(port: str, sim: Optional[velkor_sim.Simulator], simulated: bool, seconds: float, rate: float,
        push: float, stiffness: float, realtime: bool) -> int:
    try:
        stream = api.SerialStream.open(port)
    except api.PortOpenError as e:
        print(e, file=sys.stderr)
        return 1
    arm = api.Vorlan3(stream, 0.5)
    info = arm.device_wakeup_dict()
    if arm.last_error or info["device_model_number"] != 4:
        print(f"no arm answers on {port}: {arm.last_error or 'model ' + str(info['device_model_number'])}",
              file=sys.stderr)
        return 1
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])

    wall_z = start[2] + 0.015
    wall = api.Plane([0.0, 0.0, wall_z], [0.0, 0.0, -1.0], stiffness, damping=5.0)
    center = [start[0], start[1], start[2] - 0.02]  # its top where the tool starts
    sphere = api.Sphere(center, 0.02, stiffness)
    effects: list[api.Effect] = [wall, sphere]
    loop_hand: Optional[api.ConstantForce] = None
    if simulated and sim is None:
        # This simulator cannot push by itself: the loop adds the hand's force, on the simulator only.
        loop_hand = api.ConstantForce([0.0, 0.0, push])
        effects.append(loop_hand)
    hand = Hand(sim, loop_hand)

    deepest = {"wall": 0.0, "sphere": 0.0}

    def watch(state: api.ServoState) -> None:
        z = state["position"][2]
        deepest["wall"] = max(deepest["wall"], z - wall_z)
        deepest["sphere"] = max(deepest["sphere"], (center[2] + sphere.radius) - z)

    loop = api.ServoLoop(arm, rate_hz=rate, realtime=realtime)
    for effect in effects:
        loop.add(effect)
    loop.on_state(watch, rate_hz=200)
    with loop:  # every way out of the block ends with zero force, Ctrl-C included
        print(f"rendering a wall and a sphere on {port} for {seconds:g} s (Ctrl-C stops)", file=sys.stderr,
              flush=True)
        time.sleep(seconds / 2)
        at_wall = loop.state()
        hand.push([0.0, 0.0, -push])
        time.sleep(seconds / 2)
        at_sphere = loop.state()
    stats = loop.stats()

    print(f"device        {info['device_id_ext']} (model {info['device_model_number']}) on {port}")
    print(f"loop          {stats['cycles']} cycles at {stats['rate_hz']:.1f} Hz (target {rate:.0f} Hz), "
          f"{stats['late_cycles']} late, {stats['missed_deadlines']} deadlines missed, {stats['failures']} failed, "
          f"{stats['held_cycles']} held at zero force")
    print(f"period        p50 {stats['period_p50_us']:.1f} us, p99 {stats['period_p99_us']:.1f} us, "
          f"max {stats['period_max_us']:.1f} us")
    print(f"exchange      p50 {stats['exchange_p50_us']:.1f} us, p99 {stats['exchange_p99_us']:.1f} us")
    print(f"realtime      {stats['realtime']} ({stats['realtime_note']})")
    pushed = f"pushed with {push:.1f} N" if simulated else "pushed by hand"
    print(f"wall          z = {wall_z:.4f} m, {pushed}: {(at_wall['position'][2] - wall_z) * 1e3:.2f} mm in, "
          f"deepest {deepest['wall'] * 1e3:.2f} mm")
    print(f"sphere        r = {sphere.radius * 1e3:.0f} mm, {pushed}: "
          f"{(center[2] + sphere.radius - at_sphere['position'][2]) * 1e3:.2f} mm in, "
          f"deepest {deepest['sphere'] * 1e3:.2f} mm")
    if simulated:
        print(f"at rest       {push / stiffness * 1e3:.2f} mm in, where the spring balances the hand")
    print("final force   [{:.3f}, {:.3f}, {:.3f}] N".format(*loop.state()["force"]))
    return 0


def main() -> int:
    parser = Parser(description=(__doc__ or "").splitlines()[0],
                    formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--port", help="a real arm's port; default: start the simulator")
    parser.add_argument("--seconds", type=bounded(0, 3600), default=3.0, help="how long the scene runs, s")
    parser.add_argument("--rate", type=bounded(0, 4000), default=1000.0, help="loop rate, Hz")
    parser.add_argument("--push", type=bounded(0, 10, low_open=False), default=2.0,
                        help="simulator only: the simulated hand's force, N")
    parser.add_argument("--stiffness", type=bounded(0, 5000), default=800.0,
                        help="wall and sphere stiffness, N/m")
    parser.add_argument("--realtime", action="store_true", help="ask for SCHED_FIFO and locked memory")
    args = parser.parse_args()
    # SIGTERM and SIGHUP (kill, a service manager, the terminal closed) take Ctrl-C's way out.
    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.default_int_handler)
    try:
        with arm_port(args.port, args.push) as (port, sim):
            return run(port, sim, not args.port, args.seconds, args.rate, args.push, args.stiffness, args.realtime)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except velkor_sim.SimulatorError as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

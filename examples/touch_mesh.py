#!/usr/bin/env python3
"""Touch a shape: a bumpy tile from a mesh file, rendered at 1 kHz with friction.

    python examples/touch_mesh.py                  # the simulator, pushed by a circling force
    python examples/touch_mesh.py --port /dev/ttyACM0 --seconds 30   # your arm, your hand

The tile (examples/bumpy_tile.ply, 8 x 8 cm, 5,472 triangles, closed) is placed
so that its highest point is just under the tool. With the simulator a
ConstantForce plays the hand: it presses down and turns in a circle, so the tool
slides over the bumps. Every quarter second the program prints where the tool
touches the tile, which triangle, how deep it is pressed in and the force the
tile pushes back with; at the end, a summary. Needs trimesh to read the file:
pip install 'VelkorHardwareAPI[mesh]'.
"""

import argparse
import math
import os
import signal
import time

import VelkorHardwareAPI as api
import velkor_sim

HERE = os.path.dirname(os.path.abspath(__file__))
PUSH = 1.5  # N: the simulated hand's press
TURN = 0.5  # N: its sideways pull, turning once every two seconds


def lift(arm: api.Vorlan3, height: float) -> None:
    """Moves the arm up by `height` (m) with a spring: the simulated arm starts
    near the bottom of its workspace."""
    home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    with api.ServoLoop(arm) as loop:
        loop.add(api.Spring([home[0], home[1], home[2] + height], 300.0, 5.0))
        deadline = time.monotonic() + 5.0
        while time.monotonic() < deadline and abs(loop.state()["position"][2] - home[2] - height) > 5e-4:
            time.sleep(0.01)


def touch(port: str, seconds: float, simulated: bool) -> None:
    stream = api.SerialStream(port)
    arm = api.Vorlan3(stream, 0.5)
    if simulated:
        lift(arm, 0.04)
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])

    tile = api.Mesh.load(os.path.join(HERE, "bumpy_tile.ply"), stiffness=600.0, damping=1.0, friction=0.3)
    low, high = tile.bounds
    # Centred under the tool, the highest bump 2 mm below it.
    shift = [start[0] - (low[0] + high[0]) / 2, start[1] - (low[1] + high[1]) / 2, start[2] - 0.002 - high[2]]
    tile.transform = [[1, 0, 0, shift[0]], [0, 1, 0, shift[1]], [0, 0, 1, shift[2]], [0, 0, 0, 1]]
    print(f"{tile!r}: {tile.memory_bytes / 1024:.0f} KiB with its hierarchy")

    hand = api.ConstantForce([TURN, 0.0, -PUSH] if simulated else [0.0, 0.0, 0.0])
    loop = api.ServoLoop(arm, exchange_timeout=0.5, late_limit=0.5)
    loop.add(tile)
    loop.add(hand)
    touched: set[int] = set()
    deepest = 0.0
    strongest = 0.0
    with loop:
        begin = time.monotonic()
        next_print = begin
        while time.monotonic() - begin < seconds:
            state = loop.state()
            if state["cycle"] == 0:
                time.sleep(0.005)
                continue
            if simulated:
                angle = math.pi * (time.monotonic() - begin)
                hand.force = [TURN * math.cos(angle), TURN * math.sin(angle), -PUSH]
            # What the loop sent less what the hand added: the tile's own push.
            push = [f - h for f, h in zip(state["force"], hand.force)]
            magnitude = math.sqrt(sum(x * x for x in push))
            if magnitude > 0.05:
                point, depth, triangle = tile.closest_point(state["position"])
                touched.add(triangle)
                deepest = max(deepest, depth)
                strongest = max(strongest, magnitude)
                if time.monotonic() >= next_print:
                    print(f"{time.monotonic() - begin:5.2f} s  touching triangle {triangle:5d} at "
                          f"({point[0] * 1e3:6.1f}, {point[1] * 1e3:6.1f}, {point[2] * 1e3:6.1f}) mm, "
                          f"{depth * 1e3:4.2f} mm in, pushed back with "
                          f"[{push[0]:5.2f}, {push[1]:5.2f}, {push[2]:5.2f}] N")
                    next_print += 0.25
            elif time.monotonic() >= next_print:
                print(f"{time.monotonic() - begin:5.2f} s  free")
                next_print += 0.25
            time.sleep(0.005)
    stats = loop.stats()
    print(f"touched {len(touched)} of {tile.triangle_count} triangles; deepest {deepest * 1e3:.2f} mm, "
          f"strongest push {strongest:.2f} N")
    print(f"loop: {stats['cycles']} cycles at {stats['rate_hz']:.0f} Hz, rendering p50 "
          f"{stats['compute_p50_us']:.1f} us, p99 {stats['compute_p99_us']:.1f} us per cycle")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="a real arm's port; default: start the simulator")
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    # SIGTERM and SIGHUP (kill, a service manager, the terminal closed) take Ctrl-C's way out.
    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.default_int_handler)
    if args.port:
        touch(args.port, args.seconds, simulated=False)
        return
    with velkor_sim.simulator("arm") as port:
        touch(port, args.seconds, simulated=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Mesh rendering benchmark: a generated 100,000-triangle surface touched at 1 kHz.

Builds a bumpy height field of --triangles triangles (timing the hierarchy's
build, outside any cycle) and reports the memory it holds per triangle. Then,
against the simulator (or --port), a ServoLoop renders it with friction while a
ConstantForce presses the arm into it and turns in a circle, so the proxy keeps
sliding over bumps and edges; the loop's own figures compute_p50_us and
compute_p99_us say what summing the effects (the rendering) cost per cycle.
A second run with a single plane in place of the mesh gives the floor of that
figure on this machine. Targets: build <= 0.5 s and compute p99 <= 50 us for
100,000 triangles.
"""

import argparse
import array
import math
import os
import time

import VelkorHardwareAPI as api
import velkor_sim

STIFFNESS = 800.0
PUSH = 1.5  # N into the surface
TURN = 0.6  # N sideways, turning once a second


def height_field(triangles, center, size, top):
    """Vertices and triangles of a square bumpy surface around `center` with its highest point near `top`."""
    n = max(1, math.ceil(math.sqrt(triangles / 2)))
    vertices = array.array("d")
    amplitude = 0.0015
    for i in range(n + 1):
        for j in range(n + 1):
            x = center[0] - size / 2 + size * i / n
            y = center[1] - size / 2 + size * j / n
            bump = amplitude * math.sin(x * 400.0) * math.cos(y * 300.0)
            vertices.extend((x, y, top - amplitude + bump))
    faces = array.array("i")
    for i in range(n):
        for j in range(n):
            a = i * (n + 1) + j
            b, c = a + 1, a + n + 1
            faces.extend((a, c, b, b, c, c + 1))
    return vertices, faces


def run(arm, effects, seconds, spin_push):
    loop = api.ServoLoop(arm, exchange_timeout=0.5, late_limit=0.5)
    for effect in effects:
        loop.add(effect)
    loop.start()
    begin = time.monotonic()
    samples = touching = 0
    while time.monotonic() - begin < seconds:
        angle = 2 * math.pi * (time.monotonic() - begin)
        spin_push.force = [TURN * math.cos(angle), TURN * math.sin(angle), -PUSH]
        time.sleep(0.02)
        # The sum of push and surface: the surface holding the push up means contact.
        samples += 1
        touching += loop.state()["force"][2] > -PUSH / 2
    stats = loop.stats()
    stats["touching"] = 100.0 * touching / max(samples, 1)
    loop.stop()
    return stats


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--triangles", type=int, default=100_000, help="size of the generated surface")
    parser.add_argument("--seconds", type=float, default=8.0, help="length of each loop run")
    parser.add_argument("--port", help="a real arm's port; default: start the simulator")
    args = parser.parse_args()

    sim = None if args.port else velkor_sim.start("arm")
    try:
        stream = api.SerialStream(args.port or sim.path)
        arm = api.Vorlan3(stream, 0.5)
        if sim:
            # The simulated arm starts near the bottom of its workspace: up 4 cm first.
            home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
            lift = api.Spring([home[0], home[1], home[2] + 0.04], 300.0, 5.0)
            with api.ServoLoop(arm) as loop:
                loop.add(lift)
                time.sleep(2.0)
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        top = start[2] - 0.003
        vertices, faces = height_field(args.triangles, start, 0.12, top)

        builds = []
        for _ in range(3):
            began = time.perf_counter()
            mesh = api.Mesh(vertices, faces, STIFFNESS, damping=1.0, friction=0.3)
            builds.append(time.perf_counter() - began)
        print(f"mesh          {mesh.triangle_count} triangles, {mesh.vertex_count} vertices")
        print(f"build         {min(builds) * 1e3:.1f} ms best of 3, {max(builds) * 1e3:.1f} ms worst "
              f"(from Python arrays: conversion and hierarchy; target 500 ms)")
        print(f"memory        {mesh.memory_bytes / mesh.triangle_count:.1f} bytes per triangle "
              f"({mesh.memory_bytes / 2**20:.1f} MiB for the mesh and its hierarchy)")

        push = api.ConstantForce([0.0, 0.0, -PUSH])
        results = {}
        results["mesh"] = run(arm, [mesh, push], args.seconds, push)
        arm.end_effector_force([0.0, 0.0, 0.0])
        plane = api.Plane([0.0, 0.0, top], [0.0, 0.0, 1.0], STIFFNESS, 1.0)
        results["plane"] = run(arm, [plane, push], args.seconds, push)

        print(f"loop          {args.seconds:.0f} s each against {args.port or 'the simulator'}; "
              f"{os.cpu_count()} cpus, load average {os.getloadavg()[0]:.1f}")
        print(f"{'effects':<14}{'cycles':>8}{'rate Hz':>9}{'compute p50':>13}{'compute p99':>13}"
              f"{'period p99':>12}{'exchange p50':>14}{'touching %':>12}")
        for label, s in results.items():
            print(f"{label:<14}{s['cycles']:>8}{s['rate_hz']:>9.1f}{s['compute_p50_us']:>13.2f}"
                  f"{s['compute_p99_us']:>13.2f}{s['period_p99_us']:>12.1f}{s['exchange_p50_us']:>14.1f}"
                  f"{s['touching']:>12.0f}")
        print("(microseconds; compute: summing the effects each cycle, rendering included; target p99 50 us)")
    finally:
        if sim:
            sim.stop()


if __name__ == "__main__":
    main()

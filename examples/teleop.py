"""Teleoperation over Zenoh: two simulated arms, each served by its own
`velkor serve` process; the follower tracks the leader through a spring and
the leader feels the follower's reaction through the same spring, so when the
follower is held back by a wall the operator's hand is held back too.

    python examples/teleop.py --seconds 5

The operator's hand is played by a spring on the leader whose anchor moves
from side to side, past where the follower's wall is.
"""

import argparse
import math
import signal
import socket
import subprocess
import sys
import time
from typing import List

import zenoh

import VelkorHardwareAPI as api
import velkor_remote

COUPLING = 200.0   # N/m between the arms
WALL = 0.015      # the follower's wall: x may not pass it


def free_endpoint() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def serve(name: str, endpoint: str) -> "subprocess.Popen[bytes]":
    process = subprocess.Popen([sys.executable, "-m", "velkor_cli", "serve", "--name", name, "--listen", endpoint,
                                "--rate", "500", "-q"], stdout=subprocess.PIPE)
    assert process.stdout is not None
    line = process.stdout.readline().decode()
    if "serving" not in line:
        raise SystemExit(f"velkor serve {name} did not start")
    return process


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    # SIGTERM and SIGHUP (kill, a service manager, the terminal closed) take Ctrl-C's way out.
    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.default_int_handler)
    endpoints = [free_endpoint(), free_endpoint()]
    servers = [serve("leader", endpoints[0]), serve("follower", endpoints[1])]
    session = zenoh.open(velkor_remote.zenoh_config(connect=endpoints, listen_default=()))
    try:
        leader = velkor_remote.connect("leader", session=session)
        follower = velkor_remote.connect("follower", session=session)
        start = leader.state()["position"]
        hand = api.Spring(start, 150.0, damping=2.0)
        to_follower = api.Spring(start, COUPLING, damping=1.0)
        to_leader = api.Spring(start, COUPLING, damping=1.0)
        leader.add(hand)
        hand_of_leader = leader.add(to_follower)
        coupling = follower.add(to_leader)
        follower.add(api.Plane([start[0] + WALL, 0.0, 0.0], [-1.0, 0.0, 0.0], 2000.0, damping=5.0))
        period = 1.0 / 200.0
        begin = time.monotonic()
        errors: List[float] = []
        felt_at_wall = 0.0
        next_print = begin
        while (now := time.monotonic()) - begin < args.seconds:
            t = now - begin
            hand.anchor = [start[0] + 0.03 * math.sin(2 * math.pi * 0.5 * t), start[1], start[2]]
            lp, fp = leader.state()["position"], follower.state()["position"]
            leader.update(hand_of_leader, anchor=fp)   # the leader feels where the follower is
            follower.update(coupling, anchor=lp)       # the follower goes where the leader is
            pull = [COUPLING * (f - l) for f, l in zip(fp, lp)]
            errors.append(math.dist(lp, fp))
            if lp[0] > start[0] + WALL:
                felt_at_wall = max(felt_at_wall, -pull[0])
            if now >= next_print:
                next_print += 0.5
                print(f"{t:5.2f} s  leader x {lp[0]:+.4f}  follower x {fp[0]:+.4f}  "
                      f"leader feels {pull[0]:+.2f} N", flush=True)
            time.sleep(max(0.0, period - (time.monotonic() - now)))
        errors.sort()
        print(f"tracking error p50 {errors[len(errors) // 2] * 1e3:.1f} mm, "
              f"p99 {errors[int(len(errors) * 0.99)] * 1e3:.1f} mm; "
              f"largest push back felt past the wall {felt_at_wall:.2f} N")
        follower.close()
        leader.close()
    finally:
        session.close()  # type: ignore[no-untyped-call]
        for process in servers:
            process.terminate()
            process.wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())

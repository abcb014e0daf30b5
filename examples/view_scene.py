#!/usr/bin/env python3
"""Watch the wall-and-sphere scene in the Rerun viewer while the simulator pushes the tool around.

The view runs on a thread of its own and reads what the servo loop hands out (every cycle from
drain(), the effects): the arm's links, the tool, the force as an arrow, the wall and the sphere,
and plots of force, position and timing. Halfway through, the sphere grows: the view redraws it.
Without --web or --save a native viewer is spawned. The same from the shell: ``velkor view``.
Needs the view extra: ``pip install 'VelkorHardwareAPI[view]'``.
"""

from __future__ import annotations

import argparse
import sys
import time

import VelkorHardwareAPI as api
import velkor_sim
import velkor_view
from velkor_telemetry import scenes


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to run, s (default: %(default)s)")
    parser.add_argument("--web", type=int, default=None, metavar="PORT",
                        help="serve the web viewer on this loopback port (0: a free one)")
    parser.add_argument("--save", default=None, metavar="FILE.rrd", help="write the stream to a Rerun file")
    args = parser.parse_args()
    if not 0.0 < args.seconds <= 3600.0:
        parser.error("--seconds must be above 0 and at most 3600")
    with velkor_sim.Simulator("arm", hand=[0.0, 0.0, 2.0]) as sim:
        stream = api.SerialStream.open(sim.path)
        arm = api.Vorlan3(stream, 0.5)
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        loop = api.ServoLoop(arm, 1000.0)
        wall, sphere = scenes.scene_effects("wall-and-sphere", start)
        loop.add(wall)
        loop.add(sphere)
        with loop:
            view = velkor_view.view(loop, arm, spawn=args.web is None and args.save is None, web=args.web,
                                    save=args.save)
            if "web" in view.addresses:
                print(f"open {view.addresses['web']}")
            end = time.monotonic() + args.seconds
            push = 2.0
            while time.monotonic() < end:
                time.sleep(min(2.0, max(0.0, end - time.monotonic())))
                push = -push  # into the wall, then into the sphere
                sim.set_hand_force([0.0, 0.0, push])
                if time.monotonic() > end - args.seconds / 2:
                    sphere.radius = 0.03
            summary = view.stop()
        stream.close()
    print(f"{summary['cycles']} cycles plotted ({summary['lost']} lost), {summary['frames']} frames, "
          f"{summary['frames_dropped']} dropped")
    return 0 if summary["lost"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())

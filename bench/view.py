#!/usr/bin/env python3
"""The servo loop's period with the scene view running and without, in one run.

One ServoLoop on the simulator renders the wall-and-sphere scene; phases of --seconds alternate:
without a view (this program drains the loop every 50 ms) and with velkor_view streaming at 30
frames a second to an .rrd file (and, with --web, to a served web viewer nobody opens, so its
data piles up in the server). Prints, for each kind of phase, the period's p50/p99/max from the
drained cycles, late cycles, and the view's frames and dropped frames. Figures are side by side
from one run: compare ratios, not absolute values, on a shared machine.
"""

import argparse
import os
import tempfile
import time

import numpy as np

import VelkorHardwareAPI as api
import velkor_sim
import velkor_view
from velkor_telemetry import scenes


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="length of each phase (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=2, help="pairs of phases (default: %(default)s)")
    parser.add_argument("--web", action="store_true", help="serve the web viewer too")
    args = parser.parse_args()
    phases = {"without view": [], "with view": []}
    views = []
    with velkor_sim.Simulator("arm", hand=[0.0, 0.0, 2.0]) as sim, tempfile.TemporaryDirectory() as folder:
        stream = api.SerialStream.open(sim.path)
        arm = api.Vorlan3(stream, 0.5)
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        loop = api.ServoLoop(arm, 1000.0)
        for effect in scenes.scene_effects("wall-and-sphere", start):
            loop.add(effect)
        with loop:
            time.sleep(0.5)
            loop.drain()
            for round_ in range(args.rounds):
                chunks = []
                end = time.monotonic() + args.seconds
                while time.monotonic() < end:
                    time.sleep(0.05)
                    chunks.append(loop.drain()[0])
                phases["without view"].append(np.concatenate(chunks))
                seen = []
                view = velkor_view.view(loop, arm, save=os.path.join(folder, f"{round_}.rrd"),
                                        web=0 if args.web else None,
                                        on_records=lambda records, lost: seen.append(records.copy()))
                time.sleep(args.seconds)
                views.append(view.stop())
                phases["with view"].append(np.concatenate(seen))
                sim.set_hand_force([0.0, 0.0, -2.0 if round_ % 2 == 0 else 2.0])
            stats = loop.stats()
        stream.close()
    print(f"{'phase':14} {'cycles':>7} {'p50 us':>8} {'p99 us':>8} {'max us':>8} {'late':>5}")
    for name, runs in phases.items():
        records = np.concatenate(runs)
        period = records["period_us"][records["period_us"] > 0]
        late = int(np.count_nonzero(records["flags"] & 2))
        print(f"{name:14} {len(records):7d} {np.percentile(period, 50):8.1f} {np.percentile(period, 99):8.1f} "
              f"{period.max():8.1f} {late:5d}")
    frames = sum(v["frames"] for v in views)
    dropped = sum(v["frames_dropped"] for v in views)
    busy = sum(v["busy_s"] for v in views) / (args.seconds * len(views))
    print(f"view: {frames} frames, {dropped} dropped, {busy * 100:.1f} % of a processor busy, "
          f"{sum(v['cycles'] for v in views)} cycles plotted, "
          f"{sum(v['lost'] for v in views)} lost; loop overall p99 {stats['period_p99_us']:.1f} us")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

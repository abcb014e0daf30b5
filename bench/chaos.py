"""The chaos test for longer than CI gives it, with fresh seeds; or one recorded schedule again.

    python bench/chaos.py --minutes 10             fresh seeds for ten minutes
    python bench/chaos.py --seed 7 --examples 20   one seed's schedules
    python bench/chaos.py --replay '{...}'         the schedule a failure printed

Each failing schedule prints its findings and the command that replays it; the run goes on with the
next seed. At the end: schedules run, seeds that failed.
"""

import argparse
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "chaos"))

import machine  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=1.0)
    parser.add_argument("--seed", type=int, help="run this seed only (default: fresh seeds until time is up)")
    parser.add_argument("--examples", type=int, default=5, help="schedules per seed")
    parser.add_argument("--steps", type=int, default=12, help="steps per schedule at most")
    parser.add_argument("--only", help="comma-separated rules to draw from (default: all)")
    parser.add_argument("--space", help='settings to draw from instead of the defaults, as JSON: '
                        '\'{"profile": ["healthy"], "ramp_s": [0.0]}\'')
    parser.add_argument("--replay", help="a schedule as a failing run printed it (JSON)")
    options = parser.parse_args()

    if options.replay:
        try:
            machine.replay(json.loads(options.replay))
        except machine.Finding as finding:
            print(finding)
            return 1
        print("the schedule held every invariant this time")
        return 0

    enabled = options.only.split(",") if options.only else None
    seeds = [options.seed] if options.seed is not None else None
    end = time.monotonic() + options.minutes * 60
    ran = failed = 0
    failing = []
    while (seeds and ran == 0) or (not seeds and time.monotonic() < end):
        seed = seeds[0] if seeds else random.randrange(2**31)
        began = time.monotonic()
        try:
            machine.run(seed, options.examples, steps=options.steps, enabled=enabled,
                        space=json.loads(options.space) if options.space else None)
        except Exception as finding:  # noqa: BLE001 - a finding, or a Flaky wrapping one: report and go on
            failed += 1
            failing.append(seed)
            print(f"seed {seed}: FAILED\n{finding}\n", flush=True)
        else:
            print(f"seed {seed}: {options.examples} schedules held ({time.monotonic() - began:.1f} s)", flush=True)
        ran += 1
        if seeds:
            break
    print(f"{ran * options.examples} schedules ({ran} seeds x {options.examples}); seeds that failed: "
          f"{failing or 'none'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

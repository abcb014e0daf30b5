#!/usr/bin/env python3
"""Record 5 s of the wall-and-sphere scene on the simulator, then plot every cycle.

The simulator's hand pushes the tool into the wall for the first half and into the
sphere for the second. Every cycle of the servo loop goes to an MCAP file (open it
in any MCAP viewer, or read it back with velkor_telemetry.read), and the figure
shows position, force, timing and the period's error. The same from the shell:
``velkor record --seconds 5 -o run.mcap`` then ``velkor plot run.mcap -o run.png``.
"""

from __future__ import annotations

import argparse
import signal
import sys

import velkor_telemetry
from velkor_telemetry import scenes


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to record, s")
    parser.add_argument("-o", "--output", default="run.mcap", help="the recording")
    parser.add_argument("--plot", default="run.png", help="the figure")
    args = parser.parse_args()
    # SIGTERM and SIGHUP (kill, a service manager, the terminal closed) take Ctrl-C's way out.
    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.default_int_handler)
    if not 0.0 < args.seconds <= 3600.0:
        parser.error("--seconds must be above 0 and at most 3600")
    summary = scenes.record_run(None, args.seconds, args.output, scene="wall-and-sphere")
    print(f"{args.output}: {summary['messages']} cycles, {summary['lost']} lost")
    velkor_telemetry.plot(args.output, args.plot)
    print(f"{args.plot}: position, force, timing and period error")
    return 0 if summary["lost"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())

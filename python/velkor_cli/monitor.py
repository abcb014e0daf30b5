"""velkor monitor: a device's live state at a chosen rate."""

import argparse
import sys
import time
from typing import Any, Callable, Optional

from .common import (MAX_RATE, MIN_RATE, PROG, CommandFailed, Record, _count, _error_lines, _json,
                     _positive_rate, _verbose_option)
from .devices import _open, _other_device_hint, add_device_port_arguments

TEXT = "print a device's live state at a chosen rate"


def add_parser(commands: Any) -> None:
    p = commands.add_parser("monitor", help=TEXT, description=TEXT[0].upper() + TEXT[1:] + ".")
    add_device_port_arguments(p)
    p.add_argument("--json", action="store_true", help="print JSON (one object per line)")
    p.add_argument("--rate", type=_positive_rate, default=10.0, metavar="HZ",
                   help=f"samples per second, above {MIN_RATE:g} and at most {MAX_RATE:g} "
                        "(default: %(default)s); an arm is sent zero force")
    p.add_argument("--count", type=_count, metavar="N", help="stop after N samples (default: run until Ctrl-C)")
    _verbose_option(p)
    p.set_defaults(run=cmd_monitor, quiet=False)


def _arm_sample(arm: Any) -> Optional[Record]:
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    return {"position": list(position), "velocity": list(velocity)}


def _handle_sample(handle: Any) -> Optional[Record]:
    handle.status = None
    handle.RequestStatus()
    handle.Receive()
    status: Optional[Record] = handle.status
    return status


def _format_sample(t: float, sample: Record) -> str:
    if "position" in sample:
        p = ", ".join(f"{v:+.5f}" for v in sample["position"])
        v = ", ".join(f"{v:+.4f}" for v in sample["velocity"])
        return f"{t:9.3f} s  position [{p}] m  velocity [{v}] m/s"
    q = ", ".join(f"{v:+.4f}" for v in sample["quaternion"])
    return (f"{t:9.3f} s  quaternion [{q}]  hall {sample['hall_effect_sensor_level']}  "
            f"error flag {sample['error_flag']}")


MAX_FAILURES_IN_A_ROW = 5


def cmd_monitor(args: argparse.Namespace) -> int:
    stream, device = _open(args.port, args.timeout, args.device)
    take: Callable[[Any], Optional[Record]] = _handle_sample if args.device == "handle" else _arm_sample
    period = 1.0 / args.rate
    begin = time.monotonic()
    tick = begin
    taken = 0
    failures = 0
    failed = 0
    good = 0
    reason: Optional[str] = None
    while args.count is None or taken < args.count:
        sample = take(device)
        t = time.monotonic() - begin
        taken += 1
        _error_lines.show()
        reason = device.last_error
        if reason is not None or sample is None:
            failures += 1
            failed += 1
            why = reason or "no status message"
            sys.stderr.write(f"{PROG}: {t:9.3f} s  no reply from {args.port} ({why})\n")
            if reason == "port_gone" or failures >= MAX_FAILURES_IN_A_ROW:
                hint = _other_device_hint(args.device, args.port, reason) if good == 0 else ""
                raise CommandFailed(f"giving up on {args.port} after {failures} failed exchange"
                                    f"{'s' if failures != 1 else ''}{hint}")
        else:
            failures = 0
            good += 1
            if args.json:
                print(_json(dict({"t": round(t, 6)}, **sample)), flush=True)
            else:
                print(_format_sample(t, sample), flush=True)
        tick += period
        left = tick - time.monotonic()
        if left > 0:
            time.sleep(left)
        elif left < -period:
            tick = time.monotonic()  # skip missed ticks rather than bursting
    del device, stream
    if good == 0:
        # Every exchange failed: that is no successful run, whatever the count.
        raise CommandFailed(f"nothing came back from {args.port} in {taken} exchange{'s' if taken != 1 else ''}"
                            + _other_device_hint(args.device, args.port, reason))
    if failed:
        # Samples were missed: a run with gaps is no clean run.
        raise CommandFailed(f"{failed} of {taken} exchanges with {args.port} failed")
    return 0

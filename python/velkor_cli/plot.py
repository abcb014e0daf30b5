"""velkor plot: a recording drawn to a PNG."""

import argparse
from typing import Any

from .common import CommandFailed, _json, _json_option, _quiet_option, _size, _verbose_option


def add_parser(commands: Any) -> None:
    p = commands.add_parser("plot", help="plot a recording to a PNG",
                            description="Draw a recording: position and force over time, period, exchange and "
                                        "compute time over time, and a histogram of the period's error.")
    p.add_argument("recording", metavar="RECORDING", help="an MCAP file written by velkor record or ServoLoop.record")
    p.add_argument("-o", "--output", required=True, metavar="PNG", help="the PNG to write")
    p.add_argument("--size", type=_size, default=(1600, 1200), metavar="WxH",
                   help="in pixels (default: 1600x1200)")
    _json_option(p, "print a JSON object: output, width, height")
    _quiet_option(p, "print nothing on success")
    _verbose_option(p)
    p.set_defaults(run=cmd_plot)


def cmd_plot(args: argparse.Namespace) -> int:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CommandFailed("plot needs matplotlib: pip install 'VelkorHardwareAPI[plot]'") from None
    from velkor_telemetry import RecordingError, plot

    try:
        plot(args.recording, args.output, size=args.size)
    except (RecordingError, OSError) as e:
        raise CommandFailed(str(e)) from None
    if args.json:
        print(_json({"output": args.output, "width": args.size[0], "height": args.size[1]}, indent=2))
    elif not args.quiet:
        print(f"{args.output}: {args.size[0]}x{args.size[1]} px")
    return 0

"""velkor record: every servo cycle of a scene, to an MCAP file."""

import argparse
from typing import Any

import VelkorHardwareAPI as api

from .common import CommandFailed, _json, _json_option, _newtons, _positive_rate, _progress, _quiet_option, _seconds, _verbose_option


def add_parser(commands: Any) -> None:
    p = commands.add_parser("record", help="record every servo cycle of a scene to an MCAP file "
                                           "(the simulator when no port is given)",
                            description="Run a servo loop rendering a scene and record every cycle (position, "
                                        "velocity, force, timing, flags) to an MCAP file. Without a port the "
                                        "simulator runs it, its hand pushing the tool forward for the first half "
                                        "and back for the second. Exit status 1 if a cycle was lost.")
    p.add_argument("port", metavar="PORT", nargs="?", help="an arm's port (default: start the simulator)")
    p.add_argument("--seconds", type=_seconds, default=5.0, metavar="S", help="how long (default: %(default)s)")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="the MCAP file to write")
    p.add_argument("--scene", default="wall-and-sphere", metavar="SCENE",
                   help="wall, sphere, wall-and-sphere (the default), or a Python file defining effects(start)")
    p.add_argument("--rate", type=_positive_rate, default=1000.0, metavar="HZ", help="loop rate (default: %(default)s)")
    p.add_argument("--push", type=_newtons, default=2.0, metavar="N",
                   help="simulator only: the hand's force, N (default: %(default)s)")
    p.add_argument("--ros2", action="store_true",
                   help="write a ROS 2 bag (MCAP, CDR: sensor_msgs/msg/JointState, geometry_msgs/msg/PoseStamped, "
                        "geometry_msgs/msg/WrenchStamped) instead of the JSON recording")
    p.add_argument("--ros2-rate", type=_positive_rate, default=None, metavar="HZ",
                   help="with --ros2: messages a second per topic (default: one per cycle)")
    _json_option(p, "print the summary as a JSON object (path, messages, lost, stats)")
    _quiet_option(p, "no progress line")
    _verbose_option(p)
    p.set_defaults(run=cmd_record)


def cmd_record(args: argparse.Namespace) -> int:
    from velkor_telemetry import scenes

    try:
        summary = scenes.record_run(args.port, args.seconds, args.output, scene=args.scene, rate_hz=args.rate,
                                    push=args.push, progress=lambda text: _progress(args, text), ros2=args.ros2,
                                    publish_hz=args.ros2_rate)
    except api.PortOpenError as e:
        raise CommandFailed(str(e)) from None
    except (RuntimeError, ValueError, OSError) as e:
        raise CommandFailed(str(e)) from None
    stats = summary["stats"]
    if args.json:
        print(_json({"path": str(summary["path"]), "messages": summary["messages"], "lost": summary["lost"],
                     "stats": stats}, indent=2))
        return 0 if summary["lost"] == 0 else 1
    print(f"{summary['path']}: {summary['messages']} cycles, {summary['lost']} lost; loop {stats['rate_hz']:.1f} Hz, "
          f"period p99 {stats['period_p99_us']:.0f} us, {stats['failures']} failed exchanges")
    return 0 if summary["lost"] == 0 else 1

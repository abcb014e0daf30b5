"""velkor view: a scene live in the Rerun viewer, or a recording played back into it."""

import argparse
import os
import sys
import threading
import time
from typing import Any, Optional

import VelkorHardwareAPI as api

from .common import (CommandFailed, _json, _json_option, _newtons, _positive_rate, _progress, _quiet_option, _seconds,
                     _verbose_option)


def _port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port number is from 0 to 65535, not {value}")
    return value


def _frame_rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 1.0 <= value <= 240.0:
        raise argparse.ArgumentTypeError(f"frames a second are from 1 to 240, not {text}")
    return value


def add_parser(commands: Any) -> None:
    p = commands.add_parser("view", help="watch a scene live in the Rerun viewer (the simulator when no port is "
                                         "given), or play a recording back into it",
                            description="Stream a servo loop's scene to the Rerun viewer: the arm's links, the tool, "
                                        "the force as an arrow, the effects, and plots of every cycle. Without a port "
                                        "the simulator runs the scene, its hand pushing the tool forward and back. "
                                        "Given an .mcap recording, plays it back with its timeline. Without --web "
                                        "or --save, a native viewer is spawned. Needs the view extra "
                                        "(pip install 'VelkorHardwareAPI[view]').")
    p.add_argument("source", metavar="PORT|FILE.mcap", nargs="?",
                   help="an arm's port, or a recording to play back (default: start the simulator)")
    p.add_argument("--scene", default="wall-and-sphere", metavar="SCENE",
                   help="wall, sphere, wall-and-sphere (the default), or a Python file defining effects(start); "
                        "for a recording, drawn where the recording started")
    p.add_argument("--seconds", type=_seconds, default=None, metavar="S",
                   help="how long to run (default: until Ctrl-C)")
    p.add_argument("--rate", type=_positive_rate, default=1000.0, metavar="HZ",
                   help="loop rate (default: %(default)s)")
    p.add_argument("--fps", type=_frame_rate, default=30.0, metavar="HZ",
                   help="frames a second of the 3D view (default: %(default)s)")
    p.add_argument("--push", type=_newtons, default=2.0, metavar="N",
                   help="simulator only: the hand's force, N, reversed every 2 s (default: %(default)s)")
    p.add_argument("--spawn", action="store_true", help="spawn the native viewer (the default without --web or --save)")
    p.add_argument("--web", type=_port_number, nargs="?", const=0, default=None, metavar="PORT",
                   help="serve the web viewer on this loopback port (default: a free one) and print its address")
    p.add_argument("--save", metavar="FILE.rrd", help="write the stream to a Rerun file")
    _json_option(p, "print JSON objects, one per line: the viewer's addresses, then the summary")
    _quiet_option(p, "no progress line")
    _verbose_option(p)
    p.set_defaults(run=cmd_view)


def _wait(args: argparse.Namespace, stop: threading.Event, tick: Optional[Any] = None) -> None:
    end = None if args.seconds is None else time.monotonic() + args.seconds
    while not stop.is_set():
        now = time.monotonic()
        if end is not None and now >= end:
            return
        stop.wait(0.5 if end is None else min(0.5, end - now))
        if tick is not None:
            tick()


def cmd_view(args: argparse.Namespace) -> int:
    try:
        import velkor_view
    except ImportError as e:
        raise CommandFailed(f"velkor view needs the Rerun SDK: pip install 'VelkorHardwareAPI[view]' ({e})") from None
    spawn = args.spawn or (args.web is None and args.save is None)
    if spawn and sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or
                                                          os.environ.get("WAYLAND_DISPLAY")):
        raise CommandFailed("no display for the native viewer: use --web to view the scene in a browser, "
                            "or --save FILE.rrd")
    try:
        if args.source and args.source.endswith(".mcap"):
            return _replay(args, velkor_view, spawn)
        return _live(args, velkor_view, spawn)
    except api.PortOpenError as e:
        raise CommandFailed(str(e)) from None
    except (RuntimeError, ValueError, OSError) as e:
        raise CommandFailed(str(e)) from None


def _replay(args: argparse.Namespace, velkor_view: Any, spawn: bool) -> int:
    import velkor_telemetry
    from velkor_telemetry import scenes

    if not os.path.isfile(args.source):
        raise CommandFailed(f"no recording {args.source!r}")
    records = velkor_telemetry.read(args.source)
    effects = scenes.scene_effects(args.scene, records["position"][0].tolist()) if len(records) else []
    stream, addresses, cycles = velkor_view.replay(args.source, spawn=spawn, web=args.web, save=args.save,
                                                   rate_hz=args.fps, effects=effects,
                                                   model=velkor_view.KinematicModel())
    try:
        _show_addresses(args, addresses)
        velkor_view._flush(stream, 60.0)
        if args.json:
            print(_json({"source": args.source, "cycles": cycles}), flush=True)
        else:
            print(f"{args.source}: {cycles} cycles sent to the viewer", flush=True)
        if args.web is not None:
            _progress(args, "serving the web viewer" + ("" if args.seconds is None else f" for {args.seconds:g} s") +
                      "; Ctrl-C ends")
            _wait(args, threading.Event())
    finally:
        velkor_view.close_stream(stream)
    return 0


def _show_addresses(args: argparse.Namespace, addresses: Any) -> None:
    if "web" in addresses:
        if args.json:
            print(_json({"web": addresses["web"]}), flush=True)
        else:
            print(f"web viewer: {addresses['web']}", flush=True)
    if "file" in addresses:
        _progress(args, f"saving to {addresses['file']}")


def _live(args: argparse.Namespace, velkor_view: Any, spawn: bool) -> int:
    from velkor_telemetry import scenes

    with scenes._port(args.source, args.push) as (path, sim):
        stream = api.SerialStream.open(path)
        try:
            arm = api.Vorlan3(stream, 0.5)
            start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
            if arm.last_error:
                raise CommandFailed(f"no arm answers on {path}: {arm.last_error}")
            loop = api.ServoLoop(arm, rate_hz=args.rate)
            for effect in scenes.scene_effects(args.scene, start):
                loop.add(effect)
            with loop:
                scene_view = velkor_view.view(loop, arm, spawn=spawn, web=args.web, save=args.save, rate_hz=args.fps)
                _show_addresses(args, scene_view.addresses)
                _progress(args, f"viewing {args.scene} on {path}" +
                          ("" if args.seconds is None else f" for {args.seconds:g} s") + "; Ctrl-C ends")
                push = [args.push]
                turned = [time.monotonic()]

                def tick() -> None:
                    if sim is not None and time.monotonic() - turned[0] >= 2.0:
                        push[0] = -push[0]
                        sim.set_hand_force([0.0, 0.0, push[0]])
                        turned[0] = time.monotonic()

                try:
                    _wait(args, threading.Event(), tick)
                finally:
                    summary = scene_view.stop()
                stats = loop.stats()
        finally:
            stream.close()
    if args.json:
        print(_json({"cycles": summary["cycles"], "lost": summary["lost"], "frames": summary["frames"],
                     "frames_dropped": summary["frames_dropped"], "period_p99_us": stats["period_p99_us"]}),
              flush=True)
        return 0 if summary["lost"] == 0 else 1
    print(f"{summary['cycles']} cycles plotted, {summary['lost']} lost; {summary['frames']} frames, "
          f"{summary['frames_dropped']} dropped; loop period p99 {stats['period_p99_us']:.0f} us")
    return 0 if summary["lost"] == 0 else 1

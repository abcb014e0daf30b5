"""The ``velkor`` command: list serial ports, find devices, show a device's
identity and watch its state, from the shell.

Exit status: 0 on success, 1 when the command failed or found nothing (for
``monitor``: when no exchange came back),
2 for a usage error; Ctrl-C ends it at once by SIGINT, as for any Unix tool.
The device library's ``[err]`` lines are shown only with ``--verbose``.
"""

import argparse
import json
import math
import os
import signal
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import VelkorHardwareAPI as api

__all__ = ["main"]

PROG = "velkor"
DETECT_DEVICES = ["vorlan3", "handle", "wired_handle", "wireless_handle"]
# What Windows programs end with on Ctrl-C, as a signed 32-bit exit code (0xC000013A).
STATUS_CONTROL_C_EXIT = -1073741510
KIND_TEXT = {"usb_cdc": "USB CDC", "serial": "serial", "bluetooth": "Bluetooth"}


Record = Dict[str, Any]


class CommandFailed(Exception):
    """Ends the command with exit status 1 and the message on standard error."""


class _ErrorLines:
    """Collects the device library's error lines, which the module hands over
    when a call returns, so that they never land inside a progress line."""

    def __init__(self) -> None:
        self.verbose = False
        self.lines: List[str] = []

    def __call__(self, line: str) -> None:
        self.lines.append(line)

    def show(self) -> List[str]:
        """Writes the lines collected so far (with --verbose) and returns them."""
        lines, self.lines = self.lines, []
        if self.verbose:
            for line in lines:
                sys.stderr.write(line + "\n")
            sys.stderr.flush()
        return lines


_error_lines = _ErrorLines()


def _version() -> str:
    try:
        from importlib.metadata import version

        package = version("VelkorHardwareAPI")
    except Exception:
        package = "unknown"
    return f"{PROG} {package} (device library {api.get_cpp_version()})"


def _device_name(text: str) -> str:
    name = text.replace("-", "_")
    if name == "arm":
        return "vorlan3"
    return name


def _finite(value: Any) -> Any:
    """value with every non-finite float replaced by None: JSON has no NaN."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _json(value: Any, **options: Any) -> str:
    return json.dumps(_finite(value), allow_nan=False, **options)


MIN_RATE, MAX_RATE = 0.0, 1000.0


def _positive_rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid rate: {text!r}") from None
    if not MIN_RATE < value <= MAX_RATE:
        raise argparse.ArgumentTypeError(f"rate must be above 0 and at most {MAX_RATE:g} Hz, not {text}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number of seconds: {text!r}") from None
    if not 0.0 < value <= 3600.0:
        raise argparse.ArgumentTypeError(f"seconds must be above 0 and at most 3600, not {text}")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"count must be at least 1, not {text}")
    return value


def _progress(args: argparse.Namespace, text: str, end: str = "\n") -> None:
    if not args.quiet:
        sys.stderr.write(text + end)
        sys.stderr.flush()


def _verbose_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also show the device library's [err] lines on standard error")


def _tree_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--sys-root", default="/sys", metavar="DIR",
                        help="the kernel's device tree (default: %(default)s; for tests and containers)")
    parser.add_argument("--dev-root", default="/dev", metavar="DIR",
                        help="the device-node folder (default: %(default)s)")


def _list_ports(args: argparse.Namespace) -> List[api.PortInfo]:
    try:
        return api.list_ports(args.sys_root, args.dev_root)
    except OSError as e:
        raise CommandFailed(f"cannot list serial ports: {e.filename}: {e.strerror}") from None


def cmd_ports(args: argparse.Namespace) -> int:
    ports = _list_ports(args)
    if args.json:
        print(_json([{"name": p.name, "kind": p.kind, "vendor": p.vendor} for p in ports], indent=2))
        return 0
    if not ports:
        _progress(args, "no serial ports found")
        return 0
    width = max(len(p.name) for p in ports)
    for p in ports:
        vendor = f"USB vendor {p.vendor}" if p.vendor else "not on USB"
        print(f"{p.name:<{width}}  {KIND_TEXT.get(p.kind, p.kind):<9}  {vendor}")
    _progress(args, f"{len(ports)} port{'s' if len(ports) != 1 else ''} found")
    return 0


def cmd_detect(args: argparse.Namespace) -> int:
    devices = args.device or ["vorlan3", "handle"]
    found: Dict[str, List[str]] = {device: [] for device in devices}
    # An unreadable device tree is an error, not "nothing found"; a machine
    # without serial ports is nothing found.
    if not _list_ports(args):
        _progress(args, "no serial ports found")
        devices = []
    for device in devices:
        candidates = api.detect_candidates(device, args.sys_root, args.dev_root)
        found[device] = []
        if not candidates:
            _progress(args, f"{device}: no candidate ports")
        for port, probe in candidates:
            if not probe:
                _progress(args, f"{device}: {port} reported without probing (its USB vendor makes only handles)")
                found[device].append(port)
                continue
            _progress(args, f"{device}: probing {port} ... ", end="")
            start = time.monotonic()
            try:
                # Ctrl-C ends the probe's waits at once and closes its port.
                answered = api.probe_port(device, port, args.limit)
            except KeyboardInterrupt:
                _progress(args, "interrupted")
                _error_lines.show()
                raise
            elapsed = time.monotonic() - start
            _progress(args, f"{'found' if answered else 'no answer'} ({elapsed:.2f} s)")
            _error_lines.show()
            if answered:
                found[device].append(port)
    if args.json:
        print(_json(found, indent=2))
    else:
        for device, ports in found.items():
            for port in ports:
                print(f"{device}\t{port}")
    return 0 if any(found.values()) else 1


BUSY_HINT = ("; another program has it open (a serial terminal, another velkor, ModemManager?): "
             "close that program and try again")


def _open_failure(port: str, error: "api.PortOpenError") -> str:
    # The module's message is "SerialStream.open(): cannot open 'PORT': why ([code] system text)".
    reason = str(error).split(": ", 2)[-1]
    if "not a serial port" in reason:
        reason = "not a serial port"  # the system's own words for it are "Inappropriate ioctl for device"
    elif "in use" in reason:
        reason = "the port is in use" + BUSY_HINT
    return f"cannot open {port}: {reason}"


def _other_device_hint(device: str, port: str, reason: Optional[str]) -> str:
    """What to try when the device on the port did not answer as the kind asked for."""
    if reason == "port_gone":
        return ""
    other = "handle" if device == "vorlan3" else "vorlan3"
    what = "something answered, but not as " + ("an arm" if device == "vorlan3" else "a handle") + " does; " \
        if reason == "bad_reply" else ""
    return f"; {what}if {'a handle' if other == 'handle' else 'an arm'} is on {port}, try --device {other}"


def _open(port: str, timeout: float, device: str) -> Tuple[api.SerialStream, Union[api.Vorlan3, "_RecordingHandle"]]:
    try:
        stream = api.SerialStream.open(port)
    except api.PortOpenError as e:
        _error_lines.show()
        raise CommandFailed(_open_failure(port, e)) from None
    _error_lines.show()
    if device == "handle":
        return stream, _RecordingHandle(stream)
    return stream, api.Vorlan3(stream, timeout)


class _RecordingHandle(api.Handle):
    """Keeps the last message of each kind for the command to print."""

    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.info: Optional[Record] = None
        self.status: Optional[Record] = None
        self.error: Optional[Record] = None

    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, device_model_number: int,
                            hardware_version: int, firmware_version: int) -> None:
        self.info = {"device_id": device_id, "device_model_number": device_model_number,
                     "hardware_version": hardware_version, "firmware_version": firmware_version,
                     "tool_data_remaining": tool_data_remaining}

    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: List[float], error_flag: int,
                                     hall_effect_sensor_level: int, user_data_length: int,
                                     user_data: List[int]) -> None:
        self.status = {"device_id": device_id, "quaternion": list(quaternion), "error_flag": error_flag,
                       "hall_effect_sensor_level": hall_effect_sensor_level, "user_data": list(user_data)}

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        self.error = {"device_id": device_id, "error_code": error_code}


def _arm_info(arm: api.Vorlan3, port: str) -> Record:
    info = arm.device_wakeup_dict()
    _error_lines.show()
    reason = arm.last_error
    if reason is not None or info["device_model_number"] == 0:
        raise CommandFailed(f"no arm answered on {port}" + (f" ({reason})" if reason else "")
                            + _other_device_hint("vorlan3", port, reason))
    record = {"device": "vorlan3", "port": port, "device_id": info["device_id"],
              "device_model_number": info["device_model_number"], "hardware_version": info["hardware_version"],
              "firmware_version": info["firmware_version"], "device_id_ext": str(info["device_id_ext"])}
    if info["device_model_number"] != 4:
        raise CommandFailed(f"the device on {port} is no Vorlan3 arm (model {info['device_model_number']})")
    return record


def _handle_info(handle: "_RecordingHandle", port: str) -> Record:
    handle.SendDeviceWakeup()
    code = handle.Receive()
    _error_lines.show()
    if handle.error is not None:
        raise CommandFailed(f"the handle on {port} answered with error code {handle.error['error_code']}")
    if handle.info is None:
        reason = handle.last_error
        raise CommandFailed(f"no handle answered on {port}" + (f" ({reason})" if reason else
                                                                f" (reply code {code})" if code >= 0 else "")
                            + _other_device_hint("handle", port, reason or "bad_reply"))
    return dict({"device": "handle", "port": port}, **handle.info)


def cmd_info(args: argparse.Namespace) -> int:
    stream, device = _open(args.port, args.timeout, args.device)
    if isinstance(device, _RecordingHandle):
        record = _handle_info(device, args.port)
    else:
        record = _arm_info(device, args.port)
    if args.json:
        print(_json(record, indent=2))
    else:
        for key, value in record.items():
            if key in ("device_id",):
                value = f"{value:#06x}"
            print(f"{key:<20} {value}")
    del device, stream
    return 0


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
    return 0


def cmd_serve(args: argparse.Namespace) -> int:
    try:
        from velkor_remote import serve
    except ImportError as e:
        raise CommandFailed(f"serve needs the remote extra (pip install 'VelkorHardwareAPI[remote]'): {e}") from None
    try:
        return serve.run(args)
    except (RuntimeError, ValueError) as e:
        raise CommandFailed(str(e)) from None


def cmd_record(args: argparse.Namespace) -> int:
    from velkor_telemetry import scenes

    try:
        summary = scenes.record_run(args.port, args.seconds, args.output, scene=args.scene, rate_hz=args.rate,
                                    push=args.push, progress=lambda text: _progress(args, text))
    except api.PortOpenError as e:
        raise CommandFailed(str(e)) from None
    except (RuntimeError, ValueError, OSError) as e:
        raise CommandFailed(str(e)) from None
    stats = summary["stats"]
    print(f"{summary['path']}: {summary['messages']} cycles, {summary['lost']} lost; loop {stats['rate_hz']:.1f} Hz, "
          f"period p99 {stats['period_p99_us']:.0f} us, {stats['failures']} failed exchanges")
    return 0 if summary["lost"] == 0 else 1


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
    print(f"{args.output}: {args.size[0]}x{args.size[1]} px")
    return 0


def _newtons(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid force: {text!r}") from None
    if not 0.0 <= value <= 10.0:
        raise argparse.ArgumentTypeError(f"the hand's force must be from 0 to 10 N, not {text}")
    return value


def _size(text: str) -> Tuple[int, int]:
    try:
        width, height = (int(x) for x in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not WIDTHxHEIGHT: {text!r}") from None
    if not (100 <= width <= 10000 and 100 <= height <= 10000):
        raise argparse.ArgumentTypeError(f"{text}: each side from 100 to 10000 pixels")
    return width, height


def _telemetry_parsers(commands: Any) -> None:
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
    p.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    _verbose_option(p)
    p.set_defaults(run=cmd_record)

    p = commands.add_parser("plot", help="plot a recording to a PNG",
                            description="Draw a recording: position and force over time, period, exchange and "
                                        "compute time over time, and a histogram of the period's error.")
    p.add_argument("recording", metavar="RECORDING", help="an MCAP file written by velkor record or ServoLoop.record")
    p.add_argument("-o", "--output", required=True, metavar="PNG", help="the PNG to write")
    p.add_argument("--size", type=_size, default=(1600, 1200), metavar="WxH",
                   help="in pixels (default: 1600x1200)")
    _verbose_option(p)
    p.set_defaults(run=cmd_plot, quiet=False)


def _serve_parser(commands: Any) -> None:
    p = commands.add_parser("serve", help="serve an arm over Eclipse Zenoh (the simulator when no port is given)",
                            description="Run an arm's servo loop here and serve it over Eclipse Zenoh: its state on "
                                        "velkor/NAME/state, its info, and effect changes from one controlling "
                                        "client. Multicast scouting stays off unless --scout.")
    try:
        from velkor_remote.serve import add_arguments
    except ImportError:
        p.add_argument("options", nargs=argparse.REMAINDER, help="see the remote guide")
        p.set_defaults(run=cmd_serve, verbose=False)
        return
    add_arguments(p)
    p.set_defaults(run=cmd_serve)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Find and inspect Vorlan3 arms and Strixel handles on this machine's serial ports.",
        epilog="Exit status: 0 success, 1 failure or nothing found, 2 usage error.")
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    p = commands.add_parser("ports", help="list serial ports with their kind and USB vendor",
                            description="List every serial port the detect functions consider, with its "
                                        "driver kind and USB vendor, without opening any.")
    _tree_options(p)
    p.add_argument("--json", action="store_true", help="print a JSON list")
    p.add_argument("-q", "--quiet", action="store_true", help="no summary line on standard error")
    _verbose_option(p)
    p.set_defaults(run=cmd_ports)

    p = commands.add_parser("detect", help="find the ports on which devices answer",
                            description="Probe the candidate ports of each device kind one after another, "
                                        "with a line of progress per port on standard error, and print the "
                                        "ports on which a device answered. Exit status 1 when none did.")
    p.add_argument("--device", action="append", type=_device_name, choices=DETECT_DEVICES,
                   help="device kind to look for, repeatable (default: vorlan3 and handle)")
    p.add_argument("--limit", type=_seconds, metavar="SECONDS",
                   help="how long a probe's answer may take to count (default: 3 s for arms, 5 s for handles)")
    _tree_options(p)
    p.add_argument("--json", action="store_true", help="print a JSON object: device kind -> ports")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress lines")
    _verbose_option(p)
    p.set_defaults(run=cmd_detect)

    for name, run, text in (("info", cmd_info, "print a device's identity"),
                            ("monitor", cmd_monitor, "print a device's live state at a chosen rate")):
        p = commands.add_parser(name, help=text, description=text[0].upper() + text[1:] + ".")
        p.add_argument("port", metavar="PORT", help="port name, such as /dev/ttyACM0 or ttyACM0")
        p.add_argument("--device", type=_device_name, choices=["vorlan3", "handle"], default="vorlan3",
                       help="what is on the port: vorlan3 (or arm; the default) or handle")
        p.add_argument("--timeout", type=_seconds, default=0.5, metavar="SECONDS",
                       help="how long to wait for each reply (default: %(default)s)")
        p.add_argument("--json", action="store_true",
                       help="print JSON" + (" (one object per line)" if name == "monitor" else ""))
        if name == "monitor":
            p.add_argument("--rate", type=_positive_rate, default=10.0, metavar="HZ",
                           help=f"samples per second, above {MIN_RATE:g} and at most {MAX_RATE:g} "
                                "(default: %(default)s); an arm is sent zero force")
            p.add_argument("--count", type=_count, metavar="N", help="stop after N samples (default: run until Ctrl-C)")
        _verbose_option(p)
        p.set_defaults(run=run, quiet=False)
    _telemetry_parsers(commands)
    _serve_parser(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    _error_lines.verbose = args.verbose
    api.set_error_handler(_error_lines)
    try:
        status: int = args.run(args)
        return status
    except CommandFailed as e:
        _error_lines.show()
        sys.stderr.write(f"{PROG}: {e}\n")
        return 1
    except KeyboardInterrupt:
        _error_lines.show()
        sys.stderr.flush()
        if os.name != "posix":
            # os.kill would end the process with code 2, a usage error's.
            return STATUS_CONTROL_C_EXIT
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
        return 130
    except BrokenPipeError:
        # The reader went away (velkor monitor | head): end quietly, as cat does.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    finally:
        api.set_error_handler(None)

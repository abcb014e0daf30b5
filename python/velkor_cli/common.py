"""What every subcommand shares: the program's name, the failure that ends a
command with status 1, the device library's error lines, JSON output and the
argument types and options the subcommands have in common."""

import argparse
import json
import math
import sys
from typing import Any, Dict, List, Tuple

import VelkorHardwareAPI as api

PROG = "velkor"
DETECT_DEVICES = ["vorlan3", "handle", "wired_handle", "wireless_handle"]
KIND_TEXT = {"usb_cdc": "USB CDC", "serial": "serial", "bluetooth": "Bluetooth", "unknown": "unknown"}


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


class _SubcommandParser(argparse.ArgumentParser):
    """A subcommand's parser: arguments it does not know are its usage error,
    shown with its own usage (argparse would leave them to the top-level parser,
    whose usage says nothing about the subcommand)."""

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        parsed, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error("unrecognized arguments: " + " ".join(extras))
        return parsed, extras


def _json_option(parser: argparse.ArgumentParser, text: str = "print JSON") -> None:
    parser.add_argument("--json", action="store_true", help=text)


def _quiet_option(parser: argparse.ArgumentParser, text: str = "no progress lines on standard error") -> None:
    parser.add_argument("-q", "--quiet", action="store_true", help=text)


def _verbose_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also show the device library's [err] lines on standard error")


# An example port name as people on this system write them.
PORT_EXAMPLE = "COM3" if sys.platform == "win32" else "/dev/ttyACM0 or ttyACM0"


def _tree_options(parser: argparse.ArgumentParser) -> None:
    # Windows reads its registry and device database, which have no roots to
    # point elsewhere: the options stay (and do nothing) but are not offered.
    windows = sys.platform == "win32"
    parser.add_argument("--sys-root", default="/sys", metavar="DIR",
                        help=argparse.SUPPRESS if windows else
                        "the kernel's device tree (default: %(default)s; for tests and containers)")
    parser.add_argument("--dev-root", default="/dev", metavar="DIR",
                        help=argparse.SUPPRESS if windows else "the device-node folder (default: %(default)s)")


def _list_ports(args: argparse.Namespace) -> List[api.PortInfo]:
    try:
        return api.list_ports(args.sys_root, args.dev_root)
    except OSError as e:
        raise CommandFailed(f"cannot list serial ports: {e.filename}: {e.strerror}") from None


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

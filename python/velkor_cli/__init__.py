"""The ``velkor`` command: list serial ports, find devices, show a device's
identity and watch its state, from the shell.

Exit status: 0 on success, 1 when the command failed or found nothing (for
``monitor``: when no exchange came back),
2 for a usage error; Ctrl-C ends it at once by SIGINT, as for any Unix tool.
SIGTERM and SIGHUP (a service manager stopping it, the terminal closed) take
the same way out as Ctrl-C: loops stop with zero force, a recording is closed
and readable, and the process then ends by that signal.
The device library's ``[err]`` lines are shown only with ``--verbose``.
"""

import argparse
import os
import signal
import sys
import threading
from typing import Optional, Sequence

import VelkorHardwareAPI as api

from . import detect, info, monitor, plot, ports, record, serve, view
from .common import PROG, CommandFailed, _error_lines, _SubcommandParser, _version

__all__ = ["main"]

# What Windows programs end with on Ctrl-C, as a signed 32-bit exit code (0xC000013A).
STATUS_CONTROL_C_EXIT = -1073741510


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Find and inspect Vorlan3 arms and Strixel handles on this machine's serial ports.",
        epilog="Exit status: 0 success, 1 failure or nothing found, 2 usage error.")
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_SubcommandParser)
    commands.required = True
    # The order in which --help lists them.
    for command in (ports, detect, info, monitor, record, plot, view, serve):
        command.add_parser(commands)
    return parser


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where Ctrl-C would be so that every clean-up
    a KeyboardInterrupt runs (zero force, the recording closed) runs for them."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _raise_terminated(signum: int, _frame: object) -> None:
    raise Terminated(signum)


def _end_like_ctrl_c() -> None:
    """SIGTERM and SIGHUP whose action is still the default end the command as Ctrl-C does."""
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is not None and signal.getsignal(signum) == signal.SIG_DFL:
            signal.signal(signum, _raise_terminated)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    _error_lines.verbose = args.verbose
    api.set_error_handler(_error_lines)
    if threading.current_thread() is threading.main_thread():
        _end_like_ctrl_c()
    try:
        status: int = args.run(args)
        return status
    except CommandFailed as e:
        _error_lines.show()
        sys.stderr.write(f"{PROG}: {e}\n")
        return 1
    except KeyboardInterrupt as e:
        _error_lines.show()
        sys.stderr.flush()
        signum = e.signum if isinstance(e, Terminated) else signal.SIGINT
        if os.name != "posix":
            # os.kill would end the process with code 2, a usage error's.
            return STATUS_CONTROL_C_EXIT
        try:
            sys.stdout.flush()
        except OSError:
            pass
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)
        return 128 + signum
    except BrokenPipeError:
        # The reader went away (velkor monitor | head): end quietly, as cat does.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    finally:
        api.set_error_handler(None)

"""The ``velkor`` command: list serial ports, find devices, show a device's
identity and watch its state, from the shell.

Exit status: 0 on success, 1 when the command failed or found nothing (for
``monitor``: when no exchange came back),
2 for a usage error; Ctrl-C ends it at once by SIGINT, as for any Unix tool.
The device library's ``[err]`` lines are shown only with ``--verbose``.
"""

import argparse
import os
import signal
import sys
from typing import Optional, Sequence

import VelkorHardwareAPI as api

from . import detect, info, monitor, plot, ports, record, serve, view
from .common import PROG, CommandFailed, _error_lines, _version

__all__ = ["main"]

# What Windows programs end with on Ctrl-C, as a signed 32-bit exit code (0xC000013A).
STATUS_CONTROL_C_EXIT = -1073741510


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Find and inspect Vorlan3 arms and Strixel handles on this machine's serial ports.",
        epilog="Exit status: 0 success, 1 failure or nothing found, 2 usage error.")
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    # The order in which --help lists them.
    for command in (ports, detect, info, monitor, record, plot, view, serve):
        command.add_parser(commands)
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

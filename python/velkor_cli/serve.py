"""velkor serve: an arm served over Eclipse Zenoh."""

import argparse
from typing import Any

from .common import CommandFailed


def add_parser(commands: Any) -> None:
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


def cmd_serve(args: argparse.Namespace) -> int:
    try:
        from velkor_remote import serve
    except ImportError as e:
        raise CommandFailed(f"serve needs the remote extra (pip install 'VelkorHardwareAPI[remote]'): {e}") from None
    try:
        return serve.run(args)
    except (RuntimeError, ValueError) as e:
        raise CommandFailed(str(e)) from None

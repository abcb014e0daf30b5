"""velkor ports: the serial ports with their kind and USB vendor."""

import argparse
from typing import Any

from .common import KIND_TEXT, _json, _list_ports, _progress, _tree_options, _verbose_option


def add_parser(commands: Any) -> None:
    p = commands.add_parser("ports", help="list serial ports with their kind and USB vendor",
                            description="List every serial port the detect functions consider, with its "
                                        "driver kind and USB vendor, without opening any; ports of "
                                        "drivers they do not know show as 'unknown'.")
    _tree_options(p)
    p.add_argument("--json", action="store_true", help="print a JSON list")
    p.add_argument("-q", "--quiet", action="store_true", help="no summary line on standard error")
    _verbose_option(p)
    p.set_defaults(run=cmd_ports)


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

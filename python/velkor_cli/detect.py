"""velkor detect: the ports on which devices answer."""

import argparse
from typing import Any, Dict, List

import VelkorHardwareAPI as api

from .common import (DETECT_DEVICES, _device_name, _error_lines, _json, _list_ports, _progress, _seconds,
                     _tree_options, _verbose_option)


def add_parser(commands: Any) -> None:
    p = commands.add_parser("detect", help="find the ports on which devices answer",
                            description="Probe the candidate ports of each device kind, all ports of a kind at once, "
                                        "with a line of progress per port on standard error as its outcome "
                                        "comes in, and print the ports on which a device answered. Exit "
                                        "status 1 when none did.")
    p.add_argument("--device", action="append", type=_device_name, choices=DETECT_DEVICES,
                   help="device kind to look for, repeatable (default: vorlan3 and handle)")
    p.add_argument("--limit", type=_seconds, metavar="SECONDS",
                   help="how long a probe's answer may take to count (default: 3 s for arms, 5 s for handles)")
    _tree_options(p)
    p.add_argument("--json", action="store_true", help="print a JSON object: device kind -> ports")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress lines")
    _verbose_option(p)
    p.set_defaults(run=cmd_detect)


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
        if not candidates:
            _progress(args, f"{device}: no candidate ports")
            continue
        probed = [port for port, probe in candidates if probe]
        if probed:
            _progress(args, f"{device}: probing {len(probed)} port{'s' if len(probed) != 1 else ''} at once")
        pending = set(probed)

        def report(port: str, outcome: str, seconds: float, device: str = device) -> None:
            # One line per port as its outcome comes in, with the device library's lines after it.
            pending.discard(port)
            if outcome == "not probed":
                _progress(args, f"{device}: {port} reported without probing (its USB vendor makes only handles)")
            else:
                _progress(args, f"{device}: probing {port} ... {outcome} ({seconds:.2f} s)")
            _error_lines.show()

        try:
            # Ctrl-C stops every probe at once and closes their ports.
            found[device] = api.discover(device, limit=args.limit, progress=report,
                                         sys_root=args.sys_root, dev_root=args.dev_root)
        except KeyboardInterrupt:
            for port in sorted(pending):
                _progress(args, f"{device}: probing {port} ... interrupted")
            _error_lines.show()
            raise
        _error_lines.show()
    if args.json:
        print(_json(found, indent=2))
    else:
        for device, ports in found.items():
            for port in ports:
                print(f"{device}\t{port}")
    return 0 if any(found.values()) else 1

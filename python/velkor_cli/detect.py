"""velkor detect: the ports on which devices answer."""

import argparse
import time
from typing import Any, Dict, List

import VelkorHardwareAPI as api

from .common import (DETECT_DEVICES, _device_name, _error_lines, _json, _list_ports, _progress, _seconds,
                     _tree_options, _verbose_option)


def add_parser(commands: Any) -> None:
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

"""velkor info: a device's identity."""

import argparse
from typing import Any

import VelkorHardwareAPI as api

from .common import CommandFailed, Record, _error_lines, _json, _verbose_option
from .devices import _open, _other_device_hint, _RecordingHandle, add_device_port_arguments

TEXT = "print a device's identity"


def add_parser(commands: Any) -> None:
    p = commands.add_parser("info", help=TEXT, description=TEXT[0].upper() + TEXT[1:] + ".")
    add_device_port_arguments(p)
    p.add_argument("--json", action="store_true", help="print JSON")
    _verbose_option(p)
    p.set_defaults(run=cmd_info, quiet=False)


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

"""Opening a port for a device kind, and what to say when the device on it
does not answer: shared by info and monitor."""

import argparse
from typing import List, Optional, Tuple, Union

import VelkorHardwareAPI as api

from .common import PORT_EXAMPLE, CommandFailed, Record, _device_name, _error_lines, _seconds

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




def add_device_port_arguments(p: argparse.ArgumentParser) -> None:
    """PORT, --device and --timeout, as info and monitor take them."""
    p.add_argument("port", metavar="PORT", help=f"port name, such as {PORT_EXAMPLE}")
    p.add_argument("--device", type=_device_name, choices=["vorlan3", "handle"], default="vorlan3",
                   help="what is on the port: vorlan3 (or arm; the default) or handle")
    p.add_argument("--timeout", type=_seconds, default=0.5, metavar="SECONDS",
                   help="how long to wait for each reply (default: %(default)s)")


#!/usr/bin/env python3
"""Decoded handle messages through the callbacks of a Handle subclass.

Wakes the handle, sends it a byte of user data, then asks for its status a few
times a second; every message the handle sends arrives in one of the callbacks
below, called from inside Receive. Finally reads the self-checking status frame
with GetStrixelStatus. Whatever goes wrong is said, and the exit status is 1.

Without --port it starts the device simulator (velkor-sim) as a handle.
"""

import argparse
import math
import sys
import time
from typing import Callable, List, NoReturn, Optional

import VelkorHardwareAPI as api
import velkor_sim

# What GetStrixelStatus puts in "error_flag" when it found no frame; any other
# non-zero value is the handle's own error byte.
STATUS_READ_FAILURES = {
    99: "no status frame arrived within the wait (is the handle streaming status frames?)",
    2: "no reply code could be read",
    3: "no valid frame among the bytes that arrived (garbled or a bad checksum)",
}


class Parser(argparse.ArgumentParser):
    """Bad arguments end the program with one line, not the whole usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def bounded(low: float, high: float) -> Callable[[str], float]:
    """An argparse type for a number in (low, high]."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not (math.isfinite(value) and low < value <= high):
            raise argparse.ArgumentTypeError(f"{text} is out of range: above {low:g}, at most {high:g}")
        return value
    return parse


def open_stream(port: str) -> Optional[api.SerialStream]:
    try:
        return api.SerialStream.open(port)
    except api.PortOpenError as e:
        print(e)
        return None


def quaternion_problem(q: List[float]) -> Optional[str]:
    """A handle reports a unit quaternion; anything else is no orientation."""
    norm = math.sqrt(sum(v * v for v in q))
    if abs(norm - 1.0) > 0.05:
        return f"quaternion of norm {norm:.3f}, not an orientation"
    return None


class PrintingHandle(api.Handle):
    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.problems = 0

    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, device_model_number: int,
                            hardware_version: int, firmware_version: int) -> None:
        print(f"info     device {device_id:#06x}, model {device_model_number}, hardware {hardware_version}, "
              f"firmware {firmware_version}, tool data remaining {tool_data_remaining}")

    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: List[float], error_flag: int,
                                     hall_effect_sensor_level: int, user_data_length: int,
                                     user_data: List[int]) -> None:
        q = ", ".join(f"{v:+.4f}" for v in quaternion)
        print(f"status   device {device_id:#06x}, quaternion [{q}], error {error_flag}, "
              f"hall {hall_effect_sensor_level}, user data {user_data}")
        for problem in (quaternion_problem(quaternion),
                        f"the handle reports error {error_flag}" if error_flag else None):
            if problem:
                print(f"         ! {problem}")
                self.problems += 1

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        print(f"error    device {device_id:#06x}, code {error_code}")
        self.problems += 1


def show_messages(port: str, seconds: float, rate: float) -> int:
    """Returns the number of problems seen."""
    stream = open_stream(port)
    if stream is None:
        return 1
    handle = PrintingHandle(stream)
    handle.SendDeviceWakeup()
    if handle.Receive() < 0:
        print(f"no handle answers on {port}: {handle.last_error or 'no reply to the wake-up'}")
        return 1
    handle.SendHandleState(0, 1, 7)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        handle.RequestStatus()
        if handle.Receive() < 0:
            print(f"no reply to a status request: {handle.last_error or 'nothing arrived'}")
            handle.problems += 1
        time.sleep(1.0 / rate)
    return handle.problems


def show_status_frames(port: str, count: int) -> int:
    """Returns the number of frames that could not be used."""
    stream = open_stream(port)
    if stream is None:
        return 1
    handle = api.Handle(stream)
    problems = 0
    for _ in range(count):
        status = handle.GetStrixelStatus()
        flag = status["error_flag"]
        if flag in STATUS_READ_FAILURES:
            print(f"frame    none: {STATUS_READ_FAILURES[flag]} ({handle.last_error or 'no reason recorded'})")
            problems += 1
        else:
            q = ", ".join(f"{v:+.4f}" for v in status["quaternion"])
            print(f"frame    device {status['device_id']:#04x}, quaternion [{q}], error {flag}, "
                  f"hall {status['hall_effect_sensor_level']}, buttons {status['buttons']:03b}, "
                  f"battery {status['battery_level']:.3f} V")
            for problem in (quaternion_problem(status["quaternion"]),
                            f"the handle reports error {flag}" if flag else None):
                if problem:
                    print(f"         ! {problem}")
                    problems += 1
        time.sleep(0.25)
    return problems


def main() -> int:
    parser = Parser(description=(__doc__ or "").splitlines()[0],
                    formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--port", help="a real handle's port; default: start the simulator")
    parser.add_argument("--seconds", type=bounded(0, 3600), default=1.0, help="how long to ask for status, s")
    parser.add_argument("--rate", type=bounded(0, 100), default=4.0, help="status requests per second")
    args = parser.parse_args()

    try:
        if args.port:
            problems = show_messages(args.port, args.seconds, args.rate)
            problems += show_status_frames(args.port, 4)
        else:
            with velkor_sim.simulator("handle") as port:
                problems = show_messages(port, args.seconds, args.rate)
            with velkor_sim.simulator("handle", stream_status=4) as port:
                problems += show_status_frames(port, 4)
    except KeyboardInterrupt:
        print("interrupted")
        return 130
    except velkor_sim.SimulatorError as e:
        print(e)
        return 1
    if problems:
        print(f"{problems} problem{'s' if problems != 1 else ''}, see above")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

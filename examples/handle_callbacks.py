#!/usr/bin/env python3
"""Decoded handle messages through the callbacks of a Handle subclass.

Wakes the handle, sends it a byte of user data, then asks for its status a few
times a second; every message the handle sends arrives in one of the callbacks
below, called from inside Receive. Finally reads the self-checking status frame
with GetStrixelStatus.

Without --port it starts the device simulator (velkor-sim) as a handle.
"""

import argparse
import contextlib
import time

import VelkorHardwareAPI as api
import velkor_sim


class PrintingHandle(api.Handle):
    def OnReceiveHandleInfo(self, tool_data_remaining, device_id, device_model_number,
                            hardware_version, firmware_version):
        print(f"info     device {device_id:#06x}, model {device_model_number}, hardware {hardware_version}, "
              f"firmware {firmware_version}, tool data remaining {tool_data_remaining}")

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall_effect_sensor_level,
                                     user_data_length, user_data):
        q = ", ".join(f"{v:+.4f}" for v in quaternion)
        print(f"status   device {device_id:#06x}, quaternion [{q}], error {error_flag}, "
              f"hall {hall_effect_sensor_level}, user data {user_data}")

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        print(f"error    device {device_id:#06x}, code {error_code}")


def show_messages(port, seconds, rate):
    stream = api.SerialStream(port)
    handle = PrintingHandle(stream)
    handle.SendDeviceWakeup()
    handle.Receive()
    handle.SendHandleState(0, 1, 7)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        handle.RequestStatus()
        if handle.Receive() < 0:
            print("no reply")
        time.sleep(1.0 / rate)


def show_status_frames(port, count):
    stream = api.SerialStream(port)
    handle = api.Handle(stream)
    for _ in range(count):
        status = handle.GetStrixelStatus()
        q = ", ".join(f"{v:+.4f}" for v in status["quaternion"])
        print(f"frame    device {status['device_id']:#04x}, quaternion [{q}], error {status['error_flag']}, "
              f"hall {status['hall_effect_sensor_level']}, buttons {status['buttons']:03b}, "
              f"battery {status['battery_level']:.3f} V")
        time.sleep(0.25)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="a real handle's port; default: start the simulator")
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--rate", type=float, default=4.0, help="status requests per second")
    args = parser.parse_args()

    if args.port:
        show_messages(args.port, args.seconds, args.rate)
        show_status_frames(args.port, 4)
        return
    with velkor_sim.simulator("handle") as port:
        show_messages(port, args.seconds, args.rate)
    with velkor_sim.simulator("handle", stream_status=4) as port:
        show_status_frames(port, 4)


if __name__ == "__main__":
    main()

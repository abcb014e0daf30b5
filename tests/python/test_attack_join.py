"""Replies judged from outside: what the device process wrote, and whose reply the host took.

Each state reply echoes its request (position = the request's three floats, velocity x = a number
the test gives it), so a reading reported as good that is not the echo of its own request is
another frame's bytes.
"""

import struct
import time

import pytest

import VelkorHardwareAPI as api
from fault_device import FaultDevice


def state(values, number):
    return b"\x2b" + struct.pack("<6f", *values, number, 0.0, 0.0)


def f32(values):
    return [struct.unpack("<f", struct.pack("<f", v))[0] for v in values]


# One stray byte that reads as the reply's code, just before a whole reply, on a quiet line in step
# (alone, or with a notification frame a few milliseconds later). The 25 bytes from the stray byte
# on are no reply: one byte of the real reply is left over, beginning no frame. With these values
# the shifted bytes read as a plausible state (x about -2.3e-17 m).
@pytest.mark.parametrize("stray, notification_after, faulty_call", [
    (b"\x2b", None, 8),
    (b"\x2b", 0.004, 8),
    (b"\x2b", 0.010, 8),
])
def test_a_stray_reply_code_before_a_reply_is_never_a_reading(stray, notification_after, faulty_call):
    device = FaultDevice("script")
    try:
        arm = api.Vorlan3(api.SerialStream.open(device.path), 0.05)
        previous = [0.0, 0.0, 0.0]
        for number in range(1, 10):
            values = [0.01 * number, 0.5, -0.25]
            faulty = number == faulty_call
            # a notification whose payload holds a copy of the previous reply (velocity x 99.25)
            notification = b"\xba\x00\x30" + b"\x11" * 5 + state(previous, 99.25) + b"\x22" * 18
            previous = values
            device.expect(13, (stray if faulty else b"") + state(values, number))
            if faulty and notification_after is not None:
                device.send(notification, delay=notification_after)
            position, velocity = arm.end_effector_force(values)
            if arm.last_error is None:
                assert (f32(position), velocity[0]) == (f32(values), number), (
                    f"call {number}: a reading reported as good is not its own reply")
            time.sleep(0.06)   # the line is quiet and in step before every request
    finally:
        device.close()

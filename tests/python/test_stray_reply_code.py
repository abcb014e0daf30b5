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


def test_the_servo_loop_takes_no_reading_from_a_stray_reply_code_before_a_reply():
    # The echo arm numbers its requests from 1; the loop makes one exchange a cycle from its first,
    # so cycle k's request is number k + 1 and its reply, when good, echoes the force it carried.
    device = FaultDevice("arm")
    try:
        arm = api.Vorlan3(api.SerialStream.open(device.path), 0.5)
        loop = api.ServoLoop(arm, 1000.0, exchange_timeout=0.01)
        loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
        rows = []
        with loop:
            give_up = time.monotonic() + 10.0
            while loop.stats()["cycles"] < 100 and time.monotonic() < give_up:
                time.sleep(0.01)
            for _ in range(5):
                device.fault("stray_code")
                time.sleep(0.05)
                rows.extend(loop.drain()[0])
        rows.extend(loop.drain()[0])
        assert len(rows) > 100
        taken = [(int(r["cycle"]), [float(v) for v in r["position"]], float(r["velocity"][0]))
                 for r in rows if not r["flags"] & 8 and
                 (float(r["velocity"][0]) != r["cycle"] + 1 or list(r["position"]) != list(r["force"]))]
        assert taken == [], f"cycles whose good reading is not their own reply: {taken[:3]}"
    finally:
        device.close()

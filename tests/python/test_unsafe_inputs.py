"""Values with no safe meaning for an arm that pushes on a hand are refused before anything is sent."""

import math
import struct
import warnings

import pytest

import VelkorHardwareAPI as api

TIMEOUT = 0.6
NAN, INF = math.nan, math.inf


def f32(*values):
    return struct.pack(f"<{len(values)}f", *values)


def request(code, *components):
    return bytes([code]) + f32(*components)


@pytest.fixture
def arm(stream):
    arm = api.Vorlan3(stream, TIMEOUT)
    yield arm
    arm.adjust_lengths()
    arm.adjust_gear_ratios()


REFUSED = [
    ("end_effector_force", ([NAN, 0, 0],)),
    ("end_effector_force", ([0, INF, 0],)),
    ("end_effector_force", ([0, 0, 1e39],)),  # beyond float32: infinity on the wire
    ("end_effector_position", ([0, -INF, 0],)),
    ("joint_torques", ([NAN, NAN, NAN],)),
    ("joint_angles", ([0, 0, NAN],)),
    ("adjust_angles", ([NAN, 0, 0],)),
    ("SendForce", ([NAN, 0, 0],)),
    ("SendForce", (0.0, INF, 0.0)),
    ("SendJointTorques", ([INF, 0, 0],)),
    ("SendAngle", ([0, NAN, 0],)),
    ("SendPosition", ([0, 0, -INF],)),
    ("adjust_lengths", (NAN,)),
    ("adjust_lengths", (0.14, 0.14, 0.165, 0.165, INF)),
    ("adjust_gear_ratios", (NAN,)),
    ("adjust_gear_ratios", (1.0, 0.0, 1.0)),
    ("adjust_gear_ratios", (1.0, 1.0, -INF)),
]


def call_ignoring_deprecation(arm, method, args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return getattr(arm, method)(*args)


@pytest.mark.parametrize("method, args", REFUSED)
def test_non_finite_values_and_a_zero_gear_ratio_raise_value_error_before_any_io(arm, pty_device, method, args):
    pty_device.expect(13, b"\x1b" + f32(10, -20, 40, 0, 0, 0))
    host_position = arm.get_end_effector_position(False)[0]
    before = len(pty_device.written())
    with pytest.raises(ValueError, match=rf"^{method}\(\): .*(finite|must not be 0)"):
        call_ignoring_deprecation(arm, method, args)
    assert arm.last_error is None and arm.failures == 0
    # The next exchange finds the reply meant for it, and it is the only thing written since.
    pty_device.expect(13, b"\x1b" + f32(10, -20, 40, 0, 0, 0))
    assert arm.get_end_effector_position(False)[0] == host_position  # the shared model is unchanged too
    assert pty_device.written()[before:] == request(0x1A, 0, 0, 0)
    assert all(math.isfinite(v) for v in host_position)


def sent_force(pty_device, before):
    assert pty_device.wait_written(before + 13)
    return struct.unpack("<3f", pty_device.written()[before + 1:before + 13])


def test_max_force_is_off_by_default_and_scales_a_longer_force_to_its_length(arm, pty_device):
    reply = b"\x2b" + f32(0, 0, 0, 0, 0, 0)
    assert arm.max_force is None
    cases = [
        (None, [30.0, 40.0, 0.0], [30.0, 40.0, 0.0]),  # the default sends what it is given
        (5.0, [30.0, 40.0, 0.0], [3.0, 4.0, 0.0]),     # direction kept, length 5
        (5.0, [1.0, -2.0, 2.0], [1.0, -2.0, 2.0]),     # shorter forces pass unchanged
        (0.0, [1.0, 0.0, 0.0], [0.0, 0.0, 0.0]),
    ]
    for limit, force, sent in cases:
        arm.max_force = limit
        assert arm.max_force == limit
        before = len(pty_device.written())
        pty_device.expect(13, reply)
        arm.end_effector_force(force)
        assert sent_force(pty_device, before) == pytest.approx(sent)
    arm.max_force = 2.0
    before = len(pty_device.written())
    call_ignoring_deprecation(arm, "SendForce", (0.0, 0.0, -10.0))
    assert sent_force(pty_device, before) == pytest.approx([0.0, 0.0, -2.0])
    # Torques are no forces: the limit leaves them alone.
    before = len(pty_device.written())
    pty_device.expect(13, b"\x1b" + f32(0, 0, 0, 0, 0, 0))
    arm.joint_torques([10.0, 0.0, 0.0])
    assert pty_device.written()[before:] == request(0x1A, 10, 0, 0)


@pytest.mark.parametrize("limit", [-1.0, NAN, INF, "5"])
def test_max_force_refuses_what_is_no_limit(arm, limit):
    with pytest.raises((ValueError, TypeError)):
        arm.max_force = limit
    assert arm.max_force is None

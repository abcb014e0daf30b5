"""Vorlan3 methods against an arm played on the master side of a pty."""

import gc
import math
import struct
import sys
import threading
import time
import uuid
import warnings

import pytest

import VelkorHardwareAPI as api

TIMEOUT = 0.6  # replies come from a thread of this process: leave room for a loaded machine
ZERO_STATE = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
ZERO_UUID = uuid.UUID(int=0)


def f32(*values):
    return struct.pack(f"<{len(values)}f", *values)


def single(*values):
    return list(struct.unpack(f"<{len(values)}f", f32(*values)))


def request(code, *components):
    return bytes([code]) + f32(*components)


@pytest.fixture
def arm(stream):
    return api.Vorlan3(stream, TIMEOUT)


def count_other_thread_during(call):
    """How often a second Python thread got to run while call() was in progress."""
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.002)

    thread = threading.Thread(target=tick)
    thread.start()
    time.sleep(0.05)
    before = ticks
    result = call()
    during = ticks - before
    stop.set()
    thread.join()
    return during, result


# --- state exchange -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("method, code, reply_code", [
    ("end_effector_force", 0x2A, 0x2B),
    ("end_effector_position", 0x2C, 0x2B),
    ("joint_torques", 0x1A, 0x1B),
    ("joint_angles", 0x1C, 0x1B),
])
def test_exchange_writes_code_and_three_floats_and_decodes_the_state(arm, pty_device, method, code, reply_code):
    pty_device.expect(13, bytes([reply_code]) + f32(0.1, 0.2, 0.3, 1, 2, 3))
    assert getattr(arm, method)([1.0, -2.0, 0.5]) == (single(0.1, 0.2, 0.3), [1.0, 2.0, 3.0])
    assert pty_device.written() == bytes([code]) + bytes.fromhex("0000803F 000000C0 0000003F")


def test_request_vector_conversions(arm, pty_device):
    cases = [
        ((1, 2, 3), request(0x2A, 1, 2, 3)),                 # a tuple of ints converts
        ([1.0, 2.0, 3.0, 4.0], request(0x2A, 1, 2, 3)),      # elements past 2 are ignored
        (range(3), request(0x2A, 0, 1, 2)),
        ([0.1, 3e38, -3e38], request(0x2A, 0.1, 3e38, -3e38)),  # nearest float32
    ]
    reply = b"\x2b" + f32(*range(6))
    for vector, sent in cases:
        pty_device.expect(13, reply)
        assert arm.end_effector_force(vector) == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])
    pty_device.expect(13, reply)
    assert arm.end_effector_force() == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])
    assert pty_device.written() == b"".join(sent for _, sent in cases) + request(0x2A, 0, 0, 0)


def test_notification_frames_ahead_of_the_reply_change_nothing(arm, pty_device):
    notifications = bytes([0xBA, 0x55, 3, 1, 2, 3, 0xBB, 0x07, 0])
    pty_device.expect(13, notifications + b"\x1b" + f32(10, -20, 40, 1, 2, 3))
    assert arm.joint_torques() == ([10.0, -20.0, 40.0], [1.0, 2.0, 3.0])


def test_wrong_or_missing_reply_gives_zero_triples(arm, pty_device):
    pty_device.expect(13, b"\x1b" + f32(*range(1, 7)))
    assert arm.end_effector_force([1, 2, 3]) == ZERO_STATE
    pty_device.wait_script_done()
    arm.flush_input()
    assert arm.joint_angles([1, 2, 3]) == ZERO_STATE
    assert pty_device.written() == request(0x2A, 1, 2, 3) + request(0x1C, 1, 2, 3)


# --- identity -----------------------------------------------------------------------------------------------

WAKEUP_REPLY = bytes.fromhex("0b 3412 07 02 05") + bytes(range(16))


def test_device_wakeup_tuple_and_dict(arm, pty_device):
    pty_device.expect(1, bytes([0xBA, 0, 3, 9, 9, 9]) + WAKEUP_REPLY)
    assert arm.device_wakeup() == (0x1234, 7, 2, 5, list(range(16)))
    pty_device.expect(1, WAKEUP_REPLY)
    info = arm.device_wakeup_dict()
    assert list(info) == ["device_id", "device_model_number", "hardware_version", "firmware_version", "device_id_ext"]
    assert info == {"device_id": 0x1234, "device_model_number": 7, "hardware_version": 2, "firmware_version": 5,
                    "device_id_ext": uuid.UUID("000102030405060708090a0b0c0d0e0f")}
    assert type(info["device_id_ext"]) is uuid.UUID
    assert pty_device.written() == b"\x0a\x0a"


def test_failed_wakeup_gives_zeros(arm, pty_device):
    assert arm.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    pty_device.expect(0, WAKEUP_REPLY[:10])  # a short payload
    assert arm.device_wakeup_dict() == {"device_id": 0, "device_model_number": 0, "hardware_version": 0,
                                        "firmware_version": 0, "device_id_ext": ZERO_UUID}


def test_split_wakeup_then_receive_device_info(arm, pty_device):
    pty_device.expect(1, WAKEUP_REPLY)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert arm.SendDeviceWakeup() is None
    *numbers, ext = arm.ReceiveDeviceInfo()
    assert numbers == [0x1234, 7, 2, 5]
    assert type(ext) is api.UUID and ext.bytes() == list(range(16))
    *numbers, ext = arm.ReceiveDeviceInfo()  # nothing more was sent, so nothing comes
    assert numbers == [0, 0, 0, 0] and ext.bytes() == [0] * 16
    assert pty_device.written() == b"\x0a"


@pytest.mark.parametrize("method, sub_code, reply, expected", [
    ("get_device_id", 0xD1, bytes([0x0D, 0xD1, 16]) + b"\xab" * 16, uuid.UUID(hex="ab" * 16)),
    ("get_firmware_version", 0xD2, bytes([0x0D, 0xD2, 16]) + bytes(range(16)),
     uuid.UUID(hex="000102030405060708090a0b0c0d0e0f")),
    ("get_device_id", 0xD1, bytes([0x0D, 0xD1, 15]) + b"\xab" * 16, ZERO_UUID),   # invalid length byte
    ("get_device_id", 0xD1, bytes([0x0D, 0xD2, 16]) + b"\xab" * 16, ZERO_UUID),   # answer to the other query
    ("get_firmware_version", 0xD2, b"", ZERO_UUID),                                # silence
])
def test_identifier_queries(process_stream, process_device, method, sub_code, reply, expected):
    arm = api.Vorlan3(process_stream, TIMEOUT)
    process_device.expect(2, reply)
    result = getattr(arm, method)()
    assert type(result) is uuid.UUID and result == expected
    assert process_device.written() == bytes([0x0D, sub_code])


# --- split state methods and the queue they leave -------------------------------------------------------------

def test_send_only_methods_leave_the_reply_for_the_receive_methods(arm, pty_device):
    first, second = b"\x2b" + f32(*range(6)), b"\x2b" + f32(*range(10, 16))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pty_device.expect(13, first)
        arm.SendPosition([1, 2, 3])
        position, velocity = [9.0] * 4, [8.0] * 3
        assert arm.ReceiveState(position, velocity) == ([0.0, 1.0, 2.0, 9.0], [3.0, 4.0, 5.0])
        assert position == [9.0] * 4 and velocity == [8.0] * 3
        pty_device.expect(13, second)
        arm.SendForce(0, 0, 0)
        # A split receive reads what is queued, however long it has waited there.
        assert pty_device.wait_host_queued(len(second))
        assert arm.ReceiveState() == ([10.0, 11.0, 12.0], [13.0, 14.0, 15.0])
        pty_device.expect(13, b"\x1b" + f32(*range(20, 26)))
        arm.SendJointTorques([4, 5, 6])
        assert arm.ReceiveJointState() == ([20.0, 21.0, 22.0], [23.0, 24.0, 25.0])
        pty_device.expect(13, b"\x1b" + f32(*range(30, 36)))
        arm.SendAngle([7, 8, 9])
        assert arm.ReceiveJointState([1, 1, 1], [2, 2, 2, 2]) == ([30.0, 31.0, 32.0], [33.0, 34.0, 35.0, 2.0])
    assert pty_device.written() == (request(0x2C, 1, 2, 3) + request(0x2A, 0, 0, 0) + request(0x1A, 4, 5, 6)
                                    + request(0x1C, 7, 8, 9))


def test_a_whole_exchange_never_returns_a_reply_queued_before_its_request(arm, pty_device):
    stale, own = b"\x2b" + f32(*range(6)), b"\x2b" + f32(*range(10, 16))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pty_device.expect(13, stale)
        arm.SendPosition([1, 2, 3])  # its reply stays queued: nobody receives it
    assert pty_device.wait_host_queued(len(stale))
    pty_device.expect(13, own)
    assert arm.end_effector_force() == ([10.0, 11.0, 12.0], [13.0, 14.0, 15.0])
    assert arm.last_error is None


def test_receive_methods_return_their_arguments_unchanged_on_failure(arm, pty_device):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert arm.ReceiveState([9, 9, 9, 9], [8, 8, 8]) == ([9.0] * 4, [8.0] * 3)
        pty_device.send(b"\x2b" + f32(*range(6)))  # the wrong kind of state
        assert arm.ReceiveJointState([1, 2, 3], [4, 5, 6]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])


@pytest.mark.parametrize("args, kwargs, sent", [
    ((), {}, (0, 0, 0)),                  # the list overload's default
    (([1.0, 2.0, 3.0],), {}, (1, 2, 3)),  # list overload, strict pass
    (((1, 2, 3),), {}, (1, 2, 3)),        # list overload, converting pass
    ((1.0, 2.0, 3.0), {}, (1, 2, 3)),     # three-value overload, strict pass
    ((1, 2, 3), {}, (1, 2, 3)),           # three-value overload, converting pass
    ((1, 2), {}, (1, 2, 0)),
    ((), {"ForceY": 5}, (0, 5, 0)),
])
def test_send_force_overload_selection(arm, pty_device, args, kwargs, sent):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert arm.SendForce(*args, **kwargs) is None
    assert pty_device.wait_written(13)
    assert pty_device.written() == request(0x2A, *sent)


# --- deprecation warnings -----------------------------------------------------------------------------------

@pytest.mark.parametrize("method, args, text", [
    ("SendDeviceWakeup", (), "SendDeviceWakeup is deprecated, use device_wakeup instead"),
    ("SendForce", ([1.0, 2.0, 3.0],), "SendForce is deprecated, use end_effector_force instead"),
    ("SendForce", (1.0, 2.0, 3.0), "SendForce is deprecated, use end_effector_force instead"),
    ("ReceiveState", (), "ReceiveState is deprecated, use end_effector instead"),
    ("ReceiveJointState", (), "ReceiveJointState is deprecated, use joint_torques instead"),
    ("SendJointTorques", (), "SendJointTorques is deprecated, use joint_torques instead"),
    ("SendPosition", (), "SendPosition is deprecated, use end_effector_position instead"),
    ("ReceiveDeviceInfo", (), None),
    ("SendAngle", (), None),
    ("RequestCurrent", (), None),
    ("ReceiveCurrent", (), None),
])
def test_deprecated_methods_warn_once_per_call_at_the_callers_line(arm, method, args, text):
    arm.set_read_timeout(0.05)
    bound = getattr(arm, method)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        bound(*args)
        bound(*args)
    if text is None:
        assert caught == []
        return
    assert [(w.category, str(w.message), w.filename, w.lineno) for w in caught] == \
        [(DeprecationWarning, text, __file__, line), (DeprecationWarning, text, __file__, line + 1)]


def test_warning_turned_into_an_error_stops_the_call_before_sending(arm, pty_device):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="^SendForce is deprecated, use end_effector_force instead$"):
            arm.SendForce([1.0, 2.0, 3.0])
        arm.SendAngle([4, 5, 6])
    assert pty_device.wait_written(13)
    assert pty_device.written() == request(0x1C, 4, 5, 6)


# --- argument rules -----------------------------------------------------------------------------------------

def test_short_lists_are_refused_before_any_io(arm, pty_device):
    calls = [
        lambda: arm.end_effector_force([1.0, 2.0]),
        lambda: arm.joint_torques([]),
        lambda: arm.end_effector_position([1]),
        lambda: arm.joint_angles(()),
        lambda: arm.adjust_angles([0, 0]),
        lambda: arm.SendForce([1.0]),
        lambda: arm.SendPosition([1, 2]),
        lambda: arm.SendJointTorques([1, 2]),
        lambda: arm.SendAngle([1, 2]),
        lambda: arm.ReceiveState([1, 2], [1, 2, 3]),
        lambda: arm.ReceiveJointState([1, 2, 3], [1]),
        lambda: arm.ReceiveCurrent([1.0]),
    ]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for call in calls:
            with pytest.raises(ValueError, match="needs at least 3 elements"):
                call()
    assert caught == []
    arm.SendAngle([7, 8, 9])
    assert pty_device.wait_written(13)
    assert pty_device.written() == request(0x1C, 7, 8, 9)


def test_conversion_refusals_raise_type_error_with_pybind11s_message(arm):
    for call in [
        lambda: arm.end_effector_force([1.0, "2", 3.0]),
        lambda: arm.end_effector_force("123"),
        lambda: arm.end_effector_force({1: 1.0, 2: 2.0, 3: 3.0}),
        lambda: arm.end_effector_force([2 ** 1024, 0, 0]),  # no float holds it
        lambda: arm.send_raw(bytearray(b"ab")),
        lambda: arm.send_raw("ab"),
        lambda: arm.read_raw(-1),
        lambda: arm.read_raw(2 ** 64),
        lambda: arm.read_raw(3.0),
        lambda: arm.get_end_effector_position([]),
        lambda: arm.set_read_timeout("1"),
        lambda: arm.device_wakeup(1),
    ]:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError) as error:
        arm.end_effector_force([1, 2, 3], [4])
    assert str(error.value) == (
        "end_effector_force(): incompatible function arguments. The following argument types are supported:\n"
        "    1. (self: VelkorHardwareAPI.Vorlan3, force request vector: list[float] = [0.0, 0.0, 0.0]) -> tuple\n"
        f"\nInvoked with: {arm!r}, [1, 2, 3], [4]")


def test_constructors(stream, pty_device):
    for arm in [api.Vorlan3(stream), api.Vorlan3(stream=stream), api.Vorlan3(stream, 0.5), api.Vorlan3(stream, 3)]:
        assert type(arm) is api.Vorlan3
    for bad in [lambda: api.Vorlan3(None), lambda: api.Vorlan3(None, 1.0), lambda: api.Vorlan3(stream=None)]:
        with pytest.raises(TypeError, match="not None"):
            bad()
    with pytest.raises(TypeError) as error:
        api.Vorlan3(stream, "3")
    assert str(error.value) == (
        "__init__(): incompatible constructor arguments. The following argument types are supported:\n"
        "    1. VelkorHardwareAPI.Vorlan3(arg0: VelkorHardwareAPI.SerialStream)\n"
        "    2. VelkorHardwareAPI.Vorlan3(stream: VelkorHardwareAPI.SerialStream, timeout: float = 5.0)\n"
        f"\nInvoked with: {stream!r}, '3'")
    assert pty_device.written() == b""


def test_device_keeps_its_stream_alive_and_leaves_it_open(pty_device, capfd):
    arm = api.Vorlan3(api.SerialStream(pty_device.path), TIMEOUT)
    gc.collect()
    pty_device.expect(13, b"\x2b" + f32(*range(6)))
    assert arm.end_effector_force() == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])
    api.SerialStream(pty_device.path)
    assert "unable to open port" in capfd.readouterr().err  # still held by the arm's stream
    del arm
    gc.collect()
    stream = api.SerialStream(pty_device.path)  # the arm's stream went with it
    other = api.Vorlan3(stream, TIMEOUT)
    del other
    gc.collect()
    arm = api.Vorlan3(stream, TIMEOUT)  # dropping a device does not close its stream
    pty_device.expect(13, b"\x1b" + f32(*range(6)))
    assert arm.joint_angles() == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])
    assert capfd.readouterr().err == ""


# --- the interpreter lock -----------------------------------------------------------------------------------

def test_lock_is_released_while_end_effector_force_waits(arm, pty_device):
    arm.set_read_timeout(5.0)
    pty_device.expect(13, b"\x2b" + f32(*range(6)), delay=0.5)
    ticks, result = count_other_thread_during(arm.end_effector_force)
    assert result == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])
    assert ticks >= 5


@pytest.mark.parametrize("method", ["get_device_id", "get_temperature"])
def test_lock_is_held_while_identity_and_status_getters_wait(arm, method):
    ticks, _ = count_other_thread_during(getattr(arm, method))
    assert ticks <= 3


HELD_GETTERS = [
    ("get_firmware_version", bytes([0x0D, 0xD2]), bytes([0x0D, 0xD2, 16]) + b"\x11" * 16, uuid.UUID(hex="11" * 16),
     ZERO_UUID),
    ("get_device_id", bytes([0x0D, 0xD1]), bytes([0x0D, 0xD1, 16]) + b"\x22" * 16, uuid.UUID(hex="22" * 16),
     ZERO_UUID),
    ("get_motor_currents", b"\xab", b"\xab" + f32(0.5, 1.0, -0.25), [0.5, 1.0, -0.25], [0.0, 0.0, 0.0]),
    ("get_device_orientation", b"\x0c", b"\x0c" + f32(0.1, 0.2, 0.3, 0.4), single(0.1, 0.2, 0.3, 0.4),
     [0.0] * 4),
    ("get_power_status", b"\xac", b"\xac\x01", True, False),
    ("get_temperature", b"\xaa", b"\xaa" + f32(36.5), 36.5, 0.0),
]


@pytest.mark.parametrize("method, sent, reply, value, zero", HELD_GETTERS)
def test_held_getters_cannot_be_answered_by_another_python_thread(arm, pty_device, method, sent, reply, value, zero):
    # The emulator is a Python thread: it can only answer once the call gives the lock back.
    pty_device.expect(len(sent), reply)
    assert getattr(arm, method)() == zero
    assert pty_device.wait_written(len(sent))
    assert pty_device.written() == sent


@pytest.mark.parametrize("method, sent, reply, value, zero", HELD_GETTERS)
def test_held_getters_decode_the_reply(process_stream, process_device, method, sent, reply, value, zero):
    arm = api.Vorlan3(process_stream, TIMEOUT)
    process_device.expect(len(sent), reply)
    assert getattr(arm, method)() == value
    assert process_device.written() == sent


# --- status queries -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("method, queued, expected", [
    ("get_power_status", b"\xac\x00", False),
    ("get_power_status", b"\xac\xff", True),
    ("get_power_status", b"\xab\x01", False),
    ("get_power_status", b"", False),
    ("get_motor_currents", b"\xac" + f32(1, 2, 3), [0.0, 0.0, 0.0]),
    ("get_motor_currents", b"\xab" + f32(1, 2), [0.0, 0.0, 0.0]),  # short payload
    ("get_motor_currents", b"", [0.0, 0.0, 0.0]),
    ("get_device_orientation", b"\xab" + f32(1, 2, 3, 4), [0.0] * 4),
    ("get_device_orientation", b"", [0.0] * 4),
    ("get_temperature", b"\x0c" + f32(20.0), 0.0),
    ("get_temperature", b"", 0.0),
])
def test_status_queries_with_wrong_codes_and_silence(process_stream, process_device, method, queued, expected):
    arm = api.Vorlan3(process_stream, TIMEOUT)
    process_device.expect(1, queued)
    assert getattr(arm, method)() == expected


def test_split_current_methods(arm, pty_device):
    pty_device.expect(1, b"\xab" + f32(0.5, 1.0, -0.25))
    assert arm.RequestCurrent() is None
    current = [7.0] * 4
    assert arm.ReceiveCurrent(current) == [0.5, 1.0, -0.25, 7.0]
    assert current == [7.0] * 4
    assert arm.ReceiveCurrent([7, 7, 7]) == [7.0, 7.0, 7.0]
    pty_device.send(b"\xab" + f32(1, 2, 3))
    assert arm.ReceiveCurrent() == [1.0, 2.0, 3.0]
    assert pty_device.written() == b"\xab"


# --- kinematic model through the methods --------------------------------------------------------------------

POSE_10_20_40 = [-0.009076, 0.023278, 0.214190]
POSE_ZERO = [0.000002, 0.024500, -0.118548]


def joint_state(*degrees):
    return b"\x1b" + f32(*degrees, 5, 6, 7)


@pytest.fixture
def model(arm, pty_device):
    """The shared model with zero angle offsets before and after the test."""
    def zero_offsets():
        pty_device.expect(13, joint_state(0, 0, 0))
        arm.adjust_angles([0, 0, 0])
    zero_offsets()
    arm.adjust_lengths()
    arm.adjust_gear_ratios()
    yield arm
    zero_offsets()
    arm.adjust_lengths()
    arm.adjust_gear_ratios()


def host_position(arm, pty_device, *degrees):
    pty_device.expect(13, joint_state(*degrees))
    position, velocity = arm.get_end_effector_position(False)
    assert velocity == [0.0, 0.0, 0.0]
    return position


@pytest.mark.parametrize("degrees, expected", [
    ((10, -20, 40), POSE_10_20_40),
    ((0, -30, 30), [-0.000004, 0.024500, 0.214618]),
    ((0, 0, 0), POSE_ZERO),
])
def test_host_computed_positions_of_example_poses(model, pty_device, degrees, expected):
    assert host_position(model, pty_device, *degrees) == pytest.approx(expected, abs=1e-5)
    assert pty_device.written()[-13:] == request(0x1A, 0, 0, 0)


def test_end_effector_position_on_a_silent_device(model, pty_device):
    assert model.get_end_effector_position(False) == (pytest.approx(POSE_ZERO, abs=1e-5), [0.0, 0.0, 0.0])
    assert model.get_end_effector_position() == ZERO_STATE
    # The unanswered requests must not count towards the next reply, or it comes
    # before its request and is discarded as stale.
    assert pty_device.wait_written(39)
    pty_device.forget_written()
    pty_device.expect(13, b"\x2b" + f32(*range(6)))
    assert model.get_end_effector_position(True) == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])
    assert pty_device.written()[-39:] == request(0x1A, 0, 0, 0) + request(0x2A, 0, 0, 0) * 2


def test_calibration_makes_the_current_pose_read_as_the_given_angles(model, pty_device):
    pty_device.expect(13, joint_state(10, -20, 40))
    model.adjust_angles([0, 0, 0])
    assert pty_device.written()[-13:] == request(0x1A, 0, 0, 0)
    assert host_position(model, pty_device, 10, -20, 40) == pytest.approx(POSE_ZERO, abs=1e-5)
    pty_device.expect(13, joint_state(10, -20, 40))
    model.adjust_angles((10, -20, 40))
    assert host_position(model, pty_device, 10, -20, 40) == pytest.approx(POSE_10_20_40, abs=1e-5)


def test_lengths_and_gear_ratios(model, pty_device):
    model.adjust_lengths(0.14, 0.14, 0.01, 0.01, 0.0765)  # the chains cannot meet
    assert all(math.isnan(v) for v in host_position(model, pty_device, 0, -30, 30))
    model.adjust_lengths(0.2, 0.2, 0.2, 0.2, 0.1)
    model.adjust_lengths(extension=-0.0765)
    assert host_position(model, pty_device, 10, -20, 40) == pytest.approx(POSE_10_20_40, abs=1e-5)
    model.adjust_gear_ratios(2, 2, 2)
    assert host_position(model, pty_device, 5, -10, 20) == pytest.approx(POSE_10_20_40, abs=1e-5)
    model.deactivate_orientation_sensor()
    assert host_position(model, pty_device, 5, -10, 20) == pytest.approx(POSE_10_20_40, abs=1e-5)


def test_a_new_arm_resets_lengths_and_gear_ratios_but_keeps_offsets(model, stream, pty_device):
    model.adjust_gear_ratios(2, 2, 2)
    model.adjust_lengths(0.2, 0.2, 0.2, 0.2, 0.1)
    pty_device.expect(13, joint_state(5, -10, 20))
    model.adjust_angles([0, 0, 0])  # under G = 2 the pose reads as (10, -20, 40)
    api.Vorlan3(stream, TIMEOUT)
    assert host_position(model, pty_device, 10, -20, 40) == pytest.approx(POSE_ZERO, abs=1e-5)


# --- raw access and configuration ---------------------------------------------------------------------------

def test_read_raw_limits(arm, pty_device):
    assert arm.read_raw(0) == b""
    assert arm.read_raw(4, 0.1) == b""
    pty_device.send(b"\x01\x02")
    assert arm.read_raw(4, 0.1) == b"\x01\x02"       # what arrived before the time-out
    pty_device.send(b"\x03\x04\x05")
    assert arm.read_raw(2 ** 63 - 1, 0.1) == b"\x03\x04\x05"  # never sized by n
    pty_device.send(b"\x06\x07")
    assert arm.read_raw(True, 0.1) == b"\x06"
    assert arm.read_raw(1, 0.1) == b"\x07"
    pty_device.send_after(0.2, b"abcde")
    assert arm.read_raw(5, 5.0) == b"abcde"
    pty_device.send_after(0.5, b"late")
    assert arm.read_raw(4, 0) == b"late"              # no limit


def test_send_raw(arm, pty_device):
    arm.send_raw(b"\x00ab\x00")
    assert pty_device.wait_written(4)
    with pytest.raises(RuntimeError, match=r"^send_raw: underlying stream write failed$"):
        arm.send_raw(b"")
    arm.send_raw(bytes(3000))
    assert pty_device.wait_written(3004)
    assert pty_device.written() == b"\x00ab\x00" + bytes(3000)


def test_send_raw_on_a_port_that_did_not_open(capfd):
    arm = api.Vorlan3(api.SerialStream("/dev/velkor-missing-port"), TIMEOUT)
    with pytest.raises(RuntimeError, match=r"^send_raw: underlying stream write failed$"):
        arm.send_raw(b"x")
    assert arm.read_raw(4, 0.05) == b""
    arm.flush_input()
    assert capfd.readouterr().err.startswith("[err] ")


def test_flush_input_discards_what_is_queued(arm, pty_device):
    pty_device.send(b"\x2b" * 3000)
    assert arm.read_raw(1, 1.0) == b"\x2b"
    time.sleep(0.1)  # let the rest of the burst land in the queue
    arm.flush_input()
    assert arm.read_raw(1, 0.05) == b""
    pty_device.expect(13, b"\x2b" + f32(*range(6)))
    assert arm.end_effector_force() == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])


def test_read_timeout_zero_waits_without_limit(arm, pty_device):
    reply = b"\x2b" + f32(*range(6))
    pty_device.expect(13, reply, delay=1.0)
    assert arm.end_effector_force() == ZERO_STATE  # 0.3 s is too short for this reply
    pty_device.wait_script_done()
    arm.flush_input()
    arm.set_read_timeout(0)
    pty_device.expect(13, reply, delay=1.0)
    assert arm.end_effector_force() == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])


# Requests in the wrong unit: millimetres for metres, a number of degrees no joint turns.
OUT_OF_REACH = [
    ("end_effector_position", [0.0, 24.5, 220.0], 0x2C, 0x2B,
     ["end_effector_position(): the position [0, 24.5, 220]", "m from the arm's base",
      "far outside its reach of 0.59 m", "positions are in metres"]),
    ("joint_angles", [9000.0, 0.0, 0.0], 0x1C, 0x1B,
     ["joint_angles(): joint 0's angle 9000 degrees", "reach of 180 degrees", "angles are in degrees"]),
    ("SendPosition", [0.0, 0.0, -300.0], None, None, ["SendPosition(): the position [0, 0, -300]"]),
    ("SendAngle", [0.0, 0.0, -720.0], None, None, ["SendAngle(): joint 2's angle -720 degrees"]),
]


@pytest.mark.parametrize("method, request_vector, code, reply, parts", OUT_OF_REACH)
def test_a_request_far_out_of_reach_warns_once_per_line_and_is_still_sent(arm, pty_device, method, request_vector,
                                                                          code, reply, parts):
    if reply is not None:
        pty_device.expect(13, bytes([reply]) + f32(*[0.0] * 6))
        pty_device.expect(13, bytes([reply]) + f32(*[0.0] * 6))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(2):  # one line of the program, twice: one warning
            getattr(arm, method)(request_vector)
    reach = [w for w in caught if w.category is UserWarning]
    assert len(reach) == 1
    text = str(reach[0].message)
    assert all(part in text for part in parts), text
    assert reach[0].filename == __file__
    if code is not None:
        assert pty_device.wait_written(26) and pty_device.written()[:13] == request(code, *request_vector)


@pytest.mark.parametrize("method, request_vector, code, reply, parts", OUT_OF_REACH)
def test_refuse_out_of_reach_raises_before_anything_is_sent(arm, pty_device, method, request_vector, code, reply,
                                                            parts):
    assert arm.refuse_out_of_reach is False
    arm.refuse_out_of_reach = True
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(ValueError, match="refuse_out_of_reach is set") as caught:
            getattr(arm, method)(request_vector)
    assert parts[0] in str(caught.value)
    time.sleep(0.05)
    assert pty_device.written() == b""


def test_requests_within_reach_pass_without_a_warning(arm, pty_device):
    arm.refuse_out_of_reach = True
    pty_device.expect(13, bytes([0x2B]) + f32(*[0.0] * 6))
    pty_device.expect(13, bytes([0x1B]) + f32(*[0.0] * 6))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        arm.end_effector_position([0.0, 0.0245, 0.22])
        arm.joint_angles([60.0, -80.0, 80.0])
    # Forces and torques have no reach: they are never checked against it.
    pty_device.expect(13, bytes([0x2B]) + f32(*[0.0] * 6))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        arm.end_effector_force([0.0, 0.0, 300.0])

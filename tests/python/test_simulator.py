"""The device simulator driven through the module, as a user's tests would drive it.

Run from a build directory with VELKOR_SIM pointing at the velkor-sim binary.
"""

import math
import os
import select
import struct
import time

import pytest

import VelkorHardwareAPI as api
import velkor_sim

pytest_plugins = ["velkor_sim.pytest_plugin"]

# What the simulated handle reports about itself.
HANDLE_DEVICE_ID = 0x0521
HANDLE_MODEL_NUMBER = 0x05
HANDLE_ERROR_FLAG = 0
READ_TIMEOUT = 2.0


def open_arm(port):
    stream = api.SerialStream(port)
    return stream, api.Vorlan3(stream, READ_TIMEOUT)


def push(arm, force, seconds):
    end = time.monotonic() + seconds
    state = arm.end_effector_force(force)
    while time.monotonic() < end:
        state = arm.end_effector_force(force)
        time.sleep(0.001)
    return state


def settle(arm, seconds=0.6):
    return push(arm, [0.0, 0.0, 0.0], seconds)


def test_arm_wakeup_reports_model_4_and_the_same_identity_every_time(velkor_arm_port):
    stream, arm = open_arm(velkor_arm_port)
    first = arm.device_wakeup_dict()
    again = arm.device_wakeup_dict()
    assert first["device_model_number"] == 4
    assert first == again
    assert first["device_id_ext"].int != 0
    assert arm.get_device_id() == first["device_id_ext"]
    firmware = arm.get_firmware_version()
    assert firmware.int != 0 and firmware != first["device_id_ext"]


@pytest.mark.parametrize("axis, sign", [(2, 1.0), (2, -1.0), (0, 1.0), (0, -1.0)],
                         ids=["+z", "-z", "+x", "-x"])
def test_a_force_moves_the_arm_in_the_pushed_direction(velkor_arm_port, axis, sign):
    stream, arm = open_arm(velkor_arm_port)
    start, _ = settle(arm, 0.05)
    force = [0.0, 0.0, 0.0]
    force[axis] = 2.0 * sign
    position, velocity = push(arm, force, 0.3)
    moved = [p - s for p, s in zip(position, start)]
    assert moved[axis] * sign > 0.002
    assert abs(moved[axis]) > max(abs(m) for i, m in enumerate(moved) if i != axis)
    assert velocity[axis] * sign > 0.0


@pytest.mark.parametrize("force", [[0.0, 0.0, 0.0], [0.0, 0.0, 3.0], [2.0, 0.0, -2.0], [-3.0, 0.0, 1.0]])
def test_onboard_and_host_computed_positions_agree_at_rest(velkor_arm_port, force):
    stream, arm = open_arm(velkor_arm_port)
    push(arm, force, 0.3)
    settle(arm)
    onboard, velocity = arm.get_end_effector_position(True)
    host, _ = arm.get_end_effector_position(False)
    assert max(abs(v) for v in velocity) < 1e-4
    assert host == pytest.approx(onboard, abs=1e-4)


def test_a_position_request_drives_the_arm_there(velkor_arm_port):
    stream, arm = open_arm(velkor_arm_port)
    home, _ = settle(arm, 0.05)
    target = [home[0] + 0.01, home[1], home[2] + 0.02]
    end = time.monotonic() + 1.5
    while time.monotonic() < end:
        position, _ = arm.end_effector_position(target)
        time.sleep(0.001)
    assert position == pytest.approx(target, abs=1e-3)


def test_an_angle_request_drives_the_joints_there(velkor_arm_port):
    stream, arm = open_arm(velkor_arm_port)
    target = [10.0, -35.0, 60.0]
    end = time.monotonic() + 1.5
    while time.monotonic() < end:
        angles, _ = arm.joint_angles(target)
        time.sleep(0.001)
    assert angles == pytest.approx(target, abs=0.5)


def test_the_soft_workspace_limit_holds_the_arm(velkor_arm_port):
    stream, arm = open_arm(velkor_arm_port)
    angles, _ = arm.joint_torques([0.05, 0.05, 0.05])
    end = time.monotonic() + 1.0
    while time.monotonic() < end:
        angles, _ = arm.joint_torques([0.05, 0.05, 0.05])
        time.sleep(0.001)
    # Pushed against the limits, the joints stop short of their hard stops.
    assert 45.0 < angles[0] < 55.0
    assert -15.0 < angles[1] < -5.0
    assert 100.0 < angles[2] < 110.0
    position, _ = arm.get_end_effector_position(True)
    assert all(math.isfinite(p) for p in position)


def test_every_status_query_is_answered(velkor_arm_port, capfd):
    stream, arm = open_arm(velkor_arm_port)
    push(arm, [0.0, 0.0, 2.0], 0.05)
    currents = arm.get_motor_currents()
    assert len(currents) == 3 and any(abs(c) > 0.0 for c in currents)
    assert all(abs(c) < 10.0 for c in currents)
    assert arm.get_device_orientation() == pytest.approx([0.0, 0.7071, 0.0, 0.7071], abs=1e-6)
    assert arm.get_power_status() is True
    assert 20.0 < arm.get_temperature() < 60.0
    arm.RequestCurrent()
    assert arm.ReceiveCurrent([9.0, 9.0, 9.0, 9.0])[:3] != [9.0, 9.0, 9.0]
    assert "[err]" not in capfd.readouterr().err


def test_notifications_between_replies_are_drained(velkor_sim, capfd):
    stream, arm = open_arm(velkor_sim("arm", notify=2000))
    replies = [arm.end_effector_force([0.0, 0.0, 0.0]) for _ in range(300)]
    assert all(position != [0.0, 0.0, 0.0] for position, _ in replies)
    assert arm.device_wakeup()[1] == 4
    assert "[err]" not in capfd.readouterr().err


def test_latency_option_delays_each_reply(velkor_sim):
    stream, arm = open_arm(velkor_sim("arm", latency_us=30000))
    arm.end_effector_force([0.0, 0.0, 0.0])
    start = time.monotonic()
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    assert time.monotonic() - start >= 0.025
    assert position != [0.0, 0.0, 0.0]


def test_replies_a_host_left_unread_do_not_reach_the_next_host(velkor_arm_port):
    stream, arm = open_arm(velkor_arm_port)
    arm.SendAngle([0.0, -45.0, 45.0])
    arm.RequestCurrent()
    time.sleep(0.05)
    del arm, stream  # the last reference closes the line
    time.sleep(0.05)
    stream, arm = open_arm(velkor_arm_port)
    assert arm.read_raw(1, 0.1) == b""
    assert arm.device_wakeup()[1] == 4


class RecordingHandle(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.infos = []
        self.statuses = []

    def OnReceiveHandleInfo(self, *args):
        self.infos.append(args)

    def OnReceiveHandleStatusMessage(self, *args):
        self.statuses.append(args)


def test_handle_answers_wakeup_with_info_and_status_requests_with_status(velkor_handle_port):
    stream = api.SerialStream(velkor_handle_port)
    handle = RecordingHandle(stream)
    handle.SendDeviceWakeup()
    assert handle.Receive() == 6
    tool_data, device_id, model, hardware, firmware = handle.infos[0]
    assert (device_id, model) == (HANDLE_DEVICE_ID, HANDLE_MODEL_NUMBER)

    handle.SendHandleState(HANDLE_DEVICE_ID, 1, 42)
    handle.RequestStatus()
    assert handle.Receive() == 22
    device_id, quaternion, error_flag, hall, length, user_data = handle.statuses[0]
    assert device_id == HANDLE_DEVICE_ID and error_flag == HANDLE_ERROR_FLAG
    assert math.sqrt(sum(q * q for q in quaternion)) == pytest.approx(1.0, abs=1e-5)
    assert 0 <= hall <= 31
    assert (length, user_data) == (1, [42])


def slip_frames(raw):
    """The decoded frames after each 0xDA header in a stretch of raw line bytes."""
    frames = []
    for chunk in raw.split(b"\xc0")[1:-1] if raw.startswith(b"\xc0") else raw.split(b"\xc0")[:-1]:
        start = chunk.find(b"\xda")
        if start < 0:
            continue
        body = chunk[start + 1:].replace(b"\xdb\xdc", b"\xc0").replace(b"\xdb\xdd", b"\xdb")
        frames.append(body)
    return frames


def test_streamed_status_frames_carry_valid_checksums(velkor_sim):
    port = velkor_sim("handle", stream_status=200)
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    try:
        raw = b""
        end = time.monotonic() + 5.0
        while raw.count(b"\xc0") < 12 and time.monotonic() < end:
            if select.select([fd], [], [], 0.5)[0]:
                raw += os.read(fd, 4096)
    finally:
        os.close(fd)
    # The first frame may have been cut by opening the line mid-frame.
    frames = slip_frames(raw)[1:]
    assert len(frames) >= 10
    for frame in frames:
        assert len(frame) == 18
        assert frame[-1] == (0xDA + sum(frame[:-1])) % 256
        quaternion = [v / 32768 for v in struct.unpack("<4h", frame[8:16])]
        assert math.sqrt(sum(q * q for q in quaternion)) == pytest.approx(1.0, abs=1e-3)


def test_strixel_status_decodes_from_the_stream(velkor_sim):
    stream = api.SerialStream(velkor_sim("handle", stream_status=100, notify=30))
    handle = api.Handle(stream)
    readings = [handle.GetStrixelStatus() for _ in range(5)]
    for status in readings:
        assert status["error_flag"] == HANDLE_ERROR_FLAG
        assert status["device_id"] == HANDLE_DEVICE_ID & 0xFF
        norm = math.sqrt(sum(q * q for q in status["quaternion"]))
        assert norm == pytest.approx(1.0, abs=1e-3)
        assert 3.3 <= status["battery_level"] <= 4.2
        assert 0 <= status["hall_effect_sensor_level"] <= 31
        assert 0 <= status["buttons"] <= 7
    # The handle keeps turning.
    assert readings[0]["quaternion"] != readings[-1]["quaternion"]


def test_simulator_stops_and_removes_its_link(tmp_path):
    link = tmp_path / "arm"
    with velkor_sim.simulator("arm", link=str(link)) as port:
        assert os.path.realpath(link) == port
        stream, arm = open_arm(str(link))
        assert arm.device_wakeup()[1] == 4
        del arm, stream
    assert not os.path.lexists(link)
    assert not os.path.exists(port)


def test_missing_simulator_is_reported(monkeypatch, tmp_path):
    monkeypatch.setenv("VELKOR_SIM", str(tmp_path / "no-such-program"))
    with pytest.raises(velkor_sim.SimulatorError, match="VELKOR_SIM"):
        velkor_sim.simulator("arm").__enter__()

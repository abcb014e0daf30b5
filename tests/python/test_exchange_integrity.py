"""Whose reply a reading is, judged through the module against the simulator in
echo mode (position = the request's floats, velocity x = the request number) on
a line paced at 115200 baud with notification frames, one fault at a time."""

import struct
import time

import pytest

import VelkorHardwareAPI as api
import velkor_sim
from fault_device import REQUEST_SIZES, FaultDevice

TIMEOUT = 0.2  # long enough that a loaded machine never turns a healthy reply into a time-out
FAULTY = 4


def request_of(i):
    return [float(i), -float(i), 0.25 * i]


def as_float32(values):
    return list(struct.unpack("<3f", struct.pack("<3f", *values)))


def run(sim, count=10, pause=0.02):
    stream = api.SerialStream(sim.path)
    arm = api.Vorlan3(stream, TIMEOUT)
    readings = []
    for i in range(1, count + 1):
        position, _ = arm.end_effector_force(request_of(i))
        readings.append((arm.last_error is None, position == as_float32(request_of(i))))
        time.sleep(pause)
    strays = arm.stray_replies
    stream.close()
    return readings, strays


# The simulator numbers every request it receives from 1: the arm's requests
# here are all state exchanges, so request FAULTY is exchange FAULTY.
@pytest.mark.parametrize("fault", [
    "silent",
    "late:delay=0.42",           # 2.1 read time-outs: inside the horizon
    "split:at=5:gap=0.46",       # the rest 2.3 read time-outs later
    "duplicate:gap=0.001",
    "garbage:bytes=40",
    "burst:count=30",
])
def test_after_one_fault_every_good_reading_is_its_own_and_only_two_exchanges_fail(fault):
    with velkor_sim.Simulator("arm", echo=True, baud=115200, notify=200, faults=[f"{FAULTY}:{fault}"]) as sim:
        readings, strays = run(sim)
    described = " ".join(f"{i + 1}:{'ok' if good and own else 'FOREIGN' if good else 'failed'}"
                         for i, (good, own) in enumerate(readings))
    for i, (good, own) in enumerate(readings, start=1):
        assert own or not good, f"{fault}: {described}"
        assert good or i in (FAULTY, FAULTY + 1), f"{fault}: {described}"
    if fault.startswith("duplicate"):
        assert strays >= 1


def test_a_healthy_paced_line_with_notifications_never_fails():
    with velkor_sim.Simulator("arm", echo=True, baud=115200, notify=500) as sim:
        readings, strays = run(sim, count=200, pause=0.0)
    assert all(good and own for good, own in readings)
    assert strays == 0


def test_a_wake_up_after_a_failure_reports_the_device_own_record():
    # A failed exchange, then wake-ups while notification frames keep coming: each
    # record is the device's own, never one overwritten by what came after it.
    with velkor_sim.Simulator("arm", echo=True, baud=115200, notify=100, faults=["1:silent"]) as sim:
        stream = api.SerialStream(sim.path)
        arm = api.Vorlan3(stream, TIMEOUT)
        arm.end_effector_force([1.0, 2.0, 3.0])
        assert arm.last_error == "timeout"
        for _ in range(20):
            info = arm.device_wakeup_dict()
            assert arm.last_error is None
            assert (info["device_model_number"], info["device_id"]) == (4, 0x3A17)
            time.sleep(0.005)
        stream.close()


def test_a_host_that_opens_a_busy_line_mid_frame_finds_the_frame_boundaries():
    # A UART-paced line with notifications most of the time: an open lands inside a frame often.
    sim = velkor_sim.start("arm", echo=True, notify=400, baud=115200)
    try:
        opens, failed, foreign = 150, 0, []
        for i in range(opens):
            value = float(i + 1)
            with api.SerialStream(sim.path) as stream:
                arm = api.Vorlan3(stream, 0.5)
                position, _ = arm.end_effector_force([value, 0.0, 0.0])
                if arm.last_error is not None:
                    failed += 1
                elif position[0] != value:
                    foreign.append((value, position[0]))
    finally:
        sim.stop()
    assert foreign == []
    if failed > opens // 100:
        # Known and documented: the simulator resumes a frame it began before the port opened, with
        # nothing of it queued yet at the first exchange, which then fails (never with another's values).
        pytest.xfail(f"{failed} of {opens} first exchanges failed")


def _state_reply(values):
    return bytes([0x2B]) + struct.pack("<6f", *values, 1.0, 0.0, 0.0)


# A notification of 255 bytes that all look like a state reply's code, its head
# queued before the port opened: the rest comes after a pause longer than the
# host's quiet gap. Whatever the cut, the first exchange fails or returns its own.
@pytest.mark.parametrize("tail,then", [
    (155, 0.0),    # the rest and the reply in one piece: more than one "reply" behind the first
    (25, 0.003),   # the rest exactly one reply long; the true reply 3 ms later
    (10, 0.0),     # the rest shorter than a reply: the reply's bytes complete it
    (0, 0.0),      # the whole notification queued: a healthy line, the reply is taken
])
def test_a_notification_that_pauses_inside_itself_is_never_taken_for_the_first_reply(process_device, tail, then):
    head = bytes([0xBA, 0x00, 0xFF]) + b"\x2b" * (255 - tail)
    process_device.send(head)
    request = [0.5, -0.25, 0.125]
    process_device.expect(13, b"\x2b" * tail + (b"" if then else _state_reply(request)))
    if then:
        process_device.expect(0, _state_reply(request), delay=then)
    assert process_device.wait_for(lambda s: s["host_queued"] >= len(head)) is not None
    time.sleep(0.01)  # the pause inside the notification
    with api.SerialStream(process_device.path) as stream:
        arm = api.Vorlan3(stream, 0.2)
        position, _ = arm.end_effector_force(request)
        if arm.last_error is None:
            assert position == as_float32(request), f"another frame's bytes taken as the reply: {position}"
        elif tail == 0:
            pytest.fail(f"a healthy first exchange failed: {arm.last_error}")


# Notifications of noise back to back, each paused inside itself for longer than the quiet gap the host
# takes for a boundary when it joins a busy line: the boundary it guesses is often inside one, and what
# it then reads as replies may be the inside of other frames. Such phantoms must never settle a reply
# still owed: the real one would then pass for the next request's. Replies 45 ms late (always past the
# 30 ms exchange limit) must give no reading at all and no force; replies 5 ms late only their own
# (how many exchanges such a line lets succeed is not judged: a boundary guessed wrong is found again
# only at a pause).
@pytest.mark.parametrize("latency", [0.045, 0.005])
@pytest.mark.parametrize("seed", [1, 2])
def test_a_line_joined_inside_paused_notifications_gives_the_loop_no_reply_but_its_own(latency, seed):
    device = FaultDevice("arm")
    try:
        device.command("fault", fault={"kind": "late", "delay": latency}, count=5000)
        device.command("trickle", interval=0.0001, split_pause=0.002, seed=seed)
        assert device.wait_for(lambda s: s["host_queued"] > 0) is not None
        with api.SerialStream(device.path) as stream:
            arm = api.Vorlan3(stream, 0.05)
            loop = api.ServoLoop(arm, rate_hz=250, exchange_timeout=0.03, failure_limit=2)
            loop.max_force = 5.0
            loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
            loop.start()
            time.sleep(1.0)
            loop.stop()
            records, _ = loop.drain()
        written = bytes.fromhex(device.command("sync")["written"])
    finally:
        device.close()
    failed = 1 << 3
    good = [r for r in records if not r["flags"] & failed]
    # The loop sends one request a cycle, numbered by the device from 1.
    foreign = [(int(r["cycle"]), int(round(r["velocity"][0]))) for r in good
               if int(round(r["velocity"][0])) != int(r["cycle"]) + 1]
    assert foreign == [], f"(cycle, whose reply): {foreign[:10]}"
    forces, at = [], 0
    while at < len(written):
        size = REQUEST_SIZES[written[at]]
        if written[at] == 0x2A:
            forces.append(struct.unpack("<3f", written[at + 1:at + size]))
        at += size
    if latency > 0.03:
        assert good == [] and not any(any(f) for f in forces), "a reply later than the limit was taken"

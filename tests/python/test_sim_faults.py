"""velkor-sim's faults, pacing, hand and echo, seen from the host side of the line.

Replies are read raw from the pty so that every byte and its arrival time is the
simulator's doing. In echo mode a state reply carries the request's values as
its position and the request's number as its first velocity.
"""

import math
import os
import random
import select
import struct
import subprocess
import sys
import time
import tty

import pytest

import VelkorHardwareAPI as api
import velkor_sim

pytest_plugins = ["velkor_sim.pytest_plugin"]

REPLY_SIZE = 25
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "simulator_faults.py")
NOTIFICATION_CODES = (0xBA, 0xBB)


def force_request(x=0.0, y=0.0, z=0.0):
    return b"\x2a" + struct.pack("<3f", x, y, z)


class RawLine:
    """The host side of a simulator's line, with arrival times of what it reads."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)

    def close(self):
        os.close(self.fd)

    def send(self, data):
        os.write(self.fd, data)
        return time.monotonic()

    def read(self, want, timeout):
        """Reads until `want` bytes or `timeout`; returns [(time, chunk), ...]."""
        chunks, got = [], 0
        end = time.monotonic() + timeout
        while got < want:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.fd, 4096)
            except BlockingIOError:
                continue
            chunks.append((time.monotonic(), chunk))
            got += len(chunk)
        return chunks

    def quiet(self, seconds):
        """What arrives within `seconds` (bytes)."""
        return b"".join(c for _, c in self.read(1 << 20, seconds))

    def exchange(self, x=0.0, timeout=3.0):
        """One echo exchange: the number of the request the reply answers, its position x."""
        self.send(force_request(x))
        data = b"".join(c for _, c in self.read(REPLY_SIZE, timeout))
        assert len(data) == REPLY_SIZE and data[0] == 0x2B, data
        values = struct.unpack("<6f", data[1:])
        return int(values[3]), values[0]


@pytest.fixture
def echo_sim():
    sims, lines = [], []

    def start(**options):
        sim = velkor_sim.Simulator("arm", echo=True, **options)
        sims.append(sim)
        line = RawLine(sim.path)
        lines.append(line)
        return sim, line

    yield start
    for line in lines:
        line.close()
    for sim in sims:
        sim.stop()


def parse_frames(data):
    """Splits notification frames off the front; returns (count, rest)."""
    count = 0
    while len(data) >= 3 and data[0] in NOTIFICATION_CODES and len(data) >= 3 + data[2]:
        data = data[3 + data[2]:]
        count += 1
    return count, data


def test_each_fault_is_seen_by_the_host_and_the_next_request_gets_its_own_reply(echo_sim):
    sim, line = echo_sim()
    assert line.exchange(1.0) == (1, 1.0)
    number = 1

    # late: the whole reply, no sooner than the delay
    sim.inject("late", delay=0.25)
    sent = line.send(force_request(2.0))
    chunks = line.read(REPLY_SIZE, 5.0)
    assert sum(len(c) for _, c in chunks) == REPLY_SIZE and chunks[0][0] - sent >= 0.25
    number += 1

    # split: `at` bytes, then the rest no sooner than the gap
    sim.inject("split", at=7, gap=0.2)
    line.send(force_request(3.0))
    first = line.read(7, 5.0)
    rest = line.read(REPLY_SIZE - 7, 5.0)
    assert sum(len(c) for _, c in first) == 7 and sum(len(c) for _, c in rest) == REPLY_SIZE - 7
    assert rest[0][0] - first[-1][0] >= 0.15
    data = b"".join(c for _, c in first + rest)
    assert struct.unpack("<6f", data[1:])[:4] == (3.0, 0.0, 0.0, number + 1)
    number += 1

    # duplicate: the same reply twice, the copy after the gap
    sim.inject("duplicate", gap=0.2)
    line.send(force_request(4.0))
    first = line.read(REPLY_SIZE, 5.0)
    second = line.read(REPLY_SIZE, 5.0)
    one, two = (b"".join(c for _, c in part) for part in (first, second))
    assert one == two and len(one) == REPLY_SIZE
    assert second[0][0] - first[-1][0] >= 0.15
    number += 1

    # truncated: the first `at` bytes and nothing more
    sim.inject("truncated", at=9)
    line.send(force_request(5.0))
    assert len(line.quiet(0.4)) == 9
    number += 1

    # silent: nothing at all
    sim.inject("silent")
    line.send(force_request(6.0))
    assert line.quiet(0.4) == b""
    number += 1

    # garbage: `bytes` bytes instead of the reply
    sim.inject("garbage", bytes=40)
    line.send(force_request(7.0))
    assert len(line.quiet(0.4)) == 40
    number += 1

    # burst: `count` notification frames ahead of the reply
    sim.inject("burst", count=30)
    line.send(force_request(8.0))
    count, reply = parse_frames(line.quiet(0.5))
    assert count == 30 and len(reply) == REPLY_SIZE and reply[0] == 0x2B
    number += 1

    # stall: the reply, then the next request waits until the device reads again
    sim.inject("stall", duration=0.4)
    assert line.exchange(9.0) == (number + 1, 9.0)
    number += 1
    sent = line.send(force_request(10.0))
    chunks = line.read(REPLY_SIZE, 5.0)
    assert chunks and chunks[0][0] - sent >= 0.25
    number += 1

    assert line.exchange(11.0) == (number + 1, 11.0)
    stats = sim.stats()
    assert stats["faults"] == 8 and stats["requests"] == number + 1 and stats["waiting"] == 0


def test_faults_by_request_number_and_the_order_of_injected_ones(echo_sim):
    sim, line = echo_sim(faults=["2:silent", (3, "late", {"delay": 0.2}), (5, "truncated")])
    assert line.exchange() == (1, 0.0)
    line.send(force_request())
    assert line.quiet(0.3) == b""
    sent = line.send(force_request())
    chunks = line.read(REPLY_SIZE, 5.0)
    assert chunks[0][0] - sent >= 0.2
    # Injected faults wait for requests that have none: 4 is silent, 5 keeps its
    # scripted truncation, 6 gets the second injected one.
    sim.inject("silent")
    sim.inject("garbage", bytes=3)
    line.send(force_request())
    assert line.quiet(0.3) == b""
    line.send(force_request())
    assert len(line.quiet(0.3)) == REPLY_SIZE // 2
    line.send(force_request())
    assert len(line.quiet(0.3)) == 3
    assert line.exchange() == (7, 0.0)


def answered(line, requests):
    """The numbers of the requests (of `requests` sent) that got a whole reply."""
    for _ in range(requests):
        line.send(force_request())
        time.sleep(0.01)
    data = b""
    while True:
        more = line.quiet(0.5)
        if not more:
            break
        data += more
    assert len(data) % REPLY_SIZE == 0
    return [int(struct.unpack("<6f", data[i + 1:i + REPLY_SIZE])[3]) for i in range(0, len(data), REPLY_SIZE)]


def test_random_faults_follow_the_seed(echo_sim):
    runs = []
    for seed in (7, 7, 8):
        _, line = echo_sim(fault_rate=0.5, fault_seed=seed, fault_kinds=["silent"])
        runs.append(answered(line, 40))
    assert runs[0] == runs[1]
    assert runs[0] != runs[2]
    assert 0 < len(runs[0]) < 40


def test_paced_bytes_take_at_least_the_line_time(echo_sim):
    # 25 bytes at 9600 baud are 26 ms on the wire; the bound is only from below.
    sim, line = echo_sim(baud=9600)
    for _ in range(3):
        sent = line.send(force_request())
        chunks = line.read(REPLY_SIZE, 5.0)
        assert sum(len(c) for _, c in chunks) == REPLY_SIZE
        assert chunks[-1][0] - sent >= 0.024
        assert len(chunks) > 1  # the bytes trickle in


def test_paced_notifications_never_exceed_the_line_rate():
    # At 2400 baud the line carries 240 bytes a second whatever the notification rate.
    started = time.monotonic()
    with velkor_sim.Simulator("arm", baud=2400, notify=2000) as sim:
        line = RawLine(sim.path)
        try:
            received = line.quiet(1.0)
            elapsed = time.monotonic() - started
        finally:
            line.close()
    assert 0 < len(received) <= 240 * elapsed + 1


def test_a_paced_line_with_notifications_carries_whole_frames_and_every_reply(echo_sim):
    sim, line = echo_sim(baud=115200, notify=1000)
    data = b""
    for i in range(150):
        line.send(force_request(float(i)))
        data += line.quiet(0.002)
    for _ in range(20):
        more = line.quiet(0.3)
        if not more:
            break
        data += more
    numbers, notifications, at = [], 0, 0
    while at < len(data):
        if data[at] in NOTIFICATION_CODES:
            # Notifications never stop: what was read may end inside one.
            if at + 3 > len(data) or at + 3 + data[at + 2] > len(data):
                break
            at += 3 + data[at + 2]
            notifications += 1
            continue
        assert data[at] == 0x2B, f"byte {at} starts no frame"
        values = struct.unpack("<6f", data[at + 1:at + REPLY_SIZE])
        assert values[0] == int(values[3]) - 1
        numbers.append(int(values[3]))
        at += REPLY_SIZE
    assert numbers == list(range(1, 151)) and notifications > 0


def read_identity(path):
    stream = api.SerialStream(path)
    arm = api.Vorlan3(stream, 2.0)
    info = arm.device_wakeup_dict()
    return stream, arm, info


def test_replug_brings_the_same_arm_back_at_the_same_link(tmp_path):
    link = str(tmp_path / "arm")
    with velkor_sim.Simulator("arm", link=link) as sim:
        stream, arm, before = read_identity(link)
        assert before["device_model_number"] == 4
        new_path = sim.replug(0.3)
        assert os.path.realpath(link) == new_path == sim.path
        # The old line is dead: an exchange on it fails.
        assert arm.end_effector_force([0.0, 0.0, 0.0]) == ([0.0] * 3, [0.0] * 3)
        del arm, stream
        stream, arm, after = read_identity(link)
        assert after == before
        # A hang-up fault does the same at a request; the link is gone in between.
        sim.inject("hangup", delay=0.3)
        arm.end_effector_force([0.0, 0.0, 0.0])
        assert sim.wait_replugged() == os.path.realpath(link)
        del arm, stream
        stream, arm, again = read_identity(link)
        assert again == before
        # Unplugged until told: no line at the link meanwhile.
        del arm, stream
        sim.hang_up()
        assert not os.path.lexists(link)
        assert sim.plug() == os.path.realpath(link)
        assert read_identity(link)[2] == before


@pytest.mark.parametrize("values", [
    (math.nan, 0.0, 0.0), (0.0, math.inf, 0.0), (0.0, 0.0, -math.inf),
], ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize("code", [0x2A, 0x2C, 0x1A, 0x1C])
def test_a_request_with_a_non_finite_value_is_refused_and_the_arm_stays_sane(code, values):
    with velkor_sim.Simulator("arm") as sim:
        line = RawLine(sim.path)
        try:
            line.send(bytes([code]) + struct.pack("<3f", *values))
            assert line.quiet(0.3) == b""
            line.send(force_request(0.0, 0.0, 1.0))
            data = b"".join(c for _, c in line.read(REPLY_SIZE, 3.0))
            assert len(data) == REPLY_SIZE and data[0] == 0x2B
            assert all(math.isfinite(v) for v in struct.unpack("<6f", data[1:]))
            assert sim.stats()["refused"] == 1
        finally:
            line.close()


def test_huge_requests_saturate_and_random_bytes_leave_the_arm_answering(velkor_simulator):
    sim = velkor_simulator()
    line = RawLine(sim.path)
    try:
        for code in (0x2A, 0x2C, 0x1A, 0x1C):
            for value in (3.4e38, -3.4e38, 1e20):
                line.send(bytes([code]) + struct.pack("<3f", value, -value, value))
                data = b"".join(c for _, c in line.read(REPLY_SIZE, 3.0))
                assert len(data) == REPLY_SIZE
                assert all(math.isfinite(v) for v in struct.unpack("<6f", data[1:]))
        rng = random.Random(1234)
        for _ in range(50):
            line.send(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64))))
        # Complete whatever command the noise left half sent, then forget the replies.
        line.send(bytes(13))
        while line.quiet(0.3):
            pass
    finally:
        line.close()
    stream = api.SerialStream(sim.path)
    arm = api.Vorlan3(stream, 2.0)
    assert arm.device_wakeup()[1] == 4
    for _ in range(20):
        position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
        assert all(math.isfinite(v) for v in position + velocity)
        assert position != [0.0, 0.0, 0.0]
    assert all(math.isfinite(v) for v in arm.get_motor_currents())
    assert math.isfinite(arm.get_temperature())


def drift(arm, seconds):
    """Where the end effector goes in `seconds` with no force from the host."""
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        time.sleep(0.001)
    return [p - s for p, s in zip(position, start)]


def test_the_hand_pushes_the_arm_with_no_force_from_the_host(velkor_simulator):
    sim = velkor_simulator("arm", hand=[0.0, 0.0, 2.0])
    stream = api.SerialStream(sim.path)
    arm = api.Vorlan3(stream, 2.0)
    assert drift(arm, 0.3)[2] > 0.002
    sim.set_hand_force([0.0, 0.0, -2.0])
    assert drift(arm, 0.3)[2] < -0.002
    sim.set_hand_force([0.0, 0.0, 0.0])
    drift(arm, 0.3)
    moved = drift(arm, 0.3)
    assert max(abs(m) for m in moved) < 0.002


@pytest.mark.parametrize("call, error", [
    (lambda sim: sim.inject("sideways"), ValueError),
    (lambda sim: sim.inject("late", gap=0.1), ValueError),
    (lambda sim: sim.inject("late", delay=-1), ValueError),
    (lambda sim: sim.inject("late", delay=math.nan), ValueError),
    (lambda sim: sim.inject("split", at=2.5), ValueError),
    (lambda sim: sim.inject("burst", count="3"), TypeError),
    (lambda sim: sim.set_hand_force([0.0, 1.0]), ValueError),
    (lambda sim: sim.set_hand_force([math.inf, 0.0, 0.0]), ValueError),
    (lambda sim: sim.set_hand_force([2000.0, 0.0, 0.0]), ValueError),
    (lambda sim: sim.set_hand_force(["a", 0.0, 0.0]), TypeError),
    (lambda sim: sim.replug(-1), ValueError),
])
def test_bad_requests_to_the_simulator_raise_before_reaching_it(velkor_simulator, call, error):
    sim = velkor_simulator()
    with pytest.raises(error):
        call(sim)
    assert sim.stats()["waiting"] == 0 and sim.running()


@pytest.mark.parametrize("options", [
    {"baud": 0}, {"faults": ["0:silent"]}, {"faults": ["x:silent"]}, {"faults": [(2, "nope")]},
    {"fault_rate": 1.5}, {"fault_kinds": ["late:at=3"]}, {"hand": [1.0, 2.0]}, {"fault_seed": -1},
])
def test_bad_start_options_raise_before_starting(options):
    with pytest.raises((ValueError, TypeError)):
        velkor_sim.Simulator("arm", **options)


def test_the_command_channel_survives_nonsense(velkor_simulator):
    sim = velkor_simulator()
    for text in ["", "fly", "inject", "inject late:delay=abc", "hand 1 2", "hangup soon", "x" * 3000]:
        with pytest.raises(velkor_sim.SimulatorError):
            sim._command(text)
    assert sim.stats()["plugged"] == 1
    with velkor_sim.Simulator("handle") as handle:
        with pytest.raises(velkor_sim.SimulatorError, match="nothing a hand can push"):
            handle._command("hand 1 0 0")
        with pytest.raises(ValueError):
            handle.set_hand_force([1.0, 0.0, 0.0])
        # Faults work on the handle too: a silent wake-up, then an answered one.
        handle.inject("silent")
        line = RawLine(handle.path)
        try:
            line.send(b"\x0a")
            assert line.quiet(0.3) == b""
            line.send(b"\x0a")
            assert len(line.quiet(0.3)) == 7
        finally:
            line.close()


def test_the_guide_example_runs():
    out = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, timeout=60,
                         stdin=subprocess.DEVNULL)
    assert out.returncode == 0, out.stderr
    assert "same arm: True" in out.stdout and "after the unplug: port_gone" in out.stdout

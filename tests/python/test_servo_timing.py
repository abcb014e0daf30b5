"""The servo loop's promises against device timing, judged from outside.

The device is a separate process on a real pty (fault_device.py) that answers
each request with its own values as the position and its number as the first
velocity, and records every byte the host wrote. So a test knows which request
every reading answers and which force every request carried.
"""

import math
import os
import struct
import sys
import threading
import time

import pytest

import VelkorHardwareAPI as api

sys.path.insert(0, os.path.dirname(__file__))
from fault_device import FaultDevice  # noqa: E402

WAIT = 20.0
FAILED = 1 << 3
PERIOD = 0.001


@pytest.fixture
def device():
    made = []

    def make(**kwargs):
        d = FaultDevice(**kwargs)
        made.append(d)
        return d

    yield make
    for d in made:
        d.close()


def forces(written):
    """The force of every request in what the host wrote, in order (request n is forces[n - 1])."""
    out, i = [], 0
    sizes = {0x0A: 1, 0x0D: 2, 0x1A: 13, 0x1C: 13, 0x2A: 13, 0x2C: 13}
    while i < len(written):
        code = written[i]
        size = sizes.get(code, 1)
        if code == 0x2A and i + size <= len(written):
            out.append(struct.unpack("<3f", written[i + 1:i + 13]))
        elif code in sizes:
            out.append(None)
        i += size
    return out


def magnitude(f):
    return math.sqrt(sum(x * x for x in f))


def wait_until(condition, what, bound=WAIT):
    end = time.monotonic() + bound
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"never: {what}")
        time.sleep(0.005)


def foreign_readings(records):
    """Cycles whose exchange was reported good but whose reading answers another request.

    Cycle c sends request c + 1 (nothing is sent before start), and the echo's
    first velocity is the number of the request a reply answers.
    """
    return [(int(r["cycle"]), float(r["velocity"][0])) for r in records
            if not r["flags"] & FAILED and r["cycle"] >= 0 and float(r["velocity"][0]) != 0.0
            and int(round(float(r["velocity"][0]))) != int(r["cycle"]) + 1]


def drain_all(loop):
    batch = loop.drain()
    return list(batch[0] if isinstance(batch, tuple) else batch)


# (fault after 60 healthy requests, how many requests it applies to, requests to run to, the loop's
# exchange_timeout). The device answers in order, as a device does: "slow" delays a reply and so every
# reply behind it. A device whose replies all come late; one reply later than the time-out; one reply
# lost for good; one reply a little late at 1 kHz with a time-out shorter than a period.
@pytest.mark.parametrize("fault, count, run_to, timeout", [
    (dict(kind="slow", delay=0.06), 25, 100, 0.05),
    (dict(kind="slow", delay=0.08), 1, 120, 0.05),
    (dict(kind="silent"), 1, 200, 0.05),
    (dict(kind="slow", delay=0.002), 1, 400, 0.001),
])
def test_a_late_device_is_a_failing_one_and_every_good_reading_is_its_own_request(device, fault, count, run_to,
                                                                                 timeout):
    dev = device()
    dev.fault("none", count=60)
    dev.fault(fault.pop("kind"), count=count, **fault)
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.5)
    loop = api.ServoLoop(arm, exchange_timeout=timeout, failure_limit=3)
    loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
    records = []
    loop.start()
    try:
        def enough():
            records.extend(drain_all(loop))
            return dev.state()["requests"] >= run_to
        wait_until(enough, f"{run_to} requests")
        # The device answers again: the loop is back, not holding on a reply it counts as owed.
        wait_until(lambda: not loop.state()["holding"] and loop.state()["valid"], "the loop answering again")
    finally:
        loop.stop()
    records.extend(drain_all(loop))
    sent = forces(dev.written())
    after_first_fault = [f for f in sent[60:60 + count + 60] if f is not None and magnitude(f) > 0.0]
    # Beyond the faulted requests the device answers again and force comes back; count only up to
    # the first request after the faults that got its reply in time.
    carrying = 0
    for n, f in enumerate(sent[60:], start=61):
        if n > 60 + count and any(int(r["cycle"]) + 1 == n and not r["flags"] & FAILED for r in records):
            break
        if f is not None and magnitude(f) > 0.0:
            carrying += 1
    assert after_first_fault, "no force came back after the faults"
    assert carrying <= 3, f"{carrying} requests carried force from the first unanswered one on"
    assert foreign_readings(records) == []
    assert magnitude(sent[-1]) == 0.0


def test_one_slow_good_reply_does_not_skip_the_ramp_nor_does_a_lease_out_before_start_push(device):
    dev = device()
    # Request 1 answered after 45 ms (inside the 50 ms time-out); request 30 too, inside the ramp.
    dev.fault("late", delay=0.045)
    dev.fault("none", count=28)
    dev.fault("late", delay=0.045)
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.5)
    loop = api.ServoLoop(arm, exchange_timeout=0.05, ramp_s=0.05)
    loop.max_force = 5.0
    loop.add(api.ConstantForce([0.0, 0.0, 4.0]))
    # Out of its lease before the loop starts: it must not push at all, not even while ramping out.
    stale = loop.add(api.ConstantForce([3.0, 0.0, 0.0]), lease=0.01)
    time.sleep(0.05)
    with loop:
        wait_until(lambda: dev.state()["requests"] >= 150, "150 requests")
    assert stale in loop.effects
    sent = [f for f in forces(dev.written()) if f is not None]
    bound = 5.0 * PERIOD / 0.05 + 1e-4
    steps = [magnitude([a - b for a, b in zip(f, g)]) for f, g in zip(sent[1:-1], sent[:-2])]
    assert max(steps) <= bound, f"a step of {max(steps):.3f} N (bound {bound:.3f} N)"
    assert max(abs(f[0]) for f in sent) == 0.0, "the effect out of its lease pushed"
    assert max(f[2] for f in sent) == pytest.approx(4.0, abs=1e-5)


def test_state_says_whether_it_holds_a_reading_and_start_does_not_make_one_up(device):
    dev = device()
    dev.fault("silent", count=2)
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.5)
    loop = api.ServoLoop(arm, exchange_timeout=0.02)
    loop.add(api.Spring([0.0, 0.0, 0.0], 100.0))
    with loop:
        first = loop.state()
        assert first["valid"] is False and first["cycle"] == 0
        wait_until(lambda: loop.state()["valid"], "a reading")
        good = loop.state()
        assert good["velocity"][0] >= 3.0  # the first answered request is the third


@pytest.mark.parametrize("position", [[float("nan"), 0.0, 0.0], [0.0, 1e30, 0.0], [0.0, 0.0, float("inf")]])
def test_a_reply_that_is_no_position_is_a_failed_exchange(device, position):
    dev = device()
    dev.fault("none", count=80)
    dev.fault("position", position=position)
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.5)
    loop = api.ServoLoop(arm, exchange_timeout=0.05)
    loop.add(api.ConstantForce([0.0, 0.0, 4.0]))
    records = []
    with loop:
        def enough():
            records.extend(drain_all(loop))
            return dev.state()["requests"] >= 160
        wait_until(enough, "160 requests")
        stats = loop.stats()
    records.extend(drain_all(loop))
    assert all(math.isfinite(x) and abs(x) < 1e3 for r in records for x in r["position"])
    failed = [int(r["cycle"]) for r in records if r["flags"] & FAILED]
    assert 80 in failed
    if stats["failures"] == 1:  # nothing else failed (a loaded machine may add time-outs)
        sent = [f for f in forces(dev.written()) if f is not None]
        # A constant push stays constant through it: no step to zero and back.
        assert [f[2] for f in sent[60:150]] == [pytest.approx(4.0, abs=1e-5)] * 90


# (the call, the reply's position, strict): a plain exchange whose reply is no arm's state fails as
# bad_reply with its zeros (or raises in strict mode), and the next call gets its own reply.
@pytest.mark.parametrize("call, position, strict", [
    ("end_effector_force", [1e30, 0.0, 0.0], False),
    ("end_effector_position", [0.0, float("nan"), 0.0], False),
    ("end_effector_force", [0.0, 0.0, -float("inf")], True),
    ("end_effector_force", [0.0, -2000.0, 0.0], False),
    ("joint_angles", [0.0, float("nan"), 0.0], False),
])
def test_a_plain_call_whose_reply_is_no_state_fails_as_a_bad_reply(device, call, position, strict):
    dev = device()
    dev.fault("none", count=2)
    dev.fault("position", position=position)
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.5)
    method = getattr(arm, call)
    for n in (1, 2):
        reading, speed = method([0.01 * n, 0.0, 0.0])
        assert arm.last_error is None and speed[0] == pytest.approx(n)
    arm.strict = strict
    if strict:
        with pytest.raises(api.BadReplyError):
            method([0.03, 0.0, 0.0])
    else:
        assert method([0.03, 0.0, 0.0]) == ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
    assert arm.last_error == "bad_reply" and arm.failures == 1
    reading, speed = method([0.04, 0.0, 0.0])
    assert arm.last_error is None and speed[0] == pytest.approx(4.0)
    assert dev.state()["requests"] == 4


def test_an_interrupted_horizon_drain_keeps_the_horizon(device):
    dev = device()
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.1)
    assert arm.end_effector_force([1.0, 0.0, 0.0])[1][0] == 1.0
    # Request 2 answered after 0.25 s: it fails, and its horizon runs to 0.3 s after it went out.
    dev.fault("late", delay=0.25)
    arm.end_effector_force([2.0, 0.0, 0.0])
    assert arm.last_error is not None
    dev.command("signal_after", delay=0.03, pid=os.getpid())
    with pytest.raises(KeyboardInterrupt):
        arm.end_effector_force([3.0, 0.0, 0.0])
        time.sleep(1.0)
    # The late reply to request 2 comes during what is left of the horizon, not as this one's.
    position, velocity = arm.end_effector_force([4.0, 0.0, 0.0])
    number = dev.state()["requests"]
    assert arm.last_error is None
    assert velocity[0] == number and position[0] == 4.0


def test_stop_returns_at_once_however_long_the_on_state_callback_takes(device):
    dev = device()
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.5)
    loop = api.ServoLoop(arm)
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    inside = threading.Event()
    release = threading.Event()
    calls = []

    def callback(state):
        calls.append(state["cycle"])
        inside.set()
        release.wait(10.0)  # waits on the thread that stops the loop

    loop.on_state(callback, rate_hz=100.0)
    loop.start()
    assert inside.wait(WAIT)
    began = time.monotonic()
    loop.stop()
    took = time.monotonic() - began
    release.set()
    assert took < 2.0, f"stop() took {took:.2f} s"
    assert not loop.running
    sent = [f for f in forces(dev.written()) if f is not None]
    assert magnitude(sent[-1]) == 0.0
    # The callback that was under way ends; no further call comes.
    seen = len(calls)
    time.sleep(0.1)
    assert len(calls) == seen


@pytest.mark.parametrize("how", ["close", "reopen", "with"])
def test_closing_the_stream_while_the_loop_looks_for_its_arm_neither_hangs_nor_leaves_it_running(
        device, tmp_path, how):
    link = tmp_path / "arm"
    dev = device(link=str(link))
    stream = api.SerialStream(str(link))
    arm = api.Vorlan3(stream, 0.5)
    loop = api.ServoLoop(arm, exchange_timeout=0.3, reconnect=True, reconnect_ports=[str(link)])
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    loop.start()
    wait_until(lambda: dev.state()["requests"] >= 20, "20 requests")
    # The identifier query of the search takes its time: the stream is closed while the loop waits for it.
    dev.fault("late", delay=0.25)
    dev.command("replug")
    wait_until(lambda: dev.state()["requests"] >= 1, "the loop probing the new line")
    done = threading.Event()

    def close():
        if how == "close":
            stream.close()
        elif how == "reopen":
            stream.reopen()
        else:
            with stream:
                pass
        done.set()

    closer = threading.Thread(target=close, daemon=True)
    closer.start()
    assert done.wait(WAIT), f"stream.{how}() hung"
    closer.join(WAIT)
    assert not loop.running


def test_a_forked_child_closing_the_stream_neither_frees_the_port_nor_stops_the_parents_loop(device):
    dev = device()
    stream = api.SerialStream(dev.path)
    arm = api.Vorlan3(stream, 0.5)
    loop = api.ServoLoop(arm)
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    with loop:
        wait_until(lambda: dev.state()["requests"] >= 20, "20 requests")
        child = os.fork()
        if child == 0:
            try:
                stream.close()
            finally:
                os._exit(0)
        end = time.monotonic() + WAIT
        while os.waitpid(child, os.WNOHANG) == (0, 0):
            if time.monotonic() > end:
                os.kill(child, 9)
                os.waitpid(child, 0)
                raise AssertionError("the child's close() hung")
            time.sleep(0.01)
        assert loop.running
        third = api.SerialStream(dev.path)
        assert not third.is_open, "a third opener got the port under the running loop"
        before = dev.state()["requests"]
        wait_until(lambda: dev.state()["requests"] >= before + 20, "the loop going on")
    sent = [f for f in forces(dev.written()) if f is not None]
    assert all(f in ((0.0, 0.0, 0.0),) or f[2] <= 1.0 for f in sent)
    assert magnitude(sent[-1]) == 0.0


FORKED_CHILD = r"""
import os, sys, time
import VelkorHardwareAPI as api
stream = api.SerialStream(sys.argv[1])
arm = api.Vorlan3(stream, 0.5)
loop = api.ServoLoop(arm, rate_hz=500.0, exchange_timeout=0.2)
loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
loop.start()
time.sleep(0.2)
child = os.fork()
if child == 0:
    how = sys.argv[2]
    if how == "call":
        try:
            arm.end_effector_force([0.0, 0.0, 3.0])
        except RuntimeError:
            pass
    elif how == "stop":
        loop.stop()
    elif how == "del":
        del loop
    sys.exit(0)  # a normal exit: finalizers, the exit zero, destructors
_, status = os.waitpid(child, 0)
print("child", status, flush=True)
time.sleep(0.2)
loop.stop()
stream.close()
"""


@pytest.mark.parametrize("how", ["exit", "call", "stop", "del"])
def test_a_forked_child_of_a_running_loop_exits_cleanly_and_never_writes_to_the_port(device, how):
    import subprocess
    dev = device()
    done = subprocess.run([sys.executable, "-c", FORKED_CHILD, dev.path, how], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert "child 0" in done.stdout, (done.stdout, done.stderr)  # not killed by SIGABRT
    sent = [f for f in forces(dev.written()) if f is not None]
    # The parent's loop sends (0, 0, <=1) ramping in, then 1 N, then zero at its stop: a zero
    # force between its first full push and its last is a request the child wrote.
    full = [i for i, f in enumerate(sent) if f[2] >= 0.99]
    assert full, sent
    assert all(f[2] > 0.0 for f in sent[full[0]:full[-1]]), "the child wrote to the parent's port"
    assert magnitude(sent[-1]) == 0.0

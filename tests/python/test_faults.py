"""Faults injected by a device in another process, seen through the module.

The device (fault_device.py) plays an arm or a script on the master side of a
real pty. Every wait here is bounded generously; nothing assumes the kernel or
the device process has acted before the test has seen it happen.
"""

import math
import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import VelkorHardwareAPI as api
from fault_device import FaultDevice

TIMEOUT = 0.3
ZERO_STATE = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
INFO = bytes([0xD0, 0x05, 0x00, 0x34, 0x12, 0x07, 0x09])


def single(*values):
    return list(struct.unpack(f"<{len(values)}f", struct.pack(f"<{len(values)}f", *values)))


@pytest.fixture
def device():
    fault_device = FaultDevice("arm")
    yield fault_device
    fault_device.close()


@pytest.fixture
def script():
    fault_device = FaultDevice("script")
    yield fault_device
    fault_device.close()


@pytest.fixture
def arm(device):
    return api.Vorlan3(api.SerialStream(device.path), TIMEOUT)


@pytest.fixture
def default_sigint():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def error_lines():
    lines = []
    api.set_error_handler(lines.append)
    yield lines
    api.set_error_handler(None)


def is_own_reply(result, request):
    """The arm device echoes each request as the position of its reply."""
    return result[0] == single(*request)


def exchange_works(arm, value=7.0):
    request = [value, -1.0, 0.5]
    return is_own_reply(arm.end_effector_force(request), request) and arm.last_error is None


# --- stale replies and resynchronisation --------------------------------------------------------------------

FAULTS = [
    ("truncated reply", dict(kind="truncate", keep=9), 1),
    ("garbage burst", dict(kind="garbage", size=40), 1),
    ("wrong reply code", dict(kind="wrong_code"), 1),
    # Later than the whole failed call (three time-outs at most), so the next call meets it.
    ("late reply", dict(kind="late", delay=4 * TIMEOUT), 1),
    ("device paused for three exchanges", dict(kind="silent"), 3),
]


@pytest.mark.parametrize("name, fault, count", FAULTS, ids=[f[0] for f in FAULTS])
def test_after_a_fault_no_exchange_returns_an_earlier_reply(arm, device, name, fault, count):
    assert exchange_works(arm, 1.0)
    device.fault(count=count, **fault)
    outcomes = []
    for i in range(count + 3):
        request = [10.0 + i, 2.0, 3.0]
        result = arm.end_effector_force(request)
        outcomes.append((is_own_reply(result, request), result == ZERO_STATE, arm.last_error))
        if name == "late reply" and i == 0:
            # The reply of the failed exchange is in the host's queue before the next request goes out.
            assert device.wait_for(lambda s: s["replies"] >= 2 and s["host_queued"] >= 25)
    # Every exchange got its own reply or failed visibly with zeros; none got an earlier one.
    assert all(own or (zeros and error is not None) for own, zeros, error in outcomes), outcomes
    assert [own for own, _, _ in outcomes[:count]] == [False] * count
    assert all(own for own, _, _ in outcomes[count + 1:]), outcomes


def test_notifications_and_replies_queued_before_a_request_are_discarded(arm, device):
    device.send(bytes([0xBA, 0, 2, 1, 2]) + b"\x2b" + struct.pack("<6f", 9, 9, 9, 9, 9, 9))
    assert device.wait_for(lambda s: s["host_queued"] >= 30)
    assert exchange_works(arm)


# --- bounded calls ------------------------------------------------------------------------------------------

def test_a_trickle_of_notifications_cannot_stretch_a_call(device):
    arm = api.Vorlan3(api.SerialStream(device.path), 0.5)
    device.fault("silent", count=1000)
    # Stops by itself, so that a call that restarts its wait on every frame fails here instead of hanging.
    device.command("trickle", interval=0.02, duration=20)
    for call in (lambda: arm.end_effector_force([1, 2, 3]), arm.ReceiveDeviceInfo, arm.get_temperature):
        start = time.monotonic()
        call()
        # Without one deadline per call each notification restarted the wait: 30 s and more.
        assert time.monotonic() - start < 6.0
        assert arm.last_error == "timeout"


def test_a_trickle_cannot_stretch_the_strixel_status_read(script):
    handle = api.Handle(api.SerialStream(script.path))
    script.command("trickle", interval=0.02, duration=20)
    start = time.monotonic()
    status = handle.GetStrixelStatus()
    assert time.monotonic() - start < 8.0
    assert status["error_flag"] != 0 and handle.last_error is not None


def test_nan_time_outs_are_refused_before_any_io(device):
    stream = api.SerialStream(device.path)
    with pytest.raises(ValueError, match="NaN"):
        api.Vorlan3(stream, math.nan)
    arm = api.Vorlan3(stream, TIMEOUT)
    device.send(b"xyz")
    assert device.wait_for(lambda s: s["host_queued"] >= 3)
    for call in (lambda: arm.set_read_timeout(math.nan), lambda: arm.read_raw(1, math.nan),
                 lambda: arm.read_raw(1, float("-nan"))):
        with pytest.raises(ValueError, match="NaN"):
            call()
    assert arm.read_raw(3, 5.0) == b"xyz"  # nothing was taken from the line
    assert device.written() == b""
    start = time.monotonic()
    device.fault("silent")
    assert arm.end_effector_force([1, 2, 3]) == ZERO_STATE  # the time-out stayed 0.3 s
    assert time.monotonic() - start < 5.0


def test_an_infinite_time_out_means_no_limit(device):
    arm = api.Vorlan3(api.SerialStream(device.path), math.inf)
    device.fault("late", delay=0.5)
    assert exchange_works(arm)
    arm.set_read_timeout(TIMEOUT)
    arm.set_read_timeout(math.inf)
    device.fault("late", delay=0.5)
    assert exchange_works(arm, 8.0)
    device.send(b"!", delay=0.5)
    assert arm.read_raw(1, math.inf) == b"!"


# --- interruption -------------------------------------------------------------------------------------------

# Calls without a limit get an answer this late, so that a call the signal
# cannot leave fails the test instead of hanging it.
FALLBACK = 20.0


def pid_fault(**fields):
    return dict(kind="signal", pid=os.getpid(), **fields)


def interrupt_on_request(device, arm_call):
    device.fault(**pid_fault())
    arm_call()


def interrupt_after(device, call, delay=0.3):
    device.command("signal_after", pid=os.getpid(), delay=delay)
    call()


def stalled_send_raw(device, arm):
    device.command("pause_reading", seconds=60)
    interrupt_after(device, lambda: arm.send_raw(b"x" * 300_000))


INTERRUPTED_CALLS = [
    ("end_effector_force, lock released", lambda d, a, h: interrupt_on_request(d, lambda: a.end_effector_force([1, 2, 3]))),
    ("get_device_id, lock held", lambda d, a, h: interrupt_on_request(d, a.get_device_id)),
    ("get_temperature, lock held", lambda d, a, h: interrupt_on_request(d, a.get_temperature)),
    ("device_wakeup_dict", lambda d, a, h: interrupt_on_request(d, a.device_wakeup_dict)),
    ("read_raw without limit", lambda d, a, h: (d.send(b"!", delay=FALLBACK),
                                                  interrupt_after(d, lambda: a.read_raw(1, 0)))),
    ("ReceiveDeviceInfo without limit", lambda d, a, h: (a.set_read_timeout(0), d.send(bytes(1100), delay=FALLBACK),
                                                           interrupt_after(d, a.ReceiveDeviceInfo))),
    ("send_raw into a stalled device", lambda d, a, h: stalled_send_raw(d, a)),
    ("Handle.Receive", lambda d, a, h: interrupt_after(d, h.Receive)),
    ("Handle.GetStrixelStatus", lambda d, a, h: interrupt_after(d, h.GetStrixelStatus)),
]


@pytest.mark.parametrize("name, call", INTERRUPTED_CALLS, ids=[c[0] for c in INTERRUPTED_CALLS])
def test_a_pending_signal_leaves_a_blocked_call_and_the_port_stays_usable(device, default_sigint, name, call):
    stream = api.SerialStream(device.path)
    # Long enough that only the interruption can end these calls within the bound below.
    arm = api.Vorlan3(stream, 10.0)
    handle = api.Handle(stream)
    with pytest.raises(KeyboardInterrupt):
        call(device, arm, handle)
    left = time.monotonic()
    signalled = device.state()["signals"]
    assert len(signalled) == 1 and left - signalled[0] < 5.0
    device.command("pause_reading", seconds=0)
    assert device.wait_for(lambda s: s["reading"])
    arm.set_read_timeout(TIMEOUT)
    assert exchange_works(arm)


def test_what_the_handler_raises_leaves_the_call_and_a_quiet_handler_lets_it_finish(arm, device):
    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    noticed = []
    previous = signal.signal(signal.SIGINT, stop)
    try:
        arm.set_read_timeout(10.0)
        device.fault(**pid_fault())
        with pytest.raises(Stop):
            arm.end_effector_force([1, 2, 3])
        assert arm.last_error == "interrupted"
        signal.signal(signal.SIGINT, lambda signum, frame: noticed.append(signum))
        device.fault(**pid_fault(reply_after=0.3))
        assert is_own_reply(arm.end_effector_force([4, 5, 6]), [4, 5, 6])
        assert noticed == [signal.SIGINT] and arm.last_error is None
    finally:
        signal.signal(signal.SIGINT, previous)


# --- no crashes from Python ---------------------------------------------------------------------------------

EXIT_WITH_A_THREAD_INSIDE_A_CALL = textwrap.dedent("""
    import os, sys, threading, time, tty
    import VelkorHardwareAPI as api
    master, slave = os.openpty()
    tty.setraw(slave)
    stream = api.SerialStream(os.ttyname(slave))
    # Calls that end every few milliseconds: one ends while the interpreter finalizes.
    arm = api.Vorlan3(stream, 0.005)

    class Handle(api.Handle):
        def OnReceiveHandleInfo(self, *args):
            time.sleep(0.001)  # gives the lock away and takes it back inside the callback

        def OnReceiveHandleStatusMessage(self, *args):
            pass

    def reads():
        while True:
            arm.read_raw(1, 0.005)

    def exchanges():
        while True:
            arm.end_effector_force([1, 2, 3])

    def callbacks():
        handle = Handle(stream)
        while True:
            handle.Receive()

    def feed():
        while True:
            os.write(master, bytes([0xD0, 5, 0, 0x34, 0x12, 7, 9]))

    work = {"read_raw": reads, "exchanges": exchanges, "callbacks": callbacks}[sys.argv[1]]
    inside = threading.Event()
    threading.Thread(target=lambda: (inside.set(), work()), daemon=True).start()
    inside.wait()
    if sys.argv[1] == "callbacks":
        threading.Thread(target=feed, daemon=True).start()
    time.sleep(0.3)
""")


@pytest.mark.parametrize("work", ["read_raw", "exchanges", "callbacks"])
def test_interpreter_exit_with_a_daemon_thread_inside_a_call_is_clean(work):
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_WITH_A_THREAD_INSIDE_A_CALL, work], capture_output=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr.decode()
        assert b"terminate" not in done.stderr


SAMPLE_ARGUMENTS = {
    "send_raw": (b"x",), "read_raw": (1, 0.01), "set_read_timeout": (1.0,), "end_effector_force": ([1, 2, 3],),
    "get_end_effector_position": (True,), "adjust_angles": ([1, 2, 3],), "joint_torques": ([1, 2, 3],),
    "end_effector_position": ([1, 2, 3],), "joint_angles": ([1, 2, 3],), "SendForce": ([1, 2, 3],),
    "SendJointTorques": ([1, 2, 3],), "SendAngle": ([1, 2, 3],), "ReceiveCurrent": ([1, 2, 3],),
    "SendPosition": ([1, 2, 3],), "SendHandleState": (1, 1, 1), "OnReceiveHandleInfo": (1, 2, 3, 4, 5),
    "OnReceiveHandleStatusMessage": (1, 1.0, 1, 1, 1, 1), "OnReceiveHandleErrorResponse": (1, 2),
    "__exit__": (None, None, None), "add": (None,), "remove": (1,), "on_state": (None,), "force_at": ([0, 0, 0],),
    "closest_point": ([0, 0, 0],), "renew": (1,), "record": ("unused.mcap",),
    "set_geometry": ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]]), "closest_points": ([[0, 0, 0]],),
}


def bound_members(cls):
    """Every method and property the module binds on cls, except construction (and static methods and
    properties, which need no instance)."""
    return [name for name, member in vars(cls).items()
            if (not name.startswith("_") or name in ("__enter__", "__exit__"))
            and not isinstance(member, staticmethod)
            and type(member).__name__ != "pybind11_static_property"
            and (callable(member) or isinstance(member, property))]


class HandleSubclass(api.Handle):
    def OnReceiveHandleStatusMessage(self, *args):
        pass


@pytest.mark.parametrize("cls", [api.Vorlan3, api.Handle, HandleSubclass, api.SerialStream, api.UUID, api.ServoLoop,
                                 api.Spring, api.Damper, api.Plane, api.Sphere, api.Box, api.ConstantForce, api.Mesh,
                                 api.PortInfo])
def test_every_member_of_an_instance_never_built_raises_runtime_error(cls):
    unbuilt = cls.__new__(cls)
    bound = api.Handle if cls is HandleSubclass else cls
    members = bound_members(bound)
    assert members
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in members:
            member = vars(bound)[name]
            with pytest.raises(RuntimeError, match="^$"):
                if isinstance(member, property):
                    member.fget(unbuilt)
                else:
                    getattr(bound, name)(unbuilt, *SAMPLE_ARGUMENTS.get(name, ()))
    if cls in (api.Vorlan3, api.Handle):
        with pytest.raises(RuntimeError):
            unbuilt.strict = True


def test_nothing_can_be_built_on_an_object_never_built():
    stream = api.SerialStream.__new__(api.SerialStream)
    arm = api.Vorlan3.__new__(api.Vorlan3)
    for build in (lambda: api.Vorlan3(stream), lambda: api.Vorlan3(stream, 0.5), lambda: api.Handle(stream),
                  lambda: HandleSubclass(stream), lambda: api.ServoLoop(arm)):
        with pytest.raises(RuntimeError):
            build()


def test_a_callback_cannot_read_from_its_own_handle_but_may_write(pty_device, stream):
    class Nested(api.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.errors = []

        def OnReceiveHandleInfo(self, *args):
            self.RequestStatus()
            for read in (self.Receive, lambda: self.Receive(1), self.GetStrixelStatus):
                try:
                    read()
                except RuntimeError as error:
                    self.errors.append(str(error))

        def OnReceiveHandleStatusMessage(self, *args):
            pass

    handle = Nested(stream)
    pty_device.send(INFO + INFO)
    assert handle.Receive() == 6
    assert handle.errors == [
        "Handle.Receive() cannot be called from a callback of the same handle; return from the callback and call "
        "it again"] * 2 + [
        "Handle.GetStrixelStatus() cannot be called from a callback of the same handle; return from the callback "
        "and call it again"]
    assert pty_device.wait_written(1) and pty_device.written() == b"\xda"
    assert handle.Receive() == 6  # the second message was left for the next call


# --- write stalls -------------------------------------------------------------------------------------------

def test_a_stalled_write_fails_one_call_and_the_stream_recovers(arm, device, error_lines):
    device.command("pause_reading", seconds=1.5)
    with pytest.raises(RuntimeError, match="^send_raw: underlying stream write failed$"):
        arm.send_raw(b"x" * 300_000)
    assert arm.last_error == "write_failed"
    assert device.wait_for(lambda s: s["reading"])
    assert exchange_works(arm)
    # Once, not a flood of lines for every later exchange.
    assert 1 <= len(error_lines) <= 5, error_lines


# --- failures visible, streams recoverable ------------------------------------------------------------------

@pytest.mark.parametrize("fault, name, raised", [
    (dict(kind="silent"), "timeout", api.DeviceTimeoutError),
    (dict(kind="wrong_code"), "bad_reply", api.BadReplyError),
    (dict(kind="truncate", keep=9), "timeout", api.DeviceTimeoutError),
])
def test_last_error_failures_and_strict_mode(arm, device, fault, name, raised):
    assert (arm.last_error, arm.failures, arm.strict) == (None, 0, False)
    device.fault(**fault)
    assert arm.end_effector_force([1, 2, 3]) == ZERO_STATE
    assert (arm.last_error, arm.failures) == (name, 1)
    assert exchange_works(arm)
    assert arm.failures == 1
    arm.strict = True
    device.fault(**fault)
    with pytest.raises(raised, match=f"^end_effector_force: .*'{device.path}'") as caught:
        arm.end_effector_force([1, 2, 3])
    # A wrong reply is no time-out: except TimeoutError must not catch it.
    assert isinstance(caught.value, TimeoutError) == (name == "timeout")
    assert (caught.value.call, caught.value.port, caught.value.outcome) == ("end_effector_force", device.path, name)
    assert (arm.last_error, arm.failures) == (name, 2)
    assert exchange_works(arm)
    device.fault("silent")
    with pytest.raises(TimeoutError, match="^get_temperature: "):
        arm.get_temperature()


def test_a_hung_up_port_is_port_gone_and_strict_raises_connection_error(arm, device):
    assert exchange_works(arm)
    device.command("hang_up")
    assert arm.end_effector_force([1, 2, 3]) == ZERO_STATE and arm.last_error == "port_gone"
    arm.strict = True
    with pytest.raises(ConnectionError, match=f"^joint_angles: the port '{device.path}'"):
        arm.joint_angles([1, 2, 3])
    assert arm.failures == 2


def test_handle_last_error_and_strict_mode(script):
    handle = api.Handle(api.SerialStream(script.path))
    script.send(b"\x77")
    assert script.wait_for(lambda s: s["host_queued"] >= 1)
    assert handle.Receive() == -1
    assert (handle.last_error, handle.failures) == ("bad_reply", 1)
    script.send(INFO)
    assert handle.Receive() == 6 and handle.last_error is None
    handle.strict = True
    with pytest.raises(TimeoutError, match=script.path):
        handle.GetStrixelStatus()
    assert (handle.last_error, handle.failures) == ("timeout", 2)


def test_close_context_manager_and_calls_on_a_closed_stream(device):
    with api.SerialStream(device.path) as stream:
        assert stream.is_open
        arm = api.Vorlan3(stream, TIMEOUT)
        assert exchange_works(arm)
    assert not stream.is_open
    start = time.monotonic()
    assert arm.end_effector_force([1, 2, 3]) == ZERO_STATE and arm.last_error == "port_gone"
    assert time.monotonic() - start < 5.0  # no waiting on a closed port
    stream.close()  # twice is harmless
    arm.strict = True
    with pytest.raises(ConnectionError):
        arm.read_raw(1, 0.1)
    assert stream.reopen() and stream.is_open
    assert exchange_works(arm)


def test_closing_or_reopening_under_a_call_in_progress_is_refused(device):
    stream = api.SerialStream(device.path)
    slow = api.Vorlan3(stream, 2.0)
    device.fault("silent")
    worker = threading.Thread(target=lambda: slow.end_effector_force([1, 2, 3]))
    worker.start()
    try:
        assert device.wait_for(lambda s: s["requests"] >= 1)
        for method in (stream.close, stream.reopen, lambda: stream.__exit__(None, None, None)):
            with pytest.raises(RuntimeError, match="in progress"):
                method()
    finally:
        worker.join()
    assert stream.is_open and slow.last_error == "timeout"


def test_reopen_survives_an_unplug_and_replug_on_the_same_path(tmp_path):
    link = tmp_path / "port"
    replugging = FaultDevice("arm", link=link)
    try:
        stream = api.SerialStream(str(link))
        arm = api.Vorlan3(stream, TIMEOUT)
        assert exchange_works(arm)
        replugging.command("replug")
        assert arm.end_effector_force([1, 2, 3]) == ZERO_STATE and arm.last_error == "port_gone"
        assert stream.reopen() is True
        assert exchange_works(arm, 3.0)
    finally:
        replugging.close()
    assert stream.reopen() is False and not stream.is_open


def test_a_regular_file_is_never_written_as_a_port(tmp_path, capfd):
    path = tmp_path / "not-a-port"
    path.write_bytes(b"keep me")
    stream = api.SerialStream(str(path))
    assert not stream.is_open
    arm = api.Vorlan3(stream, TIMEOUT)
    assert arm.end_effector_force([1, 2, 3]) == ZERO_STATE and arm.last_error == "port_gone"
    with pytest.raises(RuntimeError):
        arm.send_raw(b"overwrite")
    assert path.read_bytes() == b"keep me"
    assert capfd.readouterr().err.startswith("[err] ")


MISSING = "/dev/velkor-missing-port"
MISSING_LINES = [
    f"[err] Library/src/SerialStream:39> unable to open port '{MISSING}': [2] No such file or directory",
    f"[err] Library/src/SerialStream:18> unable to open stream '{MISSING}': [2] No such file or directory",
]


def test_error_handler_gets_each_line_on_the_calling_thread(capfd):
    got = []
    api.set_error_handler(lambda line: got.append((line, threading.get_ident())))
    try:
        api.SerialStream(MISSING)
        worker = threading.Thread(target=lambda: api.SerialStream(MISSING))
        worker.start()
        worker.join()
    finally:
        api.set_error_handler(None)
    assert [line for line, _ in got] == MISSING_LINES * 2
    assert [thread for _, thread in got] == [threading.get_ident()] * 2 + [worker.ident] * 2
    assert capfd.readouterr().err == ""
    api.SerialStream(MISSING)
    assert capfd.readouterr().err.splitlines() == MISSING_LINES


def test_a_failing_error_handler_changes_no_call(monkeypatch, device):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def fail(line):
        raise ValueError(line)

    api.set_error_handler(fail)
    try:
        stream = api.SerialStream(MISSING)
        assert not stream.is_open
    finally:
        api.set_error_handler(None)
    # Only this call's two lines: a device thread of an earlier test may still log while the handler is set.
    mine = [u for u in unraisable if str(MISSING) in str(u.exc_value)]
    assert [type(u.exc_value) for u in mine] == [ValueError, ValueError]
    with pytest.raises(TypeError):
        api.set_error_handler(5)

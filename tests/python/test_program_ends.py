"""Every way a program ends or shares an arm leaves it safe, judged by what a
device process on a pty received (tests/python/fault_device.py logs every byte
and answers each request with its own values and number)."""

import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import VelkorHardwareAPI as api
from fault_device import REQUEST_SIZES, FaultDevice

WAIT = 20.0  # generous bound for anything another process or the kernel must do

# These tests judge what the termination signals do at their defaults. A run started under nohup
# inherits SIGHUP ignored, and so would every program the tests start: give them the default.
if signal.getsignal(signal.SIGHUP) == signal.SIG_IGN:
    signal.signal(signal.SIGHUP, signal.SIG_DFL)


@pytest.fixture
def arm_device():
    device = FaultDevice("arm")
    yield device
    device.close()


def requests(written):
    """(code, (a, b, c)) for every state request in the bytes the device received."""
    found, i = [], 0
    while i < len(written):
        code = written[i]
        size = REQUEST_SIZES.get(code, 1)
        if code in (0x1A, 0x1C, 0x2A, 0x2C) and i + size <= len(written):
            found.append((code, struct.unpack("<3f", written[i + 1:i + size])))
        i += size
    return found


def last_force(device):
    forces = [values for code, values in requests(device.written()) if code in (0x2A, 0x1A)]
    return forces[-1] if forces else None


def run_script(body, device, timeout=60):
    script = "import VelkorHardwareAPI as api, time, gc, sys\n" + textwrap.dedent(body).format(path=device.path)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=timeout)


# --- a plain force request does not outlive its program ---------------------------------------------------------

ENDINGS = {
    "close": "stream.close()",
    "reopen": "stream.reopen()",
    "with block": "stream.__exit__(None, None, None)",
    "collection": "del arm; gc.collect()",
    "interpreter exit": "pass",
}


@pytest.mark.parametrize("request_kind", ["end_effector_force", "joint_torques", "SendForce"])
@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_a_force_left_by_a_plain_request_is_zeroed_however_the_program_ends(arm_device, ending, request_kind):
    call = {"end_effector_force": "arm.end_effector_force([0.0, 0.0, 1.5])",
            "joint_torques": "arm.joint_torques([0.0, 0.0, 1.5])",
            "SendForce": "arm.SendForce([0.0, 0.0, 1.5]); arm.ReceiveState()"}[request_kind]
    done = run_script(f"""
        import warnings
        warnings.simplefilter("ignore")
        stream = api.SerialStream({{path!r}})
        arm = api.Vorlan3(stream, 1.0)
        {call}
        {ENDINGS[ending]}
        print("ended", flush=True)
    """, arm_device)
    assert done.returncode == 0 and b"ended" in done.stdout, done.stderr.decode()
    sent = requests(arm_device.written())
    code = 0x1A if request_kind == "joint_torques" else 0x2A
    assert sent[0] == (code, (0.0, 0.0, 1.5))
    # Exactly one zero-force exchange of the same kind, and nothing after it.
    assert sent[1:] == [(code, (0.0, 0.0, 0.0))]


@pytest.mark.parametrize("case", ["opted out", "last request zero", "last request a position"])
def test_no_zero_force_exchange_is_added_when_none_is_due(arm_device, case):
    setup = {"opted out": "arm.zero_force_on_close = False; arm.end_effector_force([0.0, 0.0, 1.5])",
             "last request zero": "arm.end_effector_force([0.0, 0.0, 1.5]); arm.end_effector_force([0.0, 0.0, 0.0])",
             "last request a position": "arm.end_effector_force([0, 0, 1.5]); arm.end_effector_position([0, 0, .1])"}
    done = run_script(f"""
        stream = api.SerialStream({{path!r}})
        arm = api.Vorlan3(stream, 1.0)
        assert arm.zero_force_on_close is True
        {setup[case]}
        stream.close()
        del arm
    """, arm_device)
    assert done.returncode == 0, done.stderr.decode()
    sent = requests(arm_device.written())
    # Only the program's own requests: one when opted out, two otherwise.
    assert len(sent) == (1 if case == "opted out" else 2), sent
    if case == "opted out":
        assert sent[-1] == (0x2A, (0.0, 0.0, 1.5))


# --- two threads sharing an arm get their own replies -------------------------------------------------------------

def test_two_threads_sharing_an_arm_each_get_their_own_reply(arm_device):
    stream = api.SerialStream(arm_device.path)
    arm = api.Vorlan3(stream, 2.0)
    calls = 300
    foreign, failed = [], []

    def work(thread):
        for i in range(calls):
            request = [float(thread), float(i), 0.25]
            position, _ = arm.end_effector_force(request)
            if arm.last_error is not None:
                failed.append(arm.last_error)
            elif position != request:
                foreign.append((request, position))

    threads = [threading.Thread(target=work, args=(t,)) for t in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert foreign == [] and failed == []
    assert len(requests(arm_device.written())) == 2 * calls
    stream.close()


def test_ctrl_c_reaches_a_call_waiting_for_another_threads_exchange(arm_device):
    stream = api.SerialStream(arm_device.path)
    arm = api.Vorlan3(stream, 3.0)
    arm.end_effector_force([0.0, 0.0, 0.0])
    arm_device.fault("silent")  # the other thread's exchange waits its full read time-out
    other = threading.Thread(target=arm.end_effector_force, args=([0.0, 0.0, 0.0],))
    other.start()
    assert arm_device.wait_for(lambda s: s["requests"] == 2, WAIT)
    signalled = []
    previous = signal.signal(signal.SIGUSR1, lambda *_: (signalled.append(time.monotonic()), 1 / 0))
    try:
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        with pytest.raises(ZeroDivisionError):
            arm.end_effector_force([0.0, 0.0, 0.0])
        raised = time.monotonic()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    other.join(timeout=WAIT)
    assert signalled and raised - signalled[0] < 0.05 + 0.2  # 50 ms, with room for a loaded machine
    # The interrupted call never reached the line.
    assert len(requests(arm_device.written())) == 2
    stream.close()


# --- SIGTERM and SIGHUP while a servo loop pushes -----------------------------------------------------------------

LOOP = """
    stream = api.SerialStream({path!r})
    arm = api.Vorlan3(stream, 1.0)
    loop = api.ServoLoop(arm, rate_hz=200.0)
    loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
    loop.start()
    print("pushing", flush=True)
    time.sleep(60)
"""


def pushing_process(device, prelude=""):
    script = "import VelkorHardwareAPI as api, time, signal, sys\n" + textwrap.dedent(prelude) + \
        textwrap.dedent(LOOP).format(path=device.path)
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"pushing\n", process.stderr.read().decode()
    assert device.wait_for(lambda s: (0x2A, (0.0, 0.0, 2.0)) in requests(bytes.fromhex(s["written"])), WAIT)
    return process


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_termination_signal_at_its_default_stops_loops_at_zero_force_then_ends_by_it(arm_device, signum):
    process = pushing_process(arm_device)
    process.send_signal(signum)
    assert process.wait(timeout=WAIT) == -signum
    assert last_force(arm_device) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("prelude, status, force", [
    # The program's own handler stays: it decides how to end (here without stopping the loop first).
    ("signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))\n", 3, (0.0, 0.0, 0.0)),
    # Ignored stays ignored: the loop keeps pushing.
    ("signal.signal(signal.SIGTERM, signal.SIG_IGN)\n", None, (0.0, 0.0, 2.0)),
    # Turned off: the default action, force left on.
    ("api.set_termination_handling(False)\n", -signal.SIGTERM, (0.0, 0.0, 2.0)),
])
def test_termination_handling_never_replaces_the_programs_choice(arm_device, prelude, status, force):
    process = pushing_process(arm_device, prelude)
    process.send_signal(signal.SIGTERM)
    if status is None:
        with pytest.raises(subprocess.TimeoutExpired):
            process.wait(timeout=0.5)
        assert last_force(arm_device) == force
        process.kill()
        process.wait(timeout=WAIT)
        return
    assert process.wait(timeout=WAIT) == status
    assert last_force(arm_device) == force


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_velkor_record_ended_by_a_termination_signal_leaves_zero_force_and_a_readable_recording(
        arm_device, tmp_path, signum):
    import velkor_telemetry

    output = tmp_path / "run.mcap"
    process = subprocess.Popen([sys.executable, "-m", "velkor_cli", "record", arm_device.path, "--seconds", "60",
                                "-o", str(output), "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert arm_device.wait_for(lambda s: s["requests"] > 200, WAIT), process.stderr.read1().decode()
    process.send_signal(signum)
    assert process.wait(timeout=WAIT) == -signum, process.stderr.read().decode()
    assert last_force(arm_device) == (0.0, 0.0, 0.0)
    records = velkor_telemetry.read(output)
    assert len(records) > 100


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_velkor_record_announces_a_file_that_is_there_however_early_it_is_ended(arm_device, tmp_path, signum):
    import velkor_telemetry

    output = tmp_path / "run.mcap"
    process = subprocess.Popen([sys.executable, "-m", "velkor_cli", "record", arm_device.path, "--seconds", "60",
                                "-o", str(output)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = process.stderr.readline().decode()
    assert "recording" in line and str(output) in line, line
    process.send_signal(signum)  # at once after the announcement
    assert process.wait(timeout=WAIT) == -signum, process.stderr.read().decode()
    assert last_force(arm_device) == (0.0, 0.0, 0.0)
    velkor_telemetry.read(output)  # there, and readable


# --- the last zero stays last ------------------------------------------------------------------------------------

def test_a_daemon_thread_still_pushing_at_interpreter_exit_cannot_follow_the_zero(arm_device):
    # The thread keeps asking for a force while the interpreter ends: once the
    # exit's zero-force exchange is out, its requests are refused.
    for _ in range(3):
        done = run_script("""
            import threading
            stream = api.SerialStream({path!r})
            arm = api.Vorlan3(stream, 1.0)
            def push():
                i = 0
                while True:
                    i += 1
                    arm.end_effector_force([0.0, 0.0, 1.0 + i % 5])
            threading.Thread(target=push, daemon=True).start()
            time.sleep(0.2)
        """, arm_device)
        assert done.returncode == 0, done.stderr.decode()
        assert last_force(arm_device) == (0.0, 0.0, 0.0)


def test_after_the_exit_zero_a_force_is_refused_and_a_zero_still_goes(arm_device):
    # An exit hook registered before the module's runs after it.
    script = textwrap.dedent("""
        import atexit
        def late():
            try:
                arm.end_effector_force([0.0, 0.0, 3.0])
                print("sent", flush=True)
            except RuntimeError as e:
                print("refused:", e, flush=True)
            arm.end_effector_force([0.0, 0.0, 0.0])
            print("zero", arm.last_error, flush=True)
        atexit.register(late)
        import VelkorHardwareAPI as api
        stream = api.SerialStream({path!r})
        arm = api.Vorlan3(stream, 1.0)
        arm.end_effector_force([0.0, 0.0, 1.5])
    """).format(path=arm_device.path)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    out = done.stdout.decode()
    assert done.returncode == 0, done.stderr.decode()
    assert "refused: end_effector_force(): refused: the program is ending" in out and "zero None" in out, out
    assert [values for code, values in requests(arm_device.written())] == [
        (0.0, 0.0, 1.5), (0.0, 0.0, 0.0), (0.0, 0.0, 0.0)]


# --- termination signals zero plain arms as well -----------------------------------------------------------------

@pytest.fixture
def second_device():
    device = FaultDevice("arm")
    yield device
    device.close()


PLAIN_FORCE = """
    stream2 = api.SerialStream({path2!r})
    arm2 = api.Vorlan3(stream2, 1.0)
    arm2.end_effector_force([0.0, 0.0, 2.0])
"""


@pytest.mark.parametrize("with_loop", [True, False])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
@pytest.mark.parametrize("keep", [False, True])
def test_termination_signal_zeroes_an_arm_left_with_a_plain_force(arm_device, second_device, with_loop, signum,
                                                                   keep):
    prelude = textwrap.dedent(PLAIN_FORCE).format(path2=second_device.path)
    if keep:
        prelude = prelude.replace("arm2.end_effector_force", "arm2.zero_force_on_close = False\narm2.end_effector_force")
    if with_loop:
        process = pushing_process(arm_device, prelude)
    else:
        script = "import VelkorHardwareAPI as api, time\n" + prelude + "print('pushing', flush=True)\ntime.sleep(60)\n"
        process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert process.stdout.readline() == b"pushing\n", process.stderr.read().decode()
    process.send_signal(signum)
    assert process.wait(timeout=WAIT) == -signum, process.stderr.read().decode()
    assert last_force(second_device) == ((0.0, 0.0, 2.0) if keep else (0.0, 0.0, 0.0))
    if with_loop:
        assert last_force(arm_device) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("prelude", [
    # What getsignal said, put back after a while: SIG_DFL.
    "old = signal.getsignal(signal.SIGTERM); signal.signal(signal.SIGTERM, lambda *_: None); "
    "signal.signal(signal.SIGTERM, old)",
    "signal.signal(signal.SIGTERM, signal.SIG_DFL)",
])
def test_the_default_action_put_back_while_a_loop_runs_is_stood_in_for_again(arm_device, prelude):
    loop = textwrap.dedent(LOOP).replace('print("pushing"', prelude + '\nprint("pushing"')
    script = "import VelkorHardwareAPI as api, time, signal, sys\n" + loop.format(path=arm_device.path)
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"pushing\n", process.stderr.read().decode()
    time.sleep(0.2)  # well past the watcher's recheck
    process.send_signal(signal.SIGTERM)
    assert process.wait(timeout=WAIT) == -signal.SIGTERM
    assert last_force(arm_device) == (0.0, 0.0, 0.0)


# --- a forked child does not share the parent's stream -----------------------------------------------------------

@pytest.mark.skipif(not hasattr(os, "fork"), reason="fork")
def test_a_forked_child_calling_on_the_parents_stream_is_refused_before_any_io(arm_device):
    done = run_script("""
        import os
        stream = api.SerialStream({path!r})
        arm = api.Vorlan3(stream, 1.0)
        arm.end_effector_force([0.0, 0.0, 0.0])
        pid = os.fork()
        if pid == 0:
            try:
                arm.end_effector_force([0.0, 0.0, 1.0])
                os._exit(10)
            except RuntimeError as e:
                ok = "opened by another process" in str(e) and arm.last_error == "port_gone"
                os._exit(0 if ok else 11)
        _, status = os.waitpid(pid, 0)
        position, _ = arm.end_effector_force([0.0, 0.0, 0.5])
        print(os.waitstatus_to_exitcode(status), position, arm.last_error, flush=True)
    """, arm_device)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.split() == [b"0", b"[0.0,", b"0.0,", b"0.5]", b"None"], done.stdout
    # The child's request never reached the line.
    assert [values for code, values in requests(arm_device.written())] == [(0.0, 0.0, 0.0), (0.0, 0.0, 0.5),
                                                                           (0.0, 0.0, 0.0)]

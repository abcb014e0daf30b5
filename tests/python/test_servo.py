"""ServoLoop and its effects against devices in other processes: the simulator,
and a small responder that reports a fixed (or counting) state and logs every
force it is sent."""

import gc
import json
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
import velkor_sim

pytest_plugins = ["velkor_sim.pytest_plugin"]

WAIT = 10.0  # generous bound for anything the loop or the kernel must do

# Plays an arm on a pty: answers every force request with a state and logs the
# force, one line per request.
# Plays an arm on a pty: answers every force request with a state and logs the
# force, one line per request. Options (JSON in argv[9]): "id" (hex) answers the
# identifier query with it; "delay" seconds before each reply; "slow_every"
# [k, seconds]: that long before every k-th reply; "silent_after"
# requests after which it answers nothing (and logs each request's arrival
# time, monotonic, in log_path + ".times").
RESPONDER = textwrap.dedent(r"""
    import json, os, struct, sys, time, tty
    master, slave = os.openpty()
    tty.setraw(slave)
    mode, log_path = sys.argv[1], sys.argv[2]
    fixed = [float(x) for x in sys.argv[3:9]]
    options = json.loads(sys.argv[9]) if len(sys.argv) > 9 else {}
    identifier = bytes.fromhex(options.get("id", "00" * 16))
    delay = options.get("delay", 0.0)
    silent_after = options.get("silent_after")
    slow_every, slow_delay = options.get("slow_every", (0, 0.0))
    log = open(log_path, "w", buffering=1)
    times = open(log_path + ".times", "w", buffering=1)
    print(os.ttyname(slave), flush=True)
    pending, n = b"", 0
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        pending += chunk
        while pending:
            if pending[0] == 0x0D and len(pending) >= 2:
                os.write(master, bytes([0x0D, pending[1], 16]) + identifier)
                pending = pending[2:]
                continue
            if pending[0] != 0x2A:
                if pending[0] == 0x0D:
                    break
                pending = pending[1:]
                continue
            if len(pending) < 13:
                break
            force = struct.unpack("<3f", pending[1:13])
            pending = pending[13:]
            n += 1
            log.write("%r %r %r\n" % force)
            times.write("%d %r\n" % (n, time.monotonic()))
            if silent_after is not None and n > silent_after:
                continue
            if delay:
                time.sleep(delay)
            if slow_every and n % slow_every == 0:
                time.sleep(slow_delay)
            state = [float(n)] * 6 if mode == "count" else fixed
            os.write(master, b"\x2b" + struct.pack("<6f", *state))
""")


class Responder:
    def __init__(self, tmp_path, position=(0.0, 0.0, 0.0), velocity=(0.0, 0.0, 0.0), mode="fixed", **options):
        self.log_path = str(tmp_path / f"forces-{id(self)}.log")
        args = [sys.executable, "-c", RESPONDER, mode, self.log_path] + [repr(float(x)) for x in (*position, *velocity)]
        args.append(json.dumps(options))
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE)
        self.path = self.process.stdout.readline().decode().strip()
        assert self.path.startswith("/dev/"), self.path

    def forces(self):
        with open(self.log_path) as f:
            lines = f.read().splitlines()
        # The last line may be half written.
        return [tuple(float(x) for x in line.split()) for line in lines if len(line.split()) == 3]

    def times(self):
        with open(self.log_path + ".times") as f:
            lines = f.read().splitlines()
        return [float(line.split()[1]) for line in lines if len(line.split()) == 2]

    def wait_forces(self, condition, what):
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            forces = self.forces()
            if forces and condition(forces):
                return forces
            time.sleep(0.01)
        raise AssertionError(f"device never saw {what}; last forces {self.forces()[-3:]}")

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


@pytest.fixture
def responder(tmp_path):
    started = []

    def start(**kwargs):
        r = Responder(tmp_path, **kwargs)
        started.append(r)
        return r

    yield start
    for r in started:
        r.stop()


def open_arm(port, timeout=1.0):
    stream = api.SerialStream(port)
    return stream, api.Vorlan3(stream, timeout)


def wait_until(condition, what, bound=WAIT):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.005)
    raise AssertionError(f"timed out waiting for {what}")


def fault(loop):
    """loop.error, unless it only says that a loaded machine keeps the loop below its rate."""
    error = loop.error
    return None if error is None or error.startswith("running at ") else error


def close(a, b, tolerance):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def test_each_effect_pushes_the_way_its_geometry_says_at_a_known_position(responder):
    # (effect, reported position, reported velocity, expected force)
    cases = [
        (api.Spring([0.0, 0.0, 0.1], 200.0), (0.0, 0.0, 0.11), (0, 0, 0), (0.0, 0.0, -2.0)),
        (api.Spring([0.0, 0.0, 0.0], 0.0, damping=10.0), (0.0, 0.0, 0.0), (0.1, 0, 0), (-1.0, 0.0, 0.0)),
        (api.Damper(20.0), (0.3, 0.1, 0.2), (0.0, -0.1, 0.0), (0.0, 2.0, 0.0)),
        (api.Plane([0, 0, 0.2], [0, 0, -1], 1000.0), (0.0, 0.0, 0.203), (0, 0, 0), (0.0, 0.0, -3.0)),
        (api.Sphere([0, 0, 0.2], 0.05, 100.0), (0.0, 0.03, 0.2), (0, 0, 0), (0.0, 2.0, 0.0)),
        (api.Sphere([0, 0, 0.2], 0.05, 100.0, inside=True), (0.07, 0.0, 0.2), (0, 0, 0), (-2.0, 0.0, 0.0)),
        (api.Box([-0.1, -0.1, 0.1], [0.1, 0.1, 0.3], 300.0), (0.0, 0.11, 0.09), (0, 0, 0), (0.0, -3.0, 3.0)),
        (api.ConstantForce([0.5, -0.5, 1.0]), (1, 2, 3), (0, 0, 0), (0.5, -0.5, 1.0)),
        # Past max_force (5 N) the force is scaled down along its direction.
        (api.ConstantForce([0.0, 6.0, 8.0]), (0, 0, 0.1), (0, 0, 0), (0.0, 3.0, 4.0)),
    ]
    for effect, position, velocity, expected in cases:
        device = responder(position=position, velocity=velocity)
        stream, arm = open_arm(device.path)
        # Geometry only: stiff contact would soften a wall on a machine too loaded for 500 Hz.
        loop = api.ServoLoop(arm, rate_hz=500.0, ramp_s=0.0, stiff_contact=False)
        loop.add(effect)
        with loop:
            device.wait_forces(lambda f: len(f) >= 10, "ten requests")
        forces = device.forces()
        assert forces[0] == (0.0, 0.0, 0.0), "no force before the first state"
        # A cycle that starts too late on a loaded machine sends zero force instead.
        pushed = [f for f in forces[1:-1] if f != (0.0, 0.0, 0.0)]
        assert pushed and all(close(f, expected, 1e-3) for f in pushed), (effect, pushed[:3], expected)
        assert forces[-1] == (0.0, 0.0, 0.0), "the last request is zero force"
        device.stop()


def test_the_simulated_arm_moves_the_way_the_effects_push_it(velkor_arm_port):
    stream, arm = open_arm(velkor_arm_port)
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    anchor = [start[0], start[1], start[2] + 0.02]
    # A loaded machine is no fault here; no ramp, so the first force is the spring's.
    loop = api.ServoLoop(arm, exchange_timeout=2.0, late_limit=1.0, ramp_s=0.0)
    spring = api.Spring(anchor, 150.0, 1.0)
    loop.add(spring)
    with loop:
        first = wait_until(lambda: (s := loop.state())["cycle"] > 0 and any(s["force"]) and s, "a first force")
        assert first["force"][2] == pytest.approx(3.0, abs=0.5), "150 N/m over 2 cm"
        wait_until(lambda: abs(loop.state()["position"][2] - anchor[2]) < 0.002, "the arm at the anchor")

        # A wall 1 cm below the anchor, with the spring pulling the arm into it.
        wall = anchor[2] - 0.01
        loop.add(api.Plane([0, 0, wall], [0, 0, 1], 1000.0, 5.0))
        spring.anchor = [start[0], start[1], wall - 0.02]  # 3 N into the wall at rest: 3 mm deep
        wait_until(lambda: loop.state()["position"][2] < wall, "the arm inside the wall")
        settled = wait_until(lambda: abs(loop.state()["velocity"][2]) < 1e-3 and loop.state(), "the arm at rest")
        assert wall - 0.008 < settled["position"][2] < wall, "held at the wall, a few mm in"
    assert fault(loop) is None
    stats = loop.stats()
    assert stats["failures"] == 0 and stats["cycles"] > 100


def test_parameter_changes_apply_whole_while_running(responder):
    device = responder(position=(0.0, 0.0, 0.1))
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm, rate_hz=1000.0)
    push = api.ConstantForce([1.0, 1.0, 1.0])
    with loop:
        handle = loop.add(push)
        device.wait_forces(lambda f: f[-1] == (1.0, 1.0, 1.0), "the first push")
        for i in range(300):
            value = float(i % 3 + 1)
            if i % 2:
                push.force = [value] * 3
            else:
                push.update(force=[value] * 3)
        push.force = [0.0, 0.0, -2.0]
        device.wait_forces(lambda f: f[-1] == (0.0, 0.0, -2.0), "the last change")

        spring = api.Spring([0.0, 0.0, 0.1], 100.0)
        loop.add(spring)
        spring.update(anchor=[0.0, 0.0, 0.12], stiffness=400.0)  # both at once: +8 N
        device.wait_forces(lambda f: close(f[-1], (0.0, 0.0, 5.0), 1e-4), "the spring, clamped to 5 N")
        loop.max_force = 1.0
        device.wait_forces(lambda f: close(f[-1], (0.0, 0.0, 1.0), 1e-4), "the new clamp")
        loop.remove(handle)
        with pytest.raises(KeyError):
            loop.remove(handle)
        loop.clear()
        device.wait_forces(lambda f: f[-1] == (0.0, 0.0, 0.0), "no effects")
        assert loop.effects == {}
    # Every force the device saw was one whole published value, never a mix.
    for force in device.forces():
        if force[0] != 0.0:
            assert force[0] == force[1] == force[2], force


def test_stop_leaves_zero_force_however_the_loop_ends(responder, tmp_path):
    device = responder(position=(0.0, 0.0, 0.1))
    stream, arm = open_arm(device.path)

    def running_loop():
        loop = api.ServoLoop(arm, rate_hz=500.0)
        loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
        loop.start()
        device.wait_forces(lambda f: f[-1] == (0.0, 0.0, 2.0), "the push")
        return loop

    loop = running_loop()
    loop.stop()
    assert device.forces()[-1] == (0.0, 0.0, 0.0)
    assert loop.state()["force"] == [0.0, 0.0, 0.0]
    assert not loop.running
    loop.stop()  # stopping twice is harmless

    loop.start()  # restartable
    device.wait_forces(lambda f: f[-1] == (0.0, 0.0, 2.0), "the push again")
    del loop
    gc.collect()
    device.wait_forces(lambda f: f[-1] == (0.0, 0.0, 0.0), "zero force after collection")
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])  # the arm is usable again
    assert position == pytest.approx([0.0, 0.0, 0.1])

    with pytest.raises(ZeroDivisionError):
        with api.ServoLoop(arm) as loop:
            loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
            device.wait_forces(lambda f: f[-1] == (0.0, 0.0, 1.0), "the push in a with block")
            1 / 0
    assert device.forces()[-1] == (0.0, 0.0, 0.0)


def test_loops_left_running_stop_with_zero_force_at_interpreter_exit(responder):
    device = responder(position=(0.0, 0.0, 0.1))
    script = textwrap.dedent(f"""
        import time, VelkorHardwareAPI as api
        stream = api.SerialStream({device.path!r})
        arm = api.Vorlan3(stream, 1.0)
        loop = api.ServoLoop(arm)
        loop.add(api.ConstantForce([0.0, 0.0, 3.0]))
        loop.on_state(lambda state: time.sleep(0.001))
        loop.start()
        time.sleep(0.3)
        print("leaving", flush=True)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    assert b"leaving" in done.stdout
    forces = device.forces()
    assert (0.0, 0.0, 3.0) in forces and forces[-1] == (0.0, 0.0, 0.0)


def test_watchdog_holds_zero_force_while_the_simulator_is_stopped_and_resumes():
    sim = velkor_sim.Simulator("arm")
    try:
        stream, arm = open_arm(sim.path)
        loop = api.ServoLoop(arm, rate_hz=1000.0, exchange_timeout=0.02, failure_limit=3)
        loop.add(api.ConstantForce([0.0, 0.0, 0.5]))
        with loop:
            wait_until(lambda: loop.state()["force"][2] == 0.5, "the push")
            assert fault(loop) is None
            os.kill(sim.process.pid, signal.SIGSTOP)
            try:
                held = wait_until(lambda: (s := loop.state())["holding"] and s["force"] == [0.0, 0.0, 0.0] and s,
                                  "the loop to hold")
                error = wait_until(lambda: loop.error, "an error text")
                assert "holding zero force" in error and "in a row" in error
                stats = loop.stats()
                assert stats["failures"] >= 3 and stats["held_cycles"] >= 1 and stats["holds"] >= 1
                assert loop.state()["cycle"] > held["cycle"] or loop.running, "it keeps trying"
            finally:
                os.kill(sim.process.pid, signal.SIGCONT)
            wait_until(lambda: loop.error is None and loop.state()["force"][2] == 0.5, "the push to resume")
    finally:
        os.kill(sim.process.pid, signal.SIGCONT)
        sim.stop()


def test_state_is_one_cycle_under_concurrent_reads(responder):
    # The responder reports n for every position and velocity component of
    # its n-th reply: a state mixed from two cycles shows two numbers.
    device = responder(mode="count")
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm, rate_hz=2000.0)
    problems = []
    reply_of_cycle = {}

    def read():
        last = -1
        for _ in range(3000):
            s = loop.state()
            n = s["position"][0]
            if s["position"] != [n] * 3 or s["velocity"] != [n] * 3:
                problems.append(s)
            if reply_of_cycle.setdefault(s["cycle"], n) != n:
                problems.append(("one cycle, two replies", reply_of_cycle[s["cycle"]], s))
            if s["cycle"] < last:
                problems.append(("cycle went back", last, s))
            last = s["cycle"]

    with loop:
        wait_until(lambda: loop.state()["cycle"] > 10, "some cycles")
        readers = [threading.Thread(target=read) for _ in range(3)]
        for r in readers:
            r.start()
        for r in readers:
            r.join()
    assert problems == []


def test_bad_arguments_raise_before_anything_is_sent(responder):
    device = responder()
    stream, arm = open_arm(device.path)
    nan = float("nan")
    constructions = [
        lambda: api.ServoLoop(arm, rate_hz=0.0),
        lambda: api.ServoLoop(arm, rate_hz=20000.0),
        lambda: api.ServoLoop(arm, rate_hz=nan),
        lambda: api.ServoLoop(arm, exchange_timeout=0.0),
        lambda: api.ServoLoop(arm, failure_limit=0),
        lambda: api.Spring([nan, 0.0, 0.0], 100.0),
        lambda: api.Spring([0.0, 0.0, 0.0], -1.0),
        lambda: api.Spring([0.0, 0.0], 1.0),
        lambda: api.Damper(-0.1),
        lambda: api.Plane([0, 0, 0], [0, 0, 0], 100.0),
        lambda: api.Plane([0, 0, 0], [0, 0, 1], float("inf")),
        lambda: api.Sphere([0, 0, 0], -0.1, 100.0),
        lambda: api.Box([0, 0, 0.2], [0.1, 0.1, 0.1], 100.0),
        lambda: api.ConstantForce([0.0, 1e300, 0.0]),
    ]
    for construct in constructions:
        with pytest.raises(ValueError):
            construct()
    with pytest.raises(TypeError):
        api.ServoLoop(None)

    loop = api.ServoLoop(arm)
    spring = api.Spring([0, 0, 0], 100.0)
    loop.add(spring)
    changes = [
        lambda: setattr(loop, "max_force", -1.0),
        lambda: setattr(loop, "max_force", nan),
        lambda: setattr(spring, "stiffness", -5.0),
        lambda: setattr(spring, "anchor", [0.0, nan, 0.0]),
        lambda: spring.update(stiffness=50.0, damping=-1.0),
        lambda: loop.on_state(print, rate_hz=0.0),
    ]
    for change in changes:
        with pytest.raises(ValueError):
            change()
    with pytest.raises(AttributeError):
        spring.update(stiffness=50.0, stifness=1.0)
    assert spring.stiffness == 100.0 and spring.damping == 0.0, "a refused update changes nothing"
    with pytest.raises(TypeError):
        loop.on_state(42)
    assert device.forces() == []


def test_every_route_to_a_leased_arm_or_stream_is_refused_and_the_device_gets_only_the_loops_force(responder):
    device = responder(position=(0.0, 0.0, 0.1))
    stream, arm = open_arm(device.path)
    other_arm = api.Vorlan3(stream, 1.0)
    loop = api.ServoLoop(arm, ramp_s=0.0)
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    fetched = arm.end_effector_force
    from_thread = []

    def push_from_thread():
        try:
            arm.end_effector_force([0.0, 0.0, 7.0])
        except RuntimeError as e:
            from_thread.append(e)

    with loop:
        routes = [
            lambda: arm.end_effector_force([0.0, 0.0, 5.5]),
            lambda: fetched([0.0, 0.0, 6.0]),
            lambda: api.Vorlan3.end_effector_force(arm, [0.0, 0.0, 6.5]),
            lambda: object.__getattribute__(arm, "end_effector_force")([0.0, 0.0, 7.5]),
            lambda: other_arm.end_effector_force([0.0, 0.0, 8.0]),
            lambda: arm.send_raw(b"\x2a" + struct.pack("<3f", 0.0, 0.0, 8.5)),
            lambda: arm.read_raw(1),
            lambda: arm.set_read_timeout(0.001),
            lambda: other_arm.device_wakeup(),
        ]
        for route in routes:
            with pytest.raises(RuntimeError, match=r"ServoLoop #\d+"):
                route()
        thread = threading.Thread(target=push_from_thread)
        thread.start()
        thread.join(WAIT)
        assert from_thread and "ServoLoop" in str(from_thread[0])
        # A second loop, on another arm on the same stream, does not start.
        second = api.ServoLoop(other_arm)
        second.add(api.ConstantForce([0.0, 0.0, -1.0]))
        with pytest.raises(RuntimeError, match="driven by another servo loop.*ServoLoop #"):
            second.start()
        with pytest.raises(RuntimeError, match="already running"):
            loop.start()
        second.stop()  # stopping a loop that never started releases nothing of the running one
        with pytest.raises(RuntimeError, match="ServoLoop"):
            arm.end_effector_force([0.0, 0.0, 9.0])
        device.wait_forces(lambda f: len(f) > 20, "the loop's requests")
    forces = device.forces()
    assert forces[-1] == (0.0, 0.0, 0.0), "zero force last"
    assert set(forces) <= {(0.0, 0.0, 0.0), (0.0, 0.0, 1.0)}, "nothing but the loop's force reached the device"
    # Handed back once the loop stops.
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    assert position == pytest.approx([0.0, 0.0, 0.1])
    other_arm.end_effector_force([0.0, 0.0, 0.0])


def test_closing_or_reopening_the_stream_under_a_loop_stops_it_with_zero_force_last(responder):
    for how in ("with", "close", "reopen"):
        device = responder(position=(0.0, 0.0, 0.1))
        loop = None
        with api.SerialStream(device.path) as stream:
            arm = api.Vorlan3(stream, 1.0)
            loop = api.ServoLoop(arm, ramp_s=0.0)
            loop.add(api.ConstantForce([0.0, 0.0, 3.0]))
            loop.start()
            device.wait_forces(lambda f: (0.0, 0.0, 3.0) in f, "the loop's push")
            if how == "close":
                stream.close()
            elif how == "reopen":
                assert stream.reopen()
        assert not loop.running, how
        forces = device.wait_forces(lambda f: f[-1] == (0.0, 0.0, 0.0), "zero force last")
        count = len(forces)
        time.sleep(0.05)
        assert len(device.forces()) == count, f"{how}: nothing sent after the last zero force"
        loop.stop()
        device.stop()


def test_start_on_a_closed_stream_and_add_of_a_non_effect_raise(responder):
    device = responder()
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm)
    with pytest.raises(TypeError, match="Spring, Damper, Plane, Sphere, Box, ConstantForce or Mesh .an Effect., "
                                        "not str"):
        loop.add("wall")
    stream.close()
    with pytest.raises(RuntimeError, match="not open"):
        loop.start()
    assert not loop.running
    assert device.forces() == []


def test_a_device_at_the_origin_at_rest_is_healthy_and_state_is_read_at_start(responder):
    device = responder(position=(0.0, 0.0, 0.0), velocity=(0.0, 0.0, 0.0))
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm, rate_hz=500.0, failure_limit=1)
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    with loop:
        # start() returns once the first exchange has answered.
        assert loop.stats()["cycles"] >= 1
        device.wait_forces(lambda f: (0.0, 0.0, 1.0) in f, "the full force")
        assert fault(loop) is None
    stats = loop.stats()
    assert stats["failures"] == 0 and stats["held_cycles"] == 0
    # A stop right after the start cuts no exchange short into a "failure".
    for _ in range(5):
        with loop:
            pass
        assert loop.stats()["cycles"] >= 1 and loop.stats()["failures"] == 0, loop.stats()


def test_force_ramps_in_at_start_and_after_a_hold_and_a_stall_puts_no_step_in_a_push(responder):
    device = responder(position=(0.0, 0.0, 0.1))
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm, rate_hz=500.0, ramp_s=0.05, late_limit=0.005, exchange_timeout=0.5)
    loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
    with loop:
        device.wait_forces(lambda f: f.count((0.0, 0.0, 2.0)) > 20, "the full push")
        # The whole process stops for 30 ms: the loop's next cycle starts late.
        stall = subprocess.Popen(["sh", "-c", f"kill -STOP {os.getpid()}; sleep 0.03; kill -CONT {os.getpid()}"])
        stall.wait(WAIT)
        n = len(device.forces())
        device.wait_forces(lambda f: len(f) > n + 50, "requests after the stall")
    forces = device.forces()
    z = [f[2] for f in forces]
    first_full = z.index(2.0)
    assert z[0] == 0.0
    ramp = z[1:first_full]
    assert len(ramp) >= 10, "a ramp, not a step"
    assert all(0.0 < a <= b < 2.0 for a, b in zip(ramp, ramp[1:])), ramp
    assert all(x == 2.0 for x in z[first_full:-1]), "no zero (nor any other) force in a constant push"
    assert z[-1] == 0.0

    # Adding and removing effects is slew-limited as well.
    device2 = responder(position=(0.0, 0.0, 0.1))
    stream2, arm2 = open_arm(device2.path)
    loop2 = api.ServoLoop(arm2, rate_hz=500.0, ramp_s=0.05, exchange_timeout=0.5, late_limit=1.0)
    with loop2:
        device2.wait_forces(lambda f: len(f) > 40, "the start")
        handle = loop2.add(api.ConstantForce([0.0, 0.0, 4.0]))
        device2.wait_forces(lambda f: (0.0, 0.0, 4.0) in f, "the added force")
        loop2.remove(handle)
        n = len(device2.forces())
        device2.wait_forces(lambda f: len(f) > n + 60, "the removal")
    z2 = [f[2] for f in device2.forces()]
    times = device2.times()
    # At most max_force (5 N) per ramp_s (50 ms): 100 N/s, judged by when the requests arrived
    # (a few milliseconds of leeway for the jitter between the loop's clock and the device's).
    for i in range(min(len(z2), len(times)) - 2):
        step, dt = abs(z2[i + 1] - z2[i]), times[i + 1] - times[i]
        assert step <= 100.0 * (dt + 0.004), (i, z2[i:i + 2], dt)
    assert 4.0 in z2 and z2[-1] == 0.0


def test_watchdog_sends_zero_force_after_failure_limit_requests_from_the_first_unanswered(responder):
    for limit in (1, 3):
        device = responder(position=(0.0, 0.0, 0.1), silent_after=100)
        stream, arm = open_arm(device.path)
        loop = api.ServoLoop(arm, rate_hz=1000.0, exchange_timeout=0.01, failure_limit=limit, ramp_s=0.0,
                             late_limit=1.0)
        loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
        with loop:
            device.wait_forces(lambda f: len(f) > 100 + limit + 5, "requests after the device fell silent")
            wait_until(lambda: loop.error is not None and "in a row failed" in loop.error, "the hold")
        z = [f[2] for f in device.forces()]
        # Requests 101 ... are unanswered: `limit` of them carry force, then zero from there on.
        assert z[100:100 + limit] == [2.0] * limit, (limit, z[95:110])
        assert all(x == 0.0 for x in z[100 + limit:]), (limit, z[95:110])
        device.stop()


def test_a_device_slower_than_the_period_shows_as_missed_deadlines_and_an_error(responder):
    device = responder(position=(0.0, 0.0, 0.1), delay=0.003)
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm, rate_hz=1000.0, late_limit=1.0)
    with loop:
        wait_until(lambda: loop.stats()["missed_deadlines"] > 50, "missed deadlines")
        wait_until(lambda: loop.error is not None and "cannot keep the rate" in (loop.error or ""), "the error")
    assert loop.stats()["failures"] == 0


def test_a_rate_that_stays_below_the_target_shows_in_the_error_with_the_timer(responder):
    # Every 20th reply takes 8 ms: the cycles after it skip the deadlines they
    # missed, never ten in a row, so the loop runs on at about 20/28 of its rate.
    device = responder(position=(0.0, 0.0, 0.1), slow_every=[20, 0.008])
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm, rate_hz=1000.0, late_limit=1.0)
    with loop:
        error = wait_until(lambda: "below 95%" in (loop.error or "") and loop.error, "the rate error")
        stats = loop.stats()
    assert "running at" in error and stats["timer"] in error
    assert 0 < stats["recent_rate_hz"] < 950
    assert stats["failures"] == 0 and stats["holds"] == 0


def test_the_loop_spins_for_as_long_as_its_timer_wakes_late_and_names_the_timer(responder):
    device = responder(position=(0.0, 0.0, 0.1))
    stream, arm = open_arm(device.path)
    with api.ServoLoop(arm, rate_hz=1000.0, spin=0.0, late_limit=1.0) as loop:
        wait_until(lambda: loop.stats()["cycles"] > 500, "500 cycles")
        stats = loop.stats()
    assert stats["timer"] and stats["timer"] in stats["realtime_note"]
    # No spin asked for, yet it spins past the wakes measured, never beyond one period.
    assert stats["timer_lateness_us"] >= 0
    assert 20.0 <= stats["spin_us"] <= 1000.0


def test_a_lost_port_logs_one_error_line_per_episode_and_stop_is_prompt_at_any_rate(tmp_path):
    script = textwrap.dedent(f"""
        import os, sys, time, tty
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import VelkorHardwareAPI as api
        master, slave = os.openpty()
        tty.setraw(slave)
        stream = api.SerialStream(os.ttyname(slave))
        arm = api.Vorlan3(stream, 1.0)
        loop = api.ServoLoop(arm, rate_hz=1000.0, exchange_timeout=0.01)
        loop.start()
        os.close(master)  # the device goes away
        time.sleep(1.0)
        stats = loop.stats()
        loop.stop()
        slow = api.ServoLoop(arm, rate_hz=1.0)
        print(stats["failures"], stats["fault_episodes"], flush=True)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    failures, episodes = (int(x) for x in result.stdout.split())
    assert failures > 50 and episodes == 1
    err_lines = [line for line in result.stderr.splitlines() if line.startswith("[err]")]
    assert len(err_lines) == 1, err_lines
    # The device never answered before it went away: the episode began with time-outs.
    assert "ServoLoop #1" in err_lines[0] and "exchange failed (timeout)" in err_lines[0]

    # stop() does not wait out the period: at 0.2 Hz one would take five seconds.
    device_script = textwrap.dedent("""
        import os, struct, sys, tty
        master, slave = os.openpty()
        tty.setraw(slave)
        print(os.ttyname(slave), flush=True)
        while True:
            data = os.read(master, 13)
            if not data:
                break
            os.write(master, b"\x2b" + bytes(24))
    """)
    device = subprocess.Popen([sys.executable, "-c", device_script], stdout=subprocess.PIPE)
    try:
        stream, arm = open_arm(device.stdout.readline().decode().strip())
        loop = api.ServoLoop(arm, rate_hz=1.0, ramp_s=0.0)
        loop.start()
        began = time.monotonic()
        loop.stop()
        assert time.monotonic() - began < 0.5, "stop() waited out the period"
    finally:
        device.kill()
        device.wait()


def test_on_state_runs_on_a_python_thread_and_its_exceptions_are_not_silent(responder, monkeypatch):
    device = responder(position=(0.0, 0.0, 0.1))
    stream, arm = open_arm(device.path)
    seen = []
    reported = []
    monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args.exc_value))

    def callback(state):
        seen.append((threading.current_thread().name, state["cycle"]))
        if len(seen) == 5:
            raise LookupError("from the callback")

    loop = api.ServoLoop(arm)
    loop.on_state(callback, rate_hz=200.0)
    loop.start()
    wait_until(lambda: reported, "the callback's exception to be reported")
    assert isinstance(reported[0], LookupError)
    assert loop.running, "the servo loop itself goes on"
    with pytest.raises(LookupError, match="from the callback"):
        loop.stop()
    assert len(seen) == 5 and seen[0][0] == "ServoLoop.on_state"
    assert [c for _, c in seen] == sorted(c for _, c in seen)
    loop.stop()  # raised once only


def test_realtime_is_asked_for_and_reported_never_refused(responder):
    device = responder(position=(0.0, 0.0, 0.1))
    stream, arm = open_arm(device.path)
    with api.ServoLoop(arm, realtime=True, exchange_timeout=2.0, late_limit=1.0) as loop:
        wait_until(lambda: loop.state()["cycle"] > 5, "some cycles")
        stats = loop.stats()
    assert isinstance(stats["realtime"], bool) and isinstance(stats["memory_locked"], bool)
    assert ("SCHED_FIFO" in stats["realtime_note"]) and ("memory" in stats["realtime_note"])
    for key in ("cycles", "rate_hz", "period_p50_us", "period_p99_us", "period_max_us", "late_cycles",
                "exchange_p50_us", "exchange_p99_us", "failures", "realtime"):
        assert key in stats
    assert stats["cycles"] > 5 and stats["failures"] == 0
    assert math.isfinite(stats["rate_hz"]) and stats["rate_hz"] > 0


def test_reconnect_finds_the_same_arm_by_identifier_on_another_port_and_ramps_back_in(responder):
    arm_id, other_id = "a5" * 16, "5a" * 16
    first = responder(position=(0.0, 0.0, 0.1), id=arm_id)
    stranger = responder(position=(0.0, 0.0, 0.1), id=other_id)
    again = responder(position=(0.0, 0.0, 0.1), id=arm_id)
    stream, arm = open_arm(first.path)
    loop = api.ServoLoop(arm, rate_hz=500.0, ramp_s=0.05, exchange_timeout=0.05, late_limit=1.0, reconnect=True,
                         reconnect_ports=[stranger.path, again.path])
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    with loop:
        first.wait_forces(lambda f: (0.0, 0.0, 1.0) in f, "the push on the first port")
        first.stop()  # the arm vanishes from its port
        forces = again.wait_forces(lambda f: f.count((0.0, 0.0, 1.0)) > 10, "the push on the new port")
        assert loop.stats()["reconnects"] == 1
        assert fault(loop) is None
    batch = loop.drain()
    records = list(batch[0] if isinstance(batch, tuple) else batch)
    # A cycle that made no exchange spent itself reconnecting (the one that found the arm too): its
    # reading is the one from before the port went away, never to be taken as fresh.
    without_exchange = [r for r in records if r["cycle"] > 0 and r["exchange_us"] == 0.0]
    assert without_exchange, "no cycle was spent reconnecting"
    assert all(r["flags"] & (1 << 5) for r in without_exchange), [int(r["flags"]) for r in without_exchange]
    z = [f[2] for f in forces]
    assert z[0] == 0.0 and 0.0 < z[z.index(1.0) - 1] < 1.0, "ramped back in"
    assert stranger.forces() == [], "an arm with another identifier is never driven"
    assert stream.is_open
    assert again.forces()[-1] == (0.0, 0.0, 0.0)


def test_reconnect_says_what_it_waits_for_and_start_needs_an_identifier(responder, tmp_path):
    first = responder(position=(0.0, 0.0, 0.1), id="a5" * 16)
    stream, arm = open_arm(first.path)
    loop = api.ServoLoop(arm, rate_hz=200.0, reconnect=True, reconnect_ports=[tmp_path / "nothing-here"])
    with loop:
        first.wait_forces(lambda f: len(f) > 5, "requests")
        first.stop()
        wait_until(lambda: "looking for the arm with identifier " + "a5" * 16 in (loop.error or ""), "the error")
    assert loop.stats()["reconnects"] == 0
    # A device that does not answer the identifier query cannot be found again: start() says so.
    silent = subprocess.Popen([sys.executable, "-c", "import os,sys,time,tty\nm,s=os.openpty()\ntty.setraw(s)\n"
                               "print(os.ttyname(s),flush=True)\ntime.sleep(60)"], stdout=subprocess.PIPE)
    try:
        stream2, arm2 = open_arm(silent.stdout.readline().decode().strip())
        with pytest.raises(RuntimeError, match="identifier"):
            api.ServoLoop(arm2, reconnect=True, exchange_timeout=0.02).start()
    finally:
        silent.kill()
        silent.wait()


# Each vector attribute, and an edit in place that used to change a copy nobody saw.
VECTOR_EDITS = [
    (lambda: api.ConstantForce([0.0, 0.0, 1.0]), "force", lambda e: e.force.__setitem__(2, 3.0)),
    (lambda: api.Plane([0.0, 0.0, 0.22], [0.0, 0.0, -1.0], 500.0), "point", lambda e: e.point.__setitem__(2, 0.01)),
    (lambda: api.Plane([0.0, 0.0, 0.22], [0.0, 0.0, -1.0], 500.0), "normal", lambda e: e.normal.append(1.0)),
    (lambda: api.Spring([0.0, 0.0245, 0.22], 100.0), "anchor", lambda e: e.anchor.__setitem__(0, 0.1)),
    (lambda: api.Sphere([0.0, 0.0245, 0.24], 0.02, 300.0), "center", lambda e: e.center.__setitem__(1, 0.0)),
    (lambda: api.Box([-0.05, -0.03, 0.2], [0.05, 0.08, 0.25], 300.0), "min_corner",
     lambda e: e.min_corner.__setitem__(0, 0.0)),
    (lambda: api.Box([-0.05, -0.03, 0.2], [0.05, 0.08, 0.25], 300.0), "max_corner",
     lambda e: e.max_corner.__setitem__(0, 0.0)),
]


@pytest.mark.parametrize("make, name, edit", VECTOR_EDITS)
def test_editing_a_vector_attribute_in_place_raises_and_it_still_equals_its_list(make, name, edit):
    effect = make()
    before = getattr(effect, name)
    with pytest.raises((TypeError, AttributeError)):
        edit(effect)
    assert getattr(effect, name) == before
    # Compared with lists as before, and usable as the tuple it is.
    assert getattr(effect, name) == [float(x) for x in before] and isinstance(before, tuple)
    assert getattr(effect, name) != [9.0, 9.0, 9.0] and list(before) == [float(x) for x in before]
    setattr(effect, name, [0.0, 1.0, 0.0] if name == "normal" else [x + 0.01 for x in before])
    assert getattr(effect, name) != before


def test_a_mesh_transform_and_bounds_are_read_only():
    mesh = api.Mesh([[0, 0, 0], [0.1, 0, 0], [0, 0.1, 0]], [[0, 1, 2]], 500.0)
    with pytest.raises(TypeError):
        mesh.transform[2][3] = 0.05
    with pytest.raises(TypeError):
        mesh.bounds[0][2] = 1.0
    assert mesh.transform == [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]
    mesh.transform = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0.05], [0, 0, 0, 1]]
    assert mesh.transform[2][3] == pytest.approx(0.05)


def mm_mesh():
    return api.Mesh([[-50, -50, 220], [50, -50, 220], [0, 50, 220]], [[0, 1, 2]], 500.0)


# Geometry given in millimetres, and the same in metres.
GEOMETRY = [
    (lambda: api.Box([-50.0, -50.0, 200.0], [50.0, 50.0, 250.0], 300.0),
     lambda: api.Box([-0.05, -0.05, 0.2], [0.05, 0.05, 0.25], 300.0), "Box from [-50, -50, 200] to [50, 50, 250] lies 200 m"),
    (lambda: api.Plane([0.0, 0.0, 220.0], [0.0, 0.0, -1.0], 500.0),
     lambda: api.Plane([0.0, 0.0, 0.22], [0.0, 0.0, -1.0], 500.0), "Plane through [0, 0, 220] lies 220 m"),
    (lambda: api.Sphere([0.0, 24.5, 240.0], 20.0, 300.0),
     lambda: api.Sphere([0.0, 0.0245, 0.24], 0.02, 300.0), "Sphere at [0, 24.5, 240] of radius 20 lies"),
    (lambda: api.Sphere([0.0, 0.0245, 0.24], 20.0, 300.0, inside=True),
     lambda: api.Sphere([0.0, 0.0245, 0.24], 0.2, 300.0, inside=True), "Sphere at [0, 0.0245, 0.24] of radius 20 lies 19.8 m"),
    (lambda: api.Spring([0.0, 24.5, 220.0], 100.0),
     lambda: api.Spring([0.0, 0.0245, 0.22], 100.0), "Spring anchored at [0, 24.5, 220] lies 221 m"),
    (mm_mesh, lambda: api.Mesh([[-0.05, -0.05, 0.22], [0.05, -0.05, 0.22], [0, 0.05, 0.22]], [[0, 1, 2]], 500.0),
     "Mesh placed within [-50, -50, 220] to [50, 50, 220] lies 220 m"),
]


@pytest.mark.parametrize("far, near, named", GEOMETRY)
def test_an_effect_far_outside_the_workspace_warns_when_added(stream, far, near, named):
    loop = api.ServoLoop(api.Vorlan3(stream, 0.1))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        effect = far()
        for _ in range(2):  # added twice from one line: one warning
            loop.add(effect)
    assert [w.category for w in caught] == [UserWarning]
    text = str(caught[0].message)
    assert text.startswith("ServoLoop.add(): the " + named), text
    assert "far outside the workspace" in text and "0.59 m" in text and "in metres" in text
    assert caught[0].filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        loop.add(near())
        loop.add(api.ConstantForce([0.0, 0.0, 300.0]))  # a force has no place to be out of


def test_before_start_stats_say_they_measured_nothing_record_raises_and_drain_is_empty(stream):
    loop = api.ServoLoop(api.Vorlan3(stream, 0.1))
    stats = loop.stats()
    assert stats["valid"] is False and stats["cycles"] == 0
    with pytest.raises(RuntimeError, match=r"ServoLoop.record\(\): the loop is not running; call start\(\) first, "
                                           r"or start\(record=path\) to record from the first cycle"):
        loop.record("never.mcap")
    assert loop.recording is None and not os.path.exists("never.mcap")
    records, lost = loop.drain()
    assert (len(records), lost) == (0, 0)


def test_stats_are_valid_once_the_loop_has_run(responder):
    device = responder()
    stream, arm = open_arm(device.path)
    loop = api.ServoLoop(arm, rate_hz=500.0)
    with loop:
        wait_until(lambda: loop.stats()["cycles"] > 0, "a cycle")
        assert loop.stats()["valid"] is True
    assert loop.stats()["valid"] is True


def _push_into_wall(arm, sim, start, stiffness, stiff_contact, cycles=900):
    """The arm brought back above a wall 3 mm below `start`, then pushed into it by
    the simulator's hand with 2 N until the loop has run `cycles` cycles (however
    slowly this machine lets it run); returns the telemetry of those cycles."""
    here, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    with api.ServoLoop(arm, exchange_timeout=0.5, late_limit=0.5) as back:
        spring = api.Spring([here[0], here[1], start[2] + 0.01], 300.0, 5.0)
        back.add(spring)
        wait_until(lambda: abs(back.state()["position"][2] - start[2] - 0.01) < 0.002, "the arm above the wall")
        spring.anchor = [start[0], start[1], start[2] + 0.005]
        time.sleep(0.5)
    top = start[2] - 0.003
    loop = api.ServoLoop(arm, exchange_timeout=0.5, late_limit=0.5, stiff_contact=stiff_contact)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        loop.add(api.Plane([start[0], start[1], top], [0.0, 0.0, 1.0], stiffness))
    chunks, got = [], 0
    with loop:
        sim.set_hand_force([0.0, 0.0, -2.0])
        end = time.monotonic() + 30.0
        while got < cycles and time.monotonic() < end:
            time.sleep(0.02)
            records, _ = loop.drain()
            chunks.append(records)
            got += len(records)
        sim.set_hand_force([0.0, 0.0, 0.0])
    assert got >= cycles, f"the loop ran {got} cycles in 30 s"
    records = pytest.importorskip("numpy").concatenate(chunks)
    return records, top


def test_a_stiff_wall_settles_under_a_push_and_a_soft_one_feels_as_without(velkor_simulator):
    """The simulator's hand pushes 2 N into walls of 20,000 and 800 N/m, with the
    loop's stiff contact and without it, side by side in one run; judged over the
    last 300 cycles, however long this machine made them."""
    np = pytest.importorskip("numpy")
    sim = velkor_simulator("arm")
    stream, arm = open_arm(sim.path, 0.5)
    home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    with api.ServoLoop(arm) as lift:  # the arm starts near the bottom of its workspace
        lift.add(api.Spring([home[0], home[1], home[2] + 0.04], 300.0, 5.0))
        wait_until(lambda: lift.state()["position"][2] > home[2] + 0.035, "the arm lifted")
        time.sleep(0.3)
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    figures = {}
    for stiffness, stiff_contact in ((20000.0, False), (20000.0, True), (800.0, False), (800.0, True)):
        records, top = _push_into_wall(arm, sim, start, stiffness, stiff_contact)
        last = records[-300:]
        force = last["force"][:, 2].astype(float)
        figures[stiffness, stiff_contact] = (force.std(), force.mean(), top - float(last["position"][:, 2].mean()),
                                             1e6 / float(np.mean(last["period_us"])))
    report = {k: tuple(round(float(x), 5) for x in v) for k, v in figures.items()}  # (std N, mean N, depth m, rate Hz)
    print("stiff contact (std N, mean N, depth m, rate Hz):", report)
    buzzing, stable = figures[20000.0, False], figures[20000.0, True]
    assert buzzing[0] > 0.5, f"without stiff contact 20,000 N/m buzzes: {report}"
    assert stable[0] <= 0.1, f"with it the push settles: {report}"
    assert stable[1] == pytest.approx(2.0, abs=0.05), report
    assert 0.0 < stable[2] < 0.002, f"resting on the wall, at most as deep as 1,000 N/m would let it: {report}"
    soft, soft_stable = figures[800.0, False], figures[800.0, True]
    assert soft_stable[0] <= soft[0] + 0.1, f"800 N/m no rougher, within what a loaded machine varies: {report}"
    assert soft_stable[1] == pytest.approx(2.0, abs=0.05), report
    assert soft_stable[2] == pytest.approx(0.0025, rel=0.1), f"800 N/m as stiff as given: 2.5 mm deep: {report}"
    if soft[0] < 0.1:  # where this machine ran the loop fast enough to render 800 N/m as given: the same
        assert soft_stable[2] == pytest.approx(soft[2], abs=1e-4) and soft_stable[1] == pytest.approx(soft[1], abs=0.02)


def test_a_stiffness_beyond_what_the_rate_renders_stably_warns_once_on_add_and_on_set(velkor_sim):
    stream, arm = open_arm(velkor_sim("arm"))
    fast = api.ServoLoop(arm, rate_hz=1000.0)
    slow = api.ServoLoop(arm, rate_hz=500.0, stiff_contact=False)
    vertices = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]
    # (effect, warns in the 1 kHz loop, warns in the 500 Hz loop): the bounds are 13,500 and 3,375 N/m.
    cases = [
        (api.Plane([0, 0, 0], [0, 0, 1], 800.0), False, False),
        (api.Plane([0, 0, 0], [0, 0, 1], 1e7), True, True),
        (api.Sphere([0, 0, 0], 0.05, 5000.0), False, True),
        (api.Box([-1, -1, -1], [1, 1, 1], 13000.0), False, True),
        (api.Spring([0, 0, 0], 20000.0), True, True),
        (api.Mesh(vertices, [[0, 1, 2]], 14000.0), True, True),
        (api.Damper(1e6), False, False),
        (api.ConstantForce([0, 0, 1]), False, False),
    ]
    first = None
    for effect, in_fast, in_slow in cases:
        for loop, expected in ((fast, in_fast), (slow, in_slow)):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                handle = loop.add(effect)
            first = first or handle
            texts = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
            assert len(texts) == (1 if expected else 0), (effect, loop.rate_hz, texts)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        plane = cases[0][0]
        plane.stiffness = 20000.0  # in both loops: one warning, naming the first
        loose = api.Plane([0, 0, 0], [0, 0, 1], 800.0)
        loose.stiffness = 1e9  # in no loop: nothing to judge it by
    texts = [str(w.message) for w in caught]
    assert len(texts) == 1, texts
    assert texts[0].startswith("Plane: stiffness 20000 N/m is more than ServoLoop #")
    assert texts[0].endswith("(1000 Hz) renders stably (at most 13500 N/m at 1000 Hz: 0.0135 / T^2 for a period T); "
                             "it is rendered at that stiffness, damped along its push")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fast.remove(first)  # the first plane leaves the fast loop; the slow one has stiff_contact off
        plane.stiffness = 30000.0
    assert [str(w.message).split(" renders")[1] for w in caught] == [
        " stably (at most 3375 N/m at 500 Hz: 0.0135 / T^2 for a period T); with stiff_contact=False it will buzz"]

"""An arm served over Zenoh, judged by the forces a device process receives.

Loopback only (tcp/127.0.0.1 with ports picked free at run time), multicast
scouting and gossip off, every wait bounded.
"""

import json
import logging
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

zenoh = pytest.importorskip("zenoh")
cbor2 = pytest.importorskip("cbor2")

import VelkorHardwareAPI as api  # noqa: E402
import velkor_remote  # noqa: E402
from velkor_remote import ros, wire  # noqa: E402

WAIT = 10.0
LEASE = 0.5
RAMP = 0.2

# Plays an arm on a pty: answers every force request with a fixed state and
# logs the force with the time it arrived, one line per request.
RESPONDER = textwrap.dedent(r"""
    import os, struct, sys, time, tty
    master, slave = os.openpty()
    tty.setraw(slave)
    log = open(sys.argv[1], "w", buffering=1)
    state = [float(x) for x in sys.argv[2:8]]
    print(os.ttyname(slave), flush=True)
    pending = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        pending += chunk
        while pending:
            code = pending[0]
            if code == 0x0A:
                pending = pending[1:]
                os.write(master, bytes([0x0B]) + struct.pack("<HBBB", 0x1234, 4, 2, 5) + bytes(range(16)))
                continue
            if code != 0x2A:
                pending = pending[1:]
                continue
            if len(pending) < 13:
                break
            force = struct.unpack("<3f", pending[1:13])
            pending = pending[13:]
            log.write("%r %r %r %r\n" % (time.monotonic(), *force))
            os.write(master, b"\x2b" + struct.pack("<6f", *state))
""")

POSITION = (0.01, -0.02, 0.15)


class Responder:
    def __init__(self, tmp_path):
        self.log_path = str(tmp_path / f"forces-{id(self)}.log")
        args = [sys.executable, "-c", RESPONDER, self.log_path] + [repr(x) for x in (*POSITION, 0.0, 0.0, 0.0)]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE)
        self.path = self.process.stdout.readline().decode().strip()
        assert self.path.startswith("/dev/"), self.path

    def forces(self):
        with open(self.log_path) as f:
            lines = f.read().splitlines()
        return [tuple(float(x) for x in line.split()) for line in lines if len(line.split()) == 4]

    def wait_force(self, condition, what, since=0.0):
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            seen = [f for f in self.forces() if f[0] >= since]
            if seen and condition(seen[-1][1:]):
                return seen
            time.sleep(0.01)
        raise AssertionError(f"device never saw {what}; last forces {self.forces()[-3:]}")

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


def near(a, b, tolerance=1e-3):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def free_endpoint():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def wait_until(condition, what, bound=WAIT):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.01)
    raise AssertionError(f"timed out waiting for {what}")


@pytest.fixture
def responder(tmp_path):
    r = Responder(tmp_path)
    yield r
    r.stop()


def claim(session, keys, client):
    """Asks for control as any Zenoh process can: the server's answer as a dict."""
    request = wire.encode({"op": "claim", "c": client})
    for reply in session.get(keys.claim, payload=request, timeout=WAIT):
        if reply.ok is not None:
            return wire.decode(reply.ok.payload.to_bytes())
    return None


class RawController:
    """A controller built from the documented messages alone: claims, then seals what it sends."""

    def __init__(self, session, keys, client="raw0123"):
        self.session, self.keys, self.client, self.n = session, keys, client, 0
        self.token = session.liveliness().declare_token(keys.control_token(client))
        answer = claim(session, keys, client)
        assert answer and answer["granted"], answer
        self.secret = answer["secret"]

    def send(self, op, **fields):
        self.n += 1
        self.session.put(self.keys.effects, wire.seal(dict(fields, op=op, c=self.client, n=self.n), self.secret))

    def close(self):
        self.token.undeclare()


class Served:
    """An ArmServer in this process over a responder, listening on a free loopback port."""

    def __init__(self, path, name="arm1", connect=(), **options):
        self.endpoint = free_endpoint()
        self.stream = api.SerialStream(path)
        self.arm = api.Vorlan3(self.stream, 1.0)
        self.loop = api.ServoLoop(self.arm, rate_hz=500.0, ramp_s=RAMP)
        self.loop.start()
        options.setdefault("lease", LEASE)
        options.setdefault("ramp", RAMP)
        config = velkor_remote.zenoh_config(listen=[self.endpoint], connect=list(connect))
        options.setdefault("rate_hz", 500.0)
        self.server = velkor_remote.ArmServer(self.loop, name, config, identity={"port": path}, **options)
        self.server._log.limit, self.server._log.every = 10_000, 0.0
        self.server.start()

    def session(self):
        return zenoh.open(velkor_remote.zenoh_config(connect=[self.endpoint]))

    def close(self):
        self.server.close()
        self.loop.stop()


@pytest.fixture
def served(responder):
    started = []

    def start(**options):
        s = Served(responder.path, **options)
        started.append(s)
        return s

    yield start
    for s in started:
        s.close()


def serve_process(endpoint, port=None, name="arm1", *extra):
    args = [sys.executable, "-m", "velkor_cli", "serve", "--name", name, "--listen", endpoint, "--rate", "500",
            "--lease", str(LEASE), "--ramp", str(RAMP), *extra]
    if port:
        args.insert(4, port)
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    ready, _, _ = select.select([process.stdout], [], [], WAIT)
    line = process.stdout.readline().decode() if ready else ""
    if "serving" not in line:
        process.kill()
        raise AssertionError(f"velkor serve did not start: {line!r} {process.stderr.read().decode()[-2000:]}")
    return process


def end(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(WAIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    out = process.stderr.read().decode() if process.stderr else ""
    for pipe in (process.stdout, process.stderr):
        if pipe:
            pipe.close()
    return out


def test_a_remote_client_drives_the_device_like_a_local_servo_loop(served, responder):
    s = served()
    loop = velkor_remote.connect("arm1", [s.endpoint])
    try:
        assert loop.controlling
        state = loop.state()
        assert near(state["position"], POSITION)
        assert {"position", "velocity", "force", "cycle", "time", "holding"} <= set(state)
        push = api.ConstantForce([0.0, 0.0, 2.0])
        handle = loop.add(push)
        responder.wait_force(lambda f: near(f, (0, 0, 2.0)), "the added force")
        loop.update(handle, force=[1.0, 0.0, 0.0])
        responder.wait_force(lambda f: near(f, (1.0, 0, 0)), "the updated force")
        push.force = [0.0, -1.5, 0.0]  # a change on the live object is sent too
        responder.wait_force(lambda f: near(f, (0, -1.5, 0)), "the change made on the effect object")
        spring = loop.add(api.Spring([0.01, -0.02, 0.16], 100.0))  # 1 N up from the reported position
        responder.wait_force(lambda f: near(f, (0, -1.5, 1.0)), "the sum of two effects")
        wait_until(lambda: near(loop.state()["force"], (0, -1.5, 1.0)), "the state to report the force sent")
        loop.remove(handle)
        responder.wait_force(lambda f: near(f, (0, 0, 1.0)), "the spring alone")
        loop.clear()
        responder.wait_force(lambda f: near(f, (0, 0, 0)), "zero force after clear")
        with pytest.raises(KeyError):
            loop.remove(spring)
        stats = loop.stats()
        assert stats["cycles"] > 0 and "period_p99_us" in stats
        assert stats["remote"]["states_received"] > 0 and stats["server"]["states_published"] > 0
        info = loop.info()
        assert info["identity"]["port"] == responder.path and info["controller"] == loop.client_id
        assert info["limits"]["lease"] == LEASE and loop.max_force == 5.0
    finally:
        loop.close()


def test_bad_client_input_is_refused_before_anything_is_sent(served):
    s = served()
    with pytest.raises(ValueError):
        velkor_remote.connect("arm/1", [s.endpoint])
    with pytest.raises(ValueError):
        velkor_remote.connect("arm1", [s.endpoint], timeout=0)
    loop = velkor_remote.connect("arm1", [s.endpoint])
    try:
        with pytest.raises(TypeError):
            loop.add("a spring")
        handle = loop.add(api.Spring([0, 0, 0], 10.0))
        with pytest.raises(ValueError):
            loop.update(handle, stiffness=-1.0)
        with pytest.raises(KeyError):
            loop.update(handle + 100, stiffness=1.0)
        got = []
        loop.on_state(got.append, rate_hz=50.0)
        wait_until(lambda: len(got) >= 3, "three on_state calls")
        loop.on_state(None)
        with pytest.raises(ValueError):
            loop.on_state(print, rate_hz=0)
        assert s.server.counters()["rejected_messages"] == 0
    finally:
        loop.close()


def test_one_controller_at_a_time_and_readers_only_read(served):
    s = served()
    first = velkor_remote.connect("arm1", [s.endpoint])
    reader = velkor_remote.connect("arm1", [s.endpoint], control=False)
    try:
        with pytest.raises(velkor_remote.RemoteControlError, match="has it"):
            velkor_remote.connect("arm1", [s.endpoint], timeout=1.0)
        assert not reader.controlling and reader.state()["controlled"]
        with pytest.raises(velkor_remote.RemoteControlError):
            reader.add(api.Damper(1.0))
    finally:
        reader.close()
        first.close()
    second = velkor_remote.connect("arm1", [s.endpoint])
    try:
        assert second.controlling
    finally:
        second.close()


KILLED_CLIENT = textwrap.dedent("""
    import sys, time
    import VelkorHardwareAPI as api, velkor_remote
    loop = velkor_remote.connect("arm1", [sys.argv[1]])
    loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
    print("added", flush=True)
    time.sleep(60)
""")


def test_a_killed_clients_effects_ramp_out_within_its_lease(tmp_path, responder):
    endpoint = free_endpoint()
    server = serve_process(endpoint, responder.path)
    client = subprocess.Popen([sys.executable, "-c", KILLED_CLIENT, endpoint], stdout=subprocess.PIPE)
    try:
        ready, _, _ = select.select([client.stdout], [], [], WAIT)
        assert ready and client.stdout.readline() == b"added\n"
        responder.wait_force(lambda f: near(f, (0, 0, 2.0)), "the client's force")
        killed = time.monotonic()
        client.kill()
        forces = responder.wait_force(lambda f: f == (0.0, 0.0, 0.0), "zero force after the kill", since=killed)
        gone = next(t for t, *f in forces if f == [0.0, 0.0, 0.0])
        # Liveliness ends with the connection, so the ramp starts at once, not a lease later.
        assert gone - killed < LEASE + RAMP + 2.0
        z = [f[3] for f in forces]
        assert [x for x in z if 0.05 < x < 1.95], "the force stepped to zero instead of ramping"
        assert all(later <= earlier + 1e-6 for earlier, later in zip(z, z[1:])), "the force rose while ramping out"
        time.sleep(0.2)
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces()[-20:])
    finally:
        client.kill()
        client.wait()
        client.stdout.close()
        log = end(server)
    assert "its liveliness ended" in log


def test_a_silent_controller_loses_its_effects_after_its_lease(served, responder):
    s = served()
    session = s.session()
    try:
        raw = RawController(session, s.server.keys, "silent0123")
        assert s.server.controller == "silent0123"
        since = time.monotonic()
        raw.send("add", h=1, k="ConstantForce", p={"force": [0.0, 1.0, 0.0]})
        responder.wait_force(lambda f: near(f, (0, 1.0, 0)), "the raw client's force")
        forces = responder.wait_force(lambda f: f == (0.0, 0.0, 0.0), "the force ramped out", since=since)
        assert forces[-1][0] - since >= LEASE * 0.9, "the effects went before the lease ran out"
        assert s.server.controller is None  # its token lives on, but it must claim afresh
        raw.send("add", h=2, k="ConstantForce", p={"force": [0.0, 2.0, 0.0]})  # its old secret is void
        time.sleep(0.3)
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces() if f[0] > forces[-1][0])
        raw.close()
    finally:
        session.close()


def malformed_cases(seal):
    """(payload, reason in the log): sealed ones are sealed with the controller's own secret."""
    return [
        (b"\xff\x00garbage", "not CBOR"),
        (cbor2.dumps([1, 2, 3]), "CBOR map"),
        (cbor2.dumps({"v": 99, "op": "add"}), "version 99"),
        (wire.encode({"op": "add", "c": "C", "n": 1, "h": 1, "k": "ConstantForce", "p": {"force": [0, 0, 3]}}),
         "not a sealed message"),
        (wire.seal({"op": "add", "c": "C", "n": 1, "h": 1, "k": "ConstantForce", "p": {"force": [0, 0, 3]}},
                   b"\x00" * wire.SECRET_SIZE), "not sealed by the controller's secret"),
        (seal({"op": "explode", "c": "C"}), "unknown op"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "Vortex", "p": {}}), "unknown effect kind"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "ConstantForce", "p": {"force": [0, 0, float("nan")]}}),
         "finite"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "ConstantForce", "p": {"force": [0, 0]}}), "3 numbers"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "Spring", "p": {"anchor": [0, 0, 0]}}), "needs stiffness"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "Sphere", "p": {"center": [0, 0, 0], "radius": 0.1,
                                                                 "stiffness": 9, "inside": 1}}), "true or false"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "Damper", "p": {"damping": 1, "evil": 2}}), "no parameter"),
        (seal({"op": "add", "c": "C", "h": -4, "k": "Damper", "p": {"damping": 1}}), "handle"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "Damper", "p": {"damping": -5.0}}), "not negative"),
        (seal({"op": "add", "c": "C", "h": 1, "k": "ConstantForce", "p": {"force": [9, 9, 9]},
               "pad": "x" * (wire.MAX_MESSAGE + 10)}), "over the limit"),
        (cbor2.dumps(cbor2.CBORTag(55799, {"v": 2})), "tag"),
        (cbor2.dumps({"v": 2, "op": "clear", "c": "C", "x": cbor2.CBORTag(1, 0)}), "tag 1"),
        (b"\x81" * 5000 + b"\x00", "nested deeper"),
        (seal({"op": "clear", "c": "C"}) + b"\x00", "after the message"),
        (b"\xbf\xff", "indefinite"),
        (seal({"op": "add", "c": "C", "n": 0, "h": 1, "k": "Damper", "p": {"damping": 1}}), "sequence number"),
        (seal({"op": "add", "c": "someone-else", "h": 1, "k": "ConstantForce", "p": {"force": [0, 0, 3]}}),
         "does not have control"),
        (seal({"op": "update", "c": "C", "h": 77, "k": "Damper", "p": {"damping": 1.0}}), "no effect with handle"),
    ]


def test_malformed_and_oversized_messages_are_rejected_with_a_reason_and_no_force(served, responder, caplog):
    s = served(accept_wrench=True, lease=60.0)  # leases are another test's business
    session = s.session()
    caplog.set_level(logging.WARNING, logger="velkor_remote.server")
    try:
        raw = RawController(session, s.server.keys, "C")

        def seal(message):
            raw.n += 1
            return wire.seal(dict({"n": raw.n}, **message), raw.secret)

        cases = malformed_cases(seal) + [(b"\x00\x01\x00\x00short", "force command")]
        for payload, reason in cases:
            if (not payload.startswith(wire.seal({}, raw.secret)[:6]) or reason == "after the message") and (
                    reason not in ("force command", "over the limit")):
                reason = "not a sealed message"  # junk is refused by its layout, never walked
            before = s.server.counters()["rejected_messages"]
            key = s.server.keys.force_command if reason == "force command" else s.server.keys.effects
            session.put(key, payload)
            wait_until(lambda: s.server.counters()["rejected_messages"] > before, f"the rejection of {reason!r}")
            assert any(reason in r.getMessage() for r in caplog.records), (reason, caplog.text[-500:])
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces())
        assert s.loop.effects == {} and s.loop.running
        seq = velkor_remote.connect("arm1", [s.endpoint], control=False)
        try:
            assert seq.state()["running"]  # still serving
        finally:
            seq.close()
        raw.close()
    finally:
        session.close()


def test_ros2_messages_decode_with_rosbags_and_a_wrench_sets_a_force(served, responder):
    typesys = pytest.importorskip("rosbags.typesys")
    store = typesys.get_typestore(typesys.Stores.ROS2_HUMBLE)
    s = served(accept_wrench=True)
    session = s.session()
    got = {"joint": [], "pose": []}
    subs = [session.declare_subscriber(s.server.keys.joint_states, lambda x: got["joint"].append(x.payload.to_bytes())),
            session.declare_subscriber(s.server.keys.pose, lambda x: got["pose"].append(x.payload.to_bytes()))]
    try:
        assert s.server.keys.joint_states == "velkor/arm1/joint_states"
        wait_until(lambda: got["joint"] and got["pose"], "ROS 2 messages")
        joint = store.deserialize_cdr(got["joint"][-1], "sensor_msgs/msg/JointState")
        assert list(joint.name) == ["arm1_x", "arm1_y", "arm1_z"] and joint.header.frame_id == "arm1_base"
        assert near(joint.position, POSITION) and near(joint.effort, (0, 0, 0))
        assert abs(joint.header.stamp.sec - time.time()) < 60
        pose = store.deserialize_cdr(got["pose"][-1], "geometry_msgs/msg/PoseStamped")
        assert near((pose.pose.position.x, pose.pose.position.y, pose.pose.position.z), POSITION)
        assert pose.pose.orientation.w == 1.0
        T = store.types
        wrench = T["geometry_msgs/msg/WrenchStamped"](
            header=T["std_msgs/msg/Header"](stamp=T["builtin_interfaces/msg/Time"](sec=1, nanosec=0), frame_id="arm1_base"),
            wrench=T["geometry_msgs/msg/Wrench"](force=T["geometry_msgs/msg/Vector3"](x=0.5, y=0.0, z=-1.0),
                                                 torque=T["geometry_msgs/msg/Vector3"](x=0.0, y=0.0, z=0.0)))
        data = bytes(store.serialize_cdr(wrench, "geometry_msgs/msg/WrenchStamped"))
        assert ros.parse_wrench_stamped(data) == ("arm1_base", [0.5, 0.0, -1.0], [0.0, 0.0, 0.0])
        session.put(s.server.keys.force_command, data)
        responder.wait_force(lambda f: near(f, (0.5, 0, -1.0)), "the commanded force")
        since = time.monotonic()
        responder.wait_force(lambda f: f == (0.0, 0.0, 0.0), "the force ramped out when commands stop", since=since)
    finally:
        for sub in subs:
            sub.undeclare()
        session.close()


def test_a_restarted_server_leaves_the_client_released_until_it_reacquires(caplog, responder):
    endpoint = free_endpoint()
    server = serve_process(endpoint, responder.path)
    caplog.set_level(logging.WARNING, logger="velkor_remote.client")
    loop = velkor_remote.connect("arm1", [endpoint], timeout=WAIT)
    try:
        loop.add(api.ConstantForce([0.0, 0.0, 1.25]))
        responder.wait_force(lambda f: near(f, (0, 0, 1.25)), "the client's force")
        end(server)
        wait_until(lambda: not loop.connected, "the client to notice the server left")
        server = serve_process(endpoint, responder.path)
        wait_until(lambda: loop.reconnects == 1 and loop.connected, "the reconnection")
        back = time.monotonic()
        time.sleep(1.0)  # ample time for a client that pushes by itself
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces() if f[0] >= back)
        assert not loop.controlling and "lost control" in loop.error and "reacquire" in loop.error
        assert any(e["event"] == "released" for e in loop.events())
        with pytest.raises(velkor_remote.RemoteControlError, match="reacquire"):
            loop.add(api.Damper(1.0))
        loop.reacquire()
        assert loop.controlling and loop.error is None
        responder.wait_force(lambda f: near(f, (0, 0, 1.25)), "the effect again after reacquire()", since=back)
        assert "reconnected" in caplog.text and "lost the arm's server" in caplog.text
    finally:
        loop.close()
        end(server)


def test_session_settings_never_scout_unless_asked(tmp_path):
    def scouting(config):
        return [config.get_json(k) for k in ("scouting/multicast/enabled", "scouting/gossip/enabled")]

    assert scouting(velkor_remote.zenoh_config()) == ["false", "false"]
    path = tmp_path / "zenoh.json5"
    path.write_text('{ mode: "peer", scouting: { multicast: { enabled: true } } }')
    assert scouting(velkor_remote.zenoh_config(config_file=str(path))) == ["false", "false"]
    assert scouting(velkor_remote.zenoh_config(config_file=str(path), scout=True))[0] == "true"
    # States must not be dropped because the sending thread missed a few ms on a busy machine: the
    # real-time queue is made deep, with or without a config file.
    queue = "transport/link/tx/queue/size/real_time"
    assert velkor_remote.zenoh_config().get_json(queue) == "16"
    assert velkor_remote.zenoh_config(config_file=str(path)).get_json(queue) == "16"
    with pytest.raises(ValueError):
        velkor_remote.zenoh_config(mode="satellite")
    with pytest.raises(ValueError):
        velkor_remote.zenoh_config(listen=["127.0.0.1"])
    usage = subprocess.run([sys.executable, "-m", "velkor_cli", "serve", "--name", "a", "--rate", "5000"],
                           capture_output=True, timeout=WAIT)
    assert usage.returncode == 2 and b"rate" in usage.stderr


def test_the_state_layout_is_fixed_and_refuses_other_sizes_and_versions():
    data = wire.pack_state(wire.FLAG_HOLDING, 7, 3, 42, 1.5, 100.0, (1, 2, 3), (4, 5, 6), (7, 8, 9))
    assert len(data) == 76 and data[:2] == b"\x02\x01"
    assert struct.unpack_from("<3f", data, 40) == (1.0, 2.0, 3.0)
    state = wire.unpack_state(data)
    assert state.holding and state.cycle == 42 and state.force == (7.0, 8.0, 9.0)
    for bad in (data[:-1], data + b"\x00", b"\x01" + data[1:]):
        with pytest.raises(wire.WireError):
            wire.unpack_state(bad)


def test_random_bytes_only_ever_give_a_wire_error():
    import random

    rng = random.Random(21)
    seeds = [wire.encode({"op": "add", "c": "C", "h": 1, "k": "Spring", "p": {"anchor": [0, 0, 0], "stiffness": 1}})]
    for _ in range(3000):
        data = bytearray(rng.choice(seeds)) if rng.random() < 0.7 else bytearray(rng.randbytes(rng.randrange(1, 64)))
        for _ in range(rng.randrange(1, 4)):
            if data:
                data[rng.randrange(len(data))] = rng.randrange(256)
        try:
            message = wire.decode(bytes(data))
            wire.check_effect_message(message)
        except wire.WireError:
            pass


# --- attacks from another process on the network, judged at the device

def sample_bytes(samples):
    return [x for x in samples]


@pytest.fixture
def router():
    """A Zenoh router on loopback that the server, the client and an eavesdropper all join: whoever
    shares a router (or sits on the path) sees every message."""
    endpoint = free_endpoint()
    session = zenoh.open(velkor_remote.zenoh_config(mode="router", listen=[endpoint]))
    yield endpoint
    session.close()


def joined(router):
    return zenoh.open(velkor_remote.zenoh_config(mode="client", connect=[router]))


def test_nobody_but_the_controller_changes_a_force(served, responder, router):
    s = served(connect=[router])
    attacker = joined(router)
    seen = {"effects": [], "events": [], "state": []}
    subs = [attacker.declare_subscriber(getattr(s.server.keys, key), lambda x, key=key: seen[key].append(
        x.payload.to_bytes())) for key in seen]
    loop = velkor_remote.connect("arm1", [router], mode="client")
    try:
        handle = loop.add(api.ConstantForce([1.0, 0.0, 0.0]))
        loop.update(handle, force=[0.0, 1.0, 0.0])
        loop.update(handle, force=[0.0, 0.0, -2.0])
        responder.wait_force(lambda f: near(f, (0, 0, -2.0)), "the controller's force")
        wait_until(lambda: len(seen["effects"]) >= 3, "the attacker to capture the controller's messages")
        captured = list(seen["effects"])
        controller = claim(attacker, s.server.keys, "probe")["holder"]
        assert controller == loop.client_id  # the id is public; it is not enough
        since = time.monotonic()
        forged = [
            wire.encode({"op": "add", "c": controller, "n": 10**9, "h": 99, "k": "ConstantForce",
                         "p": {"force": [0, 0, 2.0]}}),
            wire.seal({"op": "update", "c": controller, "n": 10**9, "h": handle, "k": "ConstantForce",
                       "p": {"force": [0, 0, 2.0]}}, os.urandom(wire.SECRET_SIZE)),
            wire.encode({"op": "clear", "c": controller, "n": 10**9}),
            cbor2.dumps({"v": 1, "op": "clear", "c": controller}),
        ] + captured  # replayed: the update to (0, 1, 0) would show
        for payload in forged:
            attacker.put(s.server.keys.effects, payload)
        answer = claim(attacker, s.server.keys, controller)  # claiming under the controller's id
        assert answer["granted"] is False and "secret" not in answer
        wait_until(lambda: s.server.counters()["rejected_messages"] >= len(forged), "every forgery refused")
        time.sleep(0.3)
        after = [f[1:] for f in responder.forces() if f[0] >= since]
        assert after and all(near(f, (0, 0, -2.0)) for f in after), after[-5:]
        assert loop.controlling and loop.rejections == deque_empty()
        info = attacker.get(s.server.keys.info, timeout=WAIT)
        published = seen["effects"] + seen["events"] + seen["state"] + [
            r.ok.payload.to_bytes() for r in info if r.ok is not None]
        assert loop._secret and not any(loop._secret in data for data in published)
    finally:
        for sub in subs:
            sub.undeclare()
        loop.close()
        attacker.close()


def deque_empty():
    from collections import deque
    return deque(maxlen=100)


FROZEN_CLIENT = textwrap.dedent("""
    import sys, time
    import VelkorHardwareAPI as api, velkor_remote
    loop = velkor_remote.connect("arm1", [sys.argv[1]], mode=sys.argv[3])
    loop.add(api.ConstantForce([0.0, 0.0, float(sys.argv[2])]))
    print("added", flush=True)
    time.sleep(60)
""")


def start_client(endpoint, force=2.0, mode="peer"):
    client = subprocess.Popen([sys.executable, "-c", FROZEN_CLIENT, endpoint, str(force), mode],
                              stdout=subprocess.PIPE)
    ready, _, _ = select.select([client.stdout], [], [], WAIT)
    assert ready and client.stdout.readline() == b"added\n"
    return client


def stop_client(client):
    client.kill()
    client.wait()
    client.stdout.close()


def time_to_zero(responder, since):
    forces = responder.wait_force(lambda f: f == (0.0, 0.0, 0.0), "zero force", since=since)
    return next(t for t, *f in forces if f == [0.0, 0.0, 0.0]) - since


def test_replayed_keepalives_do_not_keep_a_frozen_controllers_force_on(served, responder, router):
    s = served(connect=[router])
    attacker = joined(router)
    captured = []
    sub = attacker.declare_subscriber(s.server.keys.effects, lambda x: captured.append(x.payload.to_bytes()))
    client = start_client(router, mode="client")
    try:
        responder.wait_force(lambda f: near(f, (0, 0, 2.0)), "the controller's force")
        wait_until(lambda: len(captured) >= 5, "captured keep-alives")
        client.send_signal(signal.SIGSTOP)
        frozen = time.monotonic()
        for i in range(100):  # 2 s of replayed keep-alives at 50 Hz
            attacker.put(s.server.keys.effects, captured[i % len(captured)])
            time.sleep(0.02)
            if i == 10:
                gone = time_to_zero(responder, frozen)
        assert gone < LEASE + RAMP + 1.0
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces() if f[0] > frozen + gone)
    finally:
        client.send_signal(signal.SIGCONT)
        stop_client(client)
        sub.undeclare()
        attacker.close()


class Proxy:
    """A TCP relay on loopback that can cut every connection and refuse new ones for a while: an outage."""

    def __init__(self, upstream):
        self.upstream = int(upstream.rsplit(":", 1)[1])
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.1)
        self.endpoint = f"tcp/127.0.0.1:{self.listener.getsockname()[1]}"
        self.up = threading.Event()
        self.up.set()
        self.silent = threading.Event()  # set: every byte is read and dropped, nothing is closed
        self.stop = threading.Event()
        self.sockets = []
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.stop.is_set():
            try:
                down, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            if not self.up.is_set():
                down.close()
                continue
            up = socket.create_connection(("127.0.0.1", self.upstream), timeout=WAIT)
            self.sockets += [down, up]
            for a, b in ((down, up), (up, down)):
                t = threading.Thread(target=self._pump, args=(a, b), daemon=True)
                t.start()
                self.threads.append(t)

    def _pump(self, a, b):
        try:
            while not self.stop.is_set():
                ready, _, _ = select.select([a], [], [], 0.1)
                if ready:
                    data = a.recv(65536)
                    if not data:
                        break
                    if not self.silent.is_set():
                        b.sendall(data)
        except OSError:
            pass
        for x in (a, b):
            try:
                x.close()
            except OSError:
                pass

    def cut(self):
        self.up.clear()
        for x in self.sockets:
            try:
                x.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.sockets = []

    def close(self):
        self.stop.set()
        self.cut()
        self.listener.close()
        for t in self.threads:
            t.join(2.0)


def test_control_lapsed_in_an_outage_stays_lapsed_until_reacquired(responder):
    endpoint = free_endpoint()
    server = serve_process(endpoint, responder.path)
    proxy = Proxy(endpoint)
    loop = velkor_remote.connect("arm1", [proxy.endpoint], timeout=WAIT)
    try:
        loop.add(api.ConstantForce([0.0, 0.0, -2.0]))
        responder.wait_force(lambda f: near(f, (0, 0, -2.0)), "the client's force")
        cut = time.monotonic()
        proxy.cut()
        assert time_to_zero(responder, cut) < LEASE + RAMP + 1.0
        time.sleep(1.0)
        proxy.up.set()
        wait_until(lambda: loop.connected, "the link to come back", bound=3 * WAIT)
        back = time.monotonic()
        time.sleep(1.0)  # a client that takes control back by itself would push within this
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces() if f[0] >= back)
        assert not loop.controlling and "lost control" in (loop.error or "")
        assert [e for e in loop.events() if e["event"] == "released"]
        loop.reacquire()
        responder.wait_force(lambda f: near(f, (0, 0, -2.0)), "the force after reacquire()", since=back)
    finally:
        loop.close()
        proxy.close()
        end(server)


def test_a_stalled_subscriber_or_a_stalled_server_never_holds_off_the_ramp(served, responder, tmp_path):
    s = served()
    # A process that subscribes to every key of the arm, then stops reading for good.
    script = tmp_path / "stalled.py"
    script.write_text(textwrap.dedent("""
        import sys, time, zenoh, velkor_remote
        session = zenoh.open(velkor_remote.zenoh_config(connect=[sys.argv[1]], listen_default=()))
        subs = [session.declare_subscriber("velkor/arm1/**", lambda s: None)]
        print("ready", flush=True)
        time.sleep(60)
    """))
    stalled = subprocess.Popen([sys.executable, str(script), s.endpoint], stdout=subprocess.PIPE)
    session = s.session()
    try:
        ready, _, _ = select.select([stalled.stdout], [], [], WAIT)
        assert ready and stalled.stdout.readline() == b"ready\n"
        stalled.send_signal(signal.SIGSTOP)
        for round_ in range(2):
            raw = RawController(session, s.server.keys, f"raw{round_}")
            raw.send("add", h=1, k="ConstantForce", p={"force": [0.0, 0.0, 2.0]})
            responder.wait_force(lambda f: near(f, (0, 0, 2.0)), "the raw controller's force")
            for _ in range(400):  # each one queues a rejection event for the controller
                raw.send("update", h=77, k="Damper", p={"damping": 1.0})
            silent = time.monotonic()
            if round_ == 0:
                assert time_to_zero(responder, silent) < LEASE + RAMP + 1.0
            else:
                # The server's Python stalls: only the loop's own lease can take the force off.
                with s.server._lock:
                    stalled_for = time.monotonic()
                    gone = time_to_zero(responder, silent)
                    assert time.monotonic() - stalled_for < WAIT
                assert gone < LEASE + RAMP + 1.0
            raw.close()
            wait_until(lambda: s.server.controller is None, "control to be free")
            wait_until(lambda: not s.server._fading, "the fade to end")
    finally:
        stalled.send_signal(signal.SIGCONT)
        stalled.kill()
        stalled.wait()
        stalled.stdout.close()
        session.close()


def test_forged_states_and_events_do_not_reach_a_client(served):
    s = served()
    loop = velkor_remote.connect("arm1", [s.endpoint])
    forger = s.session()
    positions = []
    loop.on_state(lambda st: positions.append(st["position"]), rate_hz=1000.0)
    try:
        assert json.loads(velkor_remote.zenoh_config(listen_default=()).get_json("listen/endpoints")) == []
        forged = wire.pack_state(wire.FLAG_CONTROLLED, 0, 2**62, 1, 1.0, time.time(), (9, 9, 9), (0, 0, 0), (0, 0, 0))
        for _ in range(200):
            forger.put(s.server.keys.state, forged)
            forger.put(s.server.keys.events, wire.encode({"event": "released", "c": loop.client_id, "reason": "x"}))
            time.sleep(0.002)
        time.sleep(0.3)
        assert positions and not any(near(p, (9, 9, 9)) for p in positions)
        assert loop.controlling and loop.error is None
        assert loop.client_stats()["states_lost"] < 1000
    finally:
        loop.on_state(None)
        loop.close()
        forger.close()


# --- a secured served arm: TLS with client certificates, users and passwords, access control

def make_certificates(directory):
    """A test CA, and a server and a client certificate it signed, with openssl."""
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.skip("openssl is not installed (scripts/setup.sh --test installs it)")

    def run(*args):
        subprocess.run([openssl, *args], cwd=directory, check=True, capture_output=True, timeout=60)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        run("req", "-x509", *ec, "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "2", "-subj", f"/CN={ca}")
    (directory / "leaf.ext").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    for who, ca in (("server", "ca"), ("client", "ca"), ("stranger", "other-ca")):
        run("req", *ec, "-keyout", f"{who}.key", "-out", f"{who}.csr", "-subj", f"/CN={who}")
        run("x509", "-req", "-in", f"{who}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key", "-CAcreateserial",
            "-out", f"{who}.pem", "-days", "2", "-extfile", "leaf.ext")
    return {name: str(directory / name) for name in os.listdir(directory)}


def write_config(path, settings):
    path.write_text(json.dumps(settings))
    return str(path)


def tls(files, who=None, ca="ca.pem", server=False):
    settings = {"root_ca_certificate": files[ca], "enable_mtls": True}
    if server:
        settings.update(listen_private_key=files["server.key"], listen_certificate=files["server.pem"])
    elif who:
        settings.update(connect_private_key=files[f"{who}.key"], connect_certificate=files[f"{who}.pem"])
    return {"transport": {"link": {"tls": settings}}}


def refused_client(endpoint, config_file, **options):
    with pytest.raises(velkor_remote.RemoteError) as e:
        velkor_remote.connect("arm1", [endpoint], config_file=config_file, timeout=2.0, **options)
    return str(e.value)


def test_tls_with_client_certificates_lets_in_only_certified_clients(tmp_path, responder):
    files = make_certificates(tmp_path)
    port = free_endpoint().rsplit(":", 1)[1]
    endpoint = f"tls/127.0.0.1:{port}"
    server = serve_process(endpoint, responder.path, "arm1", "--config",
                           write_config(tmp_path / "server.json5", tls(files, server=True)))
    try:
        for who, ca in ((None, "ca.pem"), ("stranger", "ca.pem"), ("client", "other-ca.pem")):
            text = refused_client(endpoint, write_config(tmp_path / f"c-{who}-{ca}.json5", tls(files, who, ca)))
            assert "refused this client" in text and "Securing a served arm" in text, text
        loop = velkor_remote.connect("arm1", [endpoint], timeout=WAIT,
                                     config_file=write_config(tmp_path / "client.json5", tls(files, "client")))
        try:
            loop.add(api.ConstantForce([0.0, 1.5, 0.0]))
            responder.wait_force(lambda f: near(f, (0, 1.5, 0)), "the certified client's force")
        finally:
            loop.close()
        assert all(abs(f[2]) <= 1.5 + 1e-6 and f[1] == f[3] == 0.0 for f in responder.forces())
    finally:
        log = end(server)
    assert "without TLS" not in log


ACL = {
    "enabled": True,
    "default_permission": "deny",
    "rules": [
        {"id": "drive", "permission": "allow", "flows": ["ingress", "egress"],
         "messages": ["put", "delete", "declare_subscriber", "query", "reply", "declare_queryable",
                      "liveliness_token", "declare_liveliness_subscriber", "liveliness_query"],
         "key_exprs": ["velkor/arm1/**"]},
        {"id": "read", "permission": "allow", "flows": ["ingress", "egress"],
         "messages": ["declare_subscriber", "declare_liveliness_subscriber", "liveliness_query", "liveliness_token"],
         "key_exprs": ["velkor/arm1/**"]},
        {"id": "read-out", "permission": "allow", "flows": ["egress"],
         "messages": ["put", "reply", "declare_queryable"],
         "key_exprs": ["velkor/arm1/state", "velkor/arm1/events", "velkor/arm1/info", "velkor/arm1/joint_states",
                       "velkor/arm1/pose"]},
        {"id": "read-info", "permission": "allow", "flows": ["ingress"], "messages": ["query"],
         "key_exprs": ["velkor/arm1/info"]},
    ],
    "subjects": [{"id": "operators", "usernames": ["operator"]}, {"id": "viewers", "usernames": ["viewer"]}],
    "policies": [{"rules": ["drive"], "subjects": ["operators"]},
                 {"rules": ["read", "read-out", "read-info"], "subjects": ["viewers"]}],
}


def user(tmp_path, name, password):
    return write_config(tmp_path / f"user-{name}-{password}.json5",
                        {"transport": {"auth": {"usrpwd": {"user": name, "password": password}}}})


def test_users_passwords_and_access_control_decide_who_reads_and_who_drives(tmp_path, responder):
    (tmp_path / "users.txt").write_text("operator:op-pass\nviewer:view-pass\n")
    settings = {"transport": {"auth": {"usrpwd": {"user": "arm1-server", "password": "server-pass",
                                                  "dictionary_file": str(tmp_path / "users.txt")}}},
                "access_control": ACL}
    endpoint = free_endpoint()
    server = serve_process(endpoint, responder.path, "arm1", "--config",
                           write_config(tmp_path / "server.json5", settings))
    try:
        for name, password in (("operator", "wrong"), ("intruder", "op-pass")):
            text = refused_client(endpoint, user(tmp_path, name, password))
            assert "refused this client" in text, text
        viewer = velkor_remote.connect("arm1", [endpoint], config_file=user(tmp_path, "viewer", "view-pass"),
                                       control=False, timeout=WAIT)
        try:
            assert near(viewer.state()["position"], POSITION)
            with pytest.raises(velkor_remote.RemoteControlError):  # its claim never reaches the server
                velkor_remote.connect("arm1", [endpoint], config_file=user(tmp_path, "viewer", "view-pass"),
                                      timeout=1.5)
            operator = velkor_remote.connect("arm1", [endpoint], config_file=user(tmp_path, "operator", "op-pass"),
                                             timeout=WAIT)
            try:
                operator.add(api.ConstantForce([0.0, 0.0, 1.0]))
                responder.wait_force(lambda f: near(f, (0, 0, 1.0)), "the operator's force")
                wait_until(lambda: viewer.state()["controlled"], "the viewer to see the arm controlled")
            finally:
                operator.close()
        finally:
            viewer.close()
        assert all(f[1] == f[2] == 0.0 and 0.0 <= f[3] <= 1.0 + 1e-6 for f in responder.forces())
    finally:
        log = end(server)
    assert "without TLS" not in log


def test_serving_beyond_loopback_without_security_is_warned_about(tmp_path):
    from velkor_remote.serve import unsecured_endpoints

    config = velkor_remote.zenoh_config
    assert unsecured_endpoints(config(listen=["tcp/0.0.0.0:7447", "tcp/127.0.0.1:7448", "tls/0.0.0.0:7449",
                                              "tcp/[::1]:7450", "tcp/192.168.1.4:7451"])) == [
        "tcp/0.0.0.0:7447", "tcp/192.168.1.4:7451"]
    assert unsecured_endpoints(config(listen_default=())) == []
    assert unsecured_endpoints(config()) == ["tcp/[::]:0"]  # zenoh's own default listens everywhere
    (tmp_path / "users.txt").write_text("a:b\n")
    secured = write_config(tmp_path / "auth.json5", {"transport": {"auth": {"usrpwd": {
        "user": "s", "password": "p", "dictionary_file": str(tmp_path / "users.txt")}}}})
    assert unsecured_endpoints(config(listen=["tcp/0.0.0.0:7447"], config_file=secured)) == []


# --- ROS force commands, limits, names, endpoints

def wrench_bytes(force, frame="arm1_base"):
    return ros.wrench_stamped(frame, force, [0.0, 0.0, 0.0], 1.0)


def test_ros_force_commands_only_without_a_controller_in_the_base_frame(served, responder, caplog):
    s = served(accept_wrench=True)
    s.server._log.every, s.server._log.limit = 1.0, 10
    caplog.set_level(logging.WARNING, logger="velkor_remote.server")
    session = s.session()
    key = s.server.keys.force_command
    try:
        loop = velkor_remote.connect("arm1", [s.endpoint])
        try:
            loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
            responder.wait_force(lambda f: near(f, (0, 0, 1.0)), "the controller's force")
            since = time.monotonic()
            for _ in range(20):
                session.put(key, wrench_bytes([2.0, 0.0, 0.0]))
                time.sleep(0.01)
            time.sleep(0.3)
            assert all(near(f[1:], (0, 0, 1.0)) for f in responder.forces() if f[0] >= since)
        finally:
            loop.close()
        responder.wait_force(lambda f: f == (0.0, 0.0, 0.0), "zero after the controller left")
        since = time.monotonic()
        session.put(key, wrench_bytes([0.0, 0.0, 0.0], frame="tool0"))
        session.put(key, wrench_bytes([3.0, 0.0, 0.0], frame="tool0"))
        time.sleep(0.3)
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces() if f[0] >= since)
        session.put(key, wrench_bytes([2.0, 0.0, 0.0]))
        responder.wait_force(lambda f: near(f, (2.0, 0, 0)), "the commanded force")
        session.put(key, wrench_bytes([2.0, 0.0, 0.0]))
        answer = claim(session, s.server.keys, "probe")  # ROS controls now
        assert answer["granted"] is False and "ROS" in answer["holder"], answer
        last_good = time.monotonic()
        caplog.clear()
        while time.monotonic() - last_good < 1.5:  # refused commands must not keep the 2 N on
            session.put(key, wrench_bytes([1e39, 0.0, 0.0]))
            time.sleep(0.01)
        assert time_to_zero(responder, last_good) < LEASE + RAMP + 1.0
        refusals = [r for r in caplog.records if "rejected" in r.getMessage()]
        assert 1 <= len(refusals) <= 4 and "Traceback" not in caplog.text, caplog.text[-1000:]
    finally:
        session.close()


def test_effects_per_controller_are_bounded_and_many_fade_as_fast_as_one(served, responder):
    s = served()
    session = s.session()
    try:
        loop = velkor_remote.connect("arm1", [s.endpoint])
        try:
            for _ in range(wire.MAX_EFFECTS):
                loop.add(api.Damper(0.0))
            with pytest.raises(velkor_remote.RemoteError, match="at most"):
                loop.add(api.Damper(0.0))
        finally:
            loop.close()
        wait_until(lambda: s.server.controller is None and not s.loop.effects, "the effects to go")
        gone = {}
        for count in (1, wire.MAX_EFFECTS + 5):
            raw = RawController(session, s.server.keys, f"many{count}")
            for h in range(1, count + 1):
                raw.send("add", h=h, k="ConstantForce", p={"force": [0.0, 0.0, 2.0 / count]})
            expected = 2.0 * min(count, wire.MAX_EFFECTS) / count
            responder.wait_force(lambda f: near(f, (0, 0, expected), 1e-2), f"{count} effects' force")
            assert len(s.loop.effects) == min(count, wire.MAX_EFFECTS)
            silent = time.monotonic()
            gone[count] = time_to_zero(responder, silent)
            raw.close()
            wait_until(lambda: s.server.controller is None and not s.loop.effects, "the effects to go")
        assert all(t < LEASE + RAMP + 1.0 for t in gone.values()), gone
    finally:
        session.close()


def test_a_second_server_of_the_same_name_refuses_to_start(responder):
    first_endpoint, second_endpoint = free_endpoint(), free_endpoint()
    first = serve_process(first_endpoint, responder.path)
    try:
        second = subprocess.run([sys.executable, "-m", "velkor_cli", "serve", "--name", "arm1", "--listen",
                                 second_endpoint, "--connect", first_endpoint], capture_output=True, timeout=3 * WAIT)
        assert second.returncode != 0 and b"served already" in second.stderr, second.stderr[-2000:]
        assert b"Traceback" not in second.stderr
    finally:
        end(first)


def test_a_busy_endpoint_is_one_line_naming_it():
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        endpoint = f"tcp/127.0.0.1:{busy.getsockname()[1]}"
        result = subprocess.run([sys.executable, "-m", "velkor_cli", "serve", "--name", "arm1", "--listen", endpoint],
                                capture_output=True, timeout=3 * WAIT)
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode != 0 and "Traceback" not in result.stderr.decode()
    assert any(endpoint in line and "--listen" in line for line in lines), lines


def test_ros_topics_stay_at_most_at_their_rate_and_a_normal_close_is_no_warning(served, caplog):
    s = served(rate_hz=250.0)  # 2.5 states per ROS message: not rounded down to 2 (125 Hz)
    caplog.set_level(logging.INFO)
    session = s.session()
    got = []
    sub = session.declare_subscriber(s.server.keys.joint_states, lambda x: got.append(time.monotonic()))
    try:
        wait_until(lambda: len(got) >= 10, "ROS messages")
        time.sleep(2.0)
        window = [t for t in got if t >= got[-1] - 1.5]
        assert len(window) <= 1.5 * 100 * 1.1, len(window)
        loop = velkor_remote.connect("arm1", [s.endpoint])
        loop.close()
        wait_until(lambda: s.server.controller is None, "control to be given up")
        assert not [r for r in caplog.records if r.levelno >= logging.WARNING and "lost control" in r.getMessage()]
    finally:
        sub.undeclare()
        session.close()


FLOODER = textwrap.dedent(r"""
    import sys, threading, time, cbor2, zenoh, velkor_remote
    router, key, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    session = zenoh.open(velkor_remote.zenoh_config(mode="client", connect=[router]))
    publisher = session.declare_publisher(key)
    junk = [cbor2.dumps({"v": 2, "b": cbor2.dumps({"op": "keepalive", "c": "nobody", "n": 1}), "m": bytes(16)}),
            cbor2.dumps(list(range(12000))),  # about 64 KiB of items to walk
            b"\xa3" + bytes(65000)]
    def flood(data):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            # Thousands of small ones a second (far over the rate budget); hundreds of big ones.
            for _ in range(20 if len(data) < 1000 else 1):
                publisher.put(data)
            time.sleep(0.002)
    threads = [threading.Thread(target=flood, args=(data,)) for data in junk]
    [t.start() for t in threads]
    [t.join() for t in threads]
    print("done", flush=True)
    session.close()
""")


def test_a_junk_flood_from_any_process_never_ends_the_controllers_control(served, responder, router):
    s = served(connect=[router])
    loop = velkor_remote.connect("arm1", [router], mode="client")
    attacker = joined(router)
    flooder = None
    try:
        loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
        responder.wait_force(lambda f: near(f, (0, 0, 1.0)), "the controller's force")
        since = time.monotonic()
        flooder = subprocess.Popen([sys.executable, "-c", FLOODER, router, s.server.keys.effects, "3"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = flooder.communicate(timeout=60)
        assert b"done" in out, err.decode()[-2000:]
        counters = s.server.counters()
        assert counters["rejected_messages"] + counters["throttled_messages"] > 1000  # the flood arrived
        assert s.server.controller == loop.client_id and loop.error is None and loop.controlling
        assert claim(attacker, s.server.keys, "evil")["granted"] is False
        during = [f[1:] for f in responder.forces() if f[0] >= since]
        assert during and all(near(f, (0, 0, 1.0)) for f in during), [f for f in during if not near(f, (0, 0, 1.0))][:5]
    finally:
        if flooder is not None and flooder.poll() is None:
            flooder.kill()
            flooder.communicate()
        loop.close()
        attacker.close()


@pytest.mark.parametrize("data", [
    b"", b"\xa3", b"\xa3\x61v\x02\x61b", b"\xa3\x61v\x02\x61b\x5a\xff\xff\xff\xff",
    bytes(70000), cbor2.dumps(list(range(12000))),
    cbor2.dumps({"b": b"x", "v": 2, "m": bytes(16)}),  # not seal()'s layout
    cbor2.dumps({"v": 1, "b": b"x", "m": bytes(16)}),
    cbor2.dumps({"v": 2, "b": b"x", "m": bytes(15)}),
    cbor2.dumps({"v": 2, "b": b"x", "m": bytes(16)}) + b"\x00",
])
def test_a_seal_is_read_in_its_one_layout_and_anything_else_refused(data):
    secret = os.urandom(wire.SECRET_SIZE)
    with pytest.raises(wire.WireError):
        wire.open_sealed(data, secret)
    message = {"v": wire.VERSION, "op": "keepalive", "c": "me", "n": 7}
    for body in (message, dict(message, pad="x" * 30000)):
        assert wire.open_sealed(wire.seal(body, secret), secret) == body
        with pytest.raises(wire.NotSealedError):
            wire.open_sealed(wire.seal(body, secret), os.urandom(wire.SECRET_SIZE))


def test_a_silent_network_cut_is_told_by_the_client_within_about_its_lease(responder):
    endpoint = free_endpoint()
    server = serve_process(endpoint, responder.path)
    proxy = Proxy(endpoint)
    loop = velkor_remote.connect("arm1", [proxy.endpoint], timeout=WAIT)
    try:
        loop.add(api.ConstantForce([0.0, 0.0, -2.0]))
        responder.wait_force(lambda f: near(f, (0, 0, -2.0)), "the client's force")
        cut = time.monotonic()
        proxy.silent.set()  # a black hole: no reset, so Zenoh itself notices only after its own lease
        assert time_to_zero(responder, cut) < LEASE + RAMP + 1.0
        wait_until(lambda: loop.error, "the client to say it lost control", bound=3.0)
        told = time.monotonic() - cut
        assert "nothing came from the server" in loop.error and not loop.controlling, loop.error
        assert [e for e in loop.events() if e["event"] == "released"]
        assert loop._server_up and told < 3.0  # told while Zenoh still thinks the link is up
        proxy.silent.clear()
        back = time.monotonic()
        time.sleep(1.0)  # it stays released: nothing is pushed by itself
        assert all(f[1:] == (0.0, 0.0, 0.0) for f in responder.forces() if f[0] >= back)
        with pytest.raises(velkor_remote.RemoteControlError):
            loop.update(1, force=[0.0, 0.0, 1.0])
    finally:
        loop.close()
        proxy.close()
        end(server)

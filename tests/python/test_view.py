"""The scene view: a running loop's scene saved to a Rerun file and read back with Rerun's own
reader (every cycle plotted once, effect geometry as the effects were after each change),
recordings played back, ROS 2 bags read back with rosbags against what drain() gave, and the
served web viewer opened in a headless Chromium."""

import os
import select
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import VelkorHardwareAPI as api
import velkor_sim
import velkor_telemetry as vt

rr = pytest.importorskip("rerun")
from rerun.chunk import RrdReader  # noqa: E402

import velkor_view  # noqa: E402
from velkor_view.kinematics import KinematicModel  # noqa: E402

WAIT = 10.0


@pytest.fixture
def arm():
    with velkor_sim.Simulator("arm", hand=[0.0, 0.0, 1.0]) as sim:
        stream = api.SerialStream(sim.path)
        yield api.Vorlan3(stream)
        stream.close()


def read_rrd(path):
    """{entity path: [record batches]} of the first recording in an .rrd file."""
    out = {}
    for chunk in RrdReader(str(path)).stream().collect().stream():
        out.setdefault(str(chunk.entity_path), []).append(chunk.to_record_batch())
    return out


def column(batches, name):
    """A column over all batches, as Python values, ordered by the cycle timeline when present."""
    rows = []
    for b in batches:
        if name not in b.schema.names:
            continue
        values = b.column(name).to_pylist()
        order = b.column("cycle").to_pylist() if "cycle" in b.schema.names else [None] * len(values)
        rows += [(o, v) for o, v in zip(order, values) if v is not None]
    rows.sort(key=lambda r: -1 if r[0] is None else r[0])
    return rows


@pytest.fixture
def loopback_only(monkeypatch):
    # Rerun's server process sends usage statistics unless it runs under CI: it must talk to
    # nothing but loopback here.
    monkeypatch.setenv("CI", os.environ.get("CI") or "true")


def wait_for(condition, bound=WAIT):
    deadline = time.monotonic() + bound
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


@pytest.mark.parametrize("ip", [(10, -20, 40), (0, -30, 30)])
def test_model_solves_the_pose_its_forward_solution_gave(ip):
    model = KinematicModel()
    pi = 3.141592
    q = [(ip[0] + 90) * pi / 180, (-ip[1] - 180) * pi / 180, (-ip[2] - 180) * pi / 180]
    target = model.forward(q)
    solved = KinematicModel().solve(target)
    assert solved is not None
    links = model.links(solved)
    assert np.allclose(links["tool"][-1], target, atol=1e-5)
    # The chains meet: both end at one point, and each segment keeps its length.
    assert np.allclose(links["inner"][-1], links["outer"][-1], atol=1e-6)
    for chain, lengths in (("inner", (0.14, 0.165)), ("outer", (0.14, 0.165))):
        pts = np.array(links[chain])
        # Within the scale of the base rotation, whose quaternion (0.7071 twice) is not quite a unit one.
        assert np.allclose(np.linalg.norm(np.diff(pts, axis=0), axis=1), lengths, rtol=1e-4)
    assert KinematicModel().solve([5.0, 5.0, 5.0]) is None, "out of reach"


def test_forward_solution_matches_the_known_poses():
    model = KinematicModel()
    pi = 3.141592
    for reported, expected in (((10, -20, 40), (-0.009076, 0.023278, 0.214190)),
                               ((0, -30, 30), (-0.000004, 0.024500, 0.214618)),
                               ((0, 0, 0), (0.000002, 0.024500, -0.118548))):
        q = [(reported[0] + 90) * pi / 180, (-reported[1] - 180) * pi / 180, (-reported[2] - 180) * pi / 180]
        assert np.allclose(model.forward(q), expected, atol=2e-5), reported


def test_saved_scene_has_every_cycle_once_and_effects_as_changed(arm, tmp_path):
    rrd = tmp_path / "scene.rrd"
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    loop = api.ServoLoop(arm, 1000.0)
    plane = loop.add(api.Plane([0.0, 0.0, start[2] + 0.015], [0.0, 0.0, -1.0], 800.0))
    sphere_effect = api.Sphere([start[0], start[1], start[2] - 0.02], 0.02, 800.0)
    sphere = loop.add(sphere_effect)
    box = loop.add(api.Box([0.1, 0.1, 0.1], [0.12, 0.13, 0.14], 500.0))
    vertices = [[0, 0, 0], [0.01, 0, 0], [0, 0.01, 0]]
    mesh_effect = velkor_view.mesh_geometry(api.Mesh(vertices, [[0, 1, 2]], 500.0), vertices, [[0, 1, 2]])
    mesh = loop.add(mesh_effect)
    drained = []
    with loop:
        scene = velkor_view.view(loop, arm, save=rrd, on_records=lambda r, lost: drained.append(r.copy()))
        assert wait_for(lambda: scene.effect_updates >= 4 and scene.cycles > 200)
        sphere_effect.radius = 0.03
        loop.effects[plane].point = [0.0, 0.0, start[2] + 0.05]
        loop.remove(box)
        moved = np.eye(4)
        moved[:3, 3] = [0.2, 0.0, 0.0]
        mesh_effect.transform = moved
        assert wait_for(lambda: scene.effect_updates >= 8)
        time.sleep(0.2)
        summary = scene.stop()
    records = np.concatenate(drained)
    assert summary["lost"] == 0 and summary["cycles"] == len(records) > 200
    assert summary["frames"] > 0
    assert np.array_equal(records["cycle"], np.arange(len(records), dtype=np.uint64)), "contiguous from 0"

    data = read_rrd(rrd)
    for path in ("/world/tool", "/world/force", "/world/arm/links", "/plots/force", "/plots/position", "/plots/timing",
                 f"/world/effects/{plane}/plane", f"/world/effects/{sphere}/sphere", f"/world/effects/{box}/box",
                 f"/world/effects/{mesh}/mesh"):
        assert path in data, path
    # One sample per cycle on each plot, equal to what drain() gave.
    timing = np.stack([records["period_us"], records["exchange_us"], records["compute_us"]], axis=1)
    for path, values in (("/plots/force", records["force"]), ("/plots/position", records["position"]),
                         ("/plots/timing", timing)):
        rows = column(data[path], "Scalars:scalars")
        assert [c for c, _ in rows] == records["cycle"].tolist(), path
        assert np.allclose([v for _, v in rows], values, rtol=1e-6), path
    # The geometry last logged is the effects' after the change.
    radii = column(data[f"/world/effects/{sphere}/sphere"], "Ellipsoids3D:half_sizes")
    assert np.allclose(radii[0][1][0], [0.02] * 3, atol=1e-6) and np.allclose(radii[-1][1][0], [0.03] * 3, atol=1e-6)
    corners = np.array(column(data[f"/world/effects/{plane}/plane"], "Mesh3D:vertex_positions")[-1][1])
    assert np.allclose(corners[:, 2], start[2] + 0.05, atol=1e-6)
    assert np.allclose(corners.mean(axis=0)[:2], [0.0, 0.0], atol=1e-6)
    assert np.ptp(corners[:, 0]) == pytest.approx(velkor_view.PLANE_SIZE, rel=1e-5)
    cleared = column(data[f"/world/effects/{box}"], "Clear:is_recursive")
    assert len(cleared) >= 2, "cleared when drawn and again when removed"
    translations = column(data[f"/world/effects/{mesh}"], "Transform3D:translation")
    assert np.allclose(translations[-1][1], [0.2, 0.0, 0.0])


def test_drain_has_one_consumer(arm, tmp_path):
    loop = api.ServoLoop(arm, 1000.0)
    with loop:
        loop.record(tmp_path / "a.mcap")
        with pytest.raises(RuntimeError, match="recording drains"):
            velkor_view.view(loop, save=tmp_path / "x.rrd")
        loop.stop_recording()
        # The view draining, and the same cycles recorded through it.
        scene = velkor_view.view(loop, save=tmp_path / "b.rrd", record=tmp_path / "b.mcap")
        with pytest.raises(RuntimeError, match="drains the loop itself"):
            scene.feed(np.zeros(0, dtype=api.ServoLoop.telemetry_dtype))
        assert wait_for(lambda: scene.cycles > 100)
        summary = scene.stop()
        # The program draining, and feeding the view what it drained.
        fed = velkor_view.view(loop, save=tmp_path / "c.rrd", drain=False)
        mine = []
        for _ in range(20):
            time.sleep(0.02)
            records, lost = loop.drain()
            mine.append(records)
            fed.feed(records, lost)
        fed_summary = fed.stop()
    recorded = vt.read(tmp_path / "b.mcap")
    assert summary["recording"]["messages"] == len(recorded) == summary["cycles"]
    assert np.array_equal(recorded["cycle"], np.arange(recorded["cycle"][0], recorded["cycle"][0] + len(recorded)))
    assert fed_summary["cycles"] == sum(len(r) for r in mine) > 0


def test_a_late_view_drops_frames_and_keeps_every_cycle(arm, tmp_path):
    stalls = []

    def stall(records, lost):
        if not stalls:
            stalls.append(len(records))
            time.sleep(0.5)  # as a stalled interpreter or sink would

    loop = api.ServoLoop(arm, 1000.0)
    drained = []
    with loop:
        scene = velkor_view.view(loop, save=tmp_path / "s.rrd", on_records=stall)
        assert wait_for(lambda: scene.frames > 20)
        summary = scene.stop()
        drained.append(loop.drain()[0])
    assert summary["frames_dropped"] >= 5, "half a second late at 30 frames a second"
    assert summary["lost"] == 0 and loop.stats()["telemetry_dropped"] == 0
    rows = column(read_rrd(tmp_path / "s.rrd")["/plots/force"], "Scalars:scalars")
    assert [c for c, _ in rows] == list(range(summary["cycles"])), "every cycle until the view stopped"


def test_an_absent_viewer_costs_the_loop_nothing(arm, tmp_path):
    # Nothing listens at the viewer's address: the view goes on making frames and plotting
    # every cycle, the ring never overflows, and stop() returns within its flush bound.
    nobody = f"rerun+http://127.0.0.1:{velkor_view._free_port()}/proxy"
    loop = api.ServoLoop(arm, 1000.0)
    with loop:
        scene = velkor_view.view(loop, connect=nobody, save=tmp_path / "n.rrd")
        assert wait_for(lambda: scene.frames > 30 and scene.cycles > 500)
        began = time.monotonic()
        summary = scene.stop(timeout=2.0)
        assert time.monotonic() - began < 30.0
        # A loaded machine may keep the loop below its rate, which loop.error then says; nothing else may.
        assert loop.stats()["telemetry_dropped"] == 0
        assert loop.error is None or loop.error.startswith("running at "), loop.error
    assert summary["lost"] == 0 and summary["flushed"] is False, "nobody took the viewer's share"
    rows = column(read_rrd(tmp_path / "n.rrd")["/plots/force"], "Scalars:scalars")
    assert len(rows) == summary["cycles"]


def test_view_refuses_what_it_cannot_show(arm, tmp_path):
    loop = api.ServoLoop(arm, 1000.0)
    for kwargs, error in (({}, "nothing to show"), ({"save": "x.rrd", "rate_hz": 0.5}, "rate_hz")):
        with pytest.raises(ValueError, match=error):
            velkor_view.view(loop, **kwargs)
    # A view that fails to start ends the web viewer's server it had started.
    with pytest.raises(FileNotFoundError):
        velkor_view.view(loop, web=0, record=tmp_path / "no" / "such.mcap")
    assert velkor_view._servers == {}


def velkor(*args, timeout=120, env=None):
    return subprocess.run([sys.executable, "-m", "velkor_cli", *args], capture_output=True, text=True,
                          timeout=timeout, env=env, stdin=subprocess.DEVNULL)


def test_velkor_view_saves_the_scene_and_plays_a_recording_back(tmp_path):
    live = velkor("view", "--seconds", "2", "--save", str(tmp_path / "live.rrd"), "-q")
    assert live.returncode == 0, live.stderr
    data = read_rrd(tmp_path / "live.rrd")
    assert {"/world/tool", "/world/arm/links", "/plots/force"} <= set(data)
    assert len([p for p in data if p.startswith("/world/effects/")]) >= 2, "wall and sphere"
    cycles = len(column(data["/plots/force"], "Scalars:scalars"))
    assert f"{cycles} cycles plotted, 0 lost" in live.stdout

    recorded = velkor("record", "--seconds", "1", "-o", str(tmp_path / "run.mcap"), "-q")
    assert recorded.returncode == 0, recorded.stderr
    records = vt.read(tmp_path / "run.mcap")
    played = velkor("view", str(tmp_path / "run.mcap"), "--save", str(tmp_path / "played.rrd"), "-q")
    assert played.returncode == 0, played.stderr
    data = read_rrd(tmp_path / "played.rrd")
    rows = column(data["/plots/position"], "Scalars:scalars")
    assert [c for c, _ in rows] == records["cycle"].tolist()
    assert np.allclose([v for _, v in rows], records["position"])
    times = column(data["/world/tool"], "Points3D:positions")
    assert len(times) >= 20, "a second of recording at 30 frames a second"

    for bad, text in ((["view", str(tmp_path / "none.mcap"), "--save", "x.rrd"], "no recording"),
                      (["view", "--fps", "0"], "frames a second"),
                      (["view", "--seconds", "1"], "no display for the native viewer")):
        out = velkor(*bad, env={k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
        assert out.returncode != 0 and text in out.stderr, out.stderr


def test_ros2_bag_reads_back_with_rosbags(arm, tmp_path):
    from rosbags.highlevel import AnyReader
    from rosbags.typesys import Stores, get_typestore

    from velkor_telemetry.ros2 import TOPICS, Ros2Recording

    handed = []
    loop = api.ServoLoop(arm, 1000.0)

    def drain():
        records, lost = loop.drain()
        handed.append(records.copy())
        return records, lost

    bags = {}
    with loop:
        for name, publish_hz in (("all", None), ("100hz", 100.0)):
            recording = Ros2Recording(tmp_path / f"{name}.mcap", drain, publish_hz=publish_hz)
            recording.start()
            time.sleep(0.6)
            bags[name] = (recording.stop(), np.concatenate(handed))
            handed.clear()
    typestore = get_typestore(Stores.ROS2_HUMBLE)
    for name, (summary, records) in bags.items():
        with AnyReader([tmp_path / f"{name}.mcap"], default_typestore=typestore) as reader:
            assert {c.topic: c.msgtype for c in reader.connections} == TOPICS
            messages = {topic: [] for topic in TOPICS}
            for connection, stamp, raw in reader.messages():
                messages[connection.topic].append((stamp, reader.deserialize(raw, connection.msgtype)))
        counts = {topic: len(m) for topic, m in messages.items()}
        assert set(counts.values()) == {summary["messages"]}, counts
        joints, poses, wrenches = (messages[t] for t in TOPICS)
        stamps = np.array([s for s, _ in joints], dtype=np.int64)
        if name == "all":
            assert summary["messages"] == len(records) > 100
            picked = records
        else:
            gaps = np.diff(stamps) / 1e6
            # At most one message per 10 ms of the cycles' own time span, whatever rate the loop reached.
            span = float(records["time"][-1] - records["time"][0])
            assert summary["messages"] <= span * 100.0 + 1 and np.all(gaps >= 9.99), "100 a second at most"
            # Each message is the cycle at its stamp.
            offsets = (stamps - stamps[0]) / 1e9 + records["time"][0]
            picked = records[[int(np.argmin(np.abs(records["time"] - t))) for t in offsets]]
        for (stamp, js), (_, pose), (_, wrench), rec in zip(joints, poses, wrenches, picked):
            assert list(js.name) == ["arm_x", "arm_y", "arm_z"]
            assert np.allclose(js.position, rec["position"]) and np.allclose(js.velocity, rec["velocity"])
            assert np.allclose(js.effort, rec["force"])
            assert js.header.frame_id == "arm_base"
            assert js.header.stamp.sec * 1_000_000_000 + js.header.stamp.nanosec == stamp
            p = pose.pose.position
            assert np.allclose([p.x, p.y, p.z], rec["position"]) and pose.pose.orientation.w == 1.0
            f = wrench.wrench.force
            assert np.allclose([f.x, f.y, f.z], rec["force"])
        # Stamps follow the loop's own clock: their differences are the cycles' time differences.
        assert np.allclose(np.diff(stamps) / 1e9, np.diff(picked["time"]), atol=1e-6)


def test_velkor_record_ros2_writes_a_bag(tmp_path):
    from rosbags.rosbag2 import Reader

    out = velkor("record", "--ros2", "--seconds", "1", "-o", str(tmp_path / "bag.mcap"), "-q")
    assert out.returncode == 0, out.stderr
    with Reader(tmp_path / "bag.mcap") as reader:
        counts = {c.topic: c.msgcount for c in reader.connections}
    cycles = int(out.stdout.split(": ")[1].split()[0])
    assert counts == {"/velkor/joint_states": cycles, "/velkor/pose": cycles, "/velkor/wrench": cycles}
    bad = velkor("record", "--ros2-rate", "10", "--seconds", "1", "-o", str(tmp_path / "x.mcap"))
    assert bad.returncode == 1 and "ROS 2" in bad.stderr


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium (apt-get install chromium)")
def test_served_web_viewer_loads_and_connects_in_chromium(arm, tmp_path, loopback_only):
    loop = api.ServoLoop(arm, 1000.0)
    lines = []
    with loop:
        scene = velkor_view.view(loop, arm, web=0)
        try:
            url = scene.addresses["web"]
            grpc_port = scene.addresses["grpc"].rsplit(":", 1)[1].split("/")[0]
            assert url.startswith("http://127.0.0.1:")
            browser = subprocess.Popen(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--use-angle=swiftshader",
                 "--enable-unsafe-swiftshader", "--no-first-run", "--disable-extensions", "--disable-sync",
                 "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
                 "--no-pings", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                 f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr",
                 "--v=0", url],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                start_new_session=True)
            connected = "Streaming messages from gRPC endpoint"
            try:
                # Software rendering on a loaded machine: the viewer may take a minute to start.
                deadline = time.monotonic() + 120.0
                while time.monotonic() < deadline:
                    ready = select.select([browser.stderr], [], [], 1.0)[0]
                    if not ready:
                        continue
                    line = browser.stderr.readline()
                    if not line:
                        break
                    lines.append(line.rstrip())
                    if connected in line and f"port: {grpc_port}" in line:
                        time.sleep(2.0)  # what comes right after connecting, errors included
                        break
            finally:
                # Read on while it ends: it logs a lot, and a full pipe would hold it.
                os.killpg(browser.pid, signal.SIGTERM)
                try:
                    rest = browser.communicate(timeout=60)[1]
                except subprocess.TimeoutExpired:
                    os.killpg(browser.pid, signal.SIGKILL)
                    rest = browser.communicate(timeout=60)[1]
                lines += [line.rstrip() for line in rest.splitlines()]
        finally:
            summary = scene.stop()
    console = [line for line in lines if "CONSOLE" in line]
    assert any("App started." in line for line in console), console[-20:]
    assert any(connected in line and f"port: {grpc_port}" in line for line in console), console[-20:]
    errors = [line for line in console if ":ERROR:CONSOLE" in line or '"ERROR ' in line or "Uncaught" in line
              or "Failed to start" in line]
    assert not errors, errors
    assert summary["frames"] > 0


def test_example_and_web_option_run_headless(tmp_path, loopback_only):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "view_scene.py")
    out = subprocess.run([sys.executable, example, "--seconds", "2", "--save", str(tmp_path / "ex.rrd")],
                         capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert out.returncode == 0, out.stderr
    assert "0 lost" in out.stdout
    spheres = [p for p in read_rrd(tmp_path / "ex.rrd") if p.endswith("/sphere")]
    radii = column(read_rrd(tmp_path / "ex.rrd")[spheres[0]], "Ellipsoids3D:half_sizes")
    assert radii[0][1][0][0] == pytest.approx(0.02) and radii[-1][1][0][0] == pytest.approx(0.03), "grown halfway"

    served = velkor("view", "--web", "--seconds", "1", "-q")
    assert served.returncode == 0, served.stderr
    assert "web viewer: http://127.0.0.1:" in served.stdout


def test_a_mesh_proxy_is_drawn_where_the_module_reports_one(tmp_path):
    # The shape a mesh's proxy property has where the module exposes one; without it nothing is drawn.
    Mesh = type("Mesh", (), {})
    touching, free, silent = Mesh(), Mesh(), Mesh()
    touching.proxy = {"position": [0.0, 0.0, 0.2], "normal": [0.0, 0.0, 1.0], "contacts": 1}
    free.proxy = {"position": [0.1, 0.0, 0.2], "normal": [0.0, 0.0, 0.0], "contacts": 0}
    stream, _ = velkor_view.open_stream(save=tmp_path / "p.rrd")
    scene = velkor_view._Scene(stream, None)
    scene.set_time(0.0, 0)
    scene.proxies({1: touching, 2: free, 3: silent}, [0.0, 0.0, 0.195])
    scene.set_time(0.001, 1)
    scene.proxies({2: free}, [0.0, 0.0, 0.195])
    velkor_view.close_stream(stream)
    data = read_rrd(tmp_path / "p.rrd")
    assert np.allclose(column(data["/world/proxies/1"], "Points3D:positions")[0][1], [[0.0, 0.0, 0.2]])
    assert np.allclose(column(data["/world/proxies/1/normal"], "Arrows3D:vectors")[0][1], [[0.0, 0.0, 0.02]])
    assert column(data["/world/proxies/1"], "Clear:is_recursive"), "removed with its effect"
    assert "Arrows3D:vectors" not in {n for b in data["/world/proxies/2/normal"] for n in b.schema.names}
    assert not any(p.startswith("/world/proxies/3") for p in data)

"""The Mesh effect: its inputs, files, and rendering in a servo loop with the
simulated arm as the hand, pushed by a ConstantForce in the same loop."""

import array
import math
import time

import pytest

import VelkorHardwareAPI as api

pytest_plugins = ["velkor_sim.pytest_plugin"]

WAIT = 10.0  # generous bound for anything the loop, the simulator or the kernel must do
STIFFNESS = 800.0


def plate_mesh(top, half=0.1, thickness=0.001, **kwargs):
    """A closed square plate whose top face is at z = top, faces wound outwards."""
    x0, x1, z0, z1 = -half, half, top - thickness, top
    v = [[x0, x0, z0], [x1, x0, z0], [x1, x1, z0], [x0, x1, z0],
         [x0, x0, z1], [x1, x0, z1], [x1, x1, z1], [x0, x1, z1]]
    t = [[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7], [0, 1, 5], [0, 5, 4],
         [1, 2, 6], [1, 6, 5], [2, 3, 7], [2, 7, 6], [3, 0, 4], [3, 4, 7]]
    return api.Mesh(v, t, STIFFNESS, **kwargs)


def wait_until(condition, what, bound=WAIT):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.005)
    raise AssertionError(f"timed out waiting for {what}")


def settle(loop, what):
    """The state once the arm has been still (within 30 um) for 0.2 s."""
    def still():
        # Still over at least 60 cycles: a loop stalled by a loaded machine is not an arm at rest.
        first, cycles = loop.state(), loop.stats()["cycles"]
        time.sleep(0.2)
        last = loop.state()
        if loop.stats()["cycles"] - cycles < 60 or last["holding"]:
            return False
        moved = max(abs(a - b) for a, b in zip(first["position"], last["position"]))
        return moved < 3e-5 and last
    return wait_until(still, what)


def start_arm(port):
    """The arm lifted 3 cm from home, where the simulated arm is near the bottom
    of its workspace: what holds the tool up in these tests is then the mesh,
    never the workspace's own limit."""
    stream = api.SerialStream(port)
    arm = api.Vorlan3(stream, 1.0)
    home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    # A loaded machine is no fault here: generous exchange and lateness limits.
    lift = api.ServoLoop(arm, exchange_timeout=2.0, late_limit=1.0)
    lift.add(api.Spring([home[0], home[1], home[2] + 0.03], 300.0, 5.0))
    with lift:
        settle(lift, "the arm lifted")
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    loop = api.ServoLoop(arm, exchange_timeout=2.0, late_limit=1.0)
    return stream, arm, loop, start


def test_a_constant_push_rests_on_a_thin_plates_front_face_and_never_pops_through(velkor_arm_port):
    stream, arm, loop, start = start_arm(velkor_arm_port)
    top = start[2] - 0.005
    plate = plate_mesh(top)
    loop.add(plate)
    loop.add(api.ConstantForce([0.0, 0.0, -2.0]))  # 2.5 mm deep at rest: past the 1 mm plate's back
    with loop:
        rest = settle(loop, "the arm resting on the plate")
        assert rest["position"][2] == pytest.approx(top - 2.0 / STIFFNESS, abs=7e-4), "on the front face"
        assert abs(rest["force"][2]) < 0.3, "the plate pushes back as hard as the push"
        # A republished parameter keeps the proxy: stiffer, the arm rises, still on top.
        plate.stiffness = 2 * STIFFNESS
        stiffer = wait_until(
            lambda: (s := loop.state())["position"][2] > top - 1.6e-3 and s, "the arm pushed up by the stiffer plate")
        assert stiffer["position"][2] < top + 1e-4
        # Twice the push: 2.5 mm deep again, still never through.
        loop.add(api.ConstantForce([0.0, 0.0, -2.0]))
        deep = settle(loop, "the arm resting deeper")
        assert deep["position"][2] == pytest.approx(top - 4.0 / (2 * STIFFNESS), abs=7e-4)
    stats = loop.stats()
    assert stats["failures"] == 0
    assert 0.0 < stats["compute_p50_us"] <= stats["compute_p99_us"]


@pytest.mark.parametrize("friction, slides", [(0.5, False), (0.0, True)])
def test_friction_holds_a_push_inside_its_cone_and_lets_it_slide_without(velkor_arm_port, friction, slides):
    stream, arm, loop, start = start_arm(velkor_arm_port)
    top = start[2] - 0.004
    loop.add(plate_mesh(top, friction=friction))
    push = api.ConstantForce([0.0, 0.0, -2.0])
    loop.add(push)
    with loop:
        settle(loop, "the arm resting on the plate")
        # Sideways at 0.4 times the normal push.
        push.force = [0.8, 0.0, -2.0]
        time.sleep(0.3)
        before = loop.state()["position"]
        time.sleep(1.0)
        after = loop.state()["position"]
    moved = after[0] - before[0]
    if slides:
        assert moved > 3e-3, f"without friction the arm slides: moved {moved * 1e3:.2f} mm in 1 s"
    else:
        assert abs(moved) < 5e-4, f"friction 0.5 holds a 0.4 pull: moved {moved * 1e3:.2f} mm in 1 s"
    assert after[2] > top - 0.004, "still on the plate"


def test_a_rising_plate_pushes_the_tool_back(velkor_arm_port):
    stream, arm, loop, start = start_arm(velkor_arm_port)
    plate = plate_mesh(0.0)
    below = start[2] - 0.003
    plate.transform = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, below], [0, 0, 0, 1]]
    loop.add(plate)
    loop.add(api.Spring(list(start), 200.0, 2.0))  # the hand holding its place
    with loop:
        settle(loop, "the arm at rest above the plate")
        for i in range(1, 21):  # 8 mm up in 20 steps: 5 mm past where the tool rests
            plate.transform = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, below + 4e-4 * i], [0, 0, 0, 1]]
            time.sleep(0.02)
        rest = settle(loop, "the arm at rest on the risen plate")
    top = below + 8e-3
    # Spring and plate in series: 200 N/m against 800 N/m over 5 mm.
    assert rest["position"][2] == pytest.approx(start[2] + 5e-3 * STIFFNESS / (STIFFNESS + 200.0), abs=1e-3)
    assert rest["position"][2] < top, "resting on the plate's face, pressed into it"


def test_sliding_across_the_edge_between_two_triangles_has_no_force_step():
    square = [[-0.05, -0.05, 0.0], [0.05, -0.05, 0.0], [0.05, 0.05, 0.0], [-0.05, 0.05, 0.0]]
    mesh = api.Mesh(square, [[0, 1, 2], [0, 2, 3]], STIFFNESS)
    mesh.force_at([-0.03, -0.02, 0.001])
    for k in range(21):
        mesh.force_at([-0.03, -0.02, 0.001 - 1.5e-4 * k])
    forces = []
    for i in range(600):  # 0.1 mm a cycle across the diagonal x = y, 2 mm deep
        x = -0.03 + 1e-4 * i
        forces.append(mesh.force_at([x, -0.02 + 1e-4 * i * 0.5, -0.002]))
    steps = [math.dist(a, b) for a, b in zip(forces, forces[1:])]
    assert all(f[2] == pytest.approx(STIFFNESS * 0.002, rel=1e-3) for f in forces)
    assert max(steps) < 1e-4


def test_vertices_and_triangles_come_from_arrays_buffers_or_sequences():
    np = pytest.importorskip("numpy")
    rows = [[0.0, 0.0, 0.0], [0.1, 0.0, 0.0], [0.0, 0.1, 0.0], [0.0, 0.0, 0.1]]
    faces = [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]  # a tetrahedron, wound outwards
    forms = [
        (rows, faces),
        (np.array(rows), np.array(faces)),
        (np.array(rows, dtype=np.float32), np.array(faces, dtype=np.uint32)),
        (np.asfortranarray(rows), np.array(faces, dtype=np.int16)[:, :]),
        (np.array(rows).ravel(), np.array(faces).ravel()),
        (array.array("d", sum(rows, [])), array.array("i", sum(faces, []))),
    ]
    results = []
    for vertices, triangles in forms:
        mesh = api.Mesh(vertices, triangles, STIFFNESS)
        assert (mesh.vertex_count, mesh.triangle_count) == (4, 4)
        mesh.force_at([0.02, 0.02, 0.2])
        results.append(mesh.force_at([0.02, 0.02, 0.05]))  # through the slanted face
    assert all(r == pytest.approx(results[0], abs=1e-5) for r in results)
    assert results[0][2] > 0.0 and results[0][0] > 0.0

    bad = [
        (lambda: api.Mesh(rows, [[0, 1, 4]], STIFFNESS), ValueError, "refers to vertex 4"),
        (lambda: api.Mesh(rows, [[0, 1, -1]], STIFFNESS), ValueError, "out of range"),
        (lambda: api.Mesh(rows, np.array(faces, dtype=float), STIFFNESS), TypeError, "integers"),
        (lambda: api.Mesh(np.zeros((4, 2)), faces, STIFFNESS), ValueError, "shape"),
        (lambda: api.Mesh([[0, 0, math.nan]] + rows[1:], faces, STIFFNESS), ValueError, "not finite"),
        (lambda: api.Mesh(rows, faces, -1.0), ValueError, "stiffness"),
        (lambda: api.Mesh(rows, faces, STIFFNESS, friction=0.2, dynamic_friction=0.5), ValueError, "exceed"),
        (lambda: api.Mesh(rows, [[0, 0, 1]], STIFFNESS), ValueError, "degenerate"),
        (lambda: api.Mesh("abc", faces, STIFFNESS), TypeError, "sequence"),
    ]
    for make, error, text in bad:
        with pytest.raises(error, match=text):
            make()

    mesh = api.Mesh(rows, faces, STIFFNESS)
    c, s = math.cos(0.5), math.sin(0.5)
    mesh.transform = np.array([[c, -s, 0, 0.1], [s, c, 0, 0.2], [0, 0, 1, 0.3], [0, 0, 0, 1]])
    point, distance, _ = mesh.closest_point([0.1, 0.2, 0.2])
    assert point == pytest.approx([0.1, 0.2, 0.3]) and distance == pytest.approx(0.1)
    for matrix in ([[2, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]],  # scaled
                   [[-1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]],  # mirrored
                   np.eye(3)):
        with pytest.raises(ValueError):
            mesh.transform = matrix
    assert mesh.transform[2][3] == pytest.approx(0.3), "a refused transform leaves the last one"


@pytest.mark.parametrize("file_type", ["stl", "stl_ascii", "obj", "ply"])
def test_mesh_files_load_with_their_shape_and_scale(tmp_path, file_type):
    trimesh = pytest.importorskip("trimesh")
    shape = trimesh.creation.icosphere(subdivisions=2, radius=20.0)  # millimetres
    path = tmp_path / ("sphere." + file_type.split("_")[0])
    shape.export(str(path), file_type=file_type)
    mesh = api.Mesh.load(str(path), scale=0.001, stiffness=500.0, friction=0.3)
    assert mesh.triangle_count == len(shape.faces)
    assert mesh.bounds[0] == pytest.approx([-0.02] * 3, abs=1e-6)
    assert mesh.bounds[1] == pytest.approx([0.02] * 3, abs=1e-6)
    assert (mesh.stiffness, mesh.friction) == (500.0, pytest.approx(0.3))
    # Closed and wound outwards: pressed from outside, it pushes out.
    mesh.force_at([0.0, 0.0, 0.03])
    assert mesh.force_at([0.0, 0.0, 0.019])[2] > 0.0

    with pytest.raises(ValueError, match="no such file"):
        api.Mesh.load(str(tmp_path / "missing.stl"))
    with pytest.raises(ValueError, match="scale"):
        api.Mesh.load(str(path), scale=0.0)


def icosphere(levels, radius):
    """Vertices and outward-wound triangles of an icosphere (20 * 4**levels faces)."""
    p = (1 + 5 ** 0.5) / 2
    points = [(-1, p, 0), (1, p, 0), (-1, -p, 0), (1, -p, 0), (0, -1, p), (0, 1, p),
              (0, -1, -p), (0, 1, -p), (p, 0, -1), (p, 0, 1), (-p, 0, -1), (-p, 0, 1)]
    points = [tuple(c / math.hypot(*q) for c in q) for q in points]
    faces = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4), (11, 10, 2),
             (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9), (4, 9, 5),
             (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    for _ in range(levels):
        middles = {}

        def middle(a, b):
            key = (min(a, b), max(a, b))
            if key not in middles:
                q = [x + y for x, y in zip(points[a], points[b])]
                points.append(tuple(c / math.hypot(*q) for c in q))
                middles[key] = len(points) - 1
            return middles[key]

        finer = []
        for a, b, c in faces:
            ab, bc, ca = middle(a, b), middle(b, c), middle(c, a)
            finer += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        faces = finer
    return [[radius * c for c in q] for q in points], faces


@pytest.mark.parametrize("switch", ["enabled", "gain"])
def test_switching_a_mesh_on_with_the_tool_behind_it_takes_up_from_the_tool(switch):
    """The tool 30 mm behind a switched-off plate: switching it on gives no force
    at once, and raising the gain of a pressed plate is slewed."""
    plate = plate_mesh(0.0)
    setattr(plate, switch, False if switch == "enabled" else 0.0)
    plate.force_at([0.0, 0.0, 0.01])
    for k in range(41):
        plate.force_at([0.0, 0.0, 0.01 - 1e-3 * k])  # on down to 30 mm behind the top
    setattr(plate, switch, True if switch == "enabled" else 1.0)
    forces = [plate.force_at([0.0, 0.0, -0.03])[2] for _ in range(5)]
    assert forces == [0.0] * 5, "no snap-back: the proxy was at the tool, as if the plate had just been added"
    for x, z in ([0.15, -0.03], [0.15, 0.01], [0.0, 0.01]):  # out round the plate's side ...
        for _ in range(20):  # (while the gain ramps in)
            plate.force_at([x, 0.0, z])
    assert plate.force_at([0.0, 0.0, -0.001])[2] == pytest.approx(STIFFNESS * 0.001, rel=0.01), "... and felt"
    # Pressed 10 mm in at gain 0.5, then gain 1: the force rises in steps of at most 2 % of 8 N.
    plate.gain = 0.5
    for _ in range(60):
        plate.force_at([0.0, 0.0, -0.01])
    plate.gain = 1.0
    forces = [plate.force_at([0.0, 0.0, -0.01])[2] for _ in range(60)]
    steps = [b - a for a, b in zip([STIFFNESS * 0.01 * 0.5] + forces, forces)]
    assert max(steps) <= 0.02 * STIFFNESS * 0.01 + 1e-3
    assert forces[-1] == pytest.approx(STIFFNESS * 0.01, rel=1e-3)


def test_enabling_a_mesh_under_a_running_loop_does_not_fling_the_arm(velkor_arm_port):
    """In the loop: the simulated arm pushed 1 cm through a disabled plate, which
    is then switched on. Before, that was a step of stiffness x depth."""
    np = pytest.importorskip("numpy")
    stream, arm, loop, start = start_arm(velkor_arm_port)
    top = start[2] - 0.003
    plate = plate_mesh(top)
    plate.enabled = False
    loop.add(plate)
    loop.add(api.Spring([start[0], start[1], top - 0.01], 300.0, 5.0))  # the hand holding the tool 1 cm in
    with loop:
        settle(loop, "the arm held behind the disabled plate")
        proxy = wait_until(lambda: plate.proxy, "the loop's proxy published")
        here = loop.state()["position"]
        assert proxy["contacts"] == 0 and proxy["triangle"] is None
        assert proxy["position"] == pytest.approx(here, abs=1e-3), "a disabled mesh's proxy follows the tool"
        loop.drain()
        plate.enabled = True
        time.sleep(0.5)
        records, _ = loop.drain()
        after = loop.state()["position"]
    force = np.linalg.norm(records["force"], axis=1)
    assert force.max() < 1.0, f"switching on pushed {force.max():.2f} N"
    assert abs(after[2] - here[2]) < 1e-3, "the arm stayed where the hand held it"


def test_the_loops_proxy_is_readable_for_graphics(velkor_arm_port):
    stream, arm, loop, start = start_arm(velkor_arm_port)
    top = start[2] - 0.004
    plate = plate_mesh(top)
    assert plate.proxy is None, "no loop has rendered it yet"
    plate.force_at([0.0, 0.0, top - 0.001])
    assert plate.proxy is None, "force_at keeps its own proxy, not the loop's"
    loop.add(plate)
    loop.add(api.ConstantForce([0.0, 0.0, -2.0]))
    with loop:
        settle(loop, "the arm resting on the plate")
        first = plate.proxy
        time.sleep(0.05)
        second = plate.proxy
    assert second["renders"] > first["renders"] > 0
    assert second["contacts"] == 1 and second["triangle"] in (2, 3), "resting on the top face"
    assert second["position"][2] == pytest.approx(top, abs=1e-5)
    assert second["normal"] == pytest.approx([0.0, 0.0, 1.0], abs=1e-6)
    assert second["force"] == pytest.approx(2.0, abs=0.3)


def test_closest_point_refuses_non_finite_points_and_answers_many_at_once():
    np = pytest.importorskip("numpy")
    vertices, faces = icosphere(2, 0.05)
    mesh = api.Mesh(vertices, faces, STIFFNESS)
    for bad in ([math.nan, 0, 0], [0, math.inf, 0], [0, 0, 1e300], [0, 0, -math.inf]):
        with pytest.raises(ValueError, match="finite"):
            mesh.closest_point(bad)
        with pytest.raises(ValueError, match="finite"):
            mesh.closest_points(np.array([[0.1, 0, 0], bad]))
    # force_at refuses them too, before its proxy moves: the push goes on as it was.
    mesh.force_at([0.06, 0, 0])
    pressed = mesh.force_at([0.049, 0, 0])
    assert pressed[0] > 0.5 * STIFFNESS * 0.001
    for bad in ([math.nan, 0, 0], [0, math.inf, 0], [0, 0, 1e300], [0, 0, -math.inf]):
        with pytest.raises(ValueError, match="position must be finite"):
            mesh.force_at(bad)
        with pytest.raises(ValueError, match="velocity must be finite"):
            mesh.force_at([0.049, 0, 0], bad)
        assert mesh.force_at([0.049, 0, 0]) == pytest.approx(pressed, abs=1e-9)
    rng = np.random.default_rng(3)
    queries = rng.uniform(-0.1, 0.1, (200, 3))
    points, distances, triangles = mesh.closest_points(queries)
    assert points.shape == (200, 3) and distances.shape == (200,) and triangles.shape == (200,)
    for q, p, d, t in zip(queries, points, distances, triangles):
        one = mesh.closest_point(list(q))
        assert list(p) == pytest.approx(one[0], abs=1e-9) and d == pytest.approx(one[1], abs=1e-9)
        assert t == one[2]
    assert mesh.closest_points(np.zeros((0, 3)))[0].shape == (0, 3)


def test_faces_wound_inwards_are_turned_round_and_said():
    vertices, faces = icosphere(3, 0.05)  # 1280 faces
    rng = __import__("random").Random(5)
    turned = {i for i in range(len(faces)) if rng.random() < 0.05}
    given = [(a, c, b) if i in turned else (a, b, c) for i, (a, b, c) in enumerate(faces)]
    with pytest.warns(UserWarning, match=f"turned {len(turned)} faces"):
        mesh = api.Mesh(vertices, given, STIFFNESS)
    assert (mesh.flipped_faces, mesh.open_edges) == (len(turned), 0)
    pop_throughs = 0
    for push in range(60):  # from all round, 1 cm outside to 3 cm inside
        d = [rng.gauss(0, 1) for _ in range(3)]
        d = [c / math.hypot(*d) for c in d]
        mesh.force_at([0.06 * c for c in d])
        for k in range(81):
            f = mesh.force_at([(0.06 - 5e-4 * k) * c for c in d])
        pop_throughs += sum(a * b for a, b in zip(f, d)) < 0.8 * STIFFNESS * 0.03
    assert pop_throughs == 0


def test_cracks_between_faces_hold_the_tool_and_the_gap_is_a_parameter():
    """Two floors with a crack between them; 40 slow slides across it, 2 mm in."""
    def floors(crack, **kwargs):
        h = crack / 2
        v = [[-0.05, -0.05, 0], [-h, -0.05, 0], [-h, 0.05, 0], [-0.05, 0.05, 0],
             [h, -0.05, 0], [0.05, -0.05, 0], [0.05, 0.05, 0], [h, 0.05, 0]]
        return api.Mesh(v, [[0, 1, 2], [0, 2, 3], [4, 5, 6], [4, 6, 7]], STIFFNESS, **kwargs)

    def pop_throughs(mesh):
        count = 0
        for slide in range(40):
            y = -0.04 + 0.002 * slide
            mesh.force_at([-0.002, y, 0.001])
            for k in range(21):
                mesh.force_at([-0.002, y, 0.001 - 1.5e-4 * k])
            for k in range(401):
                f = mesh.force_at([-0.002 + 1e-5 * k, y, -0.002])
            count += f[2] < 1.0
        return count

    for crack in (3e-6, 1e-5, 1e-4):
        assert pop_throughs(floors(crack)) == 0, f"default gap, crack {crack * 1e6:.0f} um"
    for crack in (1e-5, 1e-4):
        assert pop_throughs(floors(crack, gap=0.0)) > 0, f"no gap, crack {crack * 1e6:.0f} um: the fault is real"
    assert floors(3e-6).open_edges == 6 and floors(1e-4).open_edges == 8, "welded across a hair-thin crack only"
    with pytest.raises(ValueError, match="gap"):
        floors(1e-5, gap=-1.0)


def test_mesh_load_says_when_a_file_is_open(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    shape = trimesh.creation.icosphere(subdivisions=2, radius=20.0)
    closed = tmp_path / "closed.stl"
    shape.export(str(closed))
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert api.Mesh.load(str(closed), scale=0.001).open_edges == 0
    half = trimesh.Trimesh(shape.vertices, shape.faces[shape.triangles_center[:, 2] > 0])
    opened = tmp_path / "open.stl"
    half.export(str(opened))
    with pytest.warns(UserWarning, match="is open: [0-9]+ edges"):
        mesh = api.Mesh.load(str(opened), scale=0.001)
    assert mesh.open_edges > 0


def test_force_shading_makes_an_icosphere_feel_round():
    """Pressed 2 mm into a 1280-face icosphere, sliding 0.1 mm a cycle: the force's
    direction against the true normal, with and without shading."""
    vertices, faces = icosphere(3, 0.05)
    figures = {}
    for angle in (0.0, 30.0):
        mesh = api.Mesh(vertices, faces, STIFFNESS, smoothing_angle=angle)
        assert mesh.shaded == (angle > 0)
        errors, turns, last = [], [], None
        for i in range(1200):
            a = i * 1e-4 / 0.048
            radial = [math.cos(a), 0.8 * math.sin(a), 0.6 * math.sin(a)]
            depth = 0.052 - 0.004 * i / 50 if i < 50 else 0.048
            f = mesh.force_at([depth * c for c in radial])
            if i < 60:
                continue
            n = math.hypot(*f)
            errors.append(math.degrees(math.acos(min(1.0, sum(x * y for x, y in zip(f, radial)) / n))))
            if last is not None:
                turns.append(math.degrees(math.acos(min(1.0, sum(x * y for x, y in zip(f, last)) / n /
                                                        math.hypot(*last)))))
            last = f
        figures[angle] = (sorted(errors)[len(errors) // 2], max(turns))
    assert figures[30.0][0] <= 0.5 and figures[30.0][1] <= 1.0, figures
    assert figures[0.0][1] > 3.0, f"unshaded, the facets are felt: {figures}"


def lifted(z, turn=0.0):
    c, s = math.cos(turn), math.sin(turn)
    return [[c, -s, 0, 0], [s, c, 0, 0], [0, 0, 1, z], [0, 0, 0, 1]]


def test_a_moving_mesh_glides_between_updates_instead_of_stepping():
    """A plate rising at 0.2 m/s through a held tool, its pose updated every 10
    cycles: the force rises smoothly, without a step at each update."""
    plate = plate_mesh(0.0)
    plate.force_at([0.01, 0.0, 0.001])  # the tool rests 1 mm above the plate
    forces = []
    for cycle in range(400):
        if cycle % 10 == 0:
            plate.transform = lifted(2e-4 * cycle)  # 2 mm per 10 ms
        forces.append(plate.force_at([0.01, 0.0, 0.001])[2])
    # After the first update (which glides over 0.1 s, as after any pause): the
    # force rises 0.16 N a cycle, and its rate of change has no jumps.
    steady = forces[150:]
    assert steady[-1] > 20.0, "the plate came up into the tool"
    bends = [abs(a - 2 * b + c) for a, b, c in zip(steady, steady[1:], steady[2:])]
    assert max(bends) <= 0.1, f"a step of {max(bends):.3f} N at an update"
    assert max(b - a for a, b in zip(steady, steady[1:])) == pytest.approx(800 * 2e-4, rel=0.05)


def test_damping_acts_on_the_velocity_relative_to_the_surface():
    """Riding a plate that sinks at 0.1 m/s, 2 mm into it: damping adds nothing,
    as it does nothing on a plate at rest; moving into it, it adds damping x speed."""
    plate = plate_mesh(0.0, damping=5.0)
    cases = [(-0.1, -0.1, 1.6), (0.0, 0.0, 1.6), (0.0, -0.1, 1.6 + 0.5), (0.1, 0.0, 1.6 + 0.5)]
    for plate_speed, tool_speed, expected in cases:
        plate = plate_mesh(0.0, damping=5.0)
        plate.force_at([0.0, 0.0, 0.001])
        for k in range(30):  # 2 mm into it, everything at rest
            plate.force_at([0.0, 0.0, 0.001 - 1e-4 * k])
        for cycle in range(1, 50):
            plate.transform = lifted(plate_speed * 1e-3 * cycle)
            depth_change = (tool_speed - plate_speed) * 1e-3 * cycle
            f = plate.force_at([0.0, 0.0, -0.002 + plate_speed * 1e-3 * cycle + depth_change],
                               [0.0, 0.0, tool_speed])
        depth = 0.002 - (tool_speed - plate_speed) * 1e-3 * 49
        assert f[2] == pytest.approx(expected + 800 * (depth - 0.002), abs=0.02), (plate_speed, tool_speed)


def test_replacing_the_geometry_under_a_pressed_tool_keeps_the_contact():
    """A floor pressed 2 mm in, replaced by one 0.5 mm higher (a deforming object):
    the tool stays on the surface and is pushed 0.5 mm harder; a new Mesh would
    start inside and push nothing."""
    def floor(z):
        return [[-0.05, -0.05, z], [0.05, -0.05, z], [0.05, 0.05, z], [-0.05, 0.05, z]], [[0, 1, 2], [0, 2, 3]]

    mesh = api.Mesh(*floor(0.0), STIFFNESS, friction=0.2)
    mesh.force_at([0.0, 0.0, 0.001])
    for k in range(31):
        mesh.force_at([0.0, 0.0, 0.001 - 1e-4 * k])
    mesh.set_geometry(*floor(0.0005))
    assert mesh.force_at([0.0, 0.0, -0.002])[2] == pytest.approx(STIFFNESS * 0.0025, abs=1e-3)
    assert (mesh.stiffness, mesh.friction) == (STIFFNESS, pytest.approx(0.2))
    with pytest.raises(ValueError, match="refers to vertex"):
        mesh.set_geometry(floor(0.0)[0], [[0, 1, 7]])
    assert mesh.force_at([0.0, 0.0, -0.002])[2] == pytest.approx(STIFFNESS * 0.0025, abs=1e-3), "a refusal changes nothing"


def test_widened_faces_never_snag_on_a_smooth_closed_surface():
    """Frictionless slides 2.5 mm deep round a closed icosphere of 20,480 faces:
    the force stays the spring's, with or without gap (gap widens open edges only)."""
    vertices, faces = icosphere(5, 0.05)
    rng = __import__("random").Random(9)
    for gap in (1e-4, 0.0):
        mesh = api.Mesh(vertices, faces, STIFFNESS, gap=gap)
        worst = 0.0
        for slide in range(12):
            axis = [rng.gauss(0, 1) for _ in range(3)]
            u = [axis[1], -axis[0], 0.0]  # across the axis
            u = [c / math.hypot(*u) for c in u]
            w = [axis[1] * u[2] - axis[2] * u[1], axis[2] * u[0] - axis[0] * u[2], axis[0] * u[1] - axis[1] * u[0]]
            w = [c / math.hypot(*w) for c in w]
            mesh.force_at([0.06 * c for c in u])
            for k in range(30):
                mesh.force_at([(0.053 - k * 0.0055 / 29) * c for c in u])
            for k in range(500):  # 0.05 mm a call along a great circle
                a = k * 1e-3
                f = mesh.force_at([0.0475 * (math.cos(a) * p + math.sin(a) * q) for p, q in zip(u, w)])
                worst = max(worst, math.hypot(*f))
        assert worst < 1.25 * STIFFNESS * 0.0025, f"gap {gap}: a {worst:.2f} N snag"


@pytest.mark.parametrize("crack", [0.0, 5e-5, 1.5e-4])
def test_a_crack_between_faces_of_slightly_different_heights_holds_the_tool(crack):
    """Two open sheets with a crack between them, the right one a few micrometres
    higher or lower (CAD exports): slides across, 2.5 mm in, both ways."""
    for dz in (-5e-5, -1e-5, -3e-6, 3e-6, 1e-5, 5e-5):
        h = crack / 2
        v = [[-0.05, -0.05, 0], [-h, -0.05, 0], [-h, 0.05, 0], [-0.05, 0.05, 0],
             [h, -0.05, dz], [0.05, -0.05, dz], [0.05, 0.05, dz], [h, 0.05, dz]]
        mesh = api.Mesh(v, [[0, 1, 2], [0, 2, 3], [4, 5, 6], [4, 6, 7]], STIFFNESS)
        for x0 in (-0.01, 0.01):
            mesh.force_at([x0, 0.003, 0.003])
            for k in range(28):
                mesh.force_at([x0, 0.003, 0.003 - 2e-4 * k])
            lost = sum(mesh.force_at([x0 - 2 * x0 * k / 299, 0.003, -0.0025])[2] < 1.0 for k in range(300))
            assert lost == 0, f"crack {crack * 1e6:.0f} um, step {dz * 1e6:+.0f} um, from x={x0}"


def test_orient_false_keeps_a_cavity_facing_inwards():
    """A hollow ball: an outer sphere wound outwards, an inner one wound towards the
    cavity. Built as given (orient=False), a tool inside the cavity is held in."""
    outer_v, outer_f = icosphere(3, 0.05)
    inner_v, inner_f = icosphere(3, 0.04)
    n = len(outer_v)
    vertices = outer_v + inner_v
    faces = list(outer_f) + [(a + n, c + n, b + n) for a, b, c in inner_f]
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kept = api.Mesh(vertices, faces, STIFFNESS, orient=False)
    with pytest.warns(UserWarning, match="turned 1280 faces"):
        turned = api.Mesh(vertices, faces, STIFFNESS)
    assert (kept.flipped_faces, turned.flipped_faces) == (0, 1280)
    rng = __import__("random").Random(4)
    for push in range(10):  # from the centre out to 3 mm into the cavity's wall
        d = [rng.gauss(0, 1) for _ in range(3)]
        d = [c / math.hypot(*d) for c in d]
        for mesh, held in ((kept, True), (turned, False)):
            mesh.force_at([0.0, 0.0, 0.0])
            for k in range(44):
                f = mesh.force_at([0.001 * k * c for c in d])
            inward = -sum(a * b for a, b in zip(f, d))
            assert (inward > 0.5 * STIFFNESS * 0.003) == held, (push, held, inward)
    # Mesh.set_geometry takes it too.
    turned.set_geometry(vertices, faces, orient=False)
    assert turned.flipped_faces == 0


@pytest.mark.parametrize("share", [0.2, 0.5, 0.8, 0.95, -0.5, -0.95])
def test_set_geometry_keeps_contact_while_the_surface_moves_less_than_the_press_depth(share):
    """The tool rides a floor replaced step by step (tool and floor moving together),
    pressed 2 mm in, the floor moving up to 95 % of that between replacements."""
    def floor(z):
        return [[-0.05, -0.05, z], [0.05, -0.05, z], [0.05, 0.05, z], [-0.05, 0.05, z]], [[0, 1, 2], [0, 2, 3]]

    depth = 0.002
    mesh = api.Mesh(*floor(0.0), STIFFNESS)
    mesh.force_at([0.001, 0.002, 0.003])
    for k in range(40):
        mesh.force_at([0.001, 0.002, 0.003 - k * (0.003 + depth) / 39])
    z = 0.0
    for step in range(15):
        z += share * depth
        mesh.set_geometry(*floor(z))
        f = mesh.force_at([0.001, 0.002, z - depth])
        assert f[2] == pytest.approx(STIFFNESS * depth, rel=0.05), f"replacement {step}"

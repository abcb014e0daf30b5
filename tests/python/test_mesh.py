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
        first = loop.state()
        time.sleep(0.2)
        last = loop.state()
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

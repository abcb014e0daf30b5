"""The shipped stubs catch what a user gets wrong, and accept what is right, under mypy --strict."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

STUBS = os.path.join(os.path.dirname(__file__), "..", "..", "python", "VelkorHardwareAPI-stubs", "__init__.pyi")

GOOD = """
    from __future__ import annotations
    import pathlib
    import VelkorHardwareAPI as api

    def position(loop: api.ServoLoop) -> list[float]:
        with loop:
            return loop.state()["position"]

    def cycles(loop: api.ServoLoop) -> int:
        stats = loop.stats()
        return stats["cycles"] + stats.get("stray_replies", 0)

    def model(arm: api.Vorlan3) -> int:
        return arm.device_wakeup_dict()["device_model_number"]

    def battery(handle: api.Handle) -> float:
        return handle.GetStrixelStatus()["battery_level"]

    def watch(state: api.ServoState) -> None:
        print(state["force"], state["holding"])

    def open_it(path: pathlib.Path) -> api.SerialStream:
        try:
            return api.SerialStream.open(path)
        except api.PortOpenError as e:
            raise SystemExit(f"{e.port}: {e}") from None

    def pushes_up(push: api.ConstantForce, mesh: api.Mesh) -> bool:
        x, y, z = push.force
        return push.force == [0.0, 0.0, 1.0] and z > 0 and mesh.transform[2][3] == 0.0

    def lines(arm: api.Vorlan3) -> tuple[str, ...]:
        try:
            arm.end_effector_force([0.0, 0.0, 0.0])
        except api.DeviceError as e:
            return e.error_lines
        return ()
"""

BAD = [
    ("loop.state()['postion']", 'TypedDict "ServoState" has no key "postion"'),
    ("loop.stats()['cycle']", 'TypedDict "ServoStats" has no key "cycle"'),
    ("arm.device_wakeup_dict()['model']", 'TypedDict "ArmInfo" has no key "model"'),
    ("handle.GetStrixelStatus()['battery']", 'TypedDict "StrixelStatus" has no key "battery"'),
    ("api.SerialStream.open(3)", 'Argument 1 to "open" of "SerialStream" has incompatible type "int"'),
    ("api.ConstantForce([0.0, 0.0, 1.0]).force[2] = 3.0", 'Unsupported target for indexed assignment ("Vector")'),
]


def mypy(tmp_path, source):
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    shutil.copy(STUBS, stubs / "VelkorHardwareAPI.pyi")
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent(source))
    env = dict(os.environ, MYPYPATH=str(stubs))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           str(program)], capture_output=True, text=True, env=env, timeout=300)


def test_correct_use_passes_strict(tmp_path):
    out = mypy(tmp_path, GOOD)
    assert out.returncode == 0, out.stdout + out.stderr


def test_misspelt_keys_and_wrong_names_are_type_errors(tmp_path):
    body = "\n".join(f"    _{i} = {expr}" for i, (expr, _) in enumerate(BAD))
    source = ("import VelkorHardwareAPI as api\n"
              "def f(loop: api.ServoLoop, arm: api.Vorlan3, handle: api.Handle) -> None:\n" + body + "\n")
    out = mypy(tmp_path, source)
    assert out.returncode == 1
    for expr, message in BAD:
        assert message in out.stdout, (expr, out.stdout)

"""What installing the package gives a user: the programs on PATH, the
metadata, and types that mypy checks a user's script against."""

import os
import subprocess
import sys
import sysconfig
import textwrap
from importlib import metadata

import pytest


def test_only_user_programs_are_installed_beside_the_interpreter():
    scripts = sysconfig.get_path("scripts")
    ours = sorted(n for n in os.listdir(scripts) if n.startswith("velkor"))
    assert ours == ["velkor", "velkor-sim"]
    out = subprocess.run([os.path.join(scripts, "velkor"), "--version"], capture_output=True, text=True,
                         timeout=30)
    assert out.returncode == 0 and out.stdout.startswith("velkor 0.2.8")


def test_metadata_names_the_licence_and_what_the_package_is():
    meta = metadata.metadata("VelkorHardwareAPI")
    assert meta["License-Expression"] == "MIT"
    assert "Typing :: Typed" in meta.get_all("Classifier")
    files = [str(f) for f in metadata.distribution("VelkorHardwareAPI").files]
    assert any(f.endswith("licenses/LICENSE") for f in files)
    assert "VelkorHardwareAPI-stubs/__init__.pyi" in files
    # The project page opens with prose about the package, not with a command.
    body = [line for line in meta.get_payload().splitlines() if line.strip() and not line.startswith("#")]
    assert body[0].startswith("A C++17 device library with a Python extension module"), body[0]


@pytest.fixture
def mypy_strict(tmp_path):
    pytest.importorskip("mypy")

    def check(source):
        script = tmp_path / "user_script.py"
        script.write_text(textwrap.dedent(source))
        out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                              "--cache-dir", str(tmp_path / "cache"), str(script)],
                             capture_output=True, text=True, timeout=300, cwd=tmp_path)
        return out.returncode, out.stdout

    return check


def test_mypy_strict_accepts_correct_use_and_flags_mistakes(mypy_strict):
    code, out = mypy_strict("""
        import uuid
        import VelkorHardwareAPI as api

        stream = api.SerialStream("/dev/ttyACM0")
        arm = api.Vorlan3(stream, 0.5)
        position, velocity = arm.end_effector_force((0.0, 0, 1.5))
        z: float = position[2]
        ident: uuid.UUID = arm.get_device_id()
        info = arm.device_wakeup_dict()
        ports: list[str] = api.detect_vorlan3s()
        names = [p.name for p in api.list_ports() if p.vendor is None or p.kind == "usb_cdc"]
        handle = api.Handle(stream)
        code: int = handle.Receive()
        reason: str | None = arm.last_error
        arm.strict = True
        failed: int = handle.failures + arm.failures
        lines: list[str] = []
        api.set_error_handler(lines.append)
        api.set_error_handler(None)
        with api.SerialStream("/dev/ttyACM1") as other:
            reopened: bool = other.reopen() and other.is_open
    """)
    assert code == 0, out

    mistakes = {
        'arm.end_effector_force(["1.5", 0.0, 0.0])': "List item 0 has incompatible type",
        "arm.end_efector_force([0.0, 0.0, 1.5])": 'has no attribute "end_efector_force"',
        'api.Vorlan3("/dev/ttyACM0")': "No overload variant",
        "arm.set_read_timeout('fast')": 'incompatible type "str"',
        "s: str = arm.get_temperature()": 'expression has type "float"',
        "r: str = arm.last_error": 'expression has type "str | None"',
        "arm.strict = 'yes'": 'Incompatible types in assignment',
        "api.set_error_handler(lambda: None)": 'incompatible type',
    }
    source = "import VelkorHardwareAPI as api\narm = api.Vorlan3(api.SerialStream('x'))\n"
    source += "".join(f"{line}  # {i}\n" for i, line in enumerate(mistakes))
    code, out = mypy_strict(source)
    assert code == 1
    for i, (line, message) in enumerate(mistakes.items()):
        reported = [r for r in out.splitlines() if f".py:{i + 3}:" in r]
        assert any(message in r for r in reported), (line, reported)

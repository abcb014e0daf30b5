import os
import subprocess
import sys
import threading

import pytest

import VelkorHardwareAPI as api


def test_module_attributes_and_versions():
    assert api.__doc__ == "Python Implementation of the Velkor Hardware API"
    assert api.__version__ == "dev"
    assert api.get_cpp_version() == "0.2.8"
    assert api.get_cpp_version.__doc__ == "get_cpp_version() -> str\n\nGet the version of the CPP library\n"
    assert api.print_cpp_version.__doc__ == "print_cpp_version() -> None\n\nPrint the version of the CPP library\n"


def test_module_names_in_registration_order_with_additions_last():
    names = [n for n in vars(api) if not n.startswith("__")]
    specified = [
        "SerialStream", "UUID", "Device", "get_cpp_version", "print_cpp_version",
        "detect_vorlan3s", "detect_handles", "detect_wired_handles", "detect_wireless_handles",
        "Vorlan3", "Handle",
    ]
    # Additions come after the specified names, never between them.
    assert names[:len(specified)] == specified
    assert {"set_error_handler", "ServoLoop", "Effect", "Spring", "Damper", "Plane", "Sphere", "Box",
            "ConstantForce", "Mesh"} <= set(names[len(specified):])


def test_print_cpp_version_bypasses_sys_stdout():
    code = (
        "import io, sys, VelkorHardwareAPI as m\n"
        "buf = io.StringIO(); old = sys.stdout; sys.stdout = buf\n"
        "r = m.print_cpp_version()\n"
        "sys.stdout = old\n"
        "assert r is None and buf.getvalue() == '', buf.getvalue()\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, env=os.environ.copy(), check=True)
    assert out.stdout == b"Library version: 0.2.8\n"


@pytest.mark.parametrize("call", [lambda: api.get_cpp_version(1), lambda: api.print_cpp_version(x=1)])
def test_version_functions_take_no_arguments(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


def test_import_opens_no_port_and_starts_no_thread():
    code = (
        "import os, threading\n"
        "before = set(os.listdir('/proc/self/fd'))\n"
        "import VelkorHardwareAPI\n"
        "after = set(os.listdir('/proc/self/fd'))\n"
        "opened = [os.readlink('/proc/self/fd/' + f) for f in after - before if os.path.exists('/proc/self/fd/' + f)]\n"
        "assert not [p for p in opened if p.startswith('/dev/')], opened\n"
        "assert threading.active_count() == 1\n"
        "assert len(os.listdir('/proc/self/task')) == 1\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, env=os.environ.copy())

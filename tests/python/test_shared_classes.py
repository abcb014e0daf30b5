import gc
import os
import subprocess
import sys

import pytest

import VelkorHardwareAPI as api


def test_missing_port_prints_two_error_lines_and_raises_nothing():
    code = "import VelkorHardwareAPI as m\ns = m.SerialStream('/dev/velkor-missing-port')\nprint(type(s).__name__)\n"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True, env=os.environ.copy())
    assert out.stdout == b"SerialStream\n"
    assert out.stderr.decode().splitlines() == [
        "[err] Library/src/SerialStream:39> unable to open port '/dev/velkor-missing-port': [2] No such file or directory",
        "[err] Library/src/SerialStream:18> unable to open stream '/dev/velkor-missing-port': [2] No such file or directory",
    ]


def test_serial_stream_signature_and_argument_rules(pty_device):
    assert api.SerialStream.__init__.__doc__ == (
        "__init__(self: VelkorHardwareAPI.SerialStream, arg0: str) -> None\n\nInitialize the serial stream\n"
    )
    for bad in [lambda: api.SerialStream(), lambda: api.SerialStream(port=pty_device.path),
                lambda: api.SerialStream(5), lambda: api.SerialStream(pty_device.path, 1),
                lambda: api.SerialStream(None)]:
        with pytest.raises(TypeError):
            bad()


def test_port_name_as_bytes_opens_the_same_port_and_release_reopens(pty_device, capfd):
    first = api.SerialStream(pty_device.path.encode())
    # Held: a second stream on the same port cannot open it.
    second = api.SerialStream(pty_device.path)
    assert "unable to open port" in capfd.readouterr().err
    del first, second
    gc.collect()
    third = api.SerialStream(bytearray(pty_device.path.encode()))
    assert capfd.readouterr().err == ""
    del third


def test_uuid_value_semantics():
    u = api.UUID()
    assert u.bytes() == [0] * 16
    a, b = u.bytes(), u.bytes()
    assert a == b and a is not b
    a[0] = 9
    assert u.bytes()[0] == 0
    assert api.UUID() != api.UUID() and u == u
    assert api.UUID.bytes.__doc__ == "bytes(self: VelkorHardwareAPI.UUID) -> list[int]\n"
    with pytest.raises(TypeError):
        api.UUID(1)
    with pytest.raises(TypeError):
        u.bytes(1)


def test_no_instance_dict(stream):
    for obj in (api.UUID(), stream):
        with pytest.raises(AttributeError):
            obj.anything = 1


def test_device_has_no_constructor():
    with pytest.raises(TypeError, match=r"^VelkorHardwareAPI\.Device: No constructor defined!$"):
        api.Device()

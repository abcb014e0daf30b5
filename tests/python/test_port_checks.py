"""Only terminals are opened as ports: anything else fails the open and is never written."""

import os
import socket
import struct

import pytest

import VelkorHardwareAPI as api

NOT_A_TTY = "[25] Inappropriate ioctl for device"


def open_lines(name):
    return [
        f"[err] Library/src/SerialStream:39> unable to open port '{name}': {NOT_A_TTY}",
        f"[err] Library/src/SerialStream:18> unable to open stream '{name}': {NOT_A_TTY}",
    ]


def make_file(path):
    path.write_bytes(b"precious contents\n")


def make_fifo(path):
    os.mkfifo(path)


def make_directory(path):
    path.mkdir()


@pytest.mark.parametrize("make", [make_file, make_fifo, make_directory])
def test_non_terminal_fails_the_open_and_exchanges_never_touch_it(tmp_path, capfd, make):
    path = tmp_path / "some_file"
    make(path)
    before = path.read_bytes() if path.is_file() else None
    # Stands in for the device's reader: with the stream never attached, it reads end of file.
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK) if path.is_fifo() else None

    s = api.SerialStream(str(path))
    assert capfd.readouterr().err.splitlines() == open_lines(str(path))

    arm = api.Vorlan3(s, 0.2)
    assert arm.end_effector_force([1.0, 2.0, 3.0]) == ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
    with pytest.raises(RuntimeError, match="send_raw: underlying stream write failed"):
        arm.send_raw(b"\x2a" + b"\xff" * 40)
    del arm, s

    if before is not None:
        assert path.read_bytes() == before
    if reader is not None:
        assert os.read(reader, 64) == b""
        os.close(reader)


def test_socket_and_dev_null_are_refused_too(tmp_path, capfd):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(str(tmp_path / "sock"))
    try:
        for name in (str(tmp_path / "sock"), "/dev/null"):
            api.SerialStream(name)
            assert capfd.readouterr().err.splitlines() == open_lines(name)
    finally:
        sock.close()


def test_pts_name_resolves_under_dev(pty_device, capfd):
    assert pty_device.path.startswith("/dev/pts/")
    s = api.SerialStream(pty_device.path[len("/dev/"):])
    assert capfd.readouterr().err == ""
    arm = api.Vorlan3(s, 2.0)
    state = struct.pack("<6f", 1, 2, 3, 4, 5, 6)
    pty_device.expect(13, b"\x2b" + state)
    assert arm.end_effector_force([0.0, 0.0, 0.0]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])

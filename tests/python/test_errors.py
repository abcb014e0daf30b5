"""The module's exception classes: strict mode, SerialStream.open, and what each exception carries."""

import errno
import os
import pathlib
import subprocess
import sys

import pytest

import VelkorHardwareAPI as api

TIMEOUT = 0.3


@pytest.mark.parametrize("cls, bases, not_bases", [
    (api.DeviceError, [OSError], [TimeoutError, ConnectionError]),
    (api.DeviceTimeoutError, [api.DeviceError, TimeoutError], [ConnectionError]),
    (api.BadReplyError, [api.DeviceError], [TimeoutError, ConnectionError]),
    (api.PortGoneError, [api.DeviceError, ConnectionError], [TimeoutError]),
    (api.WriteFailedError, [api.PortGoneError, ConnectionError, RuntimeError], [TimeoutError]),
    (api.PortOpenError, [api.DeviceError], [TimeoutError, ConnectionError]),
])
def test_exception_hierarchy(cls, bases, not_bases):
    assert cls.__module__ == "VelkorHardwareAPI" and cls.__doc__
    assert all(issubclass(cls, base) for base in bases)
    assert not any(issubclass(cls, base) for base in not_bases)


def test_the_exception_classes_come_after_the_module_registration_order():
    names = list(vars(api))
    assert names.index("set_error_handler") < names.index("DeviceError") < names.index("PortOpenError")


def test_strict_mode_puts_the_calls_error_lines_on_the_exception_and_prints_none(pty_device, capfd):
    arm = api.Vorlan3(api.SerialStream(pty_device.path), TIMEOUT)
    arm.strict = True
    pty_device.hang_up()
    with pytest.raises(api.PortGoneError) as caught:
        arm.end_effector_force([0, 0, 0])
    error = caught.value
    assert (error.call, error.port, error.outcome) == ("end_effector_force", pty_device.path, "port_gone")
    assert error.error_lines and all(line.startswith("[err] ") for line in error.error_lines)
    assert "[err]" not in capfd.readouterr().err
    # Without strict mode the same lines go to standard error, as they always did.
    arm.strict = False
    arm.end_effector_force([0, 0, 0])
    assert "[err] " in capfd.readouterr().err


def test_strict_mode_with_an_error_handler_gives_the_lines_to_both(pty_device, capfd):
    arm = api.Vorlan3(api.SerialStream(pty_device.path), TIMEOUT)
    arm.strict = True
    pty_device.hang_up()
    handled = []
    api.set_error_handler(handled.append)
    try:
        with pytest.raises(api.PortGoneError) as caught:
            arm.joint_angles([0, 0, 0])
    finally:
        api.set_error_handler(None)
    assert handled and list(caught.value.error_lines) == handled
    assert "[err]" not in capfd.readouterr().err


def test_set_read_timeout_leaves_last_error_alone(pty_device):
    arm = api.Vorlan3(api.SerialStream(pty_device.path), TIMEOUT)
    arm.end_effector_force([0, 0, 0])
    assert arm.last_error == "timeout"
    arm.set_read_timeout(0.2)
    assert (arm.last_error, arm.failures) == ("timeout", 1)


@pytest.mark.parametrize("strict", [False, True])
def test_send_raw_after_close_raises_the_kind_other_calls_raise(pty_device, strict):
    stream = api.SerialStream(pty_device.path)
    arm = api.Vorlan3(stream, TIMEOUT)
    arm.strict = strict
    stream.close()
    with pytest.raises(api.PortGoneError) as caught:
        arm.send_raw(b"x")
    assert caught.value.port == pty_device.path and arm.last_error == "port_gone"
    if not strict:
        # The specified failure of send_raw, still a RuntimeError with its text.
        assert isinstance(caught.value, RuntimeError)
        assert str(caught.value) == "send_raw: underlying stream write failed"
    arm.strict = True
    with pytest.raises(api.PortGoneError):
        arm.end_effector_force([0, 0, 0])


def not_a_port_cases(tmp_path):
    regular = tmp_path / "file.txt"
    regular.write_text("x")
    return [
        (str(tmp_path / "missing"), "no such port", errno.ENOENT),
        (str(tmp_path), "not a serial port", None),
        (regular, "not a serial port", None),  # os.PathLike
    ]


def test_open_raises_port_open_error_naming_the_port_and_why(tmp_path, capfd):
    for port, reason, code in not_a_port_cases(tmp_path):
        with pytest.raises(api.PortOpenError) as caught:
            api.SerialStream.open(port)
        error = caught.value
        assert os.fspath(port) in str(error) and reason in str(error)
        assert error.port == os.fspath(port) and error.call == "SerialStream.open()"
        assert error.errno == code if code is not None else error.errno
        assert error.error_lines and error.error_lines[0].startswith("[err] ")
    assert "[err]" not in capfd.readouterr().err


def test_open_a_busy_port_says_it_is_in_use(pty_device):
    first = api.SerialStream.open(pty_device.path)
    assert first.is_open
    with pytest.raises(api.PortOpenError, match="in use") as caught:
        api.SerialStream.open(pathlib.Path(pty_device.path))
    assert caught.value.errno == errno.EBUSY
    assert ("the port is in use in this program already (another SerialStream has it open): close that one "
            "(stream.close()) or use it") in str(caught.value)
    first.close()
    second = api.SerialStream.open(os.fsencode(pty_device.path))
    assert second.is_open and isinstance(second, api.SerialStream)


def test_a_port_another_process_holds_is_in_use_by_another_program(pty_device):
    holder = subprocess.Popen([sys.executable, "-c", "import sys, VelkorHardwareAPI as api; "
                               "s = api.SerialStream.open(sys.argv[1]); print('open', flush=True); sys.stdin.read()",
                               pty_device.path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "open\n"
        with pytest.raises(api.PortOpenError) as caught:
            api.SerialStream.open(pty_device.path)
        assert str(caught.value).endswith(": the port is in use by another program ([16] Device or resource busy)")
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
        holder.stdout.close()


@pytest.mark.parametrize("port", ["", b""])
def test_an_empty_port_name_is_refused_before_any_open(port):
    with pytest.raises(ValueError) as caught:
        api.SerialStream.open(port)
    assert str(caught.value) == ("SerialStream.open(): the port name is empty; give a port such as '/dev/ttyACM0' "
                                 "(VelkorHardwareAPI.list_ports() or `velkor ports` lists them)")


@pytest.mark.parametrize("make", [api.SerialStream, api.SerialStream.open])
def test_a_port_name_with_a_nul_byte_is_refused(pty_device, make):
    with pytest.raises(ValueError, match="NUL"):
        make(pty_device.path + "\0trailing")
    with pytest.raises(ValueError, match="NUL"):
        make(pty_device.path.encode() + b"\0")
    # Nothing kept the port: it opens at once.
    assert api.SerialStream.open(pty_device.path).is_open


@pytest.mark.parametrize("port", [None, 3, 1.5])
def test_open_refuses_what_is_no_name(port):
    with pytest.raises(TypeError):
        api.SerialStream.open(port)

"""The velkor command, velkor_sim and our messages as a Windows user meets them."""

import subprocess
import sys

import pytest

import VelkorHardwareAPI as api


def velkor(*args):
    return subprocess.run([sys.executable, "-m", "velkor_cli", *args], capture_output=True, text=True,
                          timeout=120, stdin=subprocess.DEVNULL)


def test_our_messages_end_without_the_system_texts_line_end(capfd):
    with pytest.raises(OSError) as raised:
        api.SerialStream.open("COM199")
    message = str(raised.value)
    assert message.endswith(".)") and "\r" not in message and "\n" not in message, repr(message)
    # The [err] lines keep the system's text as it is.
    lines = raised.value.error_lines
    assert lines and all(line.endswith(".\r\n") or line.endswith(".\r\n\n") for line in lines), lines

    out = velkor("info", "COM199")
    assert out.returncode == 1
    assert out.stderr.startswith("velkor: cannot open COM199: no such port ([2] ")
    assert out.stderr.endswith(".)\n") and "\r" not in out.stderr, repr(out.stderr)


@pytest.mark.parametrize("command", ["ports", "detect", "info", "monitor"])
def test_help_shows_windows_port_names_and_no_device_tree_options(command):
    out = velkor(command, "--help")
    assert out.returncode == 0, out.stderr
    assert "--sys-root" not in out.stdout and "--dev-root" not in out.stdout
    assert "/dev/" not in out.stdout and "ttyACM" not in out.stdout


def test_velkor_ports_shows_a_port_of_a_driver_detect_does_not_know():
    import winreg

    path = r"HARDWARE\DEVICEMAP\SERIALCOMM"
    try:
        key = winreg.CreateKeyEx(winreg.HKEY_LOCAL_MACHINE, path, 0, winreg.KEY_SET_VALUE)
    except PermissionError:
        pytest.skip("the serial-port map is not writable here")
    with key:
        winreg.SetValueEx(key, r"\Device\VCP0", 0, winreg.REG_SZ, "COM47")
    try:
        out = velkor("ports")
    finally:
        with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, path, 0, winreg.KEY_SET_VALUE) as key:
            winreg.DeleteValue(key, r"\Device\VCP0")
    assert out.returncode == 0, out.stderr
    assert any(line.split()[:2] == ["COM47", "unknown"] for line in out.stdout.splitlines()), out.stdout


def test_the_simulator_says_it_runs_on_posix_only():
    import velkor_sim

    with pytest.raises(velkor_sim.SimulatorError, match="not on Windows"):
        with velkor_sim.simulator():
            pass

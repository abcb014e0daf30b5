"""The module under Windows Python (run by scripts/test-windows.sh under Wine).

The script maps COM ports onto Linux pseudo-terminals served by the simulator,
names them in the environment and puts the built module on PYTHONPATH.
"""

import json
import os

import pytest


def port(variable):
    name = os.environ.get(variable)
    if not name:
        pytest.skip(f"{variable} is not set: run scripts/test-windows.sh")
    return name


@pytest.fixture
def arm_port():
    return port("VELKOR_TEST_ARM_PORT")


@pytest.fixture
def handle_port():
    return port("VELKOR_TEST_HANDLE_PORT")


@pytest.fixture
def usb_cdc_arm_port():
    """The arm's port listed in the serial-port map as a USB CDC port, as its
    driver would list it. Writing the map needs an administrator, or Wine."""
    import winreg

    name = port("VELKOR_TEST_ARM_PORT")
    value = r"\Device\USBSER000"
    try:
        key = winreg.CreateKeyEx(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM", 0,
                                 winreg.KEY_SET_VALUE)
    except PermissionError:
        pytest.skip("the serial-port map is not writable here")
    with key:
        winreg.SetValueEx(key, value, 0, winreg.REG_SZ, name)
    yield name
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM", 0,
                        winreg.KEY_SET_VALUE) as key:
        winreg.DeleteValue(key, value)


@pytest.fixture
def linux_surface():
    path = port("VELKOR_TEST_SURFACE")
    with open(path, encoding="utf-8") as f:
        return json.load(f)

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from emulator import PtyDevice  # noqa: E402

import VelkorHardwareAPI  # noqa: E402


@pytest.fixture
def pty_device():
    device = PtyDevice()
    yield device
    device.close()


@pytest.fixture
def stream(pty_device):
    return VelkorHardwareAPI.SerialStream(pty_device.path)

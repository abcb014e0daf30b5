import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from emulator import PtyDevice  # noqa: E402
from fault_device import FaultDevice  # noqa: E402

import VelkorHardwareAPI  # noqa: E402


@pytest.fixture
def pty_device():
    device = PtyDevice()
    yield device
    device.close()


@pytest.fixture
def stream(pty_device):
    return VelkorHardwareAPI.SerialStream(pty_device.path)


@pytest.fixture
def process_device():
    """A scripted device in another process: it answers while a call keeps the interpreter lock."""
    device = FaultDevice("script")
    yield device
    device.close()


@pytest.fixture
def process_stream(process_device):
    return VelkorHardwareAPI.SerialStream(process_device.path)

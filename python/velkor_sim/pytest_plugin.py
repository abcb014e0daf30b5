"""Pytest fixtures that run the device simulator for a test.

Take them into a test suite with ``pytest_plugins = ["velkor_sim.pytest_plugin"]``
in the top-level conftest.py (or ``-p velkor_sim.pytest_plugin``):

- ``velkor_sim``: a factory, ``velkor_sim(device="arm", **options)`` returns the
  path of a fresh simulator's line; every simulator it started is stopped after
  the test.
- ``velkor_simulator``: the same factory returning the ``Simulator`` itself, for
  tests that inject faults or push the arm while it runs (``sim.path`` is the line).
- ``velkor_arm_port`` / ``velkor_handle_port``: the line of a simulated arm or
  handle with default options.
"""

import pytest

from velkor_sim import Simulator


@pytest.fixture
def velkor_simulator():
    started = []

    def start(device="arm", **options):
        sim = Simulator(device, **options)
        started.append(sim)
        return sim

    yield start
    for sim in reversed(started):
        sim.stop()


@pytest.fixture
def velkor_sim(velkor_simulator):
    def start(device="arm", **options):
        return velkor_simulator(device, **options).path

    return start


@pytest.fixture
def velkor_arm_port(velkor_sim):
    return velkor_sim("arm")


@pytest.fixture
def velkor_handle_port(velkor_sim):
    return velkor_sim("handle")

"""The documentation's frame picture is drawn from the same kinematics as the module computes."""

import os
import struct
import sys

import pytest

import VelkorHardwareAPI as api

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "docs"))
import frame_figure  # noqa: E402


@pytest.mark.parametrize("angles", [(10, -20, 40), (0, -30, 30), (-45, -60, 10), (30, 0, 60)])
def test_the_figures_positions_are_the_modules_host_computed_ones(pty_device, stream, angles):
    arm = api.Vorlan3(stream, 0.6)
    pty_device.expect(13, b"\x1b" + struct.pack("<6f", *angles, 0, 0, 0))
    position, _ = arm.get_end_effector_position(False)
    assert arm.last_error is None
    assert frame_figure.position(*angles) == pytest.approx(position, abs=1e-5)


def test_the_figure_is_an_svg_with_both_views_and_the_workspace():
    svg = frame_figure.svg()
    assert svg.startswith("<svg") and svg.rstrip().endswith("</svg>")
    assert svg.count("<circle") > 1000
    (x0, x1), (y0, y1), (z0, z1) = frame_figure.extent()
    assert 0.15 < z0 < z1 < 0.35 and x0 < 0 < x1

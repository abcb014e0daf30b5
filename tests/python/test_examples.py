"""The examples, run as a newcomer runs them: bad arguments, --help, Ctrl-C, and a real arm's port."""

import os
import select
import signal
import subprocess
import sys

import pytest

pytest_plugins = ["velkor_sim.pytest_plugin"]

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
ALL = ["haptic_loop.py", "servo_wall_and_sphere.py", "handle_callbacks.py"]
# As from a shell in the foreground: Ctrl-C is not ignored there, whatever this test process inherited.
FOREGROUND = ("import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
              "sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')")


def example(name, *args, timeout=120):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("args, message", [
    (["--seconds", "-1"], "argument --seconds: -1 is out of range"),
    (["--rate", "0"], "argument --rate: 0 is out of range"),
    (["--rate", "nan"], "argument --rate: nan is out of range"),
    (["--seconds", "soon"], "argument --seconds: not a number: 'soon'"),
])
def test_bad_arguments_end_with_one_line(name, args, message):
    out = example(name, *args)
    assert (out.returncode, out.stdout) == (2, "")
    assert out.stderr.count("\n") == 1 and message in out.stderr, out.stderr


@pytest.mark.parametrize("name", ALL)
def test_help_shows_the_defaults(name):
    out = example(name, "--help")
    assert out.returncode == 0
    assert "(default: 1.0)" in out.stdout or "(default: 3.0)" in out.stdout


@pytest.mark.parametrize("name", ["haptic_loop.py", "servo_wall_and_sphere.py"])
def test_ctrl_c_ends_with_one_line(name):
    process = subprocess.Popen([sys.executable, "-c", FOREGROUND, os.path.join(EXAMPLES, name), "--seconds", "60"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert select.select([process.stderr], [], [], 60)[0], "the example did not start within 60 s"
        started = process.stderr.readline().decode()
        assert "Ctrl-C stops" in started
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 130
    assert err.decode() == "interrupted\n"


@pytest.mark.parametrize("name", ["haptic_loop.py", "servo_wall_and_sphere.py"])
def test_no_artificial_hand_force_on_a_real_arms_port(velkor_sim, name):
    # A simulated arm reached through --port stands for a real one: nothing may push it but the wall.
    out = example(name, "--port", velkor_sim("arm"), "--seconds", "0.6")
    assert out.returncode == 0, out.stderr
    report = dict(line.split(None, 1) for line in out.stdout.splitlines())
    if name == "haptic_loop.py":
        # The tool stays where it started, 15 mm before the wall.
        assert report["penetration"].startswith("final -15.00 mm"), report["penetration"]
    else:
        assert "pushed by hand" in report["wall"] and "-15.00 mm in" in report["wall"], report["wall"]
        assert "at rest" not in report


def test_on_the_simulator_a_hand_pushes_the_tool_into_the_wall():
    out = example("haptic_loop.py", "--seconds", "1")
    assert out.returncode == 0, out.stderr
    final = dict(line.split(None, 1) for line in out.stdout.splitlines())["penetration"]
    depth_mm = float(final.split()[1])
    assert 0.5 < depth_mm < 10, final


def test_record_and_plot_writes_the_recording_and_its_figure(tmp_path):
    pytest.importorskip("matplotlib")
    run, png = tmp_path / "run.mcap", tmp_path / "run.png"
    out = example("record_and_plot.py", "--seconds", "1", "-o", str(run), "--plot", str(png))
    assert out.returncode == 0, out.stderr
    assert "0 lost" in out.stdout
    assert run.stat().st_size > 0 and png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

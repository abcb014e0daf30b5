"""velkor-sim's command line, as a Unix user meets it."""

import subprocess

import pytest

import velkor_sim


def sim(*args):
    return subprocess.run([velkor_sim.find_simulator(), *args], capture_output=True, text=True, timeout=30,
                          stdin=subprocess.DEVNULL)


def test_help_and_version_exit_0_on_stdout():
    out = sim("--help")
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout.startswith("usage: velkor-sim --device arm|handle")
    assert "--stream-status HZ" in out.stdout and "--version" in out.stdout
    out = sim("-V")
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout.startswith("velkor-sim ") and out.stdout.count("\n") == 1


@pytest.mark.parametrize("args,message", [
    ([], "--device is required"),
    (["--foo"], "unknown option '--foo'"),
    (["-x", "--device", "arm"], "unknown option '-x'"),
    (["--device"], "option '--device' needs a value"),
    (["--device", "toaster"], "unknown device 'toaster'"),
    (["--device=arm", "--notify=fast"], "--notify needs a rate in Hz, not 'fast'"),
    (["--device", "arm", "--latency-us", "-5"], "--latency-us needs a number"),
    (["--device", "arm", "--stream-status", "4"], "--stream-status is for --device handle"),
    (["--device", "arm", "extra"], "unexpected argument 'extra'"),
])
def test_usage_errors_exit_2_and_make_no_line(args, message):
    out = sim(*args)
    assert out.returncode == 2
    assert out.stdout == ""
    first, *rest = out.stderr.splitlines()
    assert first.startswith("velkor-sim: ") and message in first
    assert rest[-1] == "Try 'velkor-sim --help' for more information."


@pytest.mark.parametrize("args", [["--device=handle", "--stream-status=2"], ["-d", "arm", "--notify", "5"]])
def test_both_option_forms_start_a_device(args):
    process = subprocess.Popen([velkor_sim.find_simulator(), *args], stdout=subprocess.PIPE, text=True,
                               stdin=subprocess.DEVNULL)
    try:
        assert process.stdout.readline().startswith("/dev/pts/")
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0
        process.stdout.close()

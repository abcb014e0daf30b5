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
    for option in ("--baud N", "--fault N:KIND", "--fault-rate P", "--fault-seed S", "--fault-kinds LIST",
                   "--hand FX,FY,FZ", "--echo", "--control"):
        assert option in out.stdout
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
    (["-d", "arm", "--baud", "0"], "--baud needs a rate in baud"),
    (["-d", "arm", "--fault", "0:silent"], "--fault needs REQUEST:KIND"),
    (["-d", "arm", "--fault", "late"], "--fault needs REQUEST:KIND"),
    (["-d", "arm", "--fault", "3:sideways"], "unknown fault kind 'sideways'"),
    (["-d", "arm", "--fault", "3:late:at=2"], "fault 'late' takes no parameter 'at'"),
    (["-d", "arm", "--fault", "3:late:delay=-1"], "bad value in 'delay=-1'"),
    (["-d", "arm", "--fault", "3:split:gap"], "bad value in 'gap'"),
    (["-d", "arm", "--fault-rate", "1.5"], "--fault-rate needs a probability"),
    (["-d", "arm", "--fault-seed", "-3"], "--fault-seed needs a whole number"),
    (["-d", "arm", "--fault-kinds", "late,,split"], "unknown fault kind ''"),
    (["-d", "arm", "--hand", "1,2"], "--hand needs FX,FY,FZ"),
    (["-d", "arm", "--hand", "nan,0,0"], "--hand needs FX,FY,FZ"),
    (["-d", "handle", "--hand", "1,0,0"], "--hand is for --device arm"),
    (["-d", "handle", "--echo"], "--echo is for --device arm"),
])
def test_usage_errors_exit_2_and_make_no_line(args, message):
    out = sim(*args)
    assert out.returncode == 2
    assert out.stdout == ""
    first, *rest = out.stderr.splitlines()
    assert first.startswith("velkor-sim: ") and message in first
    assert rest[-1] == "Try 'velkor-sim --help' for more information."


@pytest.mark.parametrize("args", [
    ["--device=handle", "--stream-status=2"], ["-d", "arm", "--notify", "5"],
    ["-d", "arm", "--baud", "9600", "--fault", "2:late:delay=0.1", "--fault", "4:split:at=3:gap=0.2",
     "--fault-rate", "0.1", "--fault-seed", "18446744073709551615", "--fault-kinds", "silent,garbage:bytes=4",
     "--hand=-1.5,0,2e1", "--echo"],
])
def test_both_option_forms_start_a_device(args):
    process = subprocess.Popen([velkor_sim.find_simulator(), *args], stdout=subprocess.PIPE, text=True,
                               stdin=subprocess.DEVNULL)
    try:
        assert process.stdout.readline().startswith("/dev/pts/")
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0
        process.stdout.close()


def test_with_control_the_end_of_its_input_stops_the_simulator():
    process = subprocess.Popen([velkor_sim.find_simulator(), "-d", "arm", "--control"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline().startswith("/dev/pts/")
        process.stdin.write("ping\nstats\n")
        process.stdin.close()
        assert process.wait(timeout=10) == 0
        assert process.stdout.read().splitlines() == ["ok", "ok requests=0 refused=0 faults=0 waiting=0 connected=0 plugged=1"]
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stdout.close()

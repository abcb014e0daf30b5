"""The velkor command, run as a user runs it, on fake port trees whose lines
lead to the simulator or to silent pty devices."""

import json
import os
import select
import signal
import subprocess
import sys
import time

import pytest

from emulator import PtyDevice
from fake_sysfs import FakeSysfs

pytest_plugins = ["velkor_sim.pytest_plugin"]


# As from a shell in the foreground: Ctrl-C is not ignored there, whatever this
# test process inherited.
FOREGROUND = ("import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
              "sys.argv[0] = 'velkor'; runpy.run_module('velkor_cli', run_name='__main__')")


def start_velkor(*args):
    return subprocess.Popen([sys.executable, "-c", FOREGROUND, *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def velkor(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "velkor_cli", *args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


@pytest.fixture
def tree():
    t = FakeSysfs()
    yield t
    t.close()


def roots(tree):
    return ["--sys-root", tree.sys_root, "--dev-root", tree.dev_root]


def test_ports_lists_name_kind_and_vendor(tree):
    tree.add_usb_serial("ttyUSB0", "cp210x", "10c4")
    tree.add_cdc_acm("ttyACM0", "16c0")
    tree.add_rfcomm("rfcomm0")
    tree.add_virtual_tty("tty0")
    tree.add_cdc_acm("ttyACM1", "2fe3", dev_node=False)
    expected = [
        {"name": tree.dev_path("rfcomm0"), "kind": "bluetooth", "vendor": None},
        {"name": tree.dev_path("ttyACM0"), "kind": "usb_cdc", "vendor": "16C0"},
        {"name": tree.dev_path("ttyUSB0"), "kind": "serial", "vendor": "10C4"},
    ]

    out = velkor("ports", "--json", *roots(tree))
    assert (out.returncode, out.stderr) == (0, "")
    assert json.loads(out.stdout) == expected

    out = velkor("ports", *roots(tree))
    assert out.returncode == 0
    rows = [line.split() for line in out.stdout.splitlines()]
    assert rows == [
        [tree.dev_path("rfcomm0"), "Bluetooth", "not", "on", "USB"],
        [tree.dev_path("ttyACM0"), "USB", "CDC", "USB", "vendor", "16C0"],
        [tree.dev_path("ttyUSB0"), "serial", "USB", "vendor", "10C4"],
    ]
    assert out.stderr == "3 ports found\n"


@pytest.mark.parametrize("command", ["ports", "detect"])
def test_an_unreadable_tree_fails_with_a_message(tree, command):
    out = velkor(command, "--sys-root", os.path.join(tree.root, "missing"))
    assert out.returncode == 1
    assert out.stdout == ""
    assert out.stderr == f"velkor: cannot list serial ports: {tree.root}/missing/class/tty: No such file or directory\n"


def test_detect_reports_each_probed_port_and_the_devices_found(tree, velkor_sim):
    tree.add_cdc_acm("ttyACM0", "16c0")
    tree.add_cdc_acm("ttyACM1", "16c0")
    tree.add_cdc_acm("ttyACM2", "2fe3")
    tree.add_usb_serial("ttyUSB0", "ch341", "1a86")
    tree.attach("ttyACM0", velkor_sim("arm"))
    tree.attach("ttyUSB0", velkor_sim("handle"))
    tree.attach("ttyACM1", velkor_sim("handle"))  # a handle on an arm's kind of port

    out = velkor("detect", "--json", "--device", "vorlan3", "--device", "wired-handle", *roots(tree))
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {
        "vorlan3": [tree.dev_path("ttyACM0")],
        "wired_handle": [tree.dev_path("ttyUSB0")],
    }
    # The handle's wrong reply to the arm's probe logs lines, shown only with --verbose. The
    # ports of a kind are probed at once: their lines come as their outcomes do.
    lines = [line.rsplit(" (", 1)[0] for line in out.stderr.splitlines()]
    assert lines[0] == "vorlan3: probing 2 ports at once"
    assert sorted(lines[1:3]) == [f"vorlan3: probing {tree.dev_path('ttyACM0')} ... found",
                                  f"vorlan3: probing {tree.dev_path('ttyACM1')} ... no answer"]
    assert lines[3:] == ["wired_handle: probing 1 port at once",
                         f"wired_handle: probing {tree.dev_path('ttyUSB0')} ... found"]

    out = velkor("detect", "--device", "handle", *roots(tree))
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"handle\t{tree.dev_path(n)}" for n in ("ttyACM2", "ttyUSB0")]
    # Known handle vendors narrow the search: the 16C0 ports are not tried.
    assert [line.rsplit(" (", 1)[0] for line in out.stderr.splitlines()] == [
        "handle: probing 1 port at once",
        f"handle: {tree.dev_path('ttyACM2')} reported without probing",
        f"handle: probing {tree.dev_path('ttyUSB0')} ... found",
    ]


def test_error_lines_show_with_verbose_after_the_progress_line(tree):
    tree.add_cdc_acm("ttyACM0", "16c0")  # its device node is a plain file, not a terminal
    port = tree.dev_path("ttyACM0")
    probing = f"vorlan3: probing {port} ... no answer ("
    out = velkor("detect", "--device", "vorlan3", *roots(tree))
    assert out.returncode == 1
    assert [line.split("(")[0] for line in out.stderr.splitlines()] == [
        "vorlan3: probing 1 port at once", probing.split("(")[0]]

    out = velkor("detect", "--device", "vorlan3", "--verbose", *roots(tree))
    lines = out.stderr.splitlines()[1:]
    assert out.returncode == 1 and lines[0].startswith(probing), lines
    assert len(lines) > 1 and all(line.startswith("[err] ") for line in lines[1:]), lines
    assert f"'{port}': [25] " in lines[1]

    out = velkor("info", port)
    assert (out.returncode, out.stdout) == (1, "")
    assert out.stderr == f"velkor: cannot open {port}: not a serial port\n"
    out = velkor("info", port, "-v")
    assert out.returncode == 1
    assert out.stderr.splitlines()[0].startswith("[err] Library/src/SerialStream:39> unable to open port")
    assert out.stderr.endswith(f"velkor: cannot open {port}: not a serial port\n")


def test_detect_finding_nothing_exits_1(tree):
    tree.add_rfcomm("rfcomm0")
    out = velkor("detect", "--device", "vorlan3", *roots(tree))
    assert (out.returncode, out.stdout) == (1, "")
    assert out.stderr == "vorlan3: no candidate ports\n"
    out = velkor("detect", "--quiet", "--json", "--device", "vorlan3", *roots(tree))
    assert (out.returncode, json.loads(out.stdout), out.stderr) == (1, {"vorlan3": []}, "")


def test_a_machine_without_serial_ports_is_nothing_found(tree):
    cases = [
        (("ports",), 0, "", "no serial ports found\n"),
        (("detect",), 1, "", "no serial ports found\n"),
        (("detect", "--json", "--quiet", "--device", "handle"), 1, '{\n  "handle": []\n}\n', ""),
    ]
    for args, code, stdout, stderr in cases:
        out = velkor(*args, *roots(tree))
        assert (out.returncode, out.stdout, out.stderr) == (code, stdout, stderr), args


def test_ctrl_c_stops_detect_during_the_probe_of_a_silent_port(tree):
    silent = PtyDevice()
    try:
        tree.add_cdc_acm("ttyACM0", "16c0")
        tree.attach("ttyACM0", silent.path)
        process = start_velkor("detect", "--device", "vorlan3", *roots(tree))
        # The wake-up byte shows the probe is under way; a silent port keeps it
        # busy until the probe limit (3 s).
        assert silent.wait_written(1, timeout=20.0)
        interrupted = time.monotonic()
        process.send_signal(signal.SIGINT)
        process.wait(timeout=20)
        stopped = time.monotonic() - interrupted
        err = process.stderr.read().decode()
        process.stdout.close()
        process.stderr.close()
        # Killed by its own SIGINT, as Unix tools end on Ctrl-C: the shell says 130.
        assert process.returncode == -signal.SIGINT
        # The interrupted probe ended its line; the process did not just die inside it.
        assert f"vorlan3: probing {tree.dev_path('ttyACM0')} ... interrupted\n" in err
        assert stopped < 2.5, f"took {stopped:.1f} s to stop"
    finally:
        silent.close()


def test_info_prints_the_identity_of_an_arm_and_of_a_handle(velkor_sim):
    out = velkor("info", velkor_sim("arm"), "--json")
    assert out.returncode == 0, out.stderr
    record = json.loads(out.stdout)
    assert record["device"] == "vorlan3" and record["device_model_number"] == 4
    assert len(record["device_id_ext"]) == 36

    out = velkor("info", velkor_sim("handle"), "--device", "handle")
    assert out.returncode == 0, out.stderr
    fields = dict(line.split(None, 1) for line in out.stdout.splitlines())
    assert fields["device"] == "handle"
    assert fields["device_id"] == "0x0521"


def test_info_says_when_nothing_answers():
    silent = PtyDevice()
    try:
        for device, text in (("vorlan3", "no arm answered on "), ("handle", "no handle answered on ")):
            out = velkor("info", silent.path, "--device", device, "--timeout", "0.2")
            assert out.returncode == 1
            assert out.stdout == ""
            assert f"velkor: {text}{silent.path}" in out.stderr
    finally:
        silent.close()


def test_monitor_prints_samples_at_the_rate(velkor_sim):
    out = velkor("monitor", velkor_sim("arm"), "--rate", "50", "--count", "5", "--json")
    assert out.returncode == 0, out.stderr
    samples = [json.loads(line) for line in out.stdout.splitlines()]
    assert len(samples) == 5
    assert all(len(s["position"]) == 3 and len(s["velocity"]) == 3 for s in samples)
    times = [s["t"] for s in samples]
    assert times == sorted(times) and times[-1] >= 4 / 50 * 0.9

    out = velkor("monitor", velkor_sim("handle"), "--device", "handle", "--count", "2", "--rate", "20")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 2 and all("quaternion [" in line for line in lines)


def test_monitor_stops_at_ctrl_c(velkor_sim):
    process = start_velkor("monitor", velkor_sim("arm"), "--rate", "20")
    ready = select.select([process.stdout], [], [], 20)[0]
    assert ready, "no sample within 20 s"
    process.send_signal(signal.SIGINT)
    process.wait(timeout=20)
    process.stdout.close()
    process.stderr.close()
    assert process.returncode == -signal.SIGINT


@pytest.mark.parametrize("args,message", [
    ([], "the following arguments are required: COMMAND"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["info"], "the following arguments are required: PORT"),
    (["monitor", "/dev/null", "--rate", "0"], "rate must be above 0"),
    (["monitor", "/dev/null", "--rate", "nan"], "rate must be above 0"),
    (["monitor", "/dev/null", "--count", "0"], "count must be at least 1"),
    (["detect", "--device", "toaster"], "invalid choice: 'toaster'"),
    (["detect", "--limit", "-1"], "seconds must be above 0"),
    (["ports", "--frob"], "unrecognized arguments: --frob"),
])
def test_usage_errors_exit_2_before_touching_a_port(args, message):
    out = velkor(*args)
    assert out.returncode == 2
    assert out.stdout == ""
    assert message in out.stderr and out.stderr.startswith("usage: velkor")


def test_help_and_version_exit_0():
    out = velkor("--help")
    assert out.returncode == 0 and "ports" in out.stdout and "monitor" in out.stdout
    out = velkor("--version")
    assert out.returncode == 0 and out.stdout.startswith("velkor ")
    for command in ("ports", "detect", "info", "monitor"):
        out = velkor(command, "--help")
        assert out.returncode == 0 and out.stdout.startswith(f"usage: velkor {command}")


def test_monitor_exits_1_when_nothing_came_back():
    silent = PtyDevice()
    try:
        out = velkor("monitor", silent.path, "--count", "2", "--timeout", "0.1", "--rate", "50")
    finally:
        silent.close()
    assert out.returncode == 1 and out.stdout == ""
    assert f"velkor: nothing came back from {silent.path} in 2 exchanges" in out.stderr
    assert "try --device handle" in out.stderr


def test_monitor_takes_a_reading_that_is_no_number_as_a_failed_exchange():
    import struct
    nan = float("nan")
    arm = PtyDevice()
    try:
        for state in ((nan, 0.5, 1.0, 0.0, float("inf"), 0.0), (0.25, 0.5, 1.0, 0.0, 0.0, 0.0)):
            arm.expect(13, b"\x2b" + struct.pack("<6f", *state))
        out = velkor("monitor", arm.path, "--count", "2", "--rate", "50", "--json")
    finally:
        arm.close()
    # No arm reads NaN: the first exchange fails (and so the run), the second is printed as read.
    assert out.returncode == 1, out.stderr
    assert "NaN" not in out.stdout and "Infinity" not in out.stdout
    assert "bad_reply" in out.stderr
    samples = [json.loads(line) for line in out.stdout.splitlines()]
    assert [s["position"] for s in samples] == [[0.25, 0.5, 1.0]]


def test_info_on_what_is_no_serial_port_says_so(tmp_path):
    regular = tmp_path / "notes.txt"
    regular.write_text("x")
    for path in (str(tmp_path), str(regular)):
        out = velkor("info", path)
        assert (out.returncode, out.stdout) == (1, "")
        assert out.stderr == f"velkor: cannot open {path}: not a serial port\n"
    out = velkor("info", str(tmp_path / "missing"))
    assert out.returncode == 1 and "no such port" in out.stderr


def test_info_on_a_busy_port_says_what_to_do(velkor_sim):
    import VelkorHardwareAPI as api
    port = velkor_sim("arm")
    holder = api.SerialStream.open(port)
    try:
        out = velkor("info", port)
    finally:
        holder.close()
    assert out.returncode == 1
    assert f"velkor: cannot open {port}: the port is in use; another program has it open" in out.stderr
    assert velkor("info", port).returncode == 0


@pytest.mark.parametrize("device, asked, suggested", [("handle", "vorlan3", "handle"), ("arm", "handle", "vorlan3")])
def test_info_with_the_wrong_device_kind_suggests_the_other(velkor_sim, device, asked, suggested):
    out = velkor("info", velkor_sim(device), "--device", asked, "--timeout", "0.3")
    assert out.returncode == 1
    assert f"try --device {suggested}" in out.stderr


def test_monitor_help_states_the_rate_range():
    out = velkor("monitor", "--help")
    assert "above 0 and at most 1000" in " ".join(out.stdout.split())


# Which common options each subcommand takes, as the command guide's table says.
COMMON_OPTIONS = {
    "ports": {"--json", "--quiet", "--verbose"},
    "detect": {"--json", "--quiet", "--verbose"},
    "info": {"--json", "--verbose"},
    "monitor": {"--json", "--verbose"},
    "record": {"--json", "--quiet", "--verbose"},
    "plot": {"--json", "--quiet", "--verbose"},
    "view": {"--json", "--quiet", "--verbose"},
    "serve": {"--quiet", "--verbose"},
}


@pytest.mark.parametrize("command", sorted(COMMON_OPTIONS))
def test_every_subcommand_takes_the_common_options_its_guide_lists(command):
    out = velkor(command, "--help")
    assert out.returncode == 0
    offered = {option for option in ("--json", "--quiet", "--verbose") if option in out.stdout}
    assert offered == COMMON_OPTIONS[command]
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "cli.rst")) as f:
        guide = f.read()
    row = next(line for line in guide.splitlines() if line.startswith(f"   * - ``{command}``"))
    assert row, f"docs/cli.rst lists the common options of {command}"


@pytest.mark.parametrize("args, usage, message", [
    (["record", "-o", "x.mcap", "--frob"], "usage: velkor record", "unrecognized arguments: --frob"),
    (["plot", "x.mcap", "-o", "x.png", "--frob"], "usage: velkor plot", "unrecognized arguments: --frob"),
    (["serve", "--name", "a", "--json"], "usage: velkor serve", "unrecognized arguments: --json"),
    (["info", "/dev/null", "--quiet"], "usage: velkor info", "unrecognized arguments: --quiet"),
    (["view", "--frob"], "usage: velkor view", "unrecognized arguments: --frob"),
])
def test_a_subcommands_usage_error_shows_that_subcommands_usage(args, usage, message):
    out = velkor(*args)
    assert (out.returncode, out.stdout) == (2, "")
    assert out.stderr.startswith(usage) and message in out.stderr


def test_record_and_plot_print_json_when_asked(tmp_path):
    recording, picture = str(tmp_path / "run.mcap"), str(tmp_path / "run.png")
    out = velkor("record", "--seconds", "0.5", "-o", recording, "--json", "--quiet", timeout=120)
    assert out.returncode in (0, 1), out.stderr
    summary = json.loads(out.stdout)
    assert summary["path"] == recording and summary["messages"] > 0 and "period_p99_us" in summary["stats"]
    assert out.stderr == ""
    out = velkor("plot", recording, "-o", picture, "--size", "400x300", "--json", timeout=120)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {"output": picture, "width": 400, "height": 300}
    assert os.path.getsize(picture) > 0

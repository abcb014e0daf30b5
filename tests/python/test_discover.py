"""discover(): every candidate probed at once, judged by what the ports saw
and what came back, on fake port trees with devices on pseudo-terminals."""

import _thread
import threading
import time

import pytest

import VelkorHardwareAPI as api
from emulator import PtyDevice
from fake_sysfs import FakeSysfs

ARM_INFO = bytes([0x0B, 0x34, 0x12, 4, 2, 5]) + bytes(range(16))
LIMIT = 1.0


@pytest.fixture
def tree():
    t = FakeSysfs()
    yield t
    t.close()


@pytest.fixture
def lines():
    made = []

    def make(count):
        for _ in range(count):
            made.append(PtyDevice())
        return made[-count:]

    yield make
    for line in made:
        line.close()


def assert_every_port_closed(paths):
    # A port a probe still held would be refused as in use.
    for path in paths:
        api.SerialStream.open(path).close()


def test_silent_ports_cost_one_limit_and_the_result_keeps_the_detect_order(tree, lines):
    silent = lines(4)
    slow_arm, quick_arm = lines(2)
    names = ["ttyACM0", "ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4", "ttyACM5"]
    for name, line in zip(names, [slow_arm, silent[0], silent[1], quick_arm, silent[2], silent[3]]):
        tree.add_cdc_acm(name, "16c0")
        tree.attach(name, line.path)
    slow_arm.expect(1, ARM_INFO, delay=0.3)  # answers after the later port's arm
    quick_arm.expect(1, ARM_INFO)
    reports = []
    caller = threading.get_ident()

    def progress(port, outcome, seconds):
        reports.append((port, outcome, threading.get_ident() == caller, seconds))

    # Another Python thread keeps running while the probes wait.
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.wait(0.005):
            ticks.append(time.monotonic())

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        begun = time.monotonic()
        found = api.discover("vorlan3", limit=LIMIT, progress=progress, sys_root=tree.sys_root,
                             dev_root=tree.dev_root)
        ended = time.monotonic()
    finally:
        stop.set()
        ticker.join(10)

    assert found == [tree.dev_path("ttyACM0"), tree.dev_path("ttyACM3")]
    assert sorted((port, outcome) for port, outcome, _, _ in reports) == sorted(
        [(tree.dev_path(n), "found") for n in ("ttyACM0", "ttyACM3")]
        + [(tree.dev_path(n), "no answer") for n in ("ttyACM1", "ttyACM2", "ttyACM4", "ttyACM5")])
    assert all(on_caller for _, _, on_caller, _ in reports)
    # Outcomes come as they are known: both arms before the silent ports' limit.
    assert [outcome for _, outcome, _, _ in reports[:2]] == ["found", "found"]
    assert all(seconds < LIMIT for port, outcome, _, seconds in reports if outcome == "found")
    assert sum(1 for t in ticks if begun < t < ended) >= 10, "the other thread stood still"
    for line in [slow_arm, quick_arm, *silent]:
        assert line.written() == b"\x0a"  # one wake-up each, all sent
    assert_every_port_closed(tree.dev_path(n) for n in names)


def test_a_reply_after_the_limit_does_not_count_and_unprobed_vendors_are_reported(tree, lines):
    late_handle, handle = lines(2)
    tree.add_cdc_acm("ttyACM0", "2fe3")  # a vendor that makes only handles: not opened
    tree.add_usb_serial("ttyUSB0", "ch341", "1a86")
    tree.add_usb_serial("ttyUSB1", "cp210x", "10c4")
    tree.attach("ttyUSB0", late_handle.path)
    tree.attach("ttyUSB1", handle.path)
    info = bytes([0xD0, 0x05, 0x00, 0x34, 0x12, 0x07, 0x09])
    late_handle.expect(1, info, delay=1.5)
    handle.expect(1, info)
    reports = {}
    found = api.discover("handle", limit=0.8, progress=lambda p, o, s: reports.__setitem__(p, o),
                         sys_root=tree.sys_root, dev_root=tree.dev_root)
    assert reports == {tree.dev_path("ttyACM0"): "not probed", tree.dev_path("ttyUSB0"): "no answer",
                       tree.dev_path("ttyUSB1"): "found"}
    assert found == [tree.dev_path("ttyACM0"), tree.dev_path("ttyUSB1")]
    assert_every_port_closed([tree.dev_path("ttyUSB0"), tree.dev_path("ttyUSB1")])


def test_timeout_ctrl_c_and_a_raising_callback_stop_every_probe_and_close_its_port(tree, lines):
    silent = lines(3)
    arm = lines(1)[0]
    for i, line in enumerate([arm, *silent]):
        tree.add_cdc_acm(f"ttyACM{i}", "16c0")
        tree.attach(f"ttyACM{i}", line.path)
    paths = [tree.dev_path(f"ttyACM{i}") for i in range(4)]
    roots = dict(sys_root=tree.sys_root, dev_root=tree.dev_root)

    arm.expect(1, ARM_INFO)
    reports = {}
    begun = time.monotonic()
    found = api.discover("vorlan3", timeout=0.4, progress=lambda p, o, s: reports.__setitem__(p, o), **roots)
    took = time.monotonic() - begun
    assert found == [paths[0]]
    assert reports == {paths[0]: "found", **{p: "cancelled" for p in paths[1:]}}
    assert took < 2.5, f"the time-out of 0.4 s took {took:.2f} s"  # far below the 3 s limit
    assert_every_port_closed(paths)

    # Ctrl-C: the main thread's pending signal ends the call at once.
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    begun = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        api.discover("vorlan3", **roots)
    took = time.monotonic() - begun
    timer.join()
    assert took < 2.5, f"Ctrl-C after 0.3 s ended the call after {took:.2f} s"
    assert_every_port_closed(paths)

    class Refused(Exception):
        pass

    def refuse(port, outcome, seconds):
        raise Refused(port)

    arm.expect(1, ARM_INFO)
    with pytest.raises(Refused):
        api.discover("vorlan3", progress=refuse, **roots)
    assert_every_port_closed(paths)


@pytest.mark.parametrize("kwargs, error", [
    (dict(device="toaster"), ValueError),
    (dict(device="vorlan3", limit=0.0), ValueError),
    (dict(device="vorlan3", limit=float("nan")), ValueError),
    (dict(device="vorlan3", timeout=-1.0), ValueError),
    (dict(device="vorlan3", timeout=float("inf")), ValueError),
    (dict(device="vorlan3", progress=3), TypeError),
])
def test_bad_arguments_raise_before_any_port_is_touched(tree, lines, kwargs, error):
    line = lines(1)[0]
    tree.add_cdc_acm("ttyACM0", "16c0")
    tree.attach("ttyACM0", line.path)
    with pytest.raises(error):
        api.discover(sys_root=tree.sys_root, dev_root=tree.dev_root, **kwargs)
    time.sleep(0.05)
    assert line.written() == b""

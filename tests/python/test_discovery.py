import sys
import threading
import time

import pytest

import VelkorHardwareAPI as api

DETECTS = [
    ("detect_vorlan3s", "detect available vorlan3 devices"),
    ("detect_handles", "detect available handles"),
    ("detect_wired_handles", "detect available wired handles"),
    ("detect_wireless_handles", "detect available wireless handles"),
]


@pytest.mark.parametrize("name,doc", DETECTS)
def test_signature_and_docstring(name, doc):
    assert getattr(api, name).__doc__ == f"{name}() -> list[str]\n\n{doc}\n"


@pytest.mark.parametrize("name", [n for n, _ in DETECTS])
def test_takes_no_arguments(name):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(api, name)("/sys")


@pytest.mark.parametrize("name", [n for n, _ in DETECTS])
def test_returns_a_new_list_of_port_names_here(name):
    detect = getattr(api, name)
    start = time.monotonic()
    first = detect()
    second = detect()
    # Without serial hardware (the console is never a candidate) nothing is probed;
    # a generous bound catches a probe of a silent port.
    assert time.monotonic() - start < 4.0
    assert isinstance(first, list) and all(isinstance(p, str) and "\0" not in p for p in first)
    assert first == second and first is not second


@pytest.mark.parametrize("name", ["detect_vorlan3s", "detect_wireless_handles"])
def test_keeps_the_interpreter_lock(name):
    detect = getattr(api, name)
    stamps = []
    stop = threading.Event()

    def stamp():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    worker = threading.Thread(target=stamp)
    worker.start()
    try:
        time.sleep(0.01)
        shortest = float("inf")
        for _ in range(30):
            start = time.perf_counter()
            detect()
            shortest = min(shortest, time.perf_counter() - start)
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(old)
    # While a call holds the lock the other thread stamps nothing, so its stamps
    # show a pause at least as long as a call; a released lock leaves only pauses
    # of about the switch interval.
    longest_pause = max(b - a for a, b in zip(stamps, stamps[1:]))
    assert longest_pause >= 0.8 * shortest

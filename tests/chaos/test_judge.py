"""The judge catches each kind of fault in a made-up history, and passes the healthy one.

A history is what the device logged and what the program answered; each case takes the healthy
history and breaks one thing in it.
"""

import copy

import pytest

import judge

SETTINGS = dict(rate=100.0, exchange_timeout=0.01, failure_limit=2, ramp_s=0.05, reconnect=False,
                max_force=5.0, link="arm")
STEP = 5.0 / 100.0 / 0.05  # the ramp bound per cycle: 1 N


def healthy():
    """A loop started at t=1.0 ramping a push to 3 N on z, one request every 10 ms, then stop and close."""
    forces = [0.0, 1.0, 2.0, 3.0, 3.0, 3.0, 0.0]
    log, records = [], []
    for i, z in enumerate(forces):
        t = 1.0 + 0.01 * i
        n = i + 1
        log.append(["q", 1, n, t, 0x2A, 0.0, 0.0, z])
        log.append(["r", 1, n, "ok", t + 0.001, t + 0.001])
        if i < len(forces) - 1:  # the last is stop()'s zero-force exchange: no record
            records.append([i, 0.0, 0.0, z, float(n), 1.0, 0.0, 0.0, 0.0, z, 0])
    answers = [
        dict(op="loop", args=SETTINGS, t0=0.5, t1=0.5, error=None, result=1, records=[], lost=0, thread=[],
             running=False),
        dict(op="start", args={}, t0=0.99, t1=1.002, error=None, records=records, lost=0, thread=[], running=True,
             result=dict(position=[0.0, 0.0, 0.0], velocity=[1.0, 1.0, 0.0], force=[0.0, 0.0, 0.0], cycle=0,
                         holding=False, error=None)),
        dict(op="stop", args={}, t0=1.055, t1=1.065, error=None, result=None, records=[], lost=0, thread=[],
             running=False),
        dict(op="close", args={}, t0=1.07, t1=1.08, error=None, result=None, records=[], lost=0, thread=[],
             running=False),
    ]
    return log, answers


def judged(log, answers):
    return judge.Judge({}, log, answers, []).judge(exit_time=2.0)


def late_replies(log, answers):
    # Every reply from request 2 on comes after the time-out, yet the loop goes on pushing.
    for entry in log:
        if entry[0] == "r" and entry[2] >= 2:
            entry[3], entry[5] = "late", entry[5] + 0.05


def foreign_reading(log, answers):
    # Cycle 3 reports the reply to request 3 (cycle 2's) as its own.
    answers[1]["records"][3][4] = 3.0
    answers[1]["records"][3][3] = 2.0


def jump(log, answers):
    for entry in log:
        if entry[0] == "q" and entry[2] == 2:
            entry[7] = 2.5


def force_left_on(log, answers):
    del log[-2:]  # stop()'s zero-force exchange never came


def non_finite(log, answers):
    answers[1]["records"][2][1] = float("nan")


def made_up_start(log, answers):
    answers[1]["result"]["velocity"] = [0.0, 0.0, 0.0]


def lease_breach(log, answers):
    log.append(["q", 1, 99, 1.03, 0x2A, judge.MARK[0], judge.MARK[1], -0.001])


@pytest.mark.parametrize("fault,expected", [
    (None, None),
    (late_replies, "watchdog:"),
    (foreign_reading, "took the reply to request 3"),
    (jump, "ramp:"),
    (force_left_on, "zero last:"),
    (non_finite, "reported a good reading with position"),
    (made_up_start, "start() of run 1 returned a state"),
    (lease_breach, "lease:"),
])
def test_judge_finds_each_fault_and_nothing_in_a_healthy_history(fault, expected):
    log, answers = copy.deepcopy(healthy())
    if fault is not None:
        fault(log, answers)
    findings = judged(log, answers)
    if expected is None:
        assert findings == []
    else:
        assert any(expected in f for f in findings), findings


def test_watchdog_allows_failure_limit_pushes_and_counts_an_answer_as_a_fresh_start():
    log, answers = copy.deepcopy(healthy())
    # Requests 3 and 4 unanswered (failure_limit 2): 5 may push only if 3 or 4 had been answered.
    for entry in log:
        if entry[0] == "r" and entry[2] in (3, 4):
            entry[3], entry[4], entry[5] = "silent", None, None
    assert any("watchdog: request 5 of line 1" in f for f in judged(log, answers))
    log[7][3], log[7][4], log[7][5] = "ok", 1.031, 1.031  # request 4 answered after all
    assert not any(f.startswith("watchdog") for f in judged(log, answers))

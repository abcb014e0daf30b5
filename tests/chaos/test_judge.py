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


def late_duplicate(log, answers):
    # A second copy of request 3's reply lands after request 4 went out, and cycle 3 takes it.
    log.append(["r", 1, 3, "duplicate", 1.0305, 1.0305])
    foreign_reading(log, answers)


def cut_reply(log, answers):
    # Request 3's reply is cut short and the next frame completes it: the reading is made up.
    log.append(["r", 1, 3, "truncated", 1.021, 1.021])
    answers[1]["records"][2][4] = 77.0


def duplicate_fools_the_count(log, answers):
    # A second copy of request 2's reply lands while request 3's reply is owed: the loop counts it as
    # request 3's, and cycle 3 takes request 3's late reply (after request 4 went out) as its own.
    log.append(["r", 1, 2, "duplicate", 1.0205, 1.0205])
    for entry in log:
        if entry[0] == "r" and entry[2] == 3:
            entry[3], entry[4], entry[5] = "late", 1.0305, 1.0305
    foreign_reading(log, answers)


def behind_since_a_duplicate(log, answers, chain=True):
    # A copy of request 1's reply lands while request 2's is owed and is counted as request 2's; from then
    # on each reply comes just after the next request went out, so cycles 2 and 3 take replies 2 and 3.
    # Without the chain (reply 2 in before request 3 went out) the count would have met a reply too many.
    log.append(["r", 1, 1, "duplicate", 1.0105, 1.0105])
    arrivals = {2: 1.0205 if chain else 1.012, 3: 1.0305}
    for entry in log:
        if entry[0] == "r" and entry[2] in arrivals:
            entry[3], entry[4], entry[5] = "late", arrivals[entry[2]], arrivals[entry[2]]
    for cycle in (2, 3):
        answers[1]["records"][cycle][4] = float(cycle)
        answers[1]["records"][cycle][3] = answers[1]["records"][cycle - 1][9]


@pytest.mark.parametrize("fault", [late_duplicate, cut_reply, duplicate_fools_the_count, behind_since_a_duplicate])
def test_judge_holds_nothing_against_what_no_host_can_tell(fault):
    log, answers = copy.deepcopy(healthy())
    fault(log, answers)
    assert not any(f.startswith("reading") for f in judged(log, answers))


def test_judge_finds_a_reading_behind_when_no_duplicate_explains_it():
    log, answers = copy.deepcopy(healthy())
    behind_since_a_duplicate(log, answers, chain=False)
    assert any("took the reply to request 3" in f for f in judged(log, answers))


@pytest.mark.parametrize("arrived,held_against", [
    (1.5, True),    # the earlier call's reply, late but inside its horizon (3 x 0.2 s): drained, never taken
    (1.05, True),   # whole in the queue before the call began: a stray to discard
    (1.75, False),  # past the horizon, after this call began: no host can tell
])
def test_judge_of_a_plain_call_taking_an_earlier_calls_reply(arrived, held_against):
    mark_x, mark_y = judge.MARK
    log = [["q", 1, 1, 1.0, 0x2A, mark_x, mark_y, judge.f32(-0.001)], ["r", 1, 1, "late", arrived, arrived],
           ["q", 1, 2, 1.4, 0x2A, mark_x, mark_y, judge.f32(-0.002)], ["r", 1, 2, "silent", None, None]]
    call = dict(op="plain", args={}, error=None, records=[], lost=0, thread=[], running=False)
    answers = [
        dict(call, t0=0.99, t1=1.6, result=dict(sent=[mark_x, mark_y, -0.001], position=[0.0] * 3,
                                                 velocity=[0.0] * 3)),
        dict(call, t0=1.39, t1=1.8, result=dict(sent=[mark_x, mark_y, -0.002], position=[mark_x, mark_y, -0.001],
                                                 velocity=[1.0, 1.0, 0.0])),
    ]
    findings = judge.Judge({"read_timeout": 0.2}, log, answers, []).judge(exit_time=2.0)
    assert any("returned the reply to request 1" in f for f in findings) == held_against, findings


@pytest.mark.parametrize("arrived,held_against", [
    (1.5, True),    # inside its horizon (3 x 0.2 s after 1.0): drained, never taken
    (1.75, False),  # past the horizon, after the call began: no host can tell
])
def test_judge_of_a_plain_call_taking_the_reply_to_the_zero_force_sent_on_a_reopen(arrived, held_against):
    # Request 1 is the library's own zero-force exchange (unmarked), sent as the stream was reopened.
    mark_x, mark_y = judge.MARK
    log = [["q", 1, 1, 1.0, 0x2A, 0.0, 0.0, 0.0], ["r", 1, 1, "late", arrived, arrived],
           ["q", 1, 2, 1.4, 0x2C, mark_x, mark_y, judge.f32(-0.002)], ["r", 1, 2, "silent", None, None]]
    answers = [dict(op="plain", args={}, error=None, records=[], lost=0, thread=[], running=False, t0=1.39, t1=1.8,
                    result=dict(sent=[mark_x, mark_y, -0.002], position=[0.0] * 3, velocity=[1.0, 1.0, 0.0]))]
    findings = judge.Judge({"read_timeout": 0.2}, log, answers, []).judge(exit_time=2.0)
    assert any("no request's reply" in f for f in findings) == held_against, findings


@pytest.mark.parametrize("lowered_at,held_against", [(None, True), (1.035, False)])
def test_judge_allows_one_step_down_to_a_lowered_max_force(lowered_at, held_against):
    log, answers = copy.deepcopy(healthy())
    for entry in log:
        if entry[0] == "q" and entry[2] == 6:
            entry[7] = 1.0  # from 3 N to 1 N in one cycle
    if lowered_at is not None:
        answers.insert(2, dict(op="max_force", args={"value": 1.0}, t0=lowered_at, t1=lowered_at, error=None,
                               result=1.0, records=[], lost=0, thread=[], running=True))
    findings = judge.Judge({}, log, answers, []).judge(exit_time=2.0)
    assert any("ramp: request 6" in f for f in findings) == held_against, findings


@pytest.mark.parametrize("set_before_start,held_against", [([], True), ([10.0], False), ([10.0, 5.0], True)])
def test_judge_bounds_ramps_by_the_max_force_set_before_start(set_before_start, held_against):
    # Request 2 steps 2 N: too much for max_force 5 at this rate and ramp (1 N a cycle), allowed for 10.
    log, answers = copy.deepcopy(healthy())
    for entry in log:
        if entry[0] == "q" and entry[2] == 2:
            entry[7] = 2.0
    answers[1]["records"][1][3] = answers[1]["records"][1][9] = 2.0
    for i, value in enumerate(set_before_start):
        t = 0.6 + 0.1 * i
        answers.insert(1 + i, dict(op="max_force", args={"value": value}, t0=t, t1=t, error=None, result=value,
                                   records=[], lost=0, thread=[], running=False))
    findings = judge.Judge({}, log, answers, []).judge(exit_time=2.0)
    assert any("ramp: request 2" in f for f in findings) == held_against, findings


# (how long nothing went out after request 3, when its reply came relative to request 4, held against):
# a loop that waited out its horizon (0.1 s here) and then took the late reply is the documented case
# no host can tell; inside the horizon, or a reply queued before the next request, it is a fault.
@pytest.mark.parametrize("gap,after_next,held_against", [
    (0.13, 0.002, False),
    (0.06, 0.002, True),
    (0.13, -0.003 - judge.SETTLE, True),
])
def test_judge_of_a_reply_the_loop_gave_up_as_lost(gap, after_next, held_against):
    log, answers = copy.deepcopy(healthy())
    next_t = 1.02 + gap
    for entry in log:
        if entry[0] in ("q", "r") and entry[2] >= 4:
            shift = next_t - 1.03
            if entry[0] == "q":
                entry[3] += shift
            else:
                entry[4] += shift
                entry[5] += shift
        if entry[0] == "r" and entry[2] == 3:
            entry[3], entry[4], entry[5] = "late", next_t + after_next, next_t + after_next
        if entry[0] == "r" and entry[2] == 4:
            entry[4] = entry[5] = next_t + 0.0105  # after request 5 went out: the line stays a reply behind
    answers[2]["t0"] += gap
    answers[2]["t1"] += gap
    answers[3]["t0"] += gap
    answers[3]["t1"] += gap
    foreign_reading(log, answers)
    findings = judged(log, answers)
    assert any("took the reply to request 3" in f for f in findings) == held_against, findings

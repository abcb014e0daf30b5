"""The standing chaos test, on a fixed budget of fixed seeds (about a minute).

bench/chaos.py runs it for longer with fresh seeds (and the whole space of settings); a failing
schedule prints the command that replays it.
"""

import pytest
import VelkorHardwareAPI as api

import machine

# A loop whose state says whether it is a reading (state()["valid"]) came with the exchange and servo
# timing that these seeds hold against; before it, late replies were taken for the next request's,
# ramps advanced by wall time and start() returned zeros as a reading, which these seeds find.
TIMED = "valid" in (api.ServoLoop.state.__doc__ or "")

# The settings CI draws from: devices that answer (at once, with jitter across the time-out, or not at
# all) with time-outs that a loaded machine keeps. Outside this the loop still has open findings (OPEN).
CI_SPACE = {
    "profile": ["healthy", "jittery", "silent"],
    "exchange_timeout": [0.03, 0.05],
}
# Every rule but the second thread: its calls race the main thread's (see OPEN).
CI_RULES = sorted(set(machine.RULES) - {"thread"})
# (seed, schedules): each schedule is a fresh device and program with up to 15 steps.
SEEDS = [(seed, 3) for seed in (1, 2, 3, 4, 5, 6, 7, 8)]

# What the whole space still finds; bench/chaos.py --minutes N shows it with replay commands:
# - a reply later than about three exchange time-outs is taken by the next request as its own
#   (a foreign reading reported good, and force again after failure_limit unanswered requests);
# - two threads calling the same arm at once share its send buffer: both requests go out with the
#   bytes of the later call (a force call sent as the other thread's position request);
# - a slew and a fade at once step by more than max_force x period / ramp_s (0.122 N against 0.102 N);
# - a plain call returns a reading of 1e30 as good.
OPEN = "late replies past the owed-reply horizon; two threads on one arm; stacked ramps; implausible readings"


@pytest.mark.xfail(not TIMED, reason="a loop before the exchange and servo timing fixes", strict=False)
@pytest.mark.parametrize("seed,examples", SEEDS, ids=[f"seed{s}" for s, _ in SEEDS])
def test_random_programs_against_random_device_timing_hold_every_invariant(seed, examples):
    machine.run(seed, examples, steps=15, enabled=CI_RULES, space=CI_SPACE)


@pytest.mark.xfail(reason=OPEN, strict=False)
def test_the_whole_space_of_device_timing_and_programs():
    machine.run(100, 3, steps=15)

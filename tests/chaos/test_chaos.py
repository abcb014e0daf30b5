"""The standing chaos test, on a fixed budget of fixed seeds (about a minute).

bench/chaos.py runs it for longer with fresh seeds; a failing schedule prints the command that
replays it.
"""

import pytest

import machine

# (seed, schedules): each schedule is a fresh device and program with up to 12 steps.
SEEDS = [(1, 4), (2, 4), (3, 4), (4, 4)]


@pytest.mark.parametrize("seed,examples", SEEDS, ids=[f"seed{s}" for s, _ in SEEDS])
def test_random_programs_against_random_device_timing_hold_every_invariant(seed, examples):
    machine.run(seed, examples)

"""A one-second servo loop with a wall against the simulator, through the
installed package: the loop runs, every exchange succeeds and each
cycle's request reaches the device. Run with the interpreter under test, from outside the checkout."""

import sys
import time

import VelkorHardwareAPI as api
import velkor_sim

with velkor_sim.Simulator("arm") as sim:
    arm = api.Vorlan3(api.SerialStream(sim.path), 0.5)
    loop = api.ServoLoop(arm, rate_hz=1000.0)
    loop.add(api.Plane(point=[0, 0, 0.23], normal=[0, 0, -1], stiffness=800.0, damping=5.0))
    with loop:
        time.sleep(1.0)
    stats = loop.stats()
    last = sim.stats()

print("Python %d.%d.%d: %d cycles, %.0f Hz, exchange p99 %.0f us, %d failures" % (
    sys.version_info[:3] + (stats["cycles"], stats["rate_hz"], stats["exchange_p99_us"], stats["failures"])))
problems = []
# A loaded machine can slow the loop; a loop that ran at all runs hundreds of cycles a second.
if stats["cycles"] < 200:
    problems.append("only %d cycles in 1 s" % stats["cycles"])
if stats["failures"]:
    problems.append("%d failed exchanges" % stats["failures"])
# Every cycle's request, and the final zero-force one, reached the device.
if last["requests"] <= stats["cycles"]:
    problems.append("the simulator got %d requests for %d cycles" % (last["requests"], stats["cycles"]))
if problems:
    sys.exit("servo smoke: " + "; ".join(problems))

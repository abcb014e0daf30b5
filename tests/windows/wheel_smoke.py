"""Checks the installed Windows wheel from the outside, under Windows Python:
the module comes from site-packages, the velkor command works, and a servo
loop holds a spring on the arm at COM_PORT for two seconds.

    python.exe wheel_smoke.py COM_PORT

Prints the loop's figures; exits 1 on any failed check.
"""

import os
import subprocess
import sys
import sysconfig
import time

import VelkorHardwareAPI as api

RUN_S = 2.0


def main() -> int:
    port = sys.argv[1]
    failures = []

    def check(ok, what):
        print(("ok    " if ok else "FAILED ") + what, flush=True)
        if not ok:
            failures.append(what)

    site = {os.path.normcase(sysconfig.get_path(k)) for k in ("platlib", "purelib")}
    check(os.path.normcase(os.path.dirname(api.__file__)) in site and api.__file__.lower().endswith(".pyd"),
          f"the module is the installed one: {api.__file__}")
    # pip's launcher (Scripts\\velkor.exe) does not run under Wine 8: check what it starts,
    # and run that entry point through the interpreter.
    with open(os.path.join(sysconfig.get_path("scripts"), "velkor.exe"), "rb") as f:
        check(b"from velkor_cli import main" in f.read(), "velkor.exe starts velkor_cli:main")

    def velkor(*args):
        return subprocess.run([sys.executable, "-m", "velkor_cli", *args], capture_output=True, text=True,
                              timeout=60, stdin=subprocess.DEVNULL)

    out = velkor("--version")
    check(out.returncode == 0 and out.stdout.startswith("velkor "), f"velkor --version: {out.stdout.strip()}")
    out = velkor("ports", "--help")
    check(out.returncode == 0 and "--sys-root" not in out.stdout, "velkor ports --help offers no device tree")

    arm = api.Vorlan3(api.SerialStream(port), 2.0)
    arm.device_wakeup()
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    loop = api.ServoLoop(arm, rate_hz=1000.0)
    loop.add(api.Spring([start[0], start[1], start[2] + 0.01], 100.0, 1.0))
    with loop:
        time.sleep(RUN_S)
        state = loop.state()
        error = loop.error
        stats = loop.stats()
    print(f"servo loop {RUN_S:g} s at 1000 Hz: {stats['cycles']} cycles, {stats['rate_hz']:.0f} Hz "
          f"(last second {stats['recent_rate_hz']:.0f} Hz), period p99 {stats['period_p99_us']:.0f} us, "
          f"exchange p50 {stats['exchange_p50_us']:.0f} us; timer: {stats['timer']}, waking "
          f"{stats['timer_lateness_us']:.0f} us late, spinning {stats['spin_us']:.0f} us; error: {error}")
    check(stats["cycles"] >= 100 and stats["failures"] == 0 and stats["holds"] == 0,
          "the loop ran without a failed exchange or a hold")
    check(any(state["force"]), "the spring pushed")
    check(not any(loop.state()["force"]), "zero force after stop")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""The host side of an attack: plain whole exchanges or a servo loop on the device's pty, logged.

One JSON object a line to --log, times on the monotonic clock the device shares:
    {"ev": "open", "t": ...}
    {"ev": "call", "fn": ..., "sent": [...], "t0", "t1", "position", "velocity", "error"}
    {"ev": "rows", "run": k, "rows": [[cycle, time, px, py, pz, vx, vy, vz, fx, fy, fz, flags, exchange_us, lateness_us], ...]}
    {"ev": "run", "run": k, "t_start0", "t_start1", "t_stop0", "t_stop1", "stats": {...}}
    {"ev": "refused", "t", "what"}        a plain call during a loop raised as it should
"""

import argparse
import json
import random
import time

import VelkorHardwareAPI as api


def plain(o, log, rng):
    stream = api.SerialStream.open(o.path)
    log({"ev": "open", "t": time.monotonic()})
    arm = api.Vorlan3(stream, o.read_timeout)
    arm.zero_force_on_close = False
    reopen_at = set(o.reopen_at)
    for i in range(o.calls):
        if i in reopen_at:
            stream.reopen()
            log({"ev": "reopen", "t": time.monotonic()})
        fn = "end_effector_force" if rng.random() < 0.85 else "end_effector_position"
        if i == 0 and o.zero_first:
            sent = [0.0, 0.0, 0.0]
        else:
            sent = [round(0.001 * (i + 1), 6), round(rng.uniform(-0.1, 0.1), 6), -round(0.0001 * (o.seed % 1000 + 1), 6)]
        t0 = time.monotonic()
        position, velocity = getattr(arm, fn)(sent)
        t1 = time.monotonic()
        log({"ev": "call", "fn": fn, "sent": sent, "t0": t0, "t1": t1, "position": list(position),
             "velocity": list(velocity), "error": arm.last_error})
        if o.pace:
            time.sleep(rng.uniform(0.0, o.pace))
    log({"ev": "end", "t": time.monotonic(), "stray": arm.stray_replies, "failures": arm.failures})
    stream.close()


def servo(o, log, rng):
    stream = api.SerialStream.open(o.path)
    log({"ev": "open", "t": time.monotonic()})
    arm = api.Vorlan3(stream, 0.5)
    for run in range(o.runs):
        loop = api.ServoLoop(arm, o.rate, exchange_timeout=o.exchange_timeout, failure_limit=o.failure_limit,
                             ramp_s=o.ramp)
        loop.add(api.ConstantForce([0.0, 0.0, o.force]))
        t_start0 = time.monotonic()
        loop.start()
        t_start1 = time.monotonic()
        end = t_start1 + o.seconds
        rows = []
        probed = False
        while time.monotonic() < end:
            time.sleep(0.05)
            records, lost = loop.drain()
            if lost:
                log({"ev": "lost", "run": run, "lost": int(lost)})
            rows.extend(records)
            if not probed and time.monotonic() > t_start1 + o.seconds / 2:
                probed = True
                try:
                    arm.end_effector_force([0.0, 0.0, 7.0])
                    log({"ev": "not_refused", "t": time.monotonic()})
                except RuntimeError as e:
                    log({"ev": "refused", "t": time.monotonic(), "what": str(e)[:80]})
        t_stop0 = time.monotonic()
        if o.reopen and run + 1 < o.runs:
            stream.reopen()          # stops the loop first, zero force last
        else:
            loop.stop()
        t_stop1 = time.monotonic()
        records, lost = loop.drain()
        rows.extend(records)
        out = [[int(r["cycle"]), float(r["time"])] + [float(v) for v in r["position"]] +
               [float(v) for v in r["velocity"]] + [float(v) for v in r["force"]] + [int(r["flags"]), float(r["exchange_us"]),
                float(r["lateness_us"])] for r in rows]
        log({"ev": "rows", "run": run, "rows": out})
        stats = {k: v for k, v in loop.stats().items() if isinstance(v, (int, float, bool, str))}
        log({"ev": "run", "run": run, "t_start0": t_start0, "t_start1": t_start1, "t_stop0": t_stop0,
             "t_stop1": t_stop1, "stats": stats, "error": loop.error})
    log({"ev": "end", "t": time.monotonic()})
    stream.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("mode", choices=["plain", "servo"])
    p.add_argument("--path", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--calls", type=int, default=200)
    p.add_argument("--read-timeout", type=float, default=0.05)
    p.add_argument("--zero-first", action="store_true")
    p.add_argument("--pace", type=float, default=0.0)
    p.add_argument("--reopen-at", type=int, nargs="*", default=[])
    p.add_argument("--rate", type=float, default=1000.0)
    p.add_argument("--exchange-timeout", type=float, default=0.002)
    p.add_argument("--failure-limit", type=int, default=3)
    p.add_argument("--ramp", type=float, default=0.05)
    p.add_argument("--force", type=float, default=1.0)
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--runs", type=int, default=1)
    p.add_argument("--reopen", action="store_true")
    o = p.parse_args()
    rng = random.Random(o.seed)
    with open(o.log, "w") as f:
        def log(entry):
            f.write(json.dumps(entry) + "\n")
        (plain if o.mode == "plain" else servo)(o, log, rng)


if __name__ == "__main__":
    main()

"""Runs attack scenarios under fixed seeds: a hostile device process, a host process, then the judge.

    python bench/attack_join/attack.py --scenario join --seeds 1-20
    python bench/attack_join/attack.py --scenario servo_late --seeds 3 --keep   (logs kept, path printed)

Prints one line per run and a total: readings checked, foreign readings, watchdog violations.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import judge  # noqa: E402

PY = sys.executable

# name: (device arguments, host arguments, open delay)
SCENARIOS = {
    # joining a line busy with paused notifications full of reply-looking bytes; healthy replies
    "join": (["--mix", '{"ok": 1}', "--notify-hz", "400", "--tail-reply"],
             ["plain", "--calls", "40", "--zero-first"], 0.3),
    # as join, with the device misbehaving now and then, back to back calls
    "join_faulty": (["--mix", '{"ok": 6, "junk": 1, "split": 1, "truncated": 1, "duplicate": 1, "stall": 1, '
                     '"near": 1, "late": 1, "silent": 1}', "--notify-hz", "300", "--tail-reply"],
                    ["plain", "--calls", "120", "--zero-first"], 0.2),
    # paced calls (a loop that sleeps between them)
    "join_paced": (["--mix", '{"ok": 6, "junk": 1, "split": 1, "truncated": 1, "duplicate": 1, "stall": 1, '
                    '"near": 1, "late": 1, "silent": 1}', "--notify-hz", "300", "--tail-reply"],
                   ["plain", "--calls", "100", "--pace", "0.03"], 0.2),
    # reopen mid-run while notifications stream
    "reopen": (["--mix", '{"ok": 8, "split": 1, "late": 1}', "--notify-hz", "400", "--tail-reply"],
               ["plain", "--calls", "90", "--reopen-at", "30", "60"], 0.1),
    # the servo loop at 1 kHz, 2 ms exchange time-out, against replies around the time-out
    "servo_near": (["--mix", '{"near": 1}'], ["servo", "--exchange-timeout", "0.002"], 0.0),
    "servo_late": (["--mix", '{"late": 1}'], ["servo", "--exchange-timeout", "0.002"], 0.0),
    "servo_mixed": (["--mix", '{"ok": 4, "near": 2, "late": 2, "silent": 1, "junk": 1, "split": 1, '
                     '"duplicate": 1, "truncated": 1, "stall": 1}', "--notify-hz", "200", "--tail-reply"],
                    ["servo", "--exchange-timeout", "0.002"], 0.2),
    # healthy first (the force ramps in), then phases of replies late by a fixed share of the time-out
    "servo_phases": (["--phases", '[[0.5, {"ok": 1}], [1.0, {"x1.3": 1}], [1.5, {"ok": 1}], [2.0, {"x0.95": 1, "x1.05": 1}], '
                      '[2.5, {"ok": 1}], [3.0, {"near": 1}], [3.5, {"ok": 1}], [4.0, {"x2.5": 1}], [4.5, {"ok": 1}], '
                      '[5.0, {"ok": 1, "x1.5": 2, "silent": 1}], [9, {"ok": 1}]]'],
                     ["servo", "--exchange-timeout", "0.002", "--seconds", "5"], 0.0),
    "servo_phases10": (["--phases", '[[0.5, {"ok": 1}], [1.0, {"x1.3": 1}], [1.5, {"ok": 1}], [2.0, {"x0.95": 1, "x1.05": 1}], '
                        '[2.5, {"ok": 1}], [3.0, {"near": 1}], [3.5, {"ok": 1}], [4.0, {"x2.5": 1}], [4.5, {"ok": 1}], '
                        '[5.0, {"ok": 1, "x1.5": 2, "silent": 1}], [9, {"ok": 1}]]'],
                       ["servo", "--exchange-timeout", "0.01", "--seconds", "5"], 0.0),
    "servo_stray": (["--mix", '{"ok": 30, "stray": 1}'], ["servo", "--exchange-timeout", "0.002"], 0.0),
    "plain_stray": (["--mix", '{"ok": 10, "stray": 1}'], ["plain", "--calls", "150", "--pace", "0.01"], 0.0),
    "servo_beyond": (["--mix", '{"ok": 3, "beyond": 1}'], ["servo", "--exchange-timeout", "0.002"], 0.0),
    "servo_notify": (["--mix", '{"ok": 1}', "--notify-hz", "500", "--tail-reply", "--pause-max", "0.004"],
                     ["servo", "--exchange-timeout", "0.003", "--failure-limit", "1"], 0.2),
    "servo_reopen": (["--mix", '{"ok": 5, "near": 2, "late": 2, "split": 1}', "--notify-hz", "200",
                      "--tail-reply"],
                     ["servo", "--exchange-timeout", "0.002", "--runs", "3", "--reopen", "--seconds", "1"], 0.2),
}


def seeds(text):
    out = []
    for part in text.split(","):
        a, _, b = part.partition("-")
        out += list(range(int(a), int(b or a) + 1))
    return out


def option(args, name, default):
    return type(default)(args[args.index(name) + 1]) if name in args else default


def run_one(scenario, seed, keep, extra_device, extra_host):
    dev_args, host_args, delay = SCENARIOS[scenario]
    dev_args = dev_args + extra_device
    host_args = host_args + extra_host
    folder = tempfile.mkdtemp(prefix="velkor-chaos-attack-")
    dlog, hlog = os.path.join(folder, "device.log"), os.path.join(folder, "host.log")
    servo = host_args[0] == "servo"
    timeout = option(host_args, "--exchange-timeout", 0.002) if servo else option(host_args, "--read-timeout", 0.05)
    horizon = max(3 * timeout, 0.1)
    device = subprocess.Popen([PY, os.path.join(HERE, "device.py"), "--seed", str(seed), "--timeout", str(timeout),
                               "--horizon", str(horizon), "--log", dlog, "--max-seconds", "60"] + dev_args,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    path = json.loads(device.stdout.readline())["path"]
    time.sleep(delay + (seed % 7) * 0.0013)
    host = subprocess.run([PY, os.path.join(HERE, "host.py")] + host_args[:1] +
                          ["--path", path, "--log", hlog, "--seed", str(seed)] + host_args[1:],
                          capture_output=True, text=True, timeout=120)
    device.stdin.close()
    device.wait(timeout=30)
    result = {"scenario": scenario, "seed": seed, "host_rc": host.returncode}
    if host.returncode != 0:
        result["host_stderr"] = host.stderr[-2000:]
    dev = judge.read(dlog)
    hostlog = judge.read(hlog) if os.path.exists(hlog) else []
    if servo:
        result.update(judge.judge_servo(dev, hostlog, timeout, option(host_args, "--failure-limit", 3)))
        result["stats"] = [h["stats"] for h in hostlog if h["ev"] == "run"]
        result["refused"] = sum(1 for h in hostlog if h["ev"] == "refused")
        result["not_refused"] = sum(1 for h in hostlog if h["ev"] == "not_refused")
    else:
        result.update(judge.judge_plain(dev, hostlog))
        for f in result["foreign"]:
            f["class"] = judge.classify_plain(dev, f, timeout)
        result["undocumented"] = [f for f in result["foreign"] if "documented" not in f["class"]]
        result["calls"] = sum(1 for h in hostlog if h["ev"] == "call")
    bad = result["foreign"] or result.get("watchdog_violations") or result.get("accepted_late") or result["host_rc"] or result.get("not_refused")
    if keep or bad:
        result["logs"] = folder
    else:
        shutil.rmtree(folder)
    return result


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--scenario", required=True, choices=sorted(SCENARIOS) + ["all"])
    p.add_argument("--seeds", default="1-5")
    p.add_argument("--keep", action="store_true")
    p.add_argument("--device-args", default="", help="extra device arguments, one string")
    p.add_argument("--host-args", default="", help="extra host arguments, one string")
    o = p.parse_args()
    names = sorted(SCENARIOS) if o.scenario == "all" else [o.scenario]
    totals = {"runs": 0, "good": 0, "foreign": 0, "violations": 0, "bad_runs": []}
    for name in names:
        for seed in seeds(o.seeds):
            r = run_one(name, seed, o.keep, o.device_args.split(), o.host_args.split())
            totals["runs"] += 1
            totals["good"] += r["good_readings"]
            totals["foreign"] += len(r["foreign"])
            totals["violations"] += len(r.get("watchdog_violations", []))
            brief = {k: r[k] for k in ("scenario", "seed", "host_rc", "good_readings", "requests", "calls",
                                       "worst_forced_run", "refused", "not_refused", "logs") if k in r}
            brief["foreign"] = len(r["foreign"])
            if "undocumented" in r:
                brief["undocumented"] = len(r["undocumented"])
                totals["undocumented"] = totals.get("undocumented", 0) + len(r["undocumented"])
                for f in r["undocumented"][:2]:
                    print("  undocumented:", json.dumps(f["class"]), json.dumps(f["call"])[:300], flush=True)
            brief["violations"] = len(r.get("watchdog_violations", []))
            if r.get("accepted_late"):
                brief["accepted_late"] = len(r["accepted_late"])
                totals["accepted_late"] = totals.get("accepted_late", 0) + len(r["accepted_late"])
            if r.get("unmapped"):
                brief["unmapped"] = r["unmapped"][:3]
            if r.get("stats"):
                brief["stats"] = [{k: s.get(k) for k in ("cycles", "failures", "held_cycles", "stray_replies")}
                                  for s in r["stats"]]
            print(json.dumps(brief), flush=True)
            if r["foreign"]:
                print("  first foreign:", json.dumps(r["foreign"][0])[:600], flush=True)
            if r.get("accepted_late"):
                print("  first accepted late:", json.dumps(r["accepted_late"][0])[:600], flush=True)
            if r.get("watchdog_violations"):
                print("  first violation:", json.dumps(r["watchdog_violations"][0])[:600], flush=True)
            if r.get("host_stderr"):
                print("  host stderr:", r["host_stderr"][-600:], flush=True)
            if r["foreign"] or r.get("watchdog_violations") or r["host_rc"]:
                totals["bad_runs"].append((name, seed))
    print("TOTAL", json.dumps(totals), flush=True)


if __name__ == "__main__":
    main()

"""Judges an attack from its two logs: the device's (what went over the line) and the host's.

Own replies: every reading the host took as good must echo its own request (position = the
request's floats, velocity x = the device's number for that request).
Watchdog: at most failure_limit requests carry force after the last request the device answered
within the exchange time-out (judged from the device's log alone, leniently: `tolerance` more).
"""

import json
import struct


def f32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]


def read(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def device_view(entries):
    requests = {}
    for e in entries:
        if e[0] == "q":
            requests[e[1]] = {"n": e[1], "t": e[2], "code": e[3], "values": e[4:7], "reply": None}
    for e in entries:
        if e[0] == "r" and e[1] in requests:
            requests[e[1]]["reply"] = {"kind": e[2], "t_first": e[3], "t_last": e[4]}
    return [requests[n] for n in sorted(requests)]


def judge_plain(dev, host):
    requests = device_view(dev)
    findings, good = [], 0
    for c in (h for h in host if h["ev"] == "call"):
        if c["error"] is not None:
            continue
        good += 1
        want = [f32(v) for v in c["sent"]]
        mine = [q for q in requests if [f32(v) for v in q["values"]] == want
                and c["t0"] - 0.002 <= q["t"] <= c["t1"] + 0.002]
        ok = (len(mine) == 1 and [f32(v) for v in c["position"]] == want
              and f32(c["velocity"][0]) == f32(mine[0]["n"]))
        if not ok:
            findings.append({"call": c, "own_request": mine[0] if mine else None})
    return {"good_readings": good, "foreign": findings}


def align(requests, rows, start):
    """Maps rows (in order) to requests from index start on, by the force each carried."""
    out, p, skipped = [], start, []
    for row in rows:
        force = [f32(v) for v in row[8:11]]
        while p < len(requests) and [f32(v) for v in requests[p]["values"]] != force:
            skipped.append(requests[p]["n"])
            p += 1
        if p >= len(requests):
            return out, p, skipped, False
        out.append((row, requests[p]))
        p += 1
    return out, p, skipped, True


def judge_servo(dev, host, exchange_timeout, failure_limit, tolerance=0.001):
    requests = device_view(dev)
    foreign, good, unmapped, accepted_late = [], 0, [], []
    p = 0
    for entry in (h for h in host if h["ev"] == "rows"):
        pairs, p, skipped, whole = align(requests, entry["rows"], p)
        if not whole:
            unmapped.append({"run": entry["run"], "mapped": len(pairs), "rows": len(entry["rows"])})
        if skipped:
            unmapped.append({"run": entry["run"], "skipped_requests": skipped[:20], "count": len(skipped)})
        for row, q in pairs:
            if row[11] & 8:
                continue
            good += 1
            r = q["reply"]
            if r and r["t_last"] is not None and r["t_last"] - q["t"] > exchange_timeout + tolerance:
                accepted_late.append({"row": row, "request": q, "latency": r["t_last"] - q["t"]})
            if [f32(v) for v in row[2:5]] != [f32(v) for v in q["values"]] or f32(row[5]) != f32(q["n"]):
                foreign.append({"row": row, "request": q})
    # The watchdog, from the line alone.
    violations = []
    last_answered = None   # index into requests
    answered = []
    for i, q in enumerate(requests):
        r = q["reply"]
        answered.append(bool(r and r["t_last"] is not None and r["kind"] != "truncated"
                             and r["t_last"] - q["t"] <= exchange_timeout + tolerance))
    forced_since = 0
    worst = 0
    for j, q in enumerate(requests):
        # the latest request answered in time whose reply was complete before q went out
        i = next((k for k in range(j - 1, -1, -1)
                  if answered[k] and requests[k]["reply"]["t_last"] < q["t"]), -1)
        if i != last_answered:
            last_answered = i
            forced_since = sum(1 for k in range(i + 1, j) if any(v != 0.0 for v in requests[k]["values"]))
        if any(v != 0.0 for v in q["values"]):
            forced_since += 1
            worst = max(worst, forced_since)
            if forced_since > failure_limit:
                violations.append({"request": q, "last_answered": requests[i] if i >= 0 else None,
                                   "forced_since": forced_since})
    return {"good_readings": good, "foreign": foreign, "unmapped": unmapped, "requests": len(requests),
            "watchdog_violations": violations, "worst_forced_run": worst, "accepted_late": accepted_late}


def classify_plain(dev, finding, read_timeout):
    """Says what a foreign reading was and whether the library's guide names it as what no host can tell."""
    requests = {q["n"]: q for q in device_view(dev)}
    dups = {}
    for e in dev:
        if e[0] == "d":
            dups.setdefault(e[1], []).append((e[2], e[3]))
    c, own = finding["call"], finding["own_request"]
    pos = [f32(v) for v in c["position"]]
    v0 = f32(c["velocity"][0])
    horizon = 3 * read_timeout
    out = {"own_n": own["n"] if own else None, "own_kind": own["reply"]["kind"] if own and own["reply"] else None}
    if v0 == 9999.0 or v0 % 1 == 0.5:
        out["source"] = "notification tail (after a pause inside the notification)"
        return out
    if v0 % 1 == 0.25:
        out["source"] = "inside a notification's payload"
        return out
    m = int(v0) if v0 == int(v0) else None
    q = requests.get(m)
    if q is None or [f32(v) for v in q["values"]] != pos:
        out["source"] = "bytes of no whole reply"
        if own and own["reply"] and own["reply"]["kind"] == "truncated":
            out["documented"] = "a reply cut short and followed at once by other frames"
        return out
    out["source"] = f"reply {m}"
    r = q["reply"]
    out["latency_of_source"] = None if not r or r["t_last"] is None else r["t_last"] - q["t"]
    if m == (own["n"] if own else None):
        out["source"] = "own request's reply, with something else wrong"
        return out
    if out["latency_of_source"] is not None and out["latency_of_source"] > horizon:
        out["documented"] = "a reply later than the horizon"
    elif m in dups and own and any(t1 > own["t"] for _, t1 in dups[m]):
        out["documented"] = "a duplicate landing after the next request went out"
    return out

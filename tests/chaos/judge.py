"""The invariants, judged only on what the device received and sent and what the API reported.

Inputs: the device's log (device.py) and the program's answers (program.py), both timed on the
monotonic clock. Each finding is one line naming the invariant and the evidence.
"""

import math
import struct

FORCE = 0x2A
POSITION = 0x2C
FORCE_CODES = (0x2A, 0x1A)
IDENTIFIER_QUERY = 0x0D
FLAG_HELD, FLAG_FAILED, FLAG_RECONNECTING = 1 << 0, 1 << 3, 1 << 5
# Kinds of reply that bring the request's own reply whole (possibly late, or behind other bytes).
WHOLE = ("ok", "slow", "late", "split", "duplicate", "garbage_before", "burst")
# A reply completed this long after its request reached the device could not have been in time.
MARGIN = 0.001
# How long bytes the device wrote may take to be in the host's input queue on a loaded machine.
SETTLE = 0.005
RAMP_TOLERANCE = 1.02
RAMP_ABSOLUTE = 1e-4


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


MARK = (f32(0.000321), f32(0.000123))


def same(a, b):
    return all(f32(x) == f32(y) for x, y in zip(a, b))


def finite_number(x):
    return isinstance(x, float) and math.isfinite(x) and abs(x) < 1e6


class Request:
    __slots__ = ("session", "n", "t", "code", "values", "replies", "hung")

    def __init__(self, entry):
        _, self.session, self.n, self.t, self.code, *values = entry
        self.values = tuple(values)
        self.replies = []

    @property
    def marked(self):
        return self.code in (FORCE, POSITION) and (f32(self.values[0]), f32(self.values[1])) == MARK

    @property
    def carries_force(self):
        return self.code in FORCE_CODES and any(v != 0.0 for v in self.values)

    def answered_by(self, deadline):
        """Whether the host could have had this request's own reply, whole and sound, by deadline."""
        return any(kind in WHOLE and last is not None and last <= deadline for kind, last in self.replies)

    def __repr__(self):
        values = ", ".join(f"{v:.4g}" for v in self.values)
        return f"request {self.n} of line {self.session} (0x{self.code:02X} [{values}] at {self.t:.4f})"


class Judge:
    def __init__(self, config, log_entries, answers, device_events):
        self.config = config
        self.findings = []
        self.requests = {}
        self.copies = {}
        self.hangups = {}
        for entry in log_entries:
            if entry[0] == "q":
                r = Request(entry)
                self.requests[(r.session, r.n)] = r
            elif entry[0] == "r":
                _, session, n, kind, first, last = entry
                if (session, n) in self.requests:
                    self.requests[(session, n)].replies.append((kind, last))
                    self.copies.setdefault((session, n), []).append((kind, first, last))
            elif entry[0] == "h":
                self.hangups[entry[1]] = entry[2]
        self.ordered = sorted(self.requests.values(), key=lambda r: r.t)
        self.answers = answers
        self.device_events = device_events

    def truncated_near(self, session, begin, end):
        """Whether a reply cut short, or garbage, was written in [begin, end]. A cut reply followed at once
        by other frames is completed by their bytes (the failure guide says so); garbage whose first
        byte is a reply code is such a reply itself. No host can tell either without a checksum."""
        return any(kind in ("truncated", "garbage", "garbage_before") and last is not None and begin <= last <= end
                   for (s, _), copies in self.copies.items() if s == session for kind, _, last in copies)

    def late_duplicate(self, request, since):
        """Whether a second copy of this request's reply was still arriving at `since` (a stray reply that
        arrives after the next request went out cannot be told from that request's own)."""
        return any(kind == "duplicate" and last is not None and last >= since - SETTLE
                   for kind, _, last in self.copies.get((request.session, request.n), []))

    def arrived(self, request):
        """When the last whole copy of this request's reply was in, or None."""
        times = [last for kind, last in request.replies if kind in WHOLE and last is not None]
        return max(times) if times else None

    def duplicate_while_owed(self, answered):
        """Whether a second copy of some reply landed while `answered`'s reply was owed (after its request,
        before its reply): the servo loop counts the replies it is owed, and a device that sends one twice
        makes the count take the copy for an owed reply (documented: counting covers late replies, not
        replies a device sends twice)."""
        arrived = self.arrived(answered)
        if arrived is None:
            return False
        return any(kind == "duplicate" and last is not None and answered.t - SETTLE <= last <= arrived + SETTLE
                   for (s, _), copies in self.copies.items() if s == answered.session for kind, _, last in copies)

    def behind_since(self, answered, requests, origin):
        """Whether, walking back from `answered` over replies that each landed after the next request went
        out (so that no reply came that no request was owed), a request is met for which `origin(j, last)`
        holds: the loop has been one reply behind since then, which no host can tell."""
        try:
            i = requests.index(answered)
        except ValueError:
            return False
        for j in range(i, max(-1, i - 200), -1):
            last = self.arrived(requests[j])
            if j + 1 >= len(requests) or last is None or last < requests[j + 1].t - SETTLE:
                return False
            if origin(j, last):
                return True
        return False

    def behind_since_duplicate(self, answered, requests):
        """Whether the loop has been one reply behind since a duplicate fooled its count: a copy landed
        while some earlier request was owed."""
        return self.behind_since(answered, requests, lambda j, last: self.duplicate_while_owed(requests[j]))

    def given_up_late(self, answered, requests, settings):
        """Whether taking `answered`'s reply for the next request's is the case the servo loop documents as
        one no host can tell: a reply it gave up as lost (the loop waited its horizon, three exchange
        time-outs and at least 0.1 s after the last request, with nothing sent) came after all."""
        horizon = max(3 * settings["exchange_timeout"], 0.1) - 0.002

        def waited_out(j, last):
            for k in range(j, len(requests) - 1):
                if requests[k + 1].t > last:
                    break
                if requests[k + 1].t - requests[k].t >= horizon:
                    return True
            return False

        return self.behind_since(answered, requests, waited_out)

    def find(self, text):
        if text not in self.findings:
            self.findings.append(text)

    # --- the program's history -------------------------------------------------------------------------------

    def runs(self):
        """Each start of a loop that was not running: (answer of start, the loop's settings, end of its window)."""
        settings = None
        starts = []
        running = False
        for a in self.answers:
            if a["op"] == "loop" and a["error"] is None:
                settings = dict(a["args"], made=a["t0"])
            if a["op"] == "start" and settings is not None and not running:
                starts.append([a, settings, None])
            running = a.get("running", False)
        for i, run in enumerate(starts):
            later = [s[0]["t0"] for s in starts[i + 1:]]
            run[2] = later[0] if later else float("inf")
        return starts

    def running_windows(self):
        """Spans during which a loop certainly ran: from start() returning to the next call that ends it."""
        windows = []
        begin = None
        for a in self.answers:
            if a["op"] == "start":
                if a["error"] is None and begin is None:
                    begin = a["t1"]
            elif a["op"] in ("stop", "close", "reopen", "collect", "loop") and begin is not None:
                windows.append((begin, a["t0"]))
                begin = None
        if begin is not None:
            windows.append((begin, self.answers[-1]["t1"] if self.answers else begin))
        return windows

    # --- invariants ------------------------------------------------------------------------------------------

    def judge(self, exit_time):
        runs = self.runs()
        for start, settings, end in runs:
            requests = [r for r in self.ordered if start["t0"] <= r.t < end and not r.marked
                        and r.code in (FORCE, IDENTIFIER_QUERY)]
            self.watchdog(start, settings, requests)
            self.ramp(start, settings, [r for r in requests if r.code == FORCE])
        self.own_readings(runs)
        self.plain_calls()
        self.lease()
        self.zero_last(exit_time)
        return self.findings

    def watchdog(self, start, settings, requests):
        timeout = settings["exchange_timeout"]
        limit = settings["failure_limit"]
        unanswered = 0
        forces = [r for r in requests if r.code == FORCE]
        before = dict(zip((id(r) for r in forces[1:]), forces))
        for r in requests:
            if r.code == FORCE and unanswered >= limit and r.carries_force:
                self.find(f"watchdog: {r} carries force after {unanswered} unanswered requests in a row "
                          f"(failure_limit {limit}, exchange_timeout {timeout})")
            previous = before.get(id(r))
            # The documented case no host can tell: the reply before this request's, given up as lost (or
            # miscounted by a duplicate), came in its time instead; the loop had a reply and may push.
            late = self.arrived(previous) if previous is not None else None
            taken_for_own = late is not None and r.t - SETTLE <= late <= r.t + timeout + MARGIN and (
                self.given_up_late(previous, forces, settings) or self.behind_since_duplicate(previous, forces))
            if r.answered_by(r.t + timeout + MARGIN) or taken_for_own:
                unanswered = 0
            elif r.code == FORCE:
                unanswered += 1

    def ramp(self, start, settings, requests):
        if settings["ramp_s"] <= 0:
            return
        # What max_force was when the loop started (the last value set since it was made), and whatever it was
        # set to since.
        before = [a["args"]["value"] for a in self.answers
                  if a["op"] == "max_force" and settings["made"] <= a["t0"] < start["t0"]]
        max_force = max([before[-1] if before else settings["max_force"]]
                        + [a["args"]["value"] for a in self.answers
                           if a["op"] == "max_force" and a["t0"] >= start["t0"]])
        bound = max_force / settings["rate"] / settings["ramp_s"] * RAMP_TOLERANCE + RAMP_ABSOLUTE
        # A lowered max_force applies from the next cycle (documented): one step down to it is allowed.
        lowered = [[a["t0"], a["args"]["value"]] for a in self.answers
                   if a["op"] == "max_force" and a["t0"] >= start["t0"]]
        previous = None
        for r in requests:
            if previous is not None and previous.session == r.session:
                step = math.dist(previous.values, r.values)
                size, was = math.hypot(*r.values), math.hypot(*previous.values)
                clamp = next((c for c in lowered if c[0] <= r.t and size <= c[1] * 1.001 + RAMP_ABSOLUTE < was), None)
                if step > bound and clamp is not None:
                    lowered.remove(clamp)
                elif step > bound and r.carries_force and r.values != previous.values:
                    self.find(f"ramp: {r} steps {step:.3f} N from {previous} (bound per cycle {bound:.3f} N: "
                              f"max_force {max_force} x period / ramp_s {settings['ramp_s']})")
            previous = r

    def own_readings(self, runs):
        rows_by_run = {}
        lost_by_run = {}
        run_index = -1
        begins = {id(run[0]) for run in runs}
        for a in self.answers:
            if id(a) in begins:
                run_index += 1
            rows_by_run.setdefault(run_index, []).extend(a["records"])
            if a["lost"]:
                lost_by_run[run_index] = lost_by_run.get(run_index, 0) + a["lost"]
        for index, (start, settings, end) in enumerate(runs):
            rows = rows_by_run.get(index, [])
            requests = [r for r in self.ordered if start["t0"] <= r.t < end and not r.marked and r.code == FORCE]
            aligned = (not lost_by_run.get(index) and len({r.session for r in requests}) <= 1
                       and not any(row[10] & FLAG_RECONNECTING for row in rows))
            for k, row in enumerate(rows):
                cycle, position, velocity, force, flags = row[0], row[1:4], row[4:7], row[7:10], row[10]
                if flags & (FLAG_FAILED | FLAG_RECONNECTING):
                    continue
                where = f"run {index + 1}, cycle {cycle}"
                if not all(finite_number(x) for x in position):
                    self.find(f"reading: {where} reported a good reading with position {position}")
                    continue
                own = requests[k] if aligned and k < len(requests) else None
                key = (int(velocity[1]), int(velocity[0]))
                answered = self.requests.get(key)
                made_up = answered is None or answered.code != FORCE or not same(position, answered.values)
                near = own.t if own is not None else start["t0"]
                if made_up and self.truncated_near(key[0] if answered else (own.session if own else 1),
                                                   near - 3 * settings["exchange_timeout"] - 0.1, end):
                    continue
                if made_up:
                    self.find(f"reading: {where} reported a good reading that is no request's reply "
                              f"(position {position}, velocity {velocity})")
                elif own is not None and answered is not own:
                    if not self.late_duplicate(answered, own.t - settings["exchange_timeout"]) \
                            and not self.given_up_late(answered, requests, settings) \
                            and not self.behind_since_duplicate(answered, requests):
                        self.find(f"reading: {where} took the reply to {answered} as the reply to its own {own}")
                elif not same(answered.values, force) and not self.given_up_late(answered, requests, settings) \
                        and not self.behind_since_duplicate(answered, requests):
                    self.find(f"reading: {where} sent {force} but reported the reply to {answered}")
            state = start["result"]
            if start["error"] is None and isinstance(state, dict) and not state.get("holding") \
                    and state.get("valid", True) is not False:
                # The state after start() is a cycle's reading: that cycle's own request's reply.
                cycle = state.get("cycle", 0)
                # Cycles that failed since keep the last reading (valid, not yet holding): that one's own.
                good = [row[0] for row in rows if row[0] <= cycle and not row[10] & (FLAG_FAILED | FLAG_RECONNECTING)]
                read = good[-1] if good else cycle
                own = requests[read] if aligned and read < len(requests) else None
                answered = self.requests.get((int(state["velocity"][1]), int(state["velocity"][0])))
                if answered is None or (own is not None and answered is not own) \
                        or not same(state["position"], answered.values):
                    self.find(f"reading: start() of run {index + 1} returned a state that is not a reply to its "
                              f"cycle {cycle} (position {state['position']}, velocity {state['velocity']}, "
                              f"holding False, error {state.get('error')})")

    def plain_calls(self):
        calls = []
        for a in self.answers:
            if a["op"] == "plain" and a["error"] is None:
                calls.append((a["t0"], a["t1"], a["result"]))
            calls += [(t["t0"], t["t1"], t["result"]) for t in a["thread"] if t["error"] is None]
        calls.sort(key=lambda call: call[0])
        began = {f32(result["sent"][2]): t0 for t0, _, result in calls}
        # Calls that took an earlier reply they could not tell (documented): their own reply comes after
        # them, and the next call takes it (one reply behind, until a call finds the reply queued).
        behind = set()
        read_timeout = self.config.get("read_timeout", 0.0)
        for t0, t1, result in calls:
            position, velocity, sent = result["position"], result["velocity"], result["sent"]
            if all(v == 0.0 for v in position + velocity):
                continue  # the neutral value of a failed call
            key = (int(velocity[1]), int(velocity[0]))
            answered = self.requests.get(key)
            if answered is not None and answered.marked and not all(finite_number(x) for x in position):
                self.find(f"reading: a call sending {sent} returned an implausible reading, position {position}")
                continue
            own_horizon = answered.t + 3 * read_timeout if answered is not None else None
            if answered is not None and not answered.marked and same(position, answered.values) and any(
                    last is not None and last >= t0 - SETTLE and (kind == "duplicate" or last > own_horizon)
                    for kind, _, last in self.copies.get(key, [])):
                # The library's own zero-force exchange (a stream closed or reopened after a force) whose reply
                # came after its horizon, once this call had begun: no host can tell it from a fresh one.
                behind.add(f32(sent[2]))
                continue
            if answered is None or not answered.marked or not same(position, answered.values):
                if not self.truncated_near(key[0] if answered else 1, t0 - 3 * read_timeout - 0.1, t1):
                    self.find(f"reading: a call sending {sent} returned position {position}, velocity {velocity}, "
                              f"which is no request's reply")
                continue
            if same(answered.values, sent):
                continue
            # Another call's reply. Not claimed when a copy of it arrived once this call had begun, and that
            # copy was a duplicate or came after its own request's horizon (three read time-outs).
            horizon = began.get(f32(answered.values[2]), answered.t) + 3 * read_timeout
            if f32(answered.values[2]) in behind or any(
                    last is not None and last >= t0 - SETTLE and (kind == "duplicate" or last > horizon)
                    for kind, _, last in self.copies.get(key, [])):
                behind.add(f32(sent[2]))
                continue
            self.find(f"reading: a call sending {sent} (from {t0:.4f}) returned the reply to {answered}, "
                      f"which arrived before the call began or inside its request's horizon")

    def lease(self):
        for begin, end in self.running_windows():
            for r in self.ordered:
                if r.marked and begin < r.t < end:
                    self.find(f"lease: {r} from the program reached the device while a loop ran "
                              f"({begin:.4f} to {end:.4f})")

    def zero_last(self, exit_time):
        releases = []
        for i, a in enumerate(self.answers):
            if a["op"] in ("close", "reopen"):
                following = self.answers[i + 1]["t0"] if i + 1 < len(self.answers) else exit_time
                releases.append((a["op"], min(a["t1"] + 0.05, following)))
        releases.append(("the end of the program", exit_time))
        since = 0.0
        for what, at in releases:
            window = [r for r in self.ordered if since <= r.t < at and r.code in FORCE_CODES]
            since = at
            if not window:
                continue
            last = window[-1]
            hung = self.hangups.get(last.session)
            if hung is not None and hung < at:
                continue  # the device left first: nothing could reach it after
            if last.carries_force and not last.marked:
                self.find(f"zero last: after {what} the last force the device received was {last}")

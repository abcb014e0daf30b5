"""An echoing Vorlan3 on the master side of a real pty whose timing is drawn from a seeded schedule.

Every request is answered (or not) as the schedule draws for it: a latency across the host's
exchange time-out, and now and then a fault: silent, late, split across a pause, duplicated,
truncated, replaced or preceded by garbage, preceded by a burst of notifications, a non-finite or
absurd state. Between frames the device sends notification frames of every length, themselves
written in pieces, so that a host opening the line lands mid-frame. It writes whole frames one after
another, as a device does: nothing interleaves inside a frame.

A state reply echoes the request: its position is the request's three values, its velocity is
(request number in this session, session number, 0). A session is one pty: a replug makes a new one.

Every request received and every reply sent goes to the log (one JSON array a line, times from the
monotonic clock, which the driving process shares):

    ["q", session, n, t, code, x, y, z]           a request, complete at t (x, y, z: its values)
    ["r", session, n, kind, t_first, t_last]      the reply to request n, first and last byte written
    ["h", session, t]                             the device hung its line up

Driven by one JSON object a line on standard input: {"op": "profile", "name": ...},
{"op": "hang_up", "replug_after": seconds or null}, {"op": "replug"}, {"op": "sync"}; one JSON answer
a line on standard output.
"""

import argparse
import heapq
import json
import math
import os
import random
import select
import signal
import struct
import sys
import time
import tty

REQUEST_SIZES = {0x0A: 1, 0x0D: 2, 0x1A: 13, 0x1C: 13, 0x2A: 13, 0x2C: 13, 0xAB: 1, 0x0C: 1, 0xAC: 1, 0xAA: 1}
STATE_REPLY = {0x1A: 0x1B, 0x1C: 0x1B, 0x2A: 0x2B, 0x2C: 0x2B}
IDENTIFIER = bytes([0x5F, 0x0C, 0x2A, 0x9E, 0x7B, 0x41, 0x4D, 0x3A, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88])

# What can happen to one reply, with the weight each profile gives it. Latencies are drawn as shares
# of the host's exchange time-out: "fast" well inside it, "slow" anywhere across it.
KINDS = ("ok", "slow", "silent", "late", "split", "duplicate", "truncated", "garbage", "garbage_before",
         "burst", "nan", "huge")
PROFILES = {
    "healthy": dict(ok=1.0),
    "jittery": dict(ok=0.85, slow=0.15),
    "flaky": dict(ok=0.7, slow=0.05, silent=0.04, late=0.04, split=0.04, duplicate=0.04, truncated=0.02,
                  garbage=0.02, garbage_before=0.02, burst=0.02, nan=0.005, huge=0.005),
    "late": dict(ok=0.1, slow=0.3, late=0.6),
    "always_late": dict(late=1.0),
    "silent": dict(silent=1.0),
    "stormy": dict(ok=0.4, slow=0.1, silent=0.1, late=0.1, split=0.1, duplicate=0.1, truncated=0.03,
                   garbage=0.03, garbage_before=0.02, burst=0.02),
}


def _f32(values):
    return struct.pack("<3f", *values)


class Device:
    def __init__(self, seed, profile, timeout, notify_hz, link, log):
        self.rng = random.Random(seed)          # one draw sequence per request, in arrival order
        self.noise = random.Random(seed ^ 0x5EED)  # notifications: independent of the requests
        self.profile = profile
        self.timeout = timeout
        self.notify_hz = notify_hz
        self.link = link
        self.log = log
        self.session = 0
        self.master = self.slave = None
        self.received = bytearray()
        self.requests = 0
        self.frames = []          # (due, order, parts, n, kind): frames waiting to be written
        self.order = 0
        self.last_due = 0.0
        self.replug_at = math.inf  # a hang-up may come back as a new line by itself
        self.writing = None       # [parts left, n, kind, t_first] of the frame on the line
        self.next_part_at = 0.0
        self.next_notification = 0.0
        self.open_pty()

    # --- the line --------------------------------------------------------------------------------------------

    def open_pty(self):
        self.session += 1
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        temporary = self.link + ".new"
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(self.path, temporary)
        os.replace(temporary, self.link)
        self.received.clear()
        self.requests = 0
        self.frames.clear()
        self.writing = None
        self.next_notification = time.monotonic() + self.notification_gap()

    def hang_up(self):
        if self.master is None:
            return
        self.record(["h", self.session, time.monotonic()])
        os.close(self.master)
        self.master = None
        # The kernel hangs the slave up asynchronously: answer only once it has.
        poller = select.poll()
        poller.register(self.slave, select.POLLIN)
        give_up = time.monotonic() + 5.0
        while time.monotonic() < give_up:
            if any(event & select.POLLHUP for _, event in poller.poll(20)):
                break
        os.close(self.slave)
        self.slave = None
        self.frames.clear()
        self.writing = None

    def record(self, entry):
        self.log.write(json.dumps(entry) + "\n")

    # --- what the device sends -------------------------------------------------------------------------------

    def notification_gap(self):
        if self.notify_hz <= 0:
            return math.inf
        return self.noise.expovariate(self.notify_hz)

    def notification(self):
        length = self.noise.choice([0, 1, 2, 3, 7, 24, 100, 255, self.noise.randrange(256)])
        frame = bytes([self.noise.choice([0xBA, 0xBB]), self.noise.randrange(256), length])
        frame += bytes(self.noise.randrange(256) for _ in range(length))
        if len(frame) > 1 and self.noise.random() < 0.5:
            cut = self.noise.randrange(1, len(frame))
            return [(0.0, frame[:cut]), (self.noise.uniform(0.0, 0.003), frame[cut:])]
        return [(0.0, frame)]

    def schedule(self, delay, parts, n, kind):
        # A device answers in order: a late reply holds up the ones behind it.
        due = max(time.monotonic() + delay, self.last_due)
        self.last_due = due
        self.order += 1
        heapq.heappush(self.frames, (due, self.order, parts, n, kind))

    def pump(self, now):
        """Writes what is due; returns the time of the next thing to write."""
        if self.master is None:
            return math.inf
        while True:
            if self.writing is None:
                if self.frames and self.frames[0][0] <= now:
                    _, _, parts, n, kind = heapq.heappop(self.frames)
                    self.writing = [list(parts), n, kind, None]
                    self.next_part_at = now + parts[0][0]
                elif now >= self.next_notification:
                    self.writing = [self.notification(), None, "notification", None]
                    self.next_part_at = now
                    self.next_notification = now + self.notification_gap()
                else:
                    upcoming = self.frames[0][0] if self.frames else math.inf
                    return min(upcoming, self.next_notification)
            parts, n, kind, first = self.writing
            if now < self.next_part_at:
                return self.next_part_at
            pause, data = parts[0]
            try:
                sent = os.write(self.master, data)
            except BlockingIOError:
                sent = 0
            except OSError:
                sent = len(data)  # the host left: what it would have got is gone
            t = time.monotonic()
            if sent < len(data):
                # A line nobody reads fills up: the device waits, as a real one does.
                parts[0] = (pause, data[sent:])
                if first is None and sent:
                    self.writing[3] = t
                self.next_part_at = t + 0.001
                return self.next_part_at
            parts.pop(0)
            if first is None:
                self.writing[3] = first = t
            if parts:
                self.next_part_at = t + parts[0][0]
                continue
            if n is not None:
                self.record(["r", self.session, n, kind, first, t])
            self.writing = None

    # --- what the host wrote ---------------------------------------------------------------------------------

    def take_input(self, data, now):
        self.received += data
        while self.received:
            code = self.received[0]
            size = REQUEST_SIZES.get(code)
            if size is None:
                del self.received[:1]
                continue
            if len(self.received) < size:
                return
            payload = bytes(self.received[1:size])
            del self.received[:size]
            self.requests += 1
            values = struct.unpack("<3f", payload) if size == 13 else (0.0, 0.0, 0.0)
            self.record(["q", self.session, self.requests, now, code] + [float(v) for v in values])
            self.answer(code, payload, values, self.requests)

    def healthy_reply(self, code, payload, values, n):
        if code in STATE_REPLY:
            return bytes([STATE_REPLY[code]]) + _f32(values) + _f32((n, self.session, 0.0))
        if code == 0x0A:
            return bytes([0x0B]) + struct.pack("<HBBB", 0x1234, 4, 2, 5) + IDENTIFIER
        if code == 0x0D:
            return bytes([0x0D, payload[0], 16]) + IDENTIFIER
        if code == 0xAB:
            return b"\xab" + _f32((n, self.session, 0.0))
        if code == 0x0C:
            return b"\x0c" + struct.pack("<4f", n, self.session, 0, 0)
        if code == 0xAC:
            return b"\xac\x01"
        return b"\xaa" + struct.pack("<f", n)

    def answer(self, code, payload, values, n):
        weights = PROFILES[self.profile]
        rng = self.rng
        kind = rng.choices(list(weights), list(weights.values()))[0]
        fast = rng.uniform(0.0, 0.2) * self.timeout
        reply = self.healthy_reply(code, payload, values, n)
        if kind in ("nan", "huge") and code in STATE_REPLY:
            bad = math.nan if kind == "nan" else 1e30
            reply = reply[:1] + _f32((bad, values[1], values[2])) + reply[13:]
        elif kind in ("nan", "huge"):
            kind = "ok"
        if kind in ("ok", "nan", "huge"):
            self.schedule(fast, [(0.0, reply)], n, kind)
        elif kind == "slow":
            self.schedule(rng.uniform(0.0, 1.6) * self.timeout, [(0.0, reply)], n, kind)
        elif kind == "silent":
            self.record(["r", self.session, n, "silent", None, None])
        elif kind == "late":
            self.schedule(rng.uniform(1.1, 4.0) * self.timeout, [(0.0, reply)], n, kind)
        elif kind == "split":
            cut = rng.randrange(1, len(reply)) if len(reply) > 1 else 1
            self.schedule(fast, [(0.0, reply[:cut]), (rng.uniform(0.0, 2.0) * self.timeout, reply[cut:])], n, kind)
        elif kind == "duplicate":
            self.schedule(fast, [(0.0, reply)], n, "ok")
            self.schedule(fast + rng.uniform(0.0, 1.5) * self.timeout, [(0.0, reply)], n, "duplicate")
        elif kind == "truncated":
            self.schedule(fast, [(0.0, reply[:rng.randrange(0, len(reply))])], n, kind)
        elif kind == "garbage":
            junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
            self.schedule(fast, [(0.0, junk)], n, kind)
        elif kind == "garbage_before":
            junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
            self.schedule(fast, [(0.0, junk + reply)], n, kind)
        elif kind == "burst":
            burst = []
            for _ in range(rng.randrange(1, 30)):
                length = rng.randrange(256)
                burst.append((0.0, bytes([0xBA, 0, length]) + bytes(length)))
            self.schedule(fast, burst + [(0.0, reply)], n, kind)

    # --- commands --------------------------------------------------------------------------------------------

    def command(self, request):
        op = request["op"]
        if op == "profile":
            self.profile = request["name"]
        elif op == "hang_up":
            self.hang_up()
            if request.get("replug_after") is not None:
                self.replug_at = time.monotonic() + request["replug_after"]
        elif op == "replug":
            self.hang_up()
            self.open_pty()
        self.log.flush()
        return {"ok": True, "path": self.path, "session": self.session, "t": time.monotonic()}

    def serve(self):
        control = sys.stdin.fileno()
        lines = bytearray()
        self.answer_line({"ok": True, "path": self.path, "session": self.session})
        while True:
            now = time.monotonic()
            if now >= self.replug_at:
                self.replug_at = math.inf
                self.open_pty()
            upcoming = min(self.pump(now), self.replug_at)
            wait = max(0.0, min(0.05, upcoming - time.monotonic()))
            readers = [control] + ([self.master] if self.master is not None else [])
            ready, _, _ = select.select(readers, [], [], wait)
            now = time.monotonic()
            if self.master is not None and self.master in ready:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    data = b""
                if data:
                    self.take_input(data, now)
            if control in ready:
                chunk = os.read(control, 65536)
                if not chunk:
                    self.log.flush()
                    return
                lines += chunk
                while b"\n" in lines:
                    line, _, rest = bytes(lines).partition(b"\n")
                    lines = bytearray(rest)
                    self.answer_line(self.command(json.loads(line)))

    @staticmethod
    def answer_line(message):
        sys.stdout.write(json.dumps(message) + "\n")
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--profile", choices=sorted(PROFILES), default="healthy")
    parser.add_argument("--timeout", type=float, required=True, help="the host's exchange time-out (s)")
    parser.add_argument("--notify-hz", type=float, default=0.0, help="mean rate of notification frames")
    parser.add_argument("--link", required=True, help="a symbolic link kept pointing at the current pty")
    parser.add_argument("--log", required=True)
    options = parser.parse_args()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    with open(options.log, "w", buffering=1 << 16) as log:
        Device(options.seed, options.profile, options.timeout, options.notify_hz, options.link, log).serve()


if __name__ == "__main__":
    main()

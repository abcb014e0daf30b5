"""A hostile echoing Vorlan3 on the master side of a pty, its misbehaviour drawn from a seed.

A state reply echoes its request: position = the request's three floats, velocity = (n, 0, 0) with n
the request's number on this line (from 1). So whose reply a host took is plain from its values.

The device writes whole frames one after the other (nothing interleaves inside a frame), but any
frame may be written in pieces with pauses inside it. Between requests it streams notification frames
(0xBA/0xBB, a byte, a length, a payload) whose payloads are full of bytes that read as reply codes:
copies of replies it already sent (velocity x n + 0.25, so that the judge can tell them from the
reply itself; to a host it is any speed), state replies made up with the marker velocity 9999,
0x2B/0x1B runs. With --tail-reply a notification's last 25 bytes are a state reply that echoes the
last request (velocity x n + 0.5 or 9999), written after a pause, so that a host joining or
resyncing at the pause reads it as one.

Per request, one kind is drawn from the weights given in --mix (JSON), e.g. '{"ok": 1, "late": 1}':

    ok        within 0..0.2 of --timeout           near     0.7..1.3 x --timeout
    late      1.1..4 x --timeout                   beyond   past the host's horizon (--horizon), up to 2x
    silent    no reply                             junk     junk full of 0x2B/0x1B/0xBA, then the reply
    split     2-4 pieces, pauses 0..1.5 x timeout  truncated  a prefix only
    duplicate the reply, then again 0..2 x timeout later
    stall     a notification cut in two by a pause of 1..4 x timeout, then the reply
    stray     one extra byte, the reply's own code, just before the reply
    const     --const-latency seconds                 x1.5      exactly 1.5 x --timeout (any factor)

Phases (--phases JSON, [[seconds, mix], ...]) change the mix by time since the device started.

Log: one JSON array a line, monotonic times (shared with the host process):
    ["q", n, t, code, x, y, z]          request n complete at t
    ["r", n, kind, t_first, t_last]     its reply's first and last byte written (or "silent")
    ["d", n, t_first, t_last]           a duplicate of reply n
    ["b", t_first, t_last, length, fake] a notification frame (fake: it carries a reply-shaped tail)
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
IDENTIFIER = bytes(range(0x40, 0x50))
MARK = 9999.0


def state(code, values, n):
    return bytes([code]) + struct.pack("<6f", values[0], values[1], values[2], n, 0.0, 0.0)


class Device:
    def __init__(self, o, log):
        self.o = o
        self.log = log
        self.rng = random.Random(o.seed)
        self.noise = random.Random(o.seed * 7919 + 1)
        self.mix = json.loads(o.mix)
        self.phases = json.loads(o.phases) if o.phases else []
        self.start = time.monotonic()
        self.master, slave = os.openpty()
        tty.setraw(slave)
        os.set_blocking(self.master, False)
        self.slave = slave
        self.path = os.ttyname(slave)
        if o.link:
            tmp = o.link + ".new"
            if os.path.lexists(tmp):
                os.unlink(tmp)
            os.symlink(self.path, tmp)
            os.replace(tmp, o.link)
        self.received = bytearray()
        self.n = 0
        self.last_values = (0.0, 0.0, 0.0)
        self.last_code = 0x2B
        self.sent_replies = []
        self.frames = []       # heap of (due, order, parts, tag)
        self.order = 0
        self.last_due = 0.0
        self.writing = None    # [parts, tag, t_first]
        self.next_part = 0.0
        self.next_notify = self.start + self.gap()
        self.pending = b""

    def rec(self, entry):
        self.log.write(json.dumps(entry) + "\n")

    def gap(self):
        return self.noise.expovariate(self.o.notify_hz) if self.o.notify_hz > 0 else math.inf

    # --- frames ---------------------------------------------------------------------------------------------

    def fake_reply(self):
        r = self.noise.random()
        if r < 0.4 and self.sent_replies:
            # a copy of a reply sent before, told apart (by the judge only) by a quarter in velocity x
            code, values, n = self.noise.choice(self.sent_replies[-5:])
            return state(code, values, n + 0.25)
        if r < 0.7:
            return state(self.last_code, self.last_values, MARK)
        return state(self.noise.choice([0x2B, 0x1B]), (0.0, 0.0, 0.0), MARK)

    def payload(self, length):
        out = bytearray()
        while len(out) < length:
            r = self.noise.random()
            if r < 0.35:
                out += self.fake_reply()
            elif r < 0.6:
                out += bytes([self.noise.choice([0x2B, 0x1B, 0xBA, 0xBB])]) * self.noise.randrange(1, 6)
            else:
                out += bytes(self.noise.randrange(256) for _ in range(self.noise.randrange(1, 12)))
        return bytes(out[:length])

    def notification(self):
        fake = self.o.tail_reply and self.noise.random() < 0.5
        if fake:
            length = self.noise.choice([25, 26, 40, 60, 100, 200, 255])
            tail = state(self.last_code, self.last_values, self.n + 0.5 if self.noise.random() < 0.5 else MARK)
            body = self.payload(length - 25) + tail
        else:
            length = self.noise.choice([0, 1, 2, 3, 7, 24, 25, 26, 49, 50, 100, 255, self.noise.randrange(256)])
            body = self.payload(length)
        frame = bytes([self.noise.choice([0xBA, 0xBB]), self.noise.randrange(256), length]) + body
        pause = lambda: self.noise.uniform(self.o.pause_min, self.o.pause_max)  # noqa: E731
        if fake:
            cut = len(frame) - 25
            if cut > 0:
                return [(0.0, frame[:cut]), (pause(), frame[cut:])], ("b", length, True)
            return [(0.0, frame)], ("b", length, True)
        parts, at = [], 0
        while at < len(frame):
            size = self.noise.randrange(1, len(frame) - at + 1) if self.noise.random() < 0.6 else len(frame) - at
            parts.append((pause() if parts else 0.0, frame[at:at + size]))
            at += size
        return parts, ("b", length, False)

    def schedule(self, delay, parts, tag, in_order=True):
        due = time.monotonic() + delay
        if in_order:
            due = max(due, self.last_due)
            self.last_due = due
        self.order += 1
        heapq.heappush(self.frames, (due, self.order, parts, tag))

    def pump(self, now):
        while True:
            if self.writing is None:
                if self.frames and self.frames[0][0] <= now:
                    _, _, parts, tag = heapq.heappop(self.frames)
                    self.writing = [list(parts), tag, None]
                    self.next_part = now + parts[0][0]
                elif now >= self.next_notify:
                    parts, tag = self.notification()
                    self.writing = [parts, tag, None]
                    self.next_part = now
                    self.next_notify = now + self.gap()
                else:
                    return min(self.frames[0][0] if self.frames else math.inf, self.next_notify)
            parts, tag, first = self.writing
            if now < self.next_part:
                return self.next_part
            pause, data = parts[0]
            try:
                sent = os.write(self.master, data)
            except BlockingIOError:
                sent = 0
            except OSError:
                sent = len(data)
            t = time.monotonic()
            if sent and first is None:
                self.writing[2] = first = t
            if sent < len(data):
                parts[0] = (0.0, data[sent:])
                self.next_part = t + 0.001
                return self.next_part
            parts.pop(0)
            if parts:
                self.next_part = t + parts[0][0]
                now = t
                continue
            if tag[0] == "r":
                self.rec(["r", tag[1], tag[2], first, t])
            elif tag[0] == "d":
                self.rec(["d", tag[1], first, t])
            else:
                self.rec(["b", first, t, tag[1], tag[2]])
            self.writing = None
            now = time.monotonic()

    # --- requests ---------------------------------------------------------------------------------------------

    def current_mix(self):
        elapsed = time.monotonic() - self.start
        mix = self.mix
        for until, phase_mix in self.phases:
            if elapsed < until:
                return phase_mix
            mix = phase_mix
        return mix

    def take(self, data, now):
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
            self.n += 1
            values = struct.unpack("<3f", payload) if size == 13 else (0.0, 0.0, 0.0)
            self.rec(["q", self.n, now, code] + [float(v) for v in values])
            self.answer(code, payload, values, self.n)

    def healthy(self, code, payload, values, n):
        if code in STATE_REPLY:
            return state(STATE_REPLY[code], values, n)
        if code == 0x0A:
            return bytes([0x0B]) + struct.pack("<HBBB", 0x1234, 4, 2, 5) + IDENTIFIER
        if code == 0x0D:
            return bytes([0x0D, payload[0], 16]) + IDENTIFIER
        if code == 0xAB:
            return b"\xab" + struct.pack("<3f", n, 0, 0)
        if code == 0x0C:
            return b"\x0c" + struct.pack("<4f", n, 0, 0, 0)
        if code == 0xAC:
            return b"\xac\x01"
        return b"\xaa" + struct.pack("<f", n)

    def answer(self, code, payload, values, n):
        t = self.o.timeout
        rng = self.rng
        mix = self.current_mix()
        kind = rng.choices(list(mix), list(mix.values()))[0]
        reply = self.healthy(code, payload, values, n)
        if code in STATE_REPLY:
            self.last_values, self.last_code = values, STATE_REPLY[code]
            self.sent_replies.append((STATE_REPLY[code], values, n))
            del self.sent_replies[:-20]
        fast = rng.uniform(0.0, 0.2) * t
        if kind == "ok":
            self.schedule(fast, [(0.0, reply)], ("r", n, kind))
        elif kind == "const":
            self.schedule(self.o.const_latency, [(0.0, reply)], ("r", n, kind))
        elif kind.startswith("x"):
            self.schedule(float(kind[1:]) * t, [(0.0, reply)], ("r", n, kind))
        elif kind == "near":
            self.schedule(rng.uniform(0.7, 1.3) * t, [(0.0, reply)], ("r", n, kind))
        elif kind == "late":
            self.schedule(rng.uniform(1.1, 4.0) * t, [(0.0, reply)], ("r", n, kind))
        elif kind == "beyond":
            self.schedule(rng.uniform(1.0, 2.0) * self.o.horizon, [(0.0, reply)], ("r", n, kind))
        elif kind == "silent":
            self.rec(["r", n, "silent", None, None])
        elif kind == "stray":
            self.schedule(fast, [(0.0, bytes([reply[0]]) + reply)], ("r", n, kind))
        elif kind == "junk":
            junk = bytes(rng.choice([0x2B, 0x1B, 0xBA, 0xBB, 0x00, rng.randrange(256)])
                         for _ in range(rng.randrange(1, 40)))
            self.schedule(fast, [(0.0, junk + reply)], ("r", n, kind))
        elif kind == "split":
            cuts = sorted(rng.sample(range(1, len(reply)), min(len(reply) - 1, rng.randrange(1, 4))))
            parts, prev = [], 0
            for c in cuts + [len(reply)]:
                parts.append((rng.uniform(0.0, 1.5) * t if parts else 0.0, reply[prev:c]))
                prev = c
            self.schedule(fast, parts, ("r", n, kind))
        elif kind == "truncated":
            self.schedule(fast, [(0.0, reply[:rng.randrange(1, len(reply))])], ("r", n, kind))
        elif kind == "duplicate":
            self.schedule(fast, [(0.0, reply)], ("r", n, "ok"))
            self.schedule(fast + rng.uniform(0.0, 2.0) * t, [(0.0, reply)], ("d", n), in_order=False)
        elif kind == "stall":
            length = rng.choice([25, 40, 100])
            frame = bytes([0xBA, 0, length]) + self.payload(length - 25) + state(
                STATE_REPLY.get(code, 0x2B), values, MARK)
            cut = len(frame) - 25
            self.schedule(0.0, [(0.0, frame[:cut]), (rng.uniform(1.0, 4.0) * t, frame[cut:])], ("b", length, True))
            self.schedule(fast, [(0.0, reply)], ("r", n, kind))
        else:
            raise SystemExit(f"unknown kind {kind}")

    def serve(self, until):
        sys.stdout.write(json.dumps({"path": self.path}) + "\n")
        sys.stdout.flush()
        control = sys.stdin.fileno()
        while time.monotonic() < until:
            now = time.monotonic()
            upcoming = self.pump(now)
            wait = max(0.0, min(0.02, upcoming - time.monotonic()))
            ready, _, _ = select.select([control, self.master], [], [], wait)
            now = time.monotonic()
            if self.master in ready:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    data = b""
                if data:
                    self.take(data, now)
            if control in ready:
                if not os.read(control, 4096):
                    break
        self.log.flush()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seed", type=int, required=True)
    p.add_argument("--timeout", type=float, required=True, help="the host's exchange time-out (s)")
    p.add_argument("--horizon", type=float, default=0.1)
    p.add_argument("--mix", default='{"ok": 1}')
    p.add_argument("--phases", default="")
    p.add_argument("--const-latency", type=float, default=0.0)
    p.add_argument("--notify-hz", type=float, default=0.0)
    p.add_argument("--pause-min", type=float, default=0.0006)
    p.add_argument("--pause-max", type=float, default=0.005)
    p.add_argument("--tail-reply", action="store_true")
    p.add_argument("--link")
    p.add_argument("--log", required=True)
    p.add_argument("--max-seconds", type=float, default=120.0)
    o = p.parse_args()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    with open(o.log, "w", buffering=1 << 16) as log:
        Device(o, log).serve(time.monotonic() + o.max_seconds)


if __name__ == "__main__":
    main()

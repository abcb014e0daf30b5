"""A device on the master side of a real pty, run as a separate process.

Calls that keep the interpreter lock block every thread of the test process, so
a device that must answer (or misbehave) while such a call waits lives in its
own process. The test drives it with one JSON object per line on its standard
input and reads one JSON answer per command on its standard output.

Two ways to answer the host:

- ``arm``: a Vorlan3 that answers every request at once. A state reply carries
  the request's three values as its position and the request's number (from 1)
  as the first velocity, so a test can tell whose reply it got. Faults queued
  with ``fault`` apply to the next requests, one each.
- ``script``: like the in-process emulator, after the host has written
  ``size`` more bytes, wait ``delay`` and write ``reply`` (or hang up).

Run as a program it serves; imported, it gives the test side (FaultDevice).
"""

import argparse
import collections
import fcntl
import heapq
import json
import os
import random
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import tty

REQUEST_SIZES = {0x0A: 1, 0x0D: 2, 0x1A: 13, 0x1C: 13, 0x2A: 13, 0x2C: 13, 0xAB: 1, 0x0C: 1, 0xAC: 1, 0xAA: 1}
STATE_REPLY = {0x1A: 0x1B, 0x1C: 0x1B, 0x2A: 0x2B, 0x2C: 0x2B}
NOTIFICATION = bytes([0xBA, 0x00, 0x02, 0x55, 0x55])


def arm_reply(code, payload, number):
    """The healthy reply to one arm request."""
    if code in STATE_REPLY:
        x, y, z = struct.unpack("<3f", payload)
        return bytes([STATE_REPLY[code]]) + struct.pack("<6f", x, y, z, number, 0, 0)
    if code == 0x0A:
        return bytes([0x0B]) + struct.pack("<HBBB", 0x1234, 4, 2, 5) + bytes(range(16))
    if code == 0x0D:
        return bytes([0x0D, payload[0], 16]) + bytes([number % 256]) * 16
    if code == 0xAB:
        return b"\xab" + struct.pack("<3f", number, 0, 0)
    if code == 0x0C:
        return b"\x0c" + struct.pack("<4f", number, 0, 0, 0)
    if code == 0xAC:
        return b"\xac\x01"
    if code == 0xAA:
        return b"\xaa" + struct.pack("<f", number)
    return b""


class Device:
    def __init__(self, mode, link):
        self.mode = mode
        self.link = link
        self.received = bytearray()
        self.parsed = 0          # arm: bytes of `received` already taken as requests
        self.consumed = 0        # script: bytes of `received` the script has used
        self.requests = 0
        self.replies = 0
        self.script = collections.deque()
        self.faults = collections.deque()
        self.pending = bytearray()
        self.timers = []
        self.timer_order = 0
        self.busy_until = 0.0    # a device that answers in order: no reply before this
        self.held_back = 0       # replies waiting in turn: the next one goes behind them
        self.paused_until = 0.0
        self.trickle = 0.0
        self.split_pause = 0.0
        self.noise = random.Random(0)
        self.signals = []
        self.master = self.slave = None
        self.open_pty()

    # --- the line --------------------------------------------------------------------------------------------

    def open_pty(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        if self.link:
            temporary = self.link + ".new"
            if os.path.lexists(temporary):
                os.unlink(temporary)
            os.symlink(self.path, temporary)
            os.replace(temporary, self.link)

    def hang_up(self):
        if self.master is None:
            return
        os.close(self.master)
        self.master = None
        self.pending.clear()
        # The kernel hangs the slave up asynchronously: answer only once it has.
        poller = select.poll()
        poller.register(self.slave, select.POLLIN)
        give_up = time.monotonic() + 10.0
        while time.monotonic() < give_up:
            if any(event & select.POLLHUP for _, event in poller.poll(50)):
                try:
                    os.write(self.slave, b"\0")
                except OSError:
                    break
        os.close(self.slave)
        self.slave = None

    def host_queued(self):
        if self.slave is None:
            return 0
        count = fcntl.ioctl(self.slave, termios.FIONREAD, struct.pack("i", 0))
        return struct.unpack("i", count)[0]

    def write(self, data):
        if self.master is not None:
            self.pending += data
            self.flush()

    def flush(self):
        while self.pending and self.master is not None:
            try:
                sent = os.write(self.master, self.pending)
            except BlockingIOError:
                return
            except OSError:
                self.pending.clear()
                return
            del self.pending[:sent]

    def later(self, delay, action):
        self.timer_order += 1
        heapq.heappush(self.timers, (time.monotonic() + delay, self.timer_order, action))

    # --- what the host wrote -----------------------------------------------------------------------------------

    def take_input(self, data):
        self.received += data
        if self.mode == "arm":
            self.answer_arm_requests()
        else:
            self.run_script()

    def answer_arm_requests(self):
        while self.parsed < len(self.received):
            code = self.received[self.parsed]
            size = REQUEST_SIZES.get(code, 1)
            if len(self.received) - self.parsed < size:
                return
            payload = bytes(self.received[self.parsed + 1:self.parsed + size])
            self.parsed += size
            if code not in REQUEST_SIZES:
                continue
            self.requests += 1
            reply = arm_reply(code, payload, self.requests)
            fault = self.faults.popleft() if self.faults else {"kind": "none"}
            self.answer_with_fault(reply, fault)

    def answer_with_fault(self, reply, fault):
        kind = fault["kind"]
        if kind == "silent":
            return
        if kind == "signal":
            # The call is waiting for this reply now: interrupt it, and answer
            # later only if asked to (a handler that does not raise lets the call go on).
            self.send_signal(fault["pid"])
            if "reply_after" in fault:
                self.later(fault["reply_after"], lambda: self.reply(reply))
            return
        if kind == "truncate":
            reply = reply[:fault["keep"]]
        elif kind == "garbage":
            reply = bytes((0x41 + i) % 256 for i in range(fault["size"])) + reply
        elif kind == "stray_code":
            # one stray byte, the reply's own code, just before the whole reply
            reply = reply[:1] + reply
        elif kind == "wrong_code":
            reply = bytes([0x77]) + reply[1:]
        elif kind == "position":
            # A whole, well-formed state reply whose position is what the test names.
            reply = reply[:1] + struct.pack("<3f", *fault["position"]) + reply[13:]
        now = time.monotonic()
        if kind == "late":
            self.later(fault["delay"], lambda: self.reply(reply))
        elif kind == "slow" or self.busy_until > now or self.held_back:
            # A device that answers in order: this reply takes `delay` (slow), and every reply waits
            # for the ones before it (also for one whose time has come but which is not out yet).
            self.busy_until = max(self.busy_until, now) + (fault["delay"] if kind == "slow" else 0.0)
            self.timer_order += 1
            self.held_back += 1
            heapq.heappush(self.timers, (self.busy_until, self.timer_order, lambda: self.reply_in_turn(reply)))
        else:
            self.reply(reply)

    def reply(self, data):
        self.write(data)
        self.replies += 1

    def reply_in_turn(self, data):
        self.held_back -= 1
        self.reply(data)

    def run_script(self):
        while self.script and len(self.received) - self.consumed >= self.script[0]["size"]:
            step = self.script.popleft()
            self.consumed += step["size"]
            action = (lambda: self.hang_up()) if step.get("hang_up") else (lambda r=step["reply"]: self.reply(r))
            if step["delay"]:
                self.later(step["delay"], action)
            else:
                action()

    def send_signal(self, pid):
        self.signals.append(time.monotonic())
        os.kill(pid, signal.SIGINT)

    def stop_trickle(self):
        self.trickle = 0.0

    def send_trickle(self):
        if self.trickle <= 0:
            return
        if not self.split_pause:
            self.write(NOTIFICATION)
            self.later(self.trickle, self.send_trickle)
            return
        # A notification of noise, written in two pieces with a pause between them.
        length = self.noise.choice([24, 60, 100, 255])
        frame = bytes([0xBA, 0x00, length]) + bytes(self.noise.randrange(256) for _ in range(length))
        cut = self.noise.randrange(3, len(frame))
        self.write(frame[:cut])
        self.later(self.split_pause, lambda: (self.write(frame[cut:]), self.later(self.trickle, self.send_trickle)))

    # --- commands from the test --------------------------------------------------------------------------------

    def command(self, request):
        op = request["op"]
        if op == "expect":
            self.script.append({"size": request["size"], "reply": bytes.fromhex(request.get("reply", "")),
                                "delay": request.get("delay", 0.0), "hang_up": request.get("hang_up", False)})
            self.run_script()
        elif op == "send":
            data = bytes.fromhex(request["data"])
            if request.get("delay"):
                self.later(request["delay"], lambda: self.write(data))
            else:
                self.write(data)
        elif op == "fault":
            self.faults.extend([request["fault"]] * request.get("count", 1))
        elif op == "pause_reading":
            self.paused_until = time.monotonic() + request["seconds"]
        elif op == "trickle":
            was = self.trickle
            self.trickle = request["interval"]
            self.split_pause = request.get("split_pause", 0.0)
            self.noise = random.Random(request.get("seed", 0))
            if self.trickle > 0 and was <= 0:
                self.send_trickle()
            if request.get("duration"):
                self.later(request["duration"], self.stop_trickle)
        elif op == "signal_after":
            self.later(request["delay"], lambda: self.send_signal(request["pid"]))
        elif op == "hang_up":
            self.hang_up()
        elif op == "replug":
            self.hang_up()
            self.received.clear()
            self.parsed = self.consumed = 0
            self.open_pty()
        return {"ok": True, "path": self.path, "written": self.received.hex(), "requests": self.requests,
                "replies": self.replies, "script_left": len(self.script), "faults_left": len(self.faults),
                "host_queued": self.host_queued(), "signals": self.signals, "pending": len(self.pending),
                "reading": self.master is not None and time.monotonic() >= self.paused_until}

    # --- the loop ----------------------------------------------------------------------------------------------

    def serve(self):
        control = sys.stdin.fileno()
        lines = bytearray()
        self.answer({"ok": True, "path": self.path})
        while True:
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                heapq.heappop(self.timers)[2]()
            reading = self.master is not None and now >= self.paused_until
            readers = [control] + ([self.master] if reading else [])
            writers = [self.master] if self.pending and self.master is not None else []
            wait = 0.05
            if self.timers:
                wait = min(wait, max(0.0, self.timers[0][0] - now))
            if not reading and self.master is not None:
                wait = min(wait, max(0.0, self.paused_until - now))
            ready, writable, _ = select.select(readers, writers, [], wait)
            if writable:
                self.flush()
            if self.master is not None and self.master in ready:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    data = b""
                if data:
                    self.take_input(data)
            if control in ready:
                chunk = os.read(control, 65536)
                if not chunk:
                    return
                lines += chunk
                while b"\n" in lines:
                    line, _, rest = bytes(lines).partition(b"\n")
                    lines = bytearray(rest)
                    self.answer(self.command(json.loads(line)))

    @staticmethod
    def answer(message):
        sys.stdout.write(json.dumps(message) + "\n")
        sys.stdout.flush()


class FaultDevice:
    """The test's side: starts the device process and sends it commands."""

    def __init__(self, mode="arm", link=None):
        arguments = [sys.executable, os.path.abspath(__file__), "--mode", mode]
        if link:
            arguments += ["--link", str(link)]
        self._process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.path = self._read()["path"]

    def _read(self):
        line = self._process.stdout.readline()
        if not line:
            raise RuntimeError("the device process ended")
        return json.loads(line)

    def command(self, op, **fields):
        self._process.stdin.write((json.dumps(dict(op=op, **fields)) + "\n").encode())
        self._process.stdin.flush()
        return self._read()

    def state(self):
        return self.command("state")

    def wait_for(self, condition, timeout=10.0):
        """Polls the device's state until condition(state) holds; the state, or None after timeout."""
        give_up = time.monotonic() + timeout
        while True:
            state = self.state()
            if condition(state):
                return state
            if time.monotonic() > give_up:
                return None
            time.sleep(0.01)

    def expect(self, size, reply=b"", delay=0.0):
        self.command("expect", size=size, reply=bytes(reply).hex(), delay=delay)

    def expect_then_hang_up(self, size, delay=0.0):
        self.command("expect", size=size, delay=delay, hang_up=True)

    def send(self, data, delay=0.0):
        self.command("send", data=bytes(data).hex(), delay=delay)

    def fault(self, kind, count=1, **fields):
        self.command("fault", fault=dict(kind=kind, **fields), count=count)

    def written(self):
        return bytes.fromhex(self.state()["written"])

    def close(self):
        if self._process.poll() is None:
            self._process.stdin.close()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._process.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=["arm", "script"], default="arm")
    parser.add_argument("--link", help="a symbolic link kept pointing at the current pty")
    options = parser.parse_args()
    # The test interrupts itself through this process; it must not take those signals.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    Device(options.mode, options.link).serve()


if __name__ == "__main__":
    main()

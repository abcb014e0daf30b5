"""The program under test: a Python process that drives the module as the chaos test tells it.

One JSON command a line on standard input, one JSON answer a line on standard output with the
call's begin and end on the monotonic clock (which the device process shares), its result or the
exception it raised, and the telemetry the loop recorded since the last answer. Run in its own
process so that a call that never returns is a finding (the test kills it), not a hung test run.

Calls the program makes on the arm itself (not through the loop) carry a marker in their values,
so that what the device received says who sent it: x = MARK_X, y = MARK_Y, z = -0.001 * call.
"""

import faulthandler
import gc
import json
import math
import signal
import sys
import threading
import time

import VelkorHardwareAPI as api

MARK_X = 0.000321
MARK_Y = 0.000123


class Program:
    def __init__(self):
        self.stream = None
        self.arm = None
        self.loop = None
        self.loops = 0
        self.effects = []          # [effect, handle or None]
        self.calls = 0
        self.thread = None
        self.thread_results = []
        self.thread_lock = threading.Lock()
        self.lines = []
        api.set_error_handler(self.line)

    def line(self, text):
        if len(self.lines) < 200:
            self.lines.append(text)

    # --- the calls -------------------------------------------------------------------------------------------

    def marker(self):
        with self.thread_lock:
            self.calls += 1
            return [MARK_X, MARK_Y, -0.001 * self.calls]

    def plain(self, call):
        values = self.marker()
        method = self.arm.end_effector_force if call == "force" else self.arm.end_effector_position
        position, velocity = method(values)
        return {"sent": values, "position": list(position), "velocity": list(velocity)}

    def thread_body(self, count, interval):
        for _ in range(count):
            t0 = time.monotonic()
            try:
                result, error = self.plain("force"), None
            except Exception as e:  # noqa: BLE001 - every outcome is reported to the judge
                result, error = None, f"{type(e).__name__}: {e}"
            with self.thread_lock:
                self.thread_results.append({"t0": t0, "t1": time.monotonic(), "result": result, "error": error})
            time.sleep(interval)

    def make_effect(self, kind, values):
        if kind == "constant":
            return api.ConstantForce(values)
        if kind == "damper":
            return api.Damper(values[0])
        return api.Spring(values, 0.5)

    def run(self, op, args):
        if op == "open":
            self.stream = api.SerialStream(args["path"])
            self.arm = api.Vorlan3(self.stream, args["read_timeout"])
            return True
        if op == "loop":
            self.loop = None
            gc.collect()  # an earlier loop is collected here: its way out ends with zero force
            ports = [args["link"]] if args["reconnect"] else None
            self.loop = api.ServoLoop(self.arm, args["rate"], exchange_timeout=args["exchange_timeout"],
                                      failure_limit=args["failure_limit"], ramp_s=args["ramp_s"],
                                      reconnect=args["reconnect"], reconnect_ports=ports)
            self.loop.max_force = args["max_force"]
            self.loops += 1
            self.effects = []
            return self.loops
        if op == "start":
            self.loop.start()
            return self.state()
        if op == "stop":
            return self.loop.stop()
        if op == "close":
            return self.stream.close()
        if op == "reopen":
            return self.stream.reopen()
        if op == "add":
            effect = self.make_effect(args["kind"], args["values"])
            handle = self.loop.add(effect, lease=args["lease"])
            self.effects.append([effect, handle])
            return handle
        if op in ("remove", "enable", "gain", "renew"):
            live = [e for e in self.effects if e[1] is not None]
            if not live:
                return None
            entry = live[args["index"] % len(live)]
            if op == "remove":
                self.loop.remove(entry[1])
                entry[1] = None
            elif op == "enable":
                entry[0].enabled = args["on"]
            elif op == "gain":
                entry[0].gain = args["gain"]
            else:
                self.loop.renew(entry[1])
            return entry[1]
        if op == "max_force":
            self.loop.max_force = args["value"]
            return args["value"]
        if op == "callback":
            pause = args["sleep"]
            self.loop.on_state((lambda state: time.sleep(pause)) if pause is not None else None, 50.0)
            return pause
        if op == "plain":
            return self.plain(args["call"])
        if op == "thread":
            if self.thread is not None and self.thread.is_alive():
                return False  # one second thread at a time
            self.thread = threading.Thread(target=self.thread_body, args=(args["count"], args["interval"]),
                                           daemon=True)
            self.thread.start()
            return True
        if op == "state":
            return self.state()
        if op == "sleep":
            time.sleep(args["seconds"])
            return None
        if op == "collect":
            self.loop = None
            self.effects = []
            gc.collect()
            return None
        raise ValueError(f"unknown op {op}")

    def join_thread(self):
        if self.thread is not None:
            self.thread.join(timeout=30.0)
            self.thread = None

    def state(self):
        if self.loop is None:
            return None
        s = self.loop.state()
        out = {"position": list(s["position"]), "velocity": list(s["velocity"]), "force": list(s["force"]),
               "cycle": s["cycle"], "holding": s["holding"], "error": self.loop.error}
        for name in ("valid", "ok", "outcome"):  # a validity flag, where the state has one
            if name in s:
                value = s[name]
                out[name] = value if isinstance(value, (bool, int, float, str, type(None))) else str(value)
        return out

    def drain(self):
        if self.loop is None:
            return [], 0
        records, lost = self.loop.drain()
        rows = []
        for r in records:
            rows.append([int(r["cycle"]), *map(float, r["position"]), *map(float, r["velocity"]),
                         *map(float, r["force"]), int(r["flags"])])
        return rows, int(lost)


def clean(value):
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if isinstance(value, list):
        return [clean(v) for v in value]
    if isinstance(value, dict):
        return {k: clean(v) for k, v in value.items()}
    return value


def main():
    faulthandler.enable()
    faulthandler.register(signal.SIGUSR1, all_threads=True)  # the test asks for stacks before killing
    program = Program()
    acting = [False]

    def on_sigint(signum, frame):
        if acting[0]:
            acting[0] = False  # one interruption per call: its handling is not interrupted again
            raise KeyboardInterrupt
    signal.signal(signal.SIGINT, on_sigint)

    out = sys.stdout
    request = {}
    for raw in sys.stdin:
        request = json.loads(raw)
        op = request.pop("op")
        if op == "exit":
            break
        result = error = None
        t0 = time.monotonic()
        acting[0] = True
        try:
            try:
                result = program.run(op, request)
            finally:
                # Python runs the handler at its next chance, maybe after the call returned: from here on
                # an interruption is the call's outcome, never one that breaks its handling.
                acting[0] = False
        except BaseException as e:  # noqa: BLE001 - KeyboardInterrupt included: it is an outcome
            error = f"{type(e).__name__}: {e}"
        t1 = time.monotonic()
        try:
            records, lost = program.drain()
        except Exception as e:  # noqa: BLE001
            records, lost, error = [], 0, error or f"drain: {type(e).__name__}: {e}"
        with program.thread_lock:
            thread_results, program.thread_results = program.thread_results, []
        lines, program.lines = program.lines, []
        answer = {"op": op, "t0": t0, "t1": t1, "result": result, "error": error, "records": records,
                  "lost": lost, "thread": thread_results, "lines": lines, "loops": program.loops,
                  "running": program.loop is not None and program.loop.running}
        out.write(json.dumps(clean(answer)) + "\n")
        out.flush()
    # The way out: what the last command left (a running loop, an open stream) ends with the interpreter.
    program.join_thread()
    style = request.get("style", "exit")
    if style == "stop" and program.loop is not None:
        program.loop.stop()
    elif style == "close" and program.stream is not None:
        program.stream.close()
    elif style == "collect":
        program.loop = None
        program.effects = []
        gc.collect()
    out.write(json.dumps({"op": "exit", "t1": time.monotonic()}) + "\n")
    out.flush()


if __name__ == "__main__":
    main()

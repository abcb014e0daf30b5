"""The chaos test: random programs against a device with random timing, judged from outside.

A Session runs one schedule: a device process (device.py) on a real pty and a program process
(program.py) that drives the module. Every step is recorded, so that a failing schedule prints one
command that replays it. ChaosMachine draws the steps with Hypothesis's stateful testing.
"""

import json
import os
import random
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time

from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, precondition, rule

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import judge  # noqa: E402
from device import PROFILES  # noqa: E402

# How long a call may take beyond its documented bound on a loaded machine, and how long before
# a call that has not returned counts as a deadlock.
SLACK = 1.0
HANG = 20.0


class Finding(AssertionError):
    pass


# The last finding raised, for a report when Hypothesis wraps it (a timing-dependent failure that did
# not repeat on Hypothesis's own re-run comes back as Flaky).
last_finding = []


def replay_command(schedule):
    return (f"{shlex.quote(sys.executable)} {shlex.quote(os.path.join(ROOT, 'bench', 'chaos.py'))} "
            f"--replay {shlex.quote(json.dumps(schedule, separators=(',', ':')))}")


class Session:
    """One schedule: its settings (config) and its steps, run against fresh processes."""

    def __init__(self, config):
        self.config = dict(config)
        self.steps = []
        self.answers = []
        self.device_events = []
        self.findings = []
        self.folder = tempfile.mkdtemp(prefix="velkor-chaos-")
        self.link = os.path.join(self.folder, "arm")
        self.log = os.path.join(self.folder, "device.log")
        self.device = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "device.py"), "--seed", str(config["seed"]),
             "--profile", config["profile"], "--timeout", str(config["exchange_timeout"]),
             "--notify-hz", str(config["notify_hz"]), "--link", self.link, "--log", self.log],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.device_read()
        self.program = subprocess.Popen([sys.executable, os.path.join(HERE, "program.py")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.stderr = []
        self.running = False
        self.stream_open = True
        threading.Thread(target=self._collect_stderr, daemon=True).start()
        self.finished = False
        self.act("open", path=self.link, read_timeout=config["read_timeout"])
        self.act("loop", **self.loop_settings())

    def loop_settings(self, **changes):
        c = dict(self.config, **changes)
        return dict(rate=c["rate"], exchange_timeout=c["exchange_timeout"], failure_limit=c["failure_limit"],
                    ramp_s=c["ramp_s"], reconnect=c["reconnect"], max_force=c["max_force"], link=self.link)

    def _collect_stderr(self):
        for line in self.program.stderr:
            if len(self.stderr) < 4000:
                self.stderr.append(line)

    @property
    def schedule(self):
        return {"config": self.config, "steps": self.steps}

    def fail(self, text):
        self.findings.append(text)
        self.raise_finding(f"{text}\nreplay: {replay_command(self.schedule)}")

    @staticmethod
    def raise_finding(text):
        if not last_finding:
            last_finding.append(text)
        raise Finding(text)

    # --- the processes ---------------------------------------------------------------------------------------

    def device_read(self):
        line = self.device.stdout.readline()
        if not line:
            raise RuntimeError("the device process ended")
        return json.loads(line)

    def device_op(self, op, **fields):
        self.steps.append(["device", op, fields])
        self.device.stdin.write(json.dumps(dict(op=op, **fields)) + "\n")
        self.device.stdin.flush()
        answer = self.device_read()
        self.device_events.append(dict(answer, op=op))
        return answer

    def _read_answer(self, timeout):
        box = []
        reader = threading.Thread(target=lambda: box.append(self.program.stdout.readline()), daemon=True)
        reader.start()
        reader.join(timeout)
        return box[0] if box else None

    def act(self, op, interrupt_after=None, **args):
        """Runs one call in the program; interrupt_after: seconds after which SIGINT reaches it."""
        self.steps.append(["act", op, dict(args, interrupt_after=interrupt_after)])
        self.program.stdin.write(json.dumps(dict(op=op, **args)) + "\n")
        self.program.stdin.flush()
        timer = None
        if interrupt_after is not None:
            timer = threading.Timer(interrupt_after, lambda: self._signal(signal.SIGINT))
            timer.start()
        line = self._read_answer(HANG + args.get("seconds", 0.0))
        if timer is not None:
            timer.join()
        if not line and self.program.poll() is not None:
            time.sleep(0.2)
            self.fail(f"crash: the program ended (status {self.program.returncode}) during {op}({args}):\n"
                      + "".join(self.stderr[-60:]))
        if not line:
            self._stacks()
            self.fail(f"deadlock: {op}({args}) did not return within {HANG} s; the program's threads:\n"
                      + "".join(self.stderr[-80:]))
        answer = json.loads(line)
        answer["args"] = args
        self.answers.append(answer)
        self.running = answer.get("running", False)
        if op == "close" or (op == "reopen" and answer["error"] is not None):
            self.stream_open = False
        elif op == "reopen":
            self.stream_open = True
        took = answer["t1"] - answer["t0"]
        bound = self.bound(op, args)
        if took > bound:
            self.fail(f"bound: {op}({args}) took {took:.3f} s (bound {bound:.3f} s); error: {answer['error']}")
        for t in answer["thread"]:
            if t["t1"] - t["t0"] > self.bound("plain", {}):
                self.fail(f"bound: a call from a second thread took {t['t1'] - t['t0']:.3f} s")
        return answer

    def bound(self, op, args):
        c = self.config
        loop = next((a["args"] for a in reversed(self.answers) if a["op"] == "loop"), self.loop_settings())
        timeout = loop["exchange_timeout"]
        if op in ("stop", "close", "reopen", "collect", "loop"):
            # Stopping: up to two exchange time-outs; reopening opens the line too.
            return 2 * timeout + SLACK
        if op == "start":
            return timeout + (c["read_timeout"] if loop["reconnect"] else 0.0) + SLACK
        if op == "plain":
            # One exchange, and after a failure the drain of the line for its horizon.
            return 3 * c["read_timeout"] + SLACK
        if op == "sleep":
            return args["seconds"] + SLACK
        return SLACK

    def _signal(self, number):
        try:
            self.program.send_signal(number)
        except ProcessLookupError:
            pass

    def _stacks(self):
        self._signal(signal.SIGUSR1)
        time.sleep(0.5)
        self.program.kill()
        self.program.wait()
        time.sleep(0.1)

    # --- the end ---------------------------------------------------------------------------------------------

    def finish(self):
        """Ends the program its way, then judges everything; raises Finding on the first schedule that fails."""
        if self.finished:
            return self.findings
        self.finished = True
        style = self.config["exit_style"]
        self.steps.append(["exit", style, {}])
        exit_time = None
        try:
            if self.program.poll() is None:
                self.program.stdin.write(json.dumps({"op": "exit", "style": style}) + "\n")
                self.program.stdin.flush()
                line = self._read_answer(HANG)
                try:
                    self.program.wait(timeout=HANG)
                except subprocess.TimeoutExpired:
                    self._stacks()
                    self.fail(f"deadlock: the program did not end after exit ({style}); its threads:\n"
                              + "".join(self.stderr[-80:]))
                if not line:
                    self.fail(f"exit: the program ended without its last answer; its error output:\n"
                              + "".join(self.stderr[-40:]))
                if self.program.returncode != 0:
                    self.fail(f"exit: the program ended with status {self.program.returncode}:\n"
                              + "".join(self.stderr[-40:]))
            exit_time = time.monotonic()
            time.sleep(0.1)  # what is in flight reaches the device
            self.device_op("sync")
            self.steps.pop()
        finally:
            self.close_processes()
        with open(self.log) as f:
            entries = [json.loads(line) for line in f if line.strip()]
        verdict = judge.Judge(self.config, entries, self.answers, self.device_events)
        findings = verdict.judge(exit_time)
        if os.environ.get("VELKOR_CHAOS_VERBOSE"):
            # The evidence stays in the folder: device.log and the program's answers.
            with open(os.path.join(self.folder, "answers.json"), "w") as f:
                json.dump(self.answers, f, indent=1)
            with open(os.path.join(self.folder, "stderr.txt"), "w") as f:
                f.write("".join(self.stderr))
            requests = sum(1 for e in entries if e[0] == "q")
            print(f"schedule: {len(self.steps)} steps, {requests} requests, {len(findings)} findings, "
                  f"evidence in {self.folder}", file=sys.stderr)
        if findings:
            shown = findings[:12] + ([f"... and {len(findings) - 12} more"] if len(findings) > 12 else [])
            self.findings += findings
            self.raise_finding(f"{len(findings)} finding(s):\n  " + "\n  ".join(shown)
                               + f"\nreplay: {replay_command(self.schedule)}")
        return []

    def close_processes(self):
        for process in (self.program, self.device):
            if process.poll() is None:
                try:
                    process.stdin.close()
                except OSError:
                    pass
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def replay(schedule):
    """Runs a recorded schedule again: the same settings and steps (the timing is the machine's own)."""
    session = Session(schedule["config"])
    steps = schedule["steps"][2:]  # open and loop were made by the session itself
    for kind, op, args in steps:
        if kind == "act":
            args = dict(args)
            interrupt_after = args.pop("interrupt_after", None)
            # The recorded line lived in a folder of its own: this run's device is at session.link.
            for name in ("link", "path"):
                if name in args:
                    args[name] = session.link
            session.act(op, interrupt_after=interrupt_after, **args)
        elif kind == "device":
            session.device_op(op, **args)
        elif kind == "exit":
            session.config["exit_style"] = op
    return session.finish()


# --- the Hypothesis state machine ------------------------------------------------------------------------------

vectors = st.lists(st.floats(-6.0, 6.0, allow_nan=False).map(lambda x: round(x, 3)), min_size=3, max_size=3)
# The settings of a schedule: each is drawn from its list.
SPACE = {
    "profile": sorted(PROFILES),
    "notify_hz": [0.0, 20.0, 300.0],
    "rate": [100.0, 250.0, 500.0, 1000.0],
    "exchange_timeout": [0.002, 0.01, 0.03, 0.05],
    "failure_limit": [1, 2, 3, 4],
    "ramp_s": [0.0, 0.02, 0.05, 0.1],
    "reconnect": [False, True],
    "max_force": [1.0, 3.0, 5.0],
    "read_timeout": [0.05, 0.2],
    "exit_style": ["exit", "stop", "close", "collect"],
    "push": [6.0],  # the largest component of a constant force (N)
}
# The rules a run can draw from (ChaosMachine.enabled narrows them).
RULES = ("start", "stop", "close", "reopen", "loop", "collect", "add", "effects", "gain", "max_force", "callback",
         "plain", "thread", "sleep", "state", "signal", "profile", "hang_up")
# Pauses between calls (seconds), so that the loop runs cycles between them.
PAUSES = (0.0, 0.0, 0.01, 0.05, 0.15)
CALLS_TO_INTERRUPT = ("plain", "stop", "close", "start", "sleep", "reopen")


class ChaosMachine(RuleBasedStateMachine):
    """Random programs; the settings come from the first step, the device's schedule from its seed."""

    # Which rules the machine draws from, and the settings each schedule draws its own from; a run
    # that cannot hold an invariant yet narrows these.
    enabled = None
    space = SPACE

    def __init__(self):
        super().__init__()
        self.session = None
        self.pauses = None

    def scaled(self, values):
        """A drawn force (components up to 6 N) scaled to the schedule's largest push."""
        return [round(v * self.session.config["push"] / 6.0, 3) for v in values]

    def act(self, op, **args):
        """One call, then a pause drawn from the schedule's seed that lets the loop run between calls."""
        answer = self.session.act(op, **args)
        pause = self.pauses.choice(PAUSES)
        if pause:
            self.session.act("sleep", seconds=pause)
        return answer

    def allowed(name, when=None):  # noqa: N805 - used in the class body as a precondition factory
        """A rule the run draws from; when: whether it makes sense now (running, open), so that the
        schedules spend their steps on a loop that runs rather than on calls refused at once."""
        return precondition(lambda self: self.session is not None and (self.enabled is None or name in self.enabled)
                            and (when is None or when(self.session)))

    @initialize(data=st.data())
    def setup(self, data):
        config = {"seed": data.draw(st.integers(0, 2**31 - 1), label="seed")}
        for name, choices in self.space.items():
            config[name] = data.draw(st.sampled_from(choices), label=name)
        self.session = Session(config)
        self.pauses = random.Random(config["seed"])
        push = data.draw(st.one_of(st.none(), vectors), label="push")
        if push is not None:
            push = self.scaled(push)
            self.act("add", kind="constant", values=push, lease=None)
        if data.draw(st.booleans(), label="start"):
            self.act("start")

    @allowed("start", lambda s: s.stream_open and not s.running)
    @rule(dwell=st.floats(0.0, 0.3))
    def start(self, dwell):
        self.act("start")
        if dwell:
            self.act("sleep", seconds=round(dwell, 3))

    @allowed("stop", lambda s: s.running)
    @rule()
    def stop(self):
        self.act("stop")

    @allowed("close", lambda s: s.stream_open)
    @rule()
    def close(self):
        self.act("close")

    @allowed("reopen")
    @rule()
    def reopen(self):
        self.act("reopen")

    @allowed("loop", lambda s: not s.running)
    @rule(data=st.data())
    def new_loop(self, data):
        # Another loop on the arm, with settings of its own from the schedule's space.
        changes = {name: data.draw(st.sampled_from(self.space[name]), label=name)
                   for name in ("failure_limit", "ramp_s", "exchange_timeout")}
        self.act("loop", **self.session.loop_settings(**changes))

    @allowed("collect", lambda s: s.running)
    @rule()
    def collect(self):
        self.act("collect")
        self.act("loop", **self.session.loop_settings())

    @allowed("add")
    @rule(kind=st.sampled_from(["constant", "constant", "damper"]), values=vectors,
          lease=st.one_of(st.none(), st.sampled_from([0.02, 0.05, 0.2])))
    def add(self, kind, values, lease):
        values = [1e-5, 0.0, 0.0] if kind == "damper" else self.scaled(values)
        self.act("add", kind=kind, values=values, lease=lease)

    @allowed("effects")
    @rule(op=st.sampled_from(["remove", "enable", "disable", "renew"]), index=st.integers(0, 7))
    def change(self, op, index):
        if op in ("enable", "disable"):
            self.act("enable", index=index, on=op == "enable")
        else:
            self.act(op, index=index)

    @allowed("gain")
    @rule(index=st.integers(0, 7), gain=st.sampled_from([0.0, 0.5, 1.0, 1.5]))
    def gain(self, index, gain):
        self.act("gain", index=index, gain=gain)

    @allowed("max_force")
    @rule(value=st.sampled_from([0.5, 2.0, 5.0]))
    def max_force(self, value):
        self.act("max_force", value=value)

    @allowed("callback")
    @rule(sleep=st.one_of(st.none(), st.sampled_from([0.0, 0.05, 2.5])))
    def callback(self, sleep):
        self.act("callback", sleep=sleep)

    @allowed("plain")
    @rule(call=st.sampled_from(["force", "position"]))
    def plain(self, call):
        self.act("plain", call=call)

    @allowed("thread")
    @rule(count=st.integers(1, 20), interval=st.sampled_from([0.0, 0.005, 0.02]))
    def thread(self, count, interval):
        self.act("thread", count=count, interval=interval)

    @allowed("sleep")
    @rule(seconds=st.sampled_from([0.05, 0.2, 0.5]))
    def sleep(self, seconds):
        self.act("sleep", seconds=seconds)

    @allowed("state")
    @rule()
    def state(self):
        self.act("state")

    @allowed("signal")
    @rule(call=st.sampled_from(CALLS_TO_INTERRUPT), after=st.floats(0.0, 0.06))
    def interrupt(self, call, after):
        args = {"plain": {"call": "force"}, "sleep": {"seconds": 0.1}}.get(call, {})
        self.act(call, interrupt_after=round(after, 4), **args)

    @allowed("profile")
    @rule(name=st.sampled_from(sorted(PROFILES)))
    def profile(self, name):
        self.session.device_op("profile", name=name)

    @allowed("hang_up", lambda s: s.running)
    @rule(replug_after=st.one_of(st.none(), st.sampled_from([0.0, 0.1, 0.4])))
    def hang_up(self, replug_after):
        # Unplugged, and plugged in again at once, a little later, or only when the schedule replugs.
        self.session.device_op("hang_up", replug_after=replug_after)

    @allowed("hang_up")
    @rule()
    def replug(self):
        self.session.device_op("replug")

    del allowed

    def teardown(self):
        if self.session is not None:
            try:
                self.session.finish()
            finally:
                self.session.close_processes()


def run(seed, examples, steps=12, enabled=None, space=None, shrink=False):
    """Runs `examples` schedules drawn from `seed`; raises the first failing one's Finding.

    enabled: the rules to draw from (default all); space: settings to draw from instead of SPACE's."""
    from hypothesis import HealthCheck, Phase, settings
    from hypothesis import seed as with_seed
    from hypothesis.stateful import run_state_machine_as_test

    machine = type("ChaosMachine", (ChaosMachine,), {"enabled": frozenset(enabled) if enabled else None,
                                                     "space": dict(SPACE, **(space or {}))})
    phases = [Phase.explicit, Phase.generate] + ([Phase.shrink] if shrink else [])
    chosen = settings(max_examples=examples, stateful_step_count=steps, deadline=None, database=None,
                      phases=phases, suppress_health_check=list(HealthCheck), print_blob=False,
                      report_multiple_bugs=False)

    @with_seed(seed)
    def schedules():
        run_state_machine_as_test(machine, settings=chosen)

    last_finding.clear()
    try:
        schedules()
    except Finding:
        raise
    except Exception as e:
        if last_finding:
            raise Finding(f"{last_finding[0]}\n(Hypothesis: {type(e).__name__})") from e
        raise

"""Start the ``velkor-sim`` device simulator from Python.

    with velkor_sim.simulator("arm") as port:
        stream = VelkorHardwareAPI.SerialStream(port)
        arm = VelkorHardwareAPI.Vorlan3(stream)

A ``Simulator`` object also drives the running device: faults for the next
requests (``inject``), a hand pushing the arm (``set_hand_force``), unplugging
and plugging the line back in (``hang_up``, ``plug``, ``replug``).

The program is looked up, in this order, at the path in the environment
variable ``VELKOR_SIM`` (handy when running from a build directory), on
``PATH``, and beside the running interpreter (the scripts directory of the
virtual environment the package was installed into).
"""

import contextlib
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from typing import IO, Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, TypedDict, Union, cast

__all__ = ["SimulatorError", "find_simulator", "simulator", "start", "Simulator", "SimulatorStats", "FAULT_KINDS",
           "fault_spec"]

PROGRAM = "velkor-sim"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
COMMAND_TIMEOUT = 10.0

# Fault kinds and the parameters each takes: seconds (float) or a count of bytes
# or frames (int). Kept in step with velkor-sim's own checks.
_SECONDS = ("delay", "gap", "duration")
FAULT_KINDS: Dict[str, Tuple[str, ...]] = {
    "silent": (),
    "late": ("delay",),
    "split": ("at", "gap"),
    "duplicate": ("gap",),
    "truncated": ("at",),
    "garbage": ("bytes",),
    "burst": ("count",),
    "stall": ("duration",),
    "hangup": ("delay",),
}
_MAX_SECONDS = 3600.0
_MAX_COUNT = {"at": 4096, "bytes": 4096, "count": 10000}
MAX_HAND_FORCE = 1000.0
MAX_BAUD = 10_000_000

FaultParam = Union[int, float]
FaultEntry = Union[str, Tuple[int, str], Tuple[int, str, Mapping[str, FaultParam]]]


class SimulatorError(RuntimeError):
    """The simulator could not be found or did not start."""


def find_simulator() -> str:
    """Path of the ``velkor-sim`` program; raises SimulatorError when there is none."""
    if sys.platform == "win32":
        # It plays devices on pseudo-terminals, which Windows does not have.
        raise SimulatorError(f"{PROGRAM} runs on Linux and other POSIX systems only, not on Windows: "
                             "run it there, or test against a real device")
    override = os.environ.get("VELKOR_SIM")
    if override:
        if os.access(override, os.X_OK):
            return os.path.abspath(override)
        raise SimulatorError(f"VELKOR_SIM={override!r} is not an executable file")
    candidates: List[Optional[str]] = [shutil.which(PROGRAM)]
    for directory in (os.path.dirname(sys.executable), sysconfig.get_path("scripts")):
        if directory:
            candidates.append(os.path.join(directory, PROGRAM))
    for path in candidates:
        if path and os.access(path, os.X_OK):
            return path
    raise SimulatorError(
        f"{PROGRAM} not found: install the package, put it on PATH, or set VELKOR_SIM to its path")


def fault_spec(kind: str, **params: FaultParam) -> str:
    """The text velkor-sim takes for one fault, ``KIND[:NAME=VALUE]...``, checked.

    ``fault_spec("late", delay=0.2)`` gives ``"late:delay=0.2"``. Raises ValueError
    for an unknown kind, a parameter the kind does not take or a value out of range,
    TypeError for a value that is not a number."""
    if not isinstance(kind, str) or kind not in FAULT_KINDS:
        raise ValueError(f"unknown fault kind {kind!r}; expected one of {', '.join(FAULT_KINDS)}")
    parts = [kind]
    for name, value in params.items():
        if name not in FAULT_KINDS[kind]:
            takes = ", ".join(FAULT_KINDS[kind]) or "none"
            raise ValueError(f"fault {kind!r} takes no parameter {name!r} (it takes: {takes})")
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"fault parameter {name} must be a number, not {type(value).__name__}")
        if name in _SECONDS:
            if not math.isfinite(value) or not 0.0 <= value <= _MAX_SECONDS:
                raise ValueError(f"fault parameter {name} must be seconds from 0 to {_MAX_SECONDS:g}, not {value!r}")
            parts.append(f"{name}={float(value)!r}")
        else:
            if not isinstance(value, int) or not 0 <= value <= _MAX_COUNT[name]:
                raise ValueError(f"fault parameter {name} must be a whole number from 0 to {_MAX_COUNT[name]}, "
                                 f"not {value!r}")
            parts.append(f"{name}={value}")
    return ":".join(parts)


def _parse_fault_text(text: str) -> str:
    """Checks a ``KIND[:NAME=VALUE]...`` text as fault_spec does; returns it rebuilt."""
    kind, *items = text.split(":")
    params: Dict[str, FaultParam] = {}
    for item in items:
        name, equals, value = item.partition("=")
        if not equals:
            raise ValueError(f"fault parameter {item!r} in {text!r} is not NAME=VALUE")
        try:
            params[name] = float(value) if name in _SECONDS else int(value)
        except ValueError:
            raise ValueError(f"fault parameter {item!r} in {text!r} is not a number") from None
    return fault_spec(kind, **params)


def _scripted_fault(entry: FaultEntry) -> str:
    if isinstance(entry, str):
        number, colon, fault = entry.partition(":")
        if not colon or not number.isdigit():
            raise ValueError(f"fault {entry!r} is not REQUEST:KIND[:NAME=VALUE]...")
        request, text = int(number), _parse_fault_text(fault)
    elif isinstance(entry, tuple) and len(entry) in (2, 3):
        request, kind = entry[0], entry[1]
        params: Mapping[str, FaultParam] = entry[2] if len(entry) == 3 else {}
        text = fault_spec(kind, **params)
    else:
        raise TypeError(f"a fault is 'REQUEST:KIND[:NAME=VALUE]...' or (request, kind[, params]), not {entry!r}")
    if isinstance(request, bool) or not isinstance(request, int) or not 1 <= request <= 2**31 - 1:
        raise ValueError(f"a fault's request number counts from 1, not {request!r}")
    return f"{request}:{text}"


def _force(force: Sequence[float]) -> Tuple[float, float, float]:
    values = list(force)
    if len(values) != 3:
        raise ValueError(f"a hand force has three components (N), not {len(values)}")
    for v in values:
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise TypeError(f"hand force components must be numbers, not {type(v).__name__}")
    if not all(math.isfinite(v) for v in values):
        raise ValueError(f"hand force components must be finite, not {values!r}")
    if math.sqrt(sum(v * v for v in values)) > MAX_HAND_FORCE:
        raise ValueError(f"a hand force is at most {MAX_HAND_FORCE:g} N, not {values!r}")
    return float(values[0]), float(values[1]), float(values[2])


def _arguments(device: str, options: "dict[str, Any]") -> List[str]:
    args = ["--device", device]
    for name, value in options.items():
        if value is None or value is False:
            continue
        flag = "--" + name.replace("_", "-")
        args += [flag, str(value)]
    return args


class SimulatorStats(TypedDict):
    """What ``Simulator.stats()`` returns."""
    requests: int   # commands received, counted from 1 over the simulator's life
    refused: int    # state requests refused for a value that is not a finite number
    faults: int     # faults applied so far
    waiting: int    # injected faults not yet given to a request
    connected: int  # 1 while a host holds the line
    plugged: int    # 0 between a hang-up and the new line


class Simulator:
    """A running simulator; ``path`` is the line to open. Stop it with ``stop()``.

    ``options`` become command-line options: ``notify=HZ``, ``latency_us=N``,
    ``stream_status=HZ``, ``link=PATH``. The keyword arguments:

    ``baud``: send no faster than a UART at this rate (10 bits a byte).

    ``faults``: faults by request number (counted from 1), each
    ``"5:late:delay=0.2"`` or ``(5, "late", {"delay": 0.2})``.

    ``fault_rate``, ``fault_seed``, ``fault_kinds``: a fault at each request
    with this probability, drawn reproducibly from the seed among the kinds
    (each ``"KIND[:NAME=VALUE]..."``; by default the kinds that keep the line).

    ``hand``: (fx, fy, fz) in N, a hand pushing the arm's end effector.

    ``echo``: a state reply carries the request's three values as its position
    and the request's number as its first velocity.

    Bad values raise ValueError or TypeError before anything starts."""

    def __init__(self, device: str = "arm", *, baud: Optional[float] = None,
                 faults: Optional[Sequence[FaultEntry]] = None, fault_rate: Optional[float] = None,
                 fault_seed: Optional[int] = None, fault_kinds: Optional[Sequence[str]] = None,
                 hand: Optional[Sequence[float]] = None, echo: bool = False,
                 **options: Union[str, int, float, None]) -> None:
        self.device = device
        extra: List[str] = []
        if baud is not None:
            if isinstance(baud, bool) or not isinstance(baud, (int, float)) or not 0 < baud <= MAX_BAUD:
                raise ValueError(f"baud must be a rate above 0 and up to {MAX_BAUD}, not {baud!r}")
            extra += ["--baud", repr(float(baud))]
        for entry in faults or ():
            extra += ["--fault", _scripted_fault(entry)]
        if fault_rate is not None:
            if isinstance(fault_rate, bool) or not isinstance(fault_rate, (int, float)) or not 0 <= fault_rate <= 1:
                raise ValueError(f"fault_rate is a probability from 0 to 1, not {fault_rate!r}")
            extra += ["--fault-rate", repr(float(fault_rate))]
        if fault_seed is not None:
            if isinstance(fault_seed, bool) or not isinstance(fault_seed, int) or not 0 <= fault_seed < 2**64:
                raise ValueError(f"fault_seed is a whole number from 0 below 2**64, not {fault_seed!r}")
            extra += ["--fault-seed", str(fault_seed)]
        if fault_kinds is not None:
            kinds = [fault_kinds] if isinstance(fault_kinds, str) else list(fault_kinds)
            fault_texts = [_parse_fault_text(item) for kind in kinds for item in kind.split(",")]
            if not fault_texts:
                raise ValueError("fault_kinds names no kind")
            extra += ["--fault-kinds", ",".join(fault_texts)]
        if hand is not None:
            if device != "arm":
                raise ValueError("hand= is for the arm")
            extra += ["--hand", ",".join(repr(v) for v in _force(hand))]
        if echo:
            if device != "arm":
                raise ValueError("echo= is for the arm")
            extra.append("--echo")
        self.command = [find_simulator()] + _arguments(device, options) + extra + ["--control"]
        self._lock = threading.Lock()
        self._output = b""
        self._replugged = False  # a new line appeared that wait_replugged has not returned
        self.process = subprocess.Popen(
            self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.path = self._read_path()
        except BaseException:
            self.stop()
            raise

    def _read_line(self, deadline: float, waiting_for: str) -> str:
        """The next line the simulator prints, within the deadline."""
        fd = self._pipe(self.process.stdout).fileno()
        while b"\n" not in self._output:
            left = deadline - time.monotonic()
            ready = select.select([fd], [], [], left)[0] if left > 0 else []
            if not ready:
                raise SimulatorError(f"{PROGRAM} printed no {waiting_for} in time")
            chunk = os.read(fd, 4096)
            if not chunk:
                err = self._pipe(self.process.stderr).read().decode(errors="replace").strip()
                self.process.wait()
                raise SimulatorError(f"{PROGRAM} ended (exit status {self.process.returncode}): {err or 'no message'}")
            self._output += chunk
        line, _, self._output = self._output.partition(b"\n")
        return line.decode(errors="replace").strip()

    def _read_path(self) -> str:
        deadline = time.monotonic() + START_TIMEOUT
        try:
            return self._read_line(deadline, "line")
        except SimulatorError as e:
            if "ended" in str(e):
                raise SimulatorError(str(e).replace(f"{PROGRAM} ended", f"{PROGRAM} ended at start-up")) from None
            raise SimulatorError(f"{PROGRAM} printed no line within {START_TIMEOUT} s") from None

    def _take_line(self, deadline: float, waiting_for: str) -> str:
        """The next answer line; the paths of new lines on the way update ``path``."""
        while True:
            line = self._read_line(deadline, waiting_for)
            if line.startswith("/"):
                self.path = line
                self._replugged = True
                continue
            return line

    def _command(self, text: str, timeout: float = COMMAND_TIMEOUT) -> str:
        with self._lock:
            if self.process.poll() is not None or self.process.stdin is None or self.process.stdin.closed:
                raise SimulatorError(f"{PROGRAM} is not running")
            if "\n" in text:
                raise ValueError("a simulator command is one line")
            try:
                self.process.stdin.write(text.encode() + b"\n")
                self.process.stdin.flush()
            except (BrokenPipeError, OSError) as e:
                raise SimulatorError(f"{PROGRAM} is not running ({e})") from None
            answer = self._take_line(time.monotonic() + timeout, f"answer to {text[:20]!r}")
        if answer.startswith("ok"):
            return answer[2:].strip()
        raise SimulatorError(f"{PROGRAM} refused {text!r}: {answer}")

    def inject(self, kind: str, **params: FaultParam) -> None:
        """Gives the next request that has no fault yet this fault, e.g.
        ``inject("late", delay=0.2)``. Kinds and parameters are in ``FAULT_KINDS``;
        see the testing guide for what each does."""
        self._command("inject " + fault_spec(kind, **params))

    def set_hand_force(self, force: Sequence[float]) -> None:
        """A hand pushes the arm's end effector with ``force`` (N, three components)
        from now on, on top of what the host commands; ``[0, 0, 0]`` lets go."""
        if self.device != "arm":
            raise ValueError("a hand pushes only the arm")
        fx, fy, fz = _force(force)
        self._command(f"hand {fx!r} {fy!r} {fz!r}")

    def hang_up(self) -> None:
        """Closes the line as if the device were unplugged; ``plug()`` brings it back."""
        self._command("hangup")

    def plug(self) -> str:
        """Makes the new line after ``hang_up()`` (at the same ``link=`` if one was
        given; the same device, same identifier) and returns its path."""
        self._command("plug")
        self._replugged = False
        return self.path

    def replug(self, delay: float = 0.5) -> str:
        """Unplugs the device now and plugs it back ``delay`` seconds later; returns
        the new line's path once it is there."""
        if isinstance(delay, bool) or not isinstance(delay, (int, float)) or not 0 <= delay <= _MAX_SECONDS:
            raise ValueError(f"delay must be seconds from 0 to {_MAX_SECONDS:g}, not {delay!r}")
        self._replugged = False
        self._command(f"hangup {float(delay)!r}")
        return self.wait_replugged(delay + START_TIMEOUT)

    def wait_replugged(self, timeout: float = START_TIMEOUT) -> str:
        """Waits for the new line after a hang-up (one from ``replug`` or a
        ``hangup`` fault) and returns its path. Raises SimulatorError on time-out."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while not self._replugged:
                line = self._read_line(deadline, "new line")
                if line.startswith("/"):
                    self.path = line
                    break
            self._replugged = False
            return self.path

    def stats(self) -> SimulatorStats:
        """Counts kept by the simulator (see ``SimulatorStats``)."""
        fields = dict(item.split("=", 1) for item in self._command("stats").split())
        return cast(SimulatorStats, {name: int(value) for name, value in fields.items()})

    @staticmethod
    def _pipe(pipe: Optional["IO[bytes]"]) -> "IO[bytes]":
        return cast("IO[bytes]", pipe)

    def running(self) -> bool:
        return self.process.poll() is None

    def stop(self) -> int:
        """Stops the simulator (SIGTERM, then SIGKILL if it lingers); returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            if pipe:
                try:
                    pipe.close()
                except OSError:
                    pass
        return self.process.returncode

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def start(device: str = "arm", **options: Any) -> Simulator:
    """Starts a simulator and returns the ``Simulator``; the caller stops it."""
    return Simulator(device, **options)


@contextlib.contextmanager
def simulator(device: str = "arm", **options: Any) -> Iterator[str]:
    """Runs a simulated ``device`` ("arm" or "handle") for the ``with`` block and
    yields the path of its line. Options as for ``Simulator``."""
    sim = Simulator(device, **options)
    try:
        yield sim.path
    finally:
        sim.stop()

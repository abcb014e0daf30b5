"""Start the ``velkor-sim`` device simulator from Python.

    with velkor_sim.simulator("arm") as port:
        stream = VelkorHardwareAPI.SerialStream(port)
        arm = VelkorHardwareAPI.Vorlan3(stream)

The program is looked up, in this order, at the path in the environment
variable ``VELKOR_SIM`` (handy when running from a build directory), on
``PATH``, and beside the running interpreter (the scripts directory of the
virtual environment the package was installed into).
"""

import contextlib
import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from typing import IO, Any, Iterator, List, Optional, Union, cast

__all__ = ["SimulatorError", "find_simulator", "simulator", "start", "Simulator"]

PROGRAM = "velkor-sim"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0


class SimulatorError(RuntimeError):
    """The simulator could not be found or did not start."""


def find_simulator() -> str:
    """Path of the ``velkor-sim`` program; raises SimulatorError when there is none."""
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


def _arguments(device: str, options: "dict[str, Any]") -> List[str]:
    args = ["--device", device]
    for name, value in options.items():
        if value is None or value is False:
            continue
        flag = "--" + name.replace("_", "-")
        args += [flag, str(value)]
    return args


class Simulator:
    """A running simulator; ``path`` is the line to open. Stop it with ``stop()``."""

    def __init__(self, device: str = "arm", **options: Union[str, int, float, None]) -> None:
        """``options`` become command-line options: ``notify=HZ``, ``latency_us=N``,
        ``stream_status=HZ``, ``link=PATH``."""
        self.device = device
        self.command = [find_simulator()] + _arguments(device, options)
        self.process = subprocess.Popen(
            self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.path = self._read_path()
        except BaseException:
            self.stop()
            raise

    def _read_path(self) -> str:
        deadline = time.monotonic() + START_TIMEOUT
        line = b""
        fd = self._pipe(self.process.stdout).fileno()
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready = select.select([fd], [], [], max(left, 0.0))[0] if left > 0 else []
            if not ready:
                raise SimulatorError(f"{PROGRAM} printed no line within {START_TIMEOUT} s")
            chunk = os.read(fd, 256)
            if not chunk:
                err = self._pipe(self.process.stderr).read().decode(errors="replace").strip()
                raise SimulatorError(f"{PROGRAM} ended at start-up: {err or 'no message'}")
            line += chunk
        return line.decode().strip()

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
        for pipe in (self.process.stdout, self.process.stderr):
            if pipe:
                pipe.close()
        return self.process.returncode

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def start(device: str = "arm", **options: Union[str, int, float, None]) -> Simulator:
    """Starts a simulator and returns the ``Simulator``; the caller stops it."""
    return Simulator(device, **options)


@contextlib.contextmanager
def simulator(device: str = "arm", **options: Union[str, int, float, None]) -> Iterator[str]:
    """Runs a simulated ``device`` ("arm" or "handle") for the ``with`` block and
    yields the path of its line. Options as for ``Simulator``."""
    sim = Simulator(device, **options)
    try:
        yield sim.path
    finally:
        sim.stop()

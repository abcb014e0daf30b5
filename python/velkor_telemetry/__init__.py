"""Every cycle of a servo loop: recordings in MCAP, reading them back, plots, Python force fields.

``ServoLoop.drain()`` hands over the cycles since the last drain as a NumPy structured array
(``ServoLoop.telemetry_dtype``). :class:`Recording` writes them to an MCAP file, one JSON message a
cycle on the topic ``/velkor/servo`` (schema ``velkor.ServoCycle``, JSON Schema :data:`SCHEMA`);
:func:`read` gives such a file back as the same array, :func:`plot` draws it, and :class:`Field` runs a
Python force law on a thread of its own under a lease.
"""

from __future__ import annotations

import json
import os
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

__all__ = [
    "FLAGS",
    "SCHEMA",
    "SCHEMA_NAME",
    "TOPIC",
    "Field",
    "Recording",
    "RecordingError",
    "plot",
    "read",
    "read_summary",
]

#: Bits of a record's ``flags``.
FLAGS: Dict[str, int] = {
    "held": 1 << 0,  # zero force sent for safety (failures, reconnecting)
    "late": 1 << 1,  # started more than a tenth of a period after its deadline
    "resent": 1 << 2,  # started after late_limit: the device's force was sent again
    "failed": 1 << 3,  # this cycle's exchange failed
    "ramping": 1 << 4,  # force ramping in, or slewing to a changed set of effects
    "reconnecting": 1 << 5,  # the port went away; looking for the arm
    "overrun": 1 << 6,  # the device does not keep the rate
    "lease_out": 1 << 7,  # an effect's lease ran out: it is ramping out or out
}

TOPIC = "/velkor/servo"
SCHEMA_NAME = "velkor.ServoCycle"
_VEC3 = {"type": "array", "items": {"type": "number"}, "minItems": 3, "maxItems": 3}
#: The JSON Schema of one message: one servo cycle.
SCHEMA: Dict[str, Any] = {
    "title": SCHEMA_NAME,
    "description": "One cycle of a VelkorHardwareAPI servo loop",
    "type": "object",
    "properties": {
        "time": {"type": "number", "description": "s from the start of the loop to the start of this cycle"},
        "cycle": {"type": "integer", "description": "cycle number from 0 at start"},
        "position": dict(_VEC3, description="m, of this cycle's reply (the last good one when it failed)"),
        "velocity": dict(_VEC3, description="m/s"),
        "force": dict(_VEC3, description="N, sent in this cycle's exchange"),
        "period_us": {"type": "number", "description": "from the previous cycle's start; 0 for the first"},
        "exchange_us": {"type": "number", "description": "duration of the force exchange"},
        "compute_us": {"type": "number", "description": "summing the effects' force"},
        "lateness_us": {"type": "number", "description": "start after the cycle's deadline"},
        "flags": {"type": "integer", "description": "bits: " + ", ".join(f"{k}={v}" for k, v in FLAGS.items())},
    },
    "required": ["time", "cycle", "position", "velocity", "force", "period_us", "exchange_us", "compute_us",
                 "lateness_us", "flags"],
}
_FIELDS = ("time", "cycle", "position", "velocity", "force", "period_us", "exchange_us", "compute_us",
           "lateness_us", "flags")
#: Name of the metadata record a recording ends with.
SUMMARY_NAME = "velkor.recording"

PathLike = Union[str, "os.PathLike[str]"]


class RecordingError(RuntimeError):
    """A recording could not be written (its file, its disk), or a file is not a recording."""


def _dtype() -> np.dtype:
    import VelkorHardwareAPI

    return VelkorHardwareAPI.ServoLoop.telemetry_dtype


class Recording:
    """Writes every cycle a drain function hands over to an MCAP file, from a thread of its own.

    Usually made by ``ServoLoop.record(path)`` or ``ServoLoop.start(record=path)``; ``drain`` returns
    ``(records, lost)`` as ``ServoLoop.drain()`` does. The file is complete once :meth:`stop` returns.
    """

    #: How often the thread drains, seconds: the ring holds 8 s at 1 kHz, so a stall of the
    #: thread (a long garbage collection, a slow disk) loses nothing.
    INTERVAL = 0.05

    def __init__(self, path: PathLike, drain: Callable[[], Tuple[np.ndarray, int]], rate_hz: float = 1000.0):
        from mcap.writer import Writer

        self.path = os.fspath(path)
        self._drain = drain
        self._file = open(self.path, "wb")
        try:
            self._writer = Writer(self._file)
            self._writer.start(profile="", library="VelkorHardwareAPI velkor_telemetry")
            schema = self._writer.register_schema(SCHEMA_NAME, "jsonschema", json.dumps(SCHEMA).encode())
            self._channel = self._writer.register_channel(TOPIC, "json", schema, {"rate_hz": repr(rate_hz)})
        except BaseException:
            self._file.close()
            raise
        self.rate_hz = rate_hz
        self.messages = 0
        self.lost = 0
        self._anchor_ns: Optional[int] = None
        self._last_time = -1.0
        self._stop = threading.Event()
        self._error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._run, name="velkor-recording", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def _run(self) -> None:
        try:
            while not self._stop.wait(self.INTERVAL):
                self._write(*self._drain())
        except BaseException as e:  # kept for stop() to raise
            self._error = e

    def _write(self, records: np.ndarray, lost: int) -> None:
        self.lost += int(lost)
        if len(records) == 0:
            return
        times = records["time"].tolist()
        if self._anchor_ns is None or times[0] < self._last_time:
            # Wall-clock log times, anchored once per run of the loop.
            self._anchor_ns = time.time_ns() - int(times[-1] * 1e9)
        self._last_time = times[-1]
        columns = [records[name].tolist() for name in _FIELDS]
        add = self._writer.add_message
        dumps = json.JSONEncoder(separators=(",", ":")).encode
        for row in zip(*columns):
            stamp = self._anchor_ns + int(row[0] * 1e9)
            add(self._channel, stamp, dumps(dict(zip(_FIELDS, row))).encode(), stamp, sequence=row[1] & 0xFFFFFFFF)
        self.messages += len(times)

    def stop(self) -> Dict[str, Any]:
        """Write what is left, close the file and return a summary: path, messages, lost."""
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout=60.0)
        try:
            if self._error is None and not self._thread.is_alive():
                try:
                    self._write(*self._drain())
                except BaseException as e:
                    self._error = e
            summary = {"path": self.path, "messages": self.messages, "lost": self.lost}
            if self._error is None:
                self._writer.add_metadata(SUMMARY_NAME, {k: str(v) for k, v in summary.items()} |
                                          {"schema": SCHEMA_NAME, "rate_hz": repr(self.rate_hz)})
                self._writer.finish()  # type: ignore[no-untyped-call]
        finally:
            self._file.close()
        if self._error is not None:
            raise RecordingError(f"recording to {self.path!r} failed: {self._error}") from self._error
        return summary


def read(path: PathLike) -> np.ndarray:
    """The cycles of a recording as a structured array of ``ServoLoop.telemetry_dtype``."""
    from mcap.reader import make_reader

    rows: List[Dict[str, Any]] = []
    with open(os.fspath(path), "rb") as f:
        try:
            for schema, channel, message in make_reader(f).iter_messages(topics=[TOPIC]):
                if schema is None or schema.name != SCHEMA_NAME:
                    continue
                rows.append(json.loads(message.data))
        except Exception as e:
            raise RecordingError(f"{os.fspath(path)!r} is not a readable MCAP recording: {e}") from e
    out = np.zeros(len(rows), dtype=_dtype())
    for name in _FIELDS:
        out[name] = [row[name] for row in rows]
    return out


def read_summary(path: PathLike) -> Dict[str, str]:
    """The summary a recording ends with (path, messages, lost, schema, rate_hz); {} if it has none."""
    from mcap.reader import make_reader

    with open(os.fspath(path), "rb") as f:
        for record in make_reader(f).iter_metadata():
            if record.name == SUMMARY_NAME:
                return dict(record.metadata)
    return {}


def plot(source: Union[PathLike, np.ndarray], output: PathLike, size: Tuple[int, int] = (1600, 1200),
         title: Optional[str] = None) -> None:
    """A PNG of ``size`` pixels: position, force, period and exchange time over time, and a
    histogram of the period's error. ``source`` is a recording's path or drained records."""
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    records = source if isinstance(source, np.ndarray) else read(source)
    if len(records) == 0:
        raise RecordingError("nothing to plot: the recording holds no cycle")
    dpi = 100
    figure = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi, layout="constrained")
    axes = figure.subplots(2, 2)
    t = records["time"] - records["time"][0]
    # Millimetres from where the tool started: a scene's motion is small beside the arm's reach.
    displacement = (records["position"] - records["position"][0]) * 1e3
    for ax, values, name, unit in ((axes[0, 0], displacement, "Position from start", "mm"),
                                   (axes[0, 1], records["force"], "Force sent", "N")):
        for i, axis in enumerate("xyz"):
            ax.plot(t, values[:, i], lw=0.8, label=axis)
        ax.set(title=name, xlabel="time (s)", ylabel=unit)
        ax.legend(loc="upper right")
        ax.grid(alpha=0.3)
    held = (records["flags"] & FLAGS["held"]) != 0
    if held.any():
        axes[0, 1].fill_between(t, 0, 1, where=held, transform=axes[0, 1].get_xaxis_transform(), color="red",
                                alpha=0.15, label="held")
    timing = axes[1, 0]
    steady = records["cycle"] > 0
    timing.plot(t[steady], records["period_us"][steady], lw=0.6, label="period")
    timing.plot(t, records["exchange_us"], lw=0.6, label="exchange")
    timing.plot(t, records["compute_us"], lw=0.6, label="compute")
    # A few long stalls would flatten the rest: the axis stops a little above the 99.9th percentile.
    top = float(np.percentile(records["period_us"][steady], 99.9)) if steady.any() else 0.0
    timing.set(title="Timing", xlabel="time (s)", ylabel="µs", ylim=(0, max(top * 1.2, 2e6 / _rate(records))))
    timing.legend(loc="upper right")
    timing.grid(alpha=0.3)
    nominal = 1e6 / _rate(records)
    error = records["period_us"][steady] - nominal
    histogram = axes[1, 1]
    histogram.hist(error, bins=100, log=True)
    histogram.set(title=f"Period error (nominal {nominal:.0f} µs)", xlabel="µs", ylabel="cycles")
    histogram.grid(alpha=0.3)
    lost = int(np.count_nonzero(np.diff(records["cycle"].astype(np.int64)) > 1))
    figure.suptitle(title or f"{len(records)} cycles, {t[-1]:.1f} s" + (f", {lost} gaps" if lost else ""))
    figure.savefig(os.fspath(output), dpi=dpi)


def _rate(records: np.ndarray) -> float:
    periods = records["period_us"][records["cycle"] > 0]
    return 1e6 / float(np.median(periods)) if len(periods) else 1000.0


class Field:
    """A Python force law in a servo loop: ``fn(state) -> [fx, fy, fz]`` run ``rate_hz`` times a
    second on a thread of its own; the loop holds the last result between runs. If ``fn`` stalls
    or raises, the force's lease (seconds) runs out and the loop ramps it out; it ramps back in
    at the next result. ``state`` is ``ServoLoop.state()``.

    >>> field = Field(lambda s: [0.0, 0.0, -50.0 * s["position"][2]], rate_hz=200, lease=0.05)
    >>> field.attach(loop)          # doctest: +SKIP
    >>> field.detach()              # doctest: +SKIP
    """

    def __init__(self, fn: Callable[[Dict[str, Any]], Sequence[float]], rate_hz: float = 200.0,
                 lease: float = 0.05):
        if not callable(fn):
            raise TypeError("Field: fn must be callable")
        if not (0.0 < rate_hz <= 1000.0):
            raise ValueError("Field: rate_hz must be more than 0 and at most 1000")
        if not (0.0 < lease <= 3600.0):
            raise ValueError("Field: lease must be more than 0 and at most 3600 seconds")
        self.fn = fn
        self.rate_hz = float(rate_hz)
        self.lease = float(lease)
        self.error: Optional[BaseException] = None
        self._loop: Any = None
        self._handle: Optional[int] = None
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def attach(self, loop: Any) -> int:
        """Add the field to ``loop`` (with its lease) and start its thread; returns the handle."""
        import VelkorHardwareAPI

        if self._thread is not None:
            raise RuntimeError("Field: already attached; detach() first")
        self._force = VelkorHardwareAPI.ConstantForce([0.0, 0.0, 0.0])
        self._loop = loop
        self._handle = loop.add(self._force, lease=self.lease)
        self._stop.clear()
        self.error = None
        self._thread = threading.Thread(target=self._run, name="velkor-field", daemon=True)
        self._thread.start()
        return self._handle

    def _run(self) -> None:
        period = 1.0 / self.rate_hz
        next_run = time.monotonic()
        while not self._stop.is_set():
            try:
                self._force.force = [float(x) for x in self.fn(self._loop.state())]
            except Exception as e:  # the lease ramps the force out; detach() raises it
                self.error = e
                return
            next_run += period
            now = time.monotonic()
            if next_run < now:
                next_run = now
            self._stop.wait(next_run - now)

    def detach(self) -> None:
        """Stop the thread and remove the field from its loop; raises what ``fn`` raised, if anything."""
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join(timeout=10.0)
        self._thread = None
        try:
            self._loop.remove(self._handle)
        except KeyError:
            pass
        self._loop = None
        if self.error is not None:
            error, self.error = self.error, None
            raise error

"""The client: a served arm with the shape of a local ``ServoLoop``.

    loop = api.ServoLoop(arm)                   # local
    loop = velkor_remote.connect("arm1")        # served by `velkor serve ... --name arm1`

    handle = loop.add(api.Plane([0, 0, 0.23], [0, 0, -1], 800.0))
    loop.update(handle, stiffness=1200.0)       # sent at once
    wall.stiffness = 1500.0                     # also works: live effects are watched and sent
    print(loop.state(), loop.stats())
"""

import logging
import threading
import time
import uuid
from collections import deque
from typing import Any, Callable, Deque, Dict, List, Optional, Sequence

import zenoh

from . import wire
from .config import DEFAULT_ENDPOINT, zenoh_config
from .wire import Keys, State, WireError

__all__ = ["RemoteLoop", "RemoteError", "RemoteControlError", "connect"]

DEFAULT_TIMEOUT = 5.0
DEFAULT_SYNC_HZ = 250.0
DEFAULT_CALLBACK_RATE_HZ = 100.0
LATENCY_SAMPLES = 65536


class RemoteError(RuntimeError):
    """The served arm cannot be reached, or refused what was asked."""


class RemoteControlError(RemoteError):
    """This client does not have control of the arm, so it cannot change its effects."""


def _percentile(values: Sequence[float], q: float) -> float:
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


class RemoteLoop:
    """A served arm's servo loop. Build it with ``connect()``.

    Effects are the module's own effect objects (``VelkorHardwareAPI.Spring``
    and the others): they are checked here by the module before anything is
    sent. ``add``/``remove``/``clear``/``state``/``stats``/``on_state`` behave
    as ServoLoop's; ``update(handle, **changes)`` sends a change at once, and
    changes made on an added effect object (``spring.anchor = ...``) are
    noticed and sent within ``1/sync_hz`` seconds.

    Control: with ``control=True`` this client claims the arm; the server
    gives it to one client at a time. If this client goes away or stays
    silent for the server's lease, its effects ramp out to zero force; a
    background thread keeps the lease while the process runs. When the server
    restarts the client reconnects, says so in the log, and sends its effects
    again.
    """

    def __init__(self, name: str, session: "zenoh.Session", *, own_session: bool = True, control: bool = True,
                 timeout: float = DEFAULT_TIMEOUT, sync_hz: float = DEFAULT_SYNC_HZ,
                 logger: Optional[logging.Logger] = None) -> None:
        self.keys = Keys(name)
        self.name = name
        self.client_id = uuid.uuid4().hex[:16]
        self.logger = logger or logging.getLogger("velkor_remote.client")
        self.timeout = float(timeout)
        self.reconnects = 0
        self.rejections: Deque[str] = deque(maxlen=100)
        self._tag = wire.controller_tag(self.client_id)
        self._session = session
        self._own_session = own_session
        self._lock = threading.RLock()
        self._new_state = threading.Condition(self._lock)
        self._state: Optional[State] = None
        self._received_at = 0.0
        self._received = 0
        self._lost = 0
        self._malformed = 0
        self._latency: Deque[float] = deque(maxlen=LATENCY_SAMPLES)
        self._effects: Dict[int, Any] = {}
        self._sent: Dict[int, Dict[str, Any]] = {}
        self._next_handle = 1
        self._server_up = False
        self._server_lost = False
        self._resync = False
        self._released: Optional[str] = None
        self._last_sent = 0.0
        self._closed = False
        self._info: Dict[str, Any] = {}
        self._callback: Optional[Callable[[Dict[str, Any]], Any]] = None
        self._callback_rate = DEFAULT_CALLBACK_RATE_HZ
        self._callback_thread: Optional[threading.Thread] = None
        self._callback_stop = threading.Event()
        self._callback_error: Optional[BaseException] = None
        self._stop = threading.Event()
        self._declared: List[Any] = []
        try:
            self._open(control, sync_hz)
        except BaseException:
            self.close()
            raise

    def _open(self, control: bool, sync_hz: float) -> None:
        s = self._session
        self._publisher = s.declare_publisher(self.keys.effects, congestion_control=zenoh.CongestionControl.BLOCK,
                                              express=True)
        self._declared.append(self._publisher)
        self._declared.append(s.declare_subscriber(self.keys.state, self._on_state_sample))
        self._declared.append(s.declare_subscriber(self.keys.events, self._on_event))
        self._declared.append(s.liveliness().declare_subscriber(self.keys.server, self._on_server, history=True))
        self.wanted_control = control
        if control:
            self._declared.append(s.liveliness().declare_token(self.keys.control_token(self.client_id)))
        deadline = time.monotonic() + self.timeout
        with self._lock:
            while self._state is None and time.monotonic() < deadline:
                self._new_state.wait(min(max(deadline - time.monotonic(), 0.0), 0.1))
        if self._state is None:
            raise RemoteError(f"no state from arm {self.name!r} within {self.timeout:g} s: is `velkor serve` "
                              f"running with --name {self.name} and reachable?")
        self._info = self.info()
        if control:
            self._wait_for(lambda: self.controlling, "control")
        period = 1.0 / sync_hz
        lease = float(self._info.get("limits", {}).get("lease", 0.5))
        self._keepalive_every = max(min(lease / 4.0, 0.1), period)
        self._worker = threading.Thread(target=self._work, args=(period,), name=f"velkor_remote {self.name}",
                                        daemon=True)
        self._worker.start()

    def _wait_for(self, condition: Callable[[], bool], what: str) -> None:
        deadline = time.monotonic() + self.timeout
        with self._lock:
            while not condition():
                left = deadline - time.monotonic()
                if left <= 0:
                    holder = self._info.get("controller")
                    raise RemoteControlError(f"arm {self.name!r} did not give this client {what} within "
                                             f"{self.timeout:g} s" + (f" (client {holder} has it)" if holder else ""))
                self._new_state.wait(min(left, 0.1))

    # --- what arrives

    def _on_state_sample(self, sample: "zenoh.Sample") -> None:
        data = sample.payload.to_bytes()
        now = time.time()
        try:
            state = wire.unpack_state(data)
        except WireError as e:
            self._malformed += 1
            if self._malformed <= 3:
                self.logger.warning("%s: ignored a state: %s", self.name, e)
            return
        with self._lock:
            previous = self._state
            if previous is not None and state.sequence > previous.sequence + 1 and not self._server_lost:
                self._lost += state.sequence - previous.sequence - 1
            self._state = state
            self._received += 1
            self._received_at = time.monotonic()
            self._latency.append(now - state.stamp)
            self._new_state.notify_all()

    def _on_server(self, sample: "zenoh.Sample") -> None:
        with self._lock:
            if sample.kind == zenoh.SampleKind.PUT:
                self._server_up = True
                if self._server_lost:
                    self._server_lost = False
                    self.reconnects += 1
                    self._resync = bool(self._effects) or self.wanted_control
                    self._state = None
                    self._released = None  # a new server: this client claims afresh
                    self.logger.warning("%s: reconnected to the arm's server (reconnection %d)%s", self.name,
                                        self.reconnects, "; sending its effects again" if self._effects else "")
            else:
                self._server_up = False
                self._server_lost = True
                self.logger.warning("%s: lost the arm's server; waiting for it to come back", self.name)
            self._new_state.notify_all()

    def _on_event(self, sample: "zenoh.Sample") -> None:
        try:
            event = wire.decode(sample.payload.to_bytes())
        except WireError:
            return
        if event.get("c") != self.client_id:
            return
        kind, reason = event.get("event"), str(event.get("reason", ""))
        if kind == "rejected":
            self.rejections.append(reason)
            self.logger.warning("%s: the server rejected a change: %s", self.name, reason)
        elif kind == "released":
            with self._lock:
                self._released = reason
            self.logger.warning("%s: lost control of the arm: %s", self.name, reason)

    # --- the background thread: keeps the lease, sends changes made on live effects, resends after a restart

    def _work(self, period: float) -> None:
        while not self._stop.wait(period):
            try:
                with self._lock:
                    if self._resync and self.controlling:
                        self._resync = False
                        for handle, effect in self._effects.items():
                            self._send_add(handle, effect)
                    if self.controlling:
                        for handle, effect in self._effects.items():
                            params = wire.effect_params(effect)
                            changed = {k: v for k, v in params.items() if self._sent[handle].get(k) != v}
                            if changed:
                                self._send("update", handle, type(effect).__name__, changed)
                                self._sent[handle].update(changed)
                        if time.monotonic() - self._last_sent >= self._keepalive_every:
                            self._send("keepalive")
            except Exception as e:  # a closed session at exit
                if not self._stop.is_set():
                    self.logger.warning("%s: background sending failed: %s", self.name, e)

    def _send(self, op: str, handle: Optional[int] = None, kind: Optional[str] = None,
              params: Optional[Dict[str, Any]] = None) -> None:
        message: Dict[str, Any] = {"op": op, "c": self.client_id}
        if handle is not None:
            message["h"] = handle
        if kind is not None:
            message["k"] = kind
        if params is not None:
            message["p"] = params
        self._publisher.put(wire.encode(message))
        self._last_sent = time.monotonic()

    def _send_add(self, handle: int, effect: Any) -> None:
        params = wire.effect_params(effect)
        self._send("add", handle, type(effect).__name__, params)
        self._sent[handle] = params

    def _require_control(self) -> None:
        if self._closed:
            raise RemoteError(f"the connection to arm {self.name!r} is closed")
        if not self.wanted_control:
            raise RemoteControlError(f"this client connected to arm {self.name!r} to read only (control=False)")
        if self._released is not None:
            raise RemoteControlError(f"this client lost control of arm {self.name!r}: {self._released}")

    # --- the ServoLoop surface

    def add(self, effect: Any) -> int:
        """Add an effect (a VelkorHardwareAPI effect object) from the server's next cycle on; returns its handle."""
        wire.kind_of(effect)
        with self._lock:
            self._require_control()
            handle = self._next_handle
            self._next_handle += 1
            self._effects[handle] = effect
            self._send_add(handle, effect)
            return handle

    def update(self, handle: int, **changes: Any) -> None:
        """Change parameters of an added effect: checked here, applied whole on the server."""
        with self._lock:
            self._require_control()
            effect = self._effects.get(handle)
            if effect is None:
                raise KeyError(f"no effect with handle {handle}")
            effect.update(**changes)
            params = wire.effect_params(effect)
            changed = {k: params[k] for k in changes if k in params}
            self._send("update", handle, type(effect).__name__, changed)
            self._sent[handle].update(changed)

    def remove(self, handle: int) -> None:
        """Remove the effect that add() returned this handle for."""
        with self._lock:
            self._require_control()
            if handle not in self._effects:
                raise KeyError(f"no effect with handle {handle}")
            del self._effects[handle]
            del self._sent[handle]
            self._send("remove", handle)

    def clear(self) -> None:
        """Remove every effect."""
        with self._lock:
            self._require_control()
            self._effects.clear()
            self._sent.clear()
            self._send("clear")

    @property
    def effects(self) -> Dict[int, Any]:
        """The effects by handle (a copy of the mapping; the effects themselves are live)."""
        with self._lock:
            return dict(self._effects)

    def state(self) -> Dict[str, Any]:
        """The latest state received: ServoLoop.state()'s keys (position,
        velocity, force, cycle, time, holding), then sequence, stamp,
        controlled, ramping, running and age (seconds since it arrived)."""
        with self._lock:
            state, at = self._state, self._received_at
        if state is None:
            raise RemoteError(f"no state from arm {self.name!r} since the server came back")
        out = state.as_dict()
        out["age"] = time.monotonic() - at
        return out

    def info(self) -> Dict[str, Any]:
        """The server's answer: identity, limits, stats, controller, keys."""
        replies = list(self._session.get(self.keys.info, timeout=self.timeout))
        for reply in replies:
            if reply.ok is not None:
                try:
                    return wire.decode(reply.ok.payload.to_bytes())
                except WireError as e:
                    raise RemoteError(f"arm {self.name!r} answered info with {e}") from None
        raise RemoteError(f"arm {self.name!r} did not answer info within {self.timeout:g} s")

    def stats(self) -> Dict[str, Any]:
        """The server's ServoLoop.stats() (every key it reports), with
        "remote": this client's figures (states received and lost, state
        latency percentiles in microseconds, reconnections) and "server":
        the server's counters."""
        info = self.info()
        stats: Dict[str, Any] = dict(info.get("stats", {}))
        stats["server"] = info.get("server", {})
        stats["remote"] = self.client_stats()
        return stats

    def client_stats(self) -> Dict[str, Any]:
        with self._lock:
            latency = list(self._latency)
            return {"states_received": self._received, "states_lost": self._lost, "malformed": self._malformed,
                    "latency_p50_us": _percentile(latency, 0.5) * 1e6,
                    "latency_p99_us": _percentile(latency, 0.99) * 1e6, "reconnects": self.reconnects,
                    "rejections": len(self.rejections)}

    def on_state(self, fn: Optional[Callable[[Dict[str, Any]], Any]],
                 rate_hz: float = DEFAULT_CALLBACK_RATE_HZ) -> None:
        """Call fn(state) on a Python thread at most rate_hz times a second,
        for each new state (None: no callback). An exception ends the callback,
        is reported by threading.excepthook and is raised again by close()."""
        if fn is not None and not callable(fn):
            raise TypeError("on_state: fn must be callable or None")
        if isinstance(rate_hz, bool) or not isinstance(rate_hz, (int, float)) or not 0.0 < rate_hz <= 1000.0:
            raise ValueError("on_state: rate_hz must be more than 0 and at most 1000")
        self._end_callback()
        self._callback, self._callback_rate = fn, float(rate_hz)
        if fn is not None:
            self._callback_stop.clear()
            self._callback_thread = threading.Thread(target=self._run_callback, args=(fn, float(rate_hz)),
                                                     name=f"velkor_remote {self.name}.on_state", daemon=True)
            self._callback_thread.start()

    def _run_callback(self, fn: Callable[[Dict[str, Any]], Any], rate_hz: float) -> None:
        period = 1.0 / rate_hz
        seen = -1
        while not self._callback_stop.is_set():
            with self._lock:
                if self._state is None or self._state.sequence == seen:
                    self._new_state.wait(0.1)
                    continue
                seen = self._state.sequence
            begin = time.monotonic()
            try:
                fn(self.state())
            except BaseException as e:
                self._callback_error = e
                raise
            self._callback_stop.wait(max(0.0, period - (time.monotonic() - begin)))

    def _end_callback(self) -> None:
        thread, self._callback_thread = self._callback_thread, None
        if thread is not None:
            self._callback_stop.set()
            if thread is not threading.current_thread():
                thread.join(5.0)

    @property
    def controlling(self) -> bool:
        """Whether the server's latest state names this client as its controller."""
        state = self._state
        return state is not None and state.controller_tag == self._tag and self._released is None

    @property
    def connected(self) -> bool:
        """Whether the server is up and a state came from it in the last second."""
        return self._server_up and time.monotonic() - self._received_at < 1.0

    @property
    def running(self) -> bool:
        """Whether the server's servo loop runs, as its latest state says."""
        state = self._state
        return self.connected and state is not None and bool(state.flags & wire.FLAG_RUNNING)

    @property
    def error(self) -> Optional[str]:
        """None, or why the arm does not do what this client asked."""
        if self._closed:
            return "closed"
        if not self._server_up:
            return f"arm {self.name!r}: no server"
        if self._released is not None:
            return f"lost control: {self._released}"
        state = self._state
        if state is not None and state.holding:
            return "the server's loop holds zero force"
        return None

    @property
    def max_force(self) -> float:
        """The server's force limit (N)."""
        return float(self._info.get("limits", {}).get("max_force", 0.0))

    @property
    def rate_hz(self) -> float:
        """The server's loop rate (Hz)."""
        return float(self._info.get("limits", {}).get("loop_rate_hz", 0.0))

    def start(self) -> None:
        """The loop runs next to the device: here this only checks the connection."""
        if self._closed:
            raise RemoteError(f"the connection to arm {self.name!r} is closed")

    def stop(self) -> None:
        """Same as close()."""
        self.close()

    def close(self) -> None:
        """Give up control (the server ramps this client's effects out) and
        disconnect. Raises again what an on_state callback raised."""
        if not self._closed:
            self._closed = True
            self._stop.set()
            self._end_callback()
            worker = getattr(self, "_worker", None)
            if worker is not None and worker is not threading.current_thread():
                worker.join(5.0)
            for entity in reversed(self._declared):
                try:
                    entity.undeclare()
                except Exception:
                    pass
            self._declared.clear()
            if self._own_session:
                self._session.close()  # type: ignore[no-untyped-call]
        error, self._callback_error = self._callback_error, None
        if error is not None:
            raise error

    def __enter__(self) -> "RemoteLoop":
        return self

    def __exit__(self, type_: object, *exc: object) -> None:
        if type_ is None:
            self.close()
        else:
            try:
                self.close()
            except BaseException:
                pass

    def __del__(self) -> None:
        try:
            if not self._closed:
                self.close()
        except BaseException:
            pass


def connect(name: str, connect: Sequence[str] = (DEFAULT_ENDPOINT,), *, listen: Sequence[str] = (),
            mode: str = "peer", config_file: Optional[str] = None, scout: bool = False, control: bool = True,
            timeout: float = DEFAULT_TIMEOUT, sync_hz: float = DEFAULT_SYNC_HZ,
            session: Optional["zenoh.Session"] = None, logger: Optional[logging.Logger] = None) -> RemoteLoop:
    """Connect to the arm served as ``name`` and return its ``RemoteLoop``.

    ``connect``/``listen``/``mode``/``config_file``/``scout`` build the zenoh
    session (see ``zenoh_config``; scouting stays off unless ``scout``), or
    pass an open ``session`` to share. ``control``: claim the arm (False: read
    only). Waits at most ``timeout`` seconds for the server's first state and,
    with control, for control; raises RemoteError / RemoteControlError.
    """
    wire.check_name(name)
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not 0.0 < timeout <= 3600.0:
        raise ValueError(f"connect: timeout must be above 0 and at most 3600 s, not {timeout!r}")
    if isinstance(sync_hz, bool) or not isinstance(sync_hz, (int, float)) or not 1.0 <= sync_hz <= 1000.0:
        raise ValueError(f"connect: sync_hz must be from 1 to 1000, not {sync_hz!r}")
    if isinstance(connect, str) or isinstance(listen, str):
        raise TypeError("connect: connect and listen are lists of endpoints")
    own = session is None
    if session is None:
        session = zenoh.open(zenoh_config(mode, listen, connect, config_file, scout))
    return RemoteLoop(name, session, own_session=own, control=control, timeout=timeout, sync_hz=sync_hz,
                      logger=logger)

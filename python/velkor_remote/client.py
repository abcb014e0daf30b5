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
    gives it to one client at a time, with a secret that seals this client's
    messages and that nobody else sees. If this client goes away or stays
    silent for the server's lease, its effects fade to zero force; a
    background thread keeps the lease while the process runs (a hung
    application's process keeps it: end the process, or close()). Control
    that lapsed (the lease ran out, an outage, a server restart) stays lapsed:
    ``error`` says why, ``events()`` lists it, changes raise
    RemoteControlError, and nothing is sent until the application calls
    ``reacquire()``, which claims the arm again and sends its effects again.
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
        self._secret: Optional[bytes] = None
        self._sequence = 0
        self._confirmed = False       # a state named this client the controller since the claim
        self._events: Deque[Dict[str, Any]] = deque(maxlen=100)
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
            raise RemoteError(self._unreachable())
        self._info = self.info()
        if control:
            self._claim(deadline=time.monotonic() + self.timeout)
        period = 1.0 / sync_hz
        lease = float(self._info.get("limits", {}).get("lease", 0.5))
        self._keepalive_every = max(min(lease / 4.0, 0.1), period)
        # The server publishes a state at its rate; silence from it for longer than the lease (or than
        # a few of its periods, on a slow one) means the server has let control go or may have.
        rate = float(self._info.get("limits", {}).get("state_rate_hz", 0.0) or 1.0)
        self._silence_limit = max(lease, 2.5 / rate)
        self._lease = lease
        self._worker = threading.Thread(target=self._work, args=(period,), name=f"velkor_remote {self.name}",
                                        daemon=True)
        self._worker.start()

    def _unreachable(self) -> str:
        text = f"no state from arm {self.name!r} within {self.timeout:g} s: "
        try:
            info = self._session.info
            linked = bool(list(info.peers_zid()) or list(info.routers_zid()))
        except Exception:
            linked = True
        if not linked:
            return text + ("no connection to any endpoint: nothing listens there, or the server refused this "
                           "client (a server that asks for TLS, a user and password, or allows only some "
                           "clients refuses the others; see 'Securing a served arm' in the remote guide)")
        return text + f"is `velkor serve` running with --name {self.name}, and may this client read it?"

    def _claim(self, deadline: float) -> None:
        """Asks the server for control until it gives it or the deadline passes;
        then waits for a state that names this client."""
        holder: Optional[str] = None
        request = wire.encode({"op": "claim", "c": self.client_id})
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RemoteControlError(f"arm {self.name!r} did not give this client control within "
                                         f"{self.timeout:g} s" + (f" (client {holder} has it)" if holder else ""))
            reply_data: Optional[bytes] = None
            for reply in self._session.get(self.keys.claim, payload=request, timeout=max(0.05, min(left, 2.0))):
                if reply.ok is not None:
                    reply_data = reply.ok.payload.to_bytes()
                    break
            if reply_data is not None:
                try:
                    answer = wire.decode(reply_data)
                except WireError as e:
                    raise RemoteError(f"arm {self.name!r} answered the claim with {e}") from None
                secret = answer.get("secret")
                if answer.get("granted") is True and isinstance(secret, bytes) and len(secret) == wire.SECRET_SIZE:
                    with self._lock:
                        self._secret, self._sequence, self._confirmed = secret, 0, False
                        self._released = None
                    break
                holder = str(answer.get("holder")) if answer.get("holder") else None
            self._stop.wait(min(0.05, max(0.0, deadline - time.monotonic())))
        with self._lock:
            while not self._confirmed:
                left = deadline - time.monotonic()
                if left <= 0:
                    self._secret = None
                    raise RemoteControlError(f"arm {self.name!r} gave this client control, but no state within "
                                             f"{self.timeout:g} s said so")
                self._new_state.wait(min(left, 0.1))

    def reacquire(self, timeout: Optional[float] = None) -> None:
        """Claims control again after it lapsed (see ``error``), then sends
        this client's effects again. RemoteControlError if another client has
        control past ``timeout`` (default: connect's)."""
        if self._closed:
            raise RemoteError(f"the connection to arm {self.name!r} is closed")
        if not self.wanted_control:
            raise RemoteControlError(f"this client connected to arm {self.name!r} to read only (control=False)")
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                    or not 0.0 < timeout <= 3600.0):
            raise ValueError(f"reacquire: timeout must be above 0 and at most 3600 s, not {timeout!r}")
        if self.controlling:
            return
        self._claim(deadline=time.monotonic() + (self.timeout if timeout is None else float(timeout)))
        with self._lock:
            for handle, effect in self._effects.items():
                self._send_add(handle, effect)
            self._note("control", "control taken again")

    def events(self) -> List[Dict[str, Any]]:
        """What happened to this client's control, oldest first: dicts with
        "event" (control, released, rejected, server lost, server back),
        "reason" and "time" (time.time())."""
        with self._lock:
            return list(self._events)

    def _note(self, event: str, reason: str) -> None:
        self._events.append({"event": event, "reason": reason, "time": time.time()})

    def _lapse(self, reason: str) -> None:
        """Control is gone until reacquire(); called with the lock held."""
        if self._released is not None or self._secret is None or self._closed:
            return
        self._released = reason
        self._secret = None
        self._note("released", reason)
        self.logger.warning("%s: lost control of the arm: %s (reacquire() asks for it again)", self.name, reason)

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
            if self._secret is not None and self._released is None:
                if state.controller_tag == self._tag:
                    self._confirmed = True
                elif self._confirmed:
                    self._lapse("the server no longer names this client its controller (its lease ran out, "
                                "or the connection was lost)")
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
                    self._state = None
                    self._note("server back", f"reconnection {self.reconnects}")
                    self.logger.warning("%s: reconnected to the arm's server (reconnection %d)", self.name,
                                        self.reconnects)
                    self._lapse("the server restarted or was out of reach")
            else:
                self._server_up = False
                self._server_lost = True
                if not self._closed:
                    self._note("server lost", "its liveliness token went away")
                self.logger.warning("%s: lost the arm's server; waiting for it to come back", self.name)
            self._new_state.notify_all()

    def _on_event(self, sample: "zenoh.Sample") -> None:
        # Only events sealed with this client's secret are about it: anyone may publish on the key.
        secret = self._secret
        if secret is None or self._closed:
            return
        try:
            event = wire.open_sealed(sample.payload.to_bytes(), secret)
        except WireError:
            return
        if event.get("c") != self.client_id:
            return
        kind, reason = event.get("event"), str(event.get("reason", ""))[:500]
        with self._lock:
            if kind == "rejected":
                self.rejections.append(reason)
                self._note("rejected", reason)
                self.logger.warning("%s: the server rejected a change: %s", self.name, reason)
            elif kind == "released" and self._secret is secret:
                self._lapse(reason)

    # --- the background thread: keeps the lease, sends changes made on live effects, resends after a restart

    def _work(self, period: float) -> None:
        while not self._stop.wait(period):
            try:
                with self._lock:
                    silent = time.monotonic() - self._received_at
                    if (self._secret is not None and self._released is None and self._confirmed
                            and silent > self._silence_limit):
                        self._lapse(f"nothing came from the server for {silent:.2f} s, longer than its lease of "
                                    f"{self._lease:g} s: it has ended control or may have (a cut network?)")
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
        secret = self._secret
        if secret is None:
            raise RemoteControlError(f"this client does not have control of arm {self.name!r}")
        self._sequence += 1
        message: Dict[str, Any] = {"op": op, "c": self.client_id, "n": self._sequence}
        if handle is not None:
            message["h"] = handle
        if kind is not None:
            message["k"] = kind
        if params is not None:
            message["p"] = params
        self._publisher.put(wire.seal(message, secret))
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
            raise RemoteControlError(f"this client lost control of arm {self.name!r}: {self._released}; "
                                     "reacquire() asks for it again")
        if self._secret is None:
            raise RemoteControlError(f"this client does not have control of arm {self.name!r}")

    # --- the ServoLoop surface

    def add(self, effect: Any) -> int:
        """Add an effect (a VelkorHardwareAPI effect object) from the server's next cycle on; returns its handle."""
        wire.kind_of(effect)
        with self._lock:
            self._require_control()
            if len(self._effects) >= wire.MAX_EFFECTS:
                raise RemoteError(f"a served arm takes {wire.MAX_EFFECTS} effects from one controller at most")
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
        """Whether this client holds control: the server gave it, and its latest state names this client."""
        state = self._state
        return (state is not None and state.controller_tag == self._tag and self._released is None
                and self._secret is not None and self._confirmed)

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
            return f"lost control: {self._released}; reacquire() asks for it again"
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
    session (see ``zenoh_config``; scouting stays off unless ``scout``, and
    the client listens nowhere unless ``listen`` or the file says so), or
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
        try:
            session = zenoh.open(zenoh_config(mode, listen, connect, config_file, scout, listen_default=()))
        except zenoh.ZError as e:
            raise RemoteError(f"cannot open a zenoh session for arm {name!r}: {e}") from None
    return RemoteLoop(name, session, own_session=own, control=control, timeout=timeout, sync_hz=sync_hz,
                      logger=logger)

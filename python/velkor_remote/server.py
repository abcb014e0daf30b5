"""An arm's servo loop served over Zenoh.

The loop runs next to the device at its own rate; this server only reads its
state snapshot (from a Python thread, at the publishing rate) and changes its
effects when a message from the controlling client arrives. The network is
never inside the loop's cycle.
"""

import logging
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Set

import zenoh

import VelkorHardwareAPI as api

from . import ros, wire
from .wire import EffectKind, Keys, WireError

__all__ = ["ArmServer", "DEFAULT_RATE_HZ", "DEFAULT_LEASE", "DEFAULT_RAMP"]

DEFAULT_RATE_HZ = 250.0
HIGHEST_RATE_HZ = 1000.0
DEFAULT_ROS_RATE_HZ = 100.0
DEFAULT_LEASE = 0.5
DEFAULT_RAMP = 0.25
# Ramps and leases are looked after at least this often, whatever the publishing rate.
HOUSEKEEPING_PERIOD = 0.005
LOG_LINES_PER_SECOND = 10


@dataclass
class _Owned:
    kind: EffectKind
    effect: Any
    loop_handle: int
    params: Dict[str, Any]


@dataclass
class _Ramp:
    owned: List[_Owned]
    start: float
    reason: str
    has_gain: Dict[int, bool] = field(default_factory=dict)


class _RateLimitedLog:
    """At most a few lines a second, so that a flood of bad messages cannot
    flood the log; how many were left out is said with the next line."""

    def __init__(self, logger: logging.Logger) -> None:
        self.logger = logger
        self.window = 0.0
        self.lines = 0
        self.dropped = 0
        self.limit = LOG_LINES_PER_SECOND

    def __call__(self, level: int, text: str) -> None:
        now = time.monotonic()
        if now - self.window >= 1.0:
            self.window, self.lines = now, 0
        if self.lines >= self.limit:
            self.dropped += 1
            return
        self.lines += 1
        if self.dropped:
            text += f" ({self.dropped} more such lines left out)"
            self.dropped = 0
        self.logger.log(level, text)


class ArmServer:
    """Serves one running (or about to run) ``ServoLoop`` under ``velkor/NAME``.

    ``session`` is a zenoh session the caller keeps; otherwise ``config`` (a
    zenoh.Config, see ``zenoh_config``) opens one that close() closes.
    One client controls at a time: the first whose control token is seen. When
    its token goes away, or nothing comes from it for ``lease`` seconds, its
    effects ramp out to zero force over ``ramp`` seconds and the next waiting
    client gets control. ``accept_wrench``: a ROS 2 WrenchStamped on
    ``velkor/NAME/force_command`` sets a force, which ramps out likewise when
    commands stop for ``lease``.
    """

    def __init__(self, loop: "api.ServoLoop", name: str, config: Optional["zenoh.Config"] = None, *,
                 session: Optional["zenoh.Session"] = None, rate_hz: float = DEFAULT_RATE_HZ,
                 lease: float = DEFAULT_LEASE, ramp: float = DEFAULT_RAMP, ros_topics: bool = True,
                 ros_rate_hz: float = DEFAULT_ROS_RATE_HZ, accept_wrench: bool = False,
                 identity: Optional[Mapping[str, Any]] = None, logger: Optional[logging.Logger] = None) -> None:
        if not isinstance(loop, api.ServoLoop):
            raise TypeError("ArmServer: loop must be a VelkorHardwareAPI.ServoLoop")
        self.keys = Keys(name)
        for what, value, low, high in (("rate_hz", rate_hz, 1.0, HIGHEST_RATE_HZ), ("lease", lease, 0.01, 60.0),
                                       ("ramp", ramp, 0.0, 10.0), ("ros_rate_hz", ros_rate_hz, 0.1, HIGHEST_RATE_HZ)):
            if not isinstance(value, (int, float)) or not low <= value <= high:
                raise ValueError(f"ArmServer: {what} must be from {low} to {high}, not {value!r}")
        self.name = name
        self.loop = loop
        self.rate_hz = float(rate_hz)
        self.lease = float(lease)
        self.ramp = float(ramp)
        self.ros_topics = ros_topics
        self.ros_rate_hz = min(float(ros_rate_hz), self.rate_hz)
        self.accept_wrench = accept_wrench
        self.identity = dict(identity or {})
        self.instance = uuid.uuid4().hex[:16]
        self.logger = logger or logging.getLogger("velkor_remote.server")
        self._log = _RateLimitedLog(self.logger)
        self._lock = threading.RLock()
        self._controller: Optional[str] = None
        self._last_heard = 0.0
        self._candidates: List[str] = []   # clients with a live control token, in the order seen
        self._expired: Set[str] = set()         # clients whose lease ran out: they must claim afresh
        self._effects: Dict[int, _Owned] = {}
        self._ramps: List[_Ramp] = []
        self._wrench: Optional[_Owned] = None
        self._wrench_heard = 0.0
        self._counters: Dict[str, int] = {
            "states_published": 0, "effect_messages": 0, "rejected_messages": 0, "controller_changes": 0,
            "ramps": 0, "wrench_commands": 0, "publish_failures": 0}
        self._publish_time = 0.0  # CPU seconds of the publishing thread spent publishing, for CPU per state
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._own_session = session is None
        self._session = session if session is not None else zenoh.open(config if config is not None else zenoh.Config())
        self._declared: List[Any] = []
        self._started = False
        self._closed = False

    # --- life cycle

    def start(self) -> "ArmServer":
        if self._started:
            raise RuntimeError("ArmServer: already started")
        self._started = True
        s = self._session
        # Its own queue, ahead of the ROS 2 copies and events, sent at once. DROP, not BLOCK: a client
        # that stops reading must never hold up this thread, which also looks after leases and ramps.
        self._state_pub = s.declare_publisher(self.keys.state, congestion_control=zenoh.CongestionControl.DROP,
                                              priority=zenoh.Priority.REAL_TIME, express=True)
        self._events_pub = s.declare_publisher(self.keys.events, congestion_control=zenoh.CongestionControl.BLOCK)
        self._declared += [self._state_pub, self._events_pub]
        if self.ros_topics:
            self._joint_pub = s.declare_publisher(self.keys.joint_states,
                                                  congestion_control=zenoh.CongestionControl.DROP)
            self._pose_pub = s.declare_publisher(self.keys.pose, congestion_control=zenoh.CongestionControl.DROP)
            self._declared += [self._joint_pub, self._pose_pub]
        self._declared.append(s.declare_subscriber(self.keys.effects, self._guarded(self._on_effects)))
        self._declared.append(s.declare_queryable(self.keys.info, self._guarded(self._on_info)))
        if self.accept_wrench:
            self._declared.append(s.declare_subscriber(self.keys.force_command, self._guarded(self._on_wrench)))
        self._declared.append(s.liveliness().declare_subscriber(
            self.keys.control + "/*", self._guarded(self._on_control), history=True))
        self._thread = threading.Thread(target=self._run, name=f"velkor serve {self.name}", daemon=True)
        self._thread.start()
        # Last, so a client that sees the server finds everything declared.
        self._declared.append(s.liveliness().declare_token(self.keys.server))
        self.logger.info("serving %s: state on %s at %g Hz", self.name, self.keys.state, self.rate_hz)
        return self

    def close(self) -> None:
        """Ramps out every effect it added (at most ``ramp`` seconds), then
        undeclares everything; closes the session if it opened it."""
        if self._closed:
            return
        self._closed = True
        if self._started and not self._stop.is_set():
            with self._lock:
                if self._controller is not None:
                    self._release("the server is stopping")
                self._drop_wrench()
            deadline = time.monotonic() + self.ramp + 1.0
            while time.monotonic() < deadline:
                with self._lock:
                    if not self._ramps:
                        break
                time.sleep(HOUSEKEEPING_PERIOD)
        self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(5.0)
        with self._lock:
            for r in self._ramps:
                self._remove_all(r.owned)
            self._ramps.clear()
        for entity in reversed(self._declared):
            try:
                entity.undeclare()
            except Exception:  # the session may be closed already
                pass
        self._declared.clear()
        if self._own_session:
            self._session.close()  # type: ignore[no-untyped-call]

    def __enter__(self) -> "ArmServer":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def controller(self) -> Optional[str]:
        """The id of the client in control, or None."""
        return self._controller

    def counters(self) -> Dict[str, Any]:
        with self._lock:
            out: Dict[str, Any] = dict(self._counters)
        published = out["states_published"]
        out["publish_us_per_state"] = self._publish_time / published * 1e6 if published else 0.0
        return out

    # --- callbacks from zenoh's threads: a fault in one is logged, never raised into zenoh

    def _guarded(self, fn: Callable[[Any], None]) -> Callable[[Any], None]:
        def run(arg: Any) -> None:
            try:
                fn(arg)
            except Exception as e:
                self.logger.exception("%s: %s failed: %s", self.name, fn.__name__, e)
        return run

    def _on_control(self, sample: "zenoh.Sample") -> None:
        client = str(sample.key_expr).rsplit("/", 1)[-1]
        with self._lock:
            if sample.kind == zenoh.SampleKind.PUT:
                if client in self._candidates or client in self._expired:
                    return
                self._candidates.append(client)
                if self._controller is None:
                    self._promote()
                else:
                    self.logger.info("%s: client %s waits for control (%s has it)", self.name, client,
                                     self._controller)
            else:
                if client in self._candidates:
                    self._candidates.remove(client)
                self._expired.discard(client)
                if client == self._controller:
                    self._release("its liveliness ended")

    def _on_effects(self, sample: "zenoh.Sample") -> None:
        data = sample.payload.to_bytes()
        self._counters["effect_messages"] += 1
        try:
            message = wire.decode(data)
            params = wire.check_effect_message(message)
        except WireError as e:
            self._reject(None, f"malformed effect message of {len(data)} bytes: {e}")
            return
        client: str = message["c"]
        op: str = message["op"]
        with self._lock:
            if client != self._controller:
                self._reject(client, f"{op} from {client}, which does not have control", message.get("h"))
                return
            self._last_heard = time.monotonic()
            if op == "keepalive":
                return
            if op == "clear":
                self._remove_all(list(self._effects.values()))
                self._effects.clear()
                return
            handle: int = message["h"]
            if op == "add":
                self._add(client, handle, wire.EFFECT_KINDS[message["k"]], params)
            elif op == "update":
                self._update(client, handle, message["k"], params)
            elif op == "remove":
                owned = self._effects.pop(handle, None)
                if owned is None:
                    self._reject(client, f"remove: no effect with handle {handle}", handle)
                else:
                    self._remove_all([owned])

    def _on_info(self, query: "zenoh.Query") -> None:
        query.reply(self.keys.info, wire.encode(self.info()))

    def _on_wrench(self, sample: "zenoh.Sample") -> None:
        data = sample.payload.to_bytes()
        if len(data) > wire.MAX_MESSAGE:
            self._reject(None, f"force command of {len(data)} bytes is over the limit of {wire.MAX_MESSAGE}")
            return
        try:
            _frame, force, _torque = ros.parse_wrench_stamped(data)
        except ros.RosError as e:
            self._reject(None, f"malformed force command of {len(data)} bytes: {e}")
            return
        with self._lock:
            self._counters["wrench_commands"] += 1
            self._wrench_heard = time.monotonic()
            if self._wrench is None:
                kind = wire.EFFECT_KINDS["ConstantForce"]
                effect = api.ConstantForce(force)
                self._wrench = _Owned(kind, effect, self.loop.add(effect), {"force": force})
            else:
                self._wrench.effect.force = force
                self._wrench.params["force"] = force

    # --- effects

    def _add(self, client: str, handle: int, kind: EffectKind, params: Dict[str, Any]) -> None:
        if handle in self._effects:
            self._reject(client, f"add: handle {handle} is in use", handle)
            return
        try:
            effect = getattr(api, kind.name)(**{f.name: params[f.name] for f in kind.fields if f.name in params})
            extra = {k: v for k, v in params.items() if kind.field(k) in wire.COMMON_FIELDS and hasattr(effect, k)}
            if extra:
                effect.update(**extra)
        except (ValueError, TypeError) as e:
            self._reject(client, f"add {kind.name}: {e}", handle)
            return
        self._effects[handle] = _Owned(kind, effect, self.loop.add(effect), dict(params))

    def _update(self, client: str, handle: int, kind_name: str, params: Dict[str, Any]) -> None:
        owned = self._effects.get(handle)
        if owned is None:
            self._reject(client, f"update: no effect with handle {handle}", handle)
            return
        if owned.kind.name != kind_name:
            self._reject(client, f"update: handle {handle} is a {owned.kind.name}, not a {kind_name}", handle)
            return
        changes = {k: v for k, v in params.items() if hasattr(owned.effect, k)}
        try:
            owned.effect.update(**changes)
        except (ValueError, TypeError) as e:
            self._reject(client, f"update {kind_name}: {e}", handle)
            return
        owned.params.update(changes)

    def _remove_all(self, owned: List[_Owned]) -> None:
        for o in owned:
            try:
                self.loop.remove(o.loop_handle)
            except KeyError:
                pass

    def _reject(self, client: Optional[str], reason: str, handle: Any = None) -> None:
        self._log(logging.WARNING, f"{self.name}: rejected {reason}")
        self._counters["rejected_messages"] += 1
        if client is not None:
            self._event({"event": "rejected", "c": client, "h": handle, "reason": reason})

    def _event(self, event: Dict[str, Any]) -> None:
        try:
            self._events_pub.put(wire.encode(event))
        except Exception as e:
            self._log(logging.WARNING, f"{self.name}: cannot publish an event: {e}")

    # --- control

    def _promote(self) -> None:
        if self._candidates:
            self._controller = self._candidates[0]
            self._last_heard = time.monotonic()
            self._counters["controller_changes"] += 1
            self.logger.info("%s: client %s has control", self.name, self._controller)
            self._event({"event": "control", "c": self._controller})

    def _release(self, reason: str) -> None:
        client = self._controller
        if client is None:
            return
        if self._effects:
            self._start_ramp(list(self._effects.values()), f"controller {client}: {reason}")
        self._effects = {}
        self._controller = None
        if client in self._candidates:
            self._candidates.remove(client)
        self.logger.warning("%s: client %s lost control: %s", self.name, client, reason)
        self._event({"event": "released", "c": client, "reason": reason})
        self._promote()

    def _start_ramp(self, owned: List[_Owned], reason: str) -> None:
        self._counters["ramps"] += 1
        ramp = _Ramp(owned, time.monotonic(), reason)
        for o in owned:
            ramp.has_gain[id(o)] = hasattr(o.effect, "gain")
        self._ramps.append(ramp)
        self.logger.info("%s: %d effect%s ramp out over %g s (%s)", self.name, len(owned),
                         "s" if len(owned) != 1 else "", self.ramp, reason)

    def _drop_wrench(self) -> None:
        if self._wrench is not None:
            self._start_ramp([self._wrench], "force commands stopped")
            self._wrench = None

    def _housekeeping(self, now: float) -> None:
        with self._lock:
            if self._controller is not None and now - self._last_heard > self.lease:
                client = self._controller
                self._expired.add(client)
                self._release(f"nothing came from it for its lease of {self.lease:g} s")
            if self._wrench is not None and now - self._wrench_heard > self.lease:
                self._drop_wrench()
            for ramp in list(self._ramps):
                factor = max(0.0, 1.0 - (now - ramp.start) / self.ramp) if self.ramp > 0 else 0.0
                if factor <= 0.0:
                    self._remove_all(ramp.owned)
                    self._ramps.remove(ramp)
                    continue
                for o in ramp.owned:
                    changes = wire.scaled(o.kind, o.params, factor, ramp.has_gain[id(o)])
                    if changes:
                        try:
                            o.effect.update(**changes)
                        except (ValueError, TypeError):
                            self.loop.remove(o.loop_handle)

    # --- the publishing thread

    def _flags(self, state: Mapping[str, Any]) -> int:
        flags = 0
        if state.get("holding"):
            flags |= wire.FLAG_HOLDING
        if self._controller is not None:
            flags |= wire.FLAG_CONTROLLED
        if self._ramps:
            flags |= wire.FLAG_RAMPING
        if self.loop.running:
            flags |= wire.FLAG_RUNNING
        return flags

    def _run(self) -> None:
        period = 1.0 / self.rate_hz
        tick = min(period, HOUSEKEEPING_PERIOD)
        ros_every = max(1, round(self.rate_hz / self.ros_rate_hz))
        now = time.monotonic()
        next_tick = next_publish = now
        sequence = 0
        while not self._stop.is_set():
            now = time.monotonic()
            self._housekeeping(now)
            if now >= next_publish:
                next_publish += period
                if now - next_publish > period:
                    next_publish = now + period  # skip what was missed rather than burst
                sequence += 1
                self._publish(sequence, sequence % ros_every == 0)
            next_tick = min(next_tick + tick, next_publish)
            left = next_tick - time.monotonic()
            if left > 0:
                self._stop.wait(left)
            else:
                next_tick = time.monotonic()

    def _publish(self, sequence: int, with_ros: bool) -> None:
        begin = time.thread_time()  # CPU, not wall time: a busy machine's waits are not this thread's cost
        try:
            state = self.loop.state()
            stamp = time.time()
            p, v, f = state["position"], state["velocity"], state["force"]
            self._state_pub.put(wire.pack_state(self._flags(state), wire.controller_tag(self._controller),
                                                sequence, state["cycle"], state["time"], stamp, p, v, f))
            if with_ros and self.ros_topics:
                self._joint_pub.put(ros.joint_state(self.name, p, v, f, stamp))
                self._pose_pub.put(ros.pose_stamped(self.name, p, stamp))
            self._counters["states_published"] += 1
        except Exception as e:
            self._counters["publish_failures"] += 1
            self._log(logging.WARNING, f"{self.name}: publishing the state failed: {e}")
        self._publish_time += time.thread_time() - begin

    # --- info

    def info(self) -> Dict[str, Any]:
        """What the info queryable answers: identity, limits, the loop's
        stats (every key it reports), the server's counters and its keys."""
        with self._lock:
            controller = self._controller
            waiting = list(self._candidates[1:] if controller else self._candidates)
        return {
            "name": self.name, "instance": self.instance, "identity": wire.stats_for_wire(self.identity),
            "limits": {"max_force": float(self.loop.max_force), "loop_rate_hz": float(self.loop.rate_hz),
                       "state_rate_hz": self.rate_hz, "ros_rate_hz": self.ros_rate_hz, "lease": self.lease,
                       "ramp": self.ramp, "max_message": wire.MAX_MESSAGE},
            "running": bool(self.loop.running), "error": self.loop.error,
            "stats": wire.stats_for_wire(self.loop.stats()), "server": self.counters(),
            "controller": controller, "waiting": waiting,
            "effect_kinds": {k.name: [f.name for f in k.fields] for k in wire.EFFECT_KINDS.values()},
            "keys": {"state": self.keys.state, "effects": self.keys.effects, "events": self.keys.events,
                     "joint_states": self.keys.joint_states if self.ros_topics else None,
                     "pose": self.keys.pose if self.ros_topics else None,
                     "force_command": self.keys.force_command if self.accept_wrench else None},
        }

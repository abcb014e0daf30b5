"""An arm's servo loop served over Zenoh.

The loop runs next to the device at its own rate; this server only reads its
state snapshot (from a Python thread, at the publishing rate) and changes its
effects when a message sealed by the controlling client arrives. The network
is never inside the loop's cycle, and no Python thread stands between a
silent controller and zero force: every served effect is added to the loop
with a lease of its own, which only the controller's messages renew, so the
servo thread fades it out by itself when they stop.

Threads: zenoh's callbacks (claims, effect messages, wrenches; short, under
the lock, never publishing), the keeper (control lease, fades; never
publishing), the state publisher, and the event publisher. Nothing is
published while the lock is held; events are queued and sent by their own
thread with drop-on-congestion.
"""

import logging
import math
import threading
import time
import uuid
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, List, Mapping, Optional, Tuple

import zenoh

import VelkorHardwareAPI as api

from . import ros, wire
from .wire import EffectKind, Keys, NotSealedError, WireError

__all__ = ["ArmServer", "DEFAULT_RATE_HZ", "DEFAULT_LEASE", "DEFAULT_RAMP", "ServerError"]

DEFAULT_RATE_HZ = 250.0
HIGHEST_RATE_HZ = 1000.0
DEFAULT_ROS_RATE_HZ = 100.0
DEFAULT_LEASE = 0.5
DEFAULT_RAMP = 0.25
# Leases and fades are looked after at least this often.
HOUSEKEEPING_PERIOD = 0.005
LOG_LINES_PER_SECOND = 10
EVENT_QUEUE = 256
# The largest force (N) a WrenchStamped may ask for before it is refused as nonsense (the loop's
# max_force limits what the device gets anyway).
MAX_WRENCH_FORCE = 1e4


class ServerError(RuntimeError):
    """The server cannot start: the name is served already, or the endpoints cannot be used."""


@dataclass
class _Owned:
    kind: EffectKind
    effect: Any
    loop_handle: int
    params: Dict[str, Any]


class _RateLimitedLog:
    """At most one line a second per kind of line, and a few a second in all,
    so that a flood of bad messages cannot flood the log; how many were left
    out is said with the next line of that kind."""

    def __init__(self, logger: logging.Logger) -> None:
        self.logger = logger
        self.window = 0.0
        self.lines = 0
        self.limit = LOG_LINES_PER_SECOND
        self.every = 1.0  # seconds between two lines of one kind
        self.kinds: Dict[str, Tuple[float, int]] = {}

    def __call__(self, level: int, text: str, kind: Optional[str] = None) -> None:
        now = time.monotonic()
        key = kind or text
        last, dropped = self.kinds.get(key, (-1e9, 0))
        if now - self.window >= 1.0:
            self.window, self.lines = now, 0
        if now - last < self.every or self.lines >= self.limit:
            if len(self.kinds) > 1024:
                self.kinds.clear()
            self.kinds[key] = (last, dropped + 1)
            return
        self.lines += 1
        if dropped:
            text += f" ({dropped} more such lines left out)"
        self.kinds[key] = (now, 0)
        self.logger.log(level, text)


class ArmServer:
    """Serves one running (or about to run) ``ServoLoop`` under ``velkor/NAME``.

    ``session`` is a zenoh session the caller keeps; otherwise ``config`` (a
    zenoh.Config, see ``zenoh_config``) opens one that close() closes.
    One client controls at a time: the first whose claim (a query on
    ``velkor/NAME/claim``) finds the arm free; the reply gives it a random
    secret that seals its messages, and a message not sealed with it never
    changes a force. Every effect it adds carries a lease of ``lease``
    seconds in the servo loop, renewed only by its messages. When its
    liveliness token goes away, or nothing comes from it for ``lease``
    seconds, its effects fade to zero force over the loop's ``ramp_s`` and are
    removed ``ramp`` seconds later; it must claim again. ``accept_wrench``: a
    ROS 2 WrenchStamped on ``velkor/NAME/force_command`` sets a force while no
    client has control (ROS is then the controller: claims are refused until
    commands stop for ``lease``).
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
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not low <= value <= high:
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
        self._secret: Optional[bytes] = None
        self._sequence = 0                  # the last sequence number taken from the controller
        self._last_heard = 0.0
        self._last_renewed = 0.0
        self._refused: Dict[str, float] = {}  # clients refused control lately, for info's "waiting"
        self._effects: Dict[int, _Owned] = {}
        self._fading: List[Tuple[float, List[_Owned]]] = []  # (when to remove, effects fading out)
        self._wrench: Optional[_Owned] = None
        self._wrench_heard = 0.0
        self._tokens = [wire.MESSAGE_BURST, wire.MESSAGE_BURST]  # the controller's, everything else's
        self._tokens_at = [time.monotonic(), time.monotonic()]
        self._counters: Dict[str, int] = {
            "states_published": 0, "effect_messages": 0, "rejected_messages": 0, "controller_changes": 0,
            "ramps": 0, "wrench_commands": 0, "publish_failures": 0, "claims": 0, "claims_refused": 0,
            "throttled_messages": 0, "events_dropped": 0}
        self._publish_time = 0.0  # CPU seconds of the publishing thread spent publishing, for CPU per state
        self._events: Deque[bytes] = deque()
        self._events_ready = threading.Event()
        self._stop = threading.Event()
        self._threads: List[threading.Thread] = []
        self._own_session = session is None
        self._session = session if session is not None else zenoh.open(config if config is not None else zenoh.Config())
        self._declared: List[Any] = []
        self._started = False
        self._closed = False

    # --- life cycle

    def start(self) -> "ArmServer":
        """Declares everything and starts the threads. ServerError when an arm
        of this name is served already on the network this session reaches."""
        if self._started:
            raise RuntimeError("ArmServer: already started")
        self._started = True
        s = self._session
        for reply in s.liveliness().get(self.keys.server, timeout=1.0):
            if reply.ok is not None:
                raise ServerError(f"an arm named {self.name!r} is served already (its server's liveliness token "
                                  f"{self.keys.server} is up): choose another --name")
        # Its own queue, ahead of the ROS 2 copies and events, sent at once. DROP, not BLOCK: a client
        # that stops reading must never hold up a thread of this server. Events likewise.
        self._state_pub = s.declare_publisher(self.keys.state, congestion_control=zenoh.CongestionControl.DROP,
                                              priority=zenoh.Priority.REAL_TIME, express=True)
        self._events_pub = s.declare_publisher(self.keys.events, congestion_control=zenoh.CongestionControl.DROP)
        self._declared += [self._state_pub, self._events_pub]
        if self.ros_topics:
            self._joint_pub = s.declare_publisher(self.keys.joint_states,
                                                  congestion_control=zenoh.CongestionControl.DROP)
            self._pose_pub = s.declare_publisher(self.keys.pose, congestion_control=zenoh.CongestionControl.DROP)
            self._declared += [self._joint_pub, self._pose_pub]
        self._declared.append(s.declare_subscriber(self.keys.effects, self._guarded(self._on_effects)))
        self._declared.append(s.declare_queryable(self.keys.info, self._guarded(self._on_info)))
        self._declared.append(s.declare_queryable(self.keys.claim, self._guarded(self._on_claim)))
        if self.accept_wrench:
            self._declared.append(s.declare_subscriber(self.keys.force_command, self._guarded(self._on_wrench)))
        self._declared.append(s.liveliness().declare_subscriber(
            self.keys.control + "/*", self._guarded(self._on_control), history=False))
        for target, what in ((self._keep, "keeper"), (self._run, "states"), (self._send_events, "events")):
            thread = threading.Thread(target=target, name=f"velkor serve {self.name} {what}", daemon=True)
            thread.start()
            self._threads.append(thread)
        # Last, so a client that sees the server finds everything declared.
        self._declared.append(s.liveliness().declare_token(self.keys.server))
        self.logger.info("serving %s: state on %s at %g Hz", self.name, self.keys.state, self.rate_hz)
        return self

    def close(self) -> None:
        """Fades out every effect it added (at most ``ramp`` seconds), then
        undeclares everything; closes the session if it opened it."""
        if self._closed:
            return
        self._closed = True
        if self._started and not self._stop.is_set():
            with self._lock:
                if self._controller is not None:
                    self._release("the server is stopping", quiet=True)
                self._drop_wrench("the server is stopping")
            deadline = time.monotonic() + self.ramp + 1.0
            while time.monotonic() < deadline:
                with self._lock:
                    if not self._fading:
                        break
                time.sleep(HOUSEKEEPING_PERIOD)
        self._stop.set()
        self._events_ready.set()
        for thread in self._threads:
            if thread is not threading.current_thread():
                thread.join(5.0)
        with self._lock:
            for _, owned in self._fading:
                self._remove_all(owned)
            self._fading.clear()
            self._remove_all(list(self._effects.values()))
            self._effects.clear()
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

    # --- callbacks from zenoh's threads: a fault in one is logged (one line), never raised into zenoh

    def _guarded(self, fn: Callable[[Any], None]) -> Callable[[Any], None]:
        def run(arg: Any) -> None:
            try:
                fn(arg)
            except Exception as e:
                self._log(logging.ERROR, f"{self.name}: {fn.__name__} failed: {type(e).__name__}: {e}",
                          kind=fn.__name__)
        return run

    def _on_control(self, sample: "zenoh.Sample") -> None:
        if sample.kind != zenoh.SampleKind.DELETE:
            return
        client = str(sample.key_expr).rsplit("/", 1)[-1]
        with self._lock:
            if client == self._controller:
                self._release("its liveliness ended", quiet=True)

    def _on_claim(self, query: "zenoh.Query") -> None:
        payload = query.payload
        data = payload.to_bytes() if payload is not None else b""
        try:
            message = wire.decode(data)
            client = wire.check_client_id(message.get("c"))
        except WireError as e:
            self._reject(None, f"malformed claim of {len(data)} bytes: {e}", kind="claim")
            query.reply_err(wire.encode({"reason": f"malformed claim: {e}"}))
            return
        now = time.monotonic()
        with self._lock:
            self._counters["claims"] += 1
            secret: Optional[bytes] = None
            holder: Optional[str] = None
            if self._controller is not None:
                holder = self._controller
            elif self._wrench is not None:
                holder = "ROS force commands"
            else:
                secret = wire.new_secret()
                self._controller, self._secret, self._sequence = client, secret, 0
                self._last_heard = self._last_renewed = now
                self._counters["controller_changes"] += 1
                self._refused.pop(client, None)
            if secret is None:
                self._counters["claims_refused"] += 1
                self._refused[client] = now
                if len(self._refused) > 64:
                    self._refused.pop(next(iter(self._refused)))
        if secret is not None:
            self.logger.info("%s: client %s has control", self.name, client)
            self._event({"event": "control", "c": client})
            reply = {"granted": True, "c": client, "secret": secret, "instance": self.instance}
        else:
            reply = {"granted": False, "c": client, "holder": holder, "instance": self.instance}
        query.reply(self.keys.claim, wire.encode(reply))

    def _take_token(self, now: float, junk: bool = False) -> bool:
        """The message rate bounds: token buckets of MESSAGE_BURST filled at
        MESSAGE_RATE, one for the controller's sealed messages and one for
        everything else, so junk from any peer never spends the controller's."""
        index = 1 if junk else 0
        tokens = min(wire.MESSAGE_BURST, self._tokens[index] + (now - self._tokens_at[index]) * wire.MESSAGE_RATE)
        self._tokens_at[index] = now
        if tokens < 1.0:
            self._tokens[index] = tokens
            return False
        self._tokens[index] = tokens - 1.0
        return True

    def _on_effects(self, sample: "zenoh.Sample") -> None:
        data = sample.payload.to_bytes()
        now = time.monotonic()
        secret, controller = self._secret, self._controller  # checked again under the lock below
        # The seal is checked first, in bounded work (a fixed layout, then one
        # HMAC over at most MAX_MESSAGE bytes): only the controller's own
        # messages spend its budget; junk has a budget of its own.
        try:
            message = wire.open_sealed(data, secret)
            params = wire.check_effect_message(message)
        except WireError as e:
            with self._lock:
                self._counters["effect_messages"] += 1
                if not self._take_token(now, junk=True):
                    self._counters["throttled_messages"] += 1
                    return
                if isinstance(e, NotSealedError):
                    self._reject(None, "an effect message not sealed by the controller's secret ("
                                 + (f"client {controller} has control)" if controller else "nobody has control)"),
                                 kind="unsealed")
                else:
                    self._reject(None, f"malformed effect message of {len(data)} bytes: {e}", kind="malformed")
            return
        client: str = message["c"]
        op: str = message["op"]
        with self._lock:
            self._counters["effect_messages"] += 1
            if self._secret is not secret or client != self._controller or message["n"] <= self._sequence:
                # Replays and stale messages are not the controller's doing: junk's budget, no event.
                if not self._take_token(now, junk=True):
                    self._counters["throttled_messages"] += 1
                elif message["n"] <= self._sequence:
                    self._reject(None, f"{op} with sequence number {message['n']}, not above {self._sequence} "
                                 "(a replayed message?)", kind="replay")
                else:
                    self._reject(None, f"{op} from {client}, which does not have control", kind="control")
                return
            if not self._take_token(now):
                self._counters["throttled_messages"] += 1
                self._reject(None, f"a message over the rate of {wire.MESSAGE_RATE:g} a second", kind="rate")
                return
            self._sequence = message["n"]
            self._last_heard = now
            if now - self._last_renewed >= self.lease / 4.0:
                self._last_renewed = now
                for owned in self._effects.values():
                    self._renew(owned)
            if op == "keepalive":
                return
            if op == "clear":
                self._fade(list(self._effects.values()), now)
                self._effects.clear()
                return
            handle: int = message["h"]
            if op == "add":
                self._add(client, handle, wire.EFFECT_KINDS[message["k"]], params)
            elif op == "update":
                self._update(client, handle, message["k"], params)
            elif op == "remove":
                removed: Optional[_Owned] = self._effects.pop(handle, None)
                if removed is None:
                    self._reject(client, f"remove: no effect with handle {handle}", handle)
                else:
                    self._remove_all([removed])

    def _on_info(self, query: "zenoh.Query") -> None:
        query.reply(self.keys.info, wire.encode(self.info()))

    def _on_wrench(self, sample: "zenoh.Sample") -> None:
        data = sample.payload.to_bytes()
        if len(data) > wire.MAX_MESSAGE:
            self._reject(None, f"force command of {len(data)} bytes is over the limit of {wire.MAX_MESSAGE}",
                         kind="wrench-size")
            return
        try:
            frame, force, _torque = ros.parse_wrench_stamped(data)
        except ros.RosError as e:
            self._reject(None, f"malformed force command of {len(data)} bytes: {e}", kind="wrench-malformed")
            return
        base = f"{self.name}_base"
        if frame not in ("", base):
            self._reject(None, f"force command in frame {frame[:64]!r}: only {base!r} (or an empty frame_id) "
                         "is taken", kind="wrench-frame")
            return
        if math.sqrt(sum(x * x for x in force)) > MAX_WRENCH_FORCE:
            self._reject(None, f"force command of {math.sqrt(sum(x * x for x in force)):.3g} N: more than "
                         f"{MAX_WRENCH_FORCE:g} N is refused", kind="wrench-range")
            return
        with self._lock:
            if self._controller is not None:
                self._reject(None, f"force command while client {self._controller} has control",
                             kind="wrench-control")
                return
            self._counters["wrench_commands"] += 1
            self._wrench_heard = time.monotonic()
            if self._wrench is None:
                effect = api.ConstantForce(force)
                try:
                    handle = self.loop.add(effect, lease=self.lease)
                except RuntimeError as e:
                    self._reject(None, f"force command: {e}", kind="wrench-slots")
                    return
                self._wrench = _Owned(wire.EFFECT_KINDS["ConstantForce"], effect, handle, {"force": force})
            else:
                self._wrench.effect.force = force  # a change renews its lease
                self._wrench.params["force"] = force

    # --- effects (called with the lock held)

    def _renew(self, owned: _Owned) -> None:
        try:
            self.loop.renew(owned.loop_handle)
        except (KeyError, ValueError):
            pass

    def _add(self, client: str, handle: int, kind: EffectKind, params: Dict[str, Any]) -> None:
        if handle in self._effects:
            self._reject(client, f"add: handle {handle} is in use", handle)
            return
        if len(self._effects) >= wire.MAX_EFFECTS:
            self._reject(client, f"add: a controller has {wire.MAX_EFFECTS} effects at most", handle)
            return
        try:
            effect = getattr(api, kind.name)(**{f.name: params[f.name] for f in kind.fields if f.name in params})
            extra = {k: v for k, v in params.items() if kind.field(k) in wire.COMMON_FIELDS and hasattr(effect, k)}
            if extra:
                effect.update(**extra)
            loop_handle = self.loop.add(effect, lease=self.lease)
        except (ValueError, TypeError, RuntimeError) as e:
            self._reject(client, f"add {kind.name}: {e}", handle)
            return
        self._effects[handle] = _Owned(kind, effect, loop_handle, dict(params))

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

    def _fade(self, owned: List[_Owned], now: float) -> None:
        """Disables the effects, which the servo loop fades out over its ramp_s
        (one call each, whatever else is going on), and removes them ``ramp``
        seconds later."""
        if not owned:
            return
        for o in owned:
            try:
                o.effect.enabled = False
            except (ValueError, TypeError, AttributeError):
                self._remove_all([o])
        self._counters["ramps"] += 1
        self._fading.append((now + self.ramp, owned))

    def _reject(self, client: Optional[str], reason: str, handle: Any = None, kind: Optional[str] = None) -> None:
        self._log(logging.WARNING, f"{self.name}: rejected {reason}", kind=kind)
        self._counters["rejected_messages"] += 1
        if client is not None and client == self._controller and self._secret is not None:
            self._event({"event": "rejected", "c": client, "h": handle, "reason": reason}, self._secret)

    def _event(self, event: Dict[str, Any], secret: Optional[bytes] = None) -> None:
        """Queues an event for the event thread: sealed with the secret of
        the client it is about where there is one. Never publishes here."""
        data = wire.seal(event, secret) if secret is not None else wire.encode(event)
        if len(self._events) >= EVENT_QUEUE:
            self._counters["events_dropped"] += 1
            return
        self._events.append(data)
        self._events_ready.set()

    def _send_events(self) -> None:
        while not self._stop.is_set():
            self._events_ready.wait(0.1)
            self._events_ready.clear()
            while self._events:
                data = self._events.popleft()
                try:
                    self._events_pub.put(data)
                except Exception as e:
                    self._log(logging.WARNING, f"{self.name}: cannot publish an event: {e}", kind="event")

    # --- control (called with the lock held)

    def _release(self, reason: str, quiet: bool = False) -> None:
        client, secret = self._controller, self._secret
        if client is None:
            return
        self._fade(list(self._effects.values()), time.monotonic())
        self._effects = {}
        self._controller, self._secret = None, None
        self.logger.log(logging.INFO if quiet else logging.WARNING, "%s: client %s lost control: %s", self.name,
                        client, reason)
        self._event({"event": "released", "c": client, "reason": reason}, secret)

    def _drop_wrench(self, reason: str) -> None:
        if self._wrench is not None:
            self.logger.info("%s: force commands fade out: %s", self.name, reason)
            self._fade([self._wrench], time.monotonic())
            self._wrench = None

    def _housekeeping(self, now: float) -> None:
        with self._lock:
            if self._controller is not None and now - self._last_heard > self.lease:
                self._release(f"nothing came from it for its lease of {self.lease:g} s")
            if self._wrench is not None and now - self._wrench_heard > self.lease:
                self._drop_wrench(f"no command for {self.lease:g} s")
            due = [owned for at, owned in self._fading if at <= now]
            if due:
                self._fading = [(at, owned) for at, owned in self._fading if at > now]
                for owned in due:
                    self._remove_all(owned)
            for client, at in list(self._refused.items()):
                if now - at > 1.0:
                    del self._refused[client]

    def _keep(self) -> None:
        while not self._stop.wait(HOUSEKEEPING_PERIOD):
            try:
                self._housekeeping(time.monotonic())
            except Exception as e:
                self._log(logging.ERROR, f"{self.name}: housekeeping failed: {type(e).__name__}: {e}", kind="keep")

    # --- the publishing thread

    def _flags(self, state: Mapping[str, Any]) -> int:
        flags = 0
        if state.get("holding"):
            flags |= wire.FLAG_HOLDING
        if self._controller is not None:
            flags |= wire.FLAG_CONTROLLED
        if self._fading:
            flags |= wire.FLAG_RAMPING
        if self.loop.running:
            flags |= wire.FLAG_RUNNING
        return flags

    def _run(self) -> None:
        period = 1.0 / self.rate_hz
        ros_every = max(1, math.ceil(self.rate_hz / self.ros_rate_hz - 1e-9))
        next_publish = time.monotonic()
        sequence = 0
        while not self._stop.is_set():
            now = time.monotonic()
            if now >= next_publish:
                next_publish += period
                if now - next_publish > period:
                    next_publish = now + period  # skip what was missed rather than burst
                sequence += 1
                self._publish(sequence, sequence % ros_every == 0)
            left = next_publish - time.monotonic()
            if left > 0:
                self._stop.wait(left)

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
            self._log(logging.WARNING, f"{self.name}: publishing the state failed: {e}", kind="publish")
        self._publish_time += time.thread_time() - begin

    # --- info

    def info(self) -> Dict[str, Any]:
        """What the info queryable answers: identity, limits, the loop's
        stats (every key it reports), the server's counters and its keys."""
        with self._lock:
            controller = self._controller
            waiting = list(self._refused)
        return {
            "name": self.name, "instance": self.instance, "identity": wire.stats_for_wire(self.identity),
            "limits": {"max_force": float(self.loop.max_force), "loop_rate_hz": float(self.loop.rate_hz),
                       "state_rate_hz": self.rate_hz, "ros_rate_hz": self.ros_rate_hz, "lease": self.lease,
                       "ramp": self.ramp, "max_message": wire.MAX_MESSAGE,
                       "max_effects": wire.MAX_EFFECTS, "message_rate": wire.MESSAGE_RATE},
            "running": bool(self.loop.running), "error": self.loop.error,
            "stats": wire.stats_for_wire(self.loop.stats()), "server": self.counters(),
            "controller": controller, "waiting": waiting,
            "effect_kinds": {k.name: [f.name for f in k.fields] for k in wire.EFFECT_KINDS.values()},
            "keys": {"state": self.keys.state, "effects": self.keys.effects, "events": self.keys.events,
                     "joint_states": self.keys.joint_states if self.ros_topics else None,
                     "pose": self.keys.pose if self.ros_topics else None,
                     "force_command": self.keys.force_command if self.accept_wrench else None},
        }

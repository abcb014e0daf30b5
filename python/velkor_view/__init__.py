"""The scene of a servo loop, live in the Rerun viewer: the arm's links, the tool, the force as an
arrow, every effect's geometry, and plots of every cycle (force, position, period, exchange and
compute time).

:func:`view` starts a :class:`SceneView` on a running ``ServoLoop``. It works on a thread of its
own at ``rate_hz`` frames a second and reads only what the loop already hands out
(``drain()``, ``effects``, ``state()``): the loop's cycle never waits for it. A frame that
comes too late (a stalled interpreter, a slow sink) is dropped and counted; the plots still get
every cycle, since each frame sends all the cycles drained since the last.

``drain()`` has one consumer. By default the view is that consumer: give it ``record=PATH`` to
have the same cycles written to an MCAP recording as ``ServoLoop.record`` would, or
``on_records=fn`` to receive them too. A program that drains the loop itself passes
``drain=False`` and hands what it drained to :meth:`SceneView.feed`.

:func:`replay` sends a recording made by ``velkor record`` (or ``ServoLoop.record``) to the
viewer with its timeline.
"""

from __future__ import annotations

import os
import threading
import time
import weakref
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple, Union

import numpy as np

from .kinematics import KinematicModel

__all__ = ["KinematicModel", "SceneView", "WebServer", "close_stream", "effect_geometry", "mesh_geometry", "open_stream",
           "replay", "view"]

APPLICATION_ID = "velkor"
#: Timelines: seconds since the loop started, and the cycle number.
TIMELINE = "loop_time"
CYCLES = "cycle"
#: Side of the square drawn for a plane, m: planes are infinite, the view shows this much of one.
PLANE_SIZE = 0.12
#: Length of the force arrow per newton, m.
ARROW_SCALE = 0.01

PathLike = Union[str, "os.PathLike[str]"]

# By the mesh object, forgotten with it.
_meshes: "weakref.WeakKeyDictionary[Any, Tuple[np.ndarray, np.ndarray]]" = weakref.WeakKeyDictionary()
_servers: Dict[int, "WebServer"] = {}


def mesh_geometry(mesh: Any, vertices: Any, triangles: Any) -> Any:
    """Tell the view the vertices (n x 3, m) and triangles (m x 3 indices) that ``mesh`` was made
    from, so that it draws the surface; without them a mesh is drawn as its bounding box.
    Returns ``mesh``."""
    v = np.asarray(vertices, dtype=np.float32).reshape(-1, 3)
    t = np.asarray(triangles, dtype=np.uint32).reshape(-1, 3)
    _meshes[mesh] = (v, t)
    return mesh


def _mesh_arrays(mesh: Any) -> Optional[Tuple[np.ndarray, np.ndarray]]:
    if hasattr(mesh, "vertices") and hasattr(mesh, "triangles"):
        return (np.asarray(mesh.vertices, dtype=np.float32).reshape(-1, 3),
                np.asarray(mesh.triangles, dtype=np.uint32).reshape(-1, 3))
    return _meshes.get(mesh)


def _plane_corners(point: Sequence[float], normal: Sequence[float], size: float) -> np.ndarray:
    n = np.asarray(normal, dtype=float)
    n = n / (np.linalg.norm(n) or 1.0)
    helper = np.array([1.0, 0.0, 0.0]) if abs(n[0]) < 0.9 else np.array([0.0, 1.0, 0.0])
    u = np.cross(n, helper)
    u /= np.linalg.norm(u)
    v = np.cross(n, u)
    h = size / 2
    p = np.asarray(point, dtype=float)
    return np.array([p + h * (-u - v), p + h * (u - v), p + h * (u + v), p + h * (-u + v)])


def effect_geometry(effect: Any, plane_size: float = PLANE_SIZE) -> Optional[Tuple[str, Dict[str, Any]]]:
    """What the view draws for an effect: (kind, values), or None for an effect without a place
    (a damper, a constant force). Planes give the corners of a finite square (``corners``) and
    their normal; spheres ``center`` and ``radius``; boxes ``min_corner`` and ``max_corner``;
    meshes ``transform`` (4 x 4) and either ``vertices`` and ``triangles`` or, when those are not
    known (see :func:`mesh_geometry`), their ``bounds``; springs their ``anchor``."""
    kind = type(effect).__name__
    if kind == "Plane":
        return kind, {"corners": _plane_corners(effect.point, effect.normal, plane_size).tolist(),
                      "point": list(effect.point), "normal": list(effect.normal)}
    if kind == "Sphere":
        return kind, {"center": list(effect.center), "radius": float(effect.radius), "inside": bool(effect.inside)}
    if kind == "Box":
        return kind, {"min_corner": list(effect.min_corner), "max_corner": list(effect.max_corner)}
    if kind == "Mesh":
        values: Dict[str, Any] = {"transform": [list(row) for row in effect.transform]}
        arrays = _mesh_arrays(effect)
        if arrays is not None:
            values["vertices"], values["triangles"] = arrays
        else:
            low, high = effect.bounds
            values["bounds"] = (list(low), list(high))
        return kind, values
    if kind == "Spring":
        return kind, {"anchor": list(effect.anchor)}
    return None


def _signature(effect: Any) -> Any:
    """What changes when an effect's geometry or look changes (its repr holds its parameters)."""
    extra: Tuple[Any, ...] = ()
    if type(effect).__name__ == "Mesh":
        extra = (tuple(tuple(r) for r in effect.transform), id(_mesh_arrays(effect)))
    return (repr(effect), bool(effect.enabled), float(effect.gain)) + extra


def open_stream(*, spawn: bool = False, web: Optional[int] = None, save: Optional[PathLike] = None,
                connect: Optional[str] = None, recording_id: Optional[str] = None,
                open_browser: bool = False) -> Tuple[Any, Dict[str, str]]:
    """A Rerun recording stream with the sinks asked for: a native viewer spawned (``spawn``), a
    web viewer served on the loopback port ``web`` (0: any free port) with its data served
    beside it on another, an ``.rrd`` file (``save``), and/or a viewer or server already running
    at ``connect`` (such as ``rerun+http://127.0.0.1:9876/proxy``). Returns (stream, addresses)."""
    import rerun as rr

    if not (spawn or web is not None or save is not None or connect is not None):
        raise ValueError("view: nothing to show the scene on: ask for spawn, web, save or connect")
    stream = rr.RecordingStream(APPLICATION_ID, recording_id=recording_id)
    sinks: List[Any] = []
    addresses: Dict[str, str] = {}
    if save is not None:
        sinks.append(rr.FileSink(os.fspath(save)))
        addresses["file"] = os.fspath(save)
    server = None
    if web is not None:
        server = WebServer(web)
        sinks.append(rr.GrpcSink(server.grpc))
        addresses["grpc"] = server.grpc
        addresses["web"] = server.url
    if connect is not None:
        sinks.append(rr.GrpcSink(connect))
        addresses["connect"] = connect
    if spawn:
        rr.spawn(port=9876, connect=False, hide_welcome_screen=True)
        sinks.append(rr.GrpcSink("rerun+http://127.0.0.1:9876/proxy"))
        addresses["viewer"] = "rerun+http://127.0.0.1:9876/proxy"
    try:
        stream.set_sinks(*sinks)
        _log_setup(stream)
    except BaseException:
        if server is not None:
            server.close()
        raise
    if server is not None:
        _servers[id(stream)] = server  # ended with the stream by close_stream()
    if server is not None and open_browser:
        import webbrowser

        webbrowser.open(server.url)
    return stream, addresses


def close_stream(stream: Any, timeout: float = 10.0) -> bool:
    """Send what is buffered (waiting at most ``timeout`` seconds), close the sinks, and end the
    web viewer's server if the stream has one. False when not everything could be sent in time
    (a viewer gone or too slow)."""
    try:
        return _flush(stream, timeout)
    finally:
        stream.disconnect()
        server = _servers.pop(id(stream), None)
        if server is not None:
            server.close()


def _flush(stream: Any, timeout: float) -> bool:
    try:
        stream.flush(timeout_sec=timeout)
        return True
    except RuntimeError as e:  # what the SDK raises when a sink cannot take it all in time
        if "timed out" not in str(e).lower():
            raise
        return False


def _rerun_executable() -> str:
    import shutil

    try:
        import rerun_cli  # type: ignore[import-untyped]

        bundled = os.path.join(os.path.dirname(rerun_cli.__file__), "rerun" + (".exe" if os.name == "nt" else ""))
        if os.path.isfile(bundled):
            return bundled
    except ImportError:
        pass
    found = shutil.which("rerun")
    if found is None:
        raise RuntimeError("view: no rerun executable to serve the web viewer (pip install 'VelkorHardwareAPI[view]')")
    return found


class WebServer:
    """Rerun's web viewer and the data server it reads from, both on 127.0.0.1 only, in a
    process of Rerun's own (``rerun --serve-web --bind 127.0.0.1``): the SDK's own web server
    would listen on every interface. ``url`` is the page to open; ``grpc`` where data goes."""

    START_TIMEOUT = 30.0

    def __init__(self, web_port: int = 0, memory_limit: str = "512MiB"):
        import subprocess

        web_port = web_port or _free_port()
        grpc_port = _free_port()
        self.grpc = f"rerun+http://127.0.0.1:{grpc_port}/proxy"
        self.url = f"http://127.0.0.1:{web_port}/?url={self.grpc}"
        self.process = subprocess.Popen(
            [_rerun_executable(), "--serve-web", "--bind", "127.0.0.1", "--web-viewer-port", str(web_port),
             "--port", str(grpc_port), "--server-memory-limit", memory_limit],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + self.START_TIMEOUT
        while not (_listening(web_port) and _listening(grpc_port)):
            if self.process.poll() is not None:
                error = self.process.stderr.read().decode(errors="replace").strip() if self.process.stderr else ""
                raise RuntimeError(f"view: the web viewer's server ended at start: {error[-500:]}")
            if time.monotonic() > deadline:
                self.close()
                raise RuntimeError(f"view: the web viewer's server did not listen within {self.START_TIMEOUT:g} s")
            time.sleep(0.05)

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10.0)
            except Exception:
                self.process.kill()
                self.process.wait(10.0)
        if self.process.stderr is not None:
            self.process.stderr.close()


def _listening(port: int) -> bool:
    import socket

    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


def _free_port() -> int:
    import socket

    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


#: The plots: entity, drained fields (one series each, or a vector's three), series names.
PLOTS = (("plots/force", ("force",), ("force x (N)", "force y (N)", "force z (N)")),
         ("plots/position", ("position",), ("position x (m)", "position y (m)", "position z (m)")),
         ("plots/timing", ("period_us", "exchange_us", "compute_us"), ("period (µs)", "exchange (µs)", "compute (µs)")))
_XYZ_COLORS = [[230, 80, 80], [80, 200, 80], [80, 120, 240]]


def _log_setup(stream: Any) -> None:
    import rerun as rr

    stream.log("world", rr.ViewCoordinates.RIGHT_HAND_Y_UP, static=True)
    stream.log("world/base", rr.Points3D([[0.0, 0.0, 0.0]], radii=0.006, colors=[[90, 90, 90]]), static=True)
    for path, _, names in PLOTS:
        stream.log(path, rr.SeriesLines(colors=_XYZ_COLORS, names=list(names)), static=True)


def send_records(stream: Any, records: np.ndarray) -> None:
    """Every cycle of ``records`` as plot samples: one row per cycle on both timelines, each row
    the three values of its plot (force x, y, z; position x, y, z; period, exchange, compute)."""
    import rerun as rr

    if len(records) == 0:
        return
    indexes = [rr.TimeColumn(TIMELINE, duration=records["time"].astype(np.float64)),
               rr.TimeColumn(CYCLES, sequence=records["cycle"].astype(np.int64))]
    for path, fields, _ in PLOTS:
        if len(fields) == 1:
            values = records[fields[0]].astype(np.float64)
        else:
            values = np.stack([records[f].astype(np.float64) for f in fields], axis=1)
        stream.send_columns(path, indexes=indexes, columns=rr.Scalars.columns(scalars=values))


def _proxy_fields(records: np.ndarray) -> Tuple[Optional[str], Optional[str]]:
    names = records.dtype.names or ()
    proxy = next((n for n in ("proxy", "proxy_position") if n in names), None)
    normal = next((n for n in ("contact_normal", "normal") if n in names), None)
    return proxy, normal


class _Scene:
    """Logs the 3D scene of one frame: arm, tool, force, proxy and the effects that changed."""

    def __init__(self, stream: Any, model: Optional[KinematicModel]):
        self.stream = stream
        self.model = model
        self.shown: Dict[int, Any] = {}
        self.unreachable = 0
        self._posed: Optional[List[float]] = None  # the tool position the arm was last drawn for
        self.proxied: Set[int] = set()
        self.set_time(0.0, 0)  # what is drawn before the first cycle belongs to the loop's start

    def set_time(self, t: float, cycle: int) -> None:
        self.stream.set_time(TIMELINE, duration=float(t))
        self.stream.set_time(CYCLES, sequence=int(cycle))

    def tool(self, position: Sequence[float], force: Sequence[float], proxy: Optional[Sequence[float]] = None,
             normal: Optional[Sequence[float]] = None) -> None:
        import rerun as rr

        s = self.stream
        s.log("world/tool", rr.Points3D([position], radii=0.004, colors=[[250, 200, 40]]))
        s.log("world/force", rr.Arrows3D(origins=[position], vectors=[[f * ARROW_SCALE for f in force]],
                                         colors=[[230, 60, 60]], radii=0.0015))
        if proxy is not None and np.all(np.isfinite(proxy)):
            s.log("world/proxy", rr.Points3D([proxy], radii=0.0035, colors=[[60, 200, 230]]))
            s.log("world/proxy/link", rr.LineStrips3D([[list(position), list(proxy)]], colors=[[60, 200, 230]],
                                                      radii=0.0007))
            if normal is not None and np.all(np.isfinite(normal)) and np.any(normal):
                s.log("world/proxy/normal", rr.Arrows3D(origins=[proxy], vectors=[[n * 0.02 for n in normal]],
                                                        colors=[[60, 200, 230]], radii=0.001))
        if self.model is not None and list(position) != self._posed:
            self._posed = list(position)
            links = self.model.solve(position)
            if links is None:
                self.unreachable += 1
                s.log("world/arm", rr.Clear(recursive=True))
            else:
                strips = self.model.links(links)
                s.log("world/arm/links", rr.LineStrips3D(list(strips.values()), radii=0.003,
                                                         colors=[[150, 150, 160]], labels=list(strips.keys())))
                joints = [strips["head"][1], strips["inner"][1], strips["outer"][1], strips["inner"][2]]
                s.log("world/arm/joints", rr.Points3D(joints, radii=0.005, colors=[[110, 110, 120]]))

    def proxies(self, effects: Dict[int, Any], position: Sequence[float]) -> None:
        """The proxy of each mesh that reports one (``mesh.proxy``, where the module has it): a point,
        a line to the tool, and the contact normal while it touches. In the device's frame, so not
        below the mesh's own transform."""
        import rerun as rr

        s = self.stream
        for handle in [h for h in self.proxied if h not in effects]:
            s.log(f"world/proxies/{handle}", rr.Clear(recursive=True))
            self.proxied.discard(handle)
        for handle, effect in effects.items():
            view = getattr(effect, "proxy", None) if type(effect).__name__ == "Mesh" else None
            if not isinstance(view, dict) or view.get("position") is None:
                continue
            proxy = [float(x) for x in view["position"]]
            if not np.all(np.isfinite(proxy)):
                continue
            self.proxied.add(handle)
            path = f"world/proxies/{handle}"
            s.log(path, rr.Points3D([proxy], radii=0.0035, colors=[[60, 200, 230]]))
            s.log(f"{path}/link", rr.LineStrips3D([[list(position), proxy]], colors=[[60, 200, 230]], radii=0.0007))
            normal = [float(x) for x in view.get("normal") or (0.0, 0.0, 0.0)]
            if view.get("contacts", 1) and np.all(np.isfinite(normal)) and any(normal):
                s.log(f"{path}/normal", rr.Arrows3D(origins=[proxy], vectors=[[n * 0.02 for n in normal]],
                                                    colors=[[60, 200, 230]], radii=0.001))
            else:
                s.log(f"{path}/normal", rr.Clear(recursive=False))

    def effects(self, effects: Dict[int, Any]) -> int:
        """Log the effects whose geometry changed since the last call; returns how many."""
        import rerun as rr

        changed = 0
        for handle in list(self.shown):
            if handle not in effects:
                self.stream.log(f"world/effects/{handle}", rr.Clear(recursive=True))
                del self.shown[handle]
                changed += 1
        for handle, effect in effects.items():
            signature = _signature(effect)
            if self.shown.get(handle) == signature:
                continue
            self.shown[handle] = signature
            self._log_effect(f"world/effects/{handle}", effect)
            changed += 1
        return changed

    def _log_effect(self, path: str, effect: Any) -> None:
        import rerun as rr

        s = self.stream
        made = effect_geometry(effect)
        s.log(path, rr.Clear(recursive=True))
        if made is None:
            return
        kind, g = made
        alpha = 110 if effect.enabled else 40
        color = [[120, 160, 230, alpha]]
        if kind == "Plane":
            c = g["corners"]
            s.log(f"{path}/plane", rr.Mesh3D(vertex_positions=c, triangle_indices=[[0, 1, 2], [0, 2, 3]],
                                             albedo_factor=color[0]))
            s.log(f"{path}/outline", rr.LineStrips3D([c + [c[0]]], radii=0.0006, colors=[[120, 160, 230]]))
            s.log(f"{path}/normal", rr.Arrows3D(origins=[g["point"]], vectors=[[n * 0.02 for n in g["normal"]]],
                                                colors=[[120, 160, 230]], radii=0.0008))
        elif kind == "Sphere":
            r = g["radius"]
            s.log(f"{path}/sphere", rr.Ellipsoids3D(centers=[g["center"]], half_sizes=[[r, r, r]], colors=color,
                                                    fill_mode="solid"))
        elif kind == "Box":
            low, high = np.asarray(g["min_corner"]), np.asarray(g["max_corner"])
            s.log(f"{path}/box", rr.Boxes3D(centers=[((low + high) / 2).tolist()],
                                            half_sizes=[((high - low) / 2).tolist()], colors=color,
                                            fill_mode="solid"))
        elif kind == "Mesh":
            m = np.asarray(g["transform"], dtype=float)
            s.log(f"{path}", rr.Transform3D(translation=m[:3, 3], mat3x3=m[:3, :3]))
            if "vertices" in g:
                s.log(f"{path}/mesh", rr.Mesh3D(vertex_positions=g["vertices"], triangle_indices=g["triangles"],
                                                albedo_factor=color[0]))
            else:
                low, high = np.asarray(g["bounds"][0]), np.asarray(g["bounds"][1])
                s.log(f"{path}/bounds", rr.Boxes3D(centers=[((low + high) / 2).tolist()],
                                                   half_sizes=[((high - low) / 2).tolist()],
                                                   colors=[[120, 160, 230]]))
        elif kind == "Spring":
            s.log(f"{path}/anchor", rr.Points3D([g["anchor"]], radii=0.003, colors=[[200, 120, 230]]))


class SceneView:
    """A loop's scene streamed to Rerun from a thread of its own; made by :func:`view`.

    ``frames`` counts frames sent, ``frames_dropped`` frames skipped because the thread was
    late for them, ``cycles`` the cycles sent to the plots, ``lost`` the cycles the loop's ring
    had no room for, ``effect_updates`` the effect geometries (re)sent, and ``busy_s`` the seconds
    the thread spent making frames (its share of a processor: ``busy_s`` over the time it ran).
    """

    def __init__(self, loop: Any, stream: Any, *, model: Optional[KinematicModel], rate_hz: float,
                 drain: bool, record: Optional[PathLike], on_records: Optional[Callable[[np.ndarray, int], Any]],
                 addresses: Dict[str, str]):
        self.loop = loop
        self.stream = stream
        self.rate_hz = rate_hz
        self.addresses = addresses
        self.frames = 0
        self.frames_dropped = 0
        self.cycles = 0
        self.lost = 0
        self.effect_updates = 0
        self.busy_s = 0.0
        self.error: Optional[BaseException] = None
        self._drains = drain
        self._on_records = on_records
        self._scene = _Scene(stream, model)
        self._fed: List[Tuple[np.ndarray, int]] = []
        self._fed_lock = threading.Lock()
        self._stop = threading.Event()
        self._recording: Any = None
        self._pending: List[Tuple[np.ndarray, int]] = []
        if record is not None:
            import velkor_telemetry

            self._recording = velkor_telemetry.Recording(record, self._take_pending, rate_hz=loop.rate_hz)
        self._thread = threading.Thread(target=self._run, name="velkor-view", daemon=True)

    @property
    def unreachable(self) -> int:
        """Frames whose tool position the kinematic model could not reach (no links drawn)."""
        return self._scene.unreachable

    def _take_pending(self) -> Tuple[np.ndarray, int]:
        with self._fed_lock:
            taken, self._pending = self._pending, []
        if not taken:
            import velkor_telemetry

            return np.zeros(0, dtype=velkor_telemetry._dtype()), 0
        return np.concatenate([r for r, _ in taken]), sum(lost for _, lost in taken)

    def feed(self, records: np.ndarray, lost: int = 0) -> None:
        """Hand the view cycles drained elsewhere (a view made with ``drain=False``)."""
        if self._drains:
            raise RuntimeError("SceneView.feed(): this view drains the loop itself; make it with drain=False")
        with self._fed_lock:
            self._fed.append((records.copy(), int(lost)))

    def _take(self) -> Tuple[np.ndarray, int]:
        if self._drains:
            return self.loop.drain()  # type: ignore[no-any-return]
        with self._fed_lock:
            fed, self._fed = self._fed, []
        if not fed:
            return np.zeros(0, dtype=self.loop.telemetry_dtype), 0
        return np.concatenate([r for r, _ in fed]), sum(lost for _, lost in fed)

    def start(self) -> "SceneView":
        if self._recording is not None:
            self._recording.start()
        self._thread.start()
        return self

    #: How much lower than the rest of the process the view's thread runs (Linux nice steps): on a
    #: busy machine the scheduler then gives the loop's thread and the device's process first turn.
    NICE = 10

    def _run(self) -> None:
        if hasattr(os, "setpriority") and hasattr(threading, "get_native_id"):
            try:  # on Linux, nice values are per thread
                tid = threading.get_native_id()
                os.setpriority(os.PRIO_PROCESS, tid, min(19, os.getpriority(os.PRIO_PROCESS, tid) + self.NICE))
            except OSError:
                pass
        period = 1.0 / self.rate_hz
        next_frame = time.monotonic()
        try:
            while not self._stop.is_set():
                began = time.perf_counter()
                self._frame()
                self.busy_s += time.perf_counter() - began
                next_frame += period
                now = time.monotonic()
                if now > next_frame:
                    # Late: the frames whose time has passed are not drawn.
                    missed = int((now - next_frame) / period) + 1
                    self.frames_dropped += missed
                    next_frame += missed * period
                self._stop.wait(max(0.0, next_frame - time.monotonic()))
            self._frame()
        except BaseException as e:  # kept for stop() to raise
            self.error = e

    def _frame(self) -> None:
        records, lost = self._take()
        self.lost += int(lost)
        if self._recording is not None and (len(records) or lost):
            with self._fed_lock:
                self._pending.append((records, int(lost)))
        if len(records):
            send_records(self.stream, records)
            self.cycles += len(records)
            if self._on_records is not None:
                self._on_records(records, int(lost))
            last = records[-1]
            self._scene.set_time(float(last["time"]), int(last["cycle"]))
            proxy_name, normal_name = _proxy_fields(records)
            proxy = normal = None
            if proxy_name is None:
                proxy, normal = self._state_proxy()
            else:
                proxy = last[proxy_name].tolist()
                normal = last[normal_name].tolist() if normal_name else None
            self._scene.tool(last["position"].tolist(), last["force"].tolist(), proxy, normal)
            self._scene.proxies(self.loop.effects, last["position"].tolist())
            self.frames += 1
        # Every frame, cycles or not: a change made just before stop() is drawn too.
        self.effect_updates += self._scene.effects(self.loop.effects)

    def _state_proxy(self) -> Tuple[Optional[List[float]], Optional[List[float]]]:
        state = self.loop.state()
        proxy = state.get("proxy") if isinstance(state, dict) else None
        normal = state.get("contact_normal") if isinstance(state, dict) else None
        return proxy, normal

    def stop(self, timeout: float = 10.0, close: bool = True) -> Dict[str, Any]:
        """Send what is left, stop the thread and, with ``close``, close the sinks (and end the web
        viewer's server); returns the counters, and ``flushed``: whether everything reached the
        sinks within ``timeout`` seconds. Raises what the thread met (a sink that failed), as
        :class:`RuntimeError`. ``close=False`` leaves the stream open: a viewer keeps what it has,
        and :func:`close_stream` (``view.stream``) ends it later."""
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout)
        summary: Dict[str, Any] = {"frames": self.frames, "frames_dropped": self.frames_dropped,
                                   "cycles": self.cycles, "lost": self.lost, "effect_updates": self.effect_updates,
                                   "unreachable": self.unreachable, "busy_s": self.busy_s}
        if self._recording is not None:
            summary["recording"] = self._recording.stop()
            self._recording = None
        summary["flushed"] = close_stream(self.stream, timeout) if close else _flush(self.stream, timeout)
        if self.error is not None:
            error, self.error = self.error, None
            raise RuntimeError(f"velkor view failed: {error}") from error
        return summary

    def __enter__(self) -> "SceneView":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()


def view(loop: Any, arm: Any = None, *, spawn: bool = False, web: Optional[int] = None,
         save: Optional[PathLike] = None, connect: Optional[str] = None, rate_hz: float = 30.0, drain: bool = True,
         record: Optional[PathLike] = None, on_records: Optional[Callable[[np.ndarray, int], Any]] = None,
         model: Optional[KinematicModel] = None, open_browser: bool = False) -> SceneView:
    """Stream ``loop``'s scene to Rerun from a thread of its own, ``rate_hz`` frames a second.

    Sinks: ``spawn`` a native viewer, serve the web viewer on the loopback port ``web`` (0: a
    free one; the address is in ``addresses['web']``), ``save`` to an ``.rrd`` file, ``connect``
    to a running viewer's address; any together. With ``drain`` (the default) the view is the one consumer of ``loop.drain()``:
    ``record`` writes those cycles to an MCAP recording too and ``on_records(records, lost)``
    receives them. With ``drain=False``, pass what you drain to :meth:`SceneView.feed`.

    The arm is drawn from a :class:`KinematicModel` (``model``; the default lengths when an
    ``arm`` is given without one). Without either, only the tool is drawn."""
    if not (1.0 <= rate_hz <= 240.0):
        raise ValueError("view: rate_hz must be from 1 to 240 frames a second")
    if drain and getattr(loop, "recording", None):
        raise RuntimeError("view: the loop is recording, and the recording drains its telemetry: "
                           "stop_recording() first and pass record=PATH to view(), or view with drain=False")
    if model is None and arm is not None:
        model = KinematicModel()
    stream, addresses = open_stream(spawn=spawn, web=web, save=save, connect=connect, open_browser=open_browser)
    try:
        made = SceneView(loop, stream, model=model, rate_hz=rate_hz, drain=drain, record=record,
                         on_records=on_records, addresses=addresses)
    except BaseException:
        close_stream(stream, timeout=1.0)  # and the web viewer's server with it
        raise
    return made.start()


def replay(path: PathLike, *, spawn: bool = False, web: Optional[int] = None, save: Optional[PathLike] = None,
           rate_hz: float = 30.0, effects: Optional[Sequence[Any]] = None,
           model: Optional[KinematicModel] = None, open_browser: bool = False) -> Tuple[Any, Dict[str, str], int]:
    """Send a recording to Rerun on its own timeline: every cycle to the plots, and the scene
    (tool, force, arm when ``model`` is given, ``effects`` at their place) ``rate_hz`` times per
    second of the recording. Returns (stream, addresses, cycles)."""
    import velkor_telemetry

    records = velkor_telemetry.read(path)
    stream, addresses = open_stream(spawn=spawn, web=web, save=save, open_browser=open_browser)
    try:
        _replay(stream, records, rate_hz, effects, model)
    except BaseException:
        close_stream(stream, timeout=1.0)
        raise
    return stream, addresses, len(records)


def _replay(stream: Any, records: np.ndarray, rate_hz: float, effects: Optional[Sequence[Any]],
            model: Optional[KinematicModel]) -> None:
    send_records(stream, records)
    scene = _Scene(stream, model)
    if effects:
        scene.effects({i: e for i, e in enumerate(effects)})
    step = 1.0 / rate_hz
    next_t = -1.0
    proxy_name, normal_name = _proxy_fields(records)
    for row in records:
        t = float(row["time"])
        if t < next_t:
            continue
        next_t = t + step
        scene.set_time(t, int(row["cycle"]))
        scene.tool(row["position"].tolist(), row["force"].tolist(),
                   row[proxy_name].tolist() if proxy_name else None,
                   row[normal_name].tolist() if normal_name else None)

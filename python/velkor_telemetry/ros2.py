"""Recordings that ROS 2 tools open: an MCAP file in the ROS 2 bag profile (``ros2 bag play``,
Foxglove, rosbags), one CDR message per topic per cycle, or at a chosen rate.

Topics, with the arm's Cartesian axes as three prismatic joints ``arm_x``, ``arm_y``, ``arm_z``
as ``velkor serve`` publishes them:

- ``/velkor/joint_states`` ``sensor_msgs/msg/JointState``: position (m), velocity (m/s), effort
  (the force sent, N);
- ``/velkor/pose`` ``geometry_msgs/msg/PoseStamped``: the tool's position, identity orientation;
- ``/velkor/wrench`` ``geometry_msgs/msg/WrenchStamped``: the force sent, zero torque.

Header stamps and log times are wall-clock times anchored once per run of the loop, plus the
cycle's time from the loop's start.
"""

from __future__ import annotations

import os
import struct
import threading
import time
from typing import Any, Callable, Dict, Optional, Tuple, Union

import numpy as np

__all__ = ["FRAME_ID", "TOPICS", "Ros2Recording"]

FRAME_ID = "arm_base"
JOINTS = ("arm_x", "arm_y", "arm_z")

_TIME = "int32 sec\nuint32 nanosec\n"
_HEADER = "builtin_interfaces/Time stamp\nstring frame_id\n"
_RULE = "=" * 80 + "\n"


def _definition(body: str, *deps: Tuple[str, str]) -> str:
    return body + "".join(f"{_RULE}MSG: {name}\n{text}" for name, text in deps)


_DEFINITIONS = {
    "sensor_msgs/msg/JointState": _definition(
        "std_msgs/Header header\nstring[] name\nfloat64[] position\nfloat64[] velocity\nfloat64[] effort\n",
        ("std_msgs/Header", _HEADER), ("builtin_interfaces/Time", _TIME)),
    "geometry_msgs/msg/PoseStamped": _definition(
        "std_msgs/Header header\ngeometry_msgs/Pose pose\n",
        ("std_msgs/Header", _HEADER), ("builtin_interfaces/Time", _TIME),
        ("geometry_msgs/Pose", "geometry_msgs/Point position\ngeometry_msgs/Quaternion orientation\n"),
        ("geometry_msgs/Point", "float64 x\nfloat64 y\nfloat64 z\n"),
        ("geometry_msgs/Quaternion", "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n")),
    "geometry_msgs/msg/WrenchStamped": _definition(
        "std_msgs/Header header\ngeometry_msgs/Wrench wrench\n",
        ("std_msgs/Header", _HEADER), ("builtin_interfaces/Time", _TIME),
        ("geometry_msgs/Wrench", "geometry_msgs/Vector3 force\ngeometry_msgs/Vector3 torque\n"),
        ("geometry_msgs/Vector3", "float64 x\nfloat64 y\nfloat64 z\n")),
}
#: Topic → message type.
TOPICS: Dict[str, str] = {"/velkor/joint_states": "sensor_msgs/msg/JointState",
                          "/velkor/pose": "geometry_msgs/msg/PoseStamped",
                          "/velkor/wrench": "geometry_msgs/msg/WrenchStamped"}
# The QoS a recorded publisher offers (reliable, keep last 10), as ros2 bag writes it.
_QOS = ("- history: 1\n  depth: 10\n  reliability: 1\n  durability: 2\n  deadline:\n    sec: 2147483647\n"
        "    nsec: 4294967295\n  lifespan:\n    sec: 2147483647\n    nsec: 4294967295\n  liveliness: 1\n"
        "  liveliness_lease_duration:\n    sec: 2147483647\n    nsec: 4294967295\n"
        "  avoid_ros_namespace_conventions: false\n")

_CDR_LE = b"\x00\x01\x00\x00"
_FRAME = FRAME_ID.encode() + b"\x00"


def _header(stamp_ns: int) -> bytes:
    # Offsets count from after the encapsulation header: the stamp at 0, the string at 8.
    return struct.pack("<iII", stamp_ns // 1_000_000_000, stamp_ns % 1_000_000_000, len(_FRAME)) + _FRAME


def _pad(body: bytes, size: int) -> bytes:
    return body + b"\x00" * (-len(body) % size)


def _names() -> bytes:
    out = struct.pack("<I", len(JOINTS))
    for name in JOINTS:
        data = name.encode() + b"\x00"
        out = _pad(out, 4) + struct.pack("<I", len(data)) + data
    return out


_NAMES = _names()


def joint_state(stamp_ns: int, position: Any, velocity: Any, effort: Any) -> bytes:
    body = _pad(_header(stamp_ns), 4) + _NAMES
    for values in (position, velocity, effort):
        body = _pad(_pad(body, 4) + struct.pack("<I", 3), 8) + struct.pack("<3d", *values)
    return _CDR_LE + body


def pose_stamped(stamp_ns: int, position: Any) -> bytes:
    return _CDR_LE + _pad(_header(stamp_ns), 8) + struct.pack("<7d", *position, 0.0, 0.0, 0.0, 1.0)


def wrench_stamped(stamp_ns: int, force: Any) -> bytes:
    return _CDR_LE + _pad(_header(stamp_ns), 8) + struct.pack("<6d", *force, 0.0, 0.0, 0.0)


PathLike = Union[str, "os.PathLike[str]"]


class Ros2Recording:
    """Writes the cycles a drain function hands over to an MCAP file in the ROS 2 bag profile,
    from a thread of its own: every cycle, or ``publish_hz`` messages a second per topic (the
    first cycle of each period). Same interface as :class:`velkor_telemetry.Recording`."""

    INTERVAL = 0.05

    def __init__(self, path: PathLike, drain: Callable[[], Tuple[np.ndarray, int]], rate_hz: float = 1000.0,
                 publish_hz: Optional[float] = None):
        from mcap.writer import Writer

        if publish_hz is not None and not (0.0 < publish_hz <= 10000.0):
            raise ValueError("Ros2Recording: publish_hz must be more than 0 and at most 10000")
        self.path = os.fspath(path)
        self._drain = drain
        self.rate_hz = rate_hz
        self.publish_hz = publish_hz
        self._file = open(self.path, "wb")
        try:
            self._writer = Writer(self._file)
            self._writer.start(profile="ros2", library="VelkorHardwareAPI velkor_telemetry")
            self._channels = {}
            for topic, kind in TOPICS.items():
                schema = self._writer.register_schema(kind, "ros2msg", _DEFINITIONS[kind].encode())
                self._channels[topic] = self._writer.register_channel(topic, "cdr", schema,
                                                                      {"offered_qos_profiles": _QOS})
        except BaseException:
            self._file.close()
            raise
        self.messages = 0  # cycles written (each as one message per topic)
        self.lost = 0
        self._anchor_ns: Optional[int] = None
        self._last_time = -1.0
        self._next_time = -1.0
        self._sequence = 0
        self._stop = threading.Event()
        self._error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._run, name="velkor-recording-ros2", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def _run(self) -> None:
        try:
            while not self._stop.wait(self.INTERVAL):
                self._write(*self._drain())
        except BaseException as e:
            self._error = e

    def _write(self, records: np.ndarray, lost: int) -> None:
        self.lost += int(lost)
        if len(records) == 0:
            return
        times = records["time"]
        if self._anchor_ns is None or float(times[0]) < self._last_time:
            self._anchor_ns = time.time_ns() - int(float(times[-1]) * 1e9)
            self._next_time = -1.0
        self._last_time = float(times[-1])
        add = self._writer.add_message
        joints, pose, wrench = (self._channels[t] for t in TOPICS)
        step = 0.0 if self.publish_hz is None else 1.0 / self.publish_hz
        for t, p, v, f in zip(times.tolist(), records["position"].tolist(), records["velocity"].tolist(),
                              records["force"].tolist()):
            if step and t < self._next_time:
                continue
            self._next_time = t + step
            stamp = self._anchor_ns + int(round(t * 1e9))
            sequence = self._sequence & 0xFFFFFFFF
            add(joints, stamp, joint_state(stamp, p, v, f), stamp, sequence=sequence)
            add(pose, stamp, pose_stamped(stamp, p), stamp, sequence=sequence)
            add(wrench, stamp, wrench_stamped(stamp, f), stamp, sequence=sequence)
            self._sequence += 1
            self.messages += 1

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
                self._writer.finish()  # type: ignore[no-untyped-call]
        finally:
            self._file.close()
        if self._error is not None:
            from . import RecordingError

            raise RecordingError(f"recording to {self.path!r} failed: {self._error}") from self._error
        return summary

"""ROS 2 messages in CDR, as a ROS 2 node (and zenoh-bridge-ros2dds, which
passes the bytes through) sends and receives them: a 4-byte encapsulation
header (CDR, little-endian) and the fields in order, each aligned to its size
counted from the end of that header.

The servo loop works in the end-effector's Cartesian space, so the arm's
``JointState`` carries three prismatic axes named ``NAME_x``, ``NAME_y``,
``NAME_z``: position (m), velocity (m/s) and effort (the force sent, N).
"""

import math
import struct
import time
from typing import List, Sequence, Tuple

__all__ = ["CDR_LE", "joint_state", "pose_stamped", "wrench_stamped", "parse_wrench_stamped", "RosError"]

CDR_LE = b"\x00\x01\x00\x00"
MAX_FRAME_ID = 256


class RosError(ValueError):
    """A ROS 2 message that does not decode; the text says why."""


class _Writer:
    def __init__(self) -> None:
        self.body = bytearray()

    def align(self, size: int) -> None:
        self.body += b"\x00" * (-len(self.body) % size)

    def put(self, fmt: str, *values: float) -> None:
        size = struct.calcsize("<" + fmt.lstrip("0123456789")[0])
        self.align(size)
        self.body += struct.pack("<" + fmt, *values)

    def string(self, text: str) -> None:
        data = text.encode() + b"\x00"
        self.put("I", len(data))
        self.body += data

    def header(self, stamp: float, frame_id: str) -> None:
        sec = math.floor(stamp)
        self.put("iI", sec, min(int((stamp - sec) * 1e9), 999_999_999))
        self.string(frame_id)

    def doubles(self, values: Sequence[float]) -> None:
        self.put("I", len(values))
        if values:
            self.put(f"{len(values)}d", *values)

    def bytes(self) -> bytes:
        return CDR_LE + bytes(self.body)


def joint_state(name: str, position: Sequence[float], velocity: Sequence[float], force: Sequence[float],
                stamp: float = 0.0) -> bytes:
    """sensor_msgs/msg/JointState."""
    w = _Writer()
    w.header(stamp or time.time(), f"{name}_base")
    names = [f"{name}_x", f"{name}_y", f"{name}_z"]
    w.put("I", len(names))
    for n in names:
        w.string(n)
    w.doubles(position)
    w.doubles(velocity)
    w.doubles(force)
    return w.bytes()


def pose_stamped(name: str, position: Sequence[float], stamp: float = 0.0) -> bytes:
    """geometry_msgs/msg/PoseStamped; the arm reports no orientation, so it is the identity."""
    w = _Writer()
    w.header(stamp or time.time(), f"{name}_base")
    w.put("7d", *position, 0.0, 0.0, 0.0, 1.0)
    return w.bytes()


def wrench_stamped(frame_id: str, force: Sequence[float], torque: Sequence[float] = (0.0, 0.0, 0.0),
                   stamp: float = 0.0) -> bytes:
    """geometry_msgs/msg/WrenchStamped (for tests and for programs that command a force)."""
    w = _Writer()
    w.header(stamp or time.time(), frame_id)
    w.put("6d", *force, *torque)
    return w.bytes()


def parse_wrench_stamped(data: bytes) -> Tuple[str, List[float], List[float]]:
    """(frame_id, force, torque) of a geometry_msgs/msg/WrenchStamped, or RosError."""
    if len(data) < 4 or data[1] not in (0, 1) or data[0] != 0:
        raise RosError("no CDR encapsulation header")
    endian = "<" if data[1] == 1 else ">"
    body = data[4:]
    try:
        (length,) = struct.unpack_from(endian + "I", body, 8)
        if not 0 < length <= MAX_FRAME_ID:
            raise RosError(f"frame_id of {length} bytes")
        end = 12 + length
        if end > len(body) or body[end - 1] != 0:
            raise RosError("frame_id runs past the message")
        frame = body[12:end - 1].decode("utf-8", errors="replace")
        start = end + (-end % 8)
        values = struct.unpack_from(endian + "6d", body, start)
    except struct.error:
        raise RosError(f"message of {len(data)} bytes is too short for a WrenchStamped") from None
    if not all(math.isfinite(v) for v in values):
        raise RosError("force or torque is not finite")
    return frame, list(values[:3]), list(values[3:])

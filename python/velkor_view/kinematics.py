"""The arm's linkage in Python, for drawing: the host-side kinematic model's forward solution,
and the joint angles that put the tool at a given position (found by Newton steps on it).

The servo loop's telemetry carries the tool's position, not the joint angles, so the view
solves for the angles that yield that position from the pose of the previous frame; the
links drawn are the model's links at that pose.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

__all__ = ["KinematicModel", "links_points"]

Vector = Union[Sequence[float], np.ndarray]

_PI = 3.141592  # the model's own value of pi, as the device uses it


@dataclass
class KinematicModel:
    """Lengths (m) and base orientation (x, y, z, w) of the arm model, as after an arm's
    construction unless ``adjust_lengths`` changed them (pass the same values here)."""

    inner_arm_1: float = 0.14
    outer_arm_1: float = 0.14
    inner_arm_2: float = 0.165
    outer_arm_2: float = 0.165
    extension: float = 0.0765
    orientation: Tuple[float, float, float, float] = (0.0, 0.7071, 0.0, 0.7071)
    tool_offset: float = 0.18645
    _q: Optional[np.ndarray] = field(default=None, repr=False)

    @property
    def lateral_offset(self) -> float:
        return abs(self.extension) - 0.052

    def rotation(self) -> np.ndarray:
        x, y, z, w = self.orientation
        return np.array([[1 - 2 * y * y - 2 * z * z, 2 * (x * y - z * w), 2 * (x * z + y * w)],
                         [2 * (x * y + z * w), 1 - 2 * x * x - 2 * z * z, 2 * (y * z - x * w)],
                         [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * x * x - 2 * y * y]])

    def _planar(self, a: float, b: float) -> Tuple[float, float, float, float]:
        """The linkage's meeting point (ex, ey) and the two chains' second-segment angles."""
        l1, l2, l3, l4 = self.inner_arm_1, self.outer_arm_1, self.inner_arm_2, self.outer_arm_2
        x = math.cos(a) * l1 - math.cos(b) * l2
        y = math.sin(a) * l1 - math.sin(b) * l2
        phi = math.atan2(y, x)
        d = math.hypot(x, y)
        if d < 1e-6:
            theta3 = theta4 = a
        else:
            c4 = (l4 * l4 + d * d - l3 * l3) / (2 * d * l4)
            c3 = (d * d + l3 * l3 - l4 * l4) / (2 * d * l3)
            if abs(c4) > 1 or abs(c3) > 1:
                return math.nan, math.nan, math.nan, math.nan
            theta4 = math.acos(c4) + phi
            theta3 = phi + _PI - math.acos(c3)
        ex = math.cos(theta3) * l3 + math.cos(a) * l1
        ey = math.sin(theta3) * l3 + math.sin(a) * l1
        return ex, ey, theta3, theta4

    def _place(self, q0: float, u: float, v: float) -> np.ndarray:
        """A point (u, v) of the linkage's plane in the device's frame, with the head at q0."""
        d = self.lateral_offset
        local = np.array([-u, d * math.sin(q0) - v * math.cos(q0), d * math.cos(q0) + v * math.sin(q0)])
        placed: np.ndarray = self.rotation() @ local
        return placed

    def forward(self, q: Vector) -> np.ndarray:
        """The tool's position for model angles q (radians), as ``ArmModel::ForwardKinematics``."""
        ex, ey, _, _ = self._planar(q[1], q[2])
        return self._place(q[0], ex + self.tool_offset, ey)

    def solve(self, position: Vector, iterations: int = 30) -> Optional[np.ndarray]:
        """Model angles whose forward solution is ``position`` (within 0.1 mm), starting from the
        last solution; None when there is none nearby (a position outside the model's reach)."""
        target = np.asarray(position, dtype=float)
        if not np.all(np.isfinite(target)):
            return None
        starts = [self._q] if self._q is not None else []
        # Reported angles (0, -30, 30) degrees: a pose in the middle of the workspace.
        starts.append(np.array([_PI / 2, -150 * _PI / 180, -210 * _PI / 180]))
        for q in starts:
            q = q.copy()
            for _ in range(iterations):
                p = self.forward(q)
                if not np.all(np.isfinite(p)):
                    break
                error = target - p
                if float(np.linalg.norm(error)) < 1e-7:
                    break
                jacobian = np.empty((3, 3))
                h = 1e-6
                for i in range(3):
                    step = q.copy()
                    step[i] += h
                    jacobian[:, i] = (self.forward(step) - p) / h
                try:
                    dq = np.linalg.lstsq(jacobian, error, rcond=None)[0]
                except np.linalg.LinAlgError:
                    break
                scale = min(1.0, 0.3 / max(float(np.abs(dq).max()), 1e-12))  # at most 0.3 rad a step
                q = q + dq * scale
            p = self.forward(q)
            if np.all(np.isfinite(p)) and float(np.linalg.norm(target - p)) < 1e-4:
                self._q = q
                return q
        return None

    def links(self, q: Vector) -> Dict[str, List[List[float]]]:
        """The links at model angles q as polylines in the device's frame (m): the head's offset
        from the base, the inner and the outer chain to their meeting point, and the tool beyond it."""
        a, b = q[1], q[2]
        ex, ey, _, _ = self._planar(a, b)
        root = self._place(q[0], 0.0, 0.0)
        inner = self._place(q[0], self.inner_arm_1 * math.cos(a), self.inner_arm_1 * math.sin(a))
        outer = self._place(q[0], self.outer_arm_1 * math.cos(b), self.outer_arm_1 * math.sin(b))
        meet = self._place(q[0], ex, ey)
        tool = self._place(q[0], ex + self.tool_offset, ey)
        base = np.zeros(3)
        return {"head": [base.tolist(), root.tolist()],
                "inner": [root.tolist(), inner.tolist(), meet.tolist()],
                "outer": [root.tolist(), outer.tolist(), meet.tolist()],
                "tool": [meet.tolist(), tool.tolist()]}


def links_points(model: KinematicModel, position: Vector) -> Optional[Dict[str, List[List[float]]]]:
    """The links of ``model`` with its tool at ``position``, or None outside its reach."""
    q = model.solve(position)
    return None if q is None else model.links(q)

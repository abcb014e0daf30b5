"""Scenes for ``velkor record`` and the telemetry example: a wall, a sphere, or both, placed
around where the tool is at start, and a run that records one of them.

A scene can also come from a Python file that defines ``effects(start)``: given the tool's
position at start (m), it returns the effects to add to the loop.
"""

from __future__ import annotations

import contextlib
import os
import runpy
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence

import VelkorHardwareAPI as api

SCENES = ("wall", "sphere", "wall-and-sphere")
#: How far ahead (+z) of the start the wall stands, and the sphere's radius, m.
WALL_AHEAD = 0.015
SPHERE_RADIUS = 0.02


def scene_effects(scene: str, start: Sequence[float], stiffness: float = 800.0) -> List[Any]:
    """The effects of a named scene, or of a Python file's ``effects(start)``."""
    if scene.endswith(".py") or os.sep in scene:
        if not os.path.isfile(scene):
            raise ValueError(f"no scene file {scene!r}")
        made = runpy.run_path(scene).get("effects")
        if not callable(made):
            raise ValueError(f"{scene!r} defines no effects(start) function")
        from_file = list(made(list(start)))
        if not all(isinstance(e, api.Effect) for e in from_file):
            raise ValueError(f"effects() in {scene!r} must return VelkorHardwareAPI effects")
        return from_file
    if scene not in SCENES:
        raise ValueError(f"unknown scene {scene!r}: one of {', '.join(SCENES)} or a .py file")
    effects: List[Any] = []
    if scene in ("wall", "wall-and-sphere"):
        effects.append(api.Plane([0.0, 0.0, start[2] + WALL_AHEAD], [0.0, 0.0, -1.0], stiffness, damping=5.0))
    if scene in ("sphere", "wall-and-sphere"):
        # Its top where the tool starts, behind it (-z).
        effects.append(api.Sphere([start[0], start[1], start[2] - SPHERE_RADIUS], SPHERE_RADIUS, stiffness))
    return effects


@contextlib.contextmanager
def _port(port: Optional[str], push: float) -> Iterator[Any]:
    if port:
        yield port, None
        return
    import velkor_sim

    with velkor_sim.Simulator("arm", hand=[0.0, 0.0, push]) as sim:
        yield sim.path, sim


def record_run(port: Optional[str], seconds: float, output: str, scene: str = "wall-and-sphere",
               rate_hz: float = 1000.0, push: float = 2.0, stiffness: float = 800.0,
               progress: Optional[Callable[[str], None]] = None, ros2: bool = False,
               publish_hz: Optional[float] = None) -> Dict[str, Any]:
    """Run a scene for ``seconds`` and record every cycle to ``output``; returns the recording's
    summary with the loop's stats. Without a port the simulator runs it, and its hand pushes the
    tool forward (+z) for the first half and back for the second with ``push`` newtons. With
    ``ros2`` the file is a ROS 2 bag (:class:`velkor_telemetry.ros2.Ros2Recording`), with one
    message per topic per cycle or ``publish_hz`` a second."""
    if publish_hz is not None and not ros2:
        raise ValueError("a publishing rate is for ROS 2 recordings (ros2=True)")
    with _port(port, push) as (path, sim):
        stream = api.SerialStream.open(path)
        arm = api.Vorlan3(stream, 0.5)
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        if arm.last_error:
            raise RuntimeError(f"no arm answers on {path}: {arm.last_error}")
        loop = api.ServoLoop(arm, rate_hz=rate_hz)
        for effect in scene_effects(scene, start, stiffness):
            loop.add(effect)
        with loop:
            recording: Any = None
            if ros2:
                from .ros2 import Ros2Recording

                recording = Ros2Recording(output, loop.drain, rate_hz=rate_hz, publish_hz=publish_hz)
                recording.start()
            else:
                loop.record(output)
            # Announced once the file is there: a signal from now on leaves it closed and readable.
            if progress:
                progress(f"recording {scene} on {path} for {seconds:g} s to {output}")
            time.sleep(seconds / 2)
            if sim is not None:
                sim.set_hand_force([0.0, 0.0, -push])
            time.sleep(seconds / 2)
            written = recording.stop() if recording is not None else loop.stop_recording()
        summary: Dict[str, Any] = dict(written or {})
        summary["stats"] = loop.stats()
        stream.close()
        return summary

"""The figure of "Seeing the scene": the wall-and-sphere scene run on the simulator with its view
saved to a Rerun file, read back with Rerun's own reader, and its last frame drawn with
matplotlib (the Rerun viewer needs a display, which a documentation build does not have)."""

import os
import tempfile
import time

import numpy as np


def _last(batches, name):
    rows = []
    for b in batches:
        if name in b.schema.names:
            times = b.column("cycle").to_pylist() if "cycle" in b.schema.names else [-1] * b.num_rows
            rows += [(t, v) for t, v in zip(times, b.column(name).to_pylist()) if v is not None]
    return max(rows, key=lambda r: r[0])[1] if rows else None


def view_figure(output, seconds=2.0):
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure
    from rerun.chunk import RrdReader

    import VelkorHardwareAPI as api
    import velkor_sim
    import velkor_view
    from velkor_telemetry import scenes

    with tempfile.TemporaryDirectory() as folder:
        rrd = os.path.join(folder, "scene.rrd")
        with velkor_sim.Simulator("arm", hand=[0.0, 0.0, -2.0]) as sim:
            stream = api.SerialStream.open(sim.path)
            arm = api.Vorlan3(stream, 0.5)
            start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
            loop = api.ServoLoop(arm, 1000.0)
            for effect in scenes.scene_effects("wall-and-sphere", start):
                loop.add(effect)
            with loop:
                view = velkor_view.view(loop, arm, save=rrd)
                time.sleep(seconds)
                summary = view.stop()
            stream.close()
        data = {}
        for chunk in RrdReader(rrd).stream().collect().stream():
            data.setdefault(str(chunk.entity_path), []).append(chunk.to_record_batch())

    figure = Figure(figsize=(7, 5.6), dpi=100)
    ax = figure.add_subplot(projection="3d")
    # Rerun's view is y-up; matplotlib's z is up: draw (x, z, y).
    def xyz(points):
        p = np.asarray(points, dtype=float).reshape(-1, 3)
        return p[:, 0], p[:, 2], p[:, 1]

    for path, batches in data.items():
        if path.endswith("/plane"):
            corners = np.array(_last(batches, "Mesh3D:vertex_positions"))
            x, y, z = xyz(np.vstack([corners, corners[:1]]))
            ax.plot_trisurf(*xyz(corners), triangles=[[0, 1, 2], [0, 2, 3]], color="#7aa0e6", alpha=0.35)
            ax.plot(x, y, z, color="#7aa0e6", lw=1)
        elif path.endswith("/sphere"):
            center = np.array(_last(batches, "Ellipsoids3D:centers")[0])
            r = _last(batches, "Ellipsoids3D:half_sizes")[0][0]
            u, v = np.mgrid[0:2 * np.pi:24j, 0:np.pi:12j]
            ax.plot_wireframe(center[0] + r * np.cos(u) * np.sin(v), center[2] + r * np.cos(v),
                              center[1] + r * np.sin(u) * np.sin(v), color="#7aa0e6", lw=0.5)
    links = _last(data["/world/arm/links"], "LineStrips3D:strips")
    for strip in links or []:
        ax.plot(*xyz(strip), color="#555", lw=3)
    tool = _last(data["/world/tool"], "Points3D:positions")[0]
    ax.scatter(*xyz(tool), color="#f0b428", s=40)
    origin = _last(data["/world/force"], "Arrows3D:origins")[0]
    vector = _last(data["/world/force"], "Arrows3D:vectors")[0]
    ax.quiver(*xyz(origin), *xyz(vector), color="#e63c3c", lw=2)
    ax.scatter([0], [0], [0], color="#5a5a5a", s=30)
    ax.set(xlabel="x (m)", ylabel="z (m)", zlabel="y (m)")
    ax.set_box_aspect((1, 1, 1))
    ax.view_init(elev=18, azim=-60)
    figure.suptitle(f"velkor view --save: {summary['cycles']} cycles plotted, {summary['frames']} frames; "
                    "the last one", fontsize=10)
    figure.savefig(output)

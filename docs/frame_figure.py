"""Draws the arm's base frame and workspace as SVG for the documentation, with plain Python.

The positions come from the host-side kinematic model of the arm (its default lengths and
orientation), the same computation as ``Vorlan3.get_end_effector_position(False)``; a test checks the
two against each other.
"""

import math

PI = 3.141592  # the model's own value of pi, as the library uses it
L1, L2, L3, L4 = 0.14, 0.14, 0.165, 0.165
EXTENSION, OFFSET_C, TOOL = 0.0765, -0.052, 0.18645
D = abs(EXTENSION) + OFFSET_C
Q = (0.0, 0.7071, 0.0, 0.7071)


def position(d0, d1, d2):
    """End-effector position (m) for reported joint angles in degrees; None where the linkage cannot close."""
    q0 = (d0 + 90) * PI / 180
    a = (-d1 - 180) * PI / 180
    b = (-d2 - 180) * PI / 180
    x = math.cos(a) * L1 - math.cos(b) * L2
    y = math.sin(a) * L1 - math.sin(b) * L2
    phi, d = math.atan2(y, x), math.hypot(x, y)
    if d < 1e-6:
        t3 = a
    else:
        c = (d * d + L3 * L3 - L4 * L4) / (2 * d * L3)
        if not -1.0 <= c <= 1.0:
            return None
        t3 = phi + PI - math.acos(c)
    ex = math.cos(t3) * L3 + math.cos(a) * L1
    ey = math.sin(t3) * L3 + math.sin(a) * L1
    p = (-(ex + TOOL), D * math.sin(q0) - ey * math.cos(q0), D * math.cos(q0) + ey * math.sin(q0))
    qx, qy, qz, qw = Q
    r = ((1 - 2 * qy * qy - 2 * qz * qz, 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)),
         (2 * (qx * qy + qz * qw), 1 - 2 * qx * qx - 2 * qz * qz, 2 * (qy * qz - qx * qw)),
         (2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * qx * qx - 2 * qy * qy))
    return tuple(sum(r[i][j] * p[j] for j in range(3)) for i in range(3))


# Joint angles swept for the picture (degrees): a generous range around the rest pose.
SWEEP = {"head": range(-60, 61, 6), "inner": range(-80, 31, 5), "outer": range(-30, 81, 5)}


def workspace():
    points = []
    for d0 in SWEEP["head"]:
        for d1 in SWEEP["inner"]:
            for d2 in SWEEP["outer"]:
                p = position(d0, d1, d2)
                if p is not None and p[2] > 0.05:
                    points.append(p)
    return points


def _view(points, horizontal, vertical, names, left, title):
    """One projection: points as dots, the axes through the origin, at x offset left."""
    size, scale = 300, 900.0  # pixels; pixels per metre
    ox, oy = left + 40, size - 40  # the origin
    out = [f'<text x="{left + 10}" y="20" font-size="14">{title}</text>']
    for p in points[::3]:
        u, v = ox + p[horizontal] * scale, oy - p[vertical] * scale
        if left <= u <= left + size and 0 <= v <= size:
            out.append(f'<circle cx="{u:.1f}" cy="{v:.1f}" r="1" fill="#6a9fd4" fill-opacity="0.35"/>')
    for (dx, dy), name in (((1, 0), names[0]), ((0, -1), names[1])):
        x2, y2 = ox + dx * 0.1 * scale, oy + dy * 0.1 * scale
        out.append(f'<line x1="{ox}" y1="{oy}" x2="{x2}" y2="{y2}" stroke="black" stroke-width="2" '
                   'marker-end="url(#arrow)"/>')
        out.append(f'<text x="{x2 + 6 * dx - 4 * (dx == 0)}" y="{y2 - 6 * (dy != 0) + 4 * (dx != 0)}" '
                   f'font-size="14">{name}</text>')
    out.append(f'<circle cx="{ox}" cy="{oy}" r="4" fill="black"/>')
    out.append(f'<text x="{ox + 6}" y="{oy + 18}" font-size="12">origin</text>')
    out.append(f'<text x="{left + 10}" y="{size - 8}" font-size="11">arrows: 0.1 m</text>')
    return out


def svg():
    points = workspace()
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="640" height="300" font-family="sans-serif">',
             '<defs><marker id="arrow" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="6" markerHeight="6" '
             'orient="auto"><path d="M0,0 L10,5 L0,10 z"/></marker></defs>']
    parts += _view(points, 2, 0, ("z", "x"), 0, "seen from above (y towards you)")
    parts += _view(points, 2, 1, ("z", "y"), 330, "seen from the side (x away from you)")
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def extent():
    points = workspace()
    return [(min(p[i] for p in points), max(p[i] for p in points)) for i in range(3)]


if __name__ == "__main__":
    print(svg())

"""Figures the documentation build draws (as SVG, with nothing but the module):
called from conf.py, written to docs/_generated/."""

import os

import VelkorHardwareAPI as api

STIFFNESS = 800.0
SCALE = 30.0  # pixels per millimetre
PANEL = 320
TOP_MM = 2.5  # the highest z drawn, mm
HEIGHT = 240


def _plate(thickness):
    """A closed 1 mm plate, its top face at z = 0, as a Mesh."""
    h, b = 0.05, -thickness
    v = [[-h, -h, b], [h, -h, b], [h, h, b], [-h, h, b], [-h, -h, 0], [h, -h, 0], [h, h, 0], [-h, h, 0]]
    t = [[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7], [0, 1, 5], [0, 5, 4],
         [1, 2, 6], [1, 6, 5], [2, 3, 7], [2, 7, 6], [3, 0, 4], [3, 4, 7]]
    return api.Mesh(v, t, STIFFNESS)


def _tool_path():
    """A tool moving right and down through the plate, mm."""
    return [(-3.6 + 0.4 * i, 1.4 - 0.22 * i) for i in range(19)]


def _point(panel, x_mm, z_mm):
    return panel * PANEL + PANEL / 2 + x_mm * SCALE, 30 + (TOP_MM - z_mm) * SCALE


def proxy_figure(path):
    thickness = 1.0
    plate = _plate(thickness * 1e-3)
    path_mm = _tool_path()
    proxies, penalties = [], []
    for x, z in path_mm:
        f = plate.force_at([x * 1e-3, 0.0, z * 1e-3])
        # force = stiffness (proxy - tool): where the proxy is.
        proxies.append((x + f[0] / STIFFNESS * 1e3, z + f[2] / STIFFNESS * 1e3))
        # A penalty force pushes out through the nearer face: past the middle, the wrong one.
        inside = -thickness < z < 0.0
        penalties.append(None if not inside else ((x, 0.0) if z > -thickness / 2 else (x, -thickness)))

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{2 * PANEL}" height="{HEIGHT}" '
           f'viewBox="0 0 {2 * PANEL} {HEIGHT}" font-family="sans-serif" font-size="13">',
           '<rect width="100%" height="100%" fill="white"/>']
    titles = ["penalty force: flips past the middle, then none", "proxy: stays on the front face"]
    for panel in (0, 1):
        x0, y0 = _point(panel, -4.6, 0.0)
        x1, y1 = _point(panel, 4.6, -thickness)
        out.append(f'<rect x="{x0:.1f}" y="{y0:.1f}" width="{x1 - x0:.1f}" height="{y1 - y0:.1f}" '
                   'fill="#d8d8d8" stroke="#555"/>')
        out.append(f'<text x="{panel * PANEL + PANEL / 2}" y="18" text-anchor="middle">{titles[panel]}</text>')
        for (x, z), target in zip(path_mm, penalties if panel == 0 else proxies):
            tx, ty = _point(panel, x, z)
            if target is not None and (panel == 0 or abs(target[1] - z) > 1e-6):
                px, py = _point(panel, *target)
                colour = "#c0392b" if panel == 0 and target[1] < -thickness / 2 else "#2471a3"
                out.append(f'<line x1="{tx:.1f}" y1="{ty:.1f}" x2="{px:.1f}" y2="{py:.1f}" '
                           f'stroke="{colour}" stroke-width="1.5"/>')
                if panel == 1:
                    out.append(f'<circle cx="{px:.1f}" cy="{py:.1f}" r="3.5" fill="#2471a3"/>')
            out.append(f'<circle cx="{tx:.1f}" cy="{ty:.1f}" r="3" fill="#222"/>')
    legend_y = HEIGHT - 12
    out.append(f'<circle cx="20" cy="{legend_y - 4}" r="3" fill="#222"/>'
               f'<text x="30" y="{legend_y}">tool, moving through a 1 mm plate</text>')
    out.append(f'<circle cx="{PANEL + 20}" cy="{legend_y - 4}" r="3.5" fill="#2471a3"/>'
               f'<text x="{PANEL + 30}" y="{legend_y}">proxy; lines: the force\'s spring</text>')
    out.append("</svg>")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")

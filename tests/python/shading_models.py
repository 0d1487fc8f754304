"""Small ASCII STL building models written by the shading, PV and end-to-end tests."""
from __future__ import annotations

import math


def _facet(lines, a, b, c):
    ux, uy, uz = (b[i] - a[i] for i in range(3))
    vx, vy, vz = (c[i] - a[i] for i in range(3))
    n = (uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx)
    length = math.sqrt(sum(x * x for x in n)) or 1.0
    lines.append("facet normal %r %r %r" % tuple(x / length for x in n))
    lines.append("  outer loop")
    for p in (a, b, c):
        lines.append("    vertex %r %r %r" % tuple(float(x) for x in p))
    lines.append("  endloop")
    lines.append("endfacet")


def quad(lines, a, b, c, d):
    """Two triangles a-b-c and a-c-d (counter-clockwise seen from the normal side)."""
    _facet(lines, a, b, c)
    _facet(lines, a, c, d)


def box_faces(lines, x0, y0, z0, x1, y1, z1):
    """The six outward-facing faces of an axis-aligned box."""
    quad(lines, (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1))  # top
    quad(lines, (x0, y0, z0), (x0, y1, z0), (x1, y1, z0), (x1, y0, z0))  # bottom
    quad(lines, (x0, y0, z0), (x1, y0, z0), (x1, y0, z1), (x0, y0, z1))  # south (-y)
    quad(lines, (x1, y1, z0), (x0, y1, z0), (x0, y1, z1), (x1, y1, z1))  # north (+y)
    quad(lines, (x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1))  # east (+x)
    quad(lines, (x0, y1, z0), (x0, y0, z0), (x0, y0, z1), (x0, y1, z1))  # west (-x)


def write_solids(path, solids):
    """Writes {name: [lines]} as one named solid each (facet lines in the first column)."""
    out = []
    for name, lines in solids.items():
        out.append("solid " + name)
        out.extend(lines)
        out.append("endsolid " + name)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    return str(path)


def courtyard_model(path):
    """A 10 m tower with a low roof right north of it (shaded by the tower when the sun
    is low in the south) and an identical free-standing roof far to the east.

    Solids: "tower" (closed box), "roof_shaded" and "roof_free" (horizontal squares,
    normal +z, 6 m x 6 m at 3 m height), "wall_south" (the tower's south face, normal -y).
    """
    tower, roof_shaded, roof_free, wall = [], [], [], []
    # Tower body without its south face, which is its own solid.
    x0, y0, x1, y1, h = 0.0, 0.0, 4.0, 4.0, 10.0
    quad(tower, (x0, y0, h), (x1, y0, h), (x1, y1, h), (x0, y1, h))
    quad(tower, (x1, y1, 0), (x0, y1, 0), (x0, y1, h), (x1, y1, h))
    quad(tower, (x1, y0, 0), (x1, y1, 0), (x1, y1, h), (x1, y0, h))
    quad(tower, (x0, y1, 0), (x0, y0, 0), (x0, y0, h), (x0, y1, h))
    quad(wall, (x0, y0, 0), (x1, y0, 0), (x1, y0, h), (x0, y0, h))
    quad(roof_shaded, (-1.0, 4.5, 3.0), (5.0, 4.5, 3.0), (5.0, 10.5, 3.0), (-1.0, 10.5, 3.0))
    quad(roof_free, (30.0, 4.5, 3.0), (36.0, 4.5, 3.0), (36.0, 10.5, 3.0), (30.0, 10.5, 3.0))
    return write_solids(path, {"tower": tower, "roof_shaded": roof_shaded, "roof_free": roof_free,
                               "wall_south": wall})

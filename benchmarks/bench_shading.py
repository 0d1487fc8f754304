"""Shading lookup, PV year and first-run table generation timings.

Run: python benchmarks/bench_shading.py [--triangles 20000] [--analysed 2000]
Ratios compare against baselines measured in the same run on the same machine.
"""
import argparse
import datetime
import math
import os
import sys
import tempfile
import time

import numpy as np
from scipy.interpolate import RegularGridInterpolator

import quillmere.core.util as util
from quillmere.components.shade_group import SurfaceShadowModule
from quillmere.components.sunpanel_module import SunPanelModule
from quillmere.core.sim_clock import SimClock

SITE = {"longitude": 4.77, "latitude": 52.3, "time_zone": 1}


def best_of(fn, repeat=5):
    best = math.inf
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def facet(out, a, b, c):
    u = np.subtract(b, a)
    v = np.subtract(c, a)
    n = np.cross(u, v)
    n = n / (np.linalg.norm(n) or 1.0)
    out.append("facet normal %r %r %r" % tuple(float(x) for x in n))
    out.append("  outer loop")
    for p in (a, b, c):
        out.append("    vertex %r %r %r" % tuple(float(x) for x in p))
    out.append("  endloop")
    out.append("endfacet")


def grid_quad(out, origin, du, dv, nu, nv):
    """A planar rectangle split into nu x nv cells of two triangles each."""
    o, du, dv = (np.asarray(x, dtype=float) for x in (origin, du, dv))
    for i in range(nu):
        for j in range(nv):
            p00 = o + du * i + dv * j
            p10 = p00 + du
            p11 = p10 + dv
            p01 = p00 + dv
            facet(out, p00, p10, p11)
            facet(out, p00, p11, p01)


def city_model(path, triangles, analysed):
    """Blocks of buildings with finely meshed walls; the roofs of the first row are the
    analysed surfaces (about `analysed` triangles in all)."""
    lines = []
    roofs = []
    n_roofs = 8
    cells = max(1, int(math.sqrt(analysed / n_roofs / 2)))
    for k in range(n_roofs):
        name = f"roof_{k}"
        roofs.append(name)
        lines.append("solid " + name)
        x0 = 12.0 * k
        grid_quad(lines, (x0, 0, 6.0 + k % 3), (8.0 / cells, 0, 0), (0, 8.0 / cells, 0), cells, cells)
        lines.append("endsolid " + name)
    used = n_roofs * cells * cells * 2
    # Walls of the remaining budget, split over a grid of towers.
    towers = 24
    per_tower = max(8, (triangles - used) // towers)
    cells_w = max(1, round(math.sqrt(per_tower / 8)))
    for t in range(towers):
        x0 = 12.0 * (t % 8) + 2.0
        y0 = 14.0 * (1 + t // 8)
        h = 10.0 + 3 * (t % 5)
        lines.append(f"solid tower_{t}")
        for (o, du, dv) in [((x0, y0, 0), (4.0, 0, 0), (0, 0, h)), ((x0 + 4, y0, 0), (0, 4.0, 0), (0, 0, h)),
                            ((x0 + 4, y0 + 4, 0), (-4.0, 0, 0), (0, 0, h)), ((x0, y0 + 4, 0), (0, -4.0, 0), (0, 0, h))]:
            grid_quad(lines, o, np.divide(du, cells_w), np.divide(dv, cells_w), cells_w, cells_w)
        lines.append(f"endsolid tower_{t}")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    count = sum(1 for l in lines if l.startswith("facet"))
    return roofs, count, used


def synthetic_table(path):
    rows = ["方位角,高度角,roof,wall"]
    for alt in range(0, 76, 15):
        for az in range(0, 361, 45):
            roof = math.sin(math.radians(alt))
            wall = max(0.0, math.cos(math.radians(alt)) * -math.cos(math.radians(az)))
            rows.append(f"{az},{alt},{roof:.6f},{wall:.6f}")
    with open(path, "w") as f:
        f.write("\n".join(rows) + "\n")


def bench_lookup(folder):
    csv = os.path.join(folder, "table.csv")
    synthetic_table(csv)
    stl = os.path.join(folder, "tiny.stl")
    with open(stl, "w") as f:
        f.write("solid roof\nfacet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 1 1 0\n"
                " endloop\nendfacet\nendsolid roof\n")
    shade = SurfaceShadowModule("shade")
    shade.in_file_params = [stl, csv]
    shade.awake({})
    assert shade.get_cos_value("roof", 30.0, 100.0) > 0, "the table did not load"
    rng = np.random.default_rng(1)
    pts = [(float(a), float(h)) for a, h in zip(rng.uniform(0, 360, 20000), rng.uniform(0, 75, 20000))]
    get = shade.get_cos_value

    def native():
        for az, alt in pts:
            get("roof", alt, az)

    az = np.arange(0.0, 361.0, 45.0)
    alt = np.arange(0.0, 76.0, 15.0)
    values = np.sin(np.radians(alt))[None, :].repeat(len(az), axis=0)
    rgi = RegularGridInterpolator((az, alt), values, method="linear")
    few = pts[:2000]

    def library():
        for a, h in few:
            float(rgi([a, h])[0])

    t_native = best_of(native) / len(pts)
    t_lib = best_of(library, 3) / len(few)
    print(f"get_cos_value: {t_native * 1e9:8.0f} ns/call   library one-point call: {t_lib * 1e9:8.0f} ns/call"
          f"   speed-up x{t_lib / t_native:.0f}")
    return shade


def bench_year(shade):
    pv = SunPanelModule("pv")
    pv.in_file_params = ["shade", "roof", 10.0, 0.2, 500.0, 100.0, 0.2]
    pv.awake({"modules": {"shade": shade}})
    state = {"site": SITE}
    steps = 8760

    def year(dni):
        def run():
            pv.inputs["normal_rad"]["value"] = dni
            c = SimClock(0.0, 3600.0)
            c.set_period({})
            update, advance = pv.update, c.advance_time
            for _ in range(steps):
                update(c, state)
                advance()
        return run

    def loop_only():
        c = SimClock(0.0, 3600.0)
        c.set_period({})
        advance = c.advance_time
        for _ in range(steps):
            advance()

    start = datetime.datetime(2025, 1, 1)
    stamps = [(d.year, d.month, d.day, d.hour, 0, 0) for d in (start + datetime.timedelta(hours=h) for h in range(steps))]

    def sun_only():
        f = util.calculate_sun_position
        for s in stamps:
            f(4.77, 52.3, 1, s)

    def same_hour():
        c = SimClock(0.0, 3600.0)
        c.set_period({})
        c.current_time = 12 * 3600.0
        update = pv.update
        for _ in range(steps):
            update(c, state)

    pv.inputs["normal_rad"]["value"] = 500.0
    t_same = best_of(same_hour) / steps
    t_with = best_of(year(500.0)) / steps
    t_without = best_of(year(0.0)) / steps
    t_loop = best_of(loop_only) / steps
    t_sun = best_of(sun_only) / steps
    print(f"PV year, per step: update+advance {t_with * 1e6:.2f} us (advance alone {t_loop * 1e6:.2f} us); "
          f"without the lookup (no direct sun) {t_without * 1e6:.2f} us -> lookup share "
          f"{max(0.0, t_with - t_without) / t_with:.0%}; sun position as a host call {t_sun * 1e6:.2f} us "
          f"(inside update it is a native call); update repeated within one hour (the sun position's "
          f"per-hour terms reused) {t_same * 1e6:.2f} us")


def bench_generation(folder, triangles, analysed):
    from quillmere.shadow_calc import occlusion_scan as geo

    stl = os.path.join(folder, "city.stl")
    roofs, count, used = city_model(stl, triangles, analysed)

    def generate(csv_name):
        shade = SurfaceShadowModule("city")
        shade.in_file_params = [stl, os.path.join(folder, csv_name), *roofs]
        t0 = time.perf_counter()
        shade.awake({})
        return time.perf_counter() - t0

    # First run: the model is parsed once (statistics reader and block reader);
    # the same run on the unchanged file reuses the parsed model, so the
    # difference is the parsing.
    total = generate("first.csv")
    reuse = generate("second.csv")
    with open(os.path.join(folder, "first.csv")) as a, open(os.path.join(folder, "second.csv")) as b:
        assert a.read() == b.read()
    t0 = time.perf_counter()
    geo.stl_statistics(stl)
    t_stats = time.perf_counter() - t0
    # The statistics reader is not cached: it runs in both runs.
    parse = max(0.0, total - reuse) + t_stats
    print(f"table generation: {count} triangles ({used} analysed), 54 sun positions: first run {total:.3f} s, "
          f"with the parsed model reused {reuse:.3f} s; parsing (block reader + tree, once) "
          f"{total - reuse:.3f} s + statistics reader {t_stats:.3f} s = {parse / total:.0%} of the first run")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--triangles", type=int, default=20000)
    ap.add_argument("--analysed", type=int, default=2000)
    ap.add_argument("--skip-generation", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        shade = bench_lookup(folder)
        bench_year(shade)
        if not args.skip_generation:
            bench_generation(folder, args.triangles, args.analysed)


if __name__ == "__main__":
    sys.exit(main())

"""Partial shade as the strings feel it: analytic cases, the electrical model against pvlib, the demo
roof's optical against electrical shading loss, and the cost of cell-level casting and the model.

    python benchmarks/bench_partial_shade.py [--patterns 40] [--threads 2]

1. Analytic cases: an unshaded string of ten (N x the module's MPP), one dark cell in a 3-diode module
   (about 2/3 of the module less the diode's drop), one shaded module in a string of ten against
   module-level MPPT.
2. The electrical model (quillmere.components.pv_strings.mismatch) against an independent reference
   built from pvlib's calcparams_desoto and singlediode.bishop88 curves with reverse bias, combined on
   a fine current grid with bypass diodes (tests/python/pv_reference.py), on random partial-shade
   patterns of a string of four modules: the MPP's relative difference.
3. The demo house's two south roof parts laid out with 16 modules (60 cells, 3 diodes, one string) on
   the demo's weather year: the beam on every cell by the exact tracer at each sunny hour, the sky and
   ground through the surfaces' views (isotropic), cell temperature by pvlib's faiman from the array's mean light. Energy of the
   year: unshaded, with the light of each cell but no mismatch (every cell at its own MPP: a model
   proportional to lit area), and at the string's MPP; the optical loss, the electrical partial-shade
   loss and the ratio of the total to the optical loss.
4. Cost: for the laid-out demo roof, the cell-level casting of every sunny hour plus the electrical
   model; the demo project's year with the chain run without and with the layout (quillmere demo
   --chain [--layout]; best of 3, interleaved); a 200-module roof (10 strings of 20 on 5 trackers) for the
   year, on --threads threads.

pvlib is used here only, as the reference; the package never imports it.
"""
import argparse
import contextlib
import io
import math
import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd
from pvlib.temperature import faiman

from quillmere.components.pv_strings import cell_factors, fit_desoto, mismatch, module_layout
from quillmere.components.shade_exact import ExactShadowModule
from quillmere.core import demo
from quillmere.core.sim_clock import SimClock
from quillmere.core.util import calculate_sun_position

_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(_REPO, "tests", "python"))
from pv_reference import DATASHEET, string_mpp  # noqa: E402

SITE = dict(latitude=48.21, longitude=16.37, time_zone=1)
PMP = DATASHEET["v_mp"] * DATASHEET["i_mp"]


def analytic():
    print("1. Analytic cases (module 31.0 V x 8.9 A = %.1f W at STC)" % PMP)
    t10 = np.full(10, 25.0)
    p = mismatch(np.full((10, 60), 1000.0), t10, **DATASHEET)["tracker_power"][0]
    print("   unshaded string of 10: %.2f W = %.5f x 10 x module MPP" % (p, p / (10 * PMP)))
    g = np.full((1, 60), 1000.0)
    g[0, 7] = 0.0
    p1 = mismatch(g, np.full(1, 25.0), **DATASHEET)["tracker_power"][0]
    expect = 2 / 3 * PMP - DATASHEET["i_mp"] * 0.5
    print("   one dark cell, 3 diodes: %.2f W = %.4f of the module (2/3 less Imp x 0.5 V: %.4f)"
          % (p1, p1 / PMP, expect / PMP))
    g = np.full((10, 60), 1000.0)
    g[4] = 300.0
    s = mismatch(g, t10, **DATASHEET)["tracker_power"][0]
    m = mismatch(g, t10, **DATASHEET, module_mppt=True)["tracker_power"][0]
    print("   one module of ten at 300 W/m2: string %.1f W, module-level MPPT %.1f W (string loses %.1f %%)"
          % (s, m, 100 * (1 - s / m)))


def against_pvlib(patterns):
    params = fit_desoto(**DATASHEET, cells_in_series=60)
    rng = np.random.default_rng(2026)
    diffs = []
    for _ in range(patterns):
        g = np.full((4, 60), 1000.0)
        for m in range(4):
            k = int(rng.integers(0, 15))
            idx = rng.choice(60, size=k, replace=False)
            g[m, idx] = np.round(rng.uniform(50.0, 950.0, size=k), 1)
        if rng.random() < 0.3:
            g[int(rng.integers(0, 4))] *= rng.uniform(0.2, 0.8)  # a whole module dimmed too
        temp = np.round(rng.uniform(15.0, 65.0, size=4), 1)
        ours = mismatch(g, temp, **DATASHEET)["tracker_power"][0]
        ref = string_mpp(params, g, temp)
        diffs.append(ours / ref - 1.0)
    d = np.abs(np.array(diffs))
    print("2. Against pvlib single-diode + bishop88 curves with bypass diodes, %d random patterns:" % patterns)
    print("   MPP difference: max %.4f %%, mean %.4f %% (bound 0.5 %%)" % (100 * d.max(), 100 * d.mean()))


def demo_inputs(folder):
    stl = os.path.join(folder, "house.stl")
    with open(stl, "w", encoding="utf-8") as f:
        f.write(demo.house_stl())
    epw = demo.cloudy_epw(SITE["latitude"], SITE["longitude"], SITE["time_zone"])
    cols = pd.read_csv(io.StringIO(epw), skiprows=8, header=None)
    return stl, cols


def year_suns(cols):
    alt, az, rows = [], [], []
    for r in range(len(cols)):
        y, mo, d, h = (int(cols.iat[r, k]) for k in range(4))
        a, z = calculate_sun_position(SITE["longitude"], SITE["latitude"], SITE["time_zone"], (y, mo, d, h - 1, 30, 0))
        if a > 0.0 and cols.iat[r, 14] > 0.0:
            alt.append(a), az.append(z), rows.append(r)
    return np.array(alt), np.array(az), np.array(rows)


def shading_unit(stl, folder, surfaces, period=(2025, 1, 1, 2025, 12, 31)):
    unit = ExactShadowModule("house")
    unit.in_file_params = [stl, os.path.join(folder, "t.csv"), "exact", None, 0.0, *surfaces]
    clock = SimClock(0.0, 3600.0)
    clock.set_period({"params": list(period)})
    unit.awake({"modules": {}, "site": dict(SITE, sun_time="middle"), "clock": clock})
    return unit


ROOFS = ("roof_south_east", "roof_south_west")
LAYOUT = dict(rows=2, columns=4, setback=0.25, offset_u=0.0)


def demo_roof(stl, cols, folder, threads):
    with contextlib.redirect_stdout(io.StringIO()):  # the module's progress lines
        unit = shading_unit(stl, folder, list(ROOFS))
    alt, az, rows = year_suns(cols)
    dni, dhi, ghi = (cols[k].to_numpy(float)[rows] for k in (14, 15, 13))
    temp_air, wind = cols[6].to_numpy(float)[rows], cols[21].to_numpy(float)[rows]
    views = unit.sky_views()
    t0 = time.perf_counter()
    rays = [cell_factors(unit, r, alt, az, **LAYOUT, threads=threads, method="rays") for r in ROOFS]
    t_rays = time.perf_counter() - t0
    t0 = time.perf_counter()
    factors = [cell_factors(unit, r, alt, az, **LAYOUT, threads=threads) for r in ROOFS]
    t_cast = time.perf_counter() - t0
    same = all(np.array_equal(a, b) for a, b in zip(rays, factors))
    tilt = math.atan2(3.0, 4.0)
    n = np.array([0.0, -math.sin(tilt), math.cos(tilt)])
    sun = np.stack([np.cos(np.radians(alt)) * np.sin(np.radians(az)), np.cos(np.radians(alt)) * np.cos(np.radians(az)),
                    np.sin(np.radians(alt))], axis=1)
    cos_free = np.clip(sun @ n, 0.0, None)
    g_cells, g_free, temps = [], [], []
    for r, f in zip(ROOFS, factors):
        sky, ground = views[r]
        diffuse = dhi * sky + 0.2 * ghi * ground
        g_cells.append(dni[:, None, None] * f + diffuse[:, None, None])
        free_diffuse = dhi * (1 + math.cos(tilt)) / 2 + 0.2 * ghi * (1 - math.cos(tilt)) / 2
        g_free.append(np.broadcast_to((dni * cos_free + free_diffuse)[:, None, None], f.shape))
    g = np.concatenate(g_cells, axis=1)
    gf = np.ascontiguousarray(np.concatenate(g_free, axis=1))
    # one cell temperature per step for the array, from its mean light (as the project's array does)
    t_cell = np.repeat(faiman(g.mean(axis=(1, 2)), temp_air, wind)[:, None], g.shape[1], axis=1)
    t_free = np.repeat(faiman(gf.mean(axis=(1, 2)), temp_air, wind)[:, None], g.shape[1], axis=1)
    t0 = time.perf_counter()
    shaded = mismatch(np.ascontiguousarray(g), np.ascontiguousarray(t_cell), **DATASHEET, threads=threads)
    t_model = time.perf_counter() - t0
    free = mismatch(gf, np.ascontiguousarray(t_free), **DATASHEET, threads=threads)
    e_free = free["reference"].sum() / 1000.0
    e_ref = shaded["reference"].sum() / 1000.0
    e_mpp = shaded["tracker_power"][:, 0].sum() / 1000.0
    optical, electrical = e_free - e_ref, e_ref - e_mpp
    modules = g.shape[1]
    print("3. Demo roof: %d modules (60 cells, 3 diodes) in one string, %d sunny hours" % (modules, len(alt)))
    print("   DC energy of the year: unshaded %.1f kWh, lit area (no mismatch) %.1f kWh, at the string's MPP %.1f kWh"
          % (e_free, e_ref, e_mpp))
    print("   optical shading loss %.1f kWh (%.2f %%), electrical partial-shade loss %.1f kWh (%.2f %%)"
          % (optical, 100 * optical / e_free, electrical, 100 * electrical / e_free))
    print("   (optical + electrical) / optical = %.2f" % ((optical + electrical) / optical))
    per_module = shaded["module_power"].sum(axis=0) / 1000.0
    print("   per module [kWh]: " + " ".join("%.0f" % e for e in per_module))
    return t_cast, t_rays, same, t_model, len(alt), modules


def project_cost(folder, repeats=3):
    """The demo with the chain, without and with the layout (16 modules in two strings of 8): the
    year's run time (wall and processor), best of `repeats` each, interleaved; shading files made by a
    first run. With the layout twice: the cells cast in the run (their kept file removed first) and
    read back from the file a run before kept."""
    import glob

    from quillmere.cli import write_demo
    from quillmere.core.manager import Manager

    paths = {}
    for key, layout in (("without layout", False), ("with layout", True)):
        paths[key] = write_demo(os.path.join(folder, key.replace(" ", "_")), SITE["latitude"], SITE["longitude"],
                                SITE["time_zone"], chain=True, layout=layout)
    paths["with layout, cells read back"] = paths["with layout"]
    best = {k: (float("inf"), float("inf")) for k in paths}
    for r in range(repeats + 1):
        for key, path in paths.items():
            if key == "with layout":
                for f in glob.glob(os.path.join(os.path.dirname(path), "**", "*.cells.*"), recursive=True):
                    os.remove(f)
            m = Manager(path)
            m.quiet = True
            t0, c0 = time.perf_counter(), time.process_time()
            with contextlib.redirect_stdout(io.StringIO()):
                m.run_simulation()
            if r > 0:  # the first run writes the shading files
                wall, cpu = time.perf_counter() - t0, time.process_time() - c0
                best[key] = (min(best[key][0], wall), min(best[key][1], cpu))
    return best


def district_roof(folder, threads):
    lines = []

    def facet(a, b, c):
        u = [b[i] - a[i] for i in range(3)]
        v = [c[i] - a[i] for i in range(3)]
        n = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
        ln = math.sqrt(sum(x * x for x in n))
        lines.append("facet normal %r %r %r\n outer loop\n" % tuple(x / ln for x in n)
                     + "".join("  vertex %r %r %r\n" % p for p in (a, b, c)) + " endloop\nendfacet")
    t = math.radians(20.0)
    L, W = 10.0, 41.0
    y, z = L * math.cos(t), 8.0 + L * math.sin(t)
    roof = [(0.0, 0.0, 8.0), (W, 0.0, 8.0), (W, y, z), (0.0, y, z)]
    lines.append("solid roof")
    facet(roof[0], roof[1], roof[2]), facet(roof[0], roof[2], roof[3])
    lines.append("endsolid roof\nsolid block")
    x0, y0, x1, y1, h = 12.0, -9.0, 20.0, -5.0, 16.0  # a taller neighbour south of the roof
    for a, b, c, d in (((x0, y0, h), (x1, y0, h), (x1, y1, h), (x0, y1, h)),
                       ((x0, y0, 0), (x1, y0, 0), (x1, y0, h), (x0, y0, h)),
                       ((x1, y0, 0), (x1, y1, 0), (x1, y1, h), (x1, y0, h)),
                       ((x0, y1, 0), (x0, y0, 0), (x0, y0, h), (x0, y1, h))):
        facet(a, b, c), facet(a, c, d)
    lines.append("endsolid block")
    stl = os.path.join(folder, "district.stl")
    with open(stl, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return stl


def district(folder, cols, threads):
    stl = district_roof(folder, threads)
    unit = ExactShadowModule("d")
    unit.in_file_params = [stl, os.path.join(folder, "d.csv"), "exact", None, 0.0, "roof"]
    clock = SimClock(0.0, 3600.0)
    clock.set_period({"params": [2025, 1, 1, 2025, 1, 1]})
    with contextlib.redirect_stdout(io.StringIO()):
        unit.awake({"modules": {}, "site": dict(SITE, sun_time="middle"), "clock": clock})
    alt, az, rows = year_suns(cols)
    dni, dhi = cols[14].to_numpy(float)[rows], cols[15].to_numpy(float)[rows]
    lay = dict(rows=5, columns=40)
    t0 = time.perf_counter()
    f_rays = cell_factors(unit, "roof", alt, az, **lay, threads=threads, method="rays")
    t_rays = time.perf_counter() - t0
    t0 = time.perf_counter()
    f = cell_factors(unit, "roof", alt, az, **lay, threads=threads)
    t_cast = time.perf_counter() - t0
    g = np.ascontiguousarray(dni[:, None, None] * f + 0.9 * dhi[:, None, None])
    temp = np.full(g.shape[:2], 35.0)
    strings = [m // 20 for m in range(200)]
    t0 = time.perf_counter()
    r = mismatch(g, temp, **DATASHEET, string_of_module=strings, tracker_of_string=[s // 2 for s in range(10)],
                 threads=threads)
    t_model = time.perf_counter() - t0
    loss = 1 - r["tracker_power"].sum() / r["reference"].sum()
    print("   200-module roof (10 strings of 20 on 5 trackers), %d sunny hours: cell casting %.2f s, electrical "
          "model %.2f s, total %.2f s (bound 10 s); electrical partial-shade loss %.2f %%"
          % (len(alt), t_cast, t_model, t_cast + t_model, 100 * loss))
    print("   its cell casting ray by ray through the tracer: %.2f s (projection %.1fx faster, same factors: %s)"
          % (t_rays, t_rays / t_cast, np.array_equal(f_rays, f)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--patterns", type=int, default=40)
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    analytic()
    against_pvlib(args.patterns)
    with tempfile.TemporaryDirectory() as folder:
        stl, cols = demo_inputs(folder)
        t_cast, t_rays, same, t_model, hours, modules = demo_roof(stl, cols, folder, args.threads)
        print("4. Cost on %d threads" % args.threads)
        print("   demo roof laid out (%d modules x 60 cells, %d sunny hours): cell casting %.2f s + electrical "
              "model %.2f s = %.2f s added to a run without layout (bound 1 s)"
              % (modules, hours, t_cast, t_model, t_cast + t_model))
        print("   its cell casting ray by ray through the tracer: %.2f s (projection %.1fx faster, same factors: %s)"
              % (t_rays, t_rays / t_cast, same))
        best = project_cost(folder)
        base = best["without layout"]
        print("   the demo project's year with the chain, wall (processor) time: %.2f s (%.2f s) without layout"
              % base)
        for key in ("with layout", "with layout, cells read back"):
            print("   %s (the two roof parts, 16 modules): %.2f s (%.2f s), %+.2f s (%+.2f s) (bound +1 s)"
                  % (key + (", cells cast" if key == "with layout" else ""), *best[key],
                     best[key][0] - base[0], best[key][1] - base[1]))
        district(folder, cols, args.threads)


if __name__ == "__main__":
    main()

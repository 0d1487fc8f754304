"""Exact shading against the tables, and what it costs. All figures in one run.

    python benchmarks/bench_exact.py [--quick] [--out DIR]

1. Annual PV energy of the demo house with its shading tables (the 54-point
   grid and a 5 deg grid) against exact shading at every hour, at 48.21 N
   (Vienna) and 23.13 N (Guangzhou); the hourly cosine error of the 54-point
   table. Same weather, same sun time (middle of the hour) in every variant.
2. The sun at the start of each hour against its middle: direct beam over a
   year on an unshaded east and west roof (hour-ending demo weather).
3. Mesh dependence: the demo roof meshed coarsely and finely, with and
   without subdivision (resolution = 0.25 m).
4. Cost of exact mode: the demo year, and a whole year of hourly steps on a
   200k-triangle district (76 analysed roofs, about 22k triangles) on all
   cores, each against the 54-point table in the same run.
"""
import argparse
import os
import re
import shutil
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_setup import cost_scenes, timed_awake, quiet as _quiet  # noqa: E402
from quillmere import cli  # noqa: E402
from quillmere.components.shade_exact import ExactShadowModule  # noqa: E402
from quillmere.core import demo  # noqa: E402
from quillmere.core.manager import Manager  # noqa: E402
from quillmere.core.sim_clock import SimClock  # noqa: E402

SITES = {"Vienna 48.21 N": (48.21, 16.37, 1), "Guangzhou 23.13 N": (23.13, 113.26, 8)}


def run_project(folder, shading_keys="", site_keys="", stl=None, surfaces=None):
    """Runs the demo project in folder with extra keys; returns the results table."""
    path = os.path.join(folder, "project.toml")
    text = open(path, encoding="utf-8").read()
    base = 'surfaces = ["roof_south_east", "roof_south_west", "roof_north"]'
    if surfaces is not None:
        text = text.replace(base, "surfaces = %s" % surfaces)
        base = "surfaces = %s" % surfaces
    table = re.search(r'^table = "([^"]*)"', shading_keys, re.M)
    if table:
        shading_keys = shading_keys.replace(table.group(0) + "\n", "")
        text = re.sub(r'^table = "[^"]*"', 'table = "%s"' % table.group(1), text, flags=re.M)
    text = text.replace(base, base + "\n" + shading_keys)
    if stl:
        text = text.replace('model = "house.stl"', 'model = "%s"' % stl)
    text = text.replace("[site]\n", "[site]\n" + site_keys)
    variant = os.path.join(folder, "variant.toml")
    with open(variant, "w", encoding="utf-8") as f:
        f.write(text)
    m = Manager(variant)
    m.quiet = True
    return m.run_simulation()


def energy(res, pv):
    return float(res[pv + ".energy"].iloc[-1])


def pct(a, b):
    return "%+.1f %%" % (100.0 * (a / b - 1.0))


def tables_vs_exact(out, quick):
    print("\n== 1. Annual energy, table vs exact (demo house, sun at the middle of the hour) ==")
    print("%-20s %-9s %12s %12s %12s %12s" % ("site", "array", "exact kWh", "54-point", "5 deg grid", "15 deg grid"))
    for label, (lat, lon, tz) in SITES.items():
        folder = os.path.join(out, "demo_%d" % int(lat))
        shutil.rmtree(folder, ignore_errors=True)
        cli.write_demo(folder, lat, lon, tz)
        with _quiet():
            exact = run_project(folder, 'table = "shading/exact.csv"\n')
            t54 = run_project(folder, 'method = "table"\ntable = "shading/t54.csv"\n')
            t5 = run_project(folder, 'method = "table"\ngrid = [5, 5]\ntable = "shading/t5.csv"\n')
            t15 = run_project(folder, 'method = "table"\ngrid = [15, 15]\ntable = "shading/t15.csv"\n')
        for pv in ("pv_east", "pv_west"):
            e = energy(exact, pv)
            print("%-20s %-9s %12.1f %12s %12s %12s" % (label, pv, e, pct(energy(t54, pv), e), pct(energy(t5, pv), e),
                                                        pct(energy(t15, pv), e)))
        lit = exact["weather.rad2"] > 0
        err = np.concatenate([np.abs(t54.loc[lit, pv + ".cos"].to_numpy() - exact.loc[lit, pv + ".cos"].to_numpy())
                              for pv in ("pv_east", "pv_west")])
        above = (exact.loc[lit, "pv_east.height_angle"] > 75).sum()
        print("%-20s hourly |cos| error of the 54-point table: mean %.3f, 95th percentile %.3f, max %.3f "
              "(%d sunny hours above 75 deg)" % (label, err.mean(), np.percentile(err, 95), err.max(), above))
        if quick:
            break


def east_west_house(path):
    """A free-standing house with its ridge along y: one roof half faces east, one west (36.9 deg)."""
    lines = []

    def facet(a, b, c):
        u, v = np.subtract(b, a), np.subtract(c, a)
        n = np.cross(u, v)
        n = n / np.linalg.norm(n)
        lines.append("facet normal %r %r %r\n outer loop\n" % tuple(float(x) for x in n))
        for p in (a, b, c):
            lines.append("  vertex %r %r %r\n" % tuple(float(x) for x in p))
        lines.append(" endloop\nendfacet\n")

    def solid(name, quads):
        lines.append("solid %s\n" % name)
        for a, b, c, d in quads:
            facet(a, b, c)
            facet(a, c, d)
        lines.append("endsolid %s\n" % name)

    solid("roof_east", [((4, 0, 6), (8, 0, 3), (8, 10, 3), (4, 10, 6))])
    solid("roof_west", [((0, 0, 3), (4, 0, 6), (4, 10, 6), (0, 10, 3))])
    with open(path, "w", encoding="utf-8") as f:
        f.write("".join(lines))


def start_vs_middle(out):
    print("\n== 2. Sun at the start of the hour vs its middle (unshaded east and west roofs, Vienna) ==")
    folder = os.path.join(out, "demo_48")
    east_west_house(os.path.join(folder, "ew.stl"))
    surf = '["roof_east", "roof_west"]'
    text = open(os.path.join(folder, "project.toml"), encoding="utf-8").read()
    text = text.replace('surface = "roof_south_east"', 'surface = "roof_east"').replace(
        'surface = "roof_south_west"', 'surface = "roof_west"')
    with open(os.path.join(folder, "project.toml"), "w", encoding="utf-8") as f:
        f.write(text)
    with _quiet():
        mid = run_project(folder, 'table = "shading/ew_mid.csv"\n', 'sun_time = "middle"\n', "ew.stl", surf)
        start = run_project(folder, 'table = "shading/ew_start.csv"\n', 'sun_time = "start"\n', "ew.stl", surf)
    for pv, roof in (("pv_east", "east"), ("pv_west", "west")):
        beam = {k: float((r["weather.rad2"] * r[pv + ".cos"].clip(lower=0)).sum() / 1000.0)
                for k, r in (("middle", mid), ("start", start))}
        print("%s roof: direct beam %.1f kWh/m2 (middle) vs %.1f (start): start is %s of middle"
              % (roof, beam["middle"], beam["start"], pct(beam["start"], beam["middle"])))


def mesh_dependence(out):
    print("\n== 3. Mesh dependence (demo house, Vienna, exact, middle) ==")
    folder = os.path.join(out, "demo_48")
    cli.write_demo(folder, 48.21, 16.37, 1)  # the south arrays again
    rows = {}
    for cells in (1, 16):
        stl = "house_%d.stl" % cells
        with open(os.path.join(folder, stl), "w", encoding="utf-8") as f:
            f.write(demo.house_stl(cells))
        for res in (None, 0.25):
            keys = 'table = "shading/m%d_%s.csv"\n' % (cells, res) + ("resolution = %r\n" % res if res else "")
            with _quiet():
                r = run_project(folder, keys, "", stl)
            rows[cells, res] = (energy(r, "pv_east"), energy(r, "pv_west"))
    for res in (None, 0.25):
        c, f = rows[1, res], rows[16, res]
        print("resolution %-5s: 8 vs 128 triangles per array: pv_east %s, pv_west %s"
              % (res or "off", pct(c[0], f[0]), pct(c[1], f[1])))


def cost(out, quick):
    print("\n== 4. Cost of exact mode (a year of hourly steps, %d cores) ==" % os.cpu_count())
    clock = SimClock(0.0, 3600.0)
    clock.set_period({"params": [2025, 1, 1, 2025, 12, 31]})
    state = {"modules": {}, "site": {"latitude": 48.21, "longitude": 16.37, "time_zone": 1, "sun_time": "middle"},
             "clock": clock}
    scenes = cost_scenes(out, os.path.join(out, "demo_48", "house.stl"),
                         ["roof_south_east", "roof_south_west", "roof_north"], quick)
    for label, stl, surfaces in scenes:
        folder = os.path.join(out, "cost_" + label.split()[0])
        shutil.rmtree(folder, ignore_errors=True)
        table = os.path.join(folder, "t.csv")
        params = [stl, table, "table", None, None, *surfaces]
        unit = ExactShadowModule("s")
        unit.in_file_params = params
        with _quiet():
            t_table = timed_awake(unit, state)  # parse + 54 positions + reading the table
            unit.in_file_params = [stl, table, "exact", None, None, *surfaces]
            t_exact = timed_awake(unit, state)  # parse + every sunny hour (the table is reused)
            t_again = timed_awake(unit, state)  # a rerun: the factors are read back
        n = len(unit.sun_factors()["altitude"])
        tris, analysed = facet_counts(stl, surfaces)
        print("%-14s %7d triangles, %2d surfaces (%5d triangles): exact %5d sunny hours %6.2f s | "
              "54-point table %5.2f s | ratio %5.1f | rerun from the kept factors %5.2f s"
              % (label, tris, len(surfaces), analysed, n, t_exact, t_table, t_exact / t_table, t_again))


def facet_counts(stl, surfaces):
    """(all facets, facets of the named solids) of an ASCII STL file."""
    wanted, total, analysed, current = set(surfaces), 0, 0, None
    with open(stl, encoding="utf-8") as f:
        for line in f:
            s = line.strip()
            if s.startswith("solid "):
                current = s[6:]
            elif s.startswith("facet"):
                total += 1
                analysed += current in wanted
    return total, analysed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one site, no district")
    parser.add_argument("--out", default=os.path.join("build", "bench_exact"))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    tables_vs_exact(args.out, args.quick)
    start_vs_middle(args.out)
    mesh_dependence(args.out)
    cost(args.out, args.quick)


if __name__ == "__main__":
    main()

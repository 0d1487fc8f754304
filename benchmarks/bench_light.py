"""The light on the panels' planes: ours against pvlib, a shaded wall, the demo roofs, the cost.

    python benchmarks/bench_light.py [--weather FILE.epw] [--out DIR] [--repeat N]

1. Free planes (roof 35 deg south, four walls) for a year of real weather
   (default: the Amsterdam IWEC file in ../shared/data): annual kWh/m2 with
   the panel module's light (isotropic sky, ground reflecting diffuse light),
   isotropic with the global ground, and the Perez sky with the global ground,
   against pvlib's perez / get_ground_diffuse at the same sun positions
   (mid-hour), ground reflectance 0.2; annual difference and hourly mean
   absolute difference of poa_global.
2. A south wall with a block 6 m in front of it (20 m wide, 8 m high) against
   the same wall free: horizon view, annual circumsolar, sky and ground light.
3. The demo roofs (4 kWp each): annual energy with the project light (Perez,
   global ground) against the panel module's light, both through the views;
   the demo's synthetic year and the real weather file.
4. Cost: the demo year (views kept from a first run) with the project light
   against the panel module's light, alternated N times in this run; the
   views' cast (sky, ground and horizon band) on the demo house.
"""
import argparse
import math
import os
import shutil
import statistics
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_setup import quiet as _quiet  # noqa: E402
from quillmere import cli  # noqa: E402
from quillmere.components.shade_exact import ExactShadowModule  # noqa: E402
from quillmere.core.manager import Manager  # noqa: E402

_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AMSTERDAM = next((p for p in (os.path.join(_REPO, "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw"),
                              os.path.join(_REPO, "..", "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw"))
                  if os.path.isfile(p)), "")
PLANES = [("roof_35_south", 35.0, 180.0), ("wall_south", 90.0, 180.0), ("wall_east", 90.0, 90.0),
          ("wall_west", 90.0, 270.0), ("wall_north", 90.0, 0.0)]
PANEL_MODULE_LIGHT = 'transposition_model = "isotropic"\nground_reflection = "diffuse"\n'
LIGHTS = {"panel module": PANEL_MODULE_LIGHT,
          "isotropic, global ground": 'transposition_model = "isotropic"\nground_reflection = "global"\n',
          "perez, global ground": ""}


def square(name, centre, tilt, azimuth, size=2.0):
    t, a = math.radians(tilt), math.radians(azimuth)
    n = np.array([math.sin(t) * math.sin(a), math.sin(t) * math.cos(a), math.cos(t)])
    u = np.array([math.cos(a), -math.sin(a), 0.0])
    v = np.cross(n, u)
    c, h = np.array(centre, dtype=float), size / 2
    p = [c - h * u - h * v, c + h * u - h * v, c + h * u + h * v, c - h * u + h * v]
    out = ["solid %s" % name]
    for tri in ((p[0], p[1], p[2]), (p[0], p[2], p[3])):
        out.append("  facet normal %.9f %.9f %.9f\n    outer loop" % tuple(n))
        out += ["      vertex %.9f %.9f %.9f" % tuple(q) for q in tri]
        out.append("    endloop\n  endfacet")
    return "\n".join(out + ["endsolid %s" % name]) + "\n"


def block(name, x0, y0, x1, y1, height):
    """A closed box as two squares per side would need care; a box of 12 facets, normals outward."""
    v = [(x0, y0, 0), (x1, y0, 0), (x1, y1, 0), (x0, y1, 0), (x0, y0, height), (x1, y0, height), (x1, y1, height),
         (x0, y1, height)]
    faces = [((0, 2, 1), (0, 0, -1)), ((0, 3, 2), (0, 0, -1)), ((4, 5, 6), (0, 0, 1)), ((4, 6, 7), (0, 0, 1)),
             ((0, 1, 5), (0, -1, 0)), ((0, 5, 4), (0, -1, 0)), ((2, 3, 7), (0, 1, 0)), ((2, 7, 6), (0, 1, 0)),
             ((1, 2, 6), (1, 0, 0)), ((1, 6, 5), (1, 0, 0)), ((0, 4, 7), (-1, 0, 0)), ((0, 7, 3), (-1, 0, 0))]
    out = ["solid %s" % name]
    for idx, n in faces:
        out.append("  facet normal %g %g %g\n    outer loop" % n)
        out += ["      vertex %g %g %g" % v[i] for i in idx]
        out.append("    endloop\n  endfacet")
    return "\n".join(out + ["endsolid %s" % name]) + "\n"


def plane_project(folder, stl_text, surfaces, weather, site_light):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(folder, "m.stl"), "w", encoding="utf-8") as f:
        f.write(stl_text)
    links, body = [], ""
    for s in surfaces:
        links += ['"weather.rad2 -> %s.normal_rad"' % s, '"weather.rad3 -> %s.diffuse_rad"' % s]
        body += ('[[modules]]\nname = "%s"\ntype = "SunPanel"\nshading = "model"\nsurface = "%s"\narea = 1.0\n'
                 'efficiency = 1.0\n\n' % (s, s))
    lat, lon, tz = cli.epw_site(weather)
    text = ("period = [2025, 1, 1, 2025, 12, 31]\nlinks = [%s]\n[site]\nlatitude = %r\nlongitude = %r\n"
            "time_zone = %d\n%s\n[[modules]]\nname = \"weather\"\ntype = \"WaetherFeed\"\nfile = \"%s\"\n\n"
            "[[modules]]\nname = \"model\"\ntype = \"SurfaceShadow\"\nmodel = \"m.stl\"\ntable = \"t.csv\"\n"
            "surfaces = [%s]\n\n%s" % (", ".join(links), lat, lon, tz, site_light, weather.replace("\\", "/"),
                                        ", ".join('"%s"' % s for s in surfaces), body))
    path = os.path.join(folder, "project.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    m = Manager(path)
    m.quiet = True
    with _quiet():
        df = m.run_simulation()
    return m, df


def pvlib_global(df, surface, tilt, azimuth):
    from pvlib import atmosphere, irradiance

    zen = 90.0 - df["%s.height_angle" % surface].to_numpy()
    az = df["%s.azimuth_angle" % surface].to_numpy()
    dni, dhi = df["weather.rad2"].to_numpy(), df["weather.rad3"].to_numpy()
    up = zen < 90
    ghi = np.where(up, dni * np.cos(np.radians(zen)), 0.0) + dhi
    doy = (df.index + pd.Timedelta(minutes=30)).day_of_year.to_numpy()
    with np.errstate(invalid="ignore", divide="ignore"):
        sky = irradiance.perez(tilt, azimuth, dhi, dni, irradiance.get_extra_radiation(doy, method="spencer"), zen,
                               az, atmosphere.get_relative_airmass(zen, "kastenyoung1989"))
    # Sun below the horizon in the hour's middle: the isotropic sky (pvlib gives 0 there).
    sky = np.where(up, np.nan_to_num(np.asarray(sky, dtype=float)), irradiance.isotropic(tilt, dhi))
    direct = np.where(up, dni * np.maximum(irradiance.aoi_projection(tilt, azimuth, zen, az), 0.0), 0.0)
    return direct + sky + irradiance.get_ground_diffuse(tilt, ghi, albedo=0.2)


def free_planes(out, weather):
    print("== 1. Free planes, %s, annual kWh/m2 (sun at mid-hour, ground 0.2) ==" % os.path.basename(weather))
    stl = "".join(square(n, (300.0 * i, 0.0, 10.0), t, a) for i, (n, t, a) in enumerate(PLANES))
    names = [p[0] for p in PLANES]
    runs = {label: plane_project(os.path.join(out, "planes_%d" % i), stl, names, weather, light)[1]
            for i, (label, light) in enumerate(LIGHTS.items())}
    print("%-14s %12s %12s %12s %10s %9s %13s" % ("plane", "panel module", "iso+global", "perez+global", "pvlib",
                                                   "ours/pvlib", "hourly MAE"))
    for name, tilt, az in PLANES:
        e = {k: df["%s.energy" % name].iloc[-1] for k, df in runs.items()}
        ours = runs["perez, global ground"]["%s.poa_global" % name].to_numpy()
        ref = pvlib_global(runs["perez, global ground"], name, tilt, az)
        mae = np.abs(ours - ref).mean()
        print("%-14s %12.1f %12.1f %12.1f %10.1f %+8.2f %% %8.2f W/m2" % (
            name, e["panel module"], e["isotropic, global ground"], e["perez, global ground"], ref.sum() / 1000.0,
            100 * (ours.sum() / ref.sum() - 1), mae))


def shaded_wall(out, weather):
    print("\n== 2. A south wall behind a block (6 m away, 20 m wide, 8 m high) against the same wall free ==")
    stl = (square("wall_shaded", (0.0, 0.0, 1.5), 90.0, 180.0) + block("block", -10, -8, 10, -6, 8.0) +
           square("wall_free", (500.0, 0.0, 1.5), 90.0, 180.0))
    m, df = plane_project(os.path.join(out, "shaded"), stl, ["wall_shaded", "wall_free"], weather, "")
    hv = m.modules["model"].horizon_views()
    sv = m.modules["model"].sky_views()
    for w in ("wall_shaded", "wall_free"):
        k = lambda c: df["%s.%s" % (w, c)].sum() / 1000.0  # noqa: E731
        print("%-12s sky view %.3f horizon view %.3f | kWh/m2: direct %6.1f circumsolar %6.1f sky %6.1f "
              "ground %5.1f global %6.1f" % (w, sv[w][0], hv[w], k("poa_direct"), k("poa_circumsolar"),
                                            k("poa_sky_diffuse"), k("poa_ground_diffuse"), k("poa_global")))
    dark = (df["wall_shaded.cos"] == 0) & (df["wall_free.cos"] > 0) & (df["weather.rad2"] > 0)
    print("hours with the beam blocked: %d; circumsolar on the shaded wall then: %.3f W/m2 max" % (
        int(dark.sum()), float(df.loc[dark, "wall_shaded.poa_circumsolar"].max())))


def demo(folder, weather, light):
    shutil.rmtree(folder, ignore_errors=True)
    if weather is None:
        project = cli.write_demo(folder, 48.21, 16.37, 1)
    else:
        project = cli.write_demo(folder, *cli.epw_site(weather), weather=weather)
    text = open(project, encoding="utf-8").read()
    with open(project, "w", encoding="utf-8") as f:
        f.write(text.replace("\n[[modules]]\nname = \"weather\"", light + "\n[[modules]]\nname = \"weather\"", 1))
    return project


def run_project(project):
    m = Manager(project)
    m.quiet = True
    with _quiet():
        res = m.run_simulation()
    return res


def demo_roofs(out, weather):
    print("\n== 3. Demo roofs (4 kWp each), annual kWh: project light (perez, global ground) against the panel "
          "module's light ==")
    for label, w in (("demo year (48.21 N)", None), (os.path.basename(weather), weather)):
        e = {}
        for key, light in (("new", ""), ("old", PANEL_MODULE_LIGHT)):
            res = run_project(demo(os.path.join(out, "demo_%s_%d" % (key, len(label))), w, light))
            e[key] = {pv: float(res[pv + ".energy"].iloc[-1]) for pv in ("pv_east", "pv_west")}
        for pv in ("pv_east", "pv_west"):
            print("%-34s %-8s %8.1f kWh | panel module's light %8.1f kWh | %+.1f %%" % (
                label, pv, e["new"][pv], e["old"][pv], 100 * (e["new"][pv] / e["old"][pv] - 1)))


def cost(out, repeat):
    print("\n== 4. Cost (%d cores) ==" % os.cpu_count())
    projects = {key: demo(os.path.join(out, "cost_%s" % key), None, light)
                for key, light in (("new", ""), ("old", PANEL_MODULE_LIGHT))}
    for p in projects.values():
        run_project(p)  # shading and views kept
    times = {k: [] for k in projects}
    for _ in range(repeat):
        for k, p in projects.items():
            t = time.perf_counter()
            run_project(p)
            times[k].append(time.perf_counter() - t)
    new, old = statistics.median(times["new"]), statistics.median(times["old"])
    print("demo year, views kept: project light %.3f s | panel module's light %.3f s | ratio %.3f (median of %d)"
          % (new, old, new / old, repeat))
    folder = os.path.join(out, "views")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    unit = ExactShadowModule("s")
    unit.in_file_params = [os.path.join(out, "cost_new", "house.stl"), os.path.join(folder, "t.csv"), "table", None,
                           None, "roof_south_east", "roof_south_west", "roof_north"]
    with _quiet():
        unit.awake(None)
        t = time.perf_counter()
        unit.sky_views()
    print("views of the 3 demo roofs (8192 sky/ground + 2048 horizon-band directions per face): %.2f s, once per "
          "model and surface list" % (time.perf_counter() - t))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.join("build", "bench_light"))
    parser.add_argument("--weather", default=os.path.normpath(AMSTERDAM) if AMSTERDAM else "")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if not args.weather or not os.path.isfile(args.weather):
        sys.exit("a real EPW file is needed: --weather FILE.epw")
    os.makedirs(args.out, exist_ok=True)
    free_planes(args.out, args.weather)
    shaded_wall(args.out, args.weather)
    demo_roofs(args.out, args.weather)
    cost(args.out, args.repeat)


if __name__ == "__main__":
    main()

"""Solar map benchmark: speed on a generated district, consistency with the panel, convergence.

1. Speed. A generated CityJSON tile (integer vertices, a georeferenced transform) of gable-roofed houses,
   each roof plane and wall a grid of small quads: about 200,000 triangles of which about 60,000 are roof
   triangles (`surfaces = ["*/RoofSurface/*"]`). The whole `quillmere map` command (project read, model
   read and tree, every hourly step of a year with its exact sun, the sky, ground and horizon views, the
   tables and files) runs in a child process with two threads; wall time and rays per second (beam and
   views) are printed. Baseline measured in the same run: the package's single-position cast
   (`calculate_shadow`) of the same roofs at a fixed sun, its rays per second.
2. Consistency. A free tilted plane: the map's annual irradiation against the panel's own (the same
   project run step by step, summed), relative difference.
3. Convergence. The demo house's roofs mapped at resolution 1.0, 0.5 and 0.25 m (and 1024 against 8192
   sky directions): the change of each roof's area-weighted mean.

    python benchmarks/bench_maps.py [--houses 500] [--dir /tmp/qm_bench_maps] [--threads 2]
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

SCALE = 0.001
TRANSLATE = (600000.0, 5340000.0, 180.0)


def tile(houses: int, roof_grid=(6, 5), wall_cells=35):
    """CityJSON text of `houses` gable-roofed houses: each roof plane a (6 x 5) grid of quads, each wall
    `wall_cells` quads (walls 4 x 35 x 2 = 280 triangles, roofs 2 x 60 = 120)."""
    rng = np.random.default_rng(7)
    side = int(np.ceil(np.sqrt(houses)))
    verts: list[tuple[int, int, int]] = []

    def v(p):
        verts.append(tuple(int(round(c / SCALE)) for c in p))
        return len(verts) - 1

    def grid(a, b, c, d, nu, nv):
        """Quads of the patch a-b-c-d (counter-clockwise seen from outside) cut nu x nv."""
        a, b, c, d = map(np.asarray, (a, b, c, d))
        idx = [[v(a + (b - a) * i / nu + (d - a) * j / nv + ((c - d) - (b - a)) * i * j / (nu * nv))
                for i in range(nu + 1)] for j in range(nv + 1)]
        return [[[idx[j][i], idx[j][i + 1], idx[j + 1][i + 1], idx[j + 1][i]]] for j in range(nv) for i in range(nu)]

    objects = {}
    for h in range(houses):
        x0, y0 = (h % side) * 16.0, (h // side) * 16.0
        w, d = rng.uniform(8, 11), rng.uniform(9, 12)
        eave = rng.uniform(5, 9)
        ridge = eave + rng.uniform(2.5, 4.5)
        p = [(x0, y0, 0), (x0 + w, y0, 0), (x0 + w, y0 + d, 0), (x0, y0 + d, 0)]
        e = [(x0, y0, eave), (x0 + w, y0, eave), (x0 + w, y0 + d, eave), (x0, y0 + d, eave)]
        r0, r1 = (x0, y0 + d / 2, ridge), (x0 + w, y0 + d / 2, ridge)
        polys, values = [], []
        nu, nv = roof_grid
        for k, quad in enumerate(((e[0], e[1], r1, r0), (e[2], e[3], r0, r1))):  # south and north roof planes
            cells = grid(*quad, nu, nv)
            values += [k] * len(cells)
            polys += cells
        cols = wall_cells // 5
        for k, (a, b) in enumerate(((0, 1), (1, 2), (2, 3), (3, 0))):
            cells = grid(p[a], p[b], e[b], e[a], cols, 5)
            polys += cells
            values += [2 + k] * len(cells)
        sem = [{"type": "RoofSurface"}, {"type": "RoofSurface"}] + [{"type": "WallSurface"}] * 4
        objects["h%05d" % h] = {"type": "Building", "geometry": [
            {"type": "MultiSurface", "lod": "2.2", "boundaries": polys,
             "semantics": {"surfaces": sem, "values": values}}]}
    return json.dumps({"type": "CityJSON", "version": "2.0",
                       "transform": {"scale": [SCALE] * 3, "translate": list(TRANSLATE)},
                       "metadata": {"referenceSystem": "https://www.opengis.net/def/crs/EPSG/0/32633"},
                       "CityObjects": objects, "vertices": verts}, separators=(",", ":"))


def project_text(model: str, table: str, extra_map: str = "", surfaces='["*/RoofSurface/*"]') -> str:
    return ("time_step = 3600\nlinks = []\n[site]\nlatitude = 48.21\nlongitude = 16.37\ntime_zone = 1\n\n"
            "[map]\n%s\n"
            '[[modules]]\nname = "weather"\ntype = "WaetherFeed"\nfile = "weather.epw"\n\n'
            '[[modules]]\nname = "city"\ntype = "SurfaceShadow"\nmodel = "%s"\ntable = "%s"\nsurfaces = %s\n'
            % (extra_map, model, table, surfaces))


def write(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


CHILD = r"""
import json, sys, time, os
t0 = time.perf_counter()
from quillmere.maps import map_inputs, irradiation_map
inputs = map_inputs(sys.argv[1])
t1 = time.perf_counter()
df, vertices = irradiation_map(None, inputs=inputs, threads=int(sys.argv[2]), cache=False, return_vertices=True)
t2 = time.perf_counter()
from quillmere.map_outputs import write_outputs
write_outputs(df, vertices, inputs, sys.argv[3], formats=("csv", "ply", "glb", "cityjson"), note=lambda s: None)
t3 = time.perf_counter()
import resource
print(json.dumps({"read": t1 - t0, "map": t2 - t1, "files": t3 - t2, "total": t3 - t0,
                  "triangles": int(df.attrs["analysed_triangles"]), "rows": len(df),
                  "beam_rays": df.attrs["beam_rays"], "view_rays": df.attrs["view_rays"],
                  "kernel_seconds": df.attrs["seconds"], "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "mean": float((df.annual * df.area).sum() / df.area.sum())}))
"""


def speed(folder: str, houses: int, threads: int, sky: int, band: int) -> None:
    from quillmere.core import demo
    from quillmere.shadow_calc.occlusion_scan import calculate_shadow

    os.makedirs(folder, exist_ok=True)
    model = os.path.join(folder, "tile.city.json")
    if not os.path.isfile(model):
        write(model, tile(houses))
    write(os.path.join(folder, "weather.epw"), demo.cloudy_epw(48.21, 16.37, 1, 2025))
    proj = os.path.join(folder, "project.toml")
    write(proj, project_text("tile.city.json", "shading/t.csv",
                             "sky_directions = %d\nhorizon_directions = %d\n" % (sky, band)))
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    cmd = [sys.executable, "-c", CHILD, proj, str(threads), os.path.join(folder, "out")]
    if threads == 2 and hasattr(os, "sched_getaffinity") and len(os.sched_getaffinity(0)) > 2:
        cmd = ["taskset", "-c", "0,1"] + cmd
    r = subprocess.run(cmd, capture_output=True, text=True, env=env, check=True)
    res = json.loads(r.stdout.strip().splitlines()[-1])
    size = os.path.getsize(model) / 1e6
    # Baseline: the single-position cast of the same roofs (one ray per roof triangle).
    from quillmere.maps import map_inputs
    names = map_inputs(proj)["surfaces"]
    t = time.perf_counter()
    reps = 3
    for _ in range(reps):
        calculate_shadow(model, names, 35.0, 160.0)
    base = (time.perf_counter() - t) / reps
    base_rate = res["triangles"] / base
    rays = res["beam_rays"] + res["view_rays"]
    print("district: %d houses, %.1f MB CityJSON, %d analysed roof triangles" % (houses, size, res["triangles"]))
    print("map (whole process, %d threads): %.1f s (project and weather %.1f s, map %.1f s, files %.1f s); "
          "peak RSS %.0f MB" % (threads, res["total"], res["read"], res["map"], res["files"], res["peak_rss_mb"]))
    print("rays: %d beam + %d view = %d; %.2f M rays/s over the map's kernel time (%.1f s)"
          % (res["beam_rays"], res["view_rays"], rays, rays / res["kernel_seconds"] / 1e6, res["kernel_seconds"]))
    print("baseline calculate_shadow (one sun position, model cached): %.2f M rays/s; map kernel / baseline: %.2fx"
          % (base_rate / 1e6, rays / res["kernel_seconds"] / base_rate))
    print("mean annual irradiation of the roofs: %.0f kWh/m2" % res["mean"])


def consistency(folder: str) -> None:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
    from test_maps import square_stl, write_project
    from quillmere.core.manager import Manager
    from quillmere.maps import irradiation_map

    for tilt, az in ((35.0, 200.0), (90.0, 90.0)):
        path = write_project(os.path.join(folder, "plane_%d" % tilt), square_stl("roof", tilt, az), ["roof"])
        df = irradiation_map(path, cache=False)
        m = Manager(path)
        m.quiet = True
        panel = m.run_simulation()["pv_roof.power"].sum()  # 1 m2 at efficiency 1: kWh/m2
        print("free plane tilt %.0f az %.0f: map %.6f kWh/m2, panel %.6f kWh/m2, relative difference %.1e"
              % (tilt, az, df.annual[0], panel, abs(df.annual[0] - panel) / panel))


def convergence(folder: str) -> None:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
    from test_maps import write_project
    from quillmere.core import demo
    from quillmere.maps import irradiation_map

    roofs = ["roof_south_east", "roof_south_west", "roof_north"]
    means = {}
    for res, sky in ((1.0, 1024), (0.5, 1024), (0.25, 1024), (0.5, 8192)):
        path = write_project(os.path.join(folder, "conv_%g_%d" % (res, sky)), demo.house_stl(), roofs,
                             model_name="house.stl",
                             map_table="[map]\nresolution = %g\nsky_directions = %d\nhorizon_directions = 512\n"
                             % (res, sky))
        df = irradiation_map(path, cache=False)
        means[(res, sky)] = df.groupby("surface").apply(lambda g: np.average(g.annual, weights=g.area))
        print("resolution %.2f m, %d sky directions: %d samples; roof means %s" % (
            res, sky, df.attrs["samples"], ", ".join("%s %.2f" % (k, v) for k, v in means[(res, sky)].items())))
    for a, b in (((1.0, 1024), (0.5, 1024)), ((0.5, 1024), (0.25, 1024)), ((0.5, 1024), (0.5, 8192))):
        d = (means[a] - means[b]).abs() / means[b]
        print("%s -> %s: largest change of a roof mean %.3f %%" % (a, b, 100 * d.max()))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--houses", type=int, default=500)
    ap.add_argument("--dir", default="/tmp/qm_bench_maps")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--sky", type=int, default=256, help="sky directions per triangle")
    ap.add_argument("--band", type=int, default=128, help="horizon-band directions")
    ap.add_argument("--skip-speed", action="store_true")
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    if not a.skip_speed:
        speed(os.path.join(a.dir, "district"), a.houses, a.threads, a.sky, a.band)
    consistency(a.dir)
    convergence(a.dir)


if __name__ == "__main__":
    main()

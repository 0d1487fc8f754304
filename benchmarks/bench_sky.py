"""Sky views of analysed surfaces, shaded against isotropic diffuse, and the cost.

    python benchmarks/bench_sky.py [--quick] [--out DIR] [--weather FILE.epw]

1. Sky and ground views of the demo surfaces (8192 cosine-weighted directions
   per face), with the isotropic values they replace; the sampling error
   seen on the unobstructed north roof and north wall.
2. Annual energy of the demo roofs with diffuse = "shaded" against
   "isotropic": on the demo's synthetic year with clouds, and on a real EPW
   file (default: the Amsterdam IWEC file in ../shared/data when present).
3. Cost of the sky views: the demo house, and the 200k-triangle district (76
   analysed roofs) on all cores, against the 54-point table in the same run.
"""
import argparse
import math
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_setup import cost_scenes, timed_awake, quiet as _quiet  # noqa: E402
from quillmere import cli  # noqa: E402
from quillmere.components.shade_exact import ExactShadowModule  # noqa: E402
from quillmere.core.manager import Manager  # noqa: E402

DEMO_SURFACES = ["roof_south_east", "roof_south_west", "roof_north", "wall_south", "wall_north", "wall_east",
                 "wall_west"]
TILT = {"roof_south_east": math.atan2(3, 4), "roof_south_west": math.atan2(3, 4), "roof_north": math.atan2(3, 4),
        "wall_south": math.pi / 2, "wall_north": math.pi / 2, "wall_east": math.pi / 2, "wall_west": math.pi / 2}
_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The shared data folder beside the checkout (or beside the folder of worktrees).
AMSTERDAM = next((p for p in (os.path.join(_REPO, "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw"),
                              os.path.join(_REPO, "..", "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw"))
                  if os.path.isfile(p)), "")


def views(stl, surfaces, folder):
    """(views, seconds for the sky views, seconds for the 54-point table) on a fresh module."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    unit = ExactShadowModule("s")
    unit.in_file_params = [stl, os.path.join(folder, "t.csv"), "table", None, None, *surfaces]
    with _quiet():
        t_table = timed_awake(unit, None)  # parse + the 54-point table
        t = time.perf_counter()
        v = unit.sky_views()
        t_views = time.perf_counter() - t
    return v, t_views, t_table


def demo_views(out):
    print("== 1. Sky views of the demo surfaces ==")
    folder = os.path.join(out, "demo")
    cli.write_demo(folder, 48.21, 16.37, 1)
    v, _, _ = views(os.path.join(folder, "house.stl"), DEMO_SURFACES, os.path.join(out, "views_demo"))
    print("%-16s %9s %9s %11s %11s" % ("surface", "sky view", "isotropic", "ground view", "isotropic"))
    for s in DEMO_SURFACES:
        sky, ground = v[s]
        b = TILT[s]
        print("%-16s %9.4f %9.4f %11.4f %11.4f" % (s, sky, (1 + math.cos(b)) / 2, ground, (1 - math.cos(b)) / 2))
    err = max(abs(v["roof_north"][0] - 0.9), abs(v["wall_north"][0] - 0.5))
    print("sampling error on the unobstructed north roof / wall: %.4f (bound from the kernel tests: 0.0012)" % err)


def run_demo(folder, weather, diffuse):
    if weather is None:
        project = cli.write_demo(folder, 48.21, 16.37, 1)
    else:
        project = cli.write_demo(folder, *cli.epw_site(weather), weather=weather)
    text = open(project, encoding="utf-8").read()
    for s in ("roof_south_east", "roof_south_west"):
        text = text.replace('surface = "%s"\n' % s, 'surface = "%s"\ndiffuse = "%s"\n' % (s, diffuse))
    with open(project, "w", encoding="utf-8") as f:
        f.write(text)
    m = Manager(project)
    m.quiet = True
    with _quiet():
        res = m.run_simulation()
    return {pv: float(res[pv + ".energy"].iloc[-1]) for pv in ("pv_east", "pv_west")}


def energies(out, weather):
    print("\n== 2. Annual energy of the demo roofs (4 kWp each), shaded against isotropic diffuse ==")
    cases = [("demo year with clouds (48.21 N)", None)]
    if weather and os.path.isfile(weather):
        cases.append((os.path.basename(weather), weather))
    else:
        print("(no real weather file: pass --weather FILE.epw)")
    for label, w in cases:
        e = {d: run_demo(os.path.join(out, "energy_%s_%d" % (d, len(label))), w, d) for d in ("shaded", "isotropic")}
        for pv in ("pv_east", "pv_west"):
            s, i = e["shaded"][pv], e["isotropic"][pv]
            print("%-34s %-8s shaded %8.1f kWh (%6.1f kWh/kWp) | isotropic %8.1f kWh (%6.1f kWh/kWp) | %+.1f %%"
                  % (label, pv, s, s / 4.0, i, i / 4.0, 100 * (s / i - 1)))


def cost(out, quick):
    print("\n== 3. Cost of the sky views (%d cores) ==" % os.cpu_count())
    scenes = cost_scenes(out, os.path.join(out, "demo", "house.stl"), DEMO_SURFACES[:3], quick)
    for label, stl, surfaces in scenes:
        folder = os.path.join(out, "cost_" + label.split()[0])
        _, t_views, t_table = views(stl, surfaces, folder)
        unit = ExactShadowModule("s")
        unit.in_file_params = [stl, os.path.join(folder, "t.csv"), "table", None, None, *surfaces]
        with _quiet():
            unit.awake(None)
            t = time.perf_counter()
            unit.sky_views()  # read back from the kept file
            t_again = time.perf_counter() - t
        print("%-14s %2d surfaces: sky views %6.2f s | 54-point table %5.2f s | ratio %5.1f | rerun from the "
              "kept views %5.3f s" % (label, len(surfaces), t_views, t_table, t_views / t_table, t_again))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="no district, no real weather file")
    parser.add_argument("--out", default=os.path.join("build", "bench_sky"))
    parser.add_argument("--weather", default=os.path.normpath(AMSTERDAM))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    demo_views(args.out)
    energies(args.out, None if args.quick else args.weather)
    cost(args.out, args.quick)


if __name__ == "__main__":
    main()

"""The exact year of the project shading module, the working tree against another commit, in one run.

    python benchmarks/bench_exact_commits.py [--base REV] [--rounds N] [--buildings B] [--roofs R]

Builds the base commit's package (its tree exported with `git archive` into
build/bench-exact-base/src, installed with pip into build/bench-exact-base/site;
the shared compiler cache makes this quick when few files differ) and times,
in alternating rounds, each package's ExactShadowModule.awake over an hourly
year: the model parsed afresh, the sun track planned, every sunny hour cast
for the analysed surfaces, the factors saved. Two scenes: the demo house, and
a district of B buildings (bench_geometry.district) with its first R roofs
analysed. The working tree's figures come from the package installed in this
interpreter (install it from the working tree first). Prints each figure's
median over rounds and the ratio new / base (below 1: the working tree is faster).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Runs in a fresh interpreter per package and round; prints {scene: seconds}.
WORKER = r"""
import json, os, shutil, sys, time
from quillmere import _native
from quillmere.components.shade_exact import ExactShadowModule
from quillmere.core.sim_clock import SimClock
scenes, out = json.loads(sys.argv[1]), sys.argv[2]
clock_period = [2025, 1, 1, 2025, 12, 31]
result = {}
for label, stl, surfaces in scenes:
    folder = os.path.join(out, label)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    clock = SimClock(0.0, 3600.0)
    clock.set_period({"params": clock_period})
    state = {"modules": {}, "site": {"latitude": 48.21, "longitude": 16.37, "time_zone": 1, "sun_time": "middle"},
             "clock": clock}
    unit = ExactShadowModule("s")
    unit.in_file_params = [stl, os.path.join(folder, "t.csv"), "table", None, None, *surfaces]
    sys.stdout = open(os.devnull, "w")
    unit.awake(state)  # the table: not timed
    unit.in_file_params[2] = "exact"
    _native._clear_model_cache()
    t = time.perf_counter()
    unit.awake(state)
    result[label] = time.perf_counter() - t
    sys.stdout = sys.__stdout__
    result[label + " (sunny hours)"] = len(unit.sun_factors()["altitude"])
print(json.dumps(result))
"""


def build_base(rev, where):
    src, site = os.path.join(where, "src"), os.path.join(where, "site")
    for d in (src, site):
        subprocess.run(["rm", "-rf", d], check=True)
        os.makedirs(d)
    archive = subprocess.run(["git", "-C", ROOT, "archive", rev], check=True, stdout=subprocess.PIPE).stdout
    subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--target", site,
                    src], check=True)
    return site


def scenes(out, buildings, roofs):
    import bench_geometry as bg
    from quillmere.core import demo

    house = os.path.join(out, "house.stl")
    with open(house, "w", encoding="utf-8") as f:
        f.write(demo.house_stl(4))
    district = os.path.join(out, "district_%d.stl" % buildings)
    if not os.path.exists(district):
        solids, _ = bg.district(buildings, 6)
        bg.write_stl(district + ".tmp", solids)
        os.replace(district + ".tmp", district)
    return [("demo house", house, ["roof_south_east", "roof_south_west", "roof_north"]),
            ("district", district, ["楼%d_roof" % b for b in range(roofs)])]


def run(site, scene_list, out):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if site:
        env["PYTHONPATH"] = site
    text = subprocess.run([sys.executable, "-c", WORKER, json.dumps(scene_list), out], check=True, env=env,
                          stdout=subprocess.PIPE, text=True).stdout
    return json.loads(text.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", default="HEAD~1", help="the commit to compare with (default HEAD~1)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--buildings", type=int, default=40)
    parser.add_argument("--roofs", type=int, default=12)
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench-exact-base"))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    print("building %s into %s ..." % (args.base, args.out), flush=True)
    site = build_base(args.base, args.out)
    scene_list = scenes(args.out, args.buildings, args.roofs)
    new, base = {}, {}
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(args.rounds):
            for name, where, into in (("base", site, base), ("new", None, new)):
                got = run(where, scene_list, os.path.join(tmp, name))
                for k, v in got.items():
                    into.setdefault(k, []).append(v)
            print("round %d done" % (r + 1), flush=True)
    print("%-16s %10s %10s %8s" % ("exact year", "base [s]", "new [s]", "new/base"))
    for label, _, _ in scene_list:
        b, n = statistics.median(base[label]), statistics.median(new[label])
        same = base[label + " (sunny hours)"] == new[label + " (sunny hours)"]
        print("%-16s %10.3f %10.3f %8.3f%s" % (label, b, n, n / b, "" if same else "  (sunny hours differ!)"))


if __name__ == "__main__":
    main()

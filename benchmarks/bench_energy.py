"""The building's energy figures of the demo, and what the load, battery, grid
and bus cost, against the demo without them, measured in the same run:

1. figures: self-consumption and self-sufficiency of the demo year without a
   battery and with 5 and 10 kWh (the demo's 2.5 kW power limits scaled with
   the capacity, 0.5 kW per kWh), at the demo's feed-in limit of 5 kW and
   without a limit; the largest step residual of the energy balance;
2. cost: the demo year's run (Manager.run_simulation, shading files on disk)
   with the household load, battery, grid and bus against the same project
   without those four modules; medians of N runs each, interleaved.

    python benchmarks/bench_energy.py [--runs 7]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

from quillmere import cli
from quillmere.core.manager import Manager, load_project

ENERGY_TYPES = ("Load", "Battery", "Grid", "Bus")


def run(project):
    m = Manager(project)
    m.quiet = True
    t = time.perf_counter()
    df = m.run_simulation()
    return time.perf_counter() - t, df


def variant(base, capacity=None, feed_in_limit=None):
    p = load_project(base)
    p.get("output", {}).pop("csv", None)
    for m in p["modules"]:
        if m["type"] == "Battery" and capacity is not None:
            m.update(capacity=capacity, max_charge_power=0.5 * capacity, max_discharge_power=0.5 * capacity)
        if m["type"] == "Grid" and feed_in_limit is not None:
            if feed_in_limit == "none":
                m.pop("feed_in_limit", None)
            else:
                m["feed_in_limit"] = feed_in_limit
    return p


def without_energy(base):
    p = load_project(base)
    p.get("output", {}).pop("csv", None)
    p["modules"] = [m for m in p["modules"] if m["type"] not in ENERGY_TYPES]
    return p


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "demo")
        assert cli.main(["demo", folder, "--no-plot", "--quiet"]) == 0
        base = os.path.join(folder, "project.toml")
        print("demo year, household 4000 kWh/a, generators 9731 kWh/a")
        print("%-22s %-14s %17s %17s %12s %12s %12s %9s" % ("battery", "feed-in limit", "self-consumption",
                                                           "self-sufficiency", "import kWh", "export kWh",
                                                           "curtailed", "cycles"))
        worst = 0.0
        for limit in (5.0, "none"):
            for cap in (0.0, 5.0, 10.0):
                _, df = run(variant(base, cap, limit))
                y = df.attrs["energy_balance"]["bus"]["year"]
                worst = max(worst, y["max_residual_kw"])
                print("%-22s %-14s %16.1f%% %16.1f%% %12.1f %12.1f %12.1f %9.1f" % (
                    "%g kWh / %g kW" % (cap, 0.5 * cap), limit if limit == "none" else "%g kW" % limit,
                    100 * y["self_consumption"], 100 * y["self_sufficiency"], y["import_kwh"], y["export_kwh"],
                    y["curtailed_kwh"], y["battery_cycles"]))
        print("largest step residual of the balance over the six years: %.3g kW" % worst)

        with_p, bare_p = variant(base), without_energy(base)
        run(with_p), run(bare_p)  # warm: shading files, imports
        a, b = [], []
        for _ in range(args.runs):
            a.append(run(variant(base))[0])
            b.append(run(without_energy(base))[0])
        ma, mb = statistics.median(a), statistics.median(b)
        print("demo year run_simulation, medians of %d (interleaved): with load+battery+grid+bus %.3f s, "
              "without %.3f s, ratio %.2f" % (args.runs, ma, mb, ma / mb))
    return 0


if __name__ == "__main__":
    sys.exit(main())

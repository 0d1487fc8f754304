"""Run manager benchmark: the demo year through the manager against the same
modules driven by a plain Python loop, both measured in this run.

    python benchmarks/bench_manager.py [--repeat 5]

Figures:
- the demo project's year (8760 steps: weather + shading + 2 PV + wind, the
  shading table already on disk): run_simulation without the CSV file;
- the manager's own time per module and step: step loop time minus the time
  spent inside the operations of the modules, links and clock (update,
  snapshots, after, update_link, advance_time), over (modules x steps); and, as a
  cross-check without that instrumentation, the loop time per module-step
  with modules whose update does nothing;
- the plain Python loop doing the same calls (snapshots, links, updates,
  after, recording, advance_time) and its ratio to the manager.
"""
import argparse
import os
import sys
import tempfile
import textwrap
import time

import pandas as pd

from quillmere import Link, SimClock
from quillmere.cli import write_demo
from quillmere.core.manager import Manager


class NoCsv(Manager):
    """The run without writing the CSV file (timed separately)."""

    def write_results(self):
        pass


def best_of(repeat, fn):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def python_loop(project):
    """The same run written as a plain Python loop over the same module objects' operations."""
    modules = {}
    for m in project["modules"]:
        unit = m["class"](m["name"])
        unit.in_file_params = list(m["in_file_params"])
        modules[m["name"]] = unit
    state = {"modules": modules, "site": dict(project["site"])}
    shading = [u for u in modules.values() if u.module_name == "SurfaceShadow"]
    for unit in shading + [u for u in modules.values() if u not in shading]:
        unit.awake(state)
    incoming = {name: [] for name in modules}
    for l in project["links"]:
        incoming[l["target"]].append(Link(modules[l["source"]], l["source_variable"], modules[l["target"]],
                                          l["target_variable"]))
    clock = SimClock(0.0, project["time_step"])
    clock.set_period({"params": project["period"]} if project["period"] else None)
    units = list(modules.items())  # the demo's file order is already its dependency order
    columns = [(name, unit, var) for name, unit in units for var in unit.outputs]
    data = {"%s.%s" % (n, v): [] for n, _, v in columns}
    times = []
    steps = -(-int(clock.end_time) // int(clock.time_step))
    t0 = time.perf_counter()
    for _ in range(steps):
        times.append(clock.current_time)
        for _, unit in units:
            unit.update_previous_values()
            unit.update_previous_outputs_2()
        for name, unit in units:
            for link in incoming[name]:
                link.update_link()
            unit.update(clock, state)
        for _, unit in units:
            unit.after(clock)
        for n, unit, v in columns:
            data["%s.%s" % (n, v)].append(unit.outputs[v]["value"])
        clock.advance_time()
    loop = time.perf_counter() - t0
    for _, unit in units:
        unit.finish(clock)
    table = pd.DataFrame({"timestamp": pd.Timestamp("%04d-01-01" % clock.start_year) +
                          pd.to_timedelta(times, unit="s"), **data})
    return loop, table


NOOP_PROJECT = """\
[site]
longitude = 16.37
latitude = 48.21
time_zone = 1
"""


def noop_project(folder, count):
    """count shading modules (their update does nothing) sharing the demo's table."""
    body = NOOP_PROJECT
    for i in range(count):
        body += textwrap.dedent(f"""
            [[modules]]
            name = "s{i}"
            type = "SurfaceShadow"
            params = ["house.stl", "shading/cos_table.csv", "roof_north"]
        """)
    path = os.path.join(folder, "noop.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(body)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="qm-bench-")
    project = write_demo(folder, 48.21, 16.37, 1)
    devnull = open(os.devnull, "w")
    real_stdout = sys.stdout
    sys.stdout = devnull  # module status lines (table generation, weather path)
    try:
        t0 = time.perf_counter()
        first = Manager(project)
        first.quiet = True
        first.run_simulation()
        first_run = time.perf_counter() - t0  # includes computing the shading table

        def manager_run():
            m = NoCsv(project)
            m.quiet = True
            m.run_simulation()
            return m

        run_time, m = best_of(args.repeat, manager_run)
        loops = []
        for _ in range(args.repeat):
            m2 = manager_run()
            loops.append(m2.timings)
        best = min(loops, key=lambda t: t["loop_s"])
        csv_time, _ = best_of(args.repeat, lambda: m.results.to_csv(os.path.join(folder, "bench.csv"), index=False))

        py_runs = [python_loop(m.project) for _ in range(args.repeat)]
        py_loop = min(r[0] for r in py_runs)
        pd.testing.assert_frame_equal(py_runs[0][1], m.results, check_dtype=False)

        noop = noop_project(folder, 8)

        def noop_run():
            n = NoCsv(noop)
            n.quiet = True
            n.run_simulation()
            return n.timings

        noop_timings = min((noop_run() for _ in range(args.repeat)), key=lambda t: t["loop_s"])
        n_noop = noop_timings["modules"] * noop_timings["steps"]
        noop_py = min(python_loop(Manager(noop).load_project())[0] for _ in range(args.repeat))
    finally:
        sys.stdout = real_stdout
        devnull.close()

    steps, mods = best["steps"], best["modules"]
    print(f"demo year: {steps} steps, {mods} modules (weather, shading, 2 PV, wind); best of {args.repeat}")
    print(f"  first run incl. shading table         {first_run:8.3f} s")
    print(f"  run_simulation, table on disk, no CSV {run_time:8.3f} s   (target <= 0.3 s)")
    print(f"    step loop                            {best['loop_s']:8.3f} s")
    print(f"    inside the modules' update calls     {best['module_update_s']:8.3f} s")
    print(f"    inside all module/link/clock ops     {best['operations_s']:8.3f} s")
    print(f"    manager overhead per module-step     {best['overhead_us_per_module_step']:8.3f} us (target < 2 us)")
    print(f"  plain Python loop, same modules        {py_loop:8.3f} s   "
          f"ratio python/manager loop = {py_loop / best['loop_s']:.2f}")
    print(f"  writing the CSV                        {csv_time:8.3f} s")
    print(f"no-op modules: {noop_timings['modules']} x {noop_timings['steps']} steps")
    print(f"  manager loop per module-step           {noop_timings['loop_s'] / n_noop * 1e6:8.3f} us")
    print(f"  plain Python loop per module-step      {noop_py / n_noop * 1e6:8.3f} us   "
          f"ratio = {noop_py / noop_timings['loop_s']:.1f}")


if __name__ == "__main__":
    main()

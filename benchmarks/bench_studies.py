"""Studies figures, each against a baseline measured in the same run:

1. start-up cost: the whole process `quillmere run project.toml --quiet` on the
   demo year (shading table on disk, results CSV written) against
   `python -c "import pandas"`, medians of N runs each, interleaved;
2. sweeps of V variants (PV efficiency) against the same V runs one after
   another in one process, on two variant sets:
   - the demo year (a variant takes about 0.1-0.2 s);
   - the demo house over a multi-year period (`--years`, a variant about
     0.8 s for 5 years), where the work outweighs starting a cluster;
   each measured twice: as whole processes (`quillmere sweep ... --workers 2`,
   which starts and closes its own local cluster, against a process running
   the variants one after another; both import pandas and the package), and
   inside this process (a sweep on an already running 2-worker cluster
   against the runs one after another here). The shading files exist before
   anything is timed (one untimed run), so every variant reads them; the
   sweep's rows are checked against the runs.

    python benchmarks/bench_studies.py [--runs 5] [--variants 12] [--years 5] [--repeat 1]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def timed(cmd, cwd):
    t = time.perf_counter()
    subprocess.run(cmd, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t


def startup(demo, runs):
    run = [sys.executable, "-m", "quillmere", "run", "project.toml", "--quiet"]
    pandas = [sys.executable, "-c", "import pandas"]
    timed(run, demo), timed(pandas, demo)  # warm the file cache
    t_run, t_pd = [], []
    for _ in range(runs):
        t_run.append(timed(run, demo))
        t_pd.append(timed(pandas, demo))
    r, p = statistics.median(t_run), statistics.median(t_pd)
    print("start-up: quillmere run --quiet %.3f s, import pandas %.3f s (medians of %d): ratio %.2f"
          % (r, p, runs, r / p))


SEQUENTIAL = """
import sys
from quillmere import sweep as sw
from quillmere.core.manager import Manager, load_project
for _, p in sw.variant_projects(load_project(sys.argv[1]), sw.parse_vary([sys.argv[2]])):
    m = Manager(p)
    m.quiet = True
    m.run_simulation()
"""


def sweep_figures(label, project, values, repeat):
    """Whole processes (sequential against `quillmere sweep`), and in this
    process (sequential against a sweep on a running cluster)."""
    import distributed
    import pandas as pd

    from quillmere import sweep as sw
    from quillmere.core.manager import Manager, load_project

    folder = os.path.dirname(project)
    vary_text = "pv_east.efficiency=" + ",".join(map(str, values))
    vary = {"pv_east.efficiency": values}
    base = load_project(project)

    def sequential():
        out = []
        for _, p in sw.variant_projects(base, vary):
            m = Manager(p)
            m.quiet = True
            m.run_simulation()
            out.append(m.summary)
        return out

    summaries = sequential()  # shading files on disk, caches warm: every figure below reads them
    seq_process = [sys.executable, "-c", SEQUENTIAL, project, vary_text]
    sweep_process = [sys.executable, "-m", "quillmere", "sweep", project, "--vary", vary_text, "--workers", "2",
                     "--quiet", "-o", os.path.join(folder, "sweep.csv")]
    t_seq_p, t_sweep_p, t_seq, t_running = [], [], [], []
    for _ in range(repeat):
        t_seq_p.append(timed(seq_process, folder))
        t_sweep_p.append(timed(sweep_process, folder))
        rows = pd.read_csv(os.path.join(folder, "sweep.csv"))
        for (_, row), s in zip(rows.iterrows(), summaries):
            for g, d in s.items():
                assert row[g + ".energy_kwh"] == d["energy_kwh"], (g, row[g + ".energy_kwh"], d["energy_kwh"])
        t0 = time.perf_counter()
        sequential()
        t_seq.append(time.perf_counter() - t0)
        with sw._worker_start():  # the same workers as the sweep's own, started outside the timing
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=40)
        client = distributed.Client(cluster)
        try:
            client.run(lambda: None)
            t0 = time.perf_counter()
            df = sw.sweep(base, vary, client, progress=False)
            t_running.append(time.perf_counter() - t0)
            assert df["error"].isna().all()
        finally:
            client.close()
            cluster.close()
    med = statistics.median
    sp, wp, s, r = med(t_seq_p), med(t_sweep_p), med(t_seq), med(t_running)
    print("%s, %d variants: whole processes: one after another %.2f s, `quillmere sweep --workers 2` %.2f s "
          "(cluster start and close included): speed-up %.2f | in this process: one after another %.2f s, "
          "sweep on a running 2-worker cluster %.2f s: speed-up %.2f"
          % (label, len(values), sp, wp, sp / wp, s, r, s / r))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--variants", type=int, default=12)
    ap.add_argument("--years", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=1, help="sweep figures: medians of this many")
    args = ap.parse_args()
    print("load before: " + os.getloadavg().__repr__())
    folder = tempfile.mkdtemp(prefix="qm-bench-studies-")
    try:
        demo = os.path.join(folder, "demo")
        subprocess.run([sys.executable, "-m", "quillmere", "demo", demo, "--no-plot", "--quiet"], check=True,
                       stdout=subprocess.DEVNULL)
        long_run = os.path.join(folder, "years")
        shutil.copytree(demo, long_run)
        if args.runs > 0:
            startup(demo, args.runs)

        values = [round(0.14 + 0.01 * i, 2) for i in range(args.variants)]
        sweep_figures("demo year", os.path.join(demo, "project.toml"), values, args.repeat)
        project = os.path.join(long_run, "project.toml")
        with open(project, encoding="utf-8") as f:
            text = f.read()
        with open(project, "w", encoding="utf-8") as f:
            f.write("period = [2025, 1, 1, %d, 12, 31]\n" % (2025 + args.years - 1) + text)
        sweep_figures("%d-year period" % args.years, project, values, args.repeat)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("load after: " + os.getloadavg().__repr__())


if __name__ == "__main__":
    main()

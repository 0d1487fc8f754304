"""Studies figures, each against a baseline measured in the same run:

1. start-up cost: the whole process `quillmere run project.toml --quiet` on the
   demo year (shading table on disk, results CSV written) against
   `python -c "import pandas"`, medians of N runs each, interleaved;
2. sweeps of V variants (PV efficiency) against the same V runs one after
   another in this process, on two variant sets:
   - the demo year (a variant takes about 0.1 s);
   - the demo house over a multi-year period (`--years`, a variant about
     0.8 s for 5 years), where the work outweighs starting a cluster;
   each as a sweep that starts its own local cluster of 2 worker processes
   (start and close included) and as a sweep on a running 2-worker cluster.
   The shading files exist before anything is timed (one untimed run), so
   every variant reads them; the sweeps' rows are checked against the runs.

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


def sweep_figures(label, base, vary, repeat):
    """Sequential runs, a sweep with its own cluster, a sweep on a running one."""
    import distributed

    from quillmere import sweep as sw
    from quillmere.core.manager import Manager

    def sequential():
        out = []
        for _, project in sw.variant_projects(base, vary):
            m = Manager(project)
            m.quiet = True
            m.run_simulation()
            out.append(m.summary)
        return out

    sequential()  # shading files on disk, caches warm: every figure below reads them
    t_seq, t_own, t_running = [], [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        summaries = sequential()
        t_seq.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        df = sw.sweep(base, vary, workers=2, progress=False)
        t_own.append(time.perf_counter() - t0)
        assert df["error"].isna().all()
        for (_, row), s in zip(df.iterrows(), summaries):
            for g, d in s.items():
                assert row[g + ".energy_kwh"] == d["energy_kwh"], (g, row[g + ".energy_kwh"], d["energy_kwh"])
        with sw._worker_start():  # the same workers as the sweep's own, started outside the timing
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=40)
        client = distributed.Client(cluster)
        try:
            client.run(lambda: None)
            t0 = time.perf_counter()
            sw.sweep(base, vary, client, progress=False)
            t_running.append(time.perf_counter() - t0)
        finally:
            client.close()
            cluster.close()
    n = len(sw.variant_projects(base, vary))
    s, o, r = statistics.median(t_seq), statistics.median(t_own), statistics.median(t_running)
    print("%s, %d variants: one after another in one process %.2f s; sweep on a local cluster of 2 workers "
          "%.2f s (start and close included): speed-up %.2f; on a running 2-worker cluster %.2f s: speed-up %.2f"
          % (label, n, s, o, s / o, r, s / r))


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

        from quillmere.core.manager import load_project

        vary = {"pv_east.efficiency": [round(0.14 + 0.01 * i, 2) for i in range(args.variants)]}
        sweep_figures("demo year", load_project(os.path.join(demo, "project.toml")), vary, args.repeat)
        base = load_project(os.path.join(long_run, "project.toml"))
        base["period"] = [2025, 1, 1, 2025 + args.years - 1, 12, 31]
        sweep_figures("%d-year period" % args.years, base, vary, args.repeat)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("load after: " + os.getloadavg().__repr__())


if __name__ == "__main__":
    main()

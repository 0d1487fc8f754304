"""Studies figures, each against a baseline measured in the same run:

1. start-up cost: the whole process `quillmere run project.toml --quiet` on the
   demo year (shading table on disk, results CSV written) against
   `python -c "import pandas"`, medians of N runs each, interleaved;
2. a sweep of 12 variants on a local cluster of 2 worker processes (cluster
   start included) against the same 12 runs one after another in one process.

    python benchmarks/bench_studies.py [--runs 5] [--variants 12]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def timed(cmd, cwd):
    t = time.perf_counter()
    subprocess.run(cmd, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--variants", type=int, default=12)
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="qm-bench-studies-")
    demo = os.path.join(folder, "demo")
    subprocess.run([sys.executable, "-m", "quillmere", "demo", demo, "--no-plot", "--quiet"], check=True,
                   stdout=subprocess.DEVNULL)

    run = [sys.executable, "-m", "quillmere", "run", "project.toml", "--quiet"]
    pandas = [sys.executable, "-c", "import pandas"]
    timed(run, demo), timed(pandas, demo)  # warm the file cache
    t_run, t_pd = [], []
    for _ in range(args.runs):
        t_run.append(timed(run, demo))
        t_pd.append(timed(pandas, demo))
    r, p = statistics.median(t_run), statistics.median(t_pd)
    print("start-up: quillmere run --quiet %.3f s, import pandas %.3f s (medians of %d): ratio %.2f"
          % (r, p, args.runs, r / p))

    from quillmere import sweep as sw
    from quillmere.core.manager import Manager, load_project

    base = load_project(os.path.join(demo, "project.toml"))
    effs = [0.14 + 0.01 * i for i in range(args.variants)]
    vary = {"pv_east.efficiency": effs}
    t0 = time.perf_counter()
    for _, project in sw.variant_projects(base, vary):
        m = Manager(project)
        m.quiet = True
        m.run_simulation()
    t_seq = time.perf_counter() - t0
    t0 = time.perf_counter()
    df = sw.sweep(base, vary, workers=2, progress=False)
    t_dask = time.perf_counter() - t0
    assert df["error"].isna().all()
    print("sweep of %d variants: one after another in one process %.2f s, local cluster of 2 workers %.2f s "
          "(cluster start included): speed-up %.2f" % (args.variants, t_seq, t_dask, t_seq / t_dask))


if __name__ == "__main__":
    main()

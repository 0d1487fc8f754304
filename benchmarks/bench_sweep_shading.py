"""Sweeps whose variants share one shading: each worker preparing it once
(table, interpolators, sun track, per-step factors, taken by its later
variants: `sweep(..., share_shading=True)`, the default) against every
variant preparing its own (`share_shading=False`), in the same run, on one
running local cluster of two single-threaded worker processes.

The variants differ in a panel value only (PV efficiency), so all share the
demo house's shading. The shading files exist before anything is timed (one
untimed sweep), so every variant reads them in both modes. The two modes
alternate, `--repeat` times each; the figures are medians of the sweep's wall
time and of the variants' own time summed over the workers (less sensitive to
what else runs on the machine). The rows of both modes must be the same, value
for value.

    python benchmarks/bench_sweep_shading.py [--variants 16] [--repeat 3] [--years 1]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--variants", type=int, default=16)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--years", type=int, default=1, help="the demo's period in years (a longer sun track)")
    args = ap.parse_args()

    import distributed
    import pandas as pd

    from quillmere import sweep as sw

    print("load average before (1, 5, 15 min): %.1f %.1f %.1f on %d cores" % (os.getloadavg() + (os.cpu_count(),)))
    folder = tempfile.mkdtemp(prefix="qm-bench-sweep-shading-")
    cluster = client = None
    try:
        demo = os.path.join(folder, "demo")
        subprocess.run([sys.executable, "-m", "quillmere", "demo", demo, "--no-plot", "--quiet"], check=True,
                       stdout=subprocess.DEVNULL)
        project = os.path.join(demo, "project.toml")
        if args.years > 1:
            with open(project, encoding="utf-8") as f:
                text = f.read()
            with open(project, "w", encoding="utf-8") as f:
                f.write("period = [2025, 1, 1, %d, 12, 31]\n" % (2025 + args.years - 1) + text)
        vary = {"pv_east.efficiency": [round(0.12 + 0.01 * i, 2) for i in range(args.variants)]}
        with sw._worker_start():  # the sweep's own kind of workers, started outside the timing
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=40)
        client = distributed.Client(cluster)
        first = sw.sweep(project, vary, client, progress=False)  # writes the shading files (untimed)
        assert first["error"].isna().all(), first["error"]
        times = {True: [], False: []}
        busy = {True: [], False: []}
        reused = {True: [], False: []}
        rows = {}
        for _ in range(args.repeat):
            for share in (False, True):
                t0 = time.perf_counter()
                df = sw.sweep(project, vary, client, progress=False, share_shading=share)
                times[share].append(time.perf_counter() - t0)
                assert df["error"].isna().all(), df["error"]
                busy[share].append(sum(df.attrs["seconds"]))
                reused[share].append(sum(df.attrs["shading_reused"]))
                rows.setdefault(share, df)
                pd.testing.assert_frame_equal(df, rows[share], check_exact=True)
        pd.testing.assert_frame_equal(rows[True], rows[False], check_exact=True)
        med = statistics.median
        period = "the demo year" if args.years == 1 else "the demo house over %d years" % args.years
        print("%d variants of %s on a running cluster of 2 workers, medians of %d:" % (args.variants, period,
                                                                                       args.repeat))
        print("  every variant prepares its shading   wall %6.2f s   variants' time %6.2f s"
              % (med(times[False]), med(busy[False])))
        print("  one preparation per worker (default) wall %6.2f s   variants' time %6.2f s   "
              "(%d of %d variants took it)" % (med(times[True]), med(busy[True]), min(reused[True]), args.variants))
        print("  speed-up: wall %.2f, variants' time %.2f; rows value for value the same"
              % (med(times[False]) / med(times[True]), med(busy[False]) / med(busy[True])))
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
        shutil.rmtree(folder, ignore_errors=True)
    print("load average after (1, 5, 15 min): %.1f %.1f %.1f" % os.getloadavg())


if __name__ == "__main__":
    main()

"""The tracer of the working tree against the tracer of another commit, in one run.

    python benchmarks/bench_commits.py [--base REV] [--rounds N] [--year DAYS]

Builds benchmarks/bench_occlusion.cpp twice (the working tree into
build/bench-cpp, the base commit's tree, exported with `git archive`, into
build/bench-base) and runs the two programs in turn, N rounds, on the
200k-triangle district of bench_geometry.py (one-thread figures in thread
processor time, --cpu). Prints, for each figure of the 54-position table and
of the hourly year (every DAYS-th day), the median over rounds of new / base.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_geometry import scene_file  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build(src, out):
    subprocess.run(["cmake", "-S", src, "-B", out, "-DQUILLMERE_BUILD_BENCHMARKS=ON", "-DQUILLMERE_BUILD_PYTHON=OFF",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", out, "--target", "bench_occlusion", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(out, "bench_occlusion")


def figures(text):
    """{name: ms} from one bench_occlusion output."""
    out = {}
    for label in ("exact, 1 thread", "exact, 2 threads"):
        m = re.search(re.escape(label) + r"\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)", text)
        if m:
            for part, v in zip(("parse", "build", "cast", "total"), m.groups()):
                out[f"{label}: {part}"] = float(v)
    m = re.search(r"exact 1 thread [\d.]+ Mrays/s \(whole year ([\d.]+) s\), 2 threads [\d.]+ Mrays/s \(([\d.]+) s\)",
                  text)
    if m:
        out["year, 1 thread"], out["year, 2 threads"] = float(m.group(1)), float(m.group(2))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--base", default="HEAD~1")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--year", type=int, default=28)
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "bench"))
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    base_src = os.path.join(ROOT, "build", "bench-base", "src")
    os.makedirs(base_src, exist_ok=True)
    with tempfile.TemporaryFile() as tar:
        subprocess.run(["git", "-C", ROOT, "archive", args.base], check=True, stdout=tar)
        tar.seek(0)
        subprocess.run(["tar", "-x", "-C", base_src], check=True, stdin=tar)
    new = build(ROOT, os.path.join(ROOT, "build", "bench-cpp"))
    old = build(base_src, os.path.join(ROOT, "build", "bench-base", "build"))
    path, names, tris = scene_file(args.out, "d200k.stl", 200, 10)
    cmd = ["--cpu", "--reps", "3", "--year", str(args.year), path] + names
    ratios = {}
    for r in range(args.rounds):
        got = {}
        for tag, exe in (("new", new), ("base", old)) if r % 2 == 0 else (("base", old), ("new", new)):
            got[tag] = figures(subprocess.run([exe] + cmd, capture_output=True, text=True, check=True).stdout)
        for k in got["new"]:
            if k in got["base"] and got["base"][k] > 0:
                ratios.setdefault(k, []).append(got["new"][k] / got["base"][k])
    print(f"d200k.stl ({tris} triangles), working tree / {args.base}, median of {args.rounds} rounds "
          "(below 1: the working tree is faster)")
    for k, v in ratios.items():
        print(f"  {k:28s} {statistics.median(v):.3f}  (rounds: {', '.join(f'{x:.2f}' for x in v)})")


if __name__ == "__main__":
    sys.exit(main())

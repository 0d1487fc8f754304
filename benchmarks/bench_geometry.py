"""Geometry benchmarks: ray casting against a literal numpy/scipy version of
the algorithm, the 54-point sun table on a 200k-triangle district, and STL
parsing throughput. Ratios are measured in one run on the same machine.

    python benchmarks/bench_geometry.py [--quick] [--out DIR] [--cpp-bench PATH]

Scenes are generated here: a house with neighbours (about 2k triangles) and
districts of named buildings (about 20k, 200k and 1M triangles), about 10% of
the triangles analysed (the roofs of every other building).
"""
import argparse
import math
import os
import subprocess
import sys
import time

import numpy as np
from scipy.spatial import cKDTree

from quillmere import _native
from quillmere.shadow_calc.occlusion_scan import calculate_shadow, stl_statistics

# ------------------------------------------------------------------ scenes


def box_triangles(x0, y0, w, d, h, k):
    """Walls and roof of a box building, each face a k x k grid of quads.
    Returns {"roof": (tris, normals), "walls": (tris, normals)}."""
    def grid(origin, ua, ub, normal):
        i, j = np.meshgrid(np.arange(k), np.arange(k), indexing="ij")
        i, j = i.ravel()[:, None], j.ravel()[:, None]
        p00 = origin + (i / k) * ua + (j / k) * ub
        p10 = origin + ((i + 1) / k) * ua + (j / k) * ub
        p01 = origin + (i / k) * ua + ((j + 1) / k) * ub
        p11 = origin + ((i + 1) / k) * ua + ((j + 1) / k) * ub
        t = np.concatenate([np.stack([p00, p10, p11], 1), np.stack([p00, p11, p01], 1)])
        return t, np.tile(normal, (len(t), 1))

    o = np.array([x0, y0, 0.0])
    ex, ey, ez = np.array([w, 0, 0.0]), np.array([0, d, 0.0]), np.array([0, 0, h])
    roof = grid(o + ez, ex, ey, np.array([0, 0, 1.0]))
    walls = [grid(o, ex, ez, np.array([0, -1.0, 0])), grid(o + ey, ez, ex, np.array([0, 1.0, 0])),
             grid(o, ez, ey, np.array([-1.0, 0, 0])), grid(o + ex, ey, ez, np.array([1.0, 0, 0]))]
    return {"roof": roof, "walls": (np.concatenate([w_[0] for w_ in walls]), np.concatenate([w_[1] for w_ in walls]))}


def district(n_buildings, k, seed=1):
    rng = np.random.default_rng(seed)
    side = int(math.ceil(math.sqrt(n_buildings)))
    solids, analysed = {}, []
    for b in range(n_buildings):
        gx, gy = b % side, b // side
        w, d = rng.uniform(8, 14), rng.uniform(8, 14)
        h = rng.uniform(6, 30)
        parts = box_triangles(gx * 18.0, gy * 18.0, w, d, h, k)
        solids[f"楼{b}_roof"] = parts["roof"]
        solids[f"楼{b}_walls"] = parts["walls"]
        if b % 2 == 0:
            analysed.append(f"楼{b}_roof")
    return solids, analysed


def write_stl(path, solids, indent_facets=True):
    fi = "  " if indent_facets else ""
    with open(path, "w", encoding="utf-8") as f:
        for name, (tris, normals) in solids.items():
            f.write(f"solid {name}\n")
            rows = np.concatenate([normals[:, None, :], tris], axis=1).reshape(-1, 12)
            fmt = (f"{fi}facet normal %.6e %.6e %.6e\n{fi}  outer loop\n"
                   f"{fi}    vertex %.6e %.6e %.6e\n{fi}    vertex %.6e %.6e %.6e\n"
                   f"{fi}    vertex %.6e %.6e %.6e\n{fi}  endloop\n{fi}endfacet\n")
            f.write("".join(fmt % tuple(r) for r in rows))
            f.write(f"endsolid {name}\n")


def scene_file(out, name, n_buildings, k, indent=True):
    path = os.path.join(out, name)
    if not os.path.exists(path):
        solids, analysed = district(n_buildings, k)
        write_stl(path + ".tmp", solids, indent)
        os.replace(path + ".tmp", path)
    _, analysed = district(n_buildings, 1)
    tris = n_buildings * 10 * k * k
    return path, analysed, tris

# ------------------------------------------------------- literal baseline


def base_read_stl_with_solids(stl_file_path):
    try:
        with open(stl_file_path, "r") as f:
            content = f.read()
    except FileNotFoundError:
        print(f"错误：未找到文件 {stl_file_path}")
        return {}
    solid_dict = {}
    start_index = 0
    while True:
        solid_start = content.find("solid", start_index)
        if solid_start == -1:
            break
        solid_end = content.find("endsolid", solid_start)
        if solid_end == -1:
            break
        block = content[solid_start:solid_end + 8]
        start_index = solid_end + 8
        lines = block.strip().split("\n")
        if len(lines) > 2 and lines[0].startswith("solid") and lines[-1].startswith("endsolid"):
            solid_name = lines[0].split(" ")[1]
            face_vertices, face_normals = [], []
            i = 1
            while i < len(lines):
                if lines[i].startswith("facet normal"):
                    normal = np.array([float(x) for x in lines[i].split(" ")[2:]], dtype=np.float64)
                    norm = np.linalg.norm(normal)
                    if norm > 0:
                        normal = normal / norm
                    face_normals.append(normal)
                    vertex_lines = lines[i + 2:i + 5]
                    vertices = [np.array([float(x) for x in vl.strip().split(" ")[1:]], dtype=np.float64)
                                for vl in vertex_lines]
                    face_vertices.append(vertices)
                    i += 7
                else:
                    i += 1
            solid_dict[solid_name] = (face_vertices, face_normals)
    return solid_dict


def base_area(vertices):
    return 0.5 * np.linalg.norm(np.cross(vertices[1] - vertices[0], vertices[2] - vertices[0]))


def base_visible(n, d):
    return np.dot(n, d) > 0


def base_ray(o, d, tri):
    e1, e2 = tri[1] - tri[0], tri[2] - tri[0]
    h = np.cross(d, e2)
    a = np.dot(e1, h)
    if abs(a) < 1e-6:
        return False
    f = 1.0 / a
    s = o - tri[0]
    u = f * np.dot(s, h)
    if u < 0.0 or u > 1.0:
        return False
    q = np.cross(s, e1)
    v = f * np.dot(d, q)
    if v < 0.0 or u + v > 1.0:
        return False
    t = f * np.dot(e2, q)
    return 1e-6 < t < 1e6


def base_occluded(i, face, all_solid_vertices, d, kd_tree, model_size):
    g = np.zeros(3, dtype=np.float64)
    for j in range(3):
        g[j] = np.sum(face[:, j]) / face.shape[0]
    rows = kd_tree.query_ball_point(g, model_size * 1.5)
    candidates = set(r // 3 for r in rows)
    candidates.discard(i)
    for k in candidates:
        if base_ray(g, d, all_solid_vertices[k]):
            return True
    return False


def base_occlusion_scan(cur_v, cur_n, all_v, d):
    all_vertices = all_v.reshape(-1, 3)
    model_size = np.linalg.norm(np.max(all_vertices, axis=0) - np.min(all_vertices, axis=0))
    kd_tree = cKDTree(all_vertices)
    n = len(cur_v)
    illumination, areas = np.zeros(n), np.zeros(n)
    for i in range(n):
        visible = base_visible(cur_n[i], d)
        occluded = base_occluded(i, cur_v[i], all_v, d, kd_tree, model_size)
        illumination[i] = np.dot(cur_n[i], d) if visible and not occluded else 0
        areas[i] = base_area(cur_v[i])
    total = np.sum(areas)
    return (np.sum(illumination * areas) / total if total > 0 else 0.0), illumination


def base_calculate_shadow(path, surfaces, alt, az):
    a, b = math.radians(alt), math.radians(az)
    d = np.array([math.sin(b) * math.cos(a), math.cos(b) * math.cos(a), math.sin(a)], dtype=np.float64)
    d = d / np.linalg.norm(d)
    solid_dict = base_read_stl_with_solids(path)
    all_v = np.array([f for v in solid_dict.values() for f in v[0]], dtype=np.float64)
    results, values = {}, []
    for name in surfaces:
        v, n = solid_dict[name]
        avg, illum = base_occlusion_scan(np.array(v, dtype=np.float64), np.array(n, dtype=np.float64), all_v, d)
        results[name] = avg
        values.extend(illum)
    return results, values

# ---------------------------------------------------------------- timing


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def cold(fn):
    def run():
        _native._clear_model_cache()
        return fn()
    return run


def table(path, names):
    for alt in range(0, 90, 15):
        for az in range(0, 361, 45):
            calculate_shadow(path, names, alt, az)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=os.path.join("build", "bench"))
    ap.add_argument("--quick", action="store_true", help="skip the 1M-triangle scene")
    ap.add_argument("--cpp-bench", default=os.path.join("build", "bench-cpp", "bench_occlusion"))
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    print(f"cores: {os.cpu_count()}")

    # House with neighbours, facet lines unindented so that the literal reader reads it.
    house, house_names, house_tris = scene_file(args.out, "house.stl", 9, 5, indent=False)
    surfaces = [house_names[0]] + [f"楼{b}_walls" for b in range(1)]
    alt, az = 35.0, 150.0
    t0 = time.perf_counter()
    base = base_calculate_shadow(house, surfaces, alt, az)
    t_base = time.perf_counter() - t0
    ours = calculate_shadow(house, surfaces, alt, az)
    assert list(ours[0]) == list(base[0])
    same = ours[1] == [float(x) for x in base[1]] and all(ours[0][k] == base[0][k] for k in base[0])
    t_cold = best_of(cold(lambda: calculate_shadow(house, surfaces, alt, az)), 5)
    t_warm = best_of(lambda: calculate_shadow(house, surfaces, alt, az), 20)
    n_faces = len(ours[1])
    print(f"house: {house_tris} triangles, {n_faces} analysed faces, one sun position")
    print(f"  literal numpy/scipy: {t_base:.3f} s; native (parse included): {t_cold * 1e3:.3f} ms "
          f"-> {t_base / t_cold:.0f}x; cached model: {t_warm * 1e3:.3f} ms -> {t_base / t_warm:.0f}x; "
          f"bit-identical results: {same}")

    scenes = [("d20k.stl", 20, 10), ("d200k.stl", 200, 10)]
    if not args.quick:
        scenes.append(("d1m.stl", 1000, 10))
    for fname, nb, k in scenes:
        path, names, tris = scene_file(args.out, fname, nb, k)
        size_mb = os.path.getsize(path) / 1e6
        analysed = sum(2 * k * k for _ in names)
        t_stats = best_of(lambda: stl_statistics(path), 3)
        t_model = best_of(cold(lambda: calculate_shadow(path, [], 0, 0)), 3)
        line = (f"{fname}: {tris} triangles, {size_mb:.1f} MB, {analysed} analysed ({analysed / tris:.0%}); "
                f"stl_statistics {size_mb / t_stats:.0f} MB/s; parse+tree {size_mb / t_model:.0f} MB/s "
                f"({t_model * 1e3:.0f} ms)")
        print(line)
        if fname != "d1m.stl":
            t_table = best_of(cold(lambda: table(path, names)), 3)
            t_one = best_of(lambda: calculate_shadow(path, names, 45, 135), 5)
            print(f"  54-point table, parse included: {t_table:.3f} s; one cached call: {t_one * 1e3:.1f} ms")
        if os.path.exists(args.cpp_bench) and fname != "d20k.stl":
            extra = (["--year", "14"] if fname == "d200k.stl" else ["--reps", "3"]) + names
            r = subprocess.run([args.cpp_bench, path] + extra, capture_output=True, text=True)
            print("  " + (r.stdout + r.stderr).strip().replace("\n", "\n  "))


if __name__ == "__main__":
    sys.exit(main())

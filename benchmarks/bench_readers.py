"""Model reader throughput: MB/s and memory per triangle for each format.

Generates a district of box buildings (roof and four walls each, the walls as
quads) of about --mb megabytes in every format under --dir (default
/tmp/qm_bench_readers; the files are left there for a rerun, never in the
repository) and times `stl_statistics` on each: the whole file read, parsed,
triangulated where the format has polygons, and summed per surface, with the
GIL released. The ASCII STL file of the same district is the baseline
measured in the same run. Each format runs in its own process (three runs,
the median), and its peak resident memory above the process before reading
divided by the triangles is the memory per triangle of the read.

    python benchmarks/bench_readers.py [--mb 100] [--dir /tmp/qm_bench_readers]
"""
from __future__ import annotations

import argparse
import base64
import json
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np

BUILDING = 12.0  # m between building origins


def district(mb_target: float, bytes_per_building: float):
    n = max(1, int(mb_target * 1e6 / bytes_per_building))
    side = int(np.ceil(np.sqrt(n)))
    rng = np.random.default_rng(1)
    b = np.arange(n)
    x0 = 500000.0 + (b % side) * BUILDING
    y0 = 5400000.0 + (b // side) * BUILDING
    w = rng.uniform(6, 10, n)
    d = rng.uniform(6, 10, n)
    h = rng.uniform(3, 20, n)
    return x0, y0, w, d, h


def corners(x0, y0, w, d, h):
    """Per building the 8 corners: bottom ring then top ring, counter-clockwise from above."""
    xs = np.stack([x0, x0 + w, x0 + w, x0, x0, x0 + w, x0 + w, x0], axis=1)
    ys = np.stack([y0, y0, y0 + d, y0 + d, y0, y0, y0 + d, y0 + d], axis=1)
    zs = np.stack([np.zeros_like(h)] * 4 + [h] * 4, axis=1)
    return np.stack([xs, ys, zs], axis=2)  # (n, 8, 3)


# Faces as corner indices (outward): roof, south, east, north, west.
FACES = [(4, 5, 6, 7), (0, 1, 5, 4), (1, 2, 6, 5), (2, 3, 7, 6), (3, 0, 4, 7)]
TRIS_PER_BUILDING = 10


def facets(c):
    """(n * 10, 12): per triangle its unit normal and three vertices."""
    tri = []
    for a, b_, cc, dd in FACES:
        tri += [(a, b_, cc), (a, cc, dd)]
    p = c[:, np.array(tri)]  # (n, 10, 3, 3)
    nrm = np.cross(p[:, :, 1] - p[:, :, 0], p[:, :, 2] - p[:, :, 0])
    nrm /= np.linalg.norm(nrm, axis=2, keepdims=True)
    return np.concatenate([nrm, p.reshape(len(c), 10, 9)], axis=2)


def write_stl(path, c):
    f12 = facets(c)
    facet = ("facet normal %.6f %.6f %.6f\n outer loop\n  vertex %.3f %.3f %.3f\n  vertex %.3f %.3f %.3f\n"
             "  vertex %.3f %.3f %.3f\n endloop\nendfacet\n")
    with open(path, "w") as f:
        for i in range(len(c)):
            f.write("solid b%d\n" % i)
            f.write("".join(facet % tuple(row) for row in f12[i].tolist()))
            f.write("endsolid b%d\n" % i)


def write_obj(path, c):
    with open(path, "w") as f:
        vline = "v %.3f %.3f %.3f\n" * 8
        for i, corners8 in enumerate(c.reshape(len(c), 24).tolist()):
            base = 8 * i + 1
            f.write("o b%d\n" % i)
            f.write(vline % tuple(corners8))
            f.write("".join("f %d %d %d %d\n" % tuple(base + k for k in face) for face in FACES))


def write_cityjson(path, c):
    ints = np.rint((c - c[0, 0]) * 1000).astype(np.int64)
    translate = c[0, 0].tolist()
    with open(path, "w") as f:
        f.write('{"type":"CityJSON","version":"2.0","transform":{"scale":[0.001,0.001,0.001],"translate":%s},'
                % json.dumps(translate))
        f.write('"CityObjects":{')
        sem = ('"semantics":{"surfaces":[{"type":"RoofSurface"},{"type":"WallSurface"}],'
               '"values":[[0,1,1,1,1]]}')
        for i in range(len(c)):
            shell = ",".join("[[%s]]" % ",".join(str(8 * i + k) for k in face) for face in FACES)
            f.write('%s"b%d":{"type":"Building","geometry":[{"type":"Solid","lod":"2.2","boundaries":[[%s]],%s}]}'
                    % ("," if i else "", i, shell, sem))
        f.write('},"vertices":[')
        flat = ints.reshape(-1, 3)
        f.write(",".join("[%d,%d,%d]" % tuple(v) for v in flat))
        f.write("]}")


def gltf_parts(c):
    pos = (c - c[0, 0]).astype(np.float32).reshape(-1, 3)
    tris = []
    for a, b_, cc, dd in FACES:
        tris += [(a, b_, cc), (a, cc, dd)]
    tris = np.array(tris, dtype=np.uint32)
    idx = (tris[None, :, :] + 8 * np.arange(len(c), dtype=np.uint32)[:, None, None]).reshape(-1)
    buf = pos.tobytes() + idx.tobytes()
    doc = {"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
           "nodes": [{"name": "district", "mesh": 0}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
           "accessors": [{"bufferView": 0, "componentType": 5126, "count": int(len(pos)), "type": "VEC3"},
                         {"bufferView": 1, "componentType": 5125, "count": int(len(idx)), "type": "SCALAR"}],
           "bufferViews": [{"buffer": 0, "byteLength": int(pos.nbytes)},
                           {"buffer": 0, "byteOffset": int(pos.nbytes), "byteLength": int(idx.nbytes)}],
           "buffers": [{"byteLength": len(buf)}]}
    return doc, buf


def write_glb(path, c):
    doc, buf = gltf_parts(c)
    js = json.dumps(doc).encode()
    js += b" " * (-len(js) % 4)
    with open(path, "wb") as f:
        f.write(b"glTF" + struct.pack("<II", 2, 12 + 8 + len(js) + 8 + len(buf)))
        f.write(struct.pack("<I", len(js)) + b"JSON" + js + struct.pack("<I", len(buf)) + b"BIN\0")
        f.write(buf)


def write_gltf_embedded(path, c):
    doc, buf = gltf_parts(c)
    doc["buffers"][0]["uri"] = "data:application/octet-stream;base64," + base64.b64encode(buf).decode()
    with open(path, "w") as f:
        json.dump(doc, f)


# name, writer, approximate bytes per building (sizes the district for --mb)
FORMATS = [
    ("stl", "district.stl", write_stl, 1800),
    ("obj", "district.obj", write_obj, 400),
    ("cityjson", "district.city.json", write_cityjson, 330),
    ("glb", "district.glb", write_glb, 216),
    ("gltf (base64)", "district_b64.gltf", write_gltf_embedded, 288),
]

CHILD = textwrap.dedent("""
    import json, resource, statistics, sys, time
    from quillmere.shadow_calc.occlusion_scan import stl_statistics
    path = sys.argv[1]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    for _ in range(3):
        t = time.perf_counter()
        s = stl_statistics(path)
        times.append(time.perf_counter() - t)
        if _ == 0:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            area = sum(r["area"] for r in s.values())
        del s
    print(json.dumps({"seconds": statistics.median(times), "peak_kb": peak - before, "area": area}))
""")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=100.0, help="size of each file in MB (default 100)")
    ap.add_argument("--dir", default="/tmp/qm_bench_readers")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    rows = []
    for name, fname, writer, per_building in FORMATS:
        path = os.path.join(args.dir, "%d_%s" % (int(args.mb), fname))
        x0, y0, w, d, h = district(args.mb, per_building)
        n = len(x0)
        if not os.path.exists(path):
            print("writing %s (%d buildings)..." % (path, n), flush=True)
            writer(path + ".part", corners(x0, y0, w, d, h))
            os.replace(path + ".part", path)
        out = subprocess.run([sys.executable, "-c", CHILD, path], check=True, capture_output=True, text=True)
        r = json.loads(out.stdout)
        size = os.path.getsize(path)
        tris = n * TRIS_PER_BUILDING
        rows.append((name, size / 1e6, tris, r["seconds"], size / 1e6 / r["seconds"],
                     r["peak_kb"] * 1024 / tris, tris / r["seconds"] / 1e6))
        print("%-14s %7.1f MB %9d triangles  %6.2f s  %7.1f MB/s  %6.0f bytes/triangle peak  %5.2f M triangles/s"
              % rows[-1], flush=True)
    base = rows[0]
    print("\nagainst the ASCII STL baseline of this run (triangles per second):")
    for r in rows[1:]:
        print("  %-14s %.2fx" % (r[0], r[6] / base[6]))


if __name__ == "__main__":
    main()

"""Host behaviour of quillmere.shadow_calc.occlusion_scan."""
import math
import os

import numpy as np
import pytest

from quillmere.shadow_calc.occlusion_scan import (
    calculate_shadow,
    calculate_triangle_area,
    occlusion_scan,
    read_stl_with_solids,
    stl_statistics,
)


def facet(normal, verts, indent_facet="", indent_vertex="  "):
    lines = [f"{indent_facet}facet normal {normal[0]} {normal[1]} {normal[2]}", f"{indent_facet}  outer loop"]
    lines += [f"{indent_vertex}  vertex {v[0]} {v[1]} {v[2]}" for v in verts]
    lines += [f"{indent_facet}  endloop", f"{indent_facet}endfacet"]
    return lines


def solid(name, facets, indent_facet=""):
    lines = [f"solid {name}"]
    for n, v in facets:
        lines += facet(n, v, indent_facet)
    lines.append(f"endsolid {name}")
    return lines


def square(z, normal=(0, 0, 1), size=1.0):
    s = size
    return [(normal, [(0, 0, z), (s, 0, z), (0, s, z)]), (normal, [(s, 0, z), (s, s, z), (0, s, z)])]


def write(tmp_path, lines, name="m.stl", newline="\n"):
    p = tmp_path / name
    p.write_bytes(newline.join(lines).encode("utf-8") + newline.encode())
    return str(p)


# ------------------------------------------------------------------ readers


def test_block_reader_structure_and_normals(tmp_path):
    path = write(tmp_path, solid("a", [((0, 0, 2), [(0, 0, 0), (1, 0, 0), (0, 1, 0)]),
                                       ((0, 0, 0), [(1, 0, 0), (1, 1, 0), (0, 1, 0)])]) + solid("b", square(1)))
    d = read_stl_with_solids(path)
    assert list(d) == ["a", "b"]
    verts, normals = d["a"]
    assert isinstance(d["a"], tuple) and len(verts) == len(normals) == 2
    assert all(isinstance(v, np.ndarray) and v.dtype == np.float64 for f in verts for v in f)
    assert [list(v) for v in verts[1]] == [[1, 0, 0], [1, 1, 0], [0, 1, 0]]
    assert list(normals[0]) == [0, 0, 1] and list(normals[1]) == [0, 0, 0]


def test_indented_exporter_layout_is_read_by_both_readers(tmp_path):
    lines = ["solid north wall"] + sum((facet(n, v, indent_facet="  ") for n, v in square(0)), []) + \
            ["endsolid north wall"]
    path = write(tmp_path, lines)
    d = read_stl_with_solids(path)
    assert list(d) == ["north wall"] and len(d["north wall"][0]) == 2
    assert list(stl_statistics(path)) == ["north wall"]
    result, values = calculate_shadow(path, ["north wall"], 90, 0)
    assert result == {"north wall": pytest.approx(1.0)} and len(values) == 2


def test_names_with_solid_bare_solid_repeats_and_empty_blocks(tmp_path, capsys):
    lines = solid("wall_solid", square(0)) + ["solid"] + sum((facet(n, v) for n, v in square(5)), []) + \
            ["endsolid"] + solid("r", square(1)) + solid("r", square(2)[:1]) + ["solid empty", "endsolid empty"]
    path = write(tmp_path, lines)
    d = read_stl_with_solids(path)
    assert list(d) == ["wall_solid", "", "r"]
    assert len(d["r"][0]) == 1 and d["r"][0][0][0][2] == 2.0
    stats = stl_statistics(path)
    assert "" not in stats and list(stats) == ["wall_solid", "r", "empty"]
    assert stats["empty"] == {"area": 0, "normal": (0, 0, 0)}
    # The unnamed solid still shades the surface below it.
    result, _ = calculate_shadow(path, ["wall_solid"], 90, 0)
    assert result["wall_solid"] == 0.0
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_line_ends_and_utf8_names(tmp_path, newline):
    path = write(tmp_path, solid("南墙 一", square(0)) + solid("屋顶", square(1)), newline=newline)
    assert list(read_stl_with_solids(path)) == ["南墙 一", "屋顶"]
    assert list(stl_statistics(path)) == ["南墙 一", "屋顶"]
    assert calculate_shadow(path, ["南墙 一", "屋顶"], 90, 0)[0] == {"南墙 一": 0.0, "屋顶": pytest.approx(1.0)}


def test_number_syntax_follows_float(tmp_path):
    lines = ["solid s", "facet normal 0 0 +1_0", "outer loop", "vertex 0 0 0", "vertex 1E0 0 0",
             "vertex 0 １ 0", "endloop", "endfacet", "endsolid s"]
    path = write(tmp_path, lines)
    verts, normals = read_stl_with_solids(path)["s"]
    assert list(normals[0]) == [0, 0, 1] and list(verts[0][2]) == [0, 1, 0]
    assert stl_statistics(path)["s"]["area"] == 0.5


def test_bad_numbers(tmp_path, capsys):
    path = write(tmp_path, ["solid s", "facet normal 0 0 x1", "outer loop", "vertex 0 0 0", "vertex 1 0 0",
                            "vertex 0 1 0", "endloop", "endfacet", "endsolid s"])
    with pytest.raises(ValueError, match="could not convert string to float: 'x1'"):
        read_stl_with_solids(path)
    with pytest.raises(ValueError, match="x1"):
        calculate_shadow(path, [], 0, 0)
    assert stl_statistics(path) == {}
    assert capsys.readouterr().out == "读取 STL 文件时发生错误：could not convert string to float: 'x1'\n"


def test_statistics_values(tmp_path, capsys):
    lines = solid("s", [((0, 0, 1), [(0, 0, 0), (1, 0, 0), (0, 1, 0)]),
                        ((1, 0, 0), [(0, 0, 0), (0, 1, 0), (0, 0, 1)])])
    lines += solid("cancel", [((0, 0, 1), [(0, 0, 0), (2, 0, 0), (0, 1, 0)]),
                              ((0, 0, -1), [(0, 0, 0), (0, 1, 0), (1, 0, 0)])])
    lines += ["solid partial", "facet normal 0 0 1", "vertex 0 0 0", "vertex 1 0 0", "endfacet"]
    stats = stl_statistics(write(tmp_path, lines))
    assert stats["s"]["area"] == 1.0
    assert stats["s"]["normal"] == pytest.approx((math.sqrt(0.5), 0, math.sqrt(0.5)))
    assert stats["cancel"] == {"area": 1.5, "normal": (0, 0, 0)}
    assert type(stats["cancel"]["normal"][0]) is int
    assert stats["partial"] == {"area": 0, "normal": (0, 0, 0)} and type(stats["partial"]["area"]) is int
    four = ["solid s", "facet normal 0 0 1", "vertex 0 0 0", "vertex 1 0 0", "vertex 0 1 0", "vertex 1 1 0",
            "endfacet", "endsolid s"]
    assert stl_statistics(write(tmp_path, four, "four.stl")) == {}
    assert capsys.readouterr().out == \
        "读取 STL 文件时发生错误：index 3 is out of bounds for axis 0 with size 3\n"


def test_read_failures(tmp_path, capsys):
    missing = str(tmp_path / "nope.stl")
    assert read_stl_with_solids(missing) == {}
    assert stl_statistics(missing) == {}
    assert calculate_shadow(missing, [], 10, 20) == ({}, [])
    with pytest.raises(KeyError):
        calculate_shadow(missing, ["a"], 10, 20)
    out = capsys.readouterr().out.splitlines()
    assert out == [f"错误：未找到文件 {missing}"] * 4
    bad = tmp_path / "bad.stl"
    bad.write_bytes(b"solid a\n\xff\xfe\nendsolid a\n")
    assert read_stl_with_solids(str(bad)) == {}
    assert stl_statistics(str(bad)) == {}
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("读取文件时出现错误: 'utf-8' codec can't decode byte 0xff")
    assert out[1].startswith("读取 STL 文件时发生错误：'utf-8' codec can't decode byte 0xff")
    assert read_stl_with_solids(str(tmp_path)) == {}  # a directory
    assert capsys.readouterr().out.startswith("读取文件时出现错误: [Errno 21]")
    with pytest.raises(TypeError, match=r"Argument 'file_path' has incorrect type \(expected str, got int\)"):
        stl_statistics(3)
    assert capsys.readouterr().out == ""
    assert stl_statistics(None) == {}
    assert capsys.readouterr().out.startswith("读取 STL 文件时发生错误：")


def test_triangle_area_checks():
    assert calculate_triangle_area(np.array([[0, 0, 0], [2, 0, 0], [0, 2, 0], [9, 9, 9]], float)) == 2.0
    with pytest.raises(TypeError, match="expected numpy.ndarray, got list"):
        calculate_triangle_area([[0, 0, 0], [1, 0, 0], [0, 1, 0]])
    with pytest.raises(ValueError):
        calculate_triangle_area(np.zeros((3, 3), dtype=np.float32))
    with pytest.raises(ValueError):
        calculate_triangle_area(np.zeros(9))
    with pytest.raises(IndexError):
        calculate_triangle_area(np.zeros((2, 3)))
    assert calculate_triangle_area.__doc__.startswith("计算由三个顶点构成的三角形的面积。")
    assert stl_statistics.__doc__.startswith("统计 STL 文件中各 solid 的面积总和以及单位化法向量的平均值")
    assert calculate_shadow.__doc__.startswith("计算阴影分析的函数，支持不同的太阳高度角和方位角")
    assert read_stl_with_solids.__doc__ is None and occlusion_scan.__doc__ is None


# ------------------------------------------------------------------ casting


def dot3(a, b):
    """Left-to-right three-term dot product, the order the native kernels use; np.dot may
    fuse or reorder the sum (its result changed between numpy releases)."""
    return float(a[0]) * float(b[0]) + float(a[1]) * float(b[1]) + float(a[2]) * float(b[2])


def reference_scan(cur_v, cur_n, all_v, d, self_idx):
    """Every other triangle of the model, double-precision Moller-Trumbore."""
    def hit(o, tri):
        e1, e2 = tri[1] - tri[0], tri[2] - tri[0]
        h = np.cross(d, e2)
        a = dot3(e1, h)
        if abs(a) < 1e-6:
            return False
        f = 1.0 / a
        s = o - tri[0]
        u = f * dot3(s, h)
        if u < 0.0 or u > 1.0:
            return False
        q = np.cross(s, e1)
        v = f * dot3(d, q)
        if v < 0.0 or u + v > 1.0:
            return False
        t = f * dot3(e2, q)
        return 1e-6 < t < 1e6

    illum = np.zeros(len(cur_v))
    areas = np.zeros(len(cur_v))
    with np.errstate(all="ignore"):
        return _reference_loop(cur_v, cur_n, all_v, d, self_idx, hit, illum, areas)


def _reference_loop(cur_v, cur_n, all_v, d, self_idx, hit, illum, areas):
    for i, face in enumerate(cur_v):
        g = np.zeros(3)
        for j in range(3):
            g[j] = np.sum(face[:, j]) / 3
        occluded = any(hit(g, all_v[k]) for k in range(len(all_v)) if k != self_idx[i])
        if dot3(cur_n[i], d) > 0 and not occluded:
            illum[i] = dot3(cur_n[i], d)
        c = np.cross(face[1] - face[0], face[2] - face[0])
        areas[i] = 0.5 * math.sqrt(dot3(c, c))
    total = np.sum(areas)
    return (np.sum(illum * areas) / total if total > 0 else 0.0), illum


def sun(alt, az):
    a, b = math.radians(alt), math.radians(az)
    v = np.array([math.sin(b) * math.cos(a), math.cos(b) * math.cos(a), math.sin(a)])
    return v / np.linalg.norm(v)


def test_stacked_squares_and_own_index(tmp_path):
    path = write(tmp_path, solid("low", square(0)) + solid("high", square(1)))
    res, vals = calculate_shadow(path, ["low", "high"], 90, 0)
    assert res == {"low": 0.0, "high": pytest.approx(1.0)} and vals[:2] == [0.0, 0.0]
    # The occluder comes first in the file: face 0 of the second surface must
    # still test combined triangle 0, which is the roof above it.
    roof = [((0, 0, 1), [(-1, -1, 3), (4, -1, 3), (-1, 4, 3)])]
    path = write(tmp_path, solid("roof", roof) + solid("floor", square(0)), "own.stl")
    res, vals = calculate_shadow(path, ["floor"], 90, 0)
    assert res == {"floor": 0.0} and vals == [0.0, 0.0]


def test_sun_direction_edge_cases(tmp_path):
    wall = [((0, 1, 0), [(0, 0, 0), (0, 0, 1), (1, 0, 0)])]
    path = write(tmp_path, solid("roof", square(0)) + solid("wall", wall) + solid("down", square(-5, (0, 0, -1))))
    res, _ = calculate_shadow(path, ["roof"], 0, 0)
    assert res["roof"] == 0.0
    res, vals = calculate_shadow(path, ["wall"], 0, 90)
    assert 0 < vals[0] < 1e-16 and vals[0] == pytest.approx(math.cos(math.pi / 2))
    res, _ = calculate_shadow(path, ["roof", "down"], -30, 0)
    assert res["roof"] == 0.0 and res["down"] == pytest.approx(0.5)


def test_result_structure_errors_and_duplicates(tmp_path):
    lines = solid("a", square(0)) + solid("b", square(5) + [((0, 0, 1), [(3, 3, 5), (4, 3, 5), (3, 4, 5)])])
    lines += ["solid nofacets", "", "endsolid nofacets"]
    lines += solid("zero", [((0, 0, 1), [(7, 7, 7), (7, 7, 7), (7, 7, 7)])])
    lines += solid("away", square(9, (0, 0, -1)))
    path = write(tmp_path, lines)
    res, vals = calculate_shadow(path, ["a", "b", "a"], 60, 10)
    assert list(res) == ["a", "b"] and len(vals) == 7 and vals[:2] == vals[5:]
    assert all(type(v) is float for v in vals)
    assert calculate_shadow(path, [], 60, 10) == ({}, [])
    assert calculate_shadow(path, ["zero", "away"], 60, 10)[0] == {"zero": 0.0, "away": 0.0}
    with pytest.raises(KeyError, match="'c'"):
        calculate_shadow(path, ["a", "c"], 60, 10)
    with pytest.raises(ValueError):
        calculate_shadow(path, ["nofacets"], 60, 10)
    with pytest.raises(TypeError):
        calculate_shadow(path, None, 60, 10)
    with pytest.raises(TypeError):
        calculate_shadow(path, ["a"], "60", 10)
    assert calculate_shadow(path, ["a"], float("nan"), 10) == ({"a": 0.0}, [0.0, 0.0])


def test_far_occluder_does_not_shadow(tmp_path):
    far = [((0, 0, -1), [(-1e7, -1e7, 2e6), (1e7, -1e7, 2e6), (0, 1e7, 2e6)])]
    near = [((0, 0, -1), [(-10, -10, 1e6 - 1), (10, -10, 1e6 - 1), (0, 10, 1e6 - 1)])]
    path = write(tmp_path, solid("g", square(0)) + solid("far", far))
    assert calculate_shadow(path, ["g"], 90, 0)[0]["g"] == pytest.approx(1.0)
    path = write(tmp_path, solid("g", square(0)) + solid("near", near), "near.stl")
    assert calculate_shadow(path, ["g"], 90, 0)[0]["g"] == 0.0


def random_scene(rng, n, offset=0.0, scale=10.0):
    base = rng.uniform(0, scale, (n, 1, 3))
    tris = base + rng.normal(0, scale / 8, (n, 3, 3))
    # Axis-aligned and coplanar pieces give grazing rays and exact border hits.
    tris[: n // 4, :, 2] = np.round(tris[: n // 4, :1, 2])
    tris[n // 4: n // 2, :, 0] = np.round(tris[n // 4: n // 2, :1, 0])
    tris += offset
    normals = np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])
    normals /= np.maximum(np.linalg.norm(normals, axis=1, keepdims=True), 1e-300)
    return tris, normals


@pytest.mark.parametrize("offset", [0.0, 1e6])
def test_scan_equals_reference(tmp_path, offset):
    rng = np.random.default_rng(7)
    tris, normals = random_scene(rng, 60, offset)
    tris[5, 1] = [np.nan, 0, 0]
    tris[6, 2] = [np.inf, 1, 2]
    for alt, az in [(90, 0), (0, 90), (37, 211), (15, 45)]:
        d = sun(alt, az)
        avg, illum = occlusion_scan(tris[:20], normals[:20], tris, d)
        ref_avg, ref_illum = reference_scan(tris[:20], normals[:20], tris, d, list(range(20)))
        assert illum.dtype == np.float64 and illum.shape == (20,)
        assert list(illum) == list(ref_illum) and avg == ref_avg


def test_calculate_shadow_equals_reference_and_is_repeatable(tmp_path):
    rng = np.random.default_rng(3)
    tris, normals = random_scene(rng, 50)
    lines = []
    for s in range(5):
        lines += solid(f"s{s}", [(normals[k], tris[k]) for k in range(10 * s, 10 * s + 10)])
    path = write(tmp_path, [l.replace("[", "").replace("]", "") for l in lines])
    d_tris = np.array([np.array(f) for v in read_stl_with_solids(path).values() for f in v[0]])
    for alt, az in [(45, 135), (75, 300)]:
        res, vals = calculate_shadow(path, ["s3", "s1"], alt, az)
        again = calculate_shadow(path, ["s3", "s1"], alt, az)
        assert again == (res, vals)
        for name, first in [("s3", 30), ("s1", 10)]:
            v, n = read_stl_with_solids(path)[name]
            ref_avg, ref_illum = reference_scan(np.array(v), np.array(n), d_tris, sun(alt, az),
                                                list(range(first, first + 10)))
            assert res[name] == ref_avg
        assert vals == list(reference_scan(np.array(read_stl_with_solids(path)["s3"][0]),
                                           np.array(read_stl_with_solids(path)["s3"][1]), d_tris, sun(alt, az),
                                           list(range(30, 40)))[1]) + vals[10:]


def test_georeferenced_face_never_shadows_itself():
    rng = np.random.default_rng(11)
    tris, normals = random_scene(rng, 200, offset=np.array([3.1e6, 5.7e6, 120.0]), scale=3.0)
    for alt, az in [(10, 20), (60, 200)]:
        d = sun(alt, az)
        for k in range(0, 200, 7):
            _, illum = occlusion_scan(tris[k:k + 1], normals[k:k + 1], tris[k:k + 1], d)
            assert illum[0] == max(dot3(normals[k], d), 0.0) or dot3(normals[k], d) <= 0


def test_model_cache_notices_changes(tmp_path, capsys):
    path = write(tmp_path, solid("g", square(0)) + solid("r", square(1)))
    assert calculate_shadow(path, ["g"], 90, 0)[0]["g"] == 0.0
    write(tmp_path, solid("g", square(0)) + solid("r", square(-1)))
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
    assert calculate_shadow(path, ["g"], 90, 0)[0]["g"] == pytest.approx(1.0)
    os.remove(path)
    assert calculate_shadow(path, [], 90, 0) == ({}, [])
    assert capsys.readouterr().out == f"错误：未找到文件 {path}\n"


def test_occlusion_scan_argument_checks():
    good = np.zeros((1, 3, 3)), np.zeros((1, 3)), np.ones((2, 3, 3)), np.array([0.0, 0.0, 1.0])
    for i, bad in enumerate([[[0]], None, (1, 2), 3]):
        args = list(good)
        args[i] = bad
        with pytest.raises(TypeError):
            occlusion_scan(*args)
    for i, bad in enumerate([np.zeros((1, 3, 3), np.float32), np.zeros(3), np.zeros((2, 3)), np.zeros((3, 1))]):
        args = list(good)
        args[i] = bad
        with pytest.raises(ValueError):
            occlusion_scan(*args)
    with pytest.raises(ValueError):
        occlusion_scan(good[0], good[1], np.zeros((0, 3, 3)), good[3])
    avg, illum = occlusion_scan(np.zeros((0, 3, 3)), np.zeros((0, 3)), good[2], good[3])
    assert avg == 0.0 and illum.shape == (0,)
    avg, illum = occlusion_scan(current_solid_vertices=np.asfortranarray(good[2]),
                                current_solid_normals=np.array([[0, 0, 1.0], [0, 0, 1.0]]),
                                all_solid_vertices=good[2], sun_direction=good[3])
    # Degenerate faces are lit but weigh nothing.
    assert avg == 0.0 and list(illum) == [1.0, 1.0]


def test_path_forms_and_keyword_arguments(tmp_path):
    import pathlib

    path = write(tmp_path, solid("g", square(0)) + solid("r", square(1)))
    expected = calculate_shadow(path, ["g", "r"], 90, 0)
    assert calculate_shadow(pathlib.Path(path), ["g", "r"], 90, 0) == expected
    assert calculate_shadow(os.fsencode(path), ("g", "r"), 90.0, 0) == expected
    assert calculate_shadow(stl_file_path=path, surface_analyze=iter(["g", "r"]), sun_altitude=90,
                            sun_azimuth=0) == expected
    assert list(read_stl_with_solids(stl_file_path=pathlib.Path(path))) == ["g", "r"]
    assert list(stl_statistics(file_path=path)) == ["g", "r"]
    with pytest.raises(TypeError):
        stl_statistics(pathlib.Path(path))
    with pytest.raises(TypeError):
        calculate_shadow(path, ["g"], 90)

"""Odd models: repeated solid names, non-finite coordinates and normals,
surfaces without usable facets. Every triangle with a place in space casts
shade, the run says what it did, and a surface that cannot be analysed stops
the run before any work."""
import math

import pytest

from quillmere import cli
from quillmere.shadow_calc.occlusion_scan import calculate_shadow

from demo_inputs import write_inputs


def solid(name, facets):
    lines = [f"solid {name}"]
    for normal, verts in facets:
        lines.append("facet normal %s %s %s" % tuple(normal))
        lines.append("outer loop")
        lines += ["vertex %s %s %s" % tuple(v) for v in verts]
        lines += ["endloop", "endfacet"]
    lines.append(f"endsolid {name}")
    return "\n".join(lines) + "\n"


def square(z, size=1.0, normal=(0, 0, 1), x0=0.0, y0=0.0):
    s = size
    return [(normal, [(x0, y0, z), (x0 + s, y0, z), (x0, y0 + s, z)]),
            (normal, [(x0 + s, y0, z), (x0 + s, y0 + s, z), (x0, y0 + s, z)])]


ROOF = solid("roof", square(0.0))
# A plate 1 m above the roof, and a second solid of the same name far away.
PLATE = solid("part", square(1.0, size=5.0, x0=-2.0, y0=-2.0))
ELSEWHERE = solid("part", square(1.0, size=1.0, x0=50.0))

PROJECT = '''\
period = [2025, 6, 20, 2025, 6, 21]
links = ["weather.rad2 -> pv.normal_rad", "weather.rad3 -> pv.diffuse_rad"]
[site]
latitude = 48.0
longitude = 16.0
time_zone = 1
[[modules]]
name = "weather"
type = "WaetherFeed"
file = "weather.epw"
[[modules]]
name = "h"
type = "SurfaceShadow"
model = "m.stl"
table = "t.csv"
method = "table"
surfaces = ["roof"]
[[modules]]
name = "pv"
type = "SunPanel"
shading = "h"
surface = "roof"
area = 1.0
efficiency = 0.2
diffuse = "isotropic"
'''


@pytest.fixture
def folder(tmp_path, monkeypatch):
    write_inputs(tmp_path, house=False)
    (tmp_path / "p.toml").write_text(PROJECT, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_every_solid_of_a_repeated_name_casts_shade_and_the_run_says_so(folder, capsys):
    model = folder / "m.stl"
    model.write_text(ROOF + PLATE + ELSEWHERE, encoding="utf-8")
    # The plate is replaced as the surface "part" by the later solid of that name, yet it shades the roof.
    assert calculate_shadow(str(model), ["roof"], 90, 0)[0]["roof"] == 0.0
    model.write_text(ROOF + ELSEWHERE, encoding="utf-8")
    assert calculate_shadow(str(model), ["roof"], 90, 0)[0]["roof"] == 1.0
    energy = {}
    for case, text in (("same", ROOF + PLATE + ELSEWHERE), ("distinct", ROOF + PLATE + ELSEWHERE.replace("part", "far")),
                       ("no plate", ROOF + ELSEWHERE)):
        model.write_text(text, encoding="utf-8")
        assert cli.main(["run", "p.toml"]) == 0
        out = capsys.readouterr().out
        lines = [x for x in out.splitlines() if "同名实体" in x]
        energy[case] = [x for x in out.splitlines() if x.startswith("发电模块 pv")][0]
        if case == "same":
            assert len(lines) == 1 and '"part"（2 次）' in lines[0] and "仍参与遮挡" in lines[0] and "m.stl" in lines[0]
        else:
            assert not lines
    # Every triangle shades as it would under distinct names.
    assert energy["same"] == energy["distinct"] != energy["no plate"]


def test_non_finite_coordinates_and_normals_are_reported_and_left_out(folder, capsys):
    model = folder / "m.stl"
    finite = ROOF + solid("extra", square(-5.0))
    model.write_text(finite, encoding="utf-8")
    base = calculate_shadow(str(model), ["roof"], 40, 180)[0]["roof"]
    assert base == pytest.approx(math.sin(math.radians(40)))
    # One more roof facet with a NaN vertex, one with a NaN normal: the finite answer stays.
    odd = solid("roof", square(0.0) + [((0, 0, 1), [(0, 0, 0), ("nan", 0, 0), (0, 1, 0)])] +
                [(("nan", "nan", "nan"), [(0, 0, 0.0), (1, 0, 0.0), (0, 1, 0.0)])])
    model.write_text(odd + solid("extra", square(-5.0)), encoding="utf-8")
    assert calculate_shadow(str(model), ["roof"], 40, 180)[0]["roof"] == pytest.approx(base)
    assert cli.main(["run", "p.toml"]) == 0
    out = capsys.readouterr().out
    warned = [x for x in out.splitlines() if x.startswith("警告：") and "roof" in x]
    assert len(warned) == 2, out
    assert any("1/4 个面片的顶点坐标不是有限数" in x and "已略去" in x for x in warned)
    assert any("1/4 个面片的法向量不是有限数" in x for x in warned)
    energy = [x for x in out.splitlines() if x.startswith("发电模块 pv")][0]
    model.write_text(finite, encoding="utf-8")
    (folder / "t.csv").unlink()
    assert cli.main(["run", "p.toml"]) == 0
    assert [x for x in capsys.readouterr().out.splitlines() if x.startswith("发电模块 pv")][0] == energy


@pytest.mark.parametrize("roof", [
    "solid roof\ncolor 1 1 1\nendsolid roof\n",                                        # no facets at all
    solid("roof", [((0, 0, 1), [(0, 0, 1), (0, 0, 1), (0, 0, 1)])]),                  # zero area only
    solid("roof", [((0, 0, 1), [("inf", 0, 0), (1, 0, 0), (0, 1, 0)])]),              # no finite facet
])
def test_a_surface_without_usable_facets_stops_before_any_work(folder, capsys, roof):
    (folder / "m.stl").write_text(roof + PLATE, encoding="utf-8")
    assert cli.main(["run", "p.toml", "--regenerate-shading"]) == 1
    err, = [x for x in capsys.readouterr().out.splitlines() if x.startswith("错误：")]
    assert "modules[1](h).surfaces[0]" in err and '"roof"' in err and "没有可分析的面片" in err
    assert "regenerate" not in err and "阴影表" not in err
    assert not (folder / "t.csv").exists()


@pytest.mark.parametrize("method", ["table", "exact"])
def test_an_object_beyond_the_largest_coordinate_is_refused_not_silently_shadeless(folder, capsys, method):
    model = folder / "m.stl"
    # A plate above the roof reaching 1e30 m casts its shade; the same plate reaching 1e300 m would cast none
    # (the intersection products overflow): it is refused, naming the file, the solid and the count.
    model.write_text(ROOF + solid("part", square(1.0, size=2e30, x0=-1e30, y0=-1e30)), encoding="utf-8")
    assert calculate_shadow(str(model), ["roof"], 40, 180)[0]["roof"] == 0.0
    model.write_text(ROOF + solid("part", square(1.0, size=2e300, x0=-1e300, y0=-1e300)), encoding="utf-8")
    with pytest.raises(ValueError) as info:
        calculate_shadow(str(model), ["roof"], 40, 180)
    assert "m.stl" in str(info.value) and '实体 "part"（2 个面片）' in str(info.value) and "1e+100" in str(info.value)
    project = (folder / "p.toml").read_text(encoding="utf-8").replace('method = "table"', f'method = "{method}"')
    (folder / "q.toml").write_text(project, encoding="utf-8")
    assert cli.main(["run", "q.toml"]) == 1
    err, = [x for x in capsys.readouterr().out.splitlines() if x.startswith("错误：")]
    assert "m.stl" in err and '实体 "part"（2 个面片）' in err and "坐标绝对值超过 1e+100" in err, err
    assert not (folder / "t.csv").exists() and not (folder / "t.exact.csv").exists()

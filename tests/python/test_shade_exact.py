"""The project shading module (ExactShadowModule) and panel (TimedSunPanelModule) driven directly:
exact factors, free-step tables, subdivision, fingerprints of generated files, sun time."""
import math
import os

import numpy as np
import pandas as pd
import pytest

from quillmere.components.shade_exact import ExactShadowModule, cos_table_positions, write_cos_table
from quillmere.components.shade_group import SurfaceShadowModule
from quillmere.components.sunpanel_module import SunPanelModule
from quillmere.components.sunpanel_timed import TimedSunPanelModule
from quillmere.core.sim_clock import SimClock
from quillmere.core.util import calculate_sun_position
from quillmere.shadow_calc.occlusion_scan import calculate_shadow

from shading_models import courtyard_model, quad, write_solids

SITE = {"latitude": 48.21, "longitude": 16.37, "time_zone": 1}


def clock(period=(2025, 1, 1, 2025, 12, 31), step=3600.0):
    c = SimClock(0.0, step)
    c.set_period({"params": list(period)})
    return c


def shading(stl, table, surfaces, method="exact", grid=None, resolution=0.0):
    unit = ExactShadowModule("house")
    unit.in_file_params = [str(stl), str(table), method, grid, resolution, *surfaces]
    return unit


def test_exact_factors_are_the_geometry_librarys_at_every_step(tmp_path, capsys):
    stl = courtyard_model(tmp_path / "c.stl")
    unit = shading(stl, tmp_path / "s" / "t.csv", ["roof_shaded", "roof_free"])
    unit.awake({"modules": {}, "site": dict(SITE, sun_time="middle"), "clock": clock((2025, 1, 1, 2025, 1, 31))})
    out = capsys.readouterr().out
    assert "开始精确阴影计算：" in out and "精确阴影计算结束" in out
    f = unit.sun_factors()
    assert 200 < len(f["altitude"]) < 31 * 12  # January's hours with the sun up
    assert (f["altitude"] > 0).all()
    for i in range(len(f["altitude"])):
        alt, az = f["altitude"][i], f["azimuth"][i]
        ref = calculate_shadow(str(stl), ["roof_shaded", "roof_free"], alt, az)[0]
        for name in ("roof_shaded", "roof_free"):
            assert f["factors"][name][i] == ref[name]  # to the last bit
            assert unit.get_cos_value(name, alt, az) == ref[name]
    assert f["factors"]["roof_shaded"].min() == 0.0  # January noon: in the tower's shadow
    # Positions that are not a step's: cast when asked, the same answer as the library.
    for alt, az in ((33.3, 181.0), (-4.0, 90.0), (90.0, 0.0)):
        assert unit.get_cos_value("roof_free", alt, az) == calculate_shadow(str(stl), ["roof_free"], alt, az)[0]["roof_free"]
    assert unit.get_cos_value("roof_nrth", 30.0, 180.0) == -1.0
    assert capsys.readouterr().out == "错误：未找到 roof_nrth 的插值函数。\n"


def test_a_sun_above_75_degrees_lights_an_unshaded_roof(tmp_path):
    stl = courtyard_model(tmp_path / "c.stl")
    exact = shading(stl, tmp_path / "e.csv", ["roof_free"])
    exact.awake(None)
    fine = shading(stl, tmp_path / "g.csv", ["roof_free"], method="table", grid=[5, 5])
    fine.awake(None)
    specified = SurfaceShadowModule("old")
    specified.in_file_params = [str(stl), str(tmp_path / "o.csv"), "roof_free"]
    specified.awake(None)
    for alt in (78.0, 82.5, 89.0, 90.0):
        assert exact.get_cos_value("roof_free", alt, 180.0) == pytest.approx(math.sin(math.radians(alt)), abs=1e-12)
        assert fine.get_cos_value("roof_free", alt, 180.0) == pytest.approx(math.sin(math.radians(alt)), abs=2e-3)
        assert specified.get_cos_value("roof_free", alt, 180.0) == 0.0  # the 54-point table stops at 75
    grid = pd.read_csv(tmp_path / "g.csv")
    assert sorted(grid["高度角"].unique()) == list(range(0, 91, 5))
    assert sorted(grid["方位角"].unique()) == list(range(0, 361, 5))


def test_default_table_is_the_54_point_table_byte_for_byte(tmp_path):
    stl = courtyard_model(tmp_path / "c.stl")
    specified = SurfaceShadowModule("old")
    specified.in_file_params = [str(stl), str(tmp_path / "old.csv"), "roof_shaded", "wall_south", "roof_shaded"]
    specified.awake(None)
    ours = shading(stl, tmp_path / "new.csv", ["roof_shaded", "wall_south", "roof_shaded"], method="table")
    ours.awake(None)
    assert (tmp_path / "new.csv").read_bytes() == (tmp_path / "old.csv").read_bytes()
    for alt, az in ((10.0, 170.0), (44.9, 359.0), (75.0, 360.0), (80.0, 180.0), (-1.0, 10.0)):
        for s in ("roof_shaded", "wall_south"):
            assert ours.get_cos_value(s, alt, az) == specified.get_cos_value(s, alt, az)


def test_a_table_cast_elsewhere_is_written_as_the_module_writes_its_own(tmp_path, capsys):
    stl = courtyard_model(tmp_path / "c.stl")
    surfaces = ["roof_shaded", "wall_south", "roof_shaded"]
    own = shading(stl, tmp_path / "own.csv", surfaces, method="table")
    own.awake(None)
    positions = cos_table_positions()
    assert len(positions) == 54 and positions[0] == (0.0, 0.0) and positions[1] == (0.0, 45.0)
    assert positions[-1] == (75.0, 360.0)
    factors = []
    for alt, az in positions:
        ref = calculate_shadow(str(stl), surfaces, alt, az)[0]
        factors.append([ref[s] for s in ("roof_shaded", "wall_south")])
    out = tmp_path / "cast.csv"
    write_cos_table(str(stl), surfaces, str(out), factors)
    assert out.read_bytes() == (tmp_path / "own.csv").read_bytes()
    assert (tmp_path / "cast.csv.fingerprint").read_bytes() == (tmp_path / "own.csv.fingerprint").read_bytes()
    # The module finds the table fresh: used silently, not recomputed.
    capsys.readouterr()
    shading(stl, out, surfaces, method="table").awake(None)
    assert capsys.readouterr().out == ""
    # Refused before anything is written: the model as output, rows or values that do not fit.
    before = open(stl, "rb").read()
    with pytest.raises(ValueError, match="模型文件"):
        write_cos_table(str(stl), surfaces, str(stl), factors)
    assert open(stl, "rb").read() == before
    with pytest.raises(ValueError, match="54"):
        write_cos_table(str(stl), surfaces, str(out), factors[:-1])
    with pytest.raises(ValueError, match="2 个数值"):
        write_cos_table(str(stl), surfaces, str(out), [row + [0.5] for row in factors])
    assert out.read_bytes() == (tmp_path / "own.csv").read_bytes()


def test_subdivided_factors_agree_between_a_coarse_and_a_fine_mesh(tmp_path):
    # A 6 x 6 m roof behind a 10 m wall; the same roof as 2 and as 128 triangles.
    def model(path, cells):
        roof, wall = [], []
        w = 6.0 / cells
        for i in range(cells):
            for j in range(cells):
                quad(roof, (i * w, j * w, 0.0), ((i + 1) * w, j * w, 0.0), ((i + 1) * w, (j + 1) * w, 0.0),
                     (i * w, (j + 1) * w, 0.0))
        quad(wall, (-1.0, -0.5, 0.5), (7.0, -0.5, 0.5), (7.0, -0.5, 4.0), (-1.0, -0.5, 4.0))
        return write_solids(path, {"roof": roof, "wall": wall})

    coarse, fine = model(tmp_path / "a.stl", 1), model(tmp_path / "b.stl", 8)
    positions = [(45.0, 180.0), (50.0, 165.0), (40.0, 195.0)]
    results = {}
    for res in (0.0, 0.02):
        for name, stl in (("coarse", coarse), ("fine", fine)):
            unit = shading(stl, tmp_path / ("%s_%s.csv" % (name, res)), ["roof"], resolution=res)
            unit.awake(None)
            results[name, res] = [unit.get_cos_value("roof", a, z) for a, z in positions]
    for a, b in zip(results["coarse", 0.02], results["fine", 0.02]):
        assert a == pytest.approx(b, rel=0.005)
    # One ray per triangle: the two meshes disagree, the coarse roof is lit or dark as a whole.
    assert max(abs(a - b) for a, b in zip(results["coarse", 0.0], results["fine", 0.0])) > 0.05
    # Without subdivision the factors are the library's own.
    assert results["fine", 0.0][0] == calculate_shadow(fine, ["roof"], 45.0, 180.0)[0]["roof"]


def test_generated_tables_carry_a_fingerprint_and_stale_ones_are_regenerated(tmp_path, capsys):
    stl = courtyard_model(tmp_path / "c.stl")
    table = tmp_path / "t.csv"
    unit = shading(stl, table, ["roof_shaded"], method="table")
    unit.awake(None)
    fp = (tmp_path / "t.csv.fingerprint").read_text(encoding="utf-8")
    assert "model = sha256:" in fp and 'surfaces = "roof_shaded"' in fp
    first = table.read_bytes()
    capsys.readouterr()
    unit.awake(None)  # unchanged: used as it is, silently
    assert capsys.readouterr().out == ""
    # The neighbour goes: the model's content changes, the table is recomputed and says so in one line.
    text = open(stl, encoding="utf-8").read()
    for solid in ("tower", "wall_south"):
        start = text.index("solid " + solid + "\n")
        end = text.index("endsolid " + solid + "\n") + len("endsolid " + solid + "\n")
        text = text[:start] + text[end:]
    open(stl, "w", encoding="utf-8").write(text)
    unit.awake(None)
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "阴影表 %s 与其指纹不符（模型已改变），重新生成" % table
    assert lines[1:] == ["开始阴影分析, 输出结果 到 %s" % table, "阴影分析结束"]
    assert table.read_bytes() != first
    assert unit.get_cos_value("roof_shaded", 15.0, 180.0) > 0.2  # no tower, no shadow
    # Another surface list is another table.
    unit.in_file_params = [str(stl), str(table), "table", None, 0.0, "roof_shaded", "roof_free"]
    unit.awake(None)
    assert capsys.readouterr().out.splitlines()[0] == "阴影表 %s 与其指纹不符（表面列表已改变），重新生成" % table
    # A table made by hand (no fingerprint) is used as it is, with one line.
    hand = tmp_path / "hand.csv"
    hand.write_text("方位角,高度角,roof_shaded\n0,0,0.25\n360,0,0.25\n0,90,0.25\n360,90,0.25\n", encoding="utf-8")
    other = shading(stl, hand, ["roof_shaded"], method="table")
    other.awake(None)
    assert capsys.readouterr().out == "阴影表 %s 没有指纹文件（不是本程序生成的），未核对模型与表面，按原样使用\n" % hand
    assert other.get_cos_value("roof_shaded", 45.0, 180.0) == 0.25
    assert hand.read_text(encoding="utf-8").count("\n") == 5


def test_exact_factors_are_kept_for_the_next_run_under_their_fingerprint(tmp_path, capsys):
    stl = courtyard_model(tmp_path / "c.stl")
    table = tmp_path / "s" / "t.csv"
    state = {"modules": {}, "site": dict(SITE, sun_time="middle"), "clock": clock((2025, 3, 1, 2025, 3, 10))}
    unit = shading(stl, table, ["roof_shaded"])
    unit.awake(state)
    first = unit.sun_factors()
    assert os.path.isfile(tmp_path / "s" / "t.exact.csv")
    assert "sun_time = middle" in (tmp_path / "s" / "t.exact.csv.fingerprint").read_text(encoding="utf-8")
    capsys.readouterr()
    again = shading(stl, table, ["roof_shaded"])
    again.awake(state)
    assert capsys.readouterr().out == ""  # read back, nothing cast
    np.testing.assert_array_equal(again.sun_factors()["factors"]["roof_shaded"], first["factors"]["roof_shaded"])
    assert [again.get_cos_value("roof_shaded", a, z) for a, z in zip(first["altitude"], first["azimuth"])] == list(
        first["factors"]["roof_shaded"])
    # Another sun time is another set of positions: recomputed, with one line naming why.
    again.awake(dict(state, site=dict(SITE, sun_time="start")))
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "精确阴影系数 %s 与其指纹不符（太阳时刻已改变），重新计算" % (tmp_path / "s" / "t.exact.csv")
    assert out[1].startswith("开始精确阴影计算：")
    with pytest.raises(ValueError, match="sun_time"):
        again.awake(dict(state, site=dict(SITE, sun_time="noon")))


def test_options_are_checked(tmp_path):
    stl = courtyard_model(tmp_path / "c.stl")
    for method, grid, res, text in (("fast", None, 0.0, "method"), ("table", [0, 5], 0.0, "grid"),
                                    ("table", [5], 0.0, "grid"), ("exact", None, -1.0, "resolution"),
                                    ("table", [400, 5], 0.0, "grid")):
        unit = shading(stl, tmp_path / "t.csv", ["roof_free"], method, grid, res)
        with pytest.raises(ValueError, match=text):
            unit.awake(None)
    assert ExactShadowModule("x")._get_module_info()["name"] == "SurfaceShadow"
    assert issubclass(ExactShadowModule, SurfaceShadowModule)
    assert issubclass(TimedSunPanelModule, SunPanelModule)


def test_timed_panel_takes_the_sun_at_the_middle_of_the_weather_hour(tmp_path):
    stl = courtyard_model(tmp_path / "c.stl")
    shade = shading(stl, tmp_path / "t.csv", ["roof_free"])
    shade.awake(None)
    c = clock((2025, 6, 21, 2025, 6, 21))
    c.current_time += 9 * 3600  # 21 June 09:00
    results = {}
    for cls, sun_time in ((SunPanelModule, None), (TimedSunPanelModule, "start"), (TimedSunPanelModule, "middle")):
        pv = cls("pv")
        pv.in_file_params = ["house", "roof_free", 20.0, 0.2, 800.0, 100.0, 0.2]
        site = dict(SITE) if sun_time is None else dict(SITE, sun_time=sun_time)
        state = {"modules": {"house": shade}, "site": site}
        pv.awake(state)
        pv.update(c, state)
        results[sun_time] = {k: v["value"] for k, v in pv.outputs.items()}
    assert results["start"] == results[None]  # "start" is the panel module itself
    h, az = calculate_sun_position(16.37, 48.21, 1, (2025, 6, 21, 9, 30, 0))
    assert results["middle"]["height_angle"] == h and results["middle"]["azimuth_angle"] == az
    assert results["middle"]["cos"] == calculate_shadow(stl, ["roof_free"], h, az)[0]["roof_free"]
    assert results["middle"]["energy"] == results["middle"]["power"]  # one hour
    assert c.current_time == (171 * 24 + 9) * 3600.0  # the run's clock is not moved


# ----------------------------------------------------------------- through the run manager

def demo_project(tmp_path, shading_keys="", site_keys=""):
    from quillmere import cli

    folder = tmp_path / "demo"
    project = cli.write_demo(str(folder), 48.21, 16.37, 1)
    text = open(project, encoding="utf-8").read()
    text = text.replace('surfaces = ["roof_south_east", "roof_south_west", "roof_north"]',
                        'surfaces = ["roof_south_east", "roof_south_west", "roof_north"]\n' + shading_keys)
    text = text.replace("time_zone = 1\n", "time_zone = 1\n" + site_keys)
    text = text.replace("period", "period") + ""
    open(project, "w", encoding="utf-8").write("period = [2025, 6, 1, 2025, 6, 30]\n" + text)
    return folder, project


def run(project):
    from quillmere.core.manager import Manager

    m = Manager(project)
    m.quiet = False  # status lines too (quiet shows errors only)
    return m, m.run_simulation()


def test_a_run_in_exact_mode_casts_every_steps_sun(tmp_path, capsys):
    folder, project = demo_project(tmp_path)
    m, res = run(project)
    stl = str(folder / "house.stl")
    lit = res[res["weather.rad2"] > 0]
    assert len(lit) > 300
    for pv, surface in (("pv_east", "roof_south_east"), ("pv_west", "roof_south_west")):
        for h, az, cos in zip(lit[pv + ".height_angle"], lit[pv + ".azimuth_angle"], lit[pv + ".cos"]):
            assert cos == calculate_shadow(stl, [surface], h, az)[0][surface]
    # The sun of a step is at the middle of the hour its weather row describes.
    row, t = res.iloc[10], res.index[10]
    assert (row["pv_east.height_angle"], row["pv_east.azimuth_angle"]) == calculate_sun_position(
        16.37, 48.21, 1, (t.year, t.month, t.day, t.hour, 30, 0))
    assert os.path.isfile(folder / "shading" / "cos_table.exact.csv")


def test_table_method_with_start_sun_reproduces_the_specified_modules_exactly(tmp_path):
    # The sun at the start of the hour, the isotropic sky and the ground reflecting the diffuse
    # light (projects default to "middle", "perez" and "global").
    folder, project = demo_project(tmp_path, 'method = "table"\n', 'sun_time = "start"\ntransposition_model = "isotropic"\n'
                                   'ground_reflection = "diffuse"\n')
    # Isotropic diffuse, the specified panel module's sky model (projects default to "shaded").
    text = open(project, encoding="utf-8").read()
    for surface in ("roof_south_east", "roof_south_west"):
        text = text.replace('surface = "%s"\n' % surface, 'surface = "%s"\ndiffuse = "isotropic"\n' % surface)
    open(project, "w", encoding="utf-8").write(text)
    _, ours = run(project)
    # The same project with the specified module types, named as user classes.
    text = open(project, encoding="utf-8").read()
    text = text.replace('type = "SurfaceShadow"\nmodel = "house.stl"\ntable = "shading/cos_table.csv"     '
                        '# computed on the first run, reused afterwards\n'
                        'surfaces = ["roof_south_east", "roof_south_west", "roof_north"]\nmethod = "table"\n',
                        'type = "quillmere.components.shade_group:SurfaceShadowModule"\n'
                        'params = ["house.stl", "shading/old.csv", "roof_south_east", "roof_south_west", "roof_north"]\n')
    for pv, surface in (("pv_east", "roof_south_east"), ("pv_west", "roof_south_west")):
        text = text.replace('name = "%s"\ntype = "SunPanel"\nshading = "house"\nsurface = "%s"\n' % (pv, surface),
                            'name = "%s"\ntype = "quillmere.components.sunpanel_module:SunPanelModule"\n'
                            'params = ["house", "%s", 20.0, 0.2, 800.0, 100.0, 0.2]\n' % (pv, surface))
    text = text.replace("area = 20.0                         # m2 of modules\nefficiency = 0.2\n", "")
    text = text.replace("area = 20.0\nefficiency = 0.2\n", "")
    text = text.replace('diffuse = "isotropic"\n', "")
    old_project = folder / "old.toml"
    old_project.write_text(text, encoding="utf-8")
    _, theirs = run(str(old_project))
    assert "SurfaceShadowModule" in text and text.count("SunPanelModule") == 2
    pd.testing.assert_frame_equal(ours, theirs, check_exact=True)
    assert (folder / "shading" / "cos_table.csv").read_bytes() == (folder / "shading" / "old.csv").read_bytes()


def test_shading_and_site_keys_are_checked(tmp_path):
    from quillmere.core.manager import ProjectError

    for keys, site, text in (('method = "fast"\n', "", "method"), ("grid = [0, 5]\n", "", "grid[0]"),
                             ("grid = [5]\n", "", "grid"), ("resolution = 0\n", "", "resolution"),
                             ("", 'sun_time = "noon"\n', "site.sun_time")):
        _, project = demo_project(tmp_path / text.replace("[", "_").replace("]", ""), keys, site)
        with pytest.raises(ProjectError, match="键 modules\\[1\\]\\(house\\)\\.%s|键 %s" % (text.replace("[", "\\[").replace("]", "\\]"), text)):
            run(project)


def test_regenerate_recomputes_the_exact_factors_too(tmp_path, capsys):
    from quillmere import cli

    folder, project = demo_project(tmp_path)
    assert cli.main(["run", project, "--quiet"]) == 0
    exact = folder / "shading" / "cos_table.exact.csv"
    exact.write_text("altitude,azimuth,roof_south_east\n", encoding="utf-8")
    capsys.readouterr()
    assert cli.main(["run", project, "--regenerate-shading", "-o", str(tmp_path / "r.csv")]) == 0
    out = capsys.readouterr().out
    assert "将重新生成阴影表（完成后替换原表）: " + str(folder / "shading" / "cos_table.csv") in out
    assert "开始精确阴影计算：" in out
    assert len(exact.read_text(encoding="utf-8").splitlines()) > 300


def test_shade_command_takes_free_steps(tmp_path, capsys):
    from quillmere import cli
    from quillmere.core import demo

    stl = tmp_path / "h.stl"
    stl.write_text(demo.house_stl(2), encoding="utf-8")
    out = tmp_path / "t.csv"
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(out), "--azimuth-step", "10",
                     "--altitude-step", "7.5"]) == 0
    table = pd.read_csv(out)
    assert len(table) == 37 * 13
    assert table["高度角"].max() == 90 and table["方位角"].max() == 360
    assert "grid = 10, 7.5" in (tmp_path / "t.csv.fingerprint").read_text(encoding="utf-8")
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(out), "--altitude-step", "5"]) == 0
    assert len(pd.read_csv(out)) == 9 * 19  # the other step stays 45
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(out)]) == 0
    assert len(pd.read_csv(out)) == 54
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(out), "--azimuth-step", "0"]) == 1
    assert "错误：grid: 方位角步长应为 0 到 360 度之间的正数" in capsys.readouterr().out


def test_declared_ranges_are_checked(tmp_path):
    from quillmere.core.manager import ProjectError

    _, project = demo_project(tmp_path)
    text = open(project, encoding="utf-8").read()
    open(project, "w", encoding="utf-8").write(text.replace("efficiency = 0.2\n", "efficiency = 20\n", 1))
    with pytest.raises(ProjectError, match=r"键 modules\[2\]\(pv_east\)\.efficiency: 应在 \(0, 1\] 之内，实际为 20"):
        run(project)


def test_report_maps_show_the_exact_factors_of_the_sunny_hours(tmp_path):
    pytest.importorskip("matplotlib")
    from quillmere import report

    _, project = demo_project(tmp_path)
    m, res = run(project)
    maps = report._exact_maps(m.modules)
    assert [t for t, _ in maps] == ["house: %s (exact, hours with sun)" % s
                                    for s in ("roof_south_east", "roof_south_west", "roof_north")]
    az, alt, values = maps[0][1]
    assert len(az) == len(alt) == len(values) > 300 and (alt > 0).all()
    out = report.make_report(res, m.project, m.summary, str(tmp_path / "r.png"), m.modules)
    assert os.path.getsize(out) > 10000


def test_host_subclasses_keep_the_exact_lookup_and_reach_their_redefinitions(tmp_path):
    # A panel asks its shading module from native code: a host subclass without a redefinition
    # answers with the exact factor, one with a redefinition with its own value.
    stl = courtyard_model(tmp_path / "c.stl")

    class Plain(ExactShadowModule):
        pass

    class Fixed(ExactShadowModule):
        def get_cos_value(self, solid_name, altitude, azimuth):
            return 0.25

    noon = clock((2025, 6, 1, 2025, 6, 1))
    noon.current_time = (151 * 24 + 11) * 3600.0
    for cls in (Plain, Fixed):
        unit = cls("house")
        unit.in_file_params = [str(stl), str(tmp_path / cls.__name__ / "t.csv"), "exact", None, 0.0, "roof_free"]
        unit.awake({"modules": {}, "site": dict(SITE), "clock": clock((2025, 6, 1, 2025, 6, 1))})
        pv = SunPanelModule("pv")
        pv.in_file_params = ["house", "roof_free", 1.0, 0.2, 800.0, 100.0, 0.2]
        pv.awake({"modules": {"house": unit}})
        pv.update(noon, {"site": dict(SITE)})
        alt, az = pv.outputs["height_angle"]["value"], pv.outputs["azimuth_angle"]["value"]
        expected = 0.25 if cls is Fixed else calculate_shadow(str(stl), ["roof_free"], alt, az)[0]["roof_free"]
        assert alt > 30 and pv.outputs["cos"]["value"] == expected > 0

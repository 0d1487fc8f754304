"""Sky and ground views of analysed surfaces and the PV diffuse key: views
against the analytic value, caching under the fingerprint rule, shaded against
isotropic diffuse on a run, the report's sky views, and demo --weather."""
import os

import pandas as pd
import pytest

from quillmere import cli

pytest.importorskip("quillmere.components.shade_exact")


def demo_project(tmp_path, panel_keys=""):
    folder = tmp_path / "demo"
    project = cli.write_demo(str(folder), 48.21, 16.37, 1)
    text = open(project, encoding="utf-8").read()
    for surface in ("roof_south_east", "roof_south_west"):
        text = text.replace('surface = "%s"\n' % surface, 'surface = "%s"\n%s' % (surface, panel_keys))
    open(project, "w", encoding="utf-8").write("period = [2025, 3, 1, 2025, 3, 31]\n" + text)
    return folder, project


def run(project):
    from quillmere.core.manager import Manager

    m = Manager(project)
    m.quiet = False  # status lines too (quiet shows errors only)
    return m, m.run_simulation()


def test_views_of_the_demo_roofs_computed_once_and_kept(tmp_path, capsys):
    folder, project = demo_project(tmp_path)
    m, shaded = run(project)
    out = capsys.readouterr().out
    assert out.count("开始计算天空视角系数") == 1
    views = m.modules["house"].sky_views()
    assert sorted(views) == ["roof_north", "roof_south_east", "roof_south_west"]
    # The north roof (36.87 deg) sees the sky past nothing: the isotropic 0.9 and 0.1.
    assert views["roof_north"][0] == pytest.approx(0.9, abs=0.002)
    assert views["roof_north"][1] == pytest.approx(0.1, abs=0.002)
    for surface in ("roof_south_east", "roof_south_west"):
        sky, ground = views[surface]
        assert 0.75 < sky < 0.88  # the tower and the tree block take some sky
        assert ground <= 0.1 + 0.002
        assert m.modules["pv_east" if surface.endswith("east") else "pv_west"].sky_view == sky
    file = folder / "shading" / "cos_table.views.csv"
    assert file.is_file() and (folder / "shading" / "cos_table.views.csv.fingerprint").is_file()

    # A rerun reads the kept views; a changed surface list computes them again.
    m2, again = run(project)
    assert "开始计算天空视角系数" not in capsys.readouterr().out
    assert m2.modules["house"].sky_views() == views
    pd.testing.assert_frame_equal(shaded, again, check_exact=True)
    text = open(project, encoding="utf-8").read().replace('"roof_north"]', '"roof_north", "wall_south"]')
    open(project, "w", encoding="utf-8").write(text)
    m3, _ = run(project)
    out = capsys.readouterr().out
    assert "cos_table.views.csv 与其指纹不符（表面列表已改变）" in out
    wall = m3.modules["house"].sky_views()["wall_south"]
    assert wall[0] < 0.5 - 0.05 and wall[1] < 0.5  # the neighbours stand in front of the south wall


def panel_module_light(project):
    """The site's light as the panel module has it: isotropic sky, ground reflecting diffuse light."""
    text = open(project, encoding="utf-8").read()
    text = text.replace("time_zone = 1\n", 'time_zone = 1\ntransposition_model = "isotropic"\nground_reflection = "diffuse"\n')
    open(project, "w", encoding="utf-8").write(text)
    return project


def test_shaded_diffuse_uses_the_views_and_isotropic_the_tilt(tmp_path):
    project_s = panel_module_light(demo_project(tmp_path / "s")[1])
    project_i = panel_module_light(demo_project(tmp_path / "i", 'diffuse = "isotropic"\n')[1])
    ms, shaded = run(project_s)
    mi, iso = run(project_i)
    assert mi.modules["pv_east"].sky_view is None and mi.modules["pv_east"].diffuse == "isotropic"
    # Same direct part; the difference is the diffuse light the neighbours hide:
    # area * efficiency * DHI * ((0.9 - sky) + albedo (0.1 - ground)) per step.
    from quillmere.components.weather_feed import WeatherFeed  # noqa: F401  (the weather the run used)

    epw = pd.read_csv(tmp_path / "s" / "demo" / "weather.epw", skiprows=8, header=None)
    march = epw[(epw[1] == 3)][15].to_numpy(dtype=float)  # diffuse horizontal of the run's steps
    for pv, surface in (("pv_east", "roof_south_east"), ("pv_west", "roof_south_west")):
        sky, ground = ms.modules["house"].sky_views()[surface]
        diff = (iso["%s.power" % pv] - shaded["%s.power" % pv]).to_numpy()
        expected = 20.0 * 0.2 * march[: len(diff)] * ((0.9 - sky) + 0.2 * (0.1 - ground)) / 1000.0
        assert diff == pytest.approx(expected, rel=1e-6, abs=1e-9)
        assert shaded["%s.energy" % pv].iloc[-1] < iso["%s.energy" % pv].iloc[-1]


def test_diffuse_key_is_checked(tmp_path):
    from quillmere.core.manager import ProjectError

    _, project = demo_project(tmp_path, 'diffuse = "dark"\n')
    with pytest.raises(ProjectError, match=r"modules\[2\]\(pv_east\)\.diffuse"):
        run(project)


def test_report_titles_carry_the_sky_view(tmp_path):
    pytest.importorskip("matplotlib")
    from quillmere import report

    _, project = demo_project(tmp_path)
    m, _ = run(project)
    views = report.sky_views(m.modules)
    assert set(views) == {("house", s) for s in ("roof_south_east", "roof_south_west", "roof_north")}


def test_demo_on_a_weather_file(tmp_path, capsys):
    from quillmere.core import demo

    epw = tmp_path / "elsewhere.epw"
    epw.write_text(demo.cloudy_epw(52.3, 4.77, 1, 2025).replace("Demo site", "Other site", 1), encoding="utf-8")
    folder = tmp_path / "d"
    assert cli.main(["demo", str(folder), "--weather", str(epw), "--no-plot", "--quiet"]) == 0
    assert (folder / "weather.epw").read_bytes() == epw.read_bytes()
    import tomllib

    with open(folder / "project.toml", "rb") as f:
        site = tomllib.load(f)["site"]
    assert site == {"latitude": 52.3, "longitude": 4.77, "time_zone": 1}
    assert len(pd.read_csv(folder / "results.csv")) == 8760

    bad = tmp_path / "bad.epw"
    bad.write_text("not a weather file\n", encoding="utf-8")
    capsys.readouterr()
    assert cli.main(["demo", str(tmp_path / "e"), "--weather", str(bad), "--no-plot"]) == 1
    assert "LOCATION" in capsys.readouterr().out
    assert cli.main(["demo", str(tmp_path / "e"), "--weather", str(tmp_path / "none.epw")]) == 1


def test_demo_weather_has_clouds():
    from quillmere.core import demo

    text = demo.cloudy_epw(48.21, 16.37, 1)
    assert text == demo.cloudy_epw(48.21, 16.37, 1)
    rows = pd.read_csv(pd.io.common.StringIO(text), skiprows=8, header=None)
    ghi, dhi = rows[13].sum() / 1000, rows[15].sum() / 1000
    assert 1050 < ghi < 1300 and 0.4 < dhi / ghi < 0.6
    with pytest.raises(ValueError):
        demo.cloudy_epw(91.0, 0.0, 0)

"""The report's figures come from the module declarations of a real run."""
import pytest

from quillmere import cli
from quillmere.core.manager import Manager, load_project


def test_heading_and_irradiation_read_the_declared_files(tmp_path, monkeypatch):
    # imported here, not at collection: other tests import the package without matplotlib
    report = pytest.importorskip("quillmere.report")
    monkeypatch.chdir(tmp_path)
    assert cli.main(["demo", "d", "--no-plot", "--quiet"]) == 0
    m = Manager(str(tmp_path / "d" / "project.toml"))
    m.quiet = True
    m.run_simulation()
    facts = report.run_facts(m.results, m.project, m.summary)
    assert any(line.startswith("Weather file: ") and line.endswith("weather.epw") for line in facts)
    irr = report.direct_irradiation(m.results, m.project)
    # every analysed surface of the shading module, with sun on it
    assert set(irr) == {("house", s) for s in ("roof_south_east", "roof_south_west", "roof_north")}
    assert all(v > 0 for v in irr.values())


def _demo_run(tmp_path, monkeypatch, **house):
    monkeypatch.chdir(tmp_path)
    if not (tmp_path / "d").exists():
        assert cli.main(["demo", "d", "--no-plot", "--quiet"]) == 0
    p = load_project(str(tmp_path / "d" / "project.toml"))
    p["period"] = [2025, 4, 10, 2025, 4, 23]  # spring: the tower shades the east roof, sun on the north roof
    p["output"] = {}
    p["modules"][1].update(house, table="shading/t-%s.csv" % "-".join(map(str, house.values())))
    m = Manager(p)
    m.quiet = True
    m.run_simulation()
    return m


def test_irradiation_is_the_sum_over_the_runs_exact_factors(tmp_path, monkeypatch, capsys):
    report = pytest.importorskip("quillmere.report")
    # subdivided analysed triangles: the run's factors differ from calculate_shadow's on the model's own
    m = _demo_run(tmp_path, monkeypatch, resolution=1.0)
    res, house = m.results, m.modules["house"]
    capsys.readouterr()
    drawn = {}
    real = report.direct_irradiation

    def spy(*args, **kwargs):
        drawn.update(real(*args, **kwargs))
        return drawn

    monkeypatch.setattr(report, "direct_irradiation", spy)
    report.make_report(res, m.project, m.summary, str(tmp_path / "r.png"), m.modules)
    assert capsys.readouterr().out == ""  # an exact run needs no fallback
    lit = (res["pv_east.height_angle"] > 0) & (res["weather.rad2"] > 0)
    beam = res["weather.rad2"][lit]
    # each panel recorded the factor the run used for its surface at every step
    for panel, surface in (("pv_east", "roof_south_east"), ("pv_west", "roof_south_west")):
        expected = float((beam * res[panel + ".cos"][lit]).sum()) / 1000.0  # hourly steps, W -> kW
        assert drawn[("house", surface)] == pytest.approx(expected, rel=1e-12)
    # the surface without a panel: the module's own factor at each step's sun
    north = sum(b * house.get_cos_value("roof_north", a, z) for a, z, b in
                zip(res["pv_east.height_angle"][lit], res["pv_east.azimuth_angle"][lit], beam)) / 1000.0
    assert drawn[("house", "roof_north")] == pytest.approx(north, rel=1e-12)
    cast = real(res, m.project)  # no modules: cast per step on the model's triangles
    assert "没有本次运行的精确阴影系数" in capsys.readouterr().out
    assert cast[("house", "roof_south_east")] != pytest.approx(drawn[("house", "roof_south_east")], rel=1e-9)


def test_table_method_irradiation_is_cast_with_one_line(tmp_path, monkeypatch, capsys):
    report = pytest.importorskip("quillmere.report")
    m = _demo_run(tmp_path, monkeypatch, method="table")
    capsys.readouterr()
    irr = report.direct_irradiation(m.results, m.project, m.modules)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1 and lines[0].startswith("报告：模块 house 没有本次运行的精确阴影系数（表格方法）")
    assert set(irr) == {("house", s) for s in ("roof_south_east", "roof_south_west", "roof_north")}
    # cast at each step's sun: the exact run of the same project gets the same figures
    exact = _demo_run(tmp_path, monkeypatch, method="exact")
    assert report.direct_irradiation(exact.results, exact.project, exact.modules) == pytest.approx(irr, rel=1e-12)
    assert capsys.readouterr().out == ""
    report.direct_irradiation(m.results, m.project, m.modules, quiet=True)
    assert capsys.readouterr().out == ""

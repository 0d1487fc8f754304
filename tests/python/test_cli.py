"""The command line, through quillmere.cli.main and `python -m quillmere`."""
import importlib.util
import os
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

from quillmere import cli

MODULES = textwrap.dedent('''
    from quillmere import SimUnit

    class Gen(SimUnit):
        def _get_module_info(self):
            return {"name": "Gen", "vars": [
                {"category": "param", "name": "capacity", "default": 1.0},
                {"category": "output", "name": "power", "default": 0.0},
                {"category": "output", "name": "energy", "default": 0.0, "notInstantaneous": 1}]}
        def update(self, time, state):
            p = 0.5 if (time.current_time // 3600) % 24 >= 12 else 0.0
            self.outputs["power"]["value"] = p
            self.outputs["energy"]["value"] += p * time.time_step / 3600
''')

PROJECT = textwrap.dedent('''
    period = [2025, 6, 1, 2025, 7, 31]
    [site]
    longitude = 10.0
    latitude = 50.0
    time_zone = 1
    [[modules]]
    name = "g"
    type = "climods:Gen"
    [output]
    csv = "res/out.csv"
''')

HAVE_GEOMETRY = importlib.util.find_spec("quillmere.shadow_calc.occlusion_scan") is not None
HAVE_MPL = importlib.util.find_spec("matplotlib") is not None


@pytest.fixture
def project(tmp_path, monkeypatch):
    (tmp_path / "climods.py").write_text(MODULES, encoding="utf-8")
    p = tmp_path / "p.toml"
    p.write_text(PROJECT, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    yield p
    sys.modules.pop("climods", None)


def test_run_writes_results_and_summary(project, tmp_path, capsys):
    assert cli.main(["run", str(project)]) == 0
    out = capsys.readouterr()
    table = pd.read_csv(tmp_path / "res" / "out.csv")
    assert len(table) == 61 * 24
    assert "结果已写入: " + str(tmp_path / "res" / "out.csv") in out.out
    assert "发电模块 g（Gen）：发电量 366.00 kWh，峰值功率 0.500 kW，满负荷小时数 366.0 h" in out.out
    assert out.err == ""  # not a terminal: no progress


def test_output_option_and_quiet(project, tmp_path, capsys):
    assert cli.main(["run", str(project), "-o", "other/r.csv", "--quiet"]) == 0
    assert (tmp_path / "other" / "r.csv").is_file()
    assert not (tmp_path / "res").exists()
    out = capsys.readouterr()
    assert out.out == "" and out.err == ""
    project.write_text(PROJECT.replace('[output]\ncsv = "res/out.csv"', ""), encoding="utf-8")
    assert cli.main(["run", str(project)]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == "未指定结果文件（-o 或项目的 [output] csv），结果未写入"


def test_errors_are_one_line_and_status_1(project, tmp_path, capsys):
    assert cli.main(["run", str(tmp_path / "missing.toml")]) == 1
    assert capsys.readouterr().out.startswith("错误：项目文件不存在: ")
    project.write_text(PROJECT.replace('"climods:Gen"', '"Generator"'), encoding="utf-8")
    assert cli.main(["run", str(project)]) == 1
    out = capsys.readouterr().out
    assert out.startswith("错误：项目文件 " + str(project) + ": 键 modules[0](g).type: 未知模块类型")
    assert len(out.splitlines()) == 1


def test_invalid_period_exits_with_the_clock_message(project, capsys):
    project.write_text(PROJECT.replace("[2025, 6, 1,", "[2025, 13, 1,"), encoding="utf-8")
    with pytest.raises(SystemExit) as info:
        cli.main(["run", str(project)])
    assert info.value.code == 1
    assert capsys.readouterr().out == "月份必须在 1 到 12 之间\n"


def test_plot_without_matplotlib_says_how_to_get_it(project, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.delitem(sys.modules, "quillmere.report", raising=False)
    assert cli.main(["run", str(project), "--plot", "r.png"]) == 1
    out = capsys.readouterr().out
    assert "pip install 'quillmere[plot]'" in out
    assert (tmp_path / "res" / "out.csv").is_file()  # the run itself still completed
    assert not (tmp_path / "r.png").exists()


@pytest.mark.skipif(not HAVE_MPL, reason="matplotlib (the plot extra) is not installed")
def test_plot_report(project, tmp_path, capsys):
    assert cli.main(["run", str(project), "--plot", "rep/r.png"]) == 0
    png = tmp_path / "rep" / "r.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "报告已写入: " + str(png) in capsys.readouterr().out


def test_usage_errors_and_module_entry_point(tmp_path):
    with pytest.raises(SystemExit) as info:
        cli.main([])
    assert info.value.code == 2
    with pytest.raises(SystemExit):
        cli.main(["shade", "x.stl", "-o", "t.csv"])  # --surfaces is required
    done = subprocess.run([sys.executable, "-m", "quillmere", "--help"], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0
    assert "run" in done.stdout and "demo" in done.stdout and "shade" in done.stdout


def test_demo_inputs_are_generated(tmp_path):
    project = cli.write_demo(str(tmp_path / "d"), 48.2, 16.4, 1)
    from quillmere.core import demo

    stl = (tmp_path / "d" / "house.stl").read_text(encoding="utf-8")
    for name in ("roof_south_east", "roof_south_west", "roof_north", "neighbour_tower"):
        assert "solid " + name + "\n" in stl
    epw = (tmp_path / "d" / "weather.epw").read_text(encoding="utf-8").splitlines()
    assert sum(1 for line in epw if line[:4].isdigit()) == 8760
    assert epw[0].startswith("LOCATION,Demo site,-,-,synthetic,000000,48.2000,16.4000,1.0")
    import tomllib

    with open(project, "rb") as f:
        data = tomllib.load(f)
    # The demo house's generators, then the building's load, battery, grid connection and the bus balancing them.
    assert [m["name"] for m in data["modules"]] == ["weather", "house", "pv_east", "pv_west", "turbine",
                                                    "household", "battery", "grid", "bus"]
    assert data["site"] == {"latitude": 48.2, "longitude": 16.4, "time_zone": 1}
    with pytest.raises(ValueError):
        demo.clear_sky_epw(91.0, 0.0, 0)
    with pytest.raises(ValueError):
        demo.house_stl(0)


def test_demo_rejects_bad_site(tmp_path, capsys):
    assert cli.main(["demo", str(tmp_path / "d"), "--latitude", "100"]) == 1
    assert capsys.readouterr().out == "错误：纬度应在 -90 到 90 度之间\n"


@pytest.mark.skipif(not HAVE_GEOMETRY, reason="geometry library not built")
def test_demo_runs_end_to_end(tmp_path, capsys):
    folder = tmp_path / "demo"
    assert cli.main(["demo", str(folder), "--no-plot"]) == 0
    out = capsys.readouterr().out
    assert "结果: " + str(folder / "results.csv") in out
    table = pd.read_csv(folder / "results.csv")
    assert len(table) == 8760
    east, west = table["pv_east.energy"].iloc[-1], table["pv_west.energy"].iloc[-1]
    assert east > 1000 and west > 1000
    assert east != west  # different neighbours shade the two arrays
    cos = pd.read_csv(folder / "shading" / "cos_table.csv")
    assert len(cos) == 54
    # the neighbours really shade the roof: without them the two south parts would see the same
    # sun, and each would be mirror-symmetric about south
    se = cos[(cos["方位角"] == 135) & (cos["高度角"] == 15)].iloc[0]
    sw = cos[(cos["方位角"] == 225) & (cos["高度角"] == 15)].iloc[0]
    assert se["roof_south_west"] < 0.5 * se["roof_south_east"]  # tower, south-east
    assert sw["roof_south_west"] < 0.5 * sw["roof_south_east"]  # tree, south-west
    assert se["roof_south_east"] < sw["roof_south_east"]  # the tower's corner reaches the east part too
    # a second run reuses the table and gives the same year
    assert cli.main(["run", str(folder / "project.toml"), "-o", str(tmp_path / "again.csv"), "--quiet"]) == 0
    again = pd.read_csv(tmp_path / "again.csv")
    pd.testing.assert_frame_equal(table, again)
    # --regenerate-shading throws the table away and computes it again, with the same result
    (folder / "shading" / "cos_table.csv").write_text("方位角,高度角,roof_south_east\n0,0,0.5\n", encoding="utf-8")
    capsys.readouterr()
    assert cli.main(["run", str(folder / "project.toml"), "--regenerate-shading", "-o", str(tmp_path / "r3.csv")]) == 0
    assert "将重新生成阴影表（完成后替换原表）: " + str(folder / "shading" / "cos_table.csv") in capsys.readouterr().out
    pd.testing.assert_frame_equal(pd.read_csv(folder / "shading" / "cos_table.csv"), cos)


@pytest.mark.skipif(not HAVE_GEOMETRY, reason="geometry library not built")
def test_shade_command(tmp_path, capsys):
    from quillmere.core import demo

    stl = tmp_path / "h.stl"
    stl.write_text(demo.house_stl(2), encoding="utf-8")
    out = tmp_path / "t" / "table.csv"
    out.parent.mkdir()
    out.write_text("stale", encoding="utf-8")
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "wall_south", "-o", str(out)]) == 0
    table = pd.read_csv(out)
    assert list(table.columns) == ["方位角", "高度角", "roof_north", "wall_south"]
    assert len(table) == 54
    assert cli.main(["shade", str(tmp_path / "none.stl"), "--surfaces", "a", "-o", str(out)]) == 1


def test_documented_example_is_a_valid_project(tmp_path):
    """The complete example of docs/project_format.md passes the checks (with the demo's inputs)."""
    doc = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "project_format.md")
    if not os.path.isfile(doc):
        pytest.skip("documentation not next to the tests")
    text = open(doc, encoding="utf-8").read()
    example = text.split("```toml\n", 1)[1].split("```", 1)[0]
    cli.write_demo(str(tmp_path), 48.2, 16.4, 1)
    (tmp_path / "example.toml").write_text(example, encoding="utf-8")
    from quillmere.core.manager import Manager

    project = Manager(str(tmp_path / "example.toml")).load_project()
    assert [m["name"] for m in project["modules"]] == ["weather", "house", "pv_east", "turbine"]
    assert project["modules"][2]["in_file_params"] == ["house", "roof_south_east", 20.0, 0.2, 800.0, 100.0, 0.2]
    assert project["csv"] == str(tmp_path / "results.csv")


class _FakeTerminal:
    def __init__(self):
        self.text = ""

    def isatty(self):
        return True

    def write(self, s):
        self.text += s

    def flush(self):
        pass


@pytest.mark.skipif(not HAVE_GEOMETRY, reason="geometry library not built")
def test_progress_only_on_a_terminal_and_never_when_quiet(tmp_path, capsys, monkeypatch):
    from quillmere.core import demo

    stl = tmp_path / "h.stl"
    stl.write_text(demo.house_stl(1), encoding="utf-8")
    term = _FakeTerminal()
    monkeypatch.setattr(sys, "stderr", term)
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(tmp_path / "a.csv"), "--quiet"]) == 0
    assert term.text == ""
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(tmp_path / "b.csv")]) == 0
    assert "54/54" in term.text  # the table's own progress line

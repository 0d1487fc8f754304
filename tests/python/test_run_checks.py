"""No run ends with exit 0 and wrong numbers: the checks of the model, the
values, the weather and the tables, on small copies of the demo project."""
import math
import re
import shutil

import pytest

from quillmere import cli
from quillmere.core.manager import Manager, ProjectError, RunPeriodError

from demo_inputs import run_quiet as run_quietly

PERIOD = "period = [2025, 6, 1, 2025, 6, 2]\n"


@pytest.fixture(scope="module")
def demo_folder(tmp_path_factory):
    """The demo inputs with their shading table, computed once."""
    folder = tmp_path_factory.mktemp("demo")
    project = cli.write_demo(str(folder), 48.2, 16.4, 1)
    text = open(project, encoding="utf-8").read()
    open(project, "w", encoding="utf-8").write(PERIOD + text)
    m = Manager(project)
    m.quiet = True
    m.run_simulation()
    assert (folder / "shading" / "cos_table.csv").is_file()
    return folder


@pytest.fixture
def demo(demo_folder, tmp_path):
    """A fresh copy; edit(old, new) changes its project file, returns its path."""
    folder = tmp_path / "d"
    shutil.copytree(demo_folder, folder)
    path = folder / "project.toml"

    def edit(old=None, new=None, *, prepend=""):
        text = path.read_text(encoding="utf-8")
        if old is not None:
            assert old in text, old
            text = text.replace(old, new, 1)
        path.write_text(prepend + text, encoding="utf-8")
        return str(path)

    edit.folder = folder
    return edit


def project_error(path):
    with pytest.raises(ProjectError) as info:
        Manager(path).run_simulation()
    return str(info.value)


def test_unknown_surface_names_the_closest_solids(demo, capsys):
    p = demo('"roof_south_west", "roof_north"]', '"roof_south_west", "roof_nrth"]')
    msg = project_error(p)
    assert "modules[1](house).surfaces[2]" in msg and '"roof_nrth"' in msg and "roof_north" in msg, msg
    assert cli.main(["run", p]) == 1
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 1 and out[0].startswith("错误：项目文件 " + p)  # one line, before anything ran


def test_panel_surface_must_be_listed_with_a_hint(demo):
    msg = project_error(demo('surface = "roof_south_east"', 'surface = "roof_south_eats"'))
    assert "modules[2](pv_east).surface" in msg and "roof_south_east" in msg, msg


def test_a_table_without_the_panels_surface_or_no_table_at_all_stops_the_run(demo):
    table = demo.folder / "shading" / "cos_table.csv"
    lines = table.read_text(encoding="utf-8").splitlines()
    # Drop the roof_south_east column: a table cached for another surface list.
    header = lines[0].split(",")
    keep = [i for i, h in enumerate(header) if h != "roof_south_east"]
    table.write_text("\n".join(",".join(row.split(",")[i] for i in keep) for row in lines) + "\n", encoding="utf-8")
    msg = project_error(demo())
    assert "modules[1](house).table" in msg and '"roof_south_east"' in msg and "pv_east" in msg, msg
    # A weather file where the table should be.
    p = demo('table = "shading/cos_table.csv"', 'table = "weather.epw"')
    msg = project_error(p)
    assert "不是可用的阴影表" in msg and "weather.epw" in msg, msg


@pytest.mark.parametrize("old,new,key,part", [
    ("efficiency = 0.2\n", "efficiency = 20\n", "modules[2](pv_east).efficiency", "(0, 1]"),
    ("area = 20.0 ", "area = -20.0 ", "modules[2](pv_east).area", "(0, inf)"),
    ("capacity = 3.0 ", "capacity = -1.0 ", "modules[4](turbine).capacity", "[0, inf)"),
    ("efficiency = 0.2\n", "efficiency = 0.2\nground_reflect = 1.5\n", "modules[2](pv_east).ground_reflect", "[0, 1]"),
])
def test_values_out_of_range(demo, old, new, key, part):
    msg = project_error(demo(old, new))
    assert key in msg and part in msg, msg


def test_percent_typed_for_a_fraction_says_so(demo):
    assert "0.2 表示 20 %" in project_error(demo("efficiency = 0.2\n", "efficiency = 20\n"))


def test_two_links_into_one_input(demo):
    p = demo('"weather.rad2 -> pv_west.normal_rad",', '"weather.rad2 -> pv_west.normal_rad", "weather.rad1 -> pv_east.normal_rad",')
    msg = project_error(p)
    assert "键 links[4]" in msg and "links[1]" in msg and "pv_east.normal_rad" in msg, msg


def test_invalid_period_is_a_project_error_before_anything_runs(demo, capsys):
    p = demo(PERIOD, "period = [2025, 2, 30, 2025, 3, 1]\n")
    with pytest.raises(ValueError) as info:  # a sweep or a notebook can catch it
        Manager(p).run_simulation()
    assert isinstance(info.value, RunPeriodError) and isinstance(info.value, ProjectError)
    assert info.value.code == 1
    assert "键 period" in str(info.value) and p in str(info.value)
    assert capsys.readouterr().out == "日期不合法，请检查日期的有效性\n"  # the weather file was not even read


def epw_rows(folder):
    path = folder / "weather.epw"
    return path, path.read_text(encoding="utf-8").splitlines()


def set_field(folder, month, day, hour, column, value):
    path, rows = epw_rows(folder)
    for i, row in enumerate(rows):
        f = row.split(",")
        if len(f) > 20 and f[0].isdigit() and (int(f[1]), int(f[2]), int(f[3])) == (month, day, hour):
            f[column] = value
            rows[i] = ",".join(f)
            path.write_text("\n".join(rows) + "\n", encoding="utf-8")
            return
    raise AssertionError("row not found")


def test_an_empty_diffuse_field_gives_one_unknown_hour_not_a_stopped_run(demo):
    set_field(demo.folder, 6, 1, 12, 15, "")  # rad3 at noon (EPW hour 12 = row 11:00-12:00)
    m, out = run_quietly(demo())
    power = out["pv_east.power"]
    assert power.isna().sum() == 1
    assert math.isfinite(m.summary["pv_east"]["energy_kwh"]) and m.summary["pv_east"]["energy_kwh"] > 1


def test_missing_value_codes_are_counted_and_taken_as_missing(demo, capsys):
    set_field(demo.folder, 6, 1, 13, 14, "9999")  # rad2
    p = demo()
    m = Manager(p)
    out = m.run_simulation()
    lines = [l for l in capsys.readouterr().out.splitlines() if "缺测值" in l]
    assert len(lines) == 1 and "rad2" in lines[0] and "9999" in lines[0] and "2025-06-01 12:00" in lines[0], lines
    assert out["weather.rad2"].isna().sum() == 1
    assert m.summary["pv_east"]["peak_kw"] < 5  # 4 kWp: not the 39 kW of 9999 W/m2
    # Off for tables that are not EPW: the code is data again.
    m2, out2 = run_quietly(demo('file = "weather.epw"', 'file = "weather.epw"\nmissing_codes = false'))
    assert out2["weather.rad2"].max() == 9999


def test_facets_without_normal_are_counted(demo, capsys):
    stl = demo.folder / "house.stl"
    text = stl.read_text(encoding="utf-8")
    head, sep, rest = text.partition("solid roof_north")
    body, end, tail = rest.partition("endsolid")
    zeroed = re.sub(r"facet normal [^\n]*", "facet normal 0 0 0", body)
    stl.write_text(head + sep + zeroed + end + tail, encoding="utf-8")
    Manager(demo("table = \"shading/cos_table.csv\"", "table = \"shading/other.csv\"")).run_simulation()
    lines = [l for l in capsys.readouterr().out.splitlines() if "(0, 0, 0)" in l]
    assert len(lines) == 1 and "roof_north" in lines[0], lines
    n = body.count("facet normal")
    assert "%d/%d" % (n, n) in lines[0]
    assert lines[0].startswith("警告：") and 'normals = "from-vertices"' in lines[0]
    # normals = "from-vertices": the roof's facets get their normals back, and direct sun with them.
    p = demo('table = "shading/other.csv"', 'table = "shading/fixed.csv"\nnormals = "from-vertices"')
    m = Manager(p)
    m.run_simulation()
    lines = [l for l in capsys.readouterr().out.splitlines() if "(0, 0, 0)" in l]
    assert lines[-1].startswith("注意：") and "右手定则" in lines[-1]
    table = open(demo.folder / "shading" / "fixed.csv", encoding="utf-8").read()
    dark_table = open(demo.folder / "shading" / "other.csv", encoding="utf-8").read()
    assert table != dark_table
    assert m.modules["house"].normals == "from-vertices"
    with pytest.raises(ProjectError, match="from-vertices"):
        Manager(demo('normals = "from-vertices"', 'normals = "guess"')).run_simulation()


def test_site_from_the_weather_file_or_a_warning_when_it_differs(demo, capsys):
    p = demo("[site]\nlatitude = 48.2\nlongitude = 16.4\ntime_zone = 1\n", "")
    m = Manager(p)
    m.run_simulation()
    assert m.project["site"] == {"longitude": 16.4, "latitude": 48.2, "time_zone": 1}
    assert "LOCATION" in capsys.readouterr().out
    p = demo(prepend="")
    text = open(p, encoding="utf-8").read()
    open(p, "w", encoding="utf-8").write(text + "\n[site]\nlatitude = 40.0\nlongitude = 16.4\ntime_zone = 1\n")
    Manager(p).run_simulation()
    warnings = [l for l in capsys.readouterr().out.splitlines() if l.startswith("警告：[site]")]
    assert len(warnings) == 1


def test_leap_year_over_a_common_year_table_says_how_weather_is_mapped(demo, capsys):
    Manager(demo(PERIOD, "period = [2024, 2, 28, 2024, 3, 1]\n")).run_simulation()
    lines = [l for l in capsys.readouterr().out.splitlines() if "闰年" in l]
    assert len(lines) == 1 and "2 月 29 日用 3 月 1 日" in lines[0]


def test_quiet_shows_only_errors_and_repeated_lines_come_once_with_a_count(demo, capsys):
    p = demo()
    assert cli.main(["run", p, "--quiet"]) == 0
    assert capsys.readouterr().out == ""  # not even the modules' own lines
    # A text where the turbine wants a number: its message every step.
    (demo.folder / "textsrc.py").write_text(
        "from quillmere import SimUnit\n"
        "class Text(SimUnit):\n"
        "    def _get_module_info(self):\n"
        "        return {'name': 'Text', 'vars': [{'category': 'output', 'name': 'v', 'default': 'calm'}]}\n"
        "    def update(self, time, state):\n"
        "        pass\n",
        encoding="utf-8")
    p = demo('"weather.wind_speed -> turbine.wind_speed",', '"txt.v -> turbine.wind_speed",',
             prepend="")
    open(p, "a", encoding="utf-8").write('\n[[modules]]\nname = "txt"\ntype = "textsrc:Text"\n')
    Manager(p).run_simulation()
    out = capsys.readouterr().out.splitlines()
    repeated = [l for l in out if l.startswith("错误：获取变量失败")]
    assert len(repeated) == 1, out
    assert any("共出现 48 次" in l for l in out), out


def test_shade_quiet_prints_nothing_but_errors(demo_folder, tmp_path, capsys):
    out = tmp_path / "t.csv"
    assert cli.main(["shade", str(demo_folder / "house.stl"), "--surfaces", "roof_north", "-o", str(out), "--quiet"]) == 0
    assert out.is_file()
    assert capsys.readouterr().out == ""

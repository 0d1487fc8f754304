"""A weather table against the run: empty fields are counted, a table shorter
than the period or a step longer than its hour stop the run before any step,
a period that reads the table's year again says so once."""
import pytest

from quillmere import cli
from quillmere.core.manager import Manager, ProjectError

from demo_inputs import write_inputs

PROJECT = '''\
{extra}
links = ["weather.wind_speed -> t.wind_speed", "weather.rad2 -> s.x"]
[site]
latitude = 48.0
longitude = 16.0
time_zone = 1
[[modules]]
name = "weather"
type = "WaetherFeed"
file = "weather.epw"
[[modules]]
name = "t"
type = "WindTurbine"
capacity = 1.0
[[modules]]
name = "s"
type = "sink:Sink"
'''

SINK = '''
from quillmere import SimUnit
class Sink(SimUnit):
    """Counts its steps."""
    def _get_module_info(self):
        return {"name": "Sink", "vars": [{"category": "input", "name": "x", "default": 0.0},
                                         {"category": "output", "name": "steps", "default": 0.0}]}
    def update(self, time, state):
        self.outputs["steps"]["value"] += 1
'''


@pytest.fixture
def folder(tmp_path, monkeypatch):
    write_inputs(tmp_path, house=False)
    (tmp_path / "sink.py").write_text(SINK, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monkeypatch.delitem(__import__("sys").modules, "sink", raising=False)
    return tmp_path


def write(folder, extra):
    p = folder / "p.toml"
    p.write_text(PROJECT.format(extra=extra), encoding="utf-8")
    return str(p)


def edit_rows(folder, column, value, rows):
    lines = (folder / "weather.epw").read_text(encoding="utf-8").splitlines(keepends=True)
    for i in rows:
        fields = lines[8 + i].split(",")
        fields[column] = value
        lines[8 + i] = ",".join(fields)
    (folder / "weather.epw").write_text("".join(lines), encoding="utf-8")


def test_empty_fields_get_one_line_per_column(folder, capsys):
    edit_rows(folder, 14, "", range(100, 130))   # direct normal
    edit_rows(folder, 21, "", [5])               # wind speed
    edit_rows(folder, 14, "9999", [200])         # a missing-value code stays counted on its own line
    m = Manager(write(folder, "period = [2025, 1, 1, 2025, 1, 31]"))
    out = m.run_simulation()
    lines = [line for line in capsys.readouterr().out.splitlines() if "空值" in line or "缺测值" in line]
    assert len(lines) == 3, lines
    empty_rad2, = [line for line in lines if "rad2" in line and "空值" in line]
    assert "30 个空值" in empty_rad2 and "2025-01-05 04:00" in empty_rad2 and "weather.epw" in empty_rad2
    assert any("wind_speed" in line and "1 个空值" in line for line in lines)
    assert any("rad2" in line and "缺测值 9999" in line for line in lines)
    assert out["weather.rad2"].isna().sum() == 31
    m = Manager(write(folder, "period = [2025, 1, 1, 2025, 1, 31]"))
    m.quiet = True
    m.run_simulation()
    assert "空值" not in capsys.readouterr().out


def test_a_table_shorter_than_the_period_stops_before_the_first_step(folder, capsys):
    lines = (folder / "weather.epw").read_text(encoding="utf-8").splitlines(keepends=True)
    (folder / "weather.epw").write_text("".join(lines[:8 + 1000]), encoding="utf-8")
    # 1000 rows reach 11 February 15:00; January runs, February to its end does not.
    assert cli.main(["run", write(folder, "period = [2025, 1, 1, 2025, 1, 31]"), "--quiet"]) == 0
    capsys.readouterr()
    assert cli.main(["run", write(folder, "period = [2025, 1, 1, 2025, 2, 28]")]) == 1
    out = capsys.readouterr().out
    err, = [line for line in out.splitlines() if line.startswith("错误：")]
    for part in ("键 modules[0](weather).file", "weather.epw", "只有 1000 行", "2025-02-11 15:00", "第 1416 行",
                 "2025-02-28 23:00"):
        assert part in err, err
    assert "Traceback" not in out and "IndexError" not in out and "运行完成" not in out
    # A period that begins after the table's end, from Python.
    with pytest.raises(ProjectError, match="modules\\[0\\]\\(weather\\).file.*只有 1000 行"):
        Manager(write(folder, "period = [2025, 6, 1, 2025, 6, 2]")).run_simulation()


def test_steps_longer_than_an_hour_or_than_the_period_are_refused(folder, capsys):
    # A step of a day would take the weather of midnight every step (no sun at all).
    for extra, parts in (("time_step = 86400", ("time_step", "86400", "一小时", "午夜")),
                         ("time_step = 7200", ("time_step", "7200",)),
                         ("time_step = 1e9\nperiod = [2025, 1, 1, 2025, 1, 2]", ("time_step", "1e+09", "整个运行期",
                                                                                     "172800"))):
        assert cli.main(["run", write(folder, extra)]) == 1
        out = capsys.readouterr().out
        err, = [line for line in out.splitlines() if line.startswith("错误：")]
        assert "p.toml" in err and all(p in err for p in parts), err
        assert "运行完成" not in out
    # Steps of an hour or shorter run.
    m = Manager(write(folder, "time_step = 1800\nperiod = [2025, 1, 1, 2025, 1, 1]"))
    m.quiet = True
    assert m.run_simulation()["s.steps"].iloc[-1] == 48


def test_a_period_beyond_the_tables_year_says_once_that_the_year_repeats(folder, capsys):
    m = Manager(write(folder, "period = [2025, 12, 1, 2027, 1, 31]"))
    out = m.run_simulation()
    text = capsys.readouterr().out
    lines = [line for line in text.splitlines() if "重复使用" in line]
    assert len(lines) == 1 and "2025–2027" in lines[0] and "8760 行" in lines[0], text
    # The same hour of the year gets the same weather in every year.
    assert out.loc["2026-01-15 12:00", "weather.wind_speed"] == out.loc["2027-01-15 12:00", "weather.wind_speed"]
    # One year, or a part of one: no such line.
    Manager(write(folder, "period = [2025, 1, 1, 2025, 12, 31]")).run_simulation()
    assert "重复使用" not in capsys.readouterr().out

"""Outputs never replace what they must not (devices, FIFOs, the project's
inputs), generated files are never inputs, declarations are held to their own
rules, and the summary and units say what the numbers are."""
import math
import os
import sys
import textwrap

import pandas as pd
import pytest

from quillmere import cli
from quillmere.core import demo
from quillmere.core.manager import Manager, ProjectError

from demo_inputs import WEATHER_AND_TURBINE, error_line

BASE = WEATHER_AND_TURBINE

SHADING = '''[[modules]]
name = "h"
type = "SurfaceShadow"
model = "house.stl"
table = "{table}"
method = "table"
surfaces = ["roof_south_east"]
'''


@pytest.fixture
def project(small_project):
    return small_project


def snapshot(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}


def test_run_and_sweep_outputs_replace_only_regular_files(project, capsys):
    fifo = project / "pipe.csv"
    os.mkfifo(fifo)
    os.symlink("/dev/null", project / "null.csv")
    for args in (["run", "p.toml", "-o", "pipe.csv"], ["run", "p.toml", "-o", "null.csv"],
                 ["sweep", "p.toml", "--vary", "t.capacity=1,2", "-o", "pipe.csv"],
                 ["sweep", "p.toml", "--vary", "t.capacity=1,2", "-o", "/dev/null"]):
        assert cli.main(args) == 1, args
        error_line(capsys, "不是普通文件")
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
    assert os.path.islink(project / "null.csv") and not os.path.isfile(fifo)
    # The project's [output] csv is held to the same rule, from Python too.
    m = Manager(str(project / "p.toml"))
    m.output_path = str(fifo)
    with pytest.raises(ProjectError, match="output_path.*不是普通文件"):
        m.run_simulation()
    # The writers themselves never rename over a device or a FIFO.
    from quillmere.core.manager import write_csv, write_text_file
    with pytest.raises(OSError):
        write_csv(pd.DataFrame({"a": [1.0]}), str(fifo))
    with pytest.raises(OSError, match="不是普通文件"):
        from quillmere._native import _write_file_atomic
        _write_file_atomic(str(fifo), "x")
    with pytest.raises(OSError):
        write_text_file(str(project / "null.csv"), "x")
    assert not os.path.isfile(fifo) and sorted(os.listdir(project)) == ["house.stl", "null.csv", "p.toml", "pipe.csv",
                                                                         "weather.epw"]


def test_sweep_output_over_an_input_is_refused_before_any_work(project, capsys):
    before = snapshot(project)
    (project / "other.epw").write_bytes(before["weather.epw"])
    for target, parts in (("p.toml", ("项目文件",)), ("weather.epw", ("modules[0](weather)",)),
                          ("./house.stl", ("modules[2](h)",))):
        (project / "p.toml").write_text(BASE + SHADING.format(table="t.csv"), encoding="utf-8")
        text = (project / "p.toml").read_bytes()
        assert cli.main(["sweep", "p.toml", "--vary", "t.capacity=1,2", "-o", target]) == 1
        error_line(capsys, "扫描结果文件", "输入文件", *parts)
        assert (project / "p.toml").read_bytes() == text
    # A weather file named only by a varied value is an input too.
    assert cli.main(["sweep", "p.toml", "--vary", "weather.file=weather.epw,other.epw", "-o", "other.epw"]) == 1
    error_line(capsys, "--vary")
    assert (project / "weather.epw").read_bytes() == before["weather.epw"]
    assert (project / "house.stl").read_bytes() == before["house.stl"]
    assert (project / "other.epw").read_bytes() == before["weather.epw"]
    assert not (project / "t.csv").exists()  # nothing ran


@pytest.mark.parametrize("table, key", [("weather.epw", "modules[0](weather).file"),
                                        ("./house.stl", "modules[2](h).model"),
                                        ("p.toml", "项目文件")])
def test_a_generated_table_that_is_an_input_is_refused_even_when_regenerating(project, capsys, table, key):
    (project / "s.toml").write_text(BASE + SHADING.format(table=table), encoding="utf-8")
    if table == "p.toml":
        (project / "s.toml").write_text(BASE + SHADING.format(table="s.toml"), encoding="utf-8")
    before = snapshot(project)
    for extra in ([], ["--regenerate-shading"]):
        assert cli.main(["run", "s.toml", "--quiet"] + extra) == 1
        error_line(capsys, ".table", "是项目的输入文件", key, "不会覆盖或删除")
        assert snapshot(project) == before


def test_regenerating_deletes_only_declared_outputs(project, capsys):
    (project / "umods.py").write_text(textwrap.dedent('''
        from quillmere import SimUnit
        class Reads(SimUnit):
            # A declaration mistake: an input file declared as generated.
            project_values = [{"key": "data", "kind": "input_file"}]
            summary_facts = {"generated_files": ["data"]}
            def _get_module_info(self):
                return {"name": "Reads", "vars": []}
        class Writes(SimUnit):
            project_values = [{"key": "log", "kind": "output_file"}]
            summary_facts = {"generated_files": ["log"]}
            def _get_module_info(self):
                return {"name": "Writes", "vars": []}
            def update(self, time, state):
                pass
    '''), encoding="utf-8")
    try:
        (project / "u.toml").write_text(BASE + '[[modules]]\nname = "u"\ntype = "umods:Reads"\ndata = "weather.epw"\n',
                                        encoding="utf-8")
        weather = (project / "weather.epw").read_bytes()
        assert cli.main(["run", "u.toml", "--regenerate-shading", "--quiet"]) == 1
        error_line(capsys, "modules[2](u).type", "umods.Reads", "generated_files", "output_file", "input_file")
        assert (project / "weather.epw").read_bytes() == weather
        # A declared output that another module reads is an input: refused, kept.
        (project / "u.toml").write_text(BASE + '[[modules]]\nname = "u"\ntype = "umods:Writes"\nlog = "weather.epw"\n',
                                        encoding="utf-8")
        assert cli.main(["run", "u.toml", "--regenerate-shading", "--quiet"]) == 1
        error_line(capsys, "modules[2](u).log", "modules[0](weather).file")
        assert (project / "weather.epw").read_bytes() == weather
        # A declared output of its own is deleted (and made again by the module).
        (project / "old.log").write_text("old", encoding="utf-8")
        (project / "u.toml").write_text(BASE + '[[modules]]\nname = "u"\ntype = "umods:Writes"\nlog = "old.log"\n',
                                        encoding="utf-8")
        assert cli.main(["run", "u.toml", "--regenerate-shading", "--quiet"]) == 0
        assert not (project / "old.log").exists()
    finally:
        sys.modules.pop("umods", None)


DECLARATIONS = '''
from quillmere import SimUnit
class Base(SimUnit):
    def _get_module_info(self):
        return {"name": "U", "vars": [{"category": "param", "name": "x", "default": 0.0}]}
    def awake(self, state):
        self.params["x"]["value"] = self.in_file_params[0]
class Defaulted(Base):
    project_values = [{"key": "x", "kind": "number", "default": 5.0, "range": "[0, 1]"}]
class Twice(Base):
    project_values = [{"key": "x", "kind": "number"}, {"key": "x", "kind": "number"}]
class Codes(Base):
    project_values = [{"key": "x", "kind": "number"}]
    summary_facts = {"missing_codes": {"x": "nine"}}
class Units(Base):
    project_values = [{"key": "x", "kind": "number"}]
    summary_facts = {"output_units": ["kW"]}
class Choices(Base):
    project_values = [{"key": "x", "kind": "number"}]
    project_settings = [{"key": "mode", "choices": [1, 2]}]
class Kind(Base):
    project_values = [{"key": "x", "kind": "numbr"}]
class NotAList(Base):
    project_values = 7
'''


@pytest.mark.parametrize("cls, value, parts", [
    ("Defaulted", "", ("project_values[0].default", "5", "[0, 1]", '"x"')),
    ("Twice", "x = 1", ("project_values[1]", '"x"', "重复")),
    ("Codes", "x = 1", ("missing_codes",)),
    ("Units", "x = 1", ("output_units",)),
    ("Choices", "x = 1", ("project_settings(mode).choices",)),
    ("Kind", "x = 1", ("project_values[0].kind", "numbr")),
    ("NotAList", "", ("project_values",)),
])
def test_declaration_mistakes_name_the_class_and_the_entry(project, capsys, cls, value, parts):
    (project / "decls.py").write_text(DECLARATIONS, encoding="utf-8")
    try:
        (project / "d.toml").write_text(BASE + f'[[modules]]\nname = "u"\ntype = "decls:{cls}"\n{value}\n',
                                        encoding="utf-8")
        assert cli.main(["run", "d.toml", "--quiet"]) == 1
        line = error_line(capsys, "modules[2](u).type", "decls." + cls + ".", *parts)
        assert "type." not in line and "nb_type" not in line  # the class, never its metaclass
    finally:
        sys.modules.pop("decls", None)


def test_summary_without_any_known_power_and_units_of_angles(project, capsys):
    # Every wind speed missing: no peak power rather than -inf.
    rows = (project / "weather.epw").read_text(encoding="utf-8").splitlines(keepends=True)
    for i in range(8, len(rows)):
        fields = rows[i].split(",")
        fields[21] = "999"
        rows[i] = ",".join(fields)
    (project / "weather.epw").write_text("".join(rows), encoding="utf-8")
    (project / "p.toml").write_text('links = ["weather.wind_speed -> t.wind_speed"]\n' + BASE, encoding="utf-8")
    assert cli.main(["run", "p.toml"]) == 0
    out = capsys.readouterr().out
    assert "-inf" not in out and "inf kW" not in out
    assert "发电模块 t（WindTurbine）：发电量 0.00 kWh，峰值功率未知" in out
    m = Manager(str(project / "p.toml"))
    m.quiet = True
    m.run_simulation()
    assert math.isnan(m.summary["t"]["peak_kw"]) and m.summary["t"]["energy_kwh"] == 0.0

    (project / "weather.epw").write_text(demo.clear_sky_epw(48.0, 16.0, 1), encoding="utf-8")
    (project / "pv.toml").write_text(BASE + SHADING.format(table="t.csv") + textwrap.dedent('''
        [[modules]]
        name = "pv"
        type = "SunPanel"
        shading = "h"
        surface = "roof_south_east"
        area = 10.0
        efficiency = 0.2
    '''), encoding="utf-8")
    m = Manager(str(project / "pv.toml"))
    m.quiet = True
    units = m.run_simulation().attrs["units"]
    assert units["pv.height_angle"] == units["pv.azimuth_angle"] == "°"
    assert units["pv.cos"] == "-" and units["pv.power"] == "kW"
    assert units["weather.dry_bulb_temp"] == "c"  # the weather's temperature is in degrees Celsius

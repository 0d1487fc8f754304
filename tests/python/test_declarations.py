"""Module types declare their project values and summary facts; the run
manager, its checks, --regenerate-shading and the report read the declaration."""
import sys
import textwrap

import pytest

from quillmere.components.gale_module import GaleModule
from quillmere.components.shade_group import SurfaceShadowModule
from quillmere.components.sunpanel_module import SunPanelModule
from quillmere.components.weather_feed import WeatherFeed
from quillmere.core.manager import Manager, ProjectError

MODULES = textwrap.dedent('''
    from quillmere import SimUnit

    class Battery(SimUnit):
        """Declares its values; records what awake received."""
        project_values = [
            {"key": "capacity", "kind": "number", "range": "[0, inf)"},
            {"key": "efficiency", "kind": "number", "default": 0.9, "range": "(0, 1]"},
            {"key": "log", "kind": "output_file"},
        ]
        summary_facts = {"rated_power": ["capacity", "efficiency"], "generated_files": ["log"]}
        def _get_module_info(self):
            return {"name": "Battery", "vars": [
                {"category": "param", "name": "capacity", "default": 0.0},
                {"category": "param", "name": "efficiency", "default": 0.0},
                {"category": "output", "name": "power", "default": 0.0},
                {"category": "output", "name": "energy", "default": 0.0, "notInstantaneous": 1}]}
        def awake(self, state):
            self.params["capacity"]["value"] = self.in_file_params[0]
            self.params["efficiency"]["value"] = self.in_file_params[1]
        def update(self, time, state):
            self.outputs["power"]["value"] = 1.0
            self.outputs["energy"]["value"] += time.time_step / 3600.0

    class BadKind(SimUnit):
        project_values = [{"key": "x", "kind": "colour"}]

    class NotLast(SimUnit):
        project_values = [{"key": "s", "kind": "surfaces"}, {"key": "x"}]
''')

SITE = "[site]\nlongitude = 10.0\nlatitude = 50.0\ntime_zone = 1\n"


@pytest.fixture
def proj(tmp_path, monkeypatch):
    (tmp_path / "dmods.py").write_text(MODULES, encoding="utf-8")
    monkeypatch.delitem(sys.modules, "dmods", raising=False)

    def write(body):
        p = tmp_path / "p.toml"
        p.write_text("period = [2025, 1, 1, 2025, 1, 1]\n" + textwrap.dedent(body) + "\n" + SITE, encoding="utf-8")
        return str(p)

    yield write
    sys.modules.pop("dmods", None)


def test_builtin_declarations_follow_the_awake_order():
    assert [v["key"] for v in SunPanelModule.project_values] == [
        "shading", "surface", "area", "efficiency", "normal_rad", "diffuse_rad", "ground_reflect"]
    assert [v["kind"] for v in SunPanelModule.project_values][:2] == ["shading_module", "surface"]
    assert SunPanelModule.project_values[3]["range"] == "(0, 1]"
    assert SunPanelModule.project_values[6]["default"] == 0.2
    assert SunPanelModule.summary_facts["rated_power"] == ("panel_area", "efficiency")
    assert GaleModule.summary_facts["rated_power"] == ("capacity",)
    assert [v["key"] for v in SurfaceShadowModule.project_values] == ["model", "table", "surfaces"]
    assert SurfaceShadowModule.summary_facts["generated_files"] == ("table",)
    assert [v["kind"] for v in WeatherFeed.project_values] == ["weather_file", "flag"]


def test_a_declared_user_module_gets_named_values_defaults_and_checks(proj, tmp_path):
    m = Manager(proj('[[modules]]\nname = "b"\ntype = "dmods:Battery"\ncapacity = 4\nlog = "out/${QM_DECL_SUB}/b.log"\n'))
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("QM_DECL_SUB", "x")
        m.run_simulation()
    entry = m.project["modules"][0]
    log_path = str(tmp_path / "out" / "x" / "b.log")
    assert entry["in_file_params"] == [4.0, 0.9, log_path]  # numbers as floats, the path absolute and expanded
    assert entry["values"] == {"capacity": 4.0, "efficiency": 0.9, "log": log_path}
    s = m.summary["b"]
    assert s["rated_kw"] == pytest.approx(3.6)  # capacity x efficiency, as declared
    assert s["full_load_hours"] == pytest.approx(24 / 3.6)

    for body, parts in [
        ('log = "l"\n', ["缺少键 modules[0](b).capacity", "数值"]),
        ('capacity = "big"\nlog = "l"\n', ["modules[0](b).capacity", "应为数值"]),
        ('capacity = 1\nlog = "l"\ncolour = 1\n', ["modules[0](b).colour", "未知的键", "capacity, efficiency, log"]),
        ('params = [1.0, 0.5, "l", 7]\n', ["modules[0](b).params", "值过多"]),
    ]:
        with pytest.raises(ProjectError) as info:
            Manager(proj('[[modules]]\nname = "b"\ntype = "dmods:Battery"\n' + body)).run_simulation()
        for part in parts:
            assert part in str(info.value)


def test_malformed_declarations_name_the_type(proj):
    for cls, part in [("BadKind", "未知的种类 \"colour\""), ("NotLast", "surfaces 只能是最后一个值")]:
        with pytest.raises(ProjectError) as info:
            Manager(proj('[[modules]]\nname = "a"\ntype = "dmods:%s"\n' % cls)).run_simulation()
        msg = str(info.value)
        assert "modules[0](a).type" in msg and part in msg, msg


def test_regenerate_deletes_the_declared_generated_file_at_its_expanded_path(proj, tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("QM_DECL_DIR", "gen")
    target = tmp_path / "gen" / "b.log"
    target.parent.mkdir()
    target.write_text("old")
    decoy = tmp_path / "${QM_DECL_DIR}" / "b.log"  # the unexpanded spelling must not be what is deleted
    decoy.parent.mkdir()
    decoy.write_text("keep")
    m = Manager(proj('[[modules]]\nname = "b"\ntype = "dmods:Battery"\ncapacity = 1\nlog = "${QM_DECL_DIR}/b.log"\n'))
    m.regenerate_shading = True
    m.run_simulation()
    assert not target.exists()
    assert decoy.read_text() == "keep"
    assert "已删除阴影表，将重新生成: " + str(target) in capsys.readouterr().out


def test_the_report_reads_shading_tables_from_the_declaration(tmp_path):
    report = pytest.importorskip("quillmere.report")
    project = {"modules": [
        {"name": "house", "class": SurfaceShadowModule,
         "values": {"model": "/m.stl", "table": "/t.csv", "surfaces": ["roof_a", "roof_b"]}},
        {"name": "pv", "class": SunPanelModule, "values": {"shading": "house", "surface": "roof_a"}},
        {"name": "odd", "class": object},  # no declaration, no values
    ]}
    assert report.shading_tables(project) == [("house", "/t.csv", ["roof_a", "roof_b"])]


def test_options_outside_in_file_params_are_declared_settings_and_their_attributes_follow_them():
    from quillmere.components.shade_exact import ExactShadowModule
    from quillmere.components.sunpanel_timed import TimedSunPanelModule

    # The project panel keeps the panel module's values; its diffuse model is a setting.
    assert TimedSunPanelModule.project_values == SunPanelModule.project_values
    assert TimedSunPanelModule.project_settings == ({"key": "diffuse", "choices": ("shaded", "isotropic")},)
    for cls in (SurfaceShadowModule, ExactShadowModule):
        assert cls.project_settings == ({"key": "normals", "choices": ("file", "from-vertices")},)
    # Each attribute takes exactly its declared choices.
    pv, shade = TimedSunPanelModule("pv"), ExactShadowModule("s")
    assert pv.diffuse == "isotropic" and shade.normals == "file"  # the modules' own choice when driven directly
    pv.diffuse, shade.normals = "shaded", "from-vertices"
    assert (pv.diffuse, shade.normals) == ("shaded", "from-vertices")
    for bad in ("dark", None, 3, "Shaded"):
        with pytest.raises(ValueError, match='^diffuse 应为 "shaded" 或 "isotropic"，实际为 %s$' % repr(bad)):
            pv.diffuse = bad
        with pytest.raises(ValueError, match='^normals 应为 "file" 或 "from-vertices"，实际为 '):
            shade.normals = bad
    assert (pv.diffuse, shade.normals) == ("shaded", "from-vertices")
    del shade.normals
    assert shade.normals == "file"
    with pytest.raises(AttributeError):
        del pv.diffuse


def test_a_declared_setting_reaches_the_module_and_the_checked_project(proj, tmp_path):
    from quillmere.core import demo

    (tmp_path / "house.stl").write_text(demo.house_stl(1), encoding="utf-8")
    body = ('[[modules]]\nname = "house"\ntype = "SurfaceShadow"\nmodel = "house.stl"\ntable = "t.csv"\n'
            'method = "table"\nsurfaces = ["roof_south_east"]\n'
            '[[modules]]\nname = "pv"\ntype = "SunPanel"\nshading = "house"\nsurface = "roof_south_east"\n'
            'area = 10.0\nefficiency = 0.2\n%s')
    for extra, chosen in (("", "shaded"), ('diffuse = "isotropic"\n', "isotropic")):
        m = Manager(proj(body % extra))
        m.quiet = True
        m.run_simulation()
        entry = m.project["modules"][1]
        assert entry["settings"] == {"diffuse": chosen} and "diffuse" not in entry["values"]
        assert len(entry["in_file_params"]) == len(SunPanelModule.project_values)
        assert m.modules["pv"].diffuse == chosen

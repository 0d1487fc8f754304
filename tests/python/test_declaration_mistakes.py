"""More declaration mistakes of a user module: each stops the run before the
first step with one line naming the class and the entry (never the
metaclass), instead of being ignored or giving unknown full-load hours."""
import sys
import textwrap

import pytest

from quillmere import cli
from quillmere.core.manager import Manager, ProjectError

MODULES = textwrap.dedent('''
    from quillmere import SimUnit

    class Gen(SimUnit):
        project_values = [{"key": "capacity", "kind": "number", "range": "[0, inf)"}]
        summary_facts = {"rated_power": ["capacity"]}
        def _get_module_info(self):
            return {"name": "G", "vars": [
                {"category": "param", "name": "capacity", "default": 0.0},
                {"category": "param", "name": "label", "default": "x"},
                {"category": "output", "name": "power", "default": 0.0},
                {"category": "output", "name": "energy", "default": 0.0, "notInstantaneous": 1}]}
        def awake(self, state):
            self.params["capacity"]["value"] = self.in_file_params[0]
        def update(self, time, state):
            self.outputs["power"]["value"] = 1.0
            self.outputs["energy"]["value"] += time.time_step / 3600.0

    class UnknownRated(Gen):
        summary_facts = {"rated_power": ["capacty"]}

    class TextRated(Gen):
        summary_facts = {"rated_power": ["label"]}

    class MisspeltFact(Gen):
        summary_facts = {"rated_powr": ["capacity"]}

    class MisspeltEntry(Gen):
        project_values = [{"key": "capacity", "kind": "number", "defualt": 1.0}]

    class CodesList(Gen):
        summary_facts = {"missing_codes": [9999]}

    class NameKey(Gen):
        project_values = [{"key": "capacity", "kind": "number"}, {"key": "name", "kind": "text"}]
''')


@pytest.fixture
def project(tmp_path, monkeypatch):
    (tmp_path / "gmods.py").write_text(MODULES, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monkeypatch.delitem(sys.modules, "gmods", raising=False)

    def write(cls):
        p = tmp_path / "p.toml"
        p.write_text("period = [2025, 1, 1, 2025, 1, 1]\n[site]\nlongitude = 10.0\nlatitude = 50.0\n"
                     f'time_zone = 1\n[[modules]]\nname = "g"\ntype = "gmods:{cls}"\ncapacity = 2.0\n',
                     encoding="utf-8")
        return str(p)

    yield write
    sys.modules.pop("gmods", None)


def test_a_sound_declaration_gives_full_load_hours(project):
    m = Manager(project("Gen"))
    m.quiet = True
    m.run_simulation()
    assert m.summary["g"]["energy_kwh"] == pytest.approx(24.0)
    assert m.summary["g"]["full_load_hours"] == pytest.approx(12.0)


@pytest.mark.parametrize("cls, parts", [
    ("UnknownRated", ('summary_facts["rated_power"]', '"capacty"', "不是这个模块的参数", "capacity, label")),
    ("TextRated", ('summary_facts["rated_power"]', '"label"', "不是数值")),
])
def test_rated_power_naming_no_number_stops_before_the_first_step(project, capsys, cls, parts):
    path = project(cls)
    with pytest.raises(ProjectError) as info:
        Manager(path).run_simulation()
    msg = str(info.value)
    assert msg.startswith("项目文件 " + path) and "模块 g（gmods." + cls + "）" in msg, msg
    assert "nb_type" not in msg and all(p in msg for p in parts), msg
    assert "运行完成" not in capsys.readouterr().out
    assert cli.main(["run", path, "--quiet"]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1 and lines[0].startswith("错误：") and "gmods." + cls in lines[0], lines


@pytest.mark.parametrize("cls, parts", [
    ("MisspeltFact", ("summary_facts: 未知的项 'rated_powr'", "rated_power, generated_files")),
    ("MisspeltEntry", ("project_values[0]: 未知的项 'defualt'", "default")),
    ("CodesList", ('summary_facts["missing_codes"]', "{输出名: 数值}")),
    ("NameKey", ("project_values[1].key", '"name"')),
])
def test_misspelt_or_misplaced_declaration_entries_name_class_and_entry(project, cls, parts):
    with pytest.raises(ProjectError) as info:
        Manager(project(cls)).run_simulation()
    msg = str(info.value)
    assert "modules[0](g).type" in msg and "gmods." + cls + "." in msg, msg
    assert "nb_type" not in msg and all(p in msg for p in parts), msg

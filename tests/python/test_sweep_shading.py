"""What every shading module of a project computes and where its files lie
(shade_exact.shading_keys, by key name), a declared shading type of one's own
in a sweep, and variants checked before any is submitted; on a real local
Dask cluster (two worker processes)."""
import os
import re

import pytest

distributed = pytest.importorskip("distributed")

from quillmere import cli, sweep as sw  # noqa: E402
from quillmere.components.shade_exact import ExactShadowModule, shading_keys  # noqa: E402
from quillmere.core.manager import Manager, load_project  # noqa: E402

from test_sweep import PROJECT, TIMEOUT, cluster, project  # noqa: E402,F401  (fixtures)


def checked(p):
    m = Manager(p)
    m.quiet = True
    return m.load_project()


def test_shading_keys_by_key_name_whatever_form_the_project_writes(project, tmp_path):
    keys = shading_keys(checked(project))
    assert list(keys) == ["house"]  # the weather, panel and turbine analyse no surfaces
    k = keys["house"]
    table = str(tmp_path / "shading" / "table.csv")
    assert k["key"] == "modules[1](house)" and k["table_key"] == "table" and k["table"] == table
    assert k["model"] == str(tmp_path / "house.stl") and k["surfaces"] == ["roof_south_east", "roof_south_west"]
    assert k["variant_table"] == str(tmp_path / "shading" / ("table-" + k["fingerprint"][:12] + ".csv"))
    assert k["files"] == [{"key": "table", "path": table, "variant": k["variant_table"], "address": ("table",)}]
    # The same module written as a params array: the same keys, the table's address in that array.
    p = load_project(project)
    house = p["modules"][1]
    p["modules"][1] = {"name": "house", "type": "SurfaceShadow",
                       "params": [house["model"], house["table"], "exact", [45, 15], 0.5, *house["surfaces"]]}
    as_params = shading_keys(checked(p))["house"]
    house.update(grid=[45, 15], resolution=0.5)
    p["modules"][1] = house
    by_key = shading_keys(checked(p))["house"]
    assert as_params["fingerprint"] == by_key["fingerprint"] != k["fingerprint"]
    assert as_params["table"] == by_key["table"] == table
    assert as_params["files"][0]["address"] == ("params", 1) and by_key["files"][0]["address"] == ("table",)

    def fingerprint(edit):
        q = load_project(project)
        edit(q)
        return shading_keys(checked(q))["house"]["fingerprint"]

    def set_(key, value):
        return lambda q: sw.set_value(q, key, value)

    same = fingerprint(lambda q: None)
    assert same == k["fingerprint"]
    # Where the table lies and what the panels do are no inputs; what is cast is.
    assert fingerprint(set_("house.table", "elsewhere/t.csv")) == same
    assert fingerprint(set_("pv.efficiency", 0.1)) == same
    for key, value in [("house.surfaces", ["roof_south_east"]), ("house.resolution", 0.5),
                       ("house.method", "table"), ("site.latitude", 30.0), ("period", [2025, 6, 20, 2025, 6, 21])]:
        assert fingerprint(set_(key, value)) != same, key
    # The table method does not depend on the run: another site shares its table.
    table_method = fingerprint(set_("house.method", "table"))
    assert fingerprint(lambda q: (sw.set_value(q, "house.method", "table"),
                                  sw.set_value(q, "site.latitude", 30.0))) == table_method
    # A run given as the manager's state is the same run as the project's.
    m = Manager(str(project))
    m.quiet = True
    m.project = m.load_project()
    m.clock = m.create_clock()
    m.create_modules()
    assert shading_keys(m.project, m.state)["house"]["fingerprint"] == same
    with pytest.raises(TypeError, match="Manager.load_project"):
        shading_keys(load_project(project))  # the file's structure, not the checked record
    record = checked(project)
    record["modules"][1]["class"] = ExactShadowModule("x")  # an object, not its class: refused, never read as one
    with pytest.raises(TypeError, match=r"modules\[1\]\(house\).*应为模块类"):
        shading_keys(record)


def test_a_module_from_values_by_key_name(project, tmp_path, capsys):
    unit = ExactShadowModule.from_values("shade", {"model": str(tmp_path / "house.stl"), "table": "t.csv",
                                                    "surfaces": ["roof_south_east", "roof_north"]})
    assert unit.in_file_params == [str(tmp_path / "house.stl"), "t.csv", "exact", None, 0.0, "roof_south_east",
                                   "roof_north"]
    unit = ExactShadowModule.from_values("shade", {"model": "m.stl", "table": "t.csv", "method": "table",
                                                    "grid": [15.0, 5.0], "surfaces": ["a"]})
    assert unit.in_file_params == ["m.stl", "t.csv", "table", [15.0, 5.0], 0.0, "a"]
    with pytest.raises(KeyError, match="缺少键 \"table\""):
        ExactShadowModule.from_values("shade", {"model": "m.stl", "surfaces": ["a"]})
    with pytest.raises(KeyError, match="未知的键 'tabel'.*model, table, method"):
        ExactShadowModule.from_values("shade", {"model": "m.stl", "tabel": "t.csv", "surfaces": ["a"]})
    with pytest.raises(TypeError, match="dict"):
        ExactShadowModule.from_values("shade", [("model", "m.stl")])


# A shading type of one's own: it declares surfaces and the table it generates,
# and writes its scale into the table when the table is absent (as a shading
# table is computed once and then reused).
USER_SHADE = '''
import os
from quillmere import SimUnit
class Shade(SimUnit):
    project_values = [{"key": "model", "kind": "model"}, {"key": "table", "kind": "output_file"},
                      {"key": "scale", "kind": "number"}, {"key": "surfaces", "kind": "surfaces"}]
    summary_facts = {"generated_files": ["table"]}
    def _get_module_info(self):
        return {"name": "Shade", "vars": [{"category": "output", "name": "scale_read", "default": 0.0}]}
    def awake(self, state):
        table, scale = self.in_file_params[1], self.in_file_params[2]
        if not os.path.exists(table):
            with open(table, "w") as f:
                f.write(repr(scale))
        with open(table) as f:
            self.outputs["scale_read"]["value"] = float(f.read())
    def update(self, time_, state):
        pass
'''


def test_a_declared_shading_type_gets_a_table_per_variant(cluster, project, tmp_path):  # noqa: F811
    (tmp_path / "shade.py").write_text(USER_SHADE, encoding="utf-8")
    text = PROJECT + ('[[modules]]\nname = "mine"\ntype = "shade:Shade"\nmodel = "house.stl"\n'
                      'table = "mine.txt"\nscale = 1.0\nsurfaces = ["roof_north"]\n')
    project.write_text(text, encoding="utf-8")
    keys = shading_keys(checked(project))
    assert list(keys) == ["house", "mine"] and keys["mine"]["table"] == str(tmp_path / "mine.txt")
    vary = {"mine.scale": [1.0, 2.0], "pv.efficiency": [0.1, 0.2]}
    df = sw.sweep(str(project), vary, cluster, timeout=TIMEOUT)
    assert df["error"].isna().all(), df["error"].tolist()
    # The project's own scale keeps the project's table; the other scale has its own, named as
    # shading_keys names it, and each holds its own scale (one shared file would hold one of them).
    q = load_project(project)
    sw.set_value(q, "mine.scale", 2.0)
    other = shading_keys(checked(q))["mine"]["variant_table"]
    assert sorted(f for f in os.listdir(tmp_path) if f.startswith("mine")) == sorted(["mine.txt", os.path.basename(other)])
    assert (tmp_path / "mine.txt").read_text() == "1.0" and open(other).read() == "2.0"
    # The built-in shading module, the same in every variant, keeps its one table.
    assert [f for f in os.listdir(tmp_path / "shading") if f.count(".") == 1] == ["table.csv"]


def test_every_variant_is_checked_before_any_is_submitted(cluster, project, tmp_path, capsys):  # noqa: F811
    # Variant 3 names a weather file that does not exist: found when the project it gives is checked,
    # before any variant runs; "stop" submits nothing and names the variant, its values and the key.
    (tmp_path / "w2.epw").write_bytes((tmp_path / "weather.epw").read_bytes())
    vary = {"weather.file": ["weather.epw", "w2.epw", "missing.epw"]}
    with pytest.raises(sw.SweepError) as info:
        sw.sweep(str(project), vary, cluster, timeout=TIMEOUT, invalid="stop")
    text = str(info.value)
    assert "变体 3（weather.file='missing.epw'）" in text and "未提交任何变体" in text
    assert "modules[0](weather).file" in text and "missing.epw" in text
    assert not (tmp_path / "shading").exists()  # the valid variants never ran (they would compute the table)
    # Checks of the project each variant gives: a period that does not exist, a surface the shading
    # module does not analyse.
    for key, values, where in [("period", [[2025, 6, 20, 2025, 6, 22], [2025, 2, 30, 2025, 3, 2]], "变体 2"),
                               ("pv.surface", ["roof_south_east", "roof_nowhere"], "modules[2](pv).surface")]:
        with pytest.raises(sw.SweepError, match=re.escape(where)):
            sw.sweep(str(project), {key: values}, cluster, timeout=TIMEOUT, invalid="stop")
    assert not (tmp_path / "shading").exists()
    # The command line stops at once with one line and exit status 1.
    capsys.readouterr()
    assert cli.main(["sweep", str(project), "--vary", "weather.file=weather.epw,missing.epw",
                     "--scheduler", cluster.scheduler.address]) == 1
    out = capsys.readouterr().out
    lines = [line for line in out.splitlines() if line.strip()]
    assert len(lines) == 1 and lines[0].startswith("错误：变体 2（weather.file='missing.epw'）"), out
    assert not (tmp_path / "shading").exists()
    # "report" (the default): the bad variant is a row with its error and is never run; the others run.
    df = sw.sweep(str(project), vary, cluster, timeout=TIMEOUT)
    assert df["error"].isna().tolist() == [True, True, False]
    assert "modules[0](weather).file" in df["error"][2]
    assert df.attrs["seconds"][2] is None and df.attrs["workers"][2] is None
    assert df.attrs["workers"][0] is not None and df["pv.energy_kwh"][1] == df["pv.energy_kwh"][0]

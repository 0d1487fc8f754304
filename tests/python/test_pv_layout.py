"""PV arrays with a module layout through projects: modules placed on the roof, the beam on every cell,
the electrical partial-shade loss in the loss tree, per-module energies, and the layouts refused."""
import pytest

from quillmere import cli
from quillmere.core import demo
from quillmere.core.manager import Manager

from demo_inputs import run_quiet, two_roof_arrays, write_inputs

LAYOUT = 'layout = "grid"\nrows = 2\ncolumns = 4\nsetback = 0.25\n'


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return write_inputs(tmp_path_factory.mktemp("layout"), 48.21, 16.37, 1, weather="cloudy", roof_cells=5)


def project(folder, east="", west="", name="p.toml", period=""):
    p = folder / name
    p.write_text(two_roof_arrays(area=13.6, east=east, west=west, period=period), encoding="utf-8")
    return str(p)


run = run_quiet


def test_a_laid_out_array_adds_the_electrical_partial_shade_loss(folder):
    m, df = run(project(folder, east=LAYOUT, west=LAYOUT + 'mppt = "module"\n'))
    east, west = m.modules["pv_east"], m.modules["pv_west"]
    tree = east.loss_tree()
    assert list(tree) == ["poa_unshaded", "poa_beam_shaded", "poa_global", "effective_irradiance", "dc_stc",
                          "dc_temperature", "dc_mismatch", "dc"]
    assert tree["dc"] == pytest.approx(df["pv_east.energy"].iloc[-1], rel=1e-12)
    assert tree["dc"] == pytest.approx(tree["dc_mismatch"] * (1 - east.system_losses / 100), rel=1e-9)
    loss = 1 - tree["dc_mismatch"] / tree["dc_temperature"]
    assert 0.005 < loss < 0.1  # the tower's shade crosses the east part's strings
    # Module-level MPPT keeps more of the shaded light than one string.
    wtree = west.loss_tree()
    assert 1 - wtree["dc_mismatch"] / wtree["dc_temperature"] < loss
    s = east.layout_summary()
    assert s["names"] == ["R1C1", "R1C2", "R1C3", "R1C4", "R2C1", "R2C2", "R2C3", "R2C4"]
    assert sum(s["module_energy"]) == pytest.approx(tree["dc_mismatch"], rel=1e-9)
    assert sum(s["string_energy"]) == pytest.approx(tree["dc_mismatch"], rel=1e-9)
    assert sum(s["tracker_energy"]) == pytest.approx(tree["dc_mismatch"], rel=1e-9)
    assert max(s["module_partial_shade_loss"]) > 0.0
    assert all(len(c) == 4 for c in s["corners"])
    # The nameplate of eight modules of 31.0 V x 8.9 A.
    assert east.params["pdc0"]["value"] == pytest.approx(8 * 31.0 * 8.9 / 1000, rel=1e-12)


def test_arrays_without_layout_keep_their_tree(folder):
    m, _ = run(project(folder, name="plain.toml"))
    assert "dc_mismatch" not in m.modules["pv_east"].loss_tree()
    assert m.modules["pv_east"].layout_summary() is None


def test_a_module_off_its_surface_stops_the_run_naming_it(folder):
    # Refused at start-up, before the step loop, naming the array, the module and the surface.
    with pytest.raises(ValueError, match=r"pv_east：组件 R1C5（第 5 个）不在表面 roof_south_east 上"):
        run(project(folder, east='layout = "grid"\nrows = 1\ncolumns = 5\n', name="off.toml"))
    with pytest.raises(ValueError, match="bypass_diodes"):
        run(project(folder, east=LAYOUT + "bypass_diodes = 4\n", name="diodes.toml"))
    with pytest.raises(ValueError, match="rows"):
        run(project(folder, east='layout = "grid"\nrows = 1.5\n', name="rows.toml"))


def test_cell_light_is_kept_beside_the_table_and_recast_when_the_layout_changes(tmp_path, capsys):
    (tmp_path / "house.stl").write_text(demo.house_stl(), encoding="utf-8")
    (tmp_path / "weather.epw").write_text(demo.cloudy_epw(48.21, 16.37, 1), encoding="utf-8")
    period = "period = [2025, 6, 1, 2025, 6, 7]"
    path = project(tmp_path, east=LAYOUT, period=period)
    cast = "开始计算组件电池片的直射光"

    def energies(p):
        m = Manager(p)
        df = m.run_simulation()
        return df["pv_east.energy"].to_numpy(), m.modules["pv_east"].layout_summary()["module_energy"]

    first = energies(path)
    assert capsys.readouterr().out.count(cast) == 1
    kept = tmp_path / "t.cells.pv_east.bin"
    assert kept.is_file() and (tmp_path / "t.cells.pv_east.bin.fingerprint").is_file()
    # A second run reads the cells' light back: the same numbers, nothing cast.
    second = energies(path)
    assert cast not in capsys.readouterr().out
    assert (first[0] == second[0]).all() and first[1] == second[1]
    # Another layout on the same surface makes the kept light stale.
    other = project(tmp_path, east='layout = "grid"\nrows = 2\ncolumns = 3\nsetback = 0.25\n', period=period,
                    name="other.toml")
    energies(other)
    out = capsys.readouterr().out
    assert "已过期（layout 不同）" in out and out.count(cast) == 1
    # A damaged file is not used: cast again, the same numbers as the first run.
    energies(path)
    capsys.readouterr()
    data = bytearray(kept.read_bytes())
    data[-1] ^= 0xFF
    kept.write_bytes(bytes(data))
    third = energies(path)
    assert capsys.readouterr().out.count(cast) == 1
    assert (first[0] == third[0]).all() and first[1] == third[1]
    # Regenerating the shading discards the kept cell light with the other caches.
    assert cli.main(["run", str(path), "--regenerate-shading", "-o", str(tmp_path / "r.csv")]) == 0
    assert capsys.readouterr().out.count(cast) == 1


def test_a_module_off_its_surface_is_refused_by_the_project_checks(folder, capsys):
    # Loading the project refuses it (no module created, no shading cast), one line naming the file, the
    # array's layout key, the array, the module and the surface.
    from quillmere.core.manager import ProjectError

    path = project(folder, west='layout = "grid"\nrows = 1\ncolumns = 5\n', name="off_west.toml")
    with pytest.raises(ProjectError) as info:
        Manager(path).load_project()
    line = str(info.value)
    assert "\n" not in line
    assert path in line and "modules[3](pv_west).layout" in line
    assert "光伏阵列 pv_west：组件 R1C5（第 5 个）不在表面 roof_south_west 上" in line
    assert "开始" not in capsys.readouterr().out  # nothing cast before the refusal
    # A fill that finds no place at all is refused there too; layouts that fit pass.
    path = project(folder, east='layout = "fill"\nsetback = 3.0\n', name="none_fits.toml")
    with pytest.raises(ProjectError, match="pv_east：表面 roof_south_east 按退距与间隙放不下任何组件"):
        Manager(path).load_project()
    Manager(project(folder, east=LAYOUT, west='layout = "fill"\nsetback = 0.2\n', name="fits.toml")).load_project()


def test_string_and_tracker_powers_are_results_and_the_inverter_tree_has_the_mismatch_stage(folder):
    inverter = '\n[[modules]]\nname = "inv"\ntype = "Inverter"\npanels = "pv_east, pv_west"\n'
    east = LAYOUT + "modules_per_string = 4\nstrings_per_tracker = 1\n"
    m, df = run(project(folder, east=east, west=inverter, name="strings.toml",
                        period="period = [2025, 5, 1, 2025, 5, 31]"))
    columns = [f"pv_east.{k}" for k in ("string_dc_1", "string_dc_2", "tracker_dc_1", "tracker_dc_2")]
    assert all(c in df.columns for c in columns)
    assert not any(c.startswith("pv_west.string_dc") for c in df.columns)  # no layout, no strings
    east_unit = m.modules["pv_east"]
    s1, s2, t1, t2 = (df[c].to_numpy() for c in columns)
    assert (s1 == t1).all() and (s2 == t2).all()  # one string per tracker
    # The strings add up to the array's DC after mismatch: its power before the system losses.
    dc_mismatch = df["pv_east.power"].to_numpy() / (1 - east_unit.system_losses / 100)
    assert abs(s1 + s2 - dc_mismatch).max() < 1e-9
    assert (s1 != s2).any()  # the tower's shade falls on one string more than on the other
    summary = east_unit.layout_summary()
    assert s1.sum() == pytest.approx(summary["string_energy"][0], rel=1e-9)  # hourly steps: kW x 1 h
    assert t2.sum() == pytest.approx(summary["tracker_energy"][1], rel=1e-9)
    # The inverter's tree: the electrical partial-shade loss is its own stage between temperature and dc.
    inv = m.modules["inv"].loss_tree()
    et, wt = east_unit.loss_tree(), m.modules["pv_west"].loss_tree()
    assert list(inv) == ["poa_unshaded", "poa_beam_shaded", "poa_global", "effective_irradiance", "dc_stc",
                         "dc_temperature", "dc_mismatch", "dc", "ac_before_clipping", "ac"]
    for stage in ("poa_unshaded", "poa_beam_shaded", "poa_global", "effective_irradiance", "dc_stc",
                  "dc_temperature", "dc"):
        assert inv[stage] == pytest.approx(et[stage] + wt[stage], rel=1e-12), stage
    assert inv["dc_mismatch"] == pytest.approx(et["dc_mismatch"] + wt["dc_temperature"], rel=1e-12)
    assert inv["dc_temperature"] > inv["dc_mismatch"] > inv["dc"]
    assert inv["dc"] == pytest.approx(inv["dc_mismatch"] * (1 - east_unit.system_losses / 100), rel=1e-9)


def test_a_second_start_up_with_another_layout_drops_the_old_strings_outputs(folder):
    east = LAYOUT + "modules_per_string = 2\nstrings_per_tracker = 2\n"
    m = Manager(project(folder, east=east, name="again.toml", period="period = [2025, 6, 1, 2025, 6, 1]"))
    m.quiet = True
    m.prepare("awake")
    unit = m.modules["pv_east"]
    strings = lambda: sorted(k for k in unit.outputs if k.startswith(("string_dc", "tracker_dc")))  # noqa: E731
    assert strings() == ["string_dc_1", "string_dc_2", "string_dc_3", "string_dc_4", "tracker_dc_1", "tracker_dc_2"]
    keys = [d["key"] for d in type(unit).project_values]
    unit.in_file_params[keys.index("modules_per_string")] = 8
    unit.in_file_params[keys.index("strings_per_tracker")] = 1
    unit.awake(m.state)
    assert strings() == ["string_dc_1", "tracker_dc_1"]
    unit.in_file_params[keys.index("layout")] = "none"
    unit.awake(m.state)
    assert strings() == [] and unit.layout_summary() is None

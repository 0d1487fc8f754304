"""PV arrays with the conversion chain and their inverter, through projects and direct calls."""
import math

import pandas as pd
import pytest

from quillmere.components.inverter import InverterModule
from quillmere.components.pv_array import PVArrayModule
from quillmere.core.manager import Manager, ProjectError

from demo_inputs import run_quiet, two_roof_arrays, write_inputs

LOSSES = ("soiling", "mismatch", "wiring", "connections", "lid", "nameplate_rating", "availability")
NEUTRAL = 'iam_model = "no_loss"\ngamma_pdc = 0.0\n' + "".join(f"{k} = 0.0\n" for k in LOSSES)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    d = tmp_path_factory.mktemp("chain")
    return write_inputs(d, 48.21, 16.37, 1, weather="cloudy")


def project(folder, panel_type="PVArray", extra="", inverter="", weather_links=True, name="p.toml"):
    p = folder / name
    p.write_text(two_roof_arrays(panel_type, east=extra, west=extra, inverter=inverter, weather_links=weather_links),
                 encoding="utf-8")
    return str(p)


run = run_quiet


# The inverter comes first in the file: it still reads the arrays' power of the same step.
INVERTER = '[[modules]]\nname = "inv"\ntype = "Inverter"\npanels = "pv_east, pv_west"\n'


class TestYear:
    def test_neutral_chain_gives_the_simple_models_energy(self, folder):
        _, simple = run(project(folder, "SunPanel", weather_links=False, name="simple.toml"))
        m, chain = run(project(folder, extra=NEUTRAL, inverter=INVERTER + 'ac_model = "lossless"\n',
                               name="neutral.toml"))
        for pv in ("pv_east", "pv_west"):
            assert chain[pv + ".energy"].iloc[-1] == pytest.approx(simple[pv + ".energy"].iloc[-1], rel=1e-12)
            assert (chain[pv + ".power"] - simple[pv + ".power"]).abs().max() < 1e-12
        total = simple["pv_east.energy"].iloc[-1] + simple["pv_west.energy"].iloc[-1]
        assert chain["inv.ac_energy"].iloc[-1] == pytest.approx(total, rel=1e-12)

    def test_default_chain_stages_the_year_and_the_tree_adds_up(self, folder):
        m, df = run(project(folder, inverter=INVERTER))
        # The inverter updates after its arrays wherever it stands in the file.
        assert (df["inv.dc_power"] - df["pv_east.power"] - df["pv_west.power"]).abs().max() < 1e-12
        day = df["pv_east.poa_global"] > 50
        assert (df.loc[day, "pv_east.effective_irradiance"] < df.loc[day, "pv_east.poa_global"]).all()
        assert df.loc[day, "pv_east.cell_temperature"].notna().all()
        assert (df.loc[day, "pv_east.cell_temperature"] > df.loc[day, "weather.dry_bulb_temp"]).all()
        for pv in ("pv_east", "pv_west"):
            tree = m.modules[pv].loss_tree()
            assert list(tree) == ["poa_unshaded", "poa_beam_shaded", "poa_global", "effective_irradiance",
                                  "dc_stc", "dc_temperature", "dc"]
            assert tree["dc"] == pytest.approx(df[pv + ".energy"].iloc[-1], rel=1e-12)
            assert tree["poa_unshaded"] > tree["poa_beam_shaded"] > tree["poa_global"] > tree["effective_irradiance"]
            # DC at STC is the effective light times the rating per m2 of panel (0.2 kW/m2).
            assert tree["dc_stc"] == pytest.approx(tree["effective_irradiance"] * 0.2, rel=1e-12)
            assert tree["dc"] == pytest.approx(tree["dc_temperature"] * (1 - m.modules[pv].system_losses / 100),
                                               rel=1e-12)
            assert m.modules[pv].system_losses == pytest.approx(11.418206895118011, rel=1e-12)
        inv = m.modules["inv"].loss_tree()
        east, west = m.modules["pv_east"].loss_tree(), m.modules["pv_west"].loss_tree()
        assert inv["dc"] == pytest.approx(east["dc"] + west["dc"], rel=1e-12)
        assert inv["ac"] == pytest.approx(df["inv.ac_energy"].iloc[-1], rel=1e-12)
        assert 0.9 < inv["ac_before_clipping"] / inv["dc"] < 0.97
        assert m.summary  # the run's summary is still written


class TestLossTreeReporting:
    def test_summary_attrs_and_companion_file_show_the_same_tree(self, folder, capsys):
        m = Manager(project(folder, inverter=INVERTER, name="report.toml"))
        m.output_path = str(folder / "out" / "results.csv")
        df = m.run_simulation()
        trees = df.attrs["loss_tree"]
        assert list(trees) == ["inv", "pv_east", "pv_west"]  # modules in file order
        assert trees["pv_east"] == m.modules["pv_east"].loss_tree()
        assert trees["inv"]["ac"] == pytest.approx(df["inv.ac_energy"].iloc[-1], rel=1e-12)
        out = capsys.readouterr().out.splitlines()
        head = out.index("损失树 inv（各阶段的年能量；光照阶段为组件面积上的光能）：")
        stages = out[head + 1:head + 10]
        assert [line.split()[0] for line in stages] == ["inv." + stage for stage in trees["inv"]]
        # Each line's change is the step from the line before; from DC at STC they add up to the AC energy.
        changes = [float(line.split()[3]) for line in stages[5:]]
        assert float(stages[4].split()[1]) + sum(changes) == pytest.approx(trees["inv"]["ac"], abs=0.02)
        assert any(line.startswith("损失树已写入: ") for line in out)
        import pandas as pd

        companion = pd.read_csv(folder / "out" / "results.loss_tree.csv")
        assert list(companion.columns) == ["module", "stage", "energy_kwh", "change_kwh", "change_percent"]
        inv = companion[companion.module == "inv"].set_index("stage")
        assert inv.energy_kwh.to_dict() == trees["inv"]  # shortest round-trip numbers
        assert inv.loc["dc_stc", "energy_kwh"] + inv.change_kwh.iloc[5:].sum() == pytest.approx(trees["inv"]["ac"],
                                                                                                rel=1e-12)
        assert pd.isna(inv.loc["dc_stc", "change_kwh"]) and pd.isna(inv.loc["poa_unshaded", "change_kwh"])

    def test_a_run_without_arrays_has_no_tree_anywhere(self, folder, capsys):
        m = Manager(project(folder, "SunPanel", weather_links=False, name="plain.toml"))
        m.output_path = str(folder / "plain" / "results.csv")
        df = m.run_simulation()
        assert "loss_tree" not in df.attrs
        assert "损失树" not in capsys.readouterr().out
        assert not (folder / "plain" / "results.loss_tree.csv").exists()


class TestProjectErrors:
    def test_a_missing_weather_link_names_the_array_and_the_input(self, folder):
        with pytest.raises(ValueError, match="光伏阵列 pv_east 的输入 temp_air 没有连接"):
            run(project(folder, weather_links=False, name="nolink.toml"))

    def test_without_a_temperature_effect_no_weather_is_needed(self, folder):
        m, df = run(project(folder, extra="gamma_pdc = 0.0\n", weather_links=False, name="notemp.toml"))
        assert df["pv_east.energy"].iloc[-1] > 0

    @pytest.mark.parametrize("panels, message", [
        ("pv_east, pv_north", "没有名为 pv_north 的模块"),
        ("weather", "模块 weather 不是光伏阵列"),
        ("pv_east pv_east", "光伏阵列 pv_east 在 panels 中出现了两次"),
        (" , ", "panels 中没有光伏阵列"),
    ])
    def test_the_inverter_names_what_it_cannot_serve(self, folder, panels, message):
        inv = f'[[modules]]\nname = "inv"\ntype = "Inverter"\npanels = "{panels}"\n'
        with pytest.raises(ValueError, match="逆变器 inv：" + message):
            run(project(folder, inverter=inv, name="badinv.toml"))

    @pytest.mark.parametrize("extra, key", [("n = 0.5\n", "n"), ('iam_model = "fresnel"\n', "iam_model"),
                                            ("soiling = 120\n", "soiling"), ("gamma_pdc = -0.5\n", "gamma_pdc"),
                                            ('mounting = "pole"\n', "mounting")])
    def test_chain_values_are_checked_before_the_run(self, folder, extra, key):
        with pytest.raises(ProjectError, match=r"pv_east\)\.%s" % key):
            Manager(project(folder, extra=extra, name="bad.toml")).run_simulation()


class TestDirect:
    def test_the_inverter_clips_at_its_ac_rating(self):
        from quillmere.core.sim_clock import SimClock

        arrays = {}
        for name, power in (("a", 3.0), ("b", 2.5)):
            pv = PVArrayModule(name)
            pv.in_file_params = ["s", "roof", 20.0, 0.2, 800.0, 100.0, 0.2]
            pv.outputs["power"]["value"] = power
            arrays[name] = pv
        inv = InverterModule("inv")
        inv.in_file_params = ["a,b", 5.0]
        inv.awake({"modules": arrays})
        c = SimClock(0.0, 3600.0)
        c.set_period({})
        inv.update(c, {})
        assert inv.outputs["dc_power"]["value"] == 5.5
        assert inv.outputs["ac_power"]["value"] == 0.96 * 5.0
        assert inv.outputs["clipping"]["value"] > 0.0
        assert inv.outputs["ac_energy"]["value"] == 0.96 * 5.0
        arrays["a"].outputs["power"]["value"] = math.nan  # an unknown step adds nothing
        c.current_time += 3600.0
        inv.update(c, {})
        assert math.isnan(inv.outputs["ac_power"]["value"])
        assert inv.outputs["ac_energy"]["value"] == 0.96 * 5.0
        assert inv.loss_tree()["ac"] == 0.96 * 5.0


def test_the_demo_with_the_chain_prints_its_loss_tree(tmp_path, capsys):
    from quillmere import cli

    assert cli.main(["demo", str(tmp_path / "d"), "--chain", "--no-plot"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert any(line.startswith("发电模块 pv_east（PVArray）") for line in out)
    head = out.index("损失树 inverter（各阶段的年能量；光照阶段为组件面积上的光能）：")
    assert [line.split()[0] for line in out[head + 1:head + 10]] == ["inverter." + s for s in (
        "poa_unshaded", "poa_beam_shaded", "poa_global", "effective_irradiance", "dc_stc", "dc_temperature", "dc",
        "ac_before_clipping", "ac")]
    # The two arrays see the same unshaded light: both lines are shown, each naming its array.
    assert sum(1 for line in out if line.split()[:1] in (["pv_east.poa_unshaded"], ["pv_west.poa_unshaded"])) == 2
    assert (tmp_path / "d" / "results.loss_tree.csv").is_file()
    # The building's bus is fed the inverter's AC (and the turbine), not the arrays' DC.
    table = pd.read_csv(tmp_path / "d" / "results.csv")
    ac = table["inverter.ac_energy"].iloc[-1] + table["turbine.energy"].iloc[-1]
    bus = [line for line in out if line.startswith("能量平衡 bus：发电 ")]
    assert len(bus) == 1 and float(bus[0].split("发电 ")[1].split(" kWh")[0]) == pytest.approx(ac, abs=0.01)

"""The building's use of its power: Load, Battery, Grid and Bus on the demo house,
through the public API (balance closure, battery limits, curtailment, load tables)."""
import numpy as np
import pytest

from quillmere import cli
from quillmere.core.manager import Manager, ProjectError, load_project


@pytest.fixture(scope="module")
def demo_project(tmp_path_factory):
    folder = tmp_path_factory.mktemp("energy")
    assert cli.main(["demo", str(folder / "demo"), "--no-plot", "--quiet"]) == 0
    return folder / "demo" / "project.toml"


def module(p, name):
    return next(m for m in p["modules"] if m["name"] == name)


def run(p, period=None):
    if period:
        p["period"] = period
    p.get("output", {}).pop("csv", None)
    m = Manager(p)
    m.quiet = True
    return m, m.run_simulation()


TWO_WEEKS = [2025, 6, 1, 2025, 6, 14]


def test_demo_year_closes_both_balances_every_step(demo_project):
    m, df = run(load_project(demo_project))
    gen = df["pv_east.power"] + df["pv_west.power"] + df["turbine.power"]
    assert np.allclose(df["bus.generation"], gen, rtol=0, atol=1e-12)
    assert np.allclose(df["bus.demand"], df["household.demand"], rtol=0, atol=1e-12)
    supply = df["bus.own_use"] + df["bus.battery_charge"] + df["bus.grid_export"] + df["bus.curtailed"]
    served = df["bus.own_use"] + df["bus.battery_discharge"] + df["bus.grid_import"]
    assert (df["bus.generation"] - supply).abs().max() < 1e-9
    assert (df["bus.demand"] - served).abs().max() < 1e-9
    assert df["bus.residual"].max() < 1e-9
    # The battery's and the grid's outputs are those of the bus's settlement.
    assert np.array_equal(df["battery.charge_power"], df["bus.battery_charge"])
    assert np.array_equal(df["grid.export_power"], df["bus.grid_export"])
    assert ((df["bus.grid_import"] > 0) & (df["bus.grid_export"] > 0)).sum() == 0
    # Figures: the year is the sum of the steps and of the months; the summary carries them.
    balance = df.attrs["energy_balance"]["bus"]
    year = balance["year"]
    assert year["steps"] == 8760 and year["max_residual_kw"] < 1e-9
    assert year["import_kwh"] == pytest.approx(df["bus.grid_import"].sum(), rel=1e-12)
    assert year["generation_kwh"] == pytest.approx(df["bus.generation"].sum(), rel=1e-12)
    assert year["demand_kwh"] == pytest.approx(4000.0, rel=1e-9)
    assert sorted(balance["months"]) == list(range(1, 13))
    for key in ("generation_kwh", "export_kwh", "curtailed_kwh", "cost", "revenue"):
        assert sum(mo[key] for mo in balance["months"].values()) == pytest.approx(year[key], rel=1e-9)
    assert year["self_consumption"] == pytest.approx(
        1 - (year["export_kwh"] + year["curtailed_kwh"]) / year["generation_kwh"], rel=1e-12)
    assert year["self_sufficiency"] == pytest.approx(1 - year["import_kwh"] / year["demand_kwh"], rel=1e-12)
    assert year["cost"] == pytest.approx(0.30 * year["import_kwh"], rel=1e-9)
    assert year["revenue"] == pytest.approx(0.08 * year["export_kwh"], rel=1e-9)
    assert df["grid.cost"].iloc[-1] == pytest.approx(year["cost"], rel=1e-12)
    assert df["battery.cycles"].iloc[-1] == pytest.approx(year["battery_cycles"], rel=1e-9)
    assert balance["battery"] == "battery" and balance["grid"] == "grid"
    assert df.attrs["units"]["bus.grid_import"] == "kW" and df.attrs["units"]["battery.soc"] == "-"
    assert m.modules["bus"].energy_balance["year"]["steps"] == 8760
    # Winter needs more than summer: the household profile's season.
    assert balance["months"][1]["demand_kwh"] > 1.3 * balance["months"][7]["demand_kwh"]


def test_battery_stays_within_its_limits(demo_project):
    p = load_project(demo_project)
    module(p, "battery").update(capacity=8.0, soc_min=0.15, soc_max=0.85, soc_initial=0.15,
                                max_charge_power=1.5, max_discharge_power=0.7)
    _, df = run(p, [2025, 3, 1, 2025, 4, 30])
    soc = df["battery.soc"]
    assert soc.min() >= 0.15 - 1e-12 and soc.max() <= 0.85 + 1e-12
    assert soc.max() == pytest.approx(0.85) and soc.min() == pytest.approx(0.15)  # both limits reached
    assert df["battery.charge_power"].max() == pytest.approx(1.5)
    assert df["battery.charge_power"].max() <= 1.5 and df["battery.discharge_power"].max() <= 0.7
    assert (df["battery.stored_energy"] - 8.0 * soc).abs().max() < 1e-12
    # Never charged from the grid, never discharged into it.
    assert ((df["battery.charge_power"] > 0) & (df["bus.grid_import"] > 0)).sum() == 0
    assert ((df["battery.discharge_power"] > 0) & (df["bus.grid_export"] > 0)).sum() == 0


def test_zero_capacity_battery_equals_no_battery(demo_project):
    p = load_project(demo_project)
    module(p, "battery")["capacity"] = 0.0
    _, zero = run(p, TWO_WEEKS)
    q = load_project(demo_project)
    q["modules"] = [m for m in q["modules"] if m["name"] != "battery"]
    del module(q, "bus")["battery"]
    _, none = run(q, TWO_WEEKS)
    for col in ("bus.grid_import", "bus.grid_export", "bus.curtailed", "grid.cost", "grid.revenue"):
        assert np.array_equal(zero[col], none[col]), col
    assert zero["battery.cycles"].max() == 0.0
    assert zero.attrs["energy_balance"]["bus"]["year"] == {
        **none.attrs["energy_balance"]["bus"]["year"], "battery_cycles": 0.0}


def test_export_is_curtailed_at_the_feed_in_limit(demo_project):
    p = load_project(demo_project)
    module(p, "grid")["feed_in_limit"] = 1.0
    module(p, "battery")["capacity"] = 0.0
    _, df = run(p, TWO_WEEKS)
    surplus = (df["bus.generation"] - df["bus.demand"]).clip(lower=0.0)
    assert df["bus.grid_export"].max() == pytest.approx(1.0)
    assert np.allclose(df["bus.curtailed"], (surplus - 1.0).clip(lower=0.0), rtol=0, atol=1e-12)
    assert df["bus.curtailed"].sum() > 10.0
    assert df["grid.curtailed"].iloc[-1] == pytest.approx(df["bus.curtailed"].sum(), rel=1e-12)
    # Without a grid module the export is unlimited.
    q = load_project(demo_project)
    q["modules"] = [m for m in q["modules"] if m["name"] != "grid"]
    del module(q, "bus")["grid"]
    _, free = run(q, TWO_WEEKS)
    assert free["bus.curtailed"].max() == 0.0


def test_summary_line_and_checks_of_the_bus(demo_project, capsys):
    p = load_project(demo_project)
    p["period"] = TWO_WEEKS
    p["output"] = {}
    m = Manager(p)
    m.run_simulation()
    m.summarize()
    out = capsys.readouterr().out
    assert "能量平衡 bus：发电 " in out and "自发自用率" in out and "购电费用" in out
    p = load_project(demo_project)
    module(p, "bus")["generators"] = ["pv_east", "pv_wset"]
    with pytest.raises(ProjectError, match=r"modules\[\d+\]\(bus\)\.generators\[1\]: 没有名为 \"pv_wset\" 的模块.*pv_west"):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    module(p, "bus")["loads"] = ["pv_east"]  # a panel has no demand output
    with pytest.raises(ProjectError, match=r"bus 的 loads\[0\]: 模块 \"pv_east\" 没有输出 \"demand\""):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    module(p, "bus")["generators"] = ["pv_east.energy_x"]
    with pytest.raises(ProjectError, match="没有输出 \"energy_x\""):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    module(p, "bus")["battery"] = "grid"
    with pytest.raises(ProjectError, match="battery: 模块 \"grid\" 不是 Battery 类型"):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    module(p, "bus")["generators"] = ["pv_east", "turbine", "pv_east.power"]  # counted twice
    with pytest.raises(ProjectError, match=r"generators\[2\]: \"pv_east.power\" 已列出"):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    p["modules"].append({"name": "bus2", "type": "Bus", "loads": ["household"], "battery": "battery"})
    with pytest.raises(ProjectError, match=r"bus2 的 battery: 模块 \"battery\" 已由母线 \"bus\" 结算"):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    module(p, "bus")["generators"] = "pv_east"
    with pytest.raises(ProjectError, match=r"generators: 应为模块实例名的数组"):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    module(p, "battery").update(soc_min=0.2, soc_initial=0.1)
    with pytest.raises(ProjectError, match=r"soc_initial 0.1 不在 \[soc_min, soc_max\] = \[0.2, 1\]"):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    module(p, "battery")["charge_efficiency"] = 95
    with pytest.raises(ProjectError, match="charge_efficiency: 应在 \\(0, 1\\]"):
        run(p, TWO_WEEKS)
    p = load_project(demo_project)
    del module(p, "household")["annual_energy"]
    with pytest.raises(ProjectError, match="household 的 annual_energy: 标准负荷曲线"):
        run(p, TWO_WEEKS)


def with_load_file(demo_project, text, name="load.csv", **values):
    path = demo_project.parent / name
    path.write_text(text, encoding="utf-8")
    p = load_project(demo_project)
    load = module(p, "household")
    load.clear()
    load.update(name="household", type="Load", file=name, **values)
    return p, path


def stamps(start, hours, value=lambda h: 0.5):
    import datetime as dt
    t0 = dt.datetime.fromisoformat(start)
    return "".join(f"{(t0 + dt.timedelta(hours=h)):%Y-%m-%d %H:%M},{value(h)}\n" for h in range(hours))


def test_load_table_by_stamps_units_and_year_mapping(demo_project):
    day = [2025, 6, 1, 2025, 6, 1]
    p, _ = with_load_file(demo_project, "time,demand [W]\n" + stamps("2025-05-31 22:00", 30, lambda h: 100.0 * h))
    _, df = run(p, day)
    assert np.allclose(df["household.demand"], [0.1 * (h + 2) for h in range(24)], rtol=0, atol=1e-12)
    # Energy per step in kWh, one value per step; scaled to an annual energy.
    p, _ = with_load_file(demo_project, "".join(f"{0.25 * (h % 4)}\n" for h in range(24)), unit="kWh")
    _, df = run(p, day)
    assert list(df["household.demand"]) == [0.25 * (h % 4) for h in range(24)]
    # A year of rows without stamps, measured in another year, is taken by the step's place in the year.
    p, _ = with_load_file(demo_project, "".join(f"{h % 24}\n" for h in range(8760)), annual_energy=8760.0)
    _, df = run(p, day)
    assert np.allclose(df["household.demand"], [h / 11.5 for h in range(24)], rtol=0, atol=1e-12)


@pytest.mark.parametrize("text, values, message", [
    (stamps("2025-06-01 00:00", 5) + stamps("2025-06-01 06:00", 20), {},
     r"第 6 行: 时间 2025-06-01 06:00 不连续：应为 2025-06-01 05:00（缺行或重复行）"),
    ("demand [kWh]\n" + stamps("2025-06-01 00:00", 24), {},
     r"表头的单位 \[kWh\] 与模块的 unit = \"kW\" 不符"),
    (stamps("2023-06-01 00:00", 24), {},
     r"文件的时间 2023-06-01 00:00 .. 2023-06-01 23:00 不覆盖运行期 2025-06-01 00:00 .. 2025-06-01 23:00"),
    ("".join("0.5\n" for _ in range(23)), {}, "有 23 行数值，既不是运行的步数"),
    ("0.5\n-0.1\n", {}, "第 2 行: 负荷 -0.1 小于 0"),
    ("0.5\nabc\n", {}, "第 2 行: \"abc\" 不是数值"),
    ("p [MW]\n1\n", {}, r"表头的单位 \[MW\] 未知"),
])
def test_faulty_load_tables_stop_before_the_run(demo_project, text, values, message):
    p, path = with_load_file(demo_project, text, **values)
    with pytest.raises(ProjectError, match=message) as e:
        run(p, [2025, 6, 1, 2025, 6, 1])
    assert str(path) in str(e.value) and "household 的 file" in str(e.value)


def test_missing_load_file_is_named_with_its_key(demo_project):
    p = load_project(demo_project)
    module(p, "household")["file"] = "no_such_load.csv"
    with pytest.raises(ProjectError, match=r"modules\[\d\]\(household\)\.file: 文件不存在"):
        run(p, TWO_WEEKS)


def test_declarations_of_the_new_types():
    from quillmere.components.battery_module import BatteryModule
    from quillmere.components.bus_module import BusModule
    from quillmere.components.grid_module import GridModule
    from quillmere.components.load_module import LoadModule
    assert [v["key"] for v in BusModule.project_values] == ["generators", "loads", "battery", "grid"]
    assert BusModule.project_values[0] == {"key": "generators", "kind": "modules", "default": ()}
    assert LoadModule.project_values[0] == {"key": "file", "kind": "input_file", "default": None}
    assert GridModule.project_values[0]["default"] == float("inf")
    assert BatteryModule.project_values[0] == {"key": "capacity", "kind": "number", "range": "[0, inf)"}
    assert BusModule.__module__ == "quillmere.components.bus_module"

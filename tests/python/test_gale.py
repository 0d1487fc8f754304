"""GaleModule: the small wind turbine module, alone and fed by the weather reader."""
import math
import os

import numpy as np
import pytest

from quillmere.components.gale_module import GaleModule
from quillmere.components.weather_feed import WeatherFeed
from quillmere.core.link import Link
from quillmere.core.sim_clock import SimClock

FACTOR = 0.5037622359847573  # W per (m/s)^3
EPW = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw")


def step(g, speed, time_step=3600.0):
    g.inputs["wind_speed"]["value"] = speed
    g.update(SimClock(0.0, time_step), None)
    return g.outputs["power"]["value"], g.outputs["energy"]["value"]


def test_record_and_attributes():
    g = GaleModule("wt")
    info = g._get_module_info()
    assert list(info) == ["name", "vars", "id", "description"]
    assert (info["name"], info["id"], info["description"]) == ("WindTurbine", 2, "风力发电机模块")
    v = info["vars"]
    assert [list(x) for x in v[:2]] == [["id", "category", "name", "type", "default", "unit"]] * 2
    assert [list(x) for x in v[2:]] == [["id", "category", "name", "type", "default", "unit", "notInstantaneous"]] * 2
    assert [(x["id"], x["category"], x["name"], x["default"], x["unit"]) for x in v] == [
        (1, "input", "wind_speed", 5.0, "m/s"), (2, "param", "capacity", 1.0, "kW"),
        (3, "output", "power", 0.0, "kW"), (3, "output", "energy", 0.0, "kWh")]
    assert v[2]["notInstantaneous"] is False and v[3]["notInstantaneous"] is True
    assert g.module_name == "WindTurbine"
    assert g.inputs == {"wind_speed": {"value": 5.0}} and g.params == {"capacity": {"value": 1.0}}
    assert g.previous_outputs == {"power": 0.0} and g.previous_outputs_2 == {"energy": 0.0}
    assert g.hello is None
    assert not hasattr(g, "calculate_small_wind_power")  # internal to the package
    other = GaleModule("other")
    g.hello = other
    assert g.hello is other
    with pytest.raises(TypeError, match=r"^Expected GaleModule, got (quillmere\.components\.weather_feed\.)?WeatherFeed$"):
        g.hello = WeatherFeed("w")
    del g.hello
    assert g.hello is None


def test_power_curve_through_update():
    g = GaleModule("wt")
    assert step(g, 2.99) == (0.0, 0.0)
    p, e = step(g, 3.0)
    assert p == 27 * FACTOR / 1000 and e == p
    g = GaleModule("wt")
    p, e = step(g, 10.0)
    assert p == pytest.approx(0.50376, abs=1e-5) and e == p
    p2, e2 = step(g, 10.0)
    assert e2 == p * (3600.0 / 3600.0) + e  # energy grows by the same kWh per hourly call
    assert step(g, 18.0)[0] == pytest.approx(2.9379, abs=1e-4)
    assert step(g, 18.01)[0] == 0.0
    assert step(g, -4.0)[0] == 0.0
    assert step(g, 7)[0] == 343 * FACTOR / 1000  # ints convert
    # A half-hour step adds half the energy.
    g = GaleModule("wt")
    p, e = step(g, 10.0, time_step=1800.0)
    assert e == p * 0.5


def test_unknown_wind_speed_adds_no_energy():
    g = GaleModule("wt")
    step(g, 10.0)
    energy = g.outputs["energy"]["value"]
    p, e = step(g, float("nan"))
    assert math.isnan(p)
    assert e == energy
    assert step(g, 10.0)[1] == pytest.approx(2 * energy)


def test_update_reports_unreadable_variables(capsys):
    g = GaleModule("wt")
    step(g, 10.0)
    before = dict(power=g.outputs["power"]["value"], energy=g.outputs["energy"]["value"])
    for value, message in [("7", "错误：获取变量失败 - must be real number, not str"),
                           (None, "错误：获取变量失败 - must be real number, not NoneType")]:
        step(g, value)
        assert capsys.readouterr().out == message + "\n"
    del g.inputs["wind_speed"]
    g.update(SimClock(0.0, 3600.0), None)
    assert capsys.readouterr().out == "错误：获取变量失败 - 'wind_speed'\n"
    assert g.outputs["power"]["value"] == before["power"] and g.outputs["energy"]["value"] == before["energy"]
    g.params["capacity"]["value"] = "big"  # read and checked even though unused
    g.inputs["wind_speed"] = {"value": 10.0}
    g.update(SimClock(0.0, 3600.0), None)
    assert capsys.readouterr().out == "错误：获取变量失败 - must be real number, not str\n"
    g.inputs = None
    g.update(SimClock(0.0, 3600.0), None)
    assert capsys.readouterr().out == "错误：获取变量失败 - 'NoneType' object is not subscriptable\n"
    with pytest.raises(TypeError, match="SimClock"):
        g.update(None, None)
    with pytest.raises(TypeError, match="time"):
        g.update(3600, None)
    with pytest.raises(TypeError, match="state"):
        g.update(SimClock(0.0, 3600.0), "s")


def test_iterated_step_counts_its_energy_once():
    g = GaleModule("wt")
    step(g, 10.0)
    step(g, 10.0)
    twice = g.outputs["energy"]["value"]
    g = GaleModule("wt")
    g.update_previous_outputs_2()
    step(g, 10.0)
    once = g.outputs["energy"]["value"]
    g.set_previous_outputs_2_to_current()
    step(g, 10.0)
    assert g.outputs["energy"]["value"] == once
    assert twice == pytest.approx(2 * once)


def test_awake_reads_capacity_and_initial_speed(capsys):
    g = GaleModule("wt")
    g.in_file_params = ["2.5", 6]
    g.awake(states=None)
    assert g.params["capacity"]["value"] == 2.5 and g.inputs["wind_speed"]["value"] == 6.0
    g.in_file_params = [1.0]
    with pytest.raises(IndexError):
        g.awake({})
    g.in_file_params = ["abc", 1]
    with pytest.raises(ValueError):
        g.awake(None)
    g.in_file_params = [None, 1]
    with pytest.raises(TypeError):
        g.awake(None)
    g.in_file_params = [3, 4]
    del g.params["capacity"]
    g.awake(None)
    assert capsys.readouterr().out == "处理输入文件参数错误\n"
    assert g.inputs["wind_speed"]["value"] == 6.0  # the step after the failing one is skipped
    with pytest.raises(TypeError, match="states"):
        g.awake([])


def test_get_value_prints_the_other_turbines_energy(capsys):
    a, b = GaleModule("a"), GaleModule("b")
    step(b, 10.0)
    a.hello = b
    assert a.get_value() is None
    assert capsys.readouterr().out == f"hello:energy: {FACTOR}\n"
    a.hello = None
    with pytest.raises(AttributeError, match="hello"):
        a.get_value()
    del b.outputs["energy"]
    a.hello = b
    with pytest.raises(KeyError):
        a.get_value()

    class Loud(GaleModule):
        def get_value(self):
            print("mine")

    Loud("l").get_value()
    assert capsys.readouterr().out == "mine\n"


@pytest.mark.skipif(not os.path.exists(EPW), reason="shared weather data not present")
def test_a_day_of_weather_through_a_link():
    w = WeatherFeed("weather")
    w.in_file_params = [EPW]
    w.awake(None)
    g = GaleModule("wind")
    link = Link(w, "wind_speed", g, "wind_speed")
    clock = SimClock(0.0, 3600.0)
    expected = 0.0
    for hour in range(24):
        w.update(clock, None)
        link.update_link()
        g.update(clock, None)
        v = float(w.data[hour, 1])
        p = 0.0 if (v < 3.0 or v > 18.0) else v ** 3 * FACTOR / 1000
        assert g.outputs["power"]["value"] == p
        expected = p * 1.0 + expected
        clock.advance_time()
    assert g.outputs["energy"]["value"] == expected
    assert expected > 0.0

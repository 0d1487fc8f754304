"""A whole year: weather file -> links -> PV panels on a shaded and a free roof of a
generated building, plus a wind turbine, driven step by step through the public API."""
import math
import os

import pytest

from quillmere.components.gale_module import GaleModule
from quillmere.components.shade_group import SurfaceShadowModule
from quillmere.components.sunpanel_module import SunPanelModule
from quillmere.components.weather_feed import WeatherFeed
from quillmere.core.link import Link
from quillmere.core.sim_clock import SimClock

import shading_models

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EPW = os.path.join(REPO, "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw")
SITE = {"longitude": 4.77, "latitude": 52.3, "time_zone": 1}


@pytest.fixture(scope="module")
def year(tmp_path_factory):
    if not os.path.isfile(EPW):
        pytest.skip("the shared weather data folder is not next to the checkout")
    folder = tmp_path_factory.mktemp("e2e")
    stl = shading_models.courtyard_model(folder / "building.stl")

    weather = WeatherFeed("weather")
    weather.in_file_params = [EPW]
    shade = SurfaceShadowModule("shade")
    shade.in_file_params = [stl, str(folder / "tables" / "cos.csv"), "roof_shaded", "roof_free"]
    panels = {}
    for surface in ("roof_shaded", "roof_free"):
        pv = SunPanelModule("pv_" + surface)
        pv.in_file_params = ["shade", surface, 36.0, 0.18, 0.0, 0.0, 0.2]
        panels[surface] = pv
    wind = GaleModule("wind")
    wind.in_file_params = [2.0, 0.0]

    modules = {"weather": weather, "shade": shade, "wind": wind, **{p.name: p for p in panels.values()}}
    for unit in (weather, shade, *panels.values(), wind):
        unit.awake({"modules": modules})
    links = [Link(weather, "wind_speed", wind, "wind_speed")]
    for pv in panels.values():
        links += [Link(weather, "rad2", pv, "normal_rad"), Link(weather, "rad3", pv, "diffuse_rad")]

    clock = SimClock(0.0, 3600.0)
    clock.set_period({})
    state = {"modules": modules, "site": SITE}
    rows = []
    while clock.current_time < clock.end_time:
        weather.update(clock, state)  # this hour's row, then on to the consumers
        for link in links:
            link.update_link()
        for pv in panels.values():
            pv.update(clock, state)
        wind.update(clock, state)
        row = {"dni": weather.outputs["rad2"]["value"], "dhi": weather.outputs["rad3"]["value"],
               "wind_speed": weather.outputs["wind_speed"]["value"],
               "wind_power": wind.outputs["power"]["value"]}
        for surface, pv in panels.items():
            row[surface] = {k: pv.outputs[k]["value"] for k in ("power", "cos", "height_angle", "azimuth_angle")}
        rows.append(row)
        clock.advance_time()
    return rows, panels, wind


def test_whole_year_was_stepped(year):
    rows, _, _ = year
    assert len(rows) == 8760


def test_energy_is_the_sum_of_power_times_step(year):
    rows, panels, wind = year
    for surface, pv in panels.items():
        total = math.fsum(r[surface]["power"] for r in rows if math.isfinite(r[surface]["power"]))
        assert pv.outputs["energy"]["value"] == pytest.approx(total, rel=1e-9)
        assert total > 0
    wind_total = math.fsum(r["wind_power"] for r in rows)
    assert wind.outputs["energy"]["value"] == pytest.approx(wind_total, rel=1e-9)
    assert wind_total > 0


def test_shaded_roof_produces_less_than_the_free_roof(year):
    rows, panels, _ = year
    shaded, free = (panels[s].outputs["energy"]["value"] for s in ("roof_shaded", "roof_free"))
    assert shaded < free
    # Hour by hour the shaded roof never gets more direct sun than the free one.
    assert all(r["roof_shaded"]["cos"] <= r["roof_free"]["cos"] + 1e-12 for r in rows)
    assert any(r["roof_shaded"]["cos"] < r["roof_free"]["cos"] - 0.05 for r in rows)


def test_no_nan_output_from_finite_inputs(year):
    rows, _, _ = year
    for r in rows:
        if math.isfinite(r["dni"]) and math.isfinite(r["dhi"]):
            for surface in ("roof_shaded", "roof_free"):
                assert all(math.isfinite(v) for v in r[surface].values()), r
        if math.isfinite(r["wind_speed"]):
            assert math.isfinite(r["wind_power"])


def test_hours_without_irradiance_give_zero_pv_power(year):
    rows, _, _ = year
    dark = [r for r in rows if r["dni"] == 0 and r["dhi"] == 0]
    assert len(dark) > 3000  # nights
    assert all(r[s]["power"] == 0.0 for r in dark for s in ("roof_shaded", "roof_free"))
    assert all(r[s]["cos"] == 0.0 for r in dark for s in ("roof_shaded", "roof_free"))


def test_free_roof_follows_the_sun(year):
    rows, _, _ = year
    # A horizontal unshaded roof sees cos = sin(sun height) on the tabulated grid; between
    # grid points the linear table stays within a few hundredths of it.
    sunny = [r["roof_free"] for r in rows if 5 < r["roof_free"]["height_angle"] < 75 and r["dni"] > 0]
    assert len(sunny) > 1000
    for r in sunny:
        assert r["cos"] == pytest.approx(math.sin(math.radians(r["height_angle"])), abs=0.03)

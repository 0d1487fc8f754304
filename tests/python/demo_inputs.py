"""Inputs the Python tests share: the demo house and a weather year written
into a folder, the small weather-and-turbine project, the two PV arrays on the
demo house's south roofs, one SunPanel on the south-east roof (and a turbine), and the one
error line a refused command prints.
The fixtures that use them are in conftest.py."""
from __future__ import annotations

from quillmere.core import demo

# Two days of the generated clear-sky year and a 1 kW turbine.
WEATHER_AND_TURBINE = '''\
period = [2025, 1, 1, 2025, 1, 2]
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
'''


def write_inputs(folder, latitude=48.0, longitude=16.0, time_zone=1, *, weather="clear", year=None, house=True,
                 roof_cells=1):
    """Writes weather.epw (the package's clear-sky or cloudy year for the
    site) and, with `house`, the demo house as house.stl into `folder`
    (`roof_cells`: as demo.house_stl takes it)."""
    if weather == "clear":
        text = demo.clear_sky_epw(latitude, longitude, time_zone, *(() if year is None else (year,)))
    else:
        text = demo.cloudy_epw(latitude, longitude, time_zone)
    (folder / "weather.epw").write_text(text, encoding="utf-8")
    if house:
        (folder / "house.stl").write_text(demo.house_stl(roof_cells), encoding="utf-8")
    return folder


SITE_48 = "[site]\nlatitude = 48.21\nlongitude = 16.37\ntime_zone = 1\n"


def _weather_and_house(table):
    """The weather module and the shading module "house" of the demo house's two south roofs."""
    return ('[[modules]]\nname = "weather"\ntype = "WaetherFeed"\nfile = "weather.epw"\n'
            '[[modules]]\nname = "house"\ntype = "SurfaceShadow"\nmodel = "house.stl"\n'
            f'table = "{table}"\nsurfaces = ["roof_south_east", "roof_south_west"]\n')


def roof_panel_project(turbine=False, output=None):
    """Project text at 48.21 N 16.37 E, 20 to 22 June 2025 (the inputs of write_inputs(folder, 48.21, 16.37,
    1, year=2025)): the weather, the shading module "house" (table shading/table.csv) of the demo house's two
    south roofs, a SunPanel "pv" of 20 m2 on the south-east part; with `turbine` a 3 kW WindTurbine "turbine"
    on the weather's wind; `output` names the results CSV."""
    wind = ',\n         "weather.wind_speed -> turbine.wind_speed"' if turbine else ""
    text = f"""period = [2025, 6, 20, 2025, 6, 22]
links = ["weather.rad2 -> pv.normal_rad", "weather.rad3 -> pv.diffuse_rad"{wind}]
{SITE_48}{_weather_and_house('shading/table.csv')}[[modules]]
name = "pv"
type = "SunPanel"
shading = "house"
surface = "roof_south_east"
area = 20.0
efficiency = 0.2
"""
    if turbine:
        text += '[[modules]]\nname = "turbine"\ntype = "WindTurbine"\ncapacity = 3.0\n'
    if output:
        text += f'[output]\ncsv = "{output}"\n'
    return text


WEATHER_LINKS = '"weather.dry_bulb_temp -> {p}.temp_air", "weather.wind_speed -> {p}.wind_speed", '


def two_roof_arrays(panel_type="PVArray", *, area=20.0, east="", west="", inverter="", period="", weather_links=True):
    """Project text at 48.21 N 16.37 E (the inputs of write_inputs(folder, 48.21, 16.37, 1, ...)): the
    weather, the shading module "house" (table t.csv) of the demo house's two south roofs and a panel
    of `panel_type` and `area` on each, pv_east and pv_west, with `east` and `west` added to their
    entries; `inverter` is placed after [site], `period` after the time step. The arrays' temperature
    and wind come from the weather unless `weather_links` is False."""
    links = "".join(WEATHER_LINKS.format(p=p) for p in ("pv_east", "pv_west")) if weather_links else ""
    return f"""time_step = 3600
{period}
links = [{links}"weather.rad2 -> pv_east.normal_rad", "weather.rad3 -> pv_east.diffuse_rad",
         "weather.rad2 -> pv_west.normal_rad", "weather.rad3 -> pv_west.diffuse_rad"]
{SITE_48}{inverter}
{_weather_and_house('t.csv')}[[modules]]
name = "pv_east"
type = "{panel_type}"
shading = "house"
surface = "roof_south_east"
area = {area!r}
efficiency = 0.2
{east}
[[modules]]
name = "pv_west"
type = "{panel_type}"
shading = "house"
surface = "roof_south_west"
area = {area!r}
efficiency = 0.2
{west}
"""


def run_quiet(path):
    """(manager, results) of a quiet run of the project at `path`."""
    from quillmere.core.manager import Manager

    m = Manager(path)
    m.quiet = True
    return m, m.run_simulation()


def error_line(capsys, *parts):
    """The one line beginning with 错误： that the command printed; it holds every part."""
    out = capsys.readouterr().out
    lines = [line for line in out.splitlines() if line.startswith("错误：")]
    assert len(lines) == 1, out
    for p in parts:
        assert p in lines[0], lines[0]
    return lines[0]

"""Inputs the Python tests share: the demo house and a weather year written
into a folder, the small weather-and-turbine project, and the one error line
a refused command prints. The fixtures that use them are in conftest.py."""
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


def write_inputs(folder, latitude=48.0, longitude=16.0, time_zone=1, *, weather="clear", year=None, house=True):
    """Writes weather.epw (the package's clear-sky or cloudy year for the
    site) and, with `house`, the demo house as house.stl into `folder`."""
    if weather == "clear":
        text = demo.clear_sky_epw(latitude, longitude, time_zone, *(() if year is None else (year,)))
    else:
        text = demo.cloudy_epw(latitude, longitude, time_zone)
    (folder / "weather.epw").write_text(text, encoding="utf-8")
    if house:
        (folder / "house.stl").write_text(demo.house_stl(1), encoding="utf-8")
    return folder


def error_line(capsys, *parts):
    """The one line beginning with 错误： that the command printed; it holds every part."""
    out = capsys.readouterr().out
    lines = [line for line in out.splitlines() if line.startswith("错误：")]
    assert len(lines) == 1, out
    for p in parts:
        assert p in lines[0], lines[0]
    return lines[0]

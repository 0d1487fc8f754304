"""A CityJSON model's level of detail as a project choice (the shading module's ``lod``): the
surfaces, the shading products, the map and its CityJSON copy all read the chosen level, the
fingerprints tell the levels apart, and a level the model lacks stops the run in one line."""
import json
import os

import numpy as np
import pytest

from quillmere.cli import main
from quillmere.components.shade_exact import ExactShadowModule
from quillmere.core.manager import Manager, ProjectError
from quillmere.maps import irradiation_map, map_inputs
from demo_inputs import run_quiet as run
from test_maps import square_stl, write_project

PERIOD = (2025, 6, 1, 2025, 6, 3)
RISE = round(8000 * np.tan(np.radians(30.0)))  # [mm] of the tilted roof over its 8 m depth
SLOPE = np.hypot(8.0, RISE / 1000.0)            # [m] its length up the slope


def two_level_city():
    """Building b, 10 x 8 m: LoD 1 a flat roof at 6 m; LoD 2.2 a roof tilted 30 deg to the south
    over the same plan. Both roofs are b/RoofSurface/0 (numbered within their level)."""
    return {
        "type": "CityJSON", "version": "2.0",
        "transform": {"scale": [0.001, 0.001, 0.001], "translate": [600000.0, 5340000.0, 200.0]},
        "CityObjects": {"b": {"type": "Building", "geometry": [
            {"type": "MultiSurface", "lod": "1", "boundaries": [[[0, 1, 2, 3]]],
             "semantics": {"surfaces": [{"type": "RoofSurface"}], "values": [0]}},
            {"type": "MultiSurface", "lod": "2.2", "boundaries": [[[0, 1, 4, 5]]],
             "semantics": {"surfaces": [{"type": "RoofSurface"}], "values": [0]}}]}},
        "vertices": [[0, 0, 6000], [10000, 0, 6000], [10000, 8000, 6000], [0, 8000, 6000],
                     [10000, 8000, 6000 + RISE], [0, 8000, 6000 + RISE]],
    }


def city_project(folder, lod=None, model=None):
    path = write_project(str(folder), json.dumps(model or two_level_city()), ["b/RoofSurface/0"], period=PERIOD,
                         model_name="city.json")
    if lod is None:
        return path
    # Beside project.toml (the highest level), sharing its model and table paths.
    with open(path, encoding="utf-8") as f:
        text = f.read()
    path = os.path.join(str(folder), "lod.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace('type = "SurfaceShadow"\n', 'type = "SurfaceShadow"\nlod = "%s"\n' % lod))
    return path


def test_the_chosen_level_is_what_the_run_and_the_map_see(tmp_path):
    highest = city_project(tmp_path)
    m, results = run(highest)
    stats = m.modules["house"].get_surf_stats("b/RoofSurface/0")
    assert stats["area"] == pytest.approx(10.0 * SLOPE, rel=1e-9)
    assert stats["normal"][2] == pytest.approx(8.0 / SLOPE, rel=1e-9)
    df_high = irradiation_map(highest)
    assert not df_high.attrs["cached"]

    # The same folder and table path at LoD 1: the flat roof, and nothing reused from LoD 2.2.
    flat = city_project(tmp_path, lod="1")
    m1, results1 = run(flat)
    assert m1.modules["house"].lod == "1"
    stats1 = m1.modules["house"].get_surf_stats("b/RoofSurface/0")
    assert stats1["area"] == pytest.approx(80.0, rel=1e-9)
    assert tuple(stats1["normal"]) == pytest.approx((0.0, 0.0, 1.0), abs=1e-12)
    with open(os.path.join(str(tmp_path), "shading", "t.exact.csv.fingerprint"), encoding="utf-8") as f:
        assert "lod = 1" in f.read()
    e_high, e_flat = results["pv_b/RoofSurface/0.energy"].iloc[-1], results1["pv_b/RoofSurface/0.energy"].iloc[-1]
    assert e_high != e_flat
    assert map_inputs(flat)["lod"] == "1" and map_inputs(highest)["lod"] == ""
    df_flat = irradiation_map(flat)
    assert not df_flat.attrs["cached"]
    assert np.allclose(df_flat.normal_z, 1.0) and np.allclose(df_high.normal_z, 8.0 / SLOPE)
    assert df_flat.area.sum() == pytest.approx(80.0, rel=1e-9)
    assert irradiation_map(flat).attrs["cached"]  # its own cache, kept under its own fingerprint
    assert not irradiation_map(highest).attrs["cached"]

    # The CityJSON copy carries the values on the LoD 1 roof only.
    out = tmp_path / "map1"
    assert main(["map", flat, "-o", str(out), "--formats", "cityjson", "--quiet"]) == 0
    with open(out / "city.solar.json", encoding="utf-8") as f:
        geoms = json.load(f)["CityObjects"]["b"]["geometry"]
    assert "solar_annual_kwh_m2" in geoms[0]["semantics"]["surfaces"][0]
    assert "solar_annual_kwh_m2" not in geoms[1]["semantics"]["surfaces"][0]


def test_a_level_the_model_lacks_stops_the_run_naming_file_key_and_levels(tmp_path):
    path = city_project(tmp_path, lod="3")
    with pytest.raises(ProjectError) as info:
        run(path)
    msg = str(info.value)
    assert "\n" not in msg
    assert "lod.toml" in msg and ".lod" in msg and "city.json" in msg, msg
    assert 'LoD "3"' in msg and '"1"、"2.2"' in msg, msg
    # A model with no geometry that has area says so.
    empty = two_level_city()
    empty["CityObjects"]["b"]["geometry"] = [{"type": "MultiPoint", "lod": "1", "boundaries": [0]}]
    with pytest.raises(ProjectError, match="没有带面的几何"):
        run(city_project(tmp_path / "e", lod="1", model=empty))


def test_a_level_is_refused_for_other_formats_and_outside_the_known_levels(tmp_path):
    stl = write_project(str(tmp_path / "s"), square_stl("roof", 30.0, 180.0), ["roof"], period=PERIOD)
    with open(stl, encoding="utf-8") as f:
        text = f.read()
    with open(stl, "w", encoding="utf-8") as f:
        f.write(text.replace('type = "SurfaceShadow"\n', 'type = "SurfaceShadow"\nlod = "2"\n'))
    with pytest.raises(ProjectError) as info:
        run(stl)
    msg = str(info.value)
    assert ".lod" in msg and "只适用于 CityJSON" in msg and "m.stl" in msg, msg
    with pytest.raises(ProjectError, match=r"\.lod.*2\.5"):
        run(city_project(tmp_path / "c", lod="2.5"))
    # The attribute of a module made in a script takes the same levels.
    unit = ExactShadowModule("s")
    assert unit.lod == "highest"
    unit.lod = "2.2"
    with pytest.raises(ValueError, match="lod"):
        unit.lod = "2.5"
    assert unit.lod == "2.2"
    del unit.lod
    assert unit.lod == "highest"



def test_sweep_shading_keys_tell_the_levels_apart(tmp_path):
    from quillmere.components.shade_exact import shading_keys

    def key(path):
        m = Manager(path)
        m.quiet = True
        return shading_keys(m.load_project())["house"]["fingerprint"]

    highest, flat = city_project(tmp_path), city_project(tmp_path, lod="1")
    assert key(flat) != key(highest)  # variants at two levels never share one shading
    assert key(city_project(tmp_path / "h", lod="highest")) == key(highest)

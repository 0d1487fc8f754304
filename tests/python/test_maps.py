"""Solar maps through quillmere.maps.irradiation_map: a free plane's map is the panel's own
irradiation step for step (both sky models), splits of the triangles concatenate to the whole map,
shade lowers the map, the fingerprinted cache, and the project's [map] checks."""
import math
import os

import numpy as np
import pytest

from quillmere.core import demo
from quillmere.core.manager import Manager, ProjectError
from quillmere.maps import MONTHS, irradiation_map, map_inputs


def square_stl(name, tilt, azimuth, size=4.0, centre=(0.0, 0.0, 3.0)):
    t, a = math.radians(tilt), math.radians(azimuth)
    n = np.array([math.sin(t) * math.sin(a), math.sin(t) * math.cos(a), math.cos(t)])
    u = np.array([math.cos(a), -math.sin(a), 0.0])
    v = np.cross(n, u)
    c = np.array(centre)
    h = size / 2
    p = [c - h * u - h * v, c + h * u - h * v, c + h * u + h * v, c - h * u + h * v]
    lines = ["solid %s" % name]
    for tri in ((p[0], p[1], p[2]), (p[0], p[2], p[3])):
        lines.append("  facet normal %.12f %.12f %.12f\n    outer loop" % tuple(n))
        lines += ["      vertex %.12f %.12f %.12f" % tuple(q) for q in tri]
        lines.append("    endloop\n  endfacet")
    lines.append("endsolid %s" % name)
    return "\n".join(lines) + "\n"


def write_project(folder, model_text, surfaces, *, period=(2025, 1, 1, 2025, 12, 31), site_extra="", map_table="",
                  model_name="m.stl"):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, model_name), "w", encoding="utf-8") as f:
        f.write(model_text)
    with open(os.path.join(folder, "weather.epw"), "w", encoding="utf-8") as f:
        f.write(demo.cloudy_epw(48.21, 16.37, 1, 2025))
    links, panels = [], ""
    for s in surfaces:
        links += ['"weather.rad2 -> pv_%s.normal_rad"' % s, '"weather.rad3 -> pv_%s.diffuse_rad"' % s]
        panels += ('[[modules]]\nname = "pv_%s"\ntype = "SunPanel"\nshading = "house"\nsurface = "%s"\narea = 1.0\n'
                   'efficiency = 1.0\nground_reflect = 0.25\n\n' % (s, s))
    text = ("period = [%d, %d, %d, %d, %d, %d]\ntime_step = 3600\nlinks = [%s]\n\n"
            "[site]\nlatitude = 48.21\nlongitude = 16.37\ntime_zone = 1\n%s\n%s\n"
            '[[modules]]\nname = "weather"\ntype = "WaetherFeed"\nfile = "weather.epw"\n\n'
            '[[modules]]\nname = "house"\ntype = "SurfaceShadow"\nmodel = "%s"\ntable = "shading/t.csv"\n'
            "surfaces = [%s]\n\n%s" % (*period, ", ".join(links), site_extra, map_table, model_name,
                                        ", ".join('"%s"' % s for s in surfaces), panels))
    path = os.path.join(folder, "project.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


@pytest.mark.parametrize("site_extra", ["", 'transposition_model = "isotropic"\nground_reflection = "diffuse"\n'])
def test_free_plane_map_is_the_panels_irradiation(tmp_path, site_extra):
    path = write_project(str(tmp_path), square_stl("roof", 35.0, 200.0), ["roof"], site_extra=site_extra)
    df = irradiation_map(path, cache=False)
    assert list(df.triangle) == [0, 1]
    assert set(df.surface) == {"roof"} and set(df.building) == {"m"}
    m = Manager(path)
    m.quiet = True
    results = m.run_simulation()
    # A panel of 1 m² at efficiency 1: its power [kW] is the light on its plane [kW/m²].
    poa = results["pv_roof.power"].to_numpy() * 1000.0
    if "pv_roof.poa_global" in results:
        assert np.allclose(poa, results["pv_roof.poa_global"].to_numpy(), rtol=1e-12, atol=1e-9)
    annual = poa.sum() / 1000.0
    assert 900 < annual < 1600
    for k in range(2):
        assert df.annual[k] == pytest.approx(annual, rel=1e-12)
    # Month by month, by the clock's month of each step.
    hours = np.arange(len(poa))
    month_of = (np.datetime64("2025-01-01T00:00") + hours.astype("timedelta64[h]")).astype("datetime64[M]")
    month_of = month_of.astype(int) % 12
    for mo, col in enumerate(MONTHS):
        assert df[col][0] == pytest.approx(poa[month_of == mo].sum() / 1000.0, rel=1e-10, abs=1e-9)
    assert df[list(MONTHS)].sum(axis=1)[0] == pytest.approx(df.annual[0], rel=1e-12)
    assert df.attrs["skipped_steps"] == 0 and df.attrs["beam_rays"] > 0


def _demo_project(folder, map_table='[map]\nsky_directions = 256\nhorizon_directions = 128\n'):
    return write_project(folder, demo.house_stl(), ["roof_south_east", "roof_south_west", "roof_north"],
                         map_table=map_table, model_name="house.stl")


def test_splits_concatenate_to_the_whole_map_value_for_value(tmp_path):
    path = _demo_project(str(tmp_path))
    inputs = map_inputs(path)
    whole = irradiation_map(path, inputs=inputs, cache=False)
    n = len(whole)
    assert n == whole.attrs["analysed_triangles"] > 50
    parts = [irradiation_map(path, r, inputs=inputs, cache=False, threads=t)
             for r, t in ((range(0, 17), 1), (range(17, 60), 2), (range(60, n), 3))]
    cols = ["annual", *MONTHS, "sky_view", "ground_view", "horizon_view", "area"]
    joined = np.concatenate([p[cols].to_numpy() for p in parts])
    assert np.array_equal(joined, whole[cols].to_numpy())
    picked = irradiation_map(path, [n - 1, 3, 3], inputs=inputs, cache=False)
    assert list(picked.triangle) == [n - 1, 3, 3]
    assert np.array_equal(picked.annual.to_numpy(), whole.annual.to_numpy()[[n - 1, 3, 3]])
    # The shaded south-east roof (a tower) gets less than the free south-west one, the north roof least.
    mean = whole.groupby("surface").apply(lambda g: np.average(g.annual, weights=g.area))
    assert mean["roof_north"] < mean["roof_south_east"] < mean["roof_south_west"]
    assert whole.annual.min() < 0.9 * whole.annual.max()
    with pytest.raises(IndexError, match="超出范围"):
        irradiation_map(path, [n], inputs=inputs, cache=False)
    with pytest.raises(TypeError):
        irradiation_map(path, [0.5], inputs=inputs, cache=False)


def test_cache_is_reused_while_inputs_are_unchanged(tmp_path):
    path = _demo_project(str(tmp_path))
    first = irradiation_map(path)
    cache = os.path.join(str(tmp_path), "shading", "t.map.csv")
    assert os.path.isfile(cache) and os.path.isfile(cache + ".fingerprint")
    assert not first.attrs["cached"]
    again = irradiation_map(path)
    assert again.attrs["cached"]
    assert np.array_equal(again.annual.to_numpy(), first.annual.to_numpy())
    # A damaged product is never used.
    with open(cache, "r+", encoding="utf-8") as f:
        text = f.read()
        f.seek(0)
        f.write(text.replace(",", ",9", 1))
    assert not irradiation_map(path).attrs["cached"]
    # Another period is another map.
    path2 = write_project(str(tmp_path), demo.house_stl(), ["roof_south_east", "roof_south_west", "roof_north"],
                          period=(2025, 6, 1, 2025, 6, 30), model_name="house.stl",
                          map_table='[map]\nsky_directions = 256\nhorizon_directions = 128\n')
    june = irradiation_map(path2)
    assert not june.attrs["cached"]
    assert (june.annual < first.annual).all()
    assert np.allclose(june.annual, june.m06) and (june.m01 == 0).all()
    # A period that does not start on 1 January has its steps: June alone is the year's June.
    assert (june.annual > 0).all()
    assert np.allclose(june.m06.to_numpy(), first.m06.to_numpy(), rtol=1e-9, atol=1e-9)
    # A subset has its own file.
    part = irradiation_map(path2, range(0, 5))
    assert not part.attrs["cached"] and irradiation_map(path2, range(0, 5)).attrs["cached"]


@pytest.mark.parametrize("table, key", [
    ("[map]\nsky_directions = 0\n", "map.sky_directions"),
    ("[map]\nresolution = -1\n", "map.resolution"),
    ("[map]\nalbedo = 2\n", "map.albedo"),
    ("[map]\nshading = \"nope\"\n", "map.shading"),
    ("[map]\nshading = \"weather\"\n", "map.shading"),
    ("[map]\ncolour = 1\n", "colour"),
])
def test_map_table_mistakes_name_their_key(tmp_path, table, key):
    path = _demo_project(str(tmp_path), map_table=table)
    with pytest.raises(ProjectError, match=key.replace(".", r"\.")):
        irradiation_map(path, cache=False)


def test_map_settings_change_the_map(tmp_path):
    low = irradiation_map(_demo_project(str(tmp_path / "a"), '[map]\nsky_directions = 64\nalbedo = 0.0\n'
                                        'horizon_directions = 16\n'), cache=False)
    high = irradiation_map(_demo_project(str(tmp_path / "b"), '[map]\nsky_directions = 64\nalbedo = 0.8\n'
                                         'horizon_directions = 16\n'), cache=False)
    assert (high.annual >= low.annual).all() and (high.annual > low.annual).any()
    assert low.attrs["view_rays"] >= 64 * len(low)

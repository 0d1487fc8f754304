"""The light on the panels' planes: the Perez sky and the global ground through
the model against pvlib on free planes (a shortened year of real weather), the
circumsolar and horizon parts on a shaded wall, the light outputs and their
units, the site's light choices, the sun time with and without [site], and the
report's light per month."""
import math
import os

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("quillmere.components.shade_exact")

_HERE = os.path.dirname(os.path.abspath(__file__))
AMSTERDAM = next((p for p in (os.path.join(_HERE, "..", "..", "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw"),
                              os.path.join(_HERE, "..", "..", "..", "..", "shared", "data",
                                           "NLD_Amsterdam062400_IWEC.epw"))
                  if os.path.isfile(p)), None)
needs_weather = pytest.mark.skipif(AMSTERDAM is None, reason="the shared Amsterdam EPW file is not beside the checkout")

# (surface, tilt [deg], azimuth [deg, from north towards east]); +y is north, +x east.
PLANES = [("roof_35_south", 35.0, 180.0), ("wall_south", 90.0, 180.0), ("wall_east", 90.0, 90.0),
          ("wall_west", 90.0, 270.0), ("wall_north", 90.0, 0.0)]


def square(name, centre, tilt, azimuth, size=2.0):
    """An ASCII STL solid: a size x size square facing (tilt, azimuth) around centre."""
    t, a = math.radians(tilt), math.radians(azimuth)
    n = np.array([math.sin(t) * math.sin(a), math.sin(t) * math.cos(a), math.cos(t)])
    u = np.array([math.cos(a), -math.sin(a), 0.0])  # horizontal, in the plane
    v = np.cross(n, u)
    c = np.array(centre, dtype=float)
    h = size / 2
    p = [c - h * u - h * v, c + h * u - h * v, c + h * u + h * v, c - h * u + h * v]
    lines = ["solid %s" % name]
    for tri in ((p[0], p[1], p[2]), (p[0], p[2], p[3])):
        lines.append("  facet normal %.9f %.9f %.9f\n    outer loop" % tuple(n))
        lines += ["      vertex %.9f %.9f %.9f" % tuple(q) for q in tri]
        lines.append("    endloop\n  endfacet")
    lines.append("endsolid %s" % name)
    return "\n".join(lines) + "\n"


def box(name, lo, hi):
    """A closed axis-aligned box as an ASCII STL solid (outward normals)."""
    x0, y0, z0 = lo
    x1, y1, z1 = hi
    v = [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0), (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]
    faces = [((0, 2, 1), (0, 0, -1)), ((0, 3, 2), (0, 0, -1)), ((4, 5, 6), (0, 0, 1)), ((4, 6, 7), (0, 0, 1)),
             ((0, 1, 5), (0, -1, 0)), ((0, 5, 4), (0, -1, 0)), ((2, 3, 7), (0, 1, 0)), ((2, 7, 6), (0, 1, 0)),
             ((1, 2, 6), (1, 0, 0)), ((1, 6, 5), (1, 0, 0)), ((0, 4, 7), (-1, 0, 0)), ((0, 7, 3), (-1, 0, 0))]
    lines = ["solid %s" % name]
    for idx, n in faces:
        lines.append("  facet normal %g %g %g\n    outer loop" % n)
        lines += ["      vertex %g %g %g" % v[i] for i in idx]
        lines.append("    endloop\n  endfacet")
    lines.append("endsolid %s" % name)
    return "\n".join(lines) + "\n"


def project(folder, stl_text, surfaces, period, site="", weather=None):
    """A project of one panel per surface on `surfaces` of the model, on the given EPW file."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "m.stl"), "w", encoding="utf-8") as f:
        f.write(stl_text)
    links = []
    body = ""
    for s in surfaces:
        links += ['"weather.rad2 -> %s.normal_rad"' % s, '"weather.rad3 -> %s.diffuse_rad"' % s]
        body += ('[[modules]]\nname = "%s"\ntype = "SunPanel"\nshading = "model"\nsurface = "%s"\narea = 1.0\n'
                 'efficiency = 1.0\n\n' % (s, s))
    text = ("period = [%d, %d, %d, %d, %d, %d]\ntime_step = 3600\nlinks = [%s]\n%s\n"
            '[[modules]]\nname = "weather"\ntype = "WaetherFeed"\nfile = "%s"\n\n'
            '[[modules]]\nname = "model"\ntype = "SurfaceShadow"\nmodel = "m.stl"\ntable = "shading/t.csv"\n'
            "surfaces = [%s]\n\n%s" % (*period, ", ".join(links), site, (weather or AMSTERDAM).replace("\\", "/"),
                                        ", ".join('"%s"' % s for s in surfaces), body))
    path = os.path.join(folder, "project.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def run(path):
    from quillmere.core.manager import Manager

    m = Manager(path)
    m.quiet = True
    return m, m.run_simulation()


def free_planes_stl():
    return "".join(square(name, (300.0 * i, 0.0, 10.0), tilt, az) for i, (name, tilt, az) in enumerate(PLANES))


def pvlib_light(df, surface, tilt, azimuth, year):
    """pvlib's poa parts at our sun positions (Perez 1990, Kasten-Young air mass, Spencer, ground 0.2)."""
    irr = pytest.importorskip("pvlib.irradiance")
    atm = pytest.importorskip("pvlib.atmosphere")
    zen = 90.0 - df["%s.height_angle" % surface].to_numpy()
    az = df["%s.azimuth_angle" % surface].to_numpy()
    dni, dhi = df["weather.rad2"].to_numpy(), df["weather.rad3"].to_numpy()
    up = zen < 90
    ghi = np.where(up, dni * np.cos(np.radians(zen)), 0.0) + dhi
    doy = (df.index + pd.Timedelta(minutes=30)).day_of_year.to_numpy()
    extra = irr.get_extra_radiation(doy, method="spencer")
    am = atm.get_relative_airmass(zen, "kastenyoung1989")
    sky = irr.perez(tilt, azimuth, dhi, dni, extra, zen, az, am, return_components=True)
    # With the sun below the horizon (twilight in the hour) the panel takes the isotropic sky.
    sky_diffuse = np.where(up, np.nan_to_num(np.asarray(sky["poa_sky_diffuse"], dtype=float)),
                           irr.isotropic(tilt, dhi))
    circum = np.where(up, np.nan_to_num(np.asarray(sky["poa_circumsolar"], dtype=float)), 0.0)
    direct = np.where(up, dni * np.maximum(irr.aoi_projection(tilt, azimuth, zen, az), 0.0), 0.0)
    ground = irr.get_ground_diffuse(tilt, ghi, albedo=0.2)
    return {"poa_direct": direct, "poa_circumsolar": circum, "poa_sky_diffuse": sky_diffuse,
            "poa_ground_diffuse": ground, "poa_global": direct + sky_diffuse + ground}


@needs_weather
def test_free_planes_match_pvlib_perez_over_a_shortened_year(tmp_path):
    path = project(tmp_path / "p", free_planes_stl(), [p[0] for p in PLANES], (2025, 3, 1, 2025, 5, 31))
    m, df = run(path)
    assert df.attrs["units"]["roof_35_south.poa_global"] == "W/m²"
    assert m.modules["roof_35_south"].transposition_model == "perez"
    assert m.modules["roof_35_south"].ground_reflection == "global"
    for surface, tilt, az in PLANES:
        ref = pvlib_light(df, surface, tilt, az, 2025)
        ours = {k: df["%s.%s" % (surface, k)].to_numpy() for k in ref}
        # The beam is the exact factor of a free plane: cos(aoi), as pvlib's.
        assert ours["poa_direct"] == pytest.approx(ref["poa_direct"], abs=1e-6)
        # The sums follow the views' sampling error (at most 0.0012 of the light they take).
        for k in ("poa_global", "poa_sky_diffuse"):
            total, expected = ours[k].sum(), ref[k].sum()
            assert abs(total - expected) <= 0.003 * expected, (surface, k, total, expected)
        ghi_sum = ref["poa_ground_diffuse"].sum() / 0.2 / ((1 - math.cos(math.radians(tilt))) / 2)
        assert abs(ours["poa_ground_diffuse"].sum() - ref["poa_ground_diffuse"].sum()) <= 0.0013 * 0.2 * ghi_sum
        assert np.abs(ours["poa_global"] - ref["poa_global"]).mean() < 0.5, surface  # W/m2, hourly
        assert ours["poa_circumsolar"] == pytest.approx(ref["poa_circumsolar"], abs=1e-6)
        # The power is the plane's global light (area 1 m2, efficiency 1).
        assert df["%s.power" % surface].to_numpy() * 1000.0 == pytest.approx(ours["poa_global"], rel=1e-12, abs=1e-9)


@needs_weather
def test_a_neighbour_takes_the_circumsolar_light_with_the_beam_and_part_of_the_horizon(tmp_path):
    # Two south walls: one free, one with a block 6 m in front of it (20 m wide, 8 m high).
    stl = (square("wall_shaded", (0.0, 0.0, 1.5), 90.0, 180.0) + box("block", (-10.0, -8.0, 0.0), (10.0, -6.0, 8.0)) +
           square("wall_free", (500.0, 0.0, 1.5), 90.0, 180.0))
    path = project(tmp_path / "s", stl, ["wall_shaded", "wall_free"], (2025, 1, 1, 2025, 2, 28))
    m, df = run(path)
    shade = m.modules["model"]
    horizon = shade.horizon_views()
    assert horizon["wall_free"] == pytest.approx(1.0, abs=1e-5)
    # The block spans atan(10 / 6.5) each side of south, above the band: it takes that share.
    assert horizon["wall_shaded"] == pytest.approx(1.0 - math.sin(math.atan(10.0 / 6.5)), abs=0.03)
    assert m.modules["wall_shaded"].horizon_view == horizon["wall_shaded"]
    sunny = (df["weather.rad3"] > 0) & (df["wall_free.height_angle"] > 0)
    dark = sunny & (df["wall_shaded.cos"] == 0.0) & (df["wall_free.cos"] > 0.0) & (df["weather.rad2"] > 0)
    assert dark.sum() > 50
    assert (df.loc[dark, "wall_shaded.poa_circumsolar"] == 0.0).all()
    assert (df.loc[dark, "wall_free.poa_circumsolar"] > 0.0).any()
    # Every step without beam factor has no circumsolar light either.
    no_beam = df["wall_shaded.cos"] <= 0.0
    no_beam_steps = no_beam & (df["weather.rad2"] > 0)
    assert (df.loc[no_beam_steps, "wall_shaded.poa_circumsolar"] == 0.0).all()
    assert df["wall_shaded.poa_sky_diffuse"].sum() < df["wall_free.poa_sky_diffuse"].sum()
    assert df["wall_shaded.poa_ground_diffuse"].sum() < df["wall_free.poa_ground_diffuse"].sum()


@needs_weather
def test_the_sun_time_default_holds_with_and_without_a_site(tmp_path):
    stl = square("roof", (0.0, 0.0, 3.0), 30.0, 90.0)  # an east roof shows the sun time most
    period = (2025, 6, 1, 2025, 6, 7)
    # The EPW LOCATION line: 52.30 N, 4.77 E, UTC+1.
    site = "[site]\nlatitude = 52.30\nlongitude = 4.77\ntime_zone = 1\n"
    runs = {}
    for key, extra in (("absent", ""), ("default", site), ("middle", site + 'sun_time = "middle"\n'),
                       ("start", site + 'sun_time = "start"\n')):
        _, runs[key] = run(project(tmp_path / key, stl, ["roof"], period, site=extra))
    for key in ("absent", "default"):
        pd.testing.assert_frame_equal(runs[key], runs["middle"], check_exact=True)
    assert not runs["start"]["roof.height_angle"].equals(runs["middle"]["roof.height_angle"])
    assert runs["start"]["roof.energy"].iloc[-1] > 1.03 * runs["middle"]["roof.energy"].iloc[-1]


def test_site_light_choices_are_checked_and_reach_the_panel(tmp_path):
    from quillmere import cli
    from quillmere.core.manager import ProjectError

    folder = tmp_path / "demo"
    path = cli.write_demo(str(folder), 48.21, 16.37, 1)
    text = open(path, encoding="utf-8").read()
    for key, bad in (("transposition_model", '"haydavies"'), ("ground_reflection", "0.2")):
        open(path, "w", encoding="utf-8").write(text.replace("time_zone = 1\n", "time_zone = 1\n%s = %s\n" % (key, bad)))
        with pytest.raises(ProjectError, match=r"site\.%s" % key):
            run(path)
    open(path, "w", encoding="utf-8").write(
        "period = [2025, 6, 1, 2025, 6, 2]\n" + text.replace(
            "time_zone = 1\n", 'time_zone = 1\ntransposition_model = "isotropic"\nground_reflection = "diffuse"\n'))
    m, df = run(path)
    pv = m.modules["pv_east"]
    assert (pv.transposition_model, pv.ground_reflection) == ("isotropic", "diffuse")
    assert not any(c.startswith("pv_east.poa_") for c in df.columns)  # the panel module's outputs only


def test_light_outputs_of_a_panel_driven_directly():
    from quillmere.components.shade_exact import ExactShadowModule  # noqa: F401
    from quillmere.components.sunpanel_timed import TimedSunPanelModule
    from quillmere.core.sim_clock import SimClock

    site = {"longitude": 16.37, "latitude": 48.21, "time_zone": 1, "sun_time": "middle"}
    clock = SimClock(0.0, 3600.0)
    clock.set_period({"params": [2025, 1, 1, 2025, 12, 31]})
    pv = TimedSunPanelModule("pv")
    pv.in_file_params = ["none", "roof", 1.0, 1.0, 0.0, 200.0, 0.2]
    state = {"modules": {"none": None}, "site": dict(site)}
    pv.awake(state)  # no shading module: printed once, no direct sun
    assert "poa_global" not in pv.outputs and pv.transposition_model == "isotropic"
    info_names = [v["name"] for v in pv._get_module_info()["vars"]]
    assert "poa_global" not in info_names
    state["site"].update(transposition_model="perez", ground_reflection="global")
    pv.awake(state)
    assert {"poa_global", "poa_direct", "poa_circumsolar", "poa_sky_diffuse", "poa_ground_diffuse", "airmass",
            "dni_extra"} <= set(pv.outputs)
    units = {v["name"]: v["unit"] for v in pv._get_module_info()["vars"]}
    assert units["poa_global"] == "W/m²" and units["airmass"] == "-"
    clock.current_time = (171 * 24 + 11) * 3600.0  # 21 June 11:00, sun at 11:30
    pv.update(clock, state)
    out = {k: v["value"] for k, v in pv.outputs.items()}
    # A horizontal plane (zero normal) without beam: no circumsolar part, the dome and band
    # parts of the Perez sky, no ground.
    assert out["poa_direct"] == 0.0 and out["poa_circumsolar"] == 0.0 and out["poa_ground_diffuse"] == 0.0
    assert 0.0 < out["poa_sky_diffuse"] <= 200.0 * 1.5
    assert out["poa_global"] == pytest.approx(out["power"] * 1000.0, rel=1e-12)
    assert 1.0 < out["airmass"] < 1.5 and 1310.0 < out["dni_extra"] < 1330.0
    with pytest.raises(ValueError, match="site.transposition_model"):
        pv.awake({"modules": {"none": None}, "site": dict(site, transposition_model="klucher")})


def test_report_shows_the_light_parts_per_month(tmp_path):
    pytest.importorskip("matplotlib")
    from quillmere import cli, report

    path = cli.write_demo(str(tmp_path / "demo"), 48.21, 16.37, 1)
    text = open(path, encoding="utf-8").read()
    open(path, "w", encoding="utf-8").write("period = [2025, 6, 1, 2025, 7, 31]\n" + text)
    m, df = run(path)
    light = report.monthly_light(df)
    assert set(light) == {"pv_east", "pv_west"}
    east = light["pv_east"]
    assert [str(p) for p in east.index] == ["2025-06", "2025-07"]
    assert east["poa_global"].sum() == pytest.approx(df["pv_east.poa_global"].sum() / 1000.0, rel=1e-12)
    parts = east["poa_direct"] + east["poa_sky_diffuse"] + east["poa_ground_diffuse"]
    assert parts.to_numpy() == pytest.approx(east["poa_global"].to_numpy(), rel=1e-12)
    assert (east["poa_circumsolar"] > 0).all() and (east["poa_circumsolar"] < east["poa_sky_diffuse"]).all()
    out = report.make_report(df, m.project, df.attrs.get("summary"), str(tmp_path / "r.png"), m.modules, quiet=True)
    assert os.path.getsize(out) > 10000
    # Results without the light outputs (the panel module's light) have no such parts.
    assert report.monthly_light(df.drop(columns=[c for c in df.columns if c.endswith(".poa_global")])) == {}

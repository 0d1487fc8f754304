"""Partial shade through the public API (quillmere.components.pv_strings): the analytic cases of a
string with bypass diodes, the electrical model against an independent pvlib-based reference on
random shading patterns, layouts refused with the module named, cell factors against the surface
factor, and results that do not depend on the thread count."""
import math

import numpy as np
import pytest
from pvlib.ivtools.sdm import fit_desoto as pvlib_fit_desoto

from quillmere.components.pv_strings import cell_factors, fit_desoto, mismatch, module_layout
from quillmere.components.shade_exact import ExactShadowModule
from quillmere.core.sim_clock import SimClock

from pv_reference import DATASHEET, string_mpp
from shading_models import quad, write_solids

SITE = {"latitude": 48.21, "longitude": 16.37, "time_zone": 1}


def test_datasheet_fit_matches_pvlib():
    ours = fit_desoto(**DATASHEET, cells_in_series=60)
    ref = pvlib_fit_desoto(**DATASHEET, cells_in_series=60, root_kwargs=dict(method="lm"))[0]
    for k in ("I_L_ref", "I_o_ref", "R_s", "R_sh_ref", "a_ref"):
        assert ours[k] == pytest.approx(ref[k], rel=1e-4), k
    with pytest.raises(ValueError, match="i_mp < i_sc"):
        fit_desoto(**dict(DATASHEET, i_mp=10.0), cells_in_series=60)


def test_analytic_cases_of_a_string():
    pmp = 31.0 * 8.9
    full = mismatch(np.full((10, 60), 1000.0), np.full(10, 25.0), **DATASHEET)
    assert full["tracker_power"][0] == pytest.approx(10 * pmp, rel=3e-5)  # N x the module's MPP
    assert full["reference"] == pytest.approx(full["tracker_power"][0], rel=1e-12)
    # One dark cell in a 3-diode module: its substring bypassed, about 2/3 of the module less the diode's drop.
    g = np.full((1, 60), 1000.0)
    g[0, 7] = 0.0
    one = mismatch(g, np.full(1, 25.0), **DATASHEET)
    assert one["tracker_power"][0] == pytest.approx(2 / 3 * pmp - 8.9 * 0.5, rel=0.01)
    # A shaded module in a string of ten, against module-level MPPT.
    g = np.full((10, 60), 1000.0)
    g[4, :] = 300.0
    string = mismatch(g, np.full(10, 25.0), **DATASHEET)["tracker_power"][0]
    mlpe = mismatch(g, np.full(10, 25.0), **DATASHEET, module_mppt=True)["tracker_power"][0]
    assert mlpe == pytest.approx(9 * pmp + 0.3 * pmp, rel=0.01)
    assert string < mlpe - 0.5 * 0.3 * pmp
    # The local tracker from the open circuit stops on the hill of the shaded current.
    g[:3, :] = 200.0
    glob = mismatch(g, np.full(10, 25.0), **DATASHEET)["tracker_power"][0]
    loc = mismatch(g, np.full(10, 25.0), **DATASHEET, tracking="local")["tracker_power"][0]
    assert loc < 0.6 * glob


def test_electrical_model_against_pvlib_on_random_patterns():
    params = fit_desoto(**DATASHEET, cells_in_series=60)
    rng = np.random.default_rng(7)
    worst = 0.0
    for pattern in range(12):
        modules = 4
        g = np.full((modules, 60), 1000.0)
        for m in range(modules):
            shaded = rng.choice(60, size=int(rng.integers(0, 12)), replace=False)
            g[m, shaded] = np.round(rng.uniform(50.0, 900.0, size=shaded.size), 1)
        temp = np.round(rng.uniform(20.0, 60.0, size=modules), 1)
        ours = mismatch(g, temp, **DATASHEET)["tracker_power"][0]
        ref = string_mpp(params, g, temp)
        worst = max(worst, abs(ours / ref - 1.0))
        assert ours == pytest.approx(ref, rel=0.005), pattern
    assert worst < 0.005


def test_arguments_are_checked():
    t = np.full(2, 25.0)
    with pytest.raises(ValueError, match="cells"):
        mismatch(np.full((2, 59), 1000.0), t, **DATASHEET)
    with pytest.raises(ValueError, match="temp_cell"):
        mismatch(np.full((2, 60), 1000.0), np.full(3, 25.0), **DATASHEET)
    with pytest.raises(ValueError, match="旁路二极管"):
        mismatch(np.full((2, 60), 1000.0), t, **DATASHEET, bypass_diodes=4)
    with pytest.raises(ValueError, match="组串"):
        mismatch(np.full((2, 60), 1000.0), t, **DATASHEET, string_of_module=[0, 2])
    with pytest.raises(ValueError, match="组串"):  # refused before anything is sized by it
        mismatch(np.full((2, 60), 1000.0), t, **DATASHEET, string_of_module=[0, 999999999])
    with pytest.raises(ValueError, match="MPPT"):
        mismatch(np.full((2, 60), 1000.0), t, **DATASHEET, tracker_of_string=[999999999])
    with pytest.raises(ValueError, match="tracking"):
        mismatch(np.full((2, 60), 1000.0), t, **DATASHEET, tracking="nearest")
    with pytest.raises(TypeError):
        mismatch("x", t, **DATASHEET)


def rectangle(w, l, tilt):
    s, c = math.sin(math.radians(tilt)), math.cos(math.radians(tilt))
    return np.array([[0, 0, 0, w, 0, 0, w, l * c, l * s], [0, 0, 0, w, l * c, l * s, 0, l * c, l * s]], float)


def test_layout_off_its_surface_is_refused_with_the_module_named():
    tris = rectangle(5.0, 3.0, 30.0)
    lay = module_layout(tris, rows=1, columns=4, modules_per_string=2)
    assert lay["names"] == ["R1C1", "R1C2", "R1C3", "R1C4"]
    assert list(lay["string_of_module"]) == [0, 0, 1, 1]
    assert lay["cell_points"].shape == (4, 60, 1, 3)
    with pytest.raises(ValueError, match=r"组件 R1C5（第 5 个）不在表面上"):
        module_layout(tris, rows=1, columns=6)
    with pytest.raises(ValueError, match="R2C1"):
        module_layout(tris, rows=2, columns=1)  # 2 x 1.7 m + gap on a 3 m slope
    filled = module_layout(tris, fill=True, rows=0, columns=0, setback=0.2)
    assert len(filled["names"]) == 4  # one row of four (1.02 m pitch in 4.6 m)
    with pytest.raises(ValueError, match="orientation"):
        module_layout(tris, orientation="diagonal")


def tower_and_panel(path):
    """A south-facing 1.0 m x 1.7 m panel surface at 30 deg tilt with a pole south-east of it."""
    s, c = math.sin(math.radians(30)), math.cos(math.radians(30))
    panel, pole = [], []
    quad(panel, (0, 0, 1), (1.0, 0, 1), (1.0, 1.7 * c, 1 + 1.7 * s), (0, 1.7 * c, 1 + 1.7 * s))
    x0, y0, x1, y1, h = 1.2, -1.5, 1.4, -1.3, 4.0
    quad(pole, (x0, y0, 0), (x1, y0, 0), (x1, y0, h), (x0, y0, h))
    quad(pole, (x1, y0, 0), (x1, y1, 0), (x1, y1, h), (x1, y0, h))
    quad(pole, (x1, y1, 0), (x0, y1, 0), (x0, y1, h), (x1, y1, h))
    quad(pole, (x0, y1, 0), (x0, y0, 0), (x0, y0, h), (x0, y1, h))
    return write_solids(path, {"panel": panel, "pole": pole})


def test_cell_factors_of_one_module_covering_its_surface_give_the_surface_factor(tmp_path):
    stl = tower_and_panel(tmp_path / "p.stl")
    unit = ExactShadowModule("house")
    unit.in_file_params = [str(stl), str(tmp_path / "t.csv"), "exact", None, 0.02, "panel"]
    clock = SimClock(0.0, 3600.0)
    clock.set_period({"params": [2025, 6, 1, 2025, 6, 3]})
    unit.awake({"modules": {}, "site": dict(SITE, sun_time="middle"), "clock": clock})
    f = unit.sun_factors()
    alt, az = f["altitude"], f["azimuth"]
    cells = cell_factors(unit, "panel", alt, az, samples=4)
    assert cells.shape == (len(alt), 1, 60)
    mean = cells.mean(axis=(1, 2))
    surface = f["factors"]["panel"]
    assert np.abs(mean - surface).max() < 0.02  # both sample the lit fraction of the same area
    free = (cells.min(axis=(1, 2)) == cells.max(axis=(1, 2)))
    assert free.any() and (~free).any()  # the pole's shadow crosses the panel on some steps
    assert np.allclose(mean[free], surface[free], rtol=0, atol=1e-12)
    # Threads never change the answer.
    one = cell_factors(unit, "panel", alt, az, samples=2, threads=1)
    two = cell_factors(unit, "panel", alt, az, samples=2, threads=2)
    assert np.array_equal(one, two)
    with pytest.raises(ValueError, match="不在表面上"):
        cell_factors(unit, "panel", alt, az, rows=2)
    with pytest.raises(KeyError):
        cell_factors(unit, "nothing", alt, az)
    with pytest.raises(TypeError):
        cell_factors(object(), "panel", alt, az)
    with pytest.raises(TypeError):
        cell_factors(ExactShadowModule.__new__(ExactShadowModule), "panel", alt, az)


def test_results_do_not_depend_on_the_thread_count():
    rng = np.random.default_rng(3)
    g = np.where(rng.random((50, 6, 60)) < 0.1, rng.uniform(50, 900, (50, 6, 60)), 800.0)
    t = np.full((50, 6), 40.0)
    kw = dict(DATASHEET, string_of_module=[0, 0, 0, 1, 1, 1], tracker_of_string=[0, 0])
    one = mismatch(g, t, **kw, threads=1)
    two = mismatch(g, t, **kw, threads=2)
    for k in ("tracker_power", "string_power", "module_power", "reference"):
        assert np.array_equal(one[k], two[k]), k
    assert (one["tracker_power"][:, 0] <= one["reference"] + 1e-9).all()


def test_cells_cast_by_projection_equal_the_tracer_ray_by_ray(tmp_path):
    """The default cast (all rays of a position projected along the sun) gives the tracer's ray-by-ray
    factors bit for bit, at low and high suns, with 2 x 2 samples per cell, on any thread count."""
    stl = tower_and_panel(tmp_path / "p.stl")
    unit = ExactShadowModule("house")
    unit.in_file_params = [str(stl), str(tmp_path / "t.csv"), "exact", None, 0.0, "panel"]
    clock = SimClock(0.0, 3600.0)
    clock.set_period({"params": [2025, 1, 1, 2025, 1, 2]})
    unit.awake({"modules": {}, "site": dict(SITE, sun_time="middle"), "clock": clock})
    rng = np.random.default_rng(25)
    alt = np.concatenate([rng.uniform(0.01, 4.0, 60), rng.uniform(4.0, 89.0, 200), [-3.0]])
    az = rng.uniform(0.0, 360.0, alt.size)
    rays = cell_factors(unit, "panel", alt, az, samples=2, method="rays", threads=1)
    for threads in (1, 2, 3):
        proj = cell_factors(unit, "panel", alt, az, samples=2, threads=threads)
        assert np.array_equal(rays, proj)
    shaded = (rays > 0).any(axis=(1, 2)) & (rays.min(axis=(1, 2)) < rays.max(axis=(1, 2)))
    assert shaded.sum() > 10  # the pole's shadow lies partly on the panel at many of these suns
    with pytest.raises(ValueError, match="method"):
        cell_factors(unit, "panel", alt, az, method="guess")

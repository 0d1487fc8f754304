"""quillmere.core.util: path normalisation, sun position, sky-diffuse split."""
import math
import os
import pathlib
import random

import pytest

from quillmere.core import util


# ---------------------------------------------------------------- sun position

def test_sun_position_result_and_conventions():
    h, a = util.calculate_sun_position(4.9, 52.3, 1, (2021, 6, 21, 12, 40, 0))
    assert isinstance(h, float) and isinstance(a, float)
    # Amsterdam near solar noon at midsummer: high in the south.
    assert 60.5 < h < 61.5
    assert 175.0 < a < 185.0
    # Morning sun in the east, evening sun in the west, night below the horizon.
    _, morning = util.calculate_sun_position(4.9, 52.3, 1, (2021, 6, 21, 8, 0, 0))
    _, evening = util.calculate_sun_position(4.9, 52.3, 1, (2021, 6, 21, 19, 0, 0))
    night, _ = util.calculate_sun_position(4.9, 52.3, 1, (2021, 12, 21, 0, 0, 0))
    assert 0.0 < morning < 180.0 < evening < 360.0
    assert night < -50.0
    # Any six-item sequence of numbers serves as the date-time.
    assert util.calculate_sun_position(4.9, 52.3, 1, [2021, 6, 21, 12, 40, 0.0]) == (h, a)


def test_sun_position_refuses_bad_input_with_host_errors():
    dt = (2021, 6, 21, 12, 0, 0)
    with pytest.raises(TypeError, match="datetime"):
        util.calculate_sun_position(0.0, 0.0, 0, None)
    with pytest.raises(TypeError, match="datetime"):
        util.calculate_sun_position(0.0, 0.0, 0, "2021-06-21")
    with pytest.raises(ValueError, match="6 items"):
        util.calculate_sun_position(0.0, 0.0, 0, (2021, 6, 21))
    with pytest.raises(TypeError):
        util.calculate_sun_position(0.0, 0.0, 0, (2021, 6, 21, 12, "0", 0))
    with pytest.raises(TypeError):
        util.calculate_sun_position("0", 0.0, 0, dt)
    with pytest.raises(TypeError):
        util.calculate_sun_position(0.0, 0.0, 1.5, dt)  # the time zone is an integer
    with pytest.raises(OverflowError):
        util.calculate_sun_position(0.0, 0.0, 2**40, dt)
    for bad in [(0.0, float("nan"), 0, dt), (0.0, 91.0, 0, dt), (200.0, 0.0, 0, dt), (0.0, 0.0, 30, dt),
                (0.0, 0.0, 0, (2021, 13, 1, 0, 0, 0)), (0.0, 0.0, 0, (2021, 1, 1, 0, 0, float("inf"))),
                (0.0, 0.0, 0, (10**6, 1, 1, 0, 0, 0))]:
        with pytest.raises(ValueError, match="calculate_sun_position"):
            util.calculate_sun_position(*bad)


def _oracle():
    return pytest.importorskip("pvlib", reason="pvlib is the independent solar position oracle")


def test_sun_position_agrees_with_an_independent_spa_1900_to_2100():
    pvlib = _oracle()
    import pandas as pd

    rng = random.Random(20240611)
    for _ in range(300):
        year = rng.randint(1900, 2100)
        month = rng.randint(1, 12)
        day = rng.randint(1, 28)
        hour, minute, second = rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)
        tz = rng.randint(-12, 14)
        lat = rng.uniform(-89.0, 89.0)
        lon = rng.uniform(-180.0, 180.0)
        h, a = util.calculate_sun_position(lon, lat, tz, (year, month, day, hour, minute, second))
        stamp = pd.Timestamp(year=year, month=month, day=day, hour=hour, minute=minute, second=second)
        utc = pd.DatetimeIndex([stamp - pd.Timedelta(hours=tz)]).tz_localize("UTC")
        ref = pvlib.solarposition.spa_python(utc, lat, lon, altitude=0, pressure=101325, temperature=15,
                                             delta_t=pvlib.spa.calculate_deltat(year, month))
        assert h == pytest.approx(float(ref["apparent_elevation"].iloc[0]), abs=0.01)
        da = (a - float(ref["azimuth"].iloc[0]) + 180.0) % 360.0 - 180.0
        # Azimuth is ill-defined with the sun at the zenith or the poles' horizon.
        if abs(h) < 89.0:
            assert abs(da) < 0.01 / max(math.cos(math.radians(h)), 1e-3)
        assert 0.0 <= a < 360.0


# ---------------------------------------------------------------- sky diffuse

def test_sky_diffuse_and_ground_reflection_isotropic_model():
    f = util.calculate_sky_diffuse_and_ground_reflection
    assert f((0.0, 0.0, 1.0), 100.0, 0.2) == (100.0, 0.0)
    sky, ground = f((1.0, 0.0, 0.0), 100.0, 0.2)
    assert sky == pytest.approx(50.0) and ground == pytest.approx(10.0)
    sky, ground = f((0.0, math.sin(math.radians(30)), math.cos(math.radians(30))), 200, 0.25)
    c = math.cos(math.radians(30))
    assert sky == pytest.approx(200 * (1 + c) / 2) and ground == pytest.approx(0.25 * 200 * (1 - c) / 2)
    # None and the zero vector count as horizontal; a non-unit normal is normalised.
    assert f(None, 100.0, 0.2) == (100.0, 0.0)
    assert f([0, 0, 0], 100.0, 0.2) == (100.0, 0.0)
    assert f((0, 0, 5), 100, 0.2) == (100.0, 0.0)


def test_sky_diffuse_and_ground_reflection_bad_input():
    f = util.calculate_sky_diffuse_and_ground_reflection
    with pytest.raises(ValueError, match="finite"):
        f((0.0, 0.0, 1.0), float("nan"), 0.2)
    with pytest.raises(ValueError, match="finite"):
        f((0.0, float("inf"), 1.0), 100.0, 0.2)
    with pytest.raises(ValueError, match="3 components"):
        f((0.0, 1.0), 100.0, 0.2)
    with pytest.raises(TypeError):
        f("up", 100.0, 0.2)
    with pytest.raises(TypeError):
        f((0, 0, 1), None, 0.2)


# ---------------------------------------------------------------- paths

@pytest.fixture
def base_folder_reset():
    yield
    util.set_base_folder(None)


def test_convert_to_valid_path_normalises(tmp_path, monkeypatch, base_folder_reset):
    monkeypatch.setenv("QM_TEST_DIR", str(tmp_path))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    assert util.convert_to_valid_path('  "$QM_TEST_DIR/a/../w.epw"  ') == str(tmp_path / "w.epw")
    assert util.convert_to_valid_path("'~/data/w.epw'") == str(tmp_path / "home" / "data" / "w.epw")
    assert util.convert_to_valid_path(pathlib.Path(tmp_path) / "x" / "." / "y.csv") == str(tmp_path / "x" / "y.csv")
    assert util.convert_to_valid_path(os.fsencode(str(tmp_path / "b.epw"))) == str(tmp_path / "b.epw")
    # A relative path resolves against the current folder while no base folder is set.
    monkeypatch.chdir(tmp_path)
    assert util.get_base_folder() is None
    assert util.convert_to_valid_path("sub/w.epw") == str(tmp_path / "sub" / "w.epw")
    # The file need not exist; the result is always a str.
    assert isinstance(util.convert_to_valid_path("missing.epw"), str)


def test_base_folder_for_relative_paths(tmp_path, monkeypatch, base_folder_reset):
    project = tmp_path / "project"
    util.set_base_folder(str(project))
    assert util.get_base_folder() == str(project)
    assert util.convert_to_valid_path("weather/w.epw") == str(project / "weather" / "w.epw")
    assert util.convert_to_valid_path(str(tmp_path / "abs.epw")) == str(tmp_path / "abs.epw")
    # A relative base folder is fixed against the current folder when set.
    monkeypatch.chdir(tmp_path)
    util.set_base_folder("rel")
    monkeypatch.chdir(project.parent.parent)
    assert util.get_base_folder() == str(tmp_path / "rel")
    util.set_base_folder(None)
    assert util.get_base_folder() is None
    with pytest.raises(TypeError):
        util.set_base_folder(3)


def test_convert_to_valid_path_bad_input():
    with pytest.raises(TypeError, match="path"):
        util.convert_to_valid_path(None)
    with pytest.raises(TypeError, match="path"):
        util.convert_to_valid_path(42)
    with pytest.raises(ValueError, match="empty"):
        util.convert_to_valid_path(' "" ')

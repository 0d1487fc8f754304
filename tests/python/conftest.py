"""Fixtures shared by the Python tests (their inputs are in demo_inputs.py)."""
import pytest

from demo_inputs import WEATHER_AND_TURBINE, write_inputs


@pytest.fixture
def small_project(tmp_path, monkeypatch):
    """A folder (the current one) with the demo house, the clear-sky year at
    48 N 16 E and p.toml: the weather and a turbine over two days."""
    write_inputs(tmp_path)
    (tmp_path / "p.toml").write_text(WEATHER_AND_TURBINE, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    return tmp_path

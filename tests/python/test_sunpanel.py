"""PV panel module: start-up, the per-step computation and its guards."""
import datetime
import math

import pytest

import quillmere.core.util as util
from quillmere.components.shade_group import SurfaceShadowModule
from quillmere.components.sunpanel_module import SunPanelModule
from quillmere.core.sim_clock import SimClock

import shading_models

SITE = {"longitude": 4.77, "latitude": 52.3, "time_zone": 1}


class FixedShade(SurfaceShadowModule):
    """A shading module answering fixed values and counting the lookups."""

    def __init__(self, name, cos=0.5, stats=None):
        super().__init__(name)
        self.cos = cos
        self.stats = {"area": 3.0, "normal": (0.0, 0.0, 1.0)} if stats is None else stats
        self.lookups = []

    def get_cos_value(self, solid_name, altitude, azimuth):
        self.lookups.append((solid_name, altitude, azimuth))
        return self.cos

    def get_surf_stats(self, surf_name):
        return self.stats


def clock(step=3600.0, hours=12.0):
    """A clock over the default year (2025), `hours` after 1 January 00:00."""
    c = SimClock(0.0, step)
    c.set_period({})
    c.current_time = hours * 3600.0
    return c


def datetime_tuple(hours):
    t = datetime.datetime(2025, 1, 1) + datetime.timedelta(hours=hours)
    return (t.year, t.month, t.day, t.hour, t.minute, t.second)


def panel(shade, params=("shade", "roof", 1.0, 0.2, 800.0, 100.0, 0.2)):
    pv = SunPanelModule("pv")
    pv.in_file_params = list(params)
    pv.awake({"modules": {"shade": shade}})
    return pv


def out(pv, name):
    return pv.outputs[name]["value"]


@pytest.fixture
def fixed_sky(monkeypatch):
    calls = []

    def sky(normal, diffuse, reflect):
        calls.append((normal, diffuse, reflect))
        return 60.0, 10.0

    monkeypatch.setattr(util, "calculate_sky_diffuse_and_ground_reflection", sky)
    return calls


class TestRecord:
    def test_module_information_record(self):
        pv = SunPanelModule("pv")
        info = pv._get_module_info()
        assert list(info) == ["name", "vars", "id", "description"]
        assert (info["name"], info["id"], info["description"]) == ("SunPanel", 2, "光伏模块")
        rows = [(v["id"], v["category"], v["name"], v["type"], v["default"], v["unit"], v.get("notInstantaneous"))
                for v in info["vars"]]
        assert rows == [
            (1, "input", "normal_rad", "number", 800.0, "W/m²", None),
            (1, "input", "diffuse_rad", "number", 100.0, "W/m²", None),
            (1, "input", "ground_reflect", "number", 0.2, "-", None),
            (2, "param", "panel_area", "number", 1.0, "m²", None),
            (3, "param", "efficiency", "number", 0.2, "", None),
            (4, "output", "power", "number", 0.0, "kW", False),
            (5, "output", "energy", "number", 0.0, "kWh", True),
            (2, "param", "surface_name", "string", "", "-", None),
            (2, "param", "shadow_name", "string", "", "-", None),
            (5, "output", "height_angle", "number", 0.0, "c", False),
            (5, "output", "azimuth_angle", "number", 0.0, "c", False),
            (5, "output", "cos", "number", 0.0, "c", False),
        ]
        assert [list(v) for v in info["vars"]][5] == ["id", "category", "name", "type", "default", "unit",
                                                       "notInstantaneous"]
        assert list(pv.previous_outputs_2) == ["energy"]
        assert type(pv).__module__ == "quillmere.components.sunpanel_module"
        assert not hasattr(pv, "calculate_pv_power") and not hasattr(pv, "shadow")


class TestStep:
    def test_worked_example_and_quarter_hour_step(self, fixed_sky):
        shade = FixedShade("shade", cos=0.5)
        pv = panel(shade)
        c = clock()
        pv.update(c, {"site": SITE})
        assert out(pv, "power") == pytest.approx(0.094, abs=1e-12)
        assert out(pv, "energy") == pytest.approx(0.094, abs=1e-12)
        assert out(pv, "cos") == 0.5
        height, azimuth = util.calculate_sun_position(4.77, 52.3, 1, datetime_tuple(12.0))
        assert height > 0
        assert (out(pv, "height_angle"), out(pv, "azimuth_angle")) == (height, azimuth)
        assert shade.lookups == [("roof", height, azimuth)]
        assert fixed_sky == [((0.0, 0.0, 1.0), 100.0, 0.2)]  # the surface normal from the statistics
        c.set_time_step(900.0)
        pv.update(c, {"site": SITE})
        assert out(pv, "energy") == pytest.approx(0.094 + 0.094 / 4, abs=1e-12)

    def test_no_direct_sun_means_no_lookup(self, fixed_sky):
        shade = FixedShade("shade", cos=0.9)
        pv = panel(shade, ("shade", "roof", "2.0", "0.1", 0.0, 100.0, 0.2))
        pv.update(clock(), {"site": SITE})
        assert shade.lookups == []
        assert out(pv, "cos") == 0.0
        assert out(pv, "power") == pytest.approx(70.0 * 2.0 * 0.1 / 1000.0)

    def test_unknown_surface_answer_never_makes_power_negative(self, fixed_sky):
        pv = panel(FixedShade("shade", cos=-1.0))
        pv.update(clock(), {"site": SITE})
        assert out(pv, "cos") == -1.0
        assert out(pv, "power") == pytest.approx(70.0 * 0.2 / 1000.0)

    def test_non_finite_power_is_shown_but_not_accumulated(self, fixed_sky):
        pv = panel(FixedShade("shade"))
        pv.update(clock(), {"site": SITE})
        before = out(pv, "energy")
        pv.inputs["normal_rad"]["value"] = float("nan")  # an empty weather field
        pv.update(clock(), {"site": SITE})
        assert math.isnan(out(pv, "power"))
        assert out(pv, "energy") == before
        assert out(pv, "cos") == 0.0  # NaN is not a positive irradiance: no lookup

    def test_variable_errors_are_printed_and_leave_power_and_energy(self, fixed_sky, capsys):
        pv = panel(FixedShade("shade"))
        pv.update(clock(), {"site": SITE})
        power, energy = out(pv, "power"), out(pv, "energy")
        capsys.readouterr()
        pv.update(clock(), {})
        pv.update(clock(), None)
        pv.inputs["normal_rad"]["value"] = "800"
        pv.update(clock(), {"site": SITE})
        lines = capsys.readouterr().out.splitlines()
        assert lines[0] == "错误：获取变量失败 - 'site'"
        assert lines[1].startswith("错误：获取变量失败 - ") and len(lines) == 3
        assert (out(pv, "power"), out(pv, "energy")) == (power, energy)
        with pytest.raises(AttributeError, match="time_step"):
            pv.update(None, {"site": SITE})
        with pytest.raises(TypeError, match="time"):
            pv.update(3600, {"site": SITE})

    def test_non_numeric_cos_from_a_redefinition_is_a_variable_error(self, fixed_sky, capsys):
        pv = panel(FixedShade("shade", cos="bright"))
        pv.update(clock(), {"site": SITE})
        assert capsys.readouterr().out.startswith("错误：获取变量失败 - ")
        assert out(pv, "power") == 0.0 and out(pv, "energy") == 0.0

    def test_real_shading_module_feeds_the_cos_output(self, tmp_path):
        stl = shading_models.courtyard_model(tmp_path / "b.stl")
        shade = SurfaceShadowModule("shade")
        shade.in_file_params = [stl, str(tmp_path / "t.csv"), "roof_free"]
        shade.awake({})
        pv = panel(shade, ("shade", "roof_free", 36.0, 0.2, 800.0, 100.0, 0.2))
        c = clock(hours=12.0 + 24 * 170)
        pv.update(c, {"site": SITE})
        h, az = out(pv, "height_angle"), out(pv, "azimuth_angle")
        assert h > 30
        assert out(pv, "cos") == shade.get_cos_value("roof_free", h, az)
        assert out(pv, "power") > 0


class TestAwake:
    def test_parameters_and_inputs_from_the_project(self):
        pv = panel(FixedShade("shade"), ("shade", "roof", "2.5", 0.15, "500", 50, "0.3"))
        assert pv.params["panel_area"]["value"] == 2.5
        assert pv.params["efficiency"]["value"] == 0.15
        assert pv.params["surface_name"]["value"] == "roof"
        assert pv.params["shadow_name"]["value"] == "shade"
        assert [pv.inputs[k]["value"] for k in ("normal_rad", "diffuse_rad", "ground_reflect")] == [500.0, 50.0, 0.3]

    def test_missing_parameter_record_prints_the_report(self, capsys):
        pv = SunPanelModule("pv")
        del pv.params["efficiency"]
        pv.in_file_params = ["shade", "roof", 1, 0.2, 800, 100, 0.2]
        pv.awake({"modules": {"shade": FixedShade("shade")}})
        text = capsys.readouterr().out
        assert text.startswith("处理输入文件参数错误\n实例名称: pv\n模块名称: SunPanel\n")

    def test_project_value_errors_propagate(self):
        pv = SunPanelModule("pv")
        pv.in_file_params = ["shade", "roof", "wide", 0.2, 800, 100, 0.2]
        with pytest.raises(ValueError):
            pv.awake({"modules": {}})
        pv.in_file_params = ["shade", "roof", 1.0]
        with pytest.raises(IndexError):
            pv.awake({"modules": {}})
        pv.in_file_params = ["shade", 5, 1, 1, 1, 1, 1]
        with pytest.raises(TypeError, match="Expected str, got int"):
            pv.awake({"modules": {}})

    def test_shading_module_lookup(self, capsys):
        params = ["shade", "roof", 1, 0.2, 800, 100, 0.2]
        pv = SunPanelModule("pv")
        pv.in_file_params = list(params)
        pv.awake({"modules": {"other": FixedShade("other")}})
        pv.awake({})
        pv.awake({"modules": {"shade": FixedShade("shade", stats={"area": 1.0})}})
        assert capsys.readouterr().out.splitlines() == ["错误：未找到 阴影表面组模块  shade"] * 3
        with pytest.raises(TypeError, match="SurfaceShadowModule"):
            pv.awake({"modules": {"shade": SunPanelModule("x")}})
        with pytest.raises(TypeError):
            pv.awake(None)

        class Uninitialised(SurfaceShadowModule):
            def __init__(self):
                pass

        with pytest.raises(TypeError, match="not initialised"):
            pv.awake({"modules": {"shade": Uninitialised()}})
        with pytest.raises(TypeError, match="Expected dict"):
            pv.awake({"modules": {"shade": FixedShade("shade", stats=[1])}})
        with pytest.raises(TypeError, match="Expected tuple"):
            pv.awake({"modules": {"shade": FixedShade("shade", stats={"area": 1.0, "normal": [0, 0, 1]})}})

    def test_unknown_surface_statistics_raise(self, tmp_path, capsys):
        shade = SurfaceShadowModule("shade")
        pv = SunPanelModule("pv")
        pv.in_file_params = ["shade", "roof", 1, 0.2, 800, 100, 0.2]
        with pytest.raises(TypeError):
            pv.awake({"modules": {"shade": shade}})
        assert capsys.readouterr().out == "未找到名为 roof 的表面统计信息。\n"

    def test_without_shading_module_direct_sun_counts_zero(self, fixed_sky, capsys):
        pv = SunPanelModule("pv")
        pv.in_file_params = ["shade", "roof", 1, 0.2, 800, 100, 0.2]
        pv.awake({"modules": {"shade": None}})
        for _ in range(3):
            pv.update(clock(), {"site": SITE})
        assert capsys.readouterr().out.splitlines() == ["错误：未找到 阴影表面组模块  shade"] * 2
        assert out(pv, "cos") == 0.0
        assert out(pv, "power") == pytest.approx(70.0 * 0.2 / 1000.0)


class TestNonFiniteGroundReflectance:
    """A NaN or infinite albedo (an empty field of a linked table) is one unknown step, not a failed run."""

    @pytest.mark.parametrize("albedo", [float("nan"), float("inf"), -float("inf")])
    def test_the_step_power_is_not_finite_and_adds_no_energy(self, albedo):
        pv = panel(FixedShade("shade"))
        pv.update(clock(), {"site": SITE})
        before = out(pv, "energy")
        assert before > 0
        pv.inputs["ground_reflect"]["value"] = albedo
        pv.update(clock(), {"site": SITE})
        assert math.isnan(out(pv, "power"))
        assert out(pv, "energy") == before
        pv.inputs["ground_reflect"]["value"] = 0.2  # the next good step counts again
        pv.update(clock(), {"site": SITE})
        assert out(pv, "energy") == pytest.approx(2 * before)

    def test_the_sky_function_itself_still_refuses_it(self):
        with pytest.raises(ValueError, match="finite"):
            util.calculate_sky_diffuse_and_ground_reflection((0.0, 0.0, 1.0), 100.0, float("nan"))

"""Surface shading module: table generation, reading, cleaning and lookup."""
import math
import os

import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator

from quillmere.components.shade_group import SurfaceShadowModule
from quillmere.shadow_calc.occlusion_scan import calculate_shadow, stl_statistics

import shading_models

AZIMUTHS = list(range(0, 361, 45))
ALTITUDES = list(range(0, 76, 15))


@pytest.fixture
def model(tmp_path):
    return shading_models.courtyard_model(tmp_path / "building.stl")


def make_module(stl, csv, *surfaces, name="shade"):
    m = SurfaceShadowModule(name)
    m.in_file_params = [stl, csv, *surfaces]
    return m


def write_table(path, text, encoding="utf-8"):
    with open(path, "w", encoding=encoding) as f:
        f.write(text)
    return str(path)


def lines_of(capsys):
    return capsys.readouterr().out.splitlines()


class TestRecordAndFreshModule:
    def test_module_information_record(self):
        m = SurfaceShadowModule("s")
        info = m._get_module_info()
        assert info == {
            "name": "SurfaceShadow",
            "vars": [
                {"id": 1, "category": "param", "name": "stl_file_path", "type": "string", "default": "", "unit": ""},
                {"id": 2, "category": "param", "name": "csv_file_path", "type": "string", "default": "", "unit": ""},
            ],
            "id": 2,
            "description": "表面阴影计算模块",
        }
        assert list(info) == ["name", "vars", "id", "description"]
        assert m._get_module_info() is not info
        assert m.module_name == "SurfaceShadow"
        assert m.params == {"stl_file_path": {"value": ""}, "csv_file_path": {"value": ""}}
        assert m.inputs == {} and m.outputs == {}
        assert type(m).__module__ == "quillmere.components.shade_group"

    def test_before_awake_every_lookup_is_unknown(self, capsys):
        m = SurfaceShadowModule("s")
        assert m.get_cos_value("roof", 30, 180) == -1.0
        assert m.get_cos_value(None, 30, 180) == -1.0
        assert m.get_surf_stats("roof") is None
        assert lines_of(capsys) == ["错误：未找到 roof 的插值函数。", "错误：未找到 None 的插值函数。",
                                    "未找到名为 roof 的表面统计信息。"]
        assert m.update(None, None) is None

    def test_argument_types(self):
        m = SurfaceShadowModule("s")
        with pytest.raises(TypeError, match=r"Argument 'solid_name' has incorrect type \(expected str, got int\)"):
            m.get_cos_value(1, 0, 0)
        with pytest.raises(TypeError):
            m.get_cos_value("a", "30", 0)
        with pytest.raises(TypeError, match="surf_name"):
            m.get_surf_stats(3)
        with pytest.raises(TypeError, match="output_folder"):
            m.shadow_analyze_output(b"x.csv")
        with pytest.raises(TypeError, match="state"):
            m.awake([])
        with pytest.raises(TypeError, match="time"):
            m.update(1, None)


class TestGeneratedTable:
    def test_csv_text_and_messages(self, model, tmp_path, capsys):
        csv = tmp_path / "out" / "deeper" / "cos.csv"  # missing folders are created
        m = make_module(model, str(csv), "roof_shaded", "wall_south", "roof_shaded")
        m.awake({})
        out = lines_of(capsys)
        assert out == ["开始阴影分析, 输出结果 到 " + str(csv), "阴影分析结束"]
        lines = csv.read_text().split("\n")
        assert lines[0] == "方位角,高度角,roof_shaded,wall_south"
        assert lines[-1] == "" and len(lines) == 56
        expected = []
        for alt in ALTITUDES:
            for az in AZIMUTHS:
                res = calculate_shadow(model, ["roof_shaded", "wall_south"], alt, az)[0]
                expected.append(f"{az},{alt},{res['roof_shaded']:.6f},{res['wall_south']:.6f}")
        assert lines[1:55] == expected

    def test_direct_call_appends_to_an_existing_file(self, model, tmp_path, capsys):
        csv = tmp_path / "cos.csv"
        m = make_module(model, str(csv), "roof_free")
        m.awake({})
        first = csv.read_text()
        m.shadow_analyze_output(str(csv))
        assert csv.read_text() == first + first  # a second header and 54 more lines

    def test_lookup_on_grid_points_and_between(self, model, tmp_path):
        csv = tmp_path / "cos.csv"
        m = make_module(model, str(csv), "roof_free", "roof_shaded")
        m.awake({})
        table = {}
        for row in csv.read_text().splitlines()[1:]:
            az, alt, free, shaded = row.split(",")
            table[(int(az), int(alt))] = (float(free), float(shaded))
        assert len({k[0] for k in table}) == 9 and len({k[1] for k in table}) == 6
        for (az, alt), (free, shaded) in table.items():
            assert m.get_cos_value("roof_free", alt, az) == pytest.approx(free, abs=1e-12)
            assert m.get_cos_value("roof_shaded", alt, az) == pytest.approx(shaded, abs=1e-12)
        # Free roof: cos = sin(altitude) at every azimuth; linear in between.
        assert m.get_cos_value("roof_free", 75, 360) == pytest.approx(math.sin(math.radians(75)), abs=1e-6)
        mid = (table[(180, 15)][0] + table[(180, 30)][0]) / 2
        assert m.get_cos_value("roof_free", 22.5, 180) == pytest.approx(mid, abs=1e-12)
        # The tower shades the low roof with a low southern sun, not the free one.
        assert m.get_cos_value("roof_shaded", 15, 180) < m.get_cos_value("roof_free", 15, 180)

    def test_existing_table_is_kept_and_path_without_folder(self, model, tmp_path, monkeypatch, capsys):
        monkeypatch.chdir(tmp_path)
        m = make_module(model, "shade.csv", "roof_free")
        m.awake({})
        assert (tmp_path / "shade.csv").is_file()
        first = (tmp_path / "shade.csv").read_text()
        capsys.readouterr()
        again = make_module(model, "shade.csv", "roof_free", "wall_south")
        again.awake({})
        assert (tmp_path / "shade.csv").read_text() == first  # not regenerated
        assert capsys.readouterr().out == ""
        assert again.get_cos_value("wall_south", 30, 180) == -1.0


class TestReadingAndCleaning:
    def awake_on(self, model, csv_path):
        m = make_module(model, csv_path)
        m.awake(None)
        return m

    def test_matches_library_interpolator_including_missing_cells(self, model, tmp_path):
        rng = np.random.default_rng(7)
        az = np.array([0.0, 30.0, 100.0, 180.0, 270.0, 360.0])
        alt = np.array([-5.0, 10.0, 40.0, 80.0])
        values = rng.random((len(az), len(alt)))
        values[2, 1] = np.nan
        rows = ["方位角,高度角,a"]
        for j, h in enumerate(alt):
            for i, a in enumerate(az):
                cell = "" if np.isnan(values[i, j]) else repr(float(values[i, j]))
                rows.append(f"{a:g},{h:g},{cell}")
        m = self.awake_on(model, write_table(tmp_path / "t.csv", "\n".join(rows) + "\n"))
        ref = RegularGridInterpolator((az, alt), values, method="linear")
        pts = np.column_stack([rng.uniform(0, 360, 2000), rng.uniform(-5, 80, 2000)])
        pts = np.vstack([pts, [[0, -5], [360, 80], [100, 10], [30, 10], [360, -5], [0, 80]]])
        nan_hits = 0
        for a, h in pts:
            want = float(ref([a, h])[0])
            got = m.get_cos_value("a", h, a)
            if math.isnan(want):
                nan_hits += 1
                assert math.isnan(got)
            else:
                assert got == pytest.approx(want, abs=1e-12, rel=0)
        assert nan_hits > 0

    def test_bounds_are_not_wrapped_or_clamped(self, model, tmp_path):
        rows = ["方位角,高度角,a"] + [f"{a},{h},1.0" for h in ALTITUDES for a in AZIMUTHS]
        m = self.awake_on(model, write_table(tmp_path / "t.csv", "\n".join(rows) + "\n"))
        assert m.get_cos_value("a", 75, 360) == 1.0
        assert m.get_cos_value("a", 0, 0) == 1.0
        for alt, az in [(75.01, 10), (-0.01, 10), (30, -10), (30, 370), (90, 180), (float("nan"), 10),
                        (10, float("nan")), (float("inf"), 0)]:
            assert m.get_cos_value("a", alt, az) == 0.0

    def test_cleaning_drops_bad_angles_and_averages_duplicates(self, model, tmp_path, capsys):
        text = ("方位角,高度角,a,b\n"
                "0,0,0.1,1\n90,0,0.3,1\n0,10,0.5,1\n90,10,0.7,1\n"
                "90,10,0.9,1\n"        # duplicate point: averaged with 0.7
                "north,10,5.0,5\n"     # non-numeric angle: dropped
                ",0,5.0,5\n"           # missing angle: dropped
                "45,,5.0,5\n")
        m = self.awake_on(model, write_table(tmp_path / "t.csv", text))
        assert capsys.readouterr().out == ""
        assert m.get_cos_value("a", 10, 90) == pytest.approx(0.8, abs=1e-12)
        assert m.get_cos_value("a", 5, 45) == pytest.approx((0.1 + 0.3 + 0.5 + 0.8) / 4, abs=1e-12)
        assert m.get_cos_value("b", 5, 45) == pytest.approx(1.0)

    def test_column_that_does_not_fill_the_grid_is_reported_and_skipped(self, model, tmp_path, capsys):
        text = "方位角,高度角,good,bad\n0,0,1,1\n90,0,2,\n0,10,3,3\n90,10,4,\n"
        m = self.awake_on(model, write_table(tmp_path / "t.csv", text))
        assert lines_of(capsys) == ["创建 bad 列的插值函数时出错：表面 bad 的数值数组形状与方位角和高度角网格不匹配"]
        assert m.get_cos_value("good", 10, 90) == 4.0
        assert m.get_cos_value("bad", 10, 90) == -1.0

    def test_missing_angle_column(self, model, tmp_path, capsys):
        m = self.awake_on(model, write_table(tmp_path / "t.csv", "方位角,a\n0,1\n90,2\n"))
        assert lines_of(capsys) == ["错误：数据中缺少 高度角 列。"]
        assert m.get_cos_value("a", 0, 0) == -1.0
        m = self.awake_on(model, write_table(tmp_path / "u.csv", "高度角,a\n0,1\n"))
        assert lines_of(capsys)[-1] == "错误：数据中缺少 方位角 列。"

    def test_gbk_encoded_table(self, model, tmp_path):
        rows = ["方位角,高度角,南墙"] + [f"{a},{h},0.25" for h in (0, 30) for a in (0, 180)]
        path = write_table(tmp_path / "g.csv", "\n".join(rows) + "\n", encoding="gbk")
        m = self.awake_on(model, path)
        assert m.get_cos_value("南墙", 15, 90) == 0.25

    def test_empty_table_bounds_error_reaches_the_caller(self, model, tmp_path):
        m = self.awake_on(model, write_table(tmp_path / "e.csv", "方位角,高度角,a\nx,y,1\n"))
        # The empty grid still yields an interpolator; the table's bounds cannot be taken.
        with pytest.raises(ValueError):
            m.get_cos_value("a", 0, 0)


class TestStartupFailures:
    def test_failures_are_printed_not_raised(self, model, tmp_path, capsys):
        csv = str(tmp_path / "t.csv")
        m = make_module(model, csv)
        m.in_file_params = [model]
        m.awake({})
        assert lines_of(capsys) == ["读取文件时发生错误：list index out of range"]

        m = make_module(model, csv, "no_such_surface")
        m.awake({})
        out = lines_of(capsys)
        assert out[-1] == "读取文件时发生错误：'no_such_surface'"
        assert m.get_surf_stats("roof_free")["area"] == pytest.approx(36.0)  # statistics were kept

        bad = write_table(tmp_path / "bad.csv", '方位角,高度角,a\n"0,1\n')
        m = make_module(model, bad)
        m.awake({})
        assert lines_of(capsys)[-1].startswith("读取文件时发生错误：")

    def test_missing_model_with_no_surfaces_still_reads_table(self, tmp_path, capsys):
        table = write_table(tmp_path / "t.csv", "方位角,高度角,a\n0,0,1\n90,0,3\n")
        m = make_module(str(tmp_path / "none.stl"), table)
        m.awake({})
        assert m.get_cos_value("a", 0, 45) == 2.0
        assert m.get_surf_stats("a") is None

    def test_table_folder_that_cannot_exist(self, model, tmp_path, capsys):
        blocker = tmp_path / "file"
        blocker.write_text("x")
        m = make_module(model, str(blocker / "sub" / "t.csv"), "roof_free")
        m.awake({})
        assert lines_of(capsys) == ["读取文件时发生错误：[Errno 20] Not a directory: " + repr(str(blocker / "sub"))]

    def test_table_still_missing_after_generation(self, model, tmp_path, capsys):
        class Lazy(SurfaceShadowModule):
            def shadow_analyze_output(self, output_folder):
                pass

        csv = str(tmp_path / "never.csv")
        m = Lazy("lazy")
        m.in_file_params = [model, csv]
        m.awake({})
        assert lines_of(capsys) == ["错误：未找到文件 " + csv]


class TestHostSubclass:
    def test_redefinitions_are_reached_from_awake(self, model, tmp_path, capsys):
        calls = []

        class Custom(SurfaceShadowModule):
            def shadow_analyze_output(self, output_folder):
                calls.append(output_folder)
                with open(output_folder, "w") as f:
                    f.write("方位角,高度角,x\n0,0,0.5\n360,0,0.5\n0,75,0.5\n360,75,0.5\n")

        csv = str(tmp_path / "t.csv")
        m = Custom("c")
        m.in_file_params = [model, csv, "roof_free"]
        m.awake({})
        assert calls == [csv]
        assert m.get_cos_value("x", 10, 10) == pytest.approx(0.5, abs=1e-15)

    def test_statistics_record_is_shared(self, model, tmp_path):
        m = make_module(model, write_table(tmp_path / "t.csv", "方位角,高度角\n0,0\n"))
        m.awake({})
        stats = stl_statistics(model)
        rec = m.get_surf_stats("roof_free")
        assert rec is m.get_surf_stats("roof_free")
        assert rec["normal"] == pytest.approx(stats["roof_free"]["normal"])
        assert rec["area"] == pytest.approx(36.0)
        assert SurfaceShadowModule.get_surf_stats.__doc__ == (
            "根据表面名称获取表面统计信息\n\n:param surf_name: 表面名称\n:return: 表面统计信息，如果未找到则返回 None")

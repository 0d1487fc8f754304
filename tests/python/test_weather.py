"""WeatherFeed: the weather table reader module."""
import math
import os

import numpy as np
import pytest

from quillmere.components.weather_feed import WeatherFeed
from quillmere.core.sim_clock import SimClock
from quillmere.core.sim_unit import SimUnit

EPW = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw")
needs_epw = pytest.mark.skipif(not os.path.exists(EPW), reason="shared weather data not present")


# An independent reading of a table with the host's own str and float rules.
def reference_parse_line(line, delimiter=",", cols=(6, 21, 13, 14, 15)):
    parts = line.strip().split(delimiter)
    out = []
    for c in cols:
        if c >= len(parts):
            out.append(math.nan)
            continue
        try:
            out.append(float(parts[c].strip()))
        except ValueError:
            out.append(math.nan)
    return np.array(out, dtype=np.float32)


def reference_read(path, delimiter=",", cols=(6, 21, 13, 14, 15)):
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f.readlines():
            s = line.strip()
            if not s or s.startswith("#"):
                continue
            first = s.split(delimiter)[0].strip()
            if first.isdigit() and len(first) == 4:
                rows.append(reference_parse_line(s, delimiter, cols))
    return np.array(rows, dtype=np.float32).reshape(len(rows), len(cols))


def same(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)


def write(tmp_path, text, name="w.csv", mode="w"):
    p = tmp_path / name
    if mode == "wb":
        p.write_bytes(text)
    else:
        p.write_text(text, encoding="utf-8", newline="")
    return str(p)


def feed_for(path, **attrs):
    w = WeatherFeed("w")
    for k, v in attrs.items():
        setattr(w, k, v)
    w.filename = path
    w.read_file()
    return w


def clock_at(seconds):
    return SimClock(float(seconds), 3600.0)


# ---------------------------------------------------------------- structure

def test_record_attributes_and_typing():
    w = WeatherFeed("weather")
    assert isinstance(w, SimUnit)
    info = w._get_module_info()
    assert list(info) == ["name", "vars", "id", "description"]
    assert info["name"] == "WaetherFeed" and info["id"] == 3 and info["description"] == "EPW天气参数模块"
    expected = [(1, "param", "file_path", "string", "", "-"), (2, "output", "dry_bulb_temp", "number", 0.0, "c"),
                (3, "output", "wind_speed", "number", 0.0, "m/s"), (4, "output", "rad1", "number", 0.0, "w/m2"),
                (5, "output", "rad2", "number", 0.0, "w/m2"), (6, "output", "rad3", "number", 0.0, "w/m2")]
    assert [tuple(v.values()) for v in info["vars"]] == expected
    assert all(list(v) == ["id", "category", "name", "type", "default", "unit"] for v in info["vars"])
    assert type(info["vars"][1]["default"]) is float
    assert w.module_name == "WaetherFeed"
    assert list(w.outputs) == ["dry_bulb_temp", "wind_speed", "rad1", "rad2", "rad3"]
    assert w.params == {"file_path": {"value": ""}}
    assert list(w.previous_outputs) == list(w.outputs) and w.previous_outputs_2 == {}
    assert (w.filename, w.delimiter, w.target_cols) == ("", ",", [6, 21, 13, 14, 15])
    assert w.data.shape == (0, 5) and w.data.dtype == np.float32
    assert WeatherFeed.__doc__ == "通用型天气文件读取器，支持任意表格格式"
    assert WeatherFeed.read_file.__doc__ == "读取文件并提取目标列数据"
    assert w.parse_line.__doc__ == "解析单行数据，提取目标列并转换为浮点数"
    assert WeatherFeed.__module__ == "quillmere.components.weather_feed"
    assert not hasattr(w, "get_data_at_hour")  # internal to the package

    for attr, bad in [("filename", 1), ("delimiter", b","), ("target_cols", (1, 2))]:
        with pytest.raises(TypeError, match="Expected"):
            setattr(w, attr, bad)
    for attr in ["filename", "delimiter", "target_cols", "data"]:
        delattr(w, attr)
        assert getattr(w, attr) is None
    w.data = [1, 2]  # any object
    assert w.data == [1, 2]
    with pytest.raises(TypeError):
        WeatherFeed()


# ---------------------------------------------------------------- reading

@needs_epw
def test_awake_reads_the_real_epw_like_an_independent_parse(capsys):
    w = WeatherFeed("w")
    w.in_file_params = [EPW]
    w.awake(None)
    path = os.path.normpath(os.path.abspath(EPW))
    assert capsys.readouterr().out == f"天气文件路径: {path}\n"
    assert w.filename == path and w.params["file_path"]["value"] == path
    assert w.data.shape == (8760, 5) and w.data.dtype == np.float32
    assert same(w.data, reference_read(EPW))
    # Other columns and a whole-table read give the same as the reference too.
    cols = list(range(35)) + [40, -1, -35]
    w2 = feed_for(EPW, target_cols=cols)
    assert same(w2.data, reference_read(EPW, cols=cols))


def test_line_selection_rules(tmp_path):
    text = ("LOCATION,Somewhere\nDATA PERIODS,1,1\n\n"
            "  1999 , 1,2,3,4,5,6.5,7\n#1999,1,2,3,4,5,6,7\n99,1,2,3,4,5,6,7\n19990,1,2,3,4,5,6,7\n"
            "abcd,1,2,3,4,5,6,7\n2000,1,2,3,4,5,N/A,7\n2001,1,2,3,4,5,,7\n")
    w = feed_for(write(tmp_path, text), target_cols=[6, 7])
    assert same(w.data, np.array([[6.5, 7], [np.nan, 7], [np.nan, 7]], dtype=np.float32))


def test_short_rows_whitespace_tables_and_line_endings(tmp_path):
    row20 = ",".join(["2001"] + [str(i) for i in range(1, 20)])
    w = feed_for(write(tmp_path, row20 + "\n"))
    assert same(w.data, np.array([[6, np.nan, 13, 14, 15]], dtype=np.float32))
    # delimiter None: runs of whitespace.
    w = feed_for(write(tmp_path, "year a b\n2001  1.5\t2\n 2002 3   4 \n"), delimiter=None, target_cols=[1, 2])
    assert same(w.data, np.array([[1.5, 2], [3, 4]], dtype=np.float32))
    # CRLF, a lone CR and no final line break.
    w = feed_for(write(tmp_path, "2001;1\r\n2002;2\r2003;3", name="crlf.csv"), delimiter=";", target_cols=[1])
    assert same(w.data, np.array([[1], [2], [3]], dtype=np.float32))


def test_numbers_follow_the_hosts_float_rules(tmp_path):
    fields = ["20.1", " -3e2 ", "1_000", "inf", "-Infinity", "nan", "1__0", "0x1", "", ".5", "1e400", "-1e-400"]
    line = "2001," + ",".join(fields)
    cols = list(range(1, len(fields) + 1))
    w = feed_for(write(tmp_path, line + "\n"), target_cols=cols)
    expected = reference_parse_line(line, cols=cols)
    assert same(w.data, expected.reshape(1, -1))
    assert same(w.parse_line(line), expected)
    assert float(w.data[0, 0]) == 20.100000381469727


def test_non_ascii_lines_follow_the_hosts_rules(tmp_path):
    lines = [
        "\u3000 2001,1,2,3,4,5,6\u00a0,7",   # ideographic and no-break spaces strip
        "\u0661\u0669\u0669\u0669,1,2,3,4,5,\u0663\u0662,7",  # Arabic-Indic digits are digits to the host
        "2002,1,2,3,4,5,６.５,7",              # full-width digits parse as numbers
        "200２,1,2,3,4,5,6,7",                 # a mixed first field is still four digits
        "2003,1,2,3,4,5,Ü,7",
        "20034,1,2,3,4,5,ä,7",
    ]
    path = write(tmp_path, "\n".join(lines) + "\n")
    w = feed_for(path, target_cols=[6, 7, -1])
    assert same(w.data, reference_read(path, cols=(6, 7, -1)))
    assert w.data.shape == (5, 3)
    for line in lines:
        assert same(w.parse_line(line), reference_parse_line(line, cols=(6, 7, -1)))


def test_read_errors(tmp_path):
    with pytest.raises(ValueError, match="^文件中没有有效数据行$"):
        feed_for(write(tmp_path, "LOCATION,x,y\nDATA PERIODS,1,1,Data\n"))
    with pytest.raises(FileNotFoundError):
        feed_for(str(tmp_path / "missing.epw"))
    with pytest.raises(UnicodeDecodeError):
        feed_for(write(tmp_path, b"2001,1,2,3,4,5,\xff\xfe\n", mode="wb"))
    with pytest.raises(ValueError, match="empty separator"):
        feed_for(write(tmp_path, "2001,1\n"), delimiter="")
    with pytest.raises(IndexError):
        feed_for(write(tmp_path, "2001,1\n"), target_cols=[-5])
    with pytest.raises(TypeError):
        feed_for(write(tmp_path, "2001,1\n"), target_cols=[1.0])
    w = WeatherFeed("w")
    w.filename = None
    with pytest.raises(TypeError):
        w.read_file()


def test_rows_are_appended_and_stacking_errors_keep_earlier_rows(tmp_path):
    path = write(tmp_path, "2001,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15\n2002,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15\n")
    w = feed_for(path)
    w.read_file()
    assert w.data.shape == (4, 5)
    assert same(w.data[:2], w.data[2:])
    w.target_cols = [1, 2]
    with pytest.raises(ValueError):
        w.read_file()
    assert w.data.shape == (4, 5)
    # A float64 table that holds rows grows and becomes float32.
    w.data = np.ones((1, 2))
    w.read_file()
    assert w.data.dtype == np.float32 and w.data.shape == (3, 2)
    # An empty table of another shape is simply replaced.
    w.data = np.empty((0, 9), dtype=np.float32)
    w.read_file()
    assert w.data.shape == (2, 2)


def test_host_parse_line_is_called_for_every_line(tmp_path):
    path = write(tmp_path, "HEADER\n2001,1,2\n2002,3,4\n#2003,5,6\n2004,7,8\n")

    class Doubling(WeatherFeed):
        seen = []

        def parse_line(self, line):
            self.seen.append(line)
            return super().parse_line(line) * np.float32(2)

    w = Doubling("d")
    w.target_cols = [1, 2]
    w.filename = path
    w.read_file()
    assert Doubling.seen == ["2001,1,2", "2002,3,4", "2004,7,8"]
    assert same(w.data, np.array([[2, 4], [6, 8], [14, 16]], dtype=np.float32))

    class Wrong(WeatherFeed):
        def parse_line(self, line):
            return [1.0, 2.0]

    w = Wrong("x")
    w.filename = path
    with pytest.raises(TypeError, match="float32"):
        w.read_file()
    assert w.data.shape == (0, 5)

    class Failing(WeatherFeed):
        def parse_line(self, line):
            if line.startswith("2004"):
                raise RuntimeError("bad line")
            return np.zeros(5, dtype=np.float32)

    w = Failing("f")
    w.filename = path
    with pytest.raises(RuntimeError):
        w.read_file()
    assert w.data.shape == (2, 5)  # the rows before the failing one stay


def test_awake_guard_and_redefined_read_file(tmp_path, capsys):
    w = WeatherFeed("w")
    w.in_file_params = [str(tmp_path / "w.epw")]
    del w.params["file_path"]
    w.awake({})
    assert capsys.readouterr().out == "处理天气模块 的 输入文件参数错误\n"
    assert w.data.shape == (0, 5)
    with pytest.raises(IndexError, match="^索引 0 超出数据范围（数据长度为 0）$"):
        w.update(clock_at(0), None)
    w = WeatherFeed("w")
    with pytest.raises(IndexError):
        w.awake(None)  # no in-file parameters
    with pytest.raises(TypeError):
        w.awake([])

    class Custom(WeatherFeed):
        def read_file(self):
            self.data = np.full((8760, 5), 7.0, dtype=np.float32)

        def _get_module_info(self):
            info = super()._get_module_info()
            info["vars"][1]["default"] = 1.5
            return info

    c = Custom("c")
    assert c.outputs["dry_bulb_temp"]["value"] == 1.5
    c.in_file_params = [str(tmp_path / "nothing-read.epw")]
    c.awake(None)
    c.update(clock_at(0), None)
    assert c.outputs["rad3"]["value"] == 7.0

    class KeyFail(WeatherFeed):
        def read_file(self):
            raise KeyError("x")

    k = KeyFail("k")
    k.in_file_params = ["x.epw"]
    k.awake(None)
    assert capsys.readouterr().out.splitlines()[-1] == "处理天气模块 的 输入文件参数错误"


# ---------------------------------------------------------------- stepping

def table_feed(rows):
    w = WeatherFeed("w")
    w.data = (np.arange(rows * 5, dtype=np.float32).reshape(rows, 5) + np.float32(0.25))
    return w


def outputs(w):
    return [w.outputs[k]["value"] for k in ["dry_bulb_temp", "wind_speed", "rad1", "rad2", "rad3"]]


def test_update_wraps_and_interpolates_over_the_year():
    w = table_feed(8760)
    d = w.data
    for seconds, expected in [(0, d[0]), (8760 * 3600, d[0]), (-3600, d[8759]), (5400, (d[1] + d[2]) / 2),
                              (1.25 * 3600, d[1] + np.float32(0.25) * (d[2] - d[1])),
                              (8759.5 * 3600, d[8759] + np.float32(0.5) * (d[0] - d[8759])),
                              (-1e-20, d[0])]:
        w.update(clock_at(seconds), None)
        got = outputs(w)
        assert all(type(v) is float for v in got)
        assert got == [float(x) for x in np.asarray(expected, dtype=np.float32)], seconds
    # A leap-year table: rows from 8760 on are never served.
    w = table_feed(8784)
    w.update(clock_at(8760 * 3600), None)
    assert outputs(w) == [float(x) for x in w.data[0]]
    # Strided and Fortran-ordered float32 tables are read correctly.
    w = table_feed(8760)
    w.data = np.asfortranarray(w.data)
    w.update(clock_at(3 * 3600), None)
    assert outputs(w) == [float(x) for x in w.data[3]]


def test_update_errors_leave_the_outputs_alone():
    w = table_feed(24)
    w.update(clock_at(23 * 3600), None)
    before = outputs(w)
    with pytest.raises(IndexError, match="^索引 23 或 24 超出数据范围（数据长度为 24）$"):
        w.update(clock_at(23.5 * 3600), None)
    with pytest.raises(IndexError, match="^索引 24 超出数据范围（数据长度为 24）$"):
        w.update(clock_at(24 * 3600), None)
    with pytest.raises(ValueError, match="finite"):
        w.update(clock_at(float("nan")), None)
    with pytest.raises(ValueError, match="finite"):
        w.update(clock_at(float("inf")), None)
    with pytest.raises(TypeError, match="SimClock"):
        w.update(None, None)
    with pytest.raises(TypeError, match="time"):
        w.update(3600.0, None)
    with pytest.raises(TypeError, match="state"):
        w.update(clock_at(0), [])
    good = w.data
    w.data = good.astype(np.float64)
    with pytest.raises(ValueError, match="float32"):
        w.update(clock_at(0), None)
    w.data = good[:, :4]
    with pytest.raises(IndexError):
        w.update(clock_at(0), None)
    w.data = good[0]
    with pytest.raises(ValueError, match="dimensions"):
        w.update(clock_at(0), None)
    w.data = None
    with pytest.raises(TypeError):
        w.update(clock_at(0), None)
    assert outputs(w) == before


@needs_epw
def test_published_values_are_float32_widened(tmp_path):
    w = feed_for(write(tmp_path, "2001,1,2,3,4,5,20.1,7,8,9,10,11,12,13,14,15,16,17,18,19,20,4.5\n"))
    w.update(clock_at(0), None)
    assert w.outputs["dry_bulb_temp"]["value"] == 20.100000381469727
    assert w.outputs["wind_speed"]["value"] == 4.5
    real = feed_for(EPW)
    real.update(clock_at(12 * 3600), None)
    assert outputs(real) == [float(x) for x in reference_read(EPW)[12]]

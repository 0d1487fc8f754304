"""quillmere map: the tables per triangle, surface and building, PLY and GLB files, a CityJSON model with
values on its semantic surfaces (the input untouched), outputs that would overwrite an input refused, and
the HTML view loaded in headless Chromium (no console errors, a coloured render)."""
import importlib.util
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from quillmere.cli import main
from test_maps import _demo_project, write_project

CITY = {
    "type": "CityJSON", "version": "2.0",
    "transform": {"scale": [0.001, 0.001, 0.001], "translate": [600000.0, 5340000.0, 200.0]},
    "CityObjects": {
        "b1": {"type": "Building", "geometry": [{
            "type": "MultiSurface", "lod": "2",
            "boundaries": [[[0, 1, 2, 3]], [[4, 5, 1, 0]], [[6, 7, 3, 2]]],
            "semantics": {"surfaces": [{"type": "RoofSurface"}, {"type": "WallSurface"}, {"type": "WallSurface"}],
                          "values": [0, 1, 2]}}]},
        "b2": {"type": "Building", "geometry": [{
            "type": "MultiSurface", "lod": "2", "boundaries": [[[8, 9, 10, 11]]],
            "semantics": {"surfaces": [{"type": "RoofSurface", "note": "kept"}], "values": [0]}}]},
    },
    # b1: a 10 x 8 m flat roof at 6 m with a south and a north wall; b2: a lower roof north of it.
    "vertices": [[0, 0, 6000], [10000, 0, 6000], [10000, 8000, 6000], [0, 8000, 6000],
                 [0, 0, 0], [10000, 0, 0], [10000, 8000, 0], [0, 8000, 0],
                 [0, 10000, 2000], [10000, 10000, 2000], [10000, 16000, 2000], [0, 16000, 2000]],
}


def test_map_command_writes_tables_and_meshes(tmp_path, capsys):
    path = _demo_project(str(tmp_path))
    out = str(tmp_path / "out")
    assert main(["map", path, "-o", out, "--formats", "csv,ply,glb,png", "--threshold", "1000"]) == 0
    text = capsys.readouterr().out
    assert "日照图计算结束" in text and "不低于 1000 kWh/m²" in text
    tri = pd.read_csv(os.path.join(out, "triangles.csv"))
    surf = pd.read_csv(os.path.join(out, "surfaces.csv"))
    bld = pd.read_csv(os.path.join(out, "buildings.csv"))
    assert list(surf.surface) == ["roof_north", "roof_south_east", "roof_south_west"]
    assert list(bld.building) == ["house"]
    for t in (surf, bld):
        assert t.area.sum() == pytest.approx(tri.area.sum(), rel=1e-5)
    above = tri.area[tri.annual >= 1000].sum()
    assert bld.area_above[0] == pytest.approx(above, rel=1e-5)
    assert 0 < above < tri.area.sum()
    # A panel rating and ratio from the project's panels: efficiency 1, no chain: kWp = area above.
    assert bld.kwp[0] == pytest.approx(above, rel=1e-5)
    expected_kwh = (tri.area * tri.annual)[tri.annual >= 1000].sum()
    assert bld.energy_kwh[0] == pytest.approx(expected_kwh, rel=1e-4)
    row = surf.set_index("surface")
    assert row.annual_p10["roof_south_west"] <= row.annual_p50["roof_south_west"] <= row.annual_p90["roof_south_west"]
    assert row.annual_mean["roof_north"] < row.annual_mean["roof_south_west"]
    with open(os.path.join(out, "map.ply"), "rb") as f:
        head = f.read(400)
    assert head.startswith(b"ply\nformat binary_little_endian 1.0\n")
    assert b"element face %d\n" % len(tri) in head
    with open(os.path.join(out, "map.glb"), "rb") as f:
        glb = f.read()
    assert glb[:4] == b"glTF" and int.from_bytes(glb[8:12], "little") == len(glb)
    # The picture needs matplotlib (the plot extra), which a test install may lack.
    if importlib.util.find_spec("matplotlib") is not None:
        with open(os.path.join(out, "map.png"), "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert not [n for n in os.listdir(out) if n.startswith(".tmp-")]
    # Unknown formats and thresholds are refused before any work.
    assert main(["map", path, "-o", out, "--formats", "csv,svg"]) == 1
    assert main(["map", path, "-o", out, "--threshold", "-5"]) == 1
    assert "未知的格式 svg" in capsys.readouterr().out


def test_parquet_tables_with_pyarrow(tmp_path):
    pytest.importorskip("pyarrow")
    path = _demo_project(str(tmp_path))
    assert main(["map", path, "-o", str(tmp_path / "o"), "--formats", "parquet", "--quiet"]) == 0
    assert len(pd.read_parquet(str(tmp_path / "o" / "surfaces.parquet"))) == 3


def test_parquet_tables_keep_every_value_and_type(tmp_path):
    pytest.importorskip("pyarrow")
    from quillmere.map_outputs import chain_of, solar_potential
    from quillmere.maps import irradiation_map, map_inputs

    path = _demo_project(str(tmp_path))
    out = tmp_path / "o"
    assert main(["map", path, "-o", str(out), "--formats", "csv,parquet", "--quiet"]) == 0
    # The per-triangle table comes back bit for bit with its column types (the map is read from its cache).
    inputs = map_inputs(path)
    df = irradiation_map(None, inputs=inputs)
    tri = pd.read_parquet(str(out / "triangles.parquet"))
    pd.testing.assert_frame_equal(tri, df, check_exact=True)
    # The potential tables: exactly what solar_potential gives, and what the rounded CSV says.
    for name, by in (("surfaces", "surface"), ("buildings", "building")):
        table = pd.read_parquet(str(out / (name + ".parquet")))
        expected = solar_potential(df, by, inputs["threshold"], chain_of(inputs))
        pd.testing.assert_frame_equal(table, expected, check_exact=True)
        csv = pd.read_csv(str(out / (name + ".csv")))
        assert list(table.columns) == list(csv.columns)
        numeric = [c for c in csv.columns if c != by]
        np.testing.assert_allclose(table[numeric].to_numpy(float), csv[numeric].to_numpy(float), rtol=1e-5,
                                   equal_nan=True)
    assert not [n for n in os.listdir(out) if n.startswith(".tmp-")]


def test_parquet_without_pyarrow_is_skipped_with_one_line(tmp_path, capsys, monkeypatch):
    path = _demo_project(str(tmp_path))
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow raises ImportError
    out = tmp_path / "o"
    assert main(["map", path, "-o", str(out), "--formats", "parquet,csv"]) == 0
    text = capsys.readouterr().out
    assert text.count("未安装 pyarrow") == 1
    assert sorted(os.listdir(out)) == ["buildings.csv", "surfaces.csv", "triangles.csv"]


def test_cityjson_model_gets_values_on_its_semantic_surfaces(tmp_path):
    folder = str(tmp_path)
    text = json.dumps(CITY)
    path = write_project(folder, text, ["b1/RoofSurface/0", "b2/RoofSurface/0", "b1/WallSurface/1"],
                         model_name="tile.city.json",
                         map_table="[map]\nsky_directions = 256\nhorizon_directions = 64\n")
    out = os.path.join(folder, "out")
    assert main(["map", path, "-o", out, "--formats", "cityjson,csv", "--quiet"]) == 0
    with open(os.path.join(folder, "tile.city.json"), encoding="utf-8") as f:
        assert f.read() == text  # the input is never written
    with open(os.path.join(out, "tile.city.solar.json"), encoding="utf-8") as f:
        annotated = json.load(f)
    surf = pd.read_csv(os.path.join(out, "surfaces.csv")).set_index("surface")
    roof1 = annotated["CityObjects"]["b1"]["geometry"][0]["semantics"]["surfaces"][0]
    roof2 = annotated["CityObjects"]["b2"]["geometry"][0]["semantics"]["surfaces"][0]
    wall_north = annotated["CityObjects"]["b1"]["geometry"][0]["semantics"]["surfaces"][2]
    assert roof1["solar_annual_kwh_m2"] == pytest.approx(surf.annual_mean["b1/RoofSurface/0"], rel=1e-5)
    assert roof1["solar_area_m2"] == pytest.approx(80.0, rel=1e-6)
    assert roof2["note"] == "kept" and roof2["solar_area_m2"] == pytest.approx(60.0, rel=1e-6)
    assert "solar_annual_kwh_m2" not in wall_north  # not analysed
    assert annotated["vertices"] == CITY["vertices"] and annotated["transform"] == CITY["transform"]
    buildings = pd.read_csv(os.path.join(out, "buildings.csv"))
    assert list(buildings.building) == ["b1", "b2"]
    # The georeferenced model's local origin is its first vertex, in world coordinates.
    from quillmere.maps import irradiation_map
    df = irradiation_map(path, cache=False)
    assert df.attrs["origin"] == pytest.approx((600000.0, 5340000.0, 206.0))


def test_an_output_that_is_an_input_is_refused(tmp_path, capsys):
    path = _demo_project(str(tmp_path))
    out = tmp_path / "out"
    out.mkdir()
    # The project's weather file lives where the map would write its triangle table.
    shutil.move(str(tmp_path / "weather.epw"), str(out / "triangles.csv"))
    with open(path, encoding="utf-8") as f:
        text = f.read().replace('file = "weather.epw"', 'file = "out/triangles.csv"')
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    before = (out / "triangles.csv").read_bytes()
    assert main(["map", path, "-o", str(out), "--formats", "csv", "--quiet"]) == 1
    assert "是项目的输入文件" in capsys.readouterr().out
    assert (out / "triangles.csv").read_bytes() == before


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    if os.environ.get("CI"):
        pytest.fail("chromium is missing (scripts/setup_env.sh installs it)")
    pytest.skip("no chromium on this machine")


def test_html_view_renders_in_headless_chromium(tmp_path):
    pytest.importorskip("plotly")
    mpl_image = pytest.importorskip("matplotlib.image")
    browser = _chromium()
    path = _demo_project(str(tmp_path))
    out = tmp_path / "out"
    assert main(["map", path, "-o", str(out), "--formats", "html", "--quiet"]) == 0
    page = out / "map.html"
    html = page.read_text(encoding="utf-8")
    assert "roof_south_west" in html and "kWh" in html
    assert "<script" in html and "cdn." not in html.split("<body>")[0]  # the library inlined, nothing fetched
    shot = tmp_path / "shot.png"
    r = subprocess.run([browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--use-gl=swiftshader",
                        "--enable-unsafe-swiftshader", "--enable-logging=stderr", "--v=0", "--window-size=900,650",
                        "--virtual-time-budget=10000", "--screenshot=%s" % shot, page.as_uri()],
                       capture_output=True, text=True, timeout=180)
    console = [line for line in r.stderr.splitlines() if "CONSOLE" in line]
    errors = [line for line in console if "Uncaught" in line or "Error" in line or ":ERROR:CONSOLE" in line]
    assert not errors, "\n".join(console)
    assert shot.is_file(), r.stderr[-2000:]
    img = mpl_image.imread(str(shot))[..., :3]
    # The roofs are drawn in the palette's reds and yellows: many pixels far from white and grey.
    coloured = (np.abs(img[..., 0] - img[..., 2]) > 0.25).mean()
    assert coloured > 0.02, coloured

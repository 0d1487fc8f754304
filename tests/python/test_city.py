"""City maps over tiles on a real local Dask cluster (two worker processes):
small generated cities, a few days of sun."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

distributed = pytest.importorskip("distributed")

from quillmere import city, cli  # noqa: E402
from quillmere.core import demo  # noqa: E402
from quillmere.shadow_calc.city_tiles import SunScene, margin_triangles, read_tile, shift_triangles  # noqa: E402

TIMEOUT = 120  # seconds for any one map on the test cluster
DAYS = 15      # every 15th day of the year: quick, still every season


@pytest.fixture(scope="module")
def cluster():
    c = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                 silence_logs=40)
    client = distributed.Client(c, timeout="60s")
    try:
        yield client
    finally:
        client.close(timeout=30)
        c.close(timeout=30)


@pytest.fixture(scope="module")
def town(tmp_path_factory):
    """Four tiles of four buildings each (160 triangles a tile) and a clear-sky year."""
    folder = tmp_path_factory.mktemp("town")
    city.write_demo_city(str(folder / "tiles"), tiles=(2, 2), buildings=(2, 2), cells=2, spacing=22.0)
    (folder / "site.epw").write_text(demo.clear_sky_epw(48.21, 16.37, 1, 2025), encoding="utf-8")
    return folder


def tables(folder):
    return {name[:-4]: pd.read_csv(os.path.join(folder, name)) for name in sorted(os.listdir(folder))
            if name.endswith(".csv")}


def whole_scene(tiles, weather):
    """Every tile in one scene (the first tile's frame): per tile, its triangles' values."""
    read = [read_tile(p) for p in tiles]
    frame = read[0]["origin"]
    tris = [shift_triangles(t["triangles"], [a - b for a, b in zip(t["origin"], frame)]) for t in read]
    scene = SunScene(np.concatenate(tris), np.concatenate([t["normals"] for t in read]))
    steps = city.sun_steps(weather, DAYS)
    out, first = {}, 0
    for p, t in zip(tiles, tris):
        faces = np.arange(first, first + len(t), dtype=np.int64)
        hours, beam, _ = scene.direct_sun(faces, steps["directions"], steps["hours"], steps["dni"])
        out[os.path.splitext(os.path.basename(p))[0]] = (hours, beam)
        first += len(t)
    return out


def test_cluster_map_equals_one_process_and_the_whole_scene(cluster, town, tmp_path, capsys):
    tiles = city.tile_paths(town / "tiles")
    weather = str(town / "site.epw")
    single = city.city_map(tiles, tmp_path / "single", weather, margin=200, unit_triangles=50, day_step=DAYS,
                           workers=0)
    spread = city.city_map(town / "tiles", tmp_path / "spread", weather, margin=200, unit_triangles=50,
                           day_step=DAYS, client=cluster, timeout=TIMEOUT, progress=True)
    assert single["failed"] == [] and spread["failed"] == []
    assert single["units"] == spread["units"] == 4 * 2 and single["rays"] == spread["rays"] > 0
    err = capsys.readouterr().err
    assert "单元 8/8，三角形 640/640" in err and "条光线/秒" in err
    assert single["dashboard"] is None
    # The dashboard's address is printed where the scheduler serves one (it needs bokeh).
    assert (("Dask 仪表板: %s" % spread["dashboard"]) in err) if spread["dashboard"] else ("仪表板" not in err)
    for tile, path in single["tiles"].items():
        with open(path, "rb") as a, open(spread["tiles"][tile], "rb") as b:
            assert a.read() == b.read()  # value for value, row for row
    # Margins: with a margin wider than the town every tile's values are those of the scene of all tiles.
    ref = whole_scene(tiles, weather)
    got = tables(tmp_path / "single")
    assert list(got) == ["tile_0_0", "tile_0_1", "tile_1_0", "tile_1_1"]
    for tile, df in got.items():
        assert df["triangle"].tolist() == list(range(160))
        assert df["sunlit_hours"].tolist() == ref[tile][0].tolist()
        assert df["beam_kwh_m2"].tolist() == ref[tile][1].tolist()
        assert df["object"].str.startswith("b").all() and df["surface"].str.contains("/RoofSurface/|/WallSurface/").all()
    # Without a margin the edge buildings lose their neighbours' shade: some values rise, none fall.
    alone = city.city_map(tiles, tmp_path / "alone", weather, margin=0, unit_triangles=50, day_step=DAYS, workers=0)
    lonely = tables(tmp_path / "alone")
    raised = 0
    for tile, df in lonely.items():
        assert (df["sunlit_hours"] >= got[tile]["sunlit_hours"]).all()
        raised += int((df["sunlit_hours"] > got[tile]["sunlit_hours"]).sum())
    assert raised > 0 and alone["skipped"] == 0


def test_a_restart_resumes_from_the_units_written(town, tmp_path):
    tiles = city.tile_paths(town / "tiles")
    weather = str(town / "site.epw")
    out = tmp_path / "maps"
    first = city.city_map(tiles, out, weather, margin=200, unit_triangles=50, day_step=DAYS, workers=0)
    before = {t: open(p, "rb").read() for t, p in first["tiles"].items()}
    units = sorted((out / ".units" / "tile_0_1").iterdir())
    units[1].unlink()                              # interrupted before this unit was written
    (out / "tile_0_1.csv").unlink()
    (out / ".units" / "tile_0_1" / "x.csv.123.tmp").write_text("half", encoding="utf-8")  # a dead writer's leftover
    again = city.city_map(tiles, out, weather, margin=200, unit_triangles=50, day_step=DAYS, workers=0)
    assert again["skipped"] == again["units"] - 1 and again["rays"] > 0
    assert {t: open(p, "rb").read() for t, p in again["tiles"].items()} == before
    # Another margin or weather sampling is another map: nothing is reused.
    other = city.city_map(tiles, out, weather, margin=150, unit_triangles=50, day_step=DAYS, workers=0)
    assert other["skipped"] == 0
    changed = city.city_map(tiles, out, weather, margin=150, unit_triangles=50, day_step=DAYS + 1, workers=0)
    assert changed["skipped"] == 0


def test_a_killed_worker_loses_and_duplicates_nothing(cluster, town, tmp_path):
    tiles = city.tile_paths(town / "tiles")
    weather = str(town / "site.epw")
    single = city.city_map(tiles, tmp_path / "single", weather, margin=200, unit_triangles=20, day_step=2,
                           workers=0)
    out = tmp_path / "spread"
    done = {}
    runner = threading.Thread(target=lambda: done.update(city.city_map(
        tiles, out, weather, margin=200, unit_triangles=20, day_step=2, client=cluster, timeout=TIMEOUT)))
    runner.start()
    try:
        end = time.monotonic() + 60
        while time.monotonic() < end and not any((out / ".units").rglob("*.csv")):
            time.sleep(0.02)
        pids = cluster.run(os.getpid)
        busy = []
        while time.monotonic() < end and not busy:
            busy = [w for w, keys in cluster.processing().items() if any("quillmere-unit" in str(k) for k in keys)]
        assert busy, "no unit was running"
        os.kill(pids[busy[0]], signal.SIGKILL)  # mid-unit, as a crash or an out-of-memory kill would
    finally:
        runner.join(TIMEOUT)
    assert done["failed"] == [] and done["skipped"] == 0
    for tile, path in single["tiles"].items():
        with open(path, "rb") as a, open(done["tiles"][tile], "rb") as b:
            assert a.read() == b.read()
    cluster.wait_for_workers(2, timeout=60)


def test_a_failing_unit_names_tile_and_object_and_the_others_complete(cluster, town, tmp_path, capsys):
    folder = tmp_path / "tiles"
    folder.mkdir()
    for p in city.tile_paths(town / "tiles"):
        (folder / os.path.basename(p)).write_bytes(open(p, "rb").read())
    bad = folder / "tile_1_0.json"
    doc = json.loads(bad.read_text(encoding="utf-8"))
    name = sorted(doc["CityObjects"])[-1]
    geometry = doc["CityObjects"][name]["geometry"][0]
    far = len(doc["vertices"])
    doc["vertices"].append([3 * 10**10, 0, 0])  # 3e7 m from the tile's origin: metres taken for millimetres
    geometry["boundaries"][0][0][2] = far
    bad.write_text(json.dumps(doc), encoding="utf-8")
    out = tmp_path / "maps"
    code = cli.main(["city", str(folder), "--weather", str(town / "site.epw"), "-o", str(out), "--margin", "200",
                     "--unit-triangles", "50", "--day-step", str(DAYS), "--scheduler", cluster.scheduler.address])
    text = capsys.readouterr().out
    assert code == 1
    failed = [x for x in text.splitlines() if x.startswith("错误：单元")]
    assert len(failed) == 1 and "瓦片 tile_1_0" in failed[0] and "对象 %s" % name in failed[0]
    assert "错误：1 个单元失败（共 8 个），未写出的瓦片: tile_1_0" in text
    assert sorted(os.listdir(out)) == [".units", "tile_0_0.csv", "tile_0_1.csv", "tile_1_1.csv"]
    # A tile that cannot be read stops the map before any unit runs, naming the file.
    (folder / "tile_0_1.json").write_text('{"type": "CityJSON", "version": "2.0", "CityObjects": {', encoding="utf-8")
    with pytest.raises(city.CityError, match="tile_0_1.json"):
        city.city_map(folder, tmp_path / "none", town / "site.epw", day_step=DAYS, workers=0)
    assert not (tmp_path / "none" / ".units").exists()


def test_tiles_without_triangles_get_a_header_only_table_and_one_warning(cluster, town, tmp_path, capsys):
    folder = tmp_path / "tiles"
    folder.mkdir()
    for p in city.tile_paths(town / "tiles"):
        (folder / os.path.basename(p)).write_bytes(open(p, "rb").read())
    # First in name order, with an origin far from the town's: not the frame of the others.
    (folder / "a_empty.json").write_text(json.dumps({
        "type": "CityJSON", "version": "2.0", "transform": {"scale": [0.001] * 3, "translate": [0.0, 0.0, 0.0]},
        "CityObjects": {}, "vertices": []}), encoding="utf-8")
    (folder / "z_bare.json").write_text(json.dumps({  # a building without geometry
        "type": "CityJSON", "version": "2.0", "CityObjects": {"b": {"type": "Building", "geometry": []}},
        "vertices": []}), encoding="utf-8")
    weather = str(town / "site.epw")
    ref = city.city_map(town / "tiles", tmp_path / "ref", weather, margin=200, unit_triangles=50, day_step=DAYS,
                        workers=0)
    capsys.readouterr()
    out = tmp_path / "maps"
    code = cli.main(["city", str(folder), "--weather", weather, "-o", str(out), "--margin", "200",
                     "--unit-triangles", "50", "--day-step", str(DAYS), "--scheduler", cluster.scheduler.address])
    text = capsys.readouterr().out
    assert code == 0
    warned = [x for x in text.splitlines() if "没有三角形" in x]
    assert warned == ["警告：2 个瓦片没有三角形，其表格只有表头: a_empty, z_bare"]
    assert sorted(os.listdir(out)) == [".units", "a_empty.csv", "tile_0_0.csv", "tile_0_1.csv", "tile_1_0.csv",
                                       "tile_1_1.csv", "z_bare.csv"]
    for name in ("a_empty", "z_bare"):
        assert (out / (name + ".csv")).read_text(encoding="utf-8") == ",".join(city.COLUMNS) + "\n"
        assert list(pd.read_csv(out / (name + ".csv")).columns) == list(city.COLUMNS)
    for tile, path in ref["tiles"].items():  # the others as without the empty tiles, in the same frame
        assert (out / (tile + ".csv")).read_bytes() == open(path, "rb").read()
    # In this process too, and the full map's columns for a project's map.
    facts = city.city_map(folder, tmp_path / "here", weather, margin=200, unit_triangles=50, day_step=DAYS,
                          workers=0)
    assert facts["empty"] == ["a_empty", "z_bare"] and facts["failed"] == []
    assert list(facts["tiles"]) == ["a_empty", "tile_0_0", "tile_0_1", "tile_1_0", "tile_1_1", "z_bare"]
    # Only empty tiles: every table is a header, nothing is cast.
    only = tmp_path / "only"
    only.mkdir()
    (only / "a_empty.json").write_bytes((folder / "a_empty.json").read_bytes())
    facts = city.city_map(only, tmp_path / "none", weather, day_step=DAYS, workers=0)
    assert facts["units"] == 0 and facts["rays"] == 0 and facts["empty"] == ["a_empty"]
    assert (tmp_path / "none" / "a_empty.csv").read_text(encoding="utf-8") == ",".join(city.COLUMNS) + "\n"


def test_settings_and_paths_are_checked_before_any_work(town, tmp_path):
    tiles = town / "tiles"
    weather = town / "site.epw"
    for kw in ({"margin": -1}, {"margin": float("inf")}, {"unit_triangles": 0}, {"workers": -1},
               {"day_step": 0}, {"threads": -2}):
        with pytest.raises(city.CityError):
            city.city_map(tiles, tmp_path / "m", weather, **kw)
    with pytest.raises(city.CityError, match="输出文件夹"):
        city.city_map(tiles, tiles, weather, workers=0)
    with pytest.raises(city.CityError, match="没有瓦片文件"):
        city.city_map(tmp_path, tmp_path / "m", weather, workers=0)
    with pytest.raises(city.CityError, match="找不到天气文件"):
        city.city_map(tiles, tmp_path / "m", tmp_path / "none.epw", workers=0)
    with pytest.raises(ValueError, match="边距"):
        margin_triangles(np.zeros((1, 9)), None, float("nan"))
    assert not (tmp_path / "m").exists()


def test_ctrl_c_stops_the_workers_and_leaves_no_process(town, tmp_path):
    p = subprocess.Popen([sys.executable, "-m", "quillmere", "city", str(town / "tiles"), "--weather",
                          str(town / "site.epw"), "-o", str(tmp_path / "maps"), "--unit-triangles", "1",
                          "--workers", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    try:
        end = time.monotonic() + 60
        while time.monotonic() < end and not (tmp_path / "maps" / ".units").exists():
            time.sleep(0.05)
        os.killpg(p.pid, signal.SIGINT)  # the whole group, as from a terminal
        out, err = p.communicate(timeout=60)
        import importlib.util

        if importlib.util.find_spec("bokeh"):
            assert "Dask 仪表板: http://127.0.0.1:" in err  # the local cluster's dashboard, on a free port
    finally:
        if p.poll() is None:
            p.kill()
            p.communicate()
    assert p.returncode == 130, out + err
    assert "已中断" in out and "Traceback" not in out + err
    end = time.monotonic() + 20
    while True:
        try:
            os.killpg(p.pid, 0)
        except ProcessLookupError:
            break  # no process of the run is left
        assert time.monotonic() < end, "worker processes outlived the run"
        time.sleep(0.2)


def map_project(folder, model, names):
    """A project whose weather, site, period and [map] settings give the light of the full solar map."""
    (folder / "weather.epw").write_text(demo.cloudy_epw(48.21, 16.37, 1, 2025), encoding="utf-8")
    text = ('period = [2025, 1, 1, 2025, 1, 14]\ntime_step = 3600\n\n[site]\nlatitude = 48.21\nlongitude = 16.37\n'
            'time_zone = 1\n\n[map]\nsky_directions = 128\nhorizon_directions = 64\n\n'
            '[[modules]]\nname = "weather"\ntype = "WaetherFeed"\nfile = "weather.epw"\n\n'
            '[[modules]]\nname = "house"\ntype = "SurfaceShadow"\nmodel = %s\ntable = "shading/t.csv"\n'
            "surfaces = [%s]\n" % (json.dumps(str(model)), ", ".join(json.dumps(n) for n in names)))
    path = folder / "project.toml"
    path.write_text(text, encoding="utf-8")
    return path


def test_full_solar_map_of_a_city_equals_the_models_map(cluster, tmp_path):
    from quillmere.maps import irradiation_map

    tiles = city.write_demo_city(str(tmp_path / "tiles"), tiles=(1, 2), buildings=(2, 2), cells=1, spacing=22.0)
    alone = tmp_path / "alone"
    alone.mkdir()
    (alone / "tile_0_0.json").write_bytes(open(tiles[0], "rb").read())
    project = map_project(tmp_path, alone / "tile_0_0.json", read_tile(tiles[0])["names"])
    # One tile: its city map is the model's map of the project, value for value.
    one = city.city_map(alone, tmp_path / "one", project=project, unit_triangles=15, workers=0)
    ref = irradiation_map(str(project), cache=False)
    got = pd.read_csv(one["tiles"]["tile_0_0"])
    assert got["triangle"].tolist() == ref["triangle"].tolist() == list(range(40))
    assert got["annual_kwh_m2"].tolist() == ref["annual"].tolist()
    for m in range(1, 13):
        assert got["m%02d_kwh_m2" % m].tolist() == ref["m%02d" % m].tolist()
    assert got["m01_kwh_m2"].gt(0).all() and got["m06_kwh_m2"].eq(0).all()
    # Two tiles on the cluster equal one process; the neighbour's shade lowers some of the first tile's values.
    single = city.city_map(tiles, tmp_path / "single", project=project, unit_triangles=15, workers=0)
    spread = city.city_map(tiles, tmp_path / "spread", project=project, unit_triangles=15, client=cluster,
                           timeout=TIMEOUT)
    assert single["failed"] == spread["failed"] == [] and single["units"] == spread["units"] == 4
    for tile, path in single["tiles"].items():
        with open(path, "rb") as a, open(spread["tiles"][tile], "rb") as b:
            assert a.read() == b.read()
    among = pd.read_csv(single["tiles"]["tile_0_0"])
    assert (among["annual_kwh_m2"] <= got["annual_kwh_m2"] + 1e-9).all()
    assert (among["annual_kwh_m2"] < got["annual_kwh_m2"] - 1e-6).any()
    with pytest.raises(city.CityError, match="之一"):
        city.city_map(tiles, tmp_path / "x", tmp_path / "weather.epw", project=project)

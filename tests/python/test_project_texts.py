"""Odd text in a project: a folder whose name is not UTF-8, NUL characters
and lone surrogates in keys and values, and huge values. Each is refused
before any work with one line that names the key and shows the culprit
escaped and shortened, never a name silently cut at the NUL."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from quillmere import cli
from quillmere.core import demo
from quillmere.core.manager import Manager, ProjectError

PROJECT = {
    "period": [2025, 6, 1, 2025, 6, 1],
    "site": {"latitude": 48.0, "longitude": 16.0, "time_zone": 1},
    "links": ["weather.rad2 -> pv.normal_rad", "weather.rad3 -> pv.diffuse_rad"],
    "modules": [
        {"name": "weather", "type": "WaetherFeed", "file": "weather.epw"},
        {"name": "house", "type": "SurfaceShadow", "model": "house.stl", "table": "t.csv",
         "surfaces": ["roof_south_east"]},
        {"name": "pv", "type": "SunPanel", "shading": "house", "surface": "roof_south_east",
         "area": 10.0, "efficiency": 0.2},
    ],
}


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "weather.epw").write_text(demo.clear_sky_epw(48.0, 16.0, 1), encoding="utf-8")
    (tmp_path / "house.stl").write_text(demo.house_stl(1), encoding="utf-8")
    return tmp_path


def project(folder, edit=None):
    data = json.loads(json.dumps(PROJECT))
    if edit:
        edit(data)
    data["folder"] = str(folder)
    return data


def refused(data):
    with pytest.raises(ProjectError) as info:
        Manager(data).run_simulation()
    return str(info.value)


def test_the_project_itself_runs(folder):
    out = Manager(project(folder)).run_simulation()
    assert out["pv.power"].max() > 0


def set_module(i, key, value):
    return lambda d: d["modules"][i].__setitem__(key, value)


@pytest.mark.parametrize("edit, key, culprit", [
    (set_module(2, "surface", "roof_south_east\x00zz"), "modules[2](pv).surface", r"'roof_south_east\x00zz'"),
    (set_module(2, "name", "p\x00v"), "modules[2].name", r"'p\x00v'"),
    (set_module(2, "type", "Sun\x00Panel"), "modules[2](pv).type", r"'Sun\x00Panel'"),
    (set_module(0, "file", "weather.epw\x00.bak"), "modules[0](weather).file", r"'weather.epw\x00.bak'"),
    (set_module(2, "ar\x00ea", 3.0), r"modules[2](pv).'ar\x00ea'", r"'ar\x00ea'"),
    (lambda d: d["links"].__setitem__(0, "weather.rad2 -> pv.normal\x00_rad"), "links[0]",
     r"'weather.rad2 -> pv.normal\x00_rad'"),
])
def test_nul_in_a_key_or_value_is_named_never_cut(folder, edit, key, culprit):
    msg = refused(project(folder, edit))
    assert f"键 {key}:" in msg and culprit in msg and "空字符" in msg, msg


@pytest.mark.parametrize("edit, key, culprit", [
    (set_module(2, "surface", "roof\udc80"), "modules[2](pv).surface", r"'roof\udc80'"),
    (set_module(2, "name", "pv\udcff"), "modules[2].name", r"'pv\udcff'"),
    (set_module(1, "table", "t\ud800.csv"), "modules[1](house).table", r"'t\ud800.csv'"),
    (set_module(2, "ef\udc80", 0.2), r"modules[2](pv).'ef\udc80'", r"'ef\udc80'"),
    (set_module(2, "type", "mods\udc80:Panel"), "modules[2](pv).type", r"'mods\udc80:Panel'"),
])
def test_lone_surrogates_are_named_with_their_key(folder, edit, key, culprit):
    msg = refused(project(folder, edit))
    assert f"键 {key}:" in msg and culprit in msg and "代理字符" in msg, msg


def test_the_same_from_a_json_file(folder):
    text = json.dumps(project(folder)).replace('"roof_south_east"]', '"roof\\udc80"]')
    (folder / "p.json").write_text(text, encoding="utf-8")
    msg = refused(str(folder / "p.json"))
    assert r"modules[1](house).surfaces[0]:" in msg and r"'roof\udc80'" in msg, msg
    toml = '\n'.join(['[[modules]]', 'name = "w\\u0000x"', 'type = "WaetherFeed"', 'file = "weather.epw"'])
    (folder / "p.toml").write_text(toml, encoding="utf-8")
    msg = refused(str(folder / "p.toml"))
    assert "modules[0].name:" in msg and r"'w\x00x'" in msg, msg


@pytest.mark.parametrize("edit, key", [
    (set_module(2, "surface", "x" * 1_000_000), "modules[2](pv).surface"),
    (set_module(2, "name", "x" * 1_000_000), "modules[2].name"),
    (set_module(2, "area", "x" * 1_000_000), "modules[2](pv).area"),
    (set_module(0, "file", "x" * 1_000_000), "modules[0](weather).file"),
    (lambda d: d["links"].__setitem__(0, "x" * 1_000_000), "links[0]"),
    (set_module(2, "k" * 1_000_000, 1.0), "modules[2](pv).'" + "k" * 60 + "'…（共 1000000 个字符）"),
])
def test_a_huge_value_is_shortened_visibly_in_the_error(folder, edit, key):
    msg = refused(project(folder, edit))
    assert len(msg) < 500, len(msg)
    assert f"键 {key}:" in msg and "…（共 1000000 个字符）" in msg and "最多 4096" in msg, msg[:500]


def test_a_folder_whose_name_is_not_utf8(folder, tmp_path_factory, capsys):
    bad = os.path.join(os.fsencode(tmp_path_factory.mktemp("odd")), b"proj\xff")
    shutil.copytree(os.fsencode(folder), bad)
    (folder / "p.json").write_text(json.dumps(PROJECT), encoding="utf-8")
    shutil.copy(os.fsencode(folder / "p.json"), os.path.join(bad, b"p.json"))
    # The command line: one line naming the path by its bytes, exit status 1.
    done = subprocess.run([sys.executable, "-m", "quillmere", "run", os.path.join(bad, b"p.json")],
                          capture_output=True, timeout=120)
    lines = done.stdout.decode("utf-8").splitlines()
    assert done.returncode == 1 and done.stderr == b"", done.stderr.decode("utf-8", "replace")
    assert len(lines) == 1 and lines[0].startswith("错误：") and "proj\\xff/p.json" in lines[0], lines
    assert "UTF-8" in lines[0]
    # Manager with the host's str of that path, and a project dict whose folder it is.
    with pytest.raises(ProjectError, match=r"proj\\xff"):
        Manager(os.fsdecode(os.path.join(bad, b"p.json"))).run_simulation()
    data = dict(PROJECT, folder=os.fsdecode(bad))
    msg = refused(data)
    assert "键 folder:" in msg and "proj\\xff" in msg, msg
    assert cli.main(["run", os.fsdecode(os.path.join(bad, b"p.json"))]) == 1
    assert "proj\\xff" in capsys.readouterr().out

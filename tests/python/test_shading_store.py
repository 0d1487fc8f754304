"""The files the shading module keeps beside its table (per-step exact factors,
the surfaces' views): an edited or damaged file is never used, a file and a
fingerprint that were not replaced together are never taken as a pair, and a
cache that is a symbolic link is replaced itself, never the file it names."""
import os

import numpy as np
import pytest

from quillmere.components.shade_exact import ExactShadowModule
from quillmere.core.sim_clock import SimClock

from shading_models import box_faces, courtyard_model

SITE = {"latitude": 48.21, "longitude": 16.37, "time_zone": 1, "sun_time": "middle"}
SURFACES = ["roof_shaded", "roof_free"]


def state():
    c = SimClock(0.0, 3600.0)
    c.set_period({"params": [2025, 3, 1, 2025, 3, 4]})
    return {"modules": {}, "site": dict(SITE), "clock": c}


def shading(stl, table):
    unit = ExactShadowModule("house")
    unit.in_file_params = [str(stl), str(table), "exact", None, 0.0, *SURFACES]
    return unit


@pytest.fixture
def kept(tmp_path, capsys):
    """A run's kept factors and views: (model, table, exact file, views file, factors, views)."""
    stl = tmp_path / "c.stl"
    courtyard_model(stl)
    table = tmp_path / "s" / "t.csv"
    unit = shading(stl, table)
    unit.awake(state())
    factors = {k: v.copy() for k, v in unit.sun_factors()["factors"].items()}
    views = unit.sky_views()
    capsys.readouterr()
    return stl, table, tmp_path / "s" / "t.exact.csv", tmp_path / "s" / "t.views.csv", factors, views


def rerun(stl, table):
    unit = shading(stl, table)
    unit.awake(state())
    return unit, unit.sun_factors()["factors"], unit.sky_views()


def edit_factor_rows(path, edit):
    lines = path.read_text(encoding="utf-8").splitlines()
    rows = [line.split(",") for line in lines[1:]]
    for r in rows:
        edit(r)
    path.write_text("\n".join([lines[0]] + [",".join(r) for r in rows]) + "\n", encoding="utf-8")


@pytest.mark.parametrize("damage", ["five", "nan", "minus_one", "swapped", "swapped_header", "truncated"])
def test_edited_or_damaged_exact_factors_are_recomputed_not_used(kept, capsys, damage):
    stl, table, exact, _, factors, _ = kept
    if damage == "five":
        edit_factor_rows(exact, lambda r: r.__setitem__(2, "5"))
    elif damage == "nan":
        edit_factor_rows(exact, lambda r: r.__setitem__(3, "nan"))
    elif damage == "minus_one":
        edit_factor_rows(exact, lambda r: r.__setitem__(slice(2, None), ["-1"] * (len(r) - 2)))
    elif damage == "swapped":
        edit_factor_rows(exact, lambda r: r.__setitem__(slice(2, 4), [r[3], r[2]]))
    elif damage == "swapped_header":
        text = exact.read_text(encoding="utf-8").splitlines()
        head = text[0].split(",")
        head[2], head[3] = head[3], head[2]
        exact.write_text("\n".join([",".join(head)] + text[1:]) + "\n", encoding="utf-8")
    else:
        exact.write_text(exact.read_text(encoding="utf-8")[:-40], encoding="utf-8")
    _, again, _ = rerun(stl, table)
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("精确阴影系数 %s " % exact) and out[0].endswith("，重新计算"), out
    assert out[1].startswith("开始精确阴影计算：")
    for s in SURFACES:
        np.testing.assert_array_equal(again[s], factors[s])
    assert all(0.0 <= v <= 1.0 for s in SURFACES for v in again[s])


@pytest.mark.parametrize("damage", ["above_one", "nan", "swapped"])
def test_edited_views_are_recomputed_not_used(kept, capsys, damage):
    stl, table, _, views_file, _, views = kept
    lines = views_file.read_text(encoding="utf-8").splitlines()
    if damage == "above_one":
        lines[1] = lines[1].rsplit(",", 2)[0] + ",1.5,0.1"
    elif damage == "nan":
        lines[1] = lines[1].rsplit(",", 2)[0] + ",nan,0.1"
    else:
        lines[1], lines[2] = lines[2], lines[1]
    views_file.write_text("\n".join(lines) + "\n", encoding="utf-8")
    _, _, again = rerun(stl, table)
    assert "天空视角系数 %s " % views_file in capsys.readouterr().out
    assert again == views


def test_a_product_and_a_fingerprint_not_replaced_together_are_not_a_pair(kept, tmp_path, capsys):
    # Model A's files; then model B (a block south of the free roof) writes its own. A write
    # that failed between product and fingerprint would leave B's product beside
    # A's fingerprint: back on model A, B's factors and views must not be taken.
    stl, table, exact, views_file, factors, views = kept
    fp_a = {p: (p.parent / (p.name + ".fingerprint")).read_bytes() for p in (exact, views_file)}
    model_a = stl.read_bytes()
    block = []
    box_faces(block, 30.0, 0.0, 0.0, 36.0, 4.0, 12.0)
    stl.write_bytes(model_a + ("solid block\n" + "\n".join(block) + "\nendsolid block\n").encode())
    _, factors_b, views_b = rerun(stl, table)
    assert any(not np.array_equal(factors_b[s], factors[s]) for s in SURFACES) or views_b != views
    for p, text in fp_a.items():
        (p.parent / (p.name + ".fingerprint")).write_bytes(text)
    stl.write_bytes(model_a)
    capsys.readouterr()
    _, again, again_views = rerun(stl, table)
    out = capsys.readouterr().out
    assert "精确阴影系数 %s 在生成后被改动过" % exact in out
    assert "天空视角系数 %s 在生成后被改动过" % views_file in out
    for s in SURFACES:
        np.testing.assert_array_equal(again[s], factors[s])
    assert again_views == views


@pytest.mark.parametrize("which", ["exact", "exact_fingerprint", "views", "views_fingerprint"])
def test_a_cache_that_is_a_link_to_an_input_is_replaced_itself(kept, tmp_path, capsys, which):
    stl, table, exact, views_file, factors, _ = kept
    model_bytes = stl.read_bytes()
    target = {"exact": exact, "exact_fingerprint": exact.parent / (exact.name + ".fingerprint"),
              "views": views_file, "views_fingerprint": views_file.parent / (views_file.name + ".fingerprint")}[which]
    os.remove(target)
    os.symlink(stl, target)
    _, again, _ = rerun(stl, table)
    assert stl.read_bytes() == model_bytes  # the model is untouched
    assert not os.path.islink(target) and target.is_file()
    for s in SURFACES:
        np.testing.assert_array_equal(again[s], factors[s])
    # and the replaced cache is used by the next run as it is
    capsys.readouterr()
    rerun(stl, table)
    assert "重新计算" not in capsys.readouterr().out

"""Prepared shading shared between runs of one process (a sweep's worker):
kept only from an awake that said nothing, taken only by a module of the
same inputs, never when a file it loads, the run or a shading value changed."""
import contextlib
import io

import pandas as pd
import pytest

from quillmere.components import shade_exact
from quillmere.core.manager import Manager, load_project

from demo_inputs import roof_panel_project, write_inputs

PROJECT = roof_panel_project()


@pytest.fixture
def project(tmp_path):
    write_inputs(tmp_path, 48.21, 16.37, 1, year=2025)
    (tmp_path / "project.toml").write_text(PROJECT, encoding="utf-8")
    yield tmp_path
    shade_exact.share_prepared(False)


def run(folder, **values):
    """One run of the project with some values changed: (results, summary, printed lines, reused awakes)."""
    p = load_project(str(folder / "project.toml"))
    for key, value in values.items():
        name, _, field = key.partition(".")
        if name in ("site", "period"):
            (p[name] if field else p).__setitem__(field or name, value)
        else:
            next(m for m in p["modules"] if m["name"] == name)[field] = value
    before = shade_exact.prepared_counts()["reused"]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        m = Manager(p)
        m.quiet = False
        m.progress = False
        m.output_path = None
        m.run_simulation()
    return m.results, m.summary, out.getvalue(), shade_exact.prepared_counts()["reused"] - before


def test_sharing_is_off_unless_asked(project):
    run(project)
    held = shade_exact.prepared_counts()
    for _ in range(2):
        assert run(project)[3] == 0
    assert shade_exact.prepared_counts() == held


def test_a_kept_state_gives_the_fresh_runs_results_and_lines(project):
    fresh = [run(project), run(project)]  # the first computes and writes the shading files
    assert "开始精确阴影计算" in fresh[0][2] and "开始精确阴影计算" not in fresh[1][2]
    shade_exact.share_prepared(True)
    first = run(project)              # computes nothing, says nothing: kept
    assert first[3] == 0 and shade_exact.prepared_counts()["held"] == 1
    same = run(project)
    assert same[3] == 1 and same[2] == first[2] == fresh[1][2]  # taken, and the same lines
    assert run(project, **{"pv.efficiency": 0.1})[3] == 1      # the shading's inputs are the same
    again = run(project)
    pd.testing.assert_frame_equal(again[0], fresh[1][0], check_exact=True)
    assert again[1] == fresh[1][1]
    low = run(project, **{"pv.efficiency": 0.1})[1]["pv"]["energy_kwh"]
    assert low == pytest.approx(fresh[1][1]["pv"]["energy_kwh"] / 2, rel=1e-12)
    shade_exact.share_prepared(False)
    assert shade_exact.prepared_counts()["held"] == 0
    assert run(project)[3] == 0


def test_changed_inputs_prepare_again(project):
    run(project)
    shade_exact.share_prepared(True)
    base = run(project)
    assert run(project)[3] == 1
    # A factor file changed on disk: the module sees it (and computes the factors again), not the kept copy.
    factors = project / "shading" / "table.exact.csv"
    lines = factors.read_text(encoding="utf-8").splitlines(keepends=True)
    row = next(i for i, x in enumerate(lines) if x[:1].isdigit() and float(x.split(",")[2]) > 0.1)
    cells = lines[row].rstrip("\n").split(",")
    cells[2] = "0"
    lines[row] = ",".join(cells) + "\n"
    factors.write_text("".join(lines), encoding="utf-8")
    changed = run(project)
    assert changed[3] == 0 and "被改动过" in changed[2] and "开始精确阴影计算" in changed[2]
    assert changed[1] == base[1]
    assert run(project)[3] == 1  # the file written again is the one the kept state was read from
    # Another period or site: another sun track. Another surface list or normals setting: other faces.
    # Never the kept state.
    for change in ({"period": [2025, 6, 20, 2025, 6, 21]}, {"site.latitude": 47.0},
                   {"house.surfaces": ["roof_south_east"]}, {"house.normals": "from-vertices"}):
        assert shade_exact.prepared_counts()["held"] >= 1
        assert run(project, **change)[3] == 0
        shade_exact.share_prepared(False)  # the files are the change's now: start again from the project's
        run(project)
        shade_exact.share_prepared(True)
        run(project)
    # A regeneration asked for is never answered from a kept state.
    p = load_project(str(project / "project.toml"))
    m = Manager(p)
    m.quiet = True
    m.progress = False
    m.output_path = None
    m.regenerate_shading = True
    before = shade_exact.prepared_counts()["reused"]
    m.run_simulation()
    assert shade_exact.prepared_counts()["reused"] == before
    assert m.summary["pv"]["energy_kwh"] == base[1]["pv"]["energy_kwh"]

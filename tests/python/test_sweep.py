"""Sweeps and cluster-computed shading tables on a real local Dask cluster
(two worker processes), on a small demo house over a few days."""
import os
import time

import pandas as pd
import pytest

distributed = pytest.importorskip("distributed")

from quillmere import cli, sweep as sw  # noqa: E402
from quillmere.core.manager import Manager, ProjectError, load_project  # noqa: E402

from demo_inputs import roof_panel_project, write_inputs  # noqa: E402

PROJECT = roof_panel_project(turbine=True, output="results.csv")

TIMEOUT = 120  # seconds for any one sweep on the test cluster


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


@pytest.fixture
def project(tmp_path):
    write_inputs(tmp_path, 48.21, 16.37, 1, year=2025)
    p = tmp_path / "project.toml"
    p.write_text(PROJECT, encoding="utf-8")
    return p


def sequential(base, key_values):
    """The same variant run in this process."""
    p = load_project(base)
    for k, v in key_values.items():
        sw.set_value(p, k, v)
    m = Manager(p)
    m.quiet = True
    m.output_path = None
    p.get("output", {}).pop("csv", None)
    m.run_simulation()
    return m.summary


def test_product_of_varied_values(cluster, project, tmp_path):
    vary = {"pv.efficiency": [0.1, 0.2],
            "house.surfaces": [["roof_south_east"], ["roof_south_east", "roof_south_west"]]}
    df = sw.sweep(str(project), vary, cluster, timeout=TIMEOUT)
    assert len(df) == 4
    assert list(df.columns[:2]) == ["pv.efficiency", "house.surfaces"]
    gens = ["pv", "turbine"]
    assert list(df.columns[2:]) == [g + s for g in gens for s in (".energy_kwh", ".peak_kw", ".full_load_hours")] + [
        "error"]
    assert df["pv.efficiency"].tolist() == [0.1, 0.1, 0.2, 0.2]  # the first key varies slowest
    assert df["error"].isna().all()
    for _, row in df.iterrows():
        expected = sequential(project, {"pv.efficiency": row["pv.efficiency"], "house.surfaces": row["house.surfaces"]})
        assert row["pv.energy_kwh"] == expected["pv"]["energy_kwh"]
        assert row["pv.full_load_hours"] == expected["pv"]["full_load_hours"]
        assert row["turbine.peak_kw"] == expected["turbine"]["peak_kw"]
    e1, e2 = df[df["house.surfaces"].map(len) == 2]["pv.energy_kwh"]
    assert e2 == pytest.approx(2 * e1, rel=1e-12)  # energy scales with the efficiency, same shading
    assert df.attrs["units"]["pv.energy_kwh"] == "kWh"
    # one table per shading computation: the project's own keeps its path, the other is named after
    # its fingerprint; no variant writes the project's results file
    tables = sorted(t for t in os.listdir(tmp_path / "shading")
                    if t.endswith(".csv") and not t.endswith((".exact.csv", ".views.csv")))
    assert len(tables) == 2 and "table.csv" in tables
    assert not (tmp_path / "results.csv").exists()
    # each table was computed by one variant only, the first of its group
    computing = [i for i, text in enumerate(df.attrs["messages"]) if "开始阴影分析" in text]
    assert computing == [0, 1]
    assert len(set(df.attrs["workers"])) <= 2


def test_variants_of_one_shading_take_its_preparation_on_each_worker(cluster, project):
    # Six variants that differ only in a panel value: each worker prepares the house's shading (table,
    # interpolators, sun track, per-step factors) once and its later variants take it; the rows are those
    # of variants that each prepare their own, and those of single runs.
    vary = {"pv.efficiency": [0.1, 0.15, 0.2, 0.25, 0.3, 0.35]}
    shared = sw.sweep(str(project), vary, cluster, timeout=TIMEOUT)
    alone = sw.sweep(str(project), vary, cluster, timeout=TIMEOUT, share_shading=False)
    assert shared["error"].isna().all() and alone["error"].isna().all()
    pd.testing.assert_frame_equal(shared, alone, check_exact=True)
    workers = set(shared.attrs["workers"])
    assert sum(shared.attrs["shading_reused"]) >= len(shared) - len(workers) > 0
    assert alone.attrs["shading_reused"] == [0] * len(alone)
    # the same lines (the first variant reports the preparation of the files, in the first sweep only)
    assert shared.attrs["messages"][1:] == alone.attrs["messages"][1:]
    for _, row in shared.iloc[::5].iterrows():
        expected = sequential(project, {"pv.efficiency": row["pv.efficiency"]})
        assert row["pv.energy_kwh"] == expected["pv"]["energy_kwh"]
        assert row["pv.peak_kw"] == expected["pv"]["peak_kw"]
    # Variants whose shading differs never take another's preparation: the table method's interpolated
    # factors give other rows than the exact ones.
    mixed = sw.sweep(str(project), {"house.method": ["exact", "table"] * 3}, cluster, timeout=TIMEOUT)
    assert mixed["error"].isna().all()
    energy = mixed["pv.energy_kwh"].tolist()
    assert energy == [energy[0], energy[1]] * 3 and energy[0] != energy[1]
    assert energy[0] == shared["pv.energy_kwh"].iloc[2]
    assert energy[1] == sequential(project, {"house.method": "table"})["pv"]["energy_kwh"]
    assert sum(mixed.attrs["shading_reused"]) >= len(mixed) - 2 * len(set(mixed.attrs["workers"]))


def test_default_local_cluster_gives_the_single_runs_and_closes(project, monkeypatch):
    # no client: the sweep starts its own cluster of two worker processes (forked from a server that has
    # imported the package), prepares the shared shading once and closes the cluster at the end
    vary = {"pv.efficiency": [0.1, 0.2, 0.3]}
    df = sw.sweep(project, vary, workers=2, progress=False, timeout=TIMEOUT)
    assert df["error"].isna().all()
    for _, row in df.iterrows():
        expected = sequential(project, {"pv.efficiency": row["pv.efficiency"]})
        assert row["pv.energy_kwh"] == expected["pv"]["energy_kwh"]
        assert row["pv.peak_kw"] == expected["pv"]["peak_kw"]
        assert row["turbine.energy_kwh"] == expected["turbine"]["energy_kwh"]
    # the group's shading was computed once, before its variants, and reported with the first one
    assert ["开始阴影分析" in text for text in df.attrs["messages"]] == [True, False, False]
    workers = set(df.attrs["workers"])
    assert os.getpid() not in workers and 1 <= len(workers) <= 2
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and any(_alive(pid) for pid in workers):
        time.sleep(0.1)
    assert not any(_alive(pid) for pid in workers)
    # a second sweep forks its workers from the same server, which started before this variable was set:
    # the workers still see the sweep's environment
    monkeypatch.setenv("QM_SWEEP_TEST_FOLDER", str(project.parent))
    p = load_project(project)
    p["modules"][0]["file"] = "${QM_SWEEP_TEST_FOLDER}/weather.epw"
    again = sw.sweep(p, vary, workers=2, progress=False, timeout=TIMEOUT)
    assert again["error"].isna().all()
    assert again["pv.energy_kwh"].tolist() == df["pv.energy_kwh"].tolist()


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def test_failing_variants_are_reported_and_the_others_complete(cluster, project, capsys):
    df = sw.sweep(project, {"pv.efficiency": [0.2, "x", 0.1], "turbine.capacity": [3.0]}, cluster,
                  timeout=TIMEOUT)
    assert df["error"].isna().tolist() == [True, False, True]
    assert "modules[2](pv).efficiency" in df["error"][1] and "ProjectError" in df["error"][1]
    assert pd.isna(df["pv.energy_kwh"][1]) and df["pv.energy_kwh"][0] > df["pv.energy_kwh"][2] > 0
    out = capsys.readouterr().out
    assert "错误：变体 2（pv.efficiency='x', turbine.capacity=3.0）失败: ProjectError" in out


def test_keys_are_checked_before_anything_runs(project):
    p = load_project(project)
    for key, what in [("nobody.area", "没有名为 \"nobody\""), ("site", "不能整体替换"),
                      ("pv.area.x", "实例名.键")]:
        with pytest.raises(sw.SweepError, match=what):
            sw.variant_projects(p, {key: [1]})
    with pytest.raises(sw.SweepError, match="没有值"):
        sw.variant_projects(p, {"pv.area": []})
    with pytest.raises(sw.SweepError, match="至少一个"):
        sw.variant_projects(p, {})
    # a variant is the project with the value set, and writes no results file
    (values, v), = sw.variant_projects(p, {"site.latitude": [30]})
    assert values == (30,) and v["site"]["latitude"] == 30 and p["site"]["latitude"] == 48.21
    assert "csv" not in v["output"]


def test_vary_texts():
    assert sw.parse_vary(["a.b=1,2.5", "c.d=exact,table", 'e.f=[15, 15],[5, 5]', "g=true,\"x,y\""]) == {
        "a.b": [1, 2.5], "c.d": ["exact", "table"], "e.f": [[15, 15], [5, 5]], "g": [True, "x,y"]}
    for bad in ["nokey", "=1", "a.b=1,,2"]:
        with pytest.raises(sw.SweepError):
            sw.parse_vary([bad])
    with pytest.raises(sw.SweepError, match="两次"):
        sw.parse_vary(["a.b=1", "a.b=2"])


def test_command_line_sweep_on_an_existing_cluster(cluster, project, tmp_path, capsys):
    out = tmp_path / "sw" / "sweep.csv"
    rc = cli.main(["sweep", str(project), "--vary", "pv.efficiency=0.1,0.2", "--vary", "site.latitude=30,48.21",
                   "-o", str(out), "--scheduler", cluster.scheduler.address])
    assert rc == 0
    disk = pd.read_csv(out)
    assert disk["pv.efficiency"].tolist() == [0.1, 0.1, 0.2, 0.2]
    assert disk["site.latitude"].tolist() == [30, 48.21, 30, 48.21]
    assert disk["error"].isna().all()
    assert "共 4 个变体，0 个失败" in capsys.readouterr().out
    # a failing variant makes the command's exit status 1
    assert cli.main(["sweep", str(project), "--vary", "pv.efficiency=0.1,bad", "--quiet",
                     "--scheduler", cluster.scheduler.address]) == 1
    assert cli.main(["sweep", str(project), "--vary", "nobody.x=1", "--scheduler",
                     cluster.scheduler.address]) == 1
    assert "错误：扫描键 nobody.x" in capsys.readouterr().out


def test_cluster_table_equals_the_single_machine_table(cluster, project, tmp_path):
    one = tmp_path / "one.csv"
    many = tmp_path / "many.csv"
    surfaces = ["roof_south_east", "roof_south_west", "roof_north"]
    assert cli.main(["shade", str(tmp_path / "house.stl"), "--surfaces", *surfaces, "-o", str(one), "--quiet"]) == 0
    assert cli.main(["shade", str(tmp_path / "house.stl"), "--surfaces", *surfaces, "-o", str(many), "--quiet",
                     "--scheduler", cluster.scheduler.address]) == 0
    assert many.read_bytes() == one.read_bytes()
    # more chunks than workers, one position per chunk: still the same table
    sw.shade_table(str(tmp_path / "house.stl"), surfaces, str(many), cluster, chunks=54, timeout=TIMEOUT)
    assert many.read_bytes() == one.read_bytes()


def test_projects_as_data(project, tmp_path, monkeypatch):
    p = load_project(project)
    assert p["folder"] == str(tmp_path) and p["modules"][2]["efficiency"] == 0.2
    monkeypatch.chdir("/")
    p["modules"][2]["efficiency"] = 0.1
    p["output"] = {}
    p["output"] = {"csv": "out.csv"}
    m = Manager(p)
    m.quiet = True
    df = m.run_simulation()
    assert m.summary["pv"]["energy_kwh"] > 0
    # units from the module information records; the CSV written beside the project's folder, with the
    # weather's float values in their shortest float text and every value reading back unchanged
    assert df.attrs["units"]["pv.power"] == "kW" and df.attrs["units"]["weather.rad2"] == "w/m2"
    assert df.attrs["summary"]["pv"]["energy_kwh"] == m.summary["pv"]["energy_kwh"]
    disk = pd.read_csv(tmp_path / "out.csv")
    assert list(disk.columns) == ["timestamp", *df.columns]
    assert disk["timestamp"][0] == "2025-06-20 00:00:00" and str(df.index[0]) == "2025-06-20 00:00:00+01:00"
    text = (tmp_path / "out.csv").read_text(encoding="utf-8")
    temps = [line.split(",")[1] for line in text.splitlines()[1:]]
    assert all(len(t.split(".")[-1]) <= 2 for t in temps), temps[:5]  # e.g. 20.1, not 20.100000381469727
    import numpy as np
    assert np.array_equal(disk["weather.dry_bulb_temp"].to_numpy(np.float32),
                          df["weather.dry_bulb_temp"].to_numpy(np.float32))
    for col in ("pv.power", "pv.cos", "turbine.energy"):
        assert disk[col].tolist() == df[col].tolist()  # doubles read back exactly
    p["modules"][2]["area"] = "big"
    with pytest.raises(ProjectError, match=r"键 modules\[2\]\(pv\)\.area: 应为数值"):
        Manager(p).run_simulation()
    # without a folder entry, relative paths are taken from the current folder
    del p["folder"]
    p["modules"][2]["area"] = 20.0
    with pytest.raises(ProjectError, match="文件不存在: /weather.epw"):
        Manager(p).run_simulation()
    monkeypatch.chdir(tmp_path)
    Manager(p).load_project()
    with pytest.raises(ProjectError, match="未知的键"):
        load_project(_write(tmp_path / "bad.toml", PROJECT + "typo = 1\n"))


def _write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def test_cluster_table_is_written_with_its_fingerprint_replacing_an_older_one(cluster, project, tmp_path, capsys):
    # An older table of another model beside the output, with its fingerprint: the cluster's
    # table must not leave that fingerprint in place (a later run would take the new table
    # for the other model's, or the reverse).
    surfaces = ["roof_south_east", "roof_south_west", "roof_north"]
    other = tmp_path / "other.stl"
    other.write_bytes((tmp_path / "house.stl").read_bytes().replace(b"solid roof_north", b"solid roof_north", 1)
                      + b"solid extra\nendsolid extra\n")
    table = tmp_path / "t.csv"
    assert cli.main(["shade", str(other), "--surfaces", *surfaces, "-o", str(table), "--quiet"]) == 0
    old_fp = (tmp_path / "t.csv.fingerprint").read_text(encoding="utf-8")
    assert cli.main(["shade", str(tmp_path / "house.stl"), "--surfaces", *surfaces, "-o", str(table), "--quiet",
                     "--scheduler", cluster.scheduler.address]) == 0
    fp = (tmp_path / "t.csv.fingerprint").read_text(encoding="utf-8")
    assert fp != old_fp
    # The fingerprint is the one the module writes on one machine for the same table.
    one = tmp_path / "one.csv"
    assert cli.main(["shade", str(tmp_path / "house.stl"), "--surfaces", *surfaces, "-o", str(one), "--quiet"]) == 0
    assert (tmp_path / "one.csv.fingerprint").read_text(encoding="utf-8") == fp
    # A run of the shading module on that model takes the cluster's table as it is, without a word.
    from quillmere.components.shade_exact import ExactShadowModule
    unit = ExactShadowModule("house")
    unit.in_file_params = [str(tmp_path / "house.stl"), str(table), "table", None, None, *surfaces]
    capsys.readouterr()
    unit.awake(None)
    assert capsys.readouterr().out == ""
    assert table.read_bytes() == one.read_bytes()


def test_variant_tables_lie_where_the_projects_table_path_says_with_variables(cluster, project, tmp_path,
                                                                               monkeypatch):
    # A table path with an environment variable: each variant's table lies in that folder, not in
    # a folder named after the variable's text or after the expanded path under the project.
    out = tmp_path / "elsewhere"
    out.mkdir()
    monkeypatch.setenv("QM_SWEEP_OUT", str(out))
    text = project.read_text(encoding="utf-8").replace('table = "shading/table.csv"', 'table = "${QM_SWEEP_OUT}/t.csv"')
    project.write_text(text, encoding="utf-8")
    vary = {"house.surfaces": [["roof_south_east"], ["roof_south_east", "roof_south_west"]]}
    df = sw.sweep(str(project), vary, cluster, timeout=TIMEOUT)
    assert df["error"].isna().all(), df["error"].tolist()
    tables = sorted(t for t in os.listdir(out) if t.endswith(".csv") and t.count(".") == 1)
    assert len(tables) == 2 and "t.csv" in tables, tables
    assert not (tmp_path / "${QM_SWEEP_OUT}").exists()
    assert not (tmp_path / str(out).lstrip("/")).exists()
    assert not (tmp_path / "shading").exists()


# ---------------------------------------------------------------------------
# Lost workers, timeouts, bad worker counts and addresses, scripts, Ctrl-C

HOSTILE = '''
import os, time
from quillmere import SimUnit
class Hostile(SimUnit):
    """x = 1: a normal module (writes "finished" at the end); x = 2: kills its
    worker process (as a crash or an out-of-memory kill would) once x = 1 has
    finished; x = 3: waits until the file "release" exists."""
    project_values = [{"key": "x", "kind": "number"}]
    def _get_module_info(self):
        return {"name": "Hostile", "vars": [{"category": "param", "name": "x", "default": 0.0}]}
    def awake(self, state):
        self.params["x"]["value"] = self.in_file_params[0]
    def update(self, time_, state):
        folder = os.path.dirname(os.path.abspath(__file__))
        x = self.params["x"]["value"]
        if x == 2:
            end = time.monotonic() + 60
            while time.monotonic() < end and not os.path.exists(os.path.join(folder, "finished")):
                time.sleep(0.05)
            time.sleep(1.0)
            os._exit(3)
        if x == 3:
            open(os.path.join(folder, "started"), "w").close()
            end = time.monotonic() + 60
            while time.monotonic() < end and not os.path.exists(os.path.join(folder, "release")):
                time.sleep(0.05)
    def finish(self, time_):
        if self.params["x"]["value"] == 1:
            open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "finished"), "w").close()
'''


@pytest.fixture
def hostile_project(project):
    folder = project.parent
    (folder / "hostile.py").write_text(HOSTILE, encoding="utf-8")
    text = PROJECT.replace('[output]\ncsv = "results.csv"\n', "") + '[[modules]]\nname = "u"\ntype = "hostile:Hostile"\nx = 1\n'
    project.write_text(text, encoding="utf-8")
    return project


def test_a_lost_worker_or_a_timeout_keeps_every_finished_row(cluster, hostile_project, tmp_path, capsys):
    # A variant that kills its worker (on every retry) fails alone: the others keep their rows, the results
    # file holds every row and the exit status says that one failed.
    out = tmp_path / "sweep.csv"
    assert cli.main(["sweep", str(hostile_project), "--vary", "u.x=1,2", "-o", str(out),
                     "--scheduler", cluster.scheduler.address]) == 1
    assert "错误：变体 2（u.x=2）失败: KilledWorker" in capsys.readouterr().out
    df = pd.read_csv(out)
    assert df["u.x"].tolist() == [1, 2] and df["error"].isna().tolist() == [True, False]
    assert "KilledWorker" in df["error"][1]
    assert df["pv.energy_kwh"][0] > 0 and pd.isna(df["pv.energy_kwh"][1])
    # A timeout: the finished variants keep their rows, the unfinished one is a row with its error. The killed
    # workers restart first (slowly on a loaded or sanitized machine): with one worker the waiting variant could
    # hold it and the other would time out too.
    cluster.wait_for_workers(2, timeout=120)
    try:
        df = sw.sweep(str(hostile_project), {"u.x": [1, 3]}, cluster, timeout=40)
    finally:
        (tmp_path / "release").write_text("", encoding="utf-8")  # lets the waiting task end
    assert df["error"].isna().tolist() == [True, False]
    assert df["error"][1].startswith("TimeoutError") and "timeout=40" in df["error"][1]
    assert df["pv.energy_kwh"][0] > 0 and df.attrs["seconds"][1] is None


def test_worker_counts_and_scheduler_addresses_fail_at_once(project, capsys):
    import socket

    for n in ("-1", "0"):
        started = time.monotonic()
        assert cli.main(["sweep", str(project), "--vary", "pv.efficiency=0.1,0.2", "--workers", n]) == 1
        assert "错误：--workers 应为正整数" in capsys.readouterr().out
        assert cli.main(["shade", str(project.parent / "house.stl"), "--surfaces", "roof_north", "-o",
                         str(project.parent / "t.csv"), "--workers", n]) == 1
        assert "错误：--workers 应为正整数" in capsys.readouterr().out
        assert time.monotonic() - started < 10
    for bad in (-1, 0, 1.5, True):
        with pytest.raises(sw.SweepError, match="workers"):
            sw.sweep(str(project), {"pv.efficiency": [0.1]}, workers=bad)
    # An address that refuses the connection: within seconds, naming the address.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    address = "tcp://127.0.0.1:%d" % port
    started = time.monotonic()
    assert cli.main(["sweep", str(project), "--vary", "pv.efficiency=0.1", "--scheduler", address]) == 1
    assert time.monotonic() - started < 10
    line, = [x for x in capsys.readouterr().out.splitlines() if x.startswith("错误：")]
    assert address in line and "无法连接调度器" in line
    with pytest.raises(sw.SweepError, match="tcp://host:端口|tcp://主机:端口"):
        sw.sweep(str(project), {"pv.efficiency": [0.1]}, "tcp://nohost")
    assert not (project.parent / "t.csv").exists()


def test_scripts_without_the_main_guard_are_told_in_one_line(project, tmp_path):
    import subprocess
    import sys

    call = "sweep(%r, {KEY: [0.1, 0.2]}, workers=2)" % str(project)
    unguarded = tmp_path / "study.py"
    unguarded.write_text("from quillmere.sweep import sweep\nKEY = 'pv.efficiency'\n" + call + "\n", encoding="utf-8")
    done = subprocess.run([sys.executable, str(unguarded)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    text = done.stdout + done.stderr
    assert text.count("Traceback") == 1 and "bootstrapping" not in text
    assert 'if __name__ == "__main__"' in text and "study.py, 第 3 行" in text
    # With the guard (here with a key that addresses nothing, so that no cluster starts) the sweep goes on
    # to its own checks.
    guarded = tmp_path / "guarded.py"
    guarded.write_text("from quillmere.sweep import sweep\nKEY = 'nobody.x'\nif __name__ == '__main__':\n    " + call +
                       "\n", encoding="utf-8")
    done = subprocess.run([sys.executable, str(guarded)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and "扫描键 nobody.x" in done.stderr and "__main__" not in done.stderr


def test_ctrl_c_during_a_sweep_prints_one_line(hostile_project, tmp_path):
    import signal
    import subprocess
    import sys

    # Ctrl-C reaches the whole process group, as from a terminal, while the workers' server starts.
    p = subprocess.Popen([sys.executable, "-m", "quillmere", "sweep", str(hostile_project), "--vary", "u.x=1,3",
                          "--workers", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    try:
        time.sleep(1.0)
        os.killpg(p.pid, signal.SIGINT)
        out, err = p.communicate(timeout=60)
    finally:
        (tmp_path / "release").write_text("", encoding="utf-8")
        if p.poll() is None:
            p.kill()
            p.communicate()
    assert p.returncode == 130, out + err
    assert (out + err).splitlines() == ["已中断"], out + err


def test_battery_and_feed_in_limit_vary_with_the_bus_figures_in_the_rows(cluster, project):
    p = load_project(project)
    p["modules"] += [{"name": "home", "type": "Load", "annual_energy": 4000.0},
                     {"name": "store", "type": "Battery", "capacity": 5.0},
                     {"name": "link", "type": "Grid", "feed_in_limit": 2.0},
                     {"name": "bus", "type": "Bus", "generators": ["pv", "turbine"], "loads": ["home"],
                      "battery": "store", "grid": "link"}]
    vary = {"store.capacity": [0.0, 5.0], "link.feed_in_limit": [1.0, 2.0]}
    df = sw.sweep(p, vary, cluster, timeout=TIMEOUT)
    assert df["error"].isna().all()
    figures = ["self_consumption", "self_sufficiency", "import_kwh", "export_kwh", "curtailed_kwh",
               "battery_cycles", "cost", "revenue"]
    assert list(df.columns[-9:]) == ["bus." + f for f in figures] + ["error"]
    assert df.attrs["units"]["bus.curtailed_kwh"] == "kWh"
    for _, row in df.iterrows():
        q = load_project(project)
        q["modules"] = p["modules"]
        for k in vary:
            sw.set_value(q, k, row[k])
        m = Manager(q)
        m.quiet = True
        q.get("output", {}).pop("csv", None)
        year = m.run_simulation().attrs["energy_balance"]["bus"]["year"]
        for f in figures:
            assert row["bus." + f] == year[f], f
    # More storage, more self-sufficiency; a lower feed-in limit, more curtailment.
    by = df.set_index(["store.capacity", "link.feed_in_limit"])
    assert by.loc[(5.0, 2.0), "bus.self_sufficiency"] > by.loc[(0.0, 2.0), "bus.self_sufficiency"]
    assert by.loc[(0.0, 1.0), "bus.curtailed_kwh"] > by.loc[(0.0, 2.0), "bus.curtailed_kwh"]

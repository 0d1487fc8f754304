"""No crash, no lost file: uninitialised objects, files that change or are
not files, interrupted tables, outputs over inputs, slow line ends, stale
model caches. Crash cases run in a child interpreter, which must end
normally with the expected exception."""
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

from quillmere import cli
from quillmere.components.shade_group import SurfaceShadowModule
from quillmere.components.weather_feed import WeatherFeed
from quillmere.core import demo
from quillmere.shadow_calc import occlusion_scan as geo

from demo_inputs import WEATHER_AND_TURBINE, error_line


def run_child(code):
    """Runs code in a fresh interpreter; returns (exit status, stdout)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    return done.returncode, done.stdout + done.stderr


UNITS = '''
from quillmere.core.sim_unit import SimUnit
from quillmere.core.link import Link
from quillmere.core.sim_clock import SimClock
from quillmere.core.manager import Manager
from quillmere.components.gale_module import GaleModule

class Forgetful(SimUnit):
    def __init__(self, name):  # forgets super().__init__(name)
        self.label = name
    def _get_module_info(self):
        return {"name": "F", "vars": [{"category": "output", "name": "y", "default": 1.0},
                                       {"category": "input", "name": "x", "default": 0.0}]}

class Good(Forgetful):
    def __init__(self, name):
        SimUnit.__init__(self, name)

def expect(what, fn):
    try:
        fn()
    except TypeError as e:
        print(what, "TypeError:", e)
    else:
        print(what, "no error")
'''


# ------------------------------------------------------------------ case 1

@pytest.mark.parametrize("call, arg", [
    ("Link(Forgetful('a'), 'y', Good('b'), 'x').update_link()", "source_module"),
    ("Link(Good('a'), 'y', Forgetful('b'), 'x').update_link()", "target_module"),
    ("Link(Good('a'), 'y', SimUnit.__new__(Forgetful), 'x')", "target_module"),
    ("setattr(Link(Good('a'), 'y', Good('b'), 'x'), 'source_module', Forgetful('c'))", "source_module"),
    ("Link.__new__(Link).update_link()", "self"),
    ("setattr(GaleModule('g'), 'hello', GaleModule.__new__(GaleModule))", "hello"),
    ("GaleModule('g').update(SimClock.__new__(SimClock), None)", "time"),
    ("Good('u').after(SimClock.__new__(SimClock))", "time"),
    ("SimUnit.__new__(Good).check_convergence(0.1)", "self"),
])
def test_uninitialised_objects_raise_instead_of_crashing(call, arg):
    rc, out = run_child(UNITS + f"expect('case', lambda: {call})\nprint('alive')")
    assert rc == 0, out
    assert "case TypeError: Argument '%s'" % arg in out
    assert "base constructor" in out and "was not called" in out
    assert "alive" in out


def test_manager_with_uninitialised_links_or_clock(tmp_path):
    (tmp_path / "p.toml").write_text(textwrap.dedent('''
        period = [2025, 1, 1, 2025, 1, 1]
        [site]
        longitude = 0.0
        latitude = 0.0
        time_zone = 0
        [[modules]]
        name = "t"
        type = "WindTurbine"
        capacity = 1.0
    '''), encoding="utf-8")
    code = UNITS + f'''
class BadLinks(Manager):
    def create_links(self):
        self.links = [Link.__new__(Link)]
        return self.links
m = BadLinks({str(tmp_path / "p.toml")!r})
m.quiet = True
expect("links", m.run_simulation)
m = Manager({str(tmp_path / "p.toml")!r})
m.project = m.load_project()
m.clock = SimClock.__new__(SimClock)
m.create_modules(); m.links = []
expect("clock", m.run_steps)
print("alive")
'''
    rc, out = run_child(code)
    assert rc == 0, out
    assert "links TypeError: Argument 'Manager.links[]'" in out and "Link.__init__ was not called" in out
    assert "clock TypeError: Argument 'Manager.clock'" in out and "SimClock.__init__ was not called" in out
    assert "alive" in out


# ------------------------------------------------------------------ case 2

def test_model_rewritten_while_it_is_read_never_kills_the_reader(tmp_path):
    """Another process truncates and rewrites the model over and over while
    the readers read it: each read gives a result or a clear error, never a signal."""
    stl = tmp_path / "m.stl"
    big = demo.house_stl(6)
    stl.write_text(big, encoding="utf-8")
    code = f'''
import os, threading
from quillmere import _native
from quillmere.shadow_calc import occlusion_scan as geo
path = {str(stl)!r}
text = open(path, encoding="utf-8").read()
stop = False
def writer():
    while not stop:
        with open(path, "w", encoding="utf-8") as f:  # truncates, then rewrites
            f.write(text[: len(text) // 3])
            f.flush()
            f.write(text[len(text) // 3:])
t = threading.Thread(target=writer); t.start()
outcomes = set()
try:
    for i in range(60):
        _native._clear_model_cache()
        for fn in (lambda: geo.read_stl_with_solids(path), lambda: geo.stl_statistics(path),
                   lambda: geo.calculate_shadow(path, ["roof_north"], 30, 180)):
            try:
                fn(); outcomes.add("ok")
            except Exception as e:
                outcomes.add(type(e).__name__)
finally:
    stop = True; t.join()
print("finished", sorted(outcomes))
'''
    rc, out = run_child(code)
    assert rc == 0, out
    assert "finished" in out


# ------------------------------------------------------------------ case 3

def test_readers_take_regular_files_only(tmp_path, capsys):
    fifo = tmp_path / "pipe.stl"
    os.mkfifo(fifo)
    for path in ("/dev/zero", str(fifo), str(tmp_path)):
        assert geo.read_stl_with_solids(path) == {}
        assert geo.stl_statistics(path) == {}
        out = capsys.readouterr().out
        assert out.count("\n") == 2 and ("不是普通文件" in out or "Is a directory" in out), out
        with pytest.raises(KeyError):
            geo.calculate_shadow(path, ["a"], 30, 0)
        capsys.readouterr()
        w = WeatherFeed("w")
        w.filename = path
        with pytest.raises(OSError):
            w.read_file()


def test_integer_paths_are_refused_and_descriptors_left_open(tmp_path):
    stl = tmp_path / "m.stl"
    stl.write_text(demo.house_stl(1), encoding="utf-8")
    fd = os.open(stl, os.O_RDONLY)
    try:
        for call in (lambda: geo.read_stl_with_solids(fd), lambda: geo.stl_statistics(fd),
                     lambda: geo.calculate_shadow(fd, ["roof_north"], 30, 0)):
            with pytest.raises(TypeError):
                call()
        os.fstat(fd)  # still ours and still open
        assert os.read(fd, 5) == b"solid"
    finally:
        os.close(fd)


# ------------------------------------------------------------------ case 4

def _shading_unit(stl, table, surfaces=("roof_north",)):
    u = SurfaceShadowModule("s")
    u.in_file_params = [str(stl), str(table), *surfaces]
    return u


class _StopsAt(str):
    """A surface name whose lookup fails on the n-th sun position: an
    interruption in the middle of the table (Ctrl-C, a model that changed)."""

    def __new__(cls, text, at, exc):
        s = super().__new__(cls, text)
        s.left, s.exc = at, exc
        return s

    def __hash__(self):
        self.left -= 1
        if self.left == 0:
            raise self.exc
        return str.__hash__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, ValueError("model changed")])
def test_interrupted_table_generation_leaves_the_old_table_or_none(tmp_path, capsys, exc):
    stl = tmp_path / "m.stl"
    stl.write_text(demo.house_stl(1), encoding="utf-8")
    table = tmp_path / "t" / "cos.csv"
    table.parent.mkdir()

    def attempt(regenerate):
        u = _shading_unit(stl, table, ())
        u.in_file_params = [str(stl), str(table), _StopsAt("roof_north", 10, exc)]
        u._regenerate_table = regenerate
        if exc is KeyboardInterrupt:
            with pytest.raises(KeyboardInterrupt):
                u.awake(None)
        else:
            u.awake(None)
            assert "model changed" in capsys.readouterr().out

    attempt(False)
    assert os.listdir(table.parent) == []  # no partial table, no temporary
    good = _shading_unit(stl, table)
    good.awake(None)
    before = table.read_bytes()
    assert len(pd.read_csv(table)) == 54
    attempt(True)
    assert table.read_bytes() == before and os.listdir(table.parent) == ["cos.csv"]


def test_generated_table_is_utf8_in_any_locale(tmp_path):
    stl = tmp_path / "m.stl"
    stl.write_text(demo.house_stl(1), encoding="utf-8")
    table = tmp_path / "cos.csv"
    code = f'''
from quillmere.components.shade_group import SurfaceShadowModule
u = SurfaceShadowModule("s")
u.in_file_params = [{str(stl)!r}, {str(table)!r}, "roof_north"]
u.awake(None)
print(u.get_cos_value("roof_north", 45, 180) >= 0)
'''
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0",
               PYTHONIOENCODING="utf-8")  # the messages themselves can be shown
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert table.read_bytes().startswith("方位角,高度角,roof_north\n".encode("utf-8"))
    assert len(pd.read_csv(table, encoding="utf-8")) == 54


# ------------------------------------------------------------------ case 5

def test_shade_refuses_its_input_and_keeps_a_good_table(tmp_path, capsys):
    stl = tmp_path / "house.stl"
    text = demo.house_stl(1)
    stl.write_text(text, encoding="utf-8")
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(stl)]) == 1
    assert stl.read_text(encoding="utf-8") == text
    assert "输出文件就是输入的模型文件" in capsys.readouterr().out

    table = tmp_path / "table.csv"
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "-o", str(table)]) == 0
    good = table.read_bytes()
    capsys.readouterr()
    assert cli.main(["shade", str(stl), "--surfaces", "roof_nort", "-o", str(table)]) == 1
    out = capsys.readouterr().out
    assert "roof_nort" in out and "原有的表未改动" in out
    assert table.read_bytes() == good
    # A new table replaces the old one as a whole: the new surfaces, no old lines appended.
    assert cli.main(["shade", str(stl), "--surfaces", "roof_north", "wall_south", "-o", str(table)]) == 0
    t = pd.read_csv(table)
    assert list(t.columns) == ["方位角", "高度角", "roof_north", "wall_south"] and len(t) == 54
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


# ------------------------------------------------------------------ case 7

def test_demo_refuses_an_existing_project_unless_forced(tmp_path, capsys):
    folder = tmp_path / "d"
    folder.mkdir()
    (folder / "project.toml").write_text("# mine\n", encoding="utf-8")
    assert cli.main(["demo", str(folder), "--no-plot", "--quiet"]) == 1
    out = capsys.readouterr().out
    assert out.count("\n") == 1 and "--force" in out and "project.toml" in out
    assert (folder / "project.toml").read_text(encoding="utf-8") == "# mine\n"
    assert cli.main(["demo", str(folder), "--no-plot", "--force"]) == 0
    out = capsys.readouterr().out
    assert "将替换: " + str(folder / "project.toml") in out
    afile = tmp_path / "afile"
    afile.write_text("x", encoding="utf-8")
    assert cli.main(["demo", str(afile), "--no-plot"]) == 1
    out = capsys.readouterr().out
    assert out.startswith("错误：") and out.count("\n") == 1 and str(afile) in out
    assert afile.read_text(encoding="utf-8") == "x"


# ------------------------------------------------------------------ case 8

def test_lone_carriage_returns_read_in_linear_time(tmp_path):
    rows = ["%d,1,1,%d,0,x,%.1f" % (1999 + i % 3, i % 24, i % 30) + ",0" * 20 for i in range(140160)]
    lf, cr = tmp_path / "lf.epw", tmp_path / "cr.epw"
    lf.write_bytes(("\n".join(rows) + "\n").encode())
    cr.write_bytes(("\r".join(rows) + "\r").encode())
    times = {}
    data = {}
    for name, path in (("lf", lf), ("cr", cr)):
        w = WeatherFeed("w")
        w.filename = str(path)
        t0 = time.perf_counter()
        w.read_file()
        times[name] = time.perf_counter() - t0
        data[name] = w.data
    assert np.array_equal(data["lf"], data["cr"], equal_nan=True) and len(data["cr"]) == 140160
    # Quadratic cutting took seconds here (12 s against 12 ms); linear stays far below.
    assert times["cr"] < 2.0 + 20 * times["lf"], times


# ------------------------------------------------------------------ case 9

@pytest.mark.parametrize("wait", [0.0, 2.2])
def test_model_cache_sees_rewrites_with_restored_mtime(tmp_path, wait):
    """cp -p / tar / rsync -t: same size, inode and modification time."""
    from quillmere import _native

    _native._clear_model_cache()
    stl = tmp_path / "m.stl"
    one = "solid roof\nfacet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 0 1 0\n" \
          " endloop\nendfacet\nendsolid roof\nsolid lid\nfacet normal 0 0 1\n outer loop\n  vertex 0 0 5\n" \
          "  vertex 9 0 5\n  vertex 0 9 5\n endloop\nendfacet\nendsolid lid\n"
    one = one.replace(" 5\n", " +5\n")
    two = one.replace(" +5\n", " -5\n")
    assert len(one) == len(two)
    stl.write_text(one, encoding="utf-8")
    if wait:
        time.sleep(wait)  # old enough that its time stamps alone are trusted
    shaded = geo.calculate_shadow(str(stl), ["roof"], 90, 0)[0]["roof"]
    st = os.stat(stl)
    with open(stl, "r+", encoding="utf-8") as f:  # same inode
        f.write(two)
    os.utime(stl, ns=(st.st_atime_ns, st.st_mtime_ns))
    again = os.stat(stl)
    assert (again.st_size, again.st_ino, again.st_mtime_ns) == (st.st_size, st.st_ino, st.st_mtime_ns)
    lit = geo.calculate_shadow(str(stl), ["roof"], 90, 0)[0]["roof"]
    assert shaded == 0.0 and lit == 1.0


# ------------------------------------------------------------------ cases 6 and 10 (through the command line)

BASE = WEATHER_AND_TURBINE


def test_results_over_inputs_are_refused(small_project, capsys):
    weather = (small_project / "weather.epw").read_bytes()
    for target in ("weather.epw", "p.toml"):
        assert cli.main(["run", "p.toml", "-o", target]) == 1
        error_line(capsys, "p.toml", target if target != "p.toml" else "项目文件")
    assert (small_project / "weather.epw").read_bytes() == weather
    assert (small_project / "p.toml").read_text(encoding="utf-8") == BASE
    (small_project / "q.toml").write_text(BASE + '[output]\ncsv = "weather.epw"\n', encoding="utf-8")
    assert cli.main(["run", "q.toml"]) == 1
    error_line(capsys, "output.csv", "modules[0](weather)")
    # A missing results folder is created, with one line saying so.
    assert cli.main(["run", "p.toml", "-o", "new/sub/r.csv"]) == 0
    out = capsys.readouterr().out
    assert out.count("已创建文件夹: " + str(small_project / "new" / "sub")) == 1
    assert len(pd.read_csv(small_project / "new" / "sub" / "r.csv")) == 48


@pytest.mark.parametrize("extra, parts", [
    ('period = [2025, [1], 1, 2025, 1, 2]\n', ("period[1]", "整数")),
    ('period = [2025, 1979-05-27, 1, 2025, 1, 2]\n', ("period[1]", "1979")),
    ('period = [99999999999999999999, 1, 1, 2025, 1, 2]\n', ("period[0]",)),
    ('time_step = 1e-300\n', ("time_step", "运行步数过多", "e+305")),
    ('links = ' + '[' * 600 + ']' * 600 + '\n', ("嵌套过深",)),
])
def test_unclear_project_errors_are_one_line(small_project, capsys, extra, parts):
    text = BASE.replace("period = [2025, 1, 1, 2025, 1, 2]\n", "") if extra.startswith("period") else BASE
    (small_project / "x.toml").write_text(extra + text, encoding="utf-8")
    assert cli.main(["run", "x.toml"]) == 1
    line = error_line(capsys, "x.toml", *parts)
    assert len(line) < 400


def test_module_classes_that_cannot_be_made(small_project, capsys):
    (small_project / "umods.py").write_text(textwrap.dedent('''
        from quillmere import SimUnit
        class Forgetful(SimUnit):
            def __init__(self, name):
                self.n = name
            def _get_module_info(self):
                return {"name": "F", "vars": []}
    '''), encoding="utf-8")
    for cls, parts in (("quillmere.core.sim_unit:SimUnit", ("modules[2](u).type", "SimUnit 本身")),
                       ("umods:Forgetful", ("modules[2](u).type", "super().__init__(name)"))):
        (small_project / "u.toml").write_text(BASE + f'[[modules]]\nname = "u"\ntype = "{cls}"\n', encoding="utf-8")
        assert cli.main(["run", "u.toml"]) == 1
        error_line(capsys, "u.toml", *parts)
    sys.modules.pop("umods", None)


def test_marked_files_binary_models_and_unwritable_tables(small_project, capsys):
    (small_project / "bom.toml").write_bytes(b"\xef\xbb\xbf" + BASE.encode())
    assert cli.main(["run", "bom.toml", "--quiet"]) == 0
    stl = small_project / "house.stl"
    stl.write_bytes(b"\xef\xbb\xbf" + demo.house_stl(1).encode())
    assert "roof_north" in geo.stl_statistics(str(stl)) and "roof_north" in geo.read_stl_with_solids(str(stl))
    binary = small_project / "bin.stl"
    binary.write_bytes(b"solid exported by a tool" + b"\0" * 56 + (1).to_bytes(4, "little") + b"\0" * 50)
    assert geo.stl_statistics(str(binary)) == {}
    assert "二进制 STL" in capsys.readouterr().out
    shading = '[[modules]]\nname = "h"\ntype = "SurfaceShadow"\nmodel = "{m}"\ntable = "{t}"\nsurfaces = ["roof_north"]\n'
    for model, table, parts in (("bin.stl", "t.csv", ("modules[2](h).model", "二进制 STL", "ASCII")),
                                ("house.stl", "/proc/t.csv", ("modules[2](h).table", "/proc"))):
        (small_project / "s.toml").write_text(BASE + shading.format(m=model, t=table), encoding="utf-8")
        assert cli.main(["run", "s.toml"]) == 1
        error_line(capsys, "s.toml", *parts)


def test_any_type_declaring_a_model_and_its_surfaces_gets_the_shading_file_checks(small_project, capsys):
    # The specified shading module as a user class: its declaration names the model and the generated table.
    binary = small_project / "bin.stl"
    binary.write_bytes(b"solid exported by a tool" + b"\0" * 56 + (1).to_bytes(4, "little") + b"\0" * 50)
    (small_project / "house.stl").write_text(demo.house_stl(1), encoding="utf-8")
    shading = ('[[modules]]\nname = "h"\ntype = "quillmere.components.shade_group:SurfaceShadowModule"\n'
               'model = "{m}"\ntable = "{t}"\nsurfaces = ["roof_north"]\n')
    for model, table, parts in (("bin.stl", "t.csv", ("modules[2](h).model", "二进制 STL", "ASCII")),
                                ("house.stl", "/proc/t.csv", ("modules[2](h).table", "/proc"))):
        (small_project / "s.toml").write_text(BASE + shading.format(m=model, t=table), encoding="utf-8")
        assert cli.main(["run", "s.toml"]) == 1
        error_line(capsys, "s.toml", *parts)

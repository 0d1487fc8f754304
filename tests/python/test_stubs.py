"""The shipped type stubs: one per module that re-exports native objects,
the same text nanobind's stub generator gives for the installed extension."""
import ast
import importlib
import inspect
import os
import pathlib
import subprocess
import textwrap
import sys

import pytest

import quillmere

PACKAGE = pathlib.Path(quillmere.__file__).parent
PATTERNS = pathlib.Path(__file__).resolve().parents[2] / "src" / "bindings" / "stub_patterns.txt"

pytestmark = pytest.mark.skipif(os.environ.get("QUILLMERE_NO_STUBS") == "1",
                                reason="build without stubs (sanitizer build)")


def native_modules():
    out = []
    for py in sorted(PACKAGE.rglob("*.py")):
        # Modules that re-export native names (plain-Python ones may import a native helper inside a function).
        if not any(line.startswith("from quillmere._native import") for line in py.read_text(encoding="utf-8").splitlines()):
            continue
        rel = py.relative_to(PACKAGE.parent).with_suffix("")
        parts = list(rel.parts)
        if parts[-1] == "__init__":
            parts.pop()
        out.append((".".join(parts), py.with_suffix(".pyi")))
    return out


def test_package_is_typed_and_every_native_module_has_a_stub():
    assert (PACKAGE / "py.typed").is_file()
    mods = native_modules()
    assert len(mods) >= 12
    for name, stub in mods:
        assert stub.is_file(), name
        text = stub.read_text(encoding="utf-8")
        module = importlib.import_module(name)
        for public in getattr(module, "__all__", []):
            assert ("def %s(" % public) in text or ("class %s" % public) in text or \
                   ("%s as %s" % (public, public)) in text or ("%s: " % public) in text, (name, public)


def test_stubs_are_in_sync_with_the_extension(tmp_path):
    pytest.importorskip("nanobind")
    for name, stub in native_modules():
        fresh = tmp_path / (name + ".pyi")
        subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-m", name, "-p", str(PATTERNS), "-o", str(fresh)],
                       check=True, timeout=120)
        assert fresh.read_text(encoding="utf-8") == stub.read_text(encoding="utf-8"), (
            "%s is out of date: rebuild the package (pip install .)" % stub)


def test_stubs_carry_signatures_and_documentation():
    text = (PACKAGE / "core" / "manager.pyi").read_text(encoding="utf-8")
    assert "def write_csv(frame: pandas.DataFrame, path: str | os.PathLike[str]) -> None:" in text
    assert "import pandas" in text
    # the specified Chinese documentation strings stay
    shade = (PACKAGE / "components" / "shade_group.pyi").read_text(encoding="utf-8")
    assert "def get_surf_stats(self, surf_name: str | None) -> dict[str, typing.Any] | None:" in shade
    assert "根据表面名称获取表面统计信息" in shade
    for stub in PACKAGE.rglob("*.pyi"):
        text = stub.read_text(encoding="utf-8")
        assert "MethodDescriptorType" not in text and "instancemethod" not in text, stub


# Public members of the stubs that may go without a documentation string, and why.
UNDOCUMENTED = {
    "quillmere.shadow_calc.occlusion_scan.read_stl_with_solids": "its documentation string is None by design",
    "quillmere.shadow_calc.occlusion_scan.occlusion_scan": "its documentation string is None by design",
}
# Public members whose stub may show `object`, and why (none today).
SHOWS_OBJECT = {}


def stub_members():
    """(qualified name, kind, node) of every public class, function, property and attribute of the stubs."""
    def walk(body, prefix, in_class):
        for node in body:
            if isinstance(node, ast.ClassDef):
                yield prefix + "." + node.name, "class", node
                yield from walk(node.body, prefix + "." + node.name, True)
            elif isinstance(node, ast.FunctionDef):
                yield prefix + "." + node.name, "method" if in_class else "function", node
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                yield prefix + "." + node.target.id, "attribute", node

    for name, stub in native_modules():
        for qual, kind, node in walk(ast.parse(stub.read_text(encoding="utf-8")).body, name, False):
            last = qual.rsplit(".", 1)[1]
            if last.startswith("_") and not (last.startswith("__") and last.endswith("__")):
                continue
            if last == "__all__":
                continue
            yield qual, kind, node


def untyped_parts(annotation):
    """The names in an annotation that say nothing: object, and bare containers."""
    bare = {"object"}
    found = []
    for n in ast.walk(annotation):
        if isinstance(n, ast.Name) and n.id in bare:
            found.append(n.id)
    # a container without its element types (tuple, dict, list) at the top
    if isinstance(annotation, ast.Name) and annotation.id in ("tuple", "dict", "list"):
        found.append(annotation.id)
    return found


def test_every_public_member_has_a_real_signature_and_documentation():
    problems = []
    seen = set()
    for qual, kind, node in stub_members():
        seen.add(qual)
        if kind == "class":
            if ast.get_docstring(node) is None:
                problems.append(qual + ": no documentation string")
            continue
        if kind == "attribute":
            for part in untyped_parts(node.annotation):
                if qual not in SHOWS_OBJECT:
                    problems.append("%s: shows %s" % (qual, part))
            continue
        setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)
        args = node.args
        if args.vararg or args.kwarg:
            problems.append(qual + ": takes *args/**kwargs (no signature)")
        params = args.posonlyargs + args.args + args.kwonlyargs
        if kind == "method" and params and params[0].arg in ("self", "cls"):
            params = params[1:]
        for a in params:
            if a.annotation is None:
                problems.append("%s: parameter %s has no type" % (qual, a.arg))
            elif qual not in SHOWS_OBJECT:
                problems += ["%s: parameter %s shows %s" % (qual, a.arg, p) for p in untyped_parts(a.annotation)]
        if node.returns is None:
            problems.append(qual + ": no return type")
        elif qual not in SHOWS_OBJECT:
            problems += ["%s: returns %s" % (qual, p) for p in untyped_parts(node.returns)]
        # A setter shares its property's documentation.
        if not setter and ast.get_docstring(node) is None and qual not in UNDOCUMENTED:
            problems.append(qual + ": no documentation string")
    assert not problems, "\n".join(problems)
    # The allow-lists name members that exist.
    assert set(UNDOCUMENTED) <= seen and set(SHOWS_OBJECT) <= seen


def unbound_names(tree):
    """Names the annotations of a stub use that it neither imports, defines nor has as builtins."""
    import builtins

    known = set(dir(builtins))
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            known |= {(a.asname or a.name).split(".")[0] for a in node.names}
        elif isinstance(node, ast.ImportFrom):
            known |= {a.asname or a.name for a in node.names}
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            known.add(node.name)
    used = set()
    for node in ast.walk(tree):
        annotations = []
        if isinstance(node, ast.AnnAssign):
            annotations.append(node.annotation)
        elif isinstance(node, ast.FunctionDef):
            a = node.args
            annotations += [p.annotation for p in a.posonlyargs + a.args + a.kwonlyargs if p.annotation]
            annotations += [node.returns] if node.returns else []
        for ann in annotations:
            used |= {n.id for n in ast.walk(ann) if isinstance(n, ast.Name)}
    return used - known


def test_every_name_a_stub_uses_is_imported():
    for name, stub in native_modules():
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        assert not unbound_names(tree), (name, unbound_names(tree))


def test_the_scan_finds_what_it_looks_for(tmp_path):
    # The checks above must see an untyped parameter, a bare container and a missing docstring.
    tree = ast.parse("def f(x: object, *args) -> tuple: ...\nclass C:\n    v: dict = ...\n")
    f, c = tree.body
    assert untyped_parts(f.args.args[0].annotation) == ["object"] and untyped_parts(f.returns) == ["tuple"]
    assert f.args.vararg is not None and ast.get_docstring(f) is None
    assert untyped_parts(c.body[0].annotation) == ["dict"]
    assert untyped_parts(ast.parse("dict[str, typing.Any] | None", mode="eval").body) == []
    assert unbound_names(ast.parse("import os\nclass C: ...\ndef f(a: os.PathLike, b: C) -> typing.Any: ...")) == {"typing"}


def test_raw_c_functions_carry_their_signatures_for_inspect():
    """The per-step fast paths and the exact-text functions are plain C functions: their
    signature line is what inspect (and editors) see, and their documentation stays exact."""
    from quillmere import Link, SimUnit
    from quillmere.components.shade_group import SurfaceShadowModule
    from quillmere.components.weather_feed import WeatherFeed
    from quillmere.shadow_calc import occlusion_scan as geo

    def names(fn):
        return list(inspect.signature(fn).parameters)

    assert names(SimUnit.check_convergence) == ["self", "threshold"]
    for fn in (SimUnit.update_previous_values, SimUnit.update_previous_outputs_2,
               SimUnit.set_previous_outputs_2_to_current, Link.update_link, WeatherFeed.read_file):
        assert names(fn) == ["self"], fn
    w = WeatherFeed("w")
    assert names(w.read_file) == [] and names(w.parse_line) == ["line"]
    assert names(w.check_convergence) == ["threshold"]
    assert names(SurfaceShadowModule.get_surf_stats) == ["self", "surf_name"]
    assert names(geo.calculate_shadow) == ["stl_file_path", "surface_analyze", "sun_altitude", "sun_azimuth"]
    assert names(geo.occlusion_scan) == ["current_solid_vertices", "current_solid_normals", "all_solid_vertices",
                                         "sun_direction"]
    assert names(geo.read_stl_with_solids) == ["stl_file_path"] and names(geo.stl_statistics) == ["file_path"]
    assert names(geo.calculate_triangle_area) == ["vertices"]
    # The documented texts stay as they are (the signature line is not part of them).
    assert WeatherFeed.read_file.__doc__ == "读取文件并提取目标列数据"
    assert geo.read_stl_with_solids.__doc__ is None and geo.occlusion_scan.__doc__ is None
    assert SimUnit.update_previous_values.__doc__ == "Snapshots the instantaneous outputs into previous_outputs."


def test_keywords_named_by_hand_written_signatures_are_accepted():
    """Signatures written out by hand name the keywords the functions take."""
    from quillmere import SimClock
    from quillmere.core import demo, util

    clock = SimClock(current_time=7200.0, time_step=900.0)
    clock.set_time_step(time_step=60.0)
    assert (clock.current_time, clock.time_step) == (7200.0, 60.0)
    assert util.calculate_sun_position(longitude=16.4, latitude=48.2, time_zone=1, datetime=(2025, 6, 21, 12, 0, 0)) == \
        util.calculate_sun_position(16.4, 48.2, 1, (2025, 6, 21, 12, 0, 0))
    assert util.calculate_sky_diffuse_and_ground_reflection(normal=None, diffuse_rad=100.0, ground_reflect=0.2) == \
        (100.0, 0.0)
    assert demo.house_stl(roof_cells=1) == demo.house_stl(1)
    for make in (demo.clear_sky_epw, demo.cloudy_epw):
        assert make(latitude=48.2, longitude=16.4, time_zone=1, year=2025, mean_wind=4.5, seed=3) == \
            make(48.2, 16.4, 1, 2025, 4.5, 3)


def test_a_type_checker_accepts_real_use_and_refuses_wrong_types(tmp_path):
    api = pytest.importorskip("mypy.api")
    good = tmp_path / "good.py"
    good.write_text(textwrap.dedent('''
        from quillmere import Link, Manager, SimClock, SimUnit
        from quillmere.components.sunpanel_timed import TimedSunPanelModule
        from quillmere.core import util
        from quillmere.shadow_calc.occlusion_scan import calculate_shadow

        clock = SimClock(0.0, 3600.0)
        clock.set_time_step(60.0)
        frame = Manager({"folder": "."}).run_simulation()
        unit: SimUnit = TimedSunPanelModule("pv")
        unit.awake({"modules": {}})
        unit.update(clock, None)
        panel = TimedSunPanelModule("x")
        panel.diffuse = "shaded"
        height, azimuth = util.calculate_sun_position(16.0, 48.0, 1, (2025, 1, 1, 12, 0, 0))
        link = Link(unit, "power", None, "x")
        means, values = calculate_shadow("m.stl", ["a"], 30.0, 180.0)
        converged: int = unit.check_convergence(0.1)
        total: float = height + azimuth + means["a"] + values[0] + clock.current_time
    '''), encoding="utf-8")
    bad = tmp_path / "bad.py"
    bad.write_text(textwrap.dedent('''
        from quillmere import SimClock
        from quillmere.components.sunpanel_timed import TimedSunPanelModule
        clock = SimClock(0.0, 3600.0)
        clock.set_time_step(None)
        TimedSunPanelModule("x").diffuse = "dark"
        text: str = clock.current_time
        clock.update_link()
    '''), encoding="utf-8")
    flags = ["--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache")]
    out, err, status = api.run(flags + [str(good)])
    assert status == 0, out + err
    out, err, status = api.run(flags + [str(bad)])
    lines = sorted(int(l.split(":")[1]) for l in out.splitlines() if ": error:" in l)
    assert lines == [5, 6, 7, 8], out

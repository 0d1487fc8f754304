"""The shipped type stubs: one per module that re-exports native objects,
the same text nanobind's stub generator gives for the installed extension."""
import importlib
import os
import pathlib
import subprocess
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

"""The package explains itself: every module that re-exports native objects
names, in its docstring, the binding files they come from, and those files
exist in the source tree."""
import ast
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "quillmere"


def re_exports(path):
    """True for a module that imports native objects at its top level."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    return any(isinstance(node, ast.ImportFrom) and node.module == "quillmere._native" for node in tree.body)


REEXPORTS = sorted(p for p in PACKAGE.rglob("*.py") if re_exports(p))


def test_the_package_has_re_export_modules():
    assert len(REEXPORTS) >= 15, REEXPORTS


@pytest.mark.parametrize("path", REEXPORTS, ids=lambda p: str(p.relative_to(PACKAGE)))
def test_each_re_export_module_names_its_binding_file(path):
    doc = ast.get_docstring(ast.parse(path.read_text(encoding="utf-8"))) or ""
    named = re.findall(r"src/bindings/[\w/]+\.cpp", doc)
    assert named, f"{path.name}: the docstring names no binding file: {doc!r}"
    for file in named:
        assert (ROOT / file).is_file(), f"{path.name} names {file}, which does not exist"

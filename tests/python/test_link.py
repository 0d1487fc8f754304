import gc
import sys

import pytest

from quillmere.core.link import Link
from quillmere.core.sim_unit import SimUnit


class Source(SimUnit):
    def _get_module_info(self):
        return {"name": "Src", "vars": [{"category": "output", "name": "y", "default": [1, 2]},
                                        {"category": "input", "name": "x", "default": 0.0}]}

    def update(self, time, state):
        pass


class Sink(SimUnit):
    def _get_module_info(self):
        return {"name": "Dst", "vars": [{"category": "input", "name": "x", "default": None}]}

    def update(self, time, state):
        pass


def test_copies_the_value_object_into_the_existing_record():
    s, t = Source("s"), Sink("t")
    record = t.inputs["x"]
    link = Link(s, "y", t, "x")
    link.update_link()
    assert t.inputs["x"] is record
    assert t.inputs["x"]["value"] is s.outputs["y"]["value"]
    # A new outputs dictionary is seen by the next call.
    s.outputs = {"y": {"value": "fresh"}}
    link.update_link()
    assert t.inputs["x"]["value"] == "fresh"
    # Same unit on both ends.
    Link(s, "y", s, "x").update_link()
    assert s.inputs["x"]["value"] == "fresh"


def test_missing_names_print_and_leave_target_unchanged(capsys):
    s, t = Source("s"), Sink("t")
    for link in (Link(s, "nope", t, "x"), Link(s, "y", t, "nope"), Link(s, None, t, "x")):
        for _ in range(2):
            assert link.update_link() is None
    out = capsys.readouterr().out.splitlines()
    assert out == ["错误：未找到对应的变量 nope x"] * 2 + ["错误：未找到对应的变量 y nope"] * 2 + ["错误：未找到对应的变量 None x"] * 2
    assert t.inputs["x"]["value"] is None
    s.outputs["y"] = {"no value key": 1}
    Link(s, "y", t, "x").update_link()
    assert capsys.readouterr().out == "错误：未找到对应的变量 y x\n"


def test_attribute_errors_print_and_other_errors_propagate(capsys):
    class Exploding(dict):
        def __getitem__(self, key):
            raise AttributeError("gone")

    s, t = Source("s"), Sink("t")
    s.outputs = {"y": Exploding()}
    Link(s, "y", t, "x").update_link()
    assert capsys.readouterr().out == "错误：模块没有对应的属性\n"
    s.outputs = None
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        Link(s, "y", t, "x").update_link()
    s.outputs = {"y": {"value": 1}}
    t.inputs = None
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        Link(s, "y", t, "x").update_link()


def test_none_modules_raise_a_clear_type_error():
    s = Source("s")
    with pytest.raises(TypeError, match="source module"):
        Link(None, "y", s, "x").update_link()
    with pytest.raises(TypeError, match="target module"):
        Link(s, "y", None, "x").update_link()


def test_argument_and_attribute_types():
    s, t = Source("s"), Sink("t")
    with pytest.raises(TypeError, match=r"^Argument 'source_module' has incorrect type \(expected .*SimUnit, got int\)$"):
        Link(1, "y", t, "x")
    with pytest.raises(TypeError, match=r"^Argument 'target_variable' has incorrect type \(expected str, got bytes\)$"):
        Link(s, "y", t, b"x")
    with pytest.raises(TypeError):
        Link(s, "y", t)
    link = Link(source_module=s, source_variable="y", target_module=t, target_variable="x")
    with pytest.raises(TypeError, match=r"^Cannot convert str to .*SimUnit$"):
        link.target_module = "t"
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        link.source_variable = 3
    for attr in ("source_module", "target_module", "source_variable", "target_variable"):
        delattr(link, attr)
        assert getattr(link, attr) is None


def test_host_override_and_no_reference_leaks():
    calls = []

    class Counting(Link):
        def update_link(self):
            calls.append(1)
            super().update_link()

    s, t = Source("s"), Sink("t")
    Counting(s, "y", t, "x").update_link()
    assert calls == [1] and t.inputs["x"]["value"] == [1, 2]
    value = s.outputs["y"]["value"]
    link = Link(s, "y", t, "x")
    before = sys.getrefcount(value)
    for _ in range(1000):
        link.update_link()
    assert sys.getrefcount(value) == before
    # A cycle through a link is collected.
    s.outputs["y"]["value"] = link
    del s, t, link, value
    assert gc.collect() > 0

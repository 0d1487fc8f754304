import contextlib
import gc
import io
import math
import sys

import pytest

from quillmere.core.sim_clock import SimClock
from quillmere.core.sim_unit import SimUnit

INFO = {
    "name": "Demo",
    "vars": [
        {"id": 1, "category": "input", "name": "x", "type": "number", "default": 1.5, "unit": "-"},
        {"id": 2, "category": "param", "name": "k", "type": "number", "default": 2, "unit": "-"},
        {"id": 3, "category": "output", "name": "p", "type": "number", "default": 0.0, "unit": "kW", "notInstantaneous": False},
        {"id": 3, "category": "output", "name": "e", "type": "number", "default": 0.0, "unit": "kWh", "notInstantaneous": True},
    ],
    "id": 9,
    "description": "demo",
}


class Demo(SimUnit):
    """Only _get_module_info and update: a complete module."""

    def _get_module_info(self):
        return INFO

    def update(self, time, state):
        p = self.inputs["x"]["value"] * self.params["k"]["value"]
        self.outputs["p"]["value"] = p
        self.outputs["e"]["value"] += p * time.time_step / 3600.0


def test_minimal_subclass_is_a_working_module():
    u = Demo("u1")
    assert (u.name, u.module_name, u.is_converged, u.in_file_params) == ("u1", "Demo", 0, [])
    assert u.inputs == {"x": {"value": 1.5}} and u.params == {"k": {"value": 2}}
    assert u.outputs == {"p": {"value": 0.0}, "e": {"value": 0.0}}
    assert u.previous_outputs == {"p": 0.0} and u.previous_outputs_2 == {"e": 0.0}
    clock = SimClock()
    u.update_previous_outputs_2()
    u.update(clock, {})
    u.set_previous_outputs_2_to_current()  # repeat of the step: energy restored
    u.update(clock, {})
    assert u.outputs["p"]["value"] == 3.0 and u.outputs["e"]["value"] == 3.0
    u.update(clock, None)
    assert u.outputs["e"]["value"] == 6.0
    assert Demo(name="kw").name == "kw"
    assert isinstance(u, SimUnit)


def test_every_constructor_call_reaches_host_redefinitions():
    seen = []

    class Tracing(SimUnit):
        def _get_module_info(self):
            seen.append("info")
            return INFO

        def _setup_module(self, module_info):
            seen.append("setup")
            super()._setup_module(module_info)

        def _add_variable(self, category, name, default, notInstantaneous):
            seen.append((category, name, notInstantaneous))
            super()._add_variable(category, name.upper(), default, notInstantaneous)

        def update(self, time, state):
            pass

    u = Tracing("t")
    assert seen == ["info", "setup", ("input", "x", 0), ("param", "k", 0), ("output", "p", 0), ("output", "e", 1)]
    assert list(u.outputs) == ["P", "E"] and u.previous_outputs_2 == {"E": 0.0}


def test_base_operations_that_must_be_supplied():
    with pytest.raises(NotImplementedError, match="^子类必须实现 _get_module_info 方法$"):
        SimUnit("x")

    class NoUpdate(SimUnit):
        def _get_module_info(self):
            return {"name": None, "vars": ()}

    u = NoUpdate("n")
    with pytest.raises(NotImplementedError, match="^子类必须实现 update 方法$"):
        u.update(None, None)
    assert u.awake({}) is None and u.after(None) is None and u.finish(SimClock()) is None
    assert u.module_name is None and u.inputs == {} and u.check_convergence(-1.0) == 1

    class BadInfo(SimUnit):
        def _get_module_info(self):
            return [1]

    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        BadInfo("b")
    with pytest.raises(TypeError):
        Demo()
    with pytest.raises(TypeError):
        Demo("a", "b")
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        Demo(5)


@pytest.mark.parametrize(
    "info, exc, text",
    [
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ({"vars": []}, KeyError, "name"),
        ({"name": 1, "vars": []}, TypeError, "Expected str, got int"),
        ({"name": "M"}, KeyError, "vars"),
        ({"name": "M", "vars": [None]}, AttributeError, "'NoneType' object has no attribute 'get'"),
        ({"name": "M", "vars": [[1]]}, TypeError, "Expected dict, got list"),
        ({"name": "M", "vars": [{"name": "a", "default": 0}]}, KeyError, "category"),
        ({"name": "M", "vars": [{"category": "input", "default": 0}]}, KeyError, "name"),
        ({"name": "M", "vars": [{"category": "input", "name": "a"}]}, KeyError, "default"),
        ({"name": "M", "vars": [{"category": 3, "name": "a", "default": 0}]}, TypeError, "Expected str, got int"),
        ({"name": "M", "vars": [{"category": "Input", "name": "a", "default": 0}]}, ValueError, "未知变量类别: Input"),
        ({"name": "M", "vars": [{"category": None, "name": "a", "default": 0}]}, ValueError, "未知变量类别: None"),
    ],
)
def test_setup_module_failures(info, exc, text):
    u = Demo("u")
    with pytest.raises(exc, match=text):
        u._setup_module(info)


def test_setup_module_rebuilds_and_walks_any_iterable():
    u = Demo("u")
    u.inputs["x"]["value"] = 99
    u._setup_module(INFO)
    assert u.inputs["x"]["value"] == 1.5 and u.name == "u"
    u._setup_module({"name": "G", "vars": (spec for spec in INFO["vars"][:2])})
    assert u.outputs == {} and u.inputs == {"x": {"value": 1.5}}
    # An error stops the walk; variables added so far stay.
    with pytest.raises(ValueError):
        u._setup_module({"name": "H", "vars": [INFO["vars"][0], {"category": "x", "name": "y", "default": 0}, INFO["vars"][1]]})
    assert u.inputs == {"x": {"value": 1.5}} and u.params == {} and u.module_name == "H"
    with pytest.raises(TypeError, match=r"^Argument 'module_info' has incorrect type \(expected dict, got list\)$"):
        u._setup_module([])


def test_add_variable_records_are_new_and_replace_old_ones():
    u = Demo("u")
    default = {"shared": True}
    u._add_variable("output", "q", default, 0)
    u._add_variable("input", "q", default, 0)
    assert u.outputs["q"] is not u.inputs["q"]
    assert u.outputs["q"]["value"] is default and u.previous_outputs["q"] is default
    u._add_variable(category="output", name="q", default=5, notInstantaneous=1)
    assert u.outputs["q"] == {"value": 5} and u.previous_outputs_2["q"] == 5
    with pytest.raises(TypeError, match=r"^Argument 'category' has incorrect type \(expected str, got int\)$"):
        u._add_variable(1, "q", 0, 0)
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type"):
        u._add_variable("input", 1, 0, 0)
    with pytest.raises(TypeError):
        u._add_variable("input", "q", 0)


def test_set_values_change_records_in_place_or_print(capsys):
    u = Demo("u")
    record = u.inputs["x"]
    u.set_input_value("x", "new")
    u.set_param_value("k", 7)
    assert u.inputs["x"] is record and record["value"] == "new" and u.params["k"]["value"] == 7
    u.set_input_value("missing", 1)
    u.set_param_value(None, 1)
    u.set_input_value("k", 1)  # a parameter, not an input
    assert capsys.readouterr().out == "输入变量 missing 不存在\n参数 None 不存在\n输入变量 k 不存在\n"
    assert "missing" not in u.inputs
    with pytest.raises(TypeError, match=r"^Argument 'input_name' has incorrect type"):
        u.set_input_value(3, 1)


def test_snapshots_and_convergence():
    u = Demo("u")
    u.outputs["p"]["value"] = 1.0
    assert u.check_convergence(0.0) == 0
    u.update_previous_values()
    assert u.previous_outputs == {"p": 1.0} and u.check_convergence(0.0) == 1
    u.outputs["p"]["value"] = 1.5
    assert u.check_convergence(threshold=0.5) == 1  # equal to the threshold: converged
    assert u.check_convergence(0.49) == 0
    u.outputs["p"]["value"] = float("nan")
    assert u.check_convergence(0.0) == 1  # NaN difference compares false
    u.outputs["p"]["value"] = 3  # ints and floats mix
    u.previous_outputs["p"] = 1
    assert u.check_convergence(2) == 1 and u.check_convergence(1.9) == 0
    u.outputs["e"]["value"] = 1e9  # not-instantaneous outputs never take part
    assert u.check_convergence(2) == 1
    u.previous_outputs["ghost"] = 0.0
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        u.check_convergence(100)
    # Snapshots skip keys missing from outputs and never add new keys.
    u.outputs["new"] = {"value": 1}
    u.update_previous_values()
    assert u.previous_outputs == {"p": 3, "ghost": 0.0}
    u.outputs["e"]["value"] = 4.0
    u.update_previous_outputs_2()
    u.outputs["e"]["value"] = 9.0
    record = u.outputs["e"]
    u.set_previous_outputs_2_to_current()
    assert u.outputs["e"] is record and record["value"] == 4.0
    u.previous_outputs_2["lost"] = 1
    with pytest.raises(KeyError):
        u.set_previous_outputs_2_to_current()
    with pytest.raises(TypeError):
        u.check_convergence("0.1")
    with pytest.raises(TypeError):
        u.check_convergence()
    with pytest.raises(TypeError):
        u.check_convergence(0.1, 0.2)
    with pytest.raises(TypeError):
        u.check_convergence(limit=0.1)


def test_convergence_corner_cases():
    class OnlyAccumulated(SimUnit):
        def _get_module_info(self):
            return {"name": "A", "vars": [{"category": "output", "name": "e", "default": 0.0, "notInstantaneous": 1}]}

        def update(self, time, state):
            pass

    a = OnlyAccumulated("a")
    assert a.previous_outputs == {} and a.check_convergence(1e9) == 0
    a.outputs = {}
    assert a.check_convergence(0) == 1
    a.outputs = None
    assert a.check_convergence(0) == 1


def test_report_text():
    class Empty(SimUnit):
        def _get_module_info(self):
            return {"name": "M", "vars": []}

        def update(self, time, state):
            pass

    assert str(Empty("u1")) == "实例名称: u1\n模块名称: M\n输入变量:\n\n输出变量:\n\n参数:\n"
    u = Demo("d")
    assert str(u) == ("实例名称: d\n模块名称: Demo\n输入变量:\n  x: 值 1.5\n输出变量:\n  p: 值 0.0\n  e: 值 0.0"
                      "\n参数:\n  k: 值 2")
    u.name = None
    assert str(u).startswith("实例名称: None\n")


def test_attribute_typing_and_deletion():
    u = Demo("u")
    for attr, good, bad, expected in [
        ("name", "n", 1, "str"), ("module_name", "m", [], "str"), ("inputs", {}, [], "dict"),
        ("outputs", {}, "x", "dict"), ("params", {}, 1.0, "dict"), ("in_file_params", [1], (1,), "list"),
        ("previous_outputs", {}, [], "dict"), ("previous_outputs_2", {}, 0, "dict"),
    ]:
        setattr(u, attr, good)
        assert getattr(u, attr) is good
        with pytest.raises(TypeError, match=f"^Expected {expected}, got {type(bad).__name__}$"):
            setattr(u, attr, bad)
        delattr(u, attr)
        assert getattr(u, attr) is None
    u.is_converged = True
    assert u.is_converged == 1 and type(u.is_converged) is int
    with pytest.raises(OverflowError):
        u.is_converged = 2**31
    with pytest.raises(TypeError):
        u.is_converged = "1"
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del u.is_converged
    with pytest.raises((TypeError, AttributeError)):
        u.update_previous_values()  # previous_outputs is None now


def test_typed_arguments_of_lifecycle_operations():
    class Base(SimUnit):
        def _get_module_info(self):
            return INFO

    u = Base("u")
    with pytest.raises(TypeError, match=r"^Argument 'time' has incorrect type \(expected .*SimClock, got int\)$"):
        u.update(3, None)
    with pytest.raises(TypeError, match=r"^Argument 'state' has incorrect type \(expected dict, got list\)$"):
        u.update(None, [])
    with pytest.raises(TypeError, match=r"^Argument 'state' has incorrect type"):
        u.awake(1)
    with pytest.raises(TypeError, match=r"^Argument 'time' has incorrect type"):
        u.finish("t")


def test_prints_go_through_the_host_print():
    u = Demo("u")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        u.set_input_value("nope", 1)
    assert out.getvalue() == "输入变量 nope 不存在\n"


def test_no_leaks_and_cycles_are_collected():
    u = Demo("u")
    u.outputs["p"]["value"] = 2.5
    value = u.outputs["p"]["value"]
    u.update_previous_values()  # the snapshot itself holds one reference
    before = sys.getrefcount(value)
    for _ in range(1000):
        u.update_previous_values()
        u.check_convergence(0.1)
        u.update_previous_outputs_2()
        u.set_previous_outputs_2_to_current()
    assert sys.getrefcount(value) == before
    gc.collect()
    for _ in range(50):
        cyc = Demo("c")
        cyc.outputs["me"] = {"value": cyc}
        del cyc
    assert gc.collect() >= 50


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_uninitialised_or_reinitialised_objects_raise_instead_of_crashing():
    from quillmere.core.link import Link

    for obj, call in [
        (Demo.__new__(Demo), lambda o: o.check_convergence(0)),
        (Demo.__new__(Demo), lambda o: o.update_previous_values()),
        (Demo.__new__(Demo), lambda o: o.inputs),
        (Link.__new__(Link), lambda o: o.update_link()),
        (SimClock.__new__(SimClock), lambda o: o.advance_time()),
        (Demo("twice"), lambda o: o.__init__("again")),
    ]:
        with pytest.raises(TypeError):
            call(obj)


def test_convergence_sees_replaced_records_and_dictionaries():
    u = Demo("u")
    u.update_previous_values()
    assert u.check_convergence(0.0) == 1
    u.outputs["p"] = {"value": 5.0}  # a new record in the same dictionary
    assert u.check_convergence(1.0) == 0
    u.update_previous_values()
    assert u.check_convergence(0.0) == 1
    u.outputs = {"p": {"value": -5.0}, "e": {"value": 0.0}}  # a new dictionary
    assert u.check_convergence(1.0) == 0
    del u.outputs["p"]
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        u.check_convergence(1.0)

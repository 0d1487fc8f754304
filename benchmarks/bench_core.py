"""Per-call cost of the simulation core's hot operations against plain-Python
classes doing the same dictionary work, measured in one run.

    python benchmarks/bench_core.py
"""
import timeit

from quillmere.core.link import Link
from quillmere.core.sim_unit import SimUnit

N_OUTPUTS = 10
INFO = {
    "name": "Bench",
    "vars": [{"category": "output", "name": f"o{i}", "default": float(i)} for i in range(N_OUTPUTS)]
    + [{"category": "input", "name": "x", "default": 0.0}],
}


class Unit(SimUnit):
    def _get_module_info(self):
        return INFO

    def update(self, time, state):
        pass


class PyUnit:
    """The same records and algorithms written as a plain Python class."""

    def __init__(self):
        self.inputs = {"x": {"value": 0.0}}
        self.outputs = {f"o{i}": {"value": float(i)} for i in range(N_OUTPUTS)}
        self.previous_outputs = {f"o{i}": float(i) for i in range(N_OUTPUTS)}

    def check_convergence(self, threshold):
        if not self.outputs:
            return 1
        if not self.previous_outputs:
            return 0
        for key, previous in self.previous_outputs.items():
            current = self.outputs.get(key)
            if abs(current["value"] - previous) > threshold:
                return 0
        return 1


class PyLink:
    def __init__(self, source_module, source_variable, target_module, target_variable):
        self.source_module = source_module
        self.source_variable = source_variable
        self.target_module = target_module
        self.target_variable = target_variable

    def update_link(self):
        try:
            value = self.source_module.outputs[self.source_variable]["value"]
            self.target_module.inputs[self.target_variable]["value"] = value
        except KeyError:
            print("错误：未找到对应的变量", self.source_variable, self.target_variable)
        except AttributeError:
            print("错误：模块没有对应的属性")


def per_call_ns(fn, number=200_000, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e9


def main():
    a, b = Unit("a"), Unit("b")
    a.update_previous_values()
    pa, pb = PyUnit(), PyUnit()
    link, plink = Link(a, "o3", b, "x"), PyLink(pa, "o3", pb, "x")
    rows = [
        ("Link.update_link()", per_call_ns(link.update_link), per_call_ns(plink.update_link)),
        (f"check_convergence ({N_OUTPUTS} outputs)", per_call_ns(lambda: a.check_convergence(0.0)),
         per_call_ns(lambda: pa.check_convergence(0.0))),
    ]
    print(f"{'operation':34s} {'native ns':>10s} {'python ns':>10s} {'speed-up':>9s}")
    for name, native, python in rows:
        print(f"{name:34s} {native:10.1f} {python:10.1f} {python / native:8.1f}x")
    # What any native call costs here, and the one read + one write a link
    # must make, for reading the figures above.
    empty = []
    record, target = {"value": 1.0}, {"value": 0.0}

    def read_write():
        target["value"] = record["value"]

    print(f"floor: empty C method call {per_call_ns(empty.clear):.1f} ns; "
          f"one dict read + one dict write from Python {per_call_ns(read_write):.1f} ns")


if __name__ == "__main__":
    main()

"""Inverter of one or more PV arrays: PVWatts part-load curve, AC rating and clipping (native).

Binding in ``src/bindings/components/inverter.cpp``.
"""
from quillmere._native import InverterModule

__all__ = ["InverterModule"]

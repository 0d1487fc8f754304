"""Partial shade as the strings feel it: single-diode cells with reverse bias, bypass diodes, strings and MPP
trackers, and modules laid out on a model's surfaces (native).

``fit_desoto`` (datasheet to single-diode parameters), ``mismatch`` (strings and trackers at each step),
``module_layout`` (modules on a surface) and ``cell_factors`` (the beam on every cell through the shading
module's model); binding in ``src/bindings/components/pv_strings.cpp``.
"""
from quillmere._native import cell_factors, fit_desoto, mismatch, module_layout

__all__ = ["fit_desoto", "mismatch", "module_layout", "cell_factors"]

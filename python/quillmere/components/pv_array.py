"""Project PV array with the conversion chain: incidence-angle losses, cell temperature, DC, system losses (native).

``PVArrayModule`` extends ``quillmere.components.sunpanel_timed.TimedSunPanelModule``; binding in
``src/bindings/components/pv_array.cpp``.
"""
from quillmere._native import PVArrayModule

__all__ = ["PVArrayModule"]

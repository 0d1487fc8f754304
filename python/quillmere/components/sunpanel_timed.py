"""Project PV panel: the sun at the middle of the hour each weather row describes (native).

``TimedSunPanelModule`` extends ``quillmere.components.sunpanel_module.SunPanelModule``; binding in
``src/bindings/components/sunpanel_timed.cpp``.
"""
from quillmere._native import TimedSunPanelModule

__all__ = ["TimedSunPanelModule"]

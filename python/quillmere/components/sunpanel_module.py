"""PV panel module on one surface of the building model (native: src/bindings/components/sunpanel_module.cpp)."""
from quillmere._native import SunPanelModule

__all__ = ["SunPanelModule"]

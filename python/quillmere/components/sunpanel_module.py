"""PV panel module on one surface of the building model (native)."""
from quillmere._native import SunPanelModule

__all__ = ["SunPanelModule"]

"""The building's AC bus: energy balance with load, battery and grid (native: src/bindings/components/bus_module.cpp)."""
from quillmere._native import BusModule

__all__ = ["BusModule"]

"""The battery module settled by the bus (native: src/bindings/components/battery_grid.cpp)."""
from quillmere._native import BatteryModule

__all__ = ["BatteryModule"]

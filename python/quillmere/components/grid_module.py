"""The grid connection module settled by the bus (native: src/bindings/components/battery_grid.cpp)."""
from quillmere._native import GridModule

__all__ = ["GridModule"]

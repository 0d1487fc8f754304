"""The small wind turbine module (native: src/bindings/components/gale_module.cpp)."""
from quillmere._native import GaleModule

__all__ = ["GaleModule"]

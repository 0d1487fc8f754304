"""The small wind turbine module (native)."""
from quillmere._native import GaleModule

__all__ = ["GaleModule"]
